// An ES module in TypeScript, built with tsc --strict --module nodenext: the
// package's values by name with the types it declares. The names the types
// declare and the names the module gives must be the same.

import * as entry from 'ktcache';
import ktcache, {
  load,
  KtcacheError,
  NO_REPORT,
  detectFormat,
  validateFile,
  validateFileAsync,
  safeFilename,
  scanCache,
  scanCacheAsync,
  isHttpSuccess,
  formatBytes,
  selftest,
} from 'ktcache';
import type { AudioFormat, Ktcache, ScanReport, Validation } from 'ktcache';

// The default export is the CommonJS module; the names are all of its own
// but the three values read from the library when it loads.
type Named = Exclude<keyof typeof ktcache, 'libraryPath' | 'version' | 'abiVersion'> | 'default';
type Same<A, B> = [A] extends [B] ? ([B] extends [A] ? true : false) : false;
const declaredExactly: Same<keyof typeof entry, Named> = true;

function expect<T>(what: string, actual: T, expected: T): void {
  if (JSON.stringify(actual) !== JSON.stringify(expected)) {
    throw new Error(`${what}: ${JSON.stringify(actual)}, expected ${JSON.stringify(expected)}`);
  }
}

expect('declared names', declaredExactly, true);
const named = Object.keys(ktcache).filter((name) => !['libraryPath', 'version', 'abiVersion'].includes(name));
expect('names', Object.keys(entry).sort(), [...named, 'default'].sort());
const format: AudioFormat | null = detectFormat(new TextEncoder().encode('OggS\0\x02\0\0\0\0\0\0'));
expect('format', format, 'ogg');
const missing: Validation = validateFile('');
expect('reason', missing.ok ? null : missing.reason, 'empty path');
expect('async reason', (await validateFileAsync('', 2048n)).reason, 'empty path');
expect('name', safeFilename('https://x.example/a%20b.m4a'), 'a b.m4a');
for (const scan of [async () => scanCache(''), () => scanCacheAsync('', { purge: false })]) {
  const outcome: ScanReport | string = await scan().catch((e: unknown) =>
    e instanceof KtcacheError ? e.reason : String(e)
  );
  expect('scan', outcome, 'empty dir_path');
}
expect('http', isHttpSuccess(200), true);
expect('bytes', formatBytes(2n ** 40n), '1024.00 GB');
expect('selftest', selftest(), 0);
expect('no report', NO_REPORT, 'no report could be produced');
const lib: Ktcache = load(ktcache.libraryPath, { workers: 1 });
expect('version', [lib.version, ktcache.version, ktcache.abiVersion], ['1.0.0', '1.0.0', 1]);
console.log('ES module in TypeScript: every name, as declared');
