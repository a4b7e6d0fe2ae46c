'use strict';
// A CommonJS script of an application that installed the package's tarball
// and set nothing: the package finds its own library and every function
// answers, on a small cache made here.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const ktcache = require('ktcache');

async function main() {
  const prebuilt = path.join('node_modules', 'ktcache', 'prebuilds', `${process.platform}-${process.arch}`);
  assert.equal(path.relative(process.cwd(), path.dirname(ktcache.libraryPath)), prebuilt);
  assert.equal(ktcache.version, '1.0.0');
  assert.equal(ktcache.abiVersion, 1);
  assert.equal(ktcache.load(ktcache.libraryPath, { workers: 1 }).selftest(), 0);

  const cache = fs.mkdtempSync(path.join(os.tmpdir(), 'ktcache-app-'));
  try {
    const song = Buffer.alloc(2048);
    song.write('fLaC', 'latin1');
    const name = ktcache.safeFilename('https://cdn.example/Caf%C3%A9%20del%20Mar.flac?token=1');
    assert.equal(name, 'Café del Mar.flac');
    fs.writeFileSync(path.join(cache, name), song);
    fs.writeFileSync(path.join(cache, 'broken.mp3'), '<!DOCTYPE html>'.padEnd(2048));

    assert.equal(ktcache.detectFormat(song), 'flac');
    const valid = { ok: true, format: 'flac', reason: '' };
    assert.deepEqual(ktcache.validateFile(path.join(cache, name)), valid);
    assert.deepEqual(await ktcache.validateFileAsync(path.join(cache, name)), valid);
    assert.equal(ktcache.validateFile(path.join(cache, 'missing.m4a')).reason, 'stat failed');
    const files = [{ name, bytes: 2048, format: 'flac' }];
    assert.deepEqual(ktcache.scanCache(cache), { validCount: 1, purgedCount: 0, totalBytes: 2048, files });
    assert.deepEqual(await ktcache.scanCacheAsync(cache, { purge: true }), {
      validCount: 1,
      purgedCount: 1,
      totalBytes: 2048,
      files,
    });
    assert.throws(() => ktcache.scanCache(''), ktcache.KtcacheError);
    assert.equal(ktcache.isHttpSuccess(206), true);
    assert.equal(ktcache.formatBytes(2048), '2.0 KB');
    assert.equal(ktcache.selftest(), 0);
  } finally {
    fs.rmSync(cache, { recursive: true, force: true });
  }
  console.log(`CommonJS: every function answers, from ${ktcache.libraryPath}`);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
