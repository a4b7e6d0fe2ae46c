'use strict';
// The package's functions against the real library, one group per behaviour.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { PACKAGE, WINDOWS, HEADERS, HTML, track, tempDir } = require('./support');
const ktcache = require('..');

const PLATFORM = `${process.platform}-${process.arch}`;
const LIBRARY_FILE = WINDOWS
  ? 'kelvane-kelvanetunes-offline-cache-model.dll'
  : 'libkelvane-kelvanetunes-offline-cache-model.so.1';

/** Runs `body` with KTCACHE_LIBRARY set to `value` (unset for undefined). */
function withLibraryVariable(value, body) {
  const saved = process.env.KTCACHE_LIBRARY;
  const set = (v) => (v === undefined ? delete process.env.KTCACHE_LIBRARY : (process.env.KTCACHE_LIBRARY = v));
  set(value);
  try {
    return body();
  } finally {
    set(saved);
  }
}

test("loading: explicit path, else KTCACHE_LIBRARY, else the package's own; a failure names what was tried", () => {
  const named = process.env.KTCACHE_LIBRARY;
  const loaded = ktcache.libraryPath;
  assert.equal(loaded, named || path.join(PACKAGE, 'prebuilds', PLATFORM, LIBRARY_FILE));
  assert.equal(ktcache.load(loaded).version, '1.0.0');
  assert.equal(ktcache.abiVersion, 1);

  const missing = path.join(__dirname, 'no-such-library');
  assert.throws(() => ktcache.load(missing), (e) => e.code === 'ERR_KTCACHE_LOAD' && e.message.includes(missing));
  withLibraryVariable(missing, () => {
    assert.equal(ktcache.load(loaded).libraryPath, loaded);
    assert.throws(() => ktcache.load(), (e) => e.message.includes(missing) && e.tried.length === 1);
  });
});

test('in a packaged Electron app the library is loaded from beside the asar archive', async (t) => {
  // The package's files inside app.asar, its prebuilds/ left out of the
  // archive (asarUnpack) into app.asar.unpacked, as electron-builder lays
  // them out; here both are plain directories. Windows cannot delete a DLL
  // that is loaded: there the directory is left in the temporary directory.
  const app = fs.mkdtempSync(path.join(os.tmpdir(), 'ktcache-electron-'));
  t.after(() => WINDOWS || fs.rmSync(app, { recursive: true, force: true }));
  const packed = path.join(app, 'app.asar', 'node_modules', 'ktcache');
  const unpacked = path.join(app, 'app.asar.unpacked', 'node_modules', 'ktcache', 'prebuilds', PLATFORM);
  for (const part of ['index.js', 'lib']) fs.cpSync(path.join(PACKAGE, part), path.join(packed, part), { recursive: true });
  const koffi = path.join(app, 'app.asar', 'node_modules', 'koffi', 'index.js');
  fs.mkdirSync(path.dirname(koffi));
  fs.writeFileSync(koffi, `module.exports = require(${JSON.stringify(require.resolve('koffi'))});`);
  fs.mkdirSync(unpacked, { recursive: true });
  fs.copyFileSync(ktcache.libraryPath, path.join(unpacked, LIBRARY_FILE));

  const inApp = require(packed);
  withLibraryVariable(undefined, () => assert.equal(inApp.libraryPath, path.join(unpacked, LIBRARY_FILE)));
  assert.equal((await inApp.validateFileAsync('')).reason, 'empty path');
});

test('detectFormat: each container, and null for anything else', () => {
  const offset = Buffer.concat([Buffer.from('xx'), HEADERS.flac]).subarray(2);
  const cases = [
    ...Object.entries(HEADERS).map(([format, bytes]) => [bytes, format]),
    [offset, 'flac'],
    [new Uint8Array(HEADERS.ogg), 'ogg'],
    [HEADERS.wav.buffer.slice(HEADERS.wav.byteOffset, HEADERS.wav.byteOffset + 12), 'wav'],
    [new DataView(HEADERS.mp3.buffer, HEADERS.mp3.byteOffset, 12), 'mp3'],
    [HEADERS.m4a.subarray(0, 11), null], // fewer than 12 bytes
    [HTML, null],
    [Buffer.alloc(0), null],
  ];
  for (const [bytes, format] of cases) assert.equal(ktcache.detectFormat(bytes), format, String(bytes));
  assert.throws(() => ktcache.detectFormat('ID3 as text'), TypeError);
});

test('validateFile: format or reason for each kind of file, and the minimum size', (t) => {
  const dir = tempDir(t);
  const file = (name, bytes) => (fs.writeFileSync(path.join(dir, name), bytes), path.join(dir, name));
  const good = file('good.ogg', track(HEADERS.ogg, 1500));
  const cases = [
    [[good], { ok: true, format: 'ogg', reason: '' }],
    [[good, 0n], { ok: true, format: 'ogg', reason: '' }],
    [[good, -5], { ok: true, format: 'ogg', reason: '' }], // zero or below: 1024
    [[good, 1501], { ok: false, format: null, reason: 'file below minimum size' }],
    [[file('short.mp3', track(HEADERS.mp3, 1023))], { ok: false, format: null, reason: 'file below minimum size' }],
    [[file('page.m4a', track(HTML, 4096))], { ok: false, format: null, reason: 'unrecognized audio header' }],
    [[dir], { ok: false, format: null, reason: 'not regular file' }],
    [[path.join(dir, 'missing.m4a')], { ok: false, format: null, reason: 'stat failed' }],
    [[''], { ok: false, format: null, reason: 'empty path' }],
  ];
  for (const [args, expected] of cases) assert.deepEqual(ktcache.validateFile(...args), expected, args.join(' '));
});

test('safeFilename: the library name for each URL, as a JavaScript string', () => {
  const cases = [
    ['https://cdn.example.com/music/u/1/Song%20%232.m4a?v=1', 'Song #2.m4a'],
    ['https://x.example/caf%C3%A9/%E6%9D%B1%E4%BA%AC.flac#t=1', '東京.flac'],
    ['https://x.example/Café – Eres.mp3', 'Café – Eres.mp3'],
    ['https://x.example/a%22b%0Ac%3F.m4a', 'a_b_c_.m4a'],
    ['https://x.example/dots.../', 'dots'],
    // The same bytes as C: a byte outside UTF-8 is "_" there, not U+FFFD here.
    ['https://old.example/music/Caf%E9%20del%20Mar.mp3', 'Caf_ del Mar.mp3'],
    ['https://x.example/%FF.m4a', '_.m4a'],
    ['https://x.example/%F0%9F%8E%B5%20Theme.m4a', '\u{1F3B5} Theme.m4a'],
    ['https://x.example/\u{1F3B5}.ogg', '\u{1F3B5}.ogg'],
    ['https://x.example/.hidden.mp3', '_.hidden.mp3'],
    ['https://x.example/NUL.mp3', 'NUL_.mp3'],
    ['', 'track.m4a'],
  ];
  for (const [url, name] of cases) assert.equal(ktcache.safeFilename(url), name, url);
});

test('isHttpSuccess, formatBytes over the full 64-bit range, selftest, version', () => {
  for (const [status, success] of [[199, false], [200, true], [204, true], [299, true], [300, false], [-(2 ** 31), false], [2 ** 31 - 1, false]]) {
    assert.equal(ktcache.isHttpSuccess(status), success, String(status));
  }
  const texts = [
    [0, '0 B'], [1023, '1023 B'], [1024, '1.0 KB'], [1280, '1.2 KB'], [1048575, '1024.0 KB'],
    [15369751, '14.7 MB'], [15369751n, '14.7 MB'], [-1, '0 B'], [Number.MAX_SAFE_INTEGER, '8388608.00 GB'],
    [2 ** 62, '4294967296.00 GB'], [-(2 ** 63), '0 B'], [2n ** 63n - 1n, '8589934592.00 GB'], [-(2n ** 63n), '0 B'],
  ];
  for (const [count, text] of texts) assert.equal(ktcache.formatBytes(count), text, String(count));
  assert.equal(ktcache.selftest(), 0);
  assert.equal(ktcache.version, '1.0.0');
});

const glibcOnly = { skip: process.platform !== 'linux' && 'glibc locales' };

test('formatBytes where the decimal mark is two bytes long (Pashto locale)', glibcOnly, (t) => {
  // The locale is made here (package locales) and set in a child process:
  // the mark is the process's, and this one stays in the C locale.
  const locales = tempDir(t);
  execFileSync('localedef', ['-i', 'ps_AF', '-f', 'UTF-8', path.join(locales, 'ps_AF.UTF-8')]);
  const script = `
    const koffi = require('koffi');
    const setlocale = koffi.load('libc.so.6').func('const char *setlocale(int category, const char *locale)');
    const LC_NUMERIC = 1;
    if (!setlocale(LC_NUMERIC, 'ps_AF.UTF-8')) throw new Error('no locale ps_AF.UTF-8');
    const ktcache = require('.');
    console.log(JSON.stringify([1280, 2n ** 63n - 1n].map((count) => ktcache.formatBytes(count))));`;
  const root = path.join(__dirname, '..');
  const texts = execFileSync(process.execPath, ['-e', script], { cwd: root, env: { ...process.env, LOCPATH: locales } });
  assert.deepEqual(JSON.parse(texts), ['1\u066b2 KB', '8589934592\u066b00 GB']);
});

test('arguments the C types cannot carry are refused, never truncated or wrapped', () => {
  const refused = [
    [() => ktcache.formatBytes(2n ** 63n), RangeError],
    [() => ktcache.formatBytes(2 ** 63), RangeError],
    [() => ktcache.formatBytes(-(2n ** 63n) - 1n), RangeError],
    [() => ktcache.formatBytes(1.5), RangeError],
    [() => ktcache.formatBytes(NaN), RangeError],
    [() => ktcache.formatBytes('1024'), TypeError],
    [() => ktcache.isHttpSuccess(2 ** 32 + 200), RangeError],
    [() => ktcache.isHttpSuccess(200.5), RangeError],
    [() => ktcache.validateFile('/tmp', 2n ** 64n + 2048n), RangeError],
    [() => ktcache.validateFile('/tmp/a.m4a\0/../../etc'), TypeError],
    [() => ktcache.validateFile(null), TypeError],
    [() => ktcache.safeFilename('https://x/a.m4a\0.exe'), TypeError],
    [() => ktcache.scanCache('/tmp\0/x', { purge: true }), TypeError],
    [() => ktcache.scanCache('/tmp', { purge: 'no' }), TypeError],
    [() => ktcache.scanCache('/tmp', true), TypeError],
    [() => ktcache.scanCache('/tmp', 1), TypeError],
  ];
  for (const [call, type] of refused) assert.throws(call, type, String(call));
});

// Windows forbids control characters and " * : < > ? \ | in file names.
const allowedHere = (name) => !WINDOWS || !/[\x00-\x1f"*:<>?\\|]/.test(name);

test('scanCache: non-ASCII and hostile names, then a purge of what fails validation', (t) => {
  const dir = tempDir(t);
  const valid = [
    ['Café Tacvba – Eres.mp3', 'mp3', 2100],
    ['東京の夜.flac', 'flac', 2200],
    ['😀 smile.ogg', 'ogg', 2300],
    ['say "hi" \\ back.wav', 'wav', 2400],
    ['line\nbreak\ttab.aac', 'aac', 2500],
    ['control\x01\x1f\x7f.m4a', 'm4a', 2600],
    ["it's <b>&amp;.m4a", 'm4a', 1024],
    ["it's [b] & more.m4a", 'm4a', 1025],
  ].filter(([name]) => allowedHere(name));
  for (const [name, format, bytes] of valid) fs.writeFileSync(path.join(dir, name), track(HEADERS[format], bytes));
  fs.writeFileSync(path.join(dir, 'truncated.m4a'), track(HEADERS.m4a, 1023));
  fs.writeFileSync(path.join(dir, 'error page.mp3'), track(HTML, 4096));
  fs.writeFileSync(path.join(dir, '.partial.m4a'), track(HEADERS.m4a, 10));
  fs.mkdirSync(path.join(dir, 'covers'));

  const byName = (a, b) => (a.name < b.name ? -1 : 1);
  const files = valid.map(([name, format, bytes]) => ({ name, bytes, format })).sort(byName);
  const totalBytes = valid.reduce((sum, [, , bytes]) => sum + bytes, 0);
  const listed = (report) => ({ ...report, files: [...report.files].sort(byName) });
  const validCount = valid.length;

  assert.deepEqual(listed(ktcache.scanCache(dir)), { validCount, purgedCount: 0, totalBytes, files });
  assert.equal(fs.readdirSync(dir).length, validCount + 4);
  assert.deepEqual(listed(ktcache.scanCache(dir, { purge: true })), { validCount, purgedCount: 2, totalBytes, files });
  assert.deepEqual(fs.readdirSync(dir).sort(), [...valid.map(([name]) => name), '.partial.m4a', 'covers'].sort());
  assert.equal(ktcache.scanCache(dir, { purge: true }).purgedCount, 0);
});

test('a cache directory named "Musique été"; a path the ANSI code page cannot spell', async (t) => {
  // On Windows the package spells paths in the ANSI code page (1252 under
  // Wine here, where é is the byte E9) and the library reads them in it.
  const dir = path.join(tempDir(t), 'Musique été');
  const name = 'Été indien.flac';
  fs.mkdirSync(dir);
  fs.writeFileSync(path.join(dir, name), track(HEADERS.flac, 3000));
  const report = { validCount: 1, purgedCount: 0, totalBytes: 3000, files: [{ name, bytes: 3000, format: 'flac' }] };
  assert.deepEqual(ktcache.scanCache(dir), report);
  assert.deepEqual(await ktcache.scanCacheAsync(dir, { purge: true }), report);
  assert.deepEqual(ktcache.validateFile(path.join(dir, name)), { ok: true, format: 'flac', reason: '' });

  // No ANSI code page spells 🎵: outside the UTF-8 code page such a path is
  // refused rather than sent with "?" in its place, which names another file.
  const unspellable = path.join(tempDir(t), '🎵 Musique');
  fs.mkdirSync(unspellable);
  const getACP = WINDOWS && require('koffi').load('kernel32.dll').func('uint32_t __stdcall GetACP(void)');
  if (getACP && getACP() !== 65001) {
    const refused = { code: 'ERR_KTCACHE_PATH_ENCODING' };
    assert.throws(() => ktcache.scanCache(unspellable), refused);
    await assert.rejects(ktcache.validateFileAsync(path.join(unspellable, name)), refused);
  } else {
    assert.equal(ktcache.scanCache(unspellable).validCount, 0);
  }
});

test('scanCache errors carry the reason and its code, "no report could be produced" for a null report', async (t) => {
  const dir = tempDir(t);
  fs.writeFileSync(path.join(dir, 'plain-file'), 'x');
  const cases = [
    ['', {}, 'empty dir_path', 'ERR_KTCACHE_EMPTY_DIR_PATH'],
    [path.join(dir, 'missing'), {}, 'opendir failed', 'ERR_KTCACHE_OPENDIR_FAILED'],
    [path.join(dir, 'plain-file'), {}, 'opendir failed', 'ERR_KTCACHE_OPENDIR_FAILED'],
  ];
  const notUtf8 = tempDir(t);
  if (!WINDOWS) {
    // A valid file whose name is not UTF-8 (Windows names are UTF-16).
    fs.writeFileSync(Buffer.from(path.join(notUtf8, 'x\xff.m4a'), 'latin1'), track(HEADERS.m4a, 2048));
    fs.writeFileSync(path.join(notUtf8, 'broken.m4a'), track(HTML, 2048));
    const noReport = [ktcache.NO_REPORT, 'ERR_KTCACHE_NO_REPORT'];
    cases.push([notUtf8, {}, ...noReport], [notUtf8, { purge: true }, ...noReport]); // the deletion stands
  }
  for (const [subject, options, reason, code] of cases) {
    const failed = (e) => e instanceof ktcache.KtcacheError && e.reason === reason && e.code === code && e.path === subject;
    assert.throws(() => ktcache.scanCache(subject, options), failed, subject);
    await assert.rejects(ktcache.scanCacheAsync(subject, options), failed, subject);
  }
  if (!WINDOWS) assert.deepEqual(fs.readdirSync(notUtf8, 'latin1'), ['x\xff.m4a']);
});
