'use strict';
// The asynchronous calls: the last-error text belongs to the thread that
// made the call, so each promise must carry the reason of its own call even
// when failing and succeeding calls run at once.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { WINDOWS, HEADERS, HTML, track, tempDir } = require('./support');
const ktcache = require('..');

test('concurrent failing and succeeding calls each get their own reason', async (t) => {
  const dir = tempDir(t);
  const cache = path.join(dir, 'cache');
  fs.mkdirSync(cache);
  fs.writeFileSync(path.join(cache, 'song.flac'), track(HEADERS.flac, 4096));
  fs.writeFileSync(path.join(dir, 'short.mp3'), track(HEADERS.mp3, 100));
  fs.writeFileSync(path.join(dir, 'page.m4a'), track(HTML, 4096));
  fs.writeFileSync(path.join(dir, 'good.aac'), track(HEADERS.aac, 4096));

  const scanned = { validCount: 1, purgedCount: 0, totalBytes: 4096, files: [{ name: 'song.flac', bytes: 4096, format: 'flac' }] };
  const failure = (reason) => ({ ok: false, format: null, reason });
  const calls = [
    [() => ktcache.validateFileAsync(path.join(dir, 'good.aac')), { ok: true, format: 'aac', reason: '' }],
    [() => ktcache.validateFileAsync(path.join(dir, 'missing.m4a')), failure('stat failed')],
    [() => ktcache.validateFileAsync(path.join(dir, 'short.mp3')), failure('file below minimum size')],
    [() => ktcache.validateFileAsync(path.join(dir, 'page.m4a')), failure('unrecognized audio header')],
    [() => ktcache.validateFileAsync(dir), failure('not regular file')],
    [() => ktcache.validateFileAsync(''), failure('empty path')],
    [() => ktcache.scanCacheAsync(cache), scanned],
    [() => ktcache.scanCacheAsync(path.join(dir, 'missing')).catch((e) => e.reason), 'opendir failed'],
    [() => ktcache.scanCacheAsync('').catch((e) => e.reason), 'empty dir_path'],
  ];

  // Many rounds of every call at once, with synchronous failures on the
  // main thread in between: no reason may leak into another call.
  const pending = [];
  for (let round = 0; round < 60; round++) {
    for (const [call, expected] of calls) pending.push(call().then((result) => [result, expected]));
    assert.equal(ktcache.validateFile(path.join(dir, 'short.mp3')).reason, 'file below minimum size');
  }
  for (const [result, expected] of await Promise.all(pending)) assert.deepEqual(result, expected);
});

test('argument errors of asynchronous calls reject their promise', async () => {
  await assert.rejects(ktcache.validateFileAsync('a\0b'), TypeError);
  await assert.rejects(ktcache.scanCacheAsync('/tmp', { purge: 1 }), TypeError);
});

test('a long report read in slices is the same report', async (t) => {
  // Several slices of report, each name ending in the text between two
  // files (where names may hold quotes: not on Windows).
  const dir = tempDir(t);
  const bytes = track(HEADERS.mp3, 1024);
  const end = WINDOWS ? `${'x'.repeat(25)}.mp3` : '},{"name":"x.mp3';
  for (let i = 0; i < 1000; i++) fs.writeFileSync(path.join(dir, `${'n'.repeat(200)} ${i} ${end}`), bytes);
  const report = await ktcache.scanCacheAsync(dir);
  assert.ok(JSON.stringify(report).length > 4 * 64 * 1024);
  assert.deepEqual(report, ktcache.scanCache(dir));
  assert.equal(new Set(report.files.map((file) => file.name)).size, 1000);
});
