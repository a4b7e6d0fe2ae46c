'use strict';
// Shared by the test files: the package under test and sample cache files.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

/** The package under test; it loads its library as its users' code does. */
const PACKAGE = path.join(__dirname, '..');
const WINDOWS = process.platform === 'win32';

/** The first bytes of each container the library recognises. */
const HEADERS = {
  m4a: Buffer.from('\0\0\0\x20ftypM4A ', 'latin1'),
  mp3: Buffer.from('ID3\x04\0\0\0\0\0\0\0\0', 'latin1'),
  aac: Buffer.from([0xff, 0xf1, 0x50, 0x80, 0, 0, 0, 0, 0, 0, 0, 0]),
  flac: Buffer.from('fLaC\0\0\0\x22\0\0\0\0', 'latin1'),
  ogg: Buffer.from('OggS\0\x02\0\0\0\0\0\0', 'latin1'),
  wav: Buffer.from('RIFF\x24\0\0\0WAVE', 'latin1'),
};
const HTML = Buffer.from('<!DOCTYPE html><html><body>404</body></html>');

/** A file of `size` bytes that begins with `header`. */
function track(header, size) {
  const bytes = Buffer.alloc(size);
  header.copy(bytes);
  return bytes;
}

/** A fresh directory under the system's temporary directory, removed at exit. */
function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ktcache-node-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

module.exports = { PACKAGE, WINDOWS, HEADERS, HTML, track, tempDir };
