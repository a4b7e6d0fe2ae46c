'use strict';
// Every block the library returns is released: 10,000 calls of every
// function, synchronous and asynchronous, leave the resident memory where it
// was. Reports and names are made kilobytes long so that a forgotten release
// shows as 60 MB or more, well above the allowance for the heaps' own
// movements (measured after the warm-up: up to 7 MB, Node 18 and 20).

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { HEADERS, track, tempDir } = require('./support');
const ktcache = require('..');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

const CALLS = 10000;
const MB = 1024 * 1024;
const ALLOWANCE = 20 * MB;

function residentGrowth(before) {
  gc();
  return process.memoryUsage.rss() - before;
}

// Under Wine each scan costs some milliseconds: the test would take over
// five minutes there, for JavaScript that is the same on every platform.
const notUnderWine = { skip: process.platform === 'win32' && 'over five minutes under Wine' };

test('no memory is kept over 10,000 calls of every function', notUnderWine, async (t) => {
  const dir = tempDir(t);
  const name = (i) => `${'n'.repeat(240)}${i}.m4a`;
  for (let i = 0; i < 24; i++) fs.writeFileSync(path.join(dir, name(i)), track(HEADERS.m4a, 2048));
  const url = `https://cdn.example.com/${'%41'.repeat(1000)}.m4a?token=x`;
  const missing = path.join(dir, 'missing');
  const lib = ktcache.load(undefined, { workers: 2 });

  function round() {
    // 1004 bytes decoded, shortened to the 255 that file systems store.
    assert.equal(lib.safeFilename(url).length, 255);
    assert.equal(lib.scanCache(dir).validCount, 24);
    assert.throws(() => lib.scanCache(missing), ktcache.KtcacheError);
    assert.equal(lib.validateFile(missing).reason, 'stat failed');
    assert.equal(lib.formatBytes(2n ** 40n), '1024.00 GB');
    assert.equal(lib.detectFormat(HEADERS.wav), 'wav');
    assert.equal(lib.isHttpSuccess(200), true);
  }
  async function asyncCalls(count) {
    for (let done = 0; done < count; done += 100) {
      const batch = [];
      for (let i = 0; i < 98; i++) batch.push(lib.scanCacheAsync(dir));
      batch.push(lib.scanCacheAsync(missing).catch((e) => e.reason), lib.validateFileAsync(missing));
      const [report] = await Promise.all(batch);
      assert.ok(report.validCount === 24 && report.files.every((file) => file.name.length >= 245));
    }
  }

  for (let i = 0; i < 1000; i++) round();
  let before = (gc(), process.memoryUsage.rss());
  for (let i = 0; i < CALLS; i++) round();
  const grown = residentGrowth(before);
  assert.ok(grown < ALLOWANCE, `synchronous calls: resident memory grew by ${(grown / MB).toFixed(1)} MB`);

  // The workers' own heaps settle within the first few thousand calls.
  await asyncCalls(CALLS);
  before = (gc(), process.memoryUsage.rss());
  await asyncCalls(CALLS);
  const grownAsync = residentGrowth(before);
  assert.ok(grownAsync < ALLOWANCE, `asynchronous calls: resident memory grew by ${(grownAsync / MB).toFixed(1)} MB`);
  t.diagnostic(`resident growth: ${(grown / MB).toFixed(1)} MB sync, ${(grownAsync / MB).toFixed(1)} MB async`);
});
