// The package from an ES module: every function by name, the very functions
// of the CommonJS entry, and that entry as the default export.

import test from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
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

test('ES module: every function by name, the same as from require()', async () => {
  const commonJs = createRequire(import.meta.url)('ktcache');
  assert.equal(ktcache, commonJs);
  // Every name but the values read from the library when it loads, which
  // are left to the default export: an import must not load it.
  const loadedOnUse = ['libraryPath', 'version', 'abiVersion'];
  const entry = await import('ktcache');
  assert.deepEqual(
    Object.keys(entry).sort(),
    [...Object.keys(commonJs).filter((name) => !loadedOnUse.includes(name)), 'default'].sort()
  );
  for (const name of Object.keys(entry)) if (name !== 'default') assert.equal(entry[name], commonJs[name], name);

  assert.equal(detectFormat(Buffer.from('OggS\0\x02\0\0\0\0\0\0', 'latin1')), 'ogg');
  assert.deepEqual(validateFile(''), { ok: false, format: null, reason: 'empty path' });
  assert.equal((await validateFileAsync('')).reason, 'empty path');
  assert.equal(safeFilename('https://x.example/a%20b.m4a?v=1'), 'a b.m4a');
  assert.throws(() => scanCache(''), (e) => e instanceof KtcacheError && e.reason === 'empty dir_path');
  await assert.rejects(scanCacheAsync(''), KtcacheError);
  assert.equal(isHttpSuccess(204), true);
  assert.equal(formatBytes(15369751), '14.7 MB');
  assert.equal(selftest(), 0);
  assert.equal(load(ktcache.libraryPath).version, '1.0.0');
  assert.equal(NO_REPORT, 'no report could be produced');
});
