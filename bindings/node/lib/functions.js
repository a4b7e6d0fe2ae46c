'use strict';
// The library's functions as this package calls them, each described once:
// its C declaration, the JavaScript arguments it takes and how each becomes
// C arguments, what its result becomes, and whether it also has a form that
// runs in a worker thread (`async`). lib/native.js binds the declarations
// and makes the calls; index.js makes the package's functions, and their
// *Async forms, from this list.
//
// Each step runs where it must:
//   args[name].check(value, name)  on the thread that calls the package, so
//       that a bad argument throws there, or rejects the promise;
//   args[name].toC(value)  the C arguments, on the thread that makes the call;
//   result(value, lib, cArgs)  on that same thread right after the call, so
//       that a reason read from the last-error text is the call's own;
//   finish(result, args)  back on the calling thread (finishAsync in the
//       asynchronous form); the result itself when there is none.

const { pathBytes, utf8Bytes } = require('./paths');
const { parseReport, parseReportInSlices } = require('./report');

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// A NUL would end the text early on the C side: the library would act on
// another path than the caller named.
function text(value, name) {
  if (typeof value !== 'string') throw new TypeError(`${name} must be a string`);
  if (value.includes('\0')) throw new TypeError(`${name} must not contain NUL characters`);
  return value;
}

const INT64_MIN = -(2n ** 63n);
const INT64_MAX = 2n ** 63n - 1n;

function int64(value, name) {
  if (typeof value === 'number') {
    if (!Number.isInteger(value)) throw new RangeError(`${name} must be an integer, not ${value}`);
    value = BigInt(value);
  } else if (typeof value !== 'bigint') {
    throw new TypeError(`${name} must be a number or a BigInt`);
  }
  if (value < INT64_MIN || value > INT64_MAX) throw new RangeError(`${name} is outside the signed 64-bit range`);
  return value;
}

function int32(value, name) {
  if (typeof value !== 'number') throw new TypeError(`${name} must be a number`);
  if (!Number.isInteger(value) || value < -(2 ** 31) || value >= 2 ** 31) {
    throw new RangeError(`${name} must be a signed 32-bit integer, not ${value}`);
  }
  return value;
}

function bytesOf(value, name) {
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError(`${name} must be a Buffer, a typed array, a DataView or an ArrayBuffer`);
}

// The options are an object: a bare `true` in their place would otherwise
// read as no purge at all.
function purgeOption(options, name) {
  if (options === undefined || options === null) return false;
  if (typeof options !== 'object') throw new TypeError(`${name} must be an object such as { purge: true }`);
  const { purge } = options;
  if (purge !== undefined && typeof purge !== 'boolean') throw new TypeError(`${name}.purge must be a boolean`);
  return purge === true;
}

const PATH = { check: text, toC: (value) => [pathBytes(value)] };
const URL_TEXT = { check: text, toC: (value) => [utf8Bytes(value)] };
const INT32 = { check: int32, toC: (value) => [value] };
const INT64 = { check: int64, toC: (value) => [value] };
const MIN_SIZE = { check: (value, name) => int64(value === undefined ? 0 : value, name), toC: (value) => [value] };
const BYTES = { check: bytesOf, toC: (bytes) => [bytes, bytes.byteLength] };
const SCAN_OPTIONS = { check: purgeOption, toC: (purge) => [purge ? 1 : 0] };

// KTCACHE_BYTES_TEXT_SIZE (17) holds a byte-count text and its NUL while the
// locale's decimal mark is one byte; a multibyte mark adds up to 15 bytes.
const BYTES_TEXT_SIZE = 17 + 15;

// ---------------------------------------------------------------------------
// The functions
// ---------------------------------------------------------------------------

// Blocks the library hands over (a file name, a report) are declared as
// plain pointers, so that lib.take(), not koffi, copies and releases them.
const FUNCTIONS = {
  detectFormat: {
    c: 'int32_t ktcache_has_valid_audio_magic(const void *header, size_t length)',
    args: { bytes: BYTES },
    result: (code, lib) => (code > 0 ? lib.formatName(code) : null),
  },
  validateFile: {
    c: 'int32_t ktcache_validate_file(const uint8_t *path, int64_t min_size)',
    args: { path: PATH, minSize: MIN_SIZE },
    result: (code, lib) =>
      code > 0
        ? { ok: true, format: lib.formatName(code), reason: '' }
        : { ok: false, format: null, reason: lib.lastError() },
    async: true,
  },
  safeFilename: {
    c: 'void *ktcache_safe_filename(const uint8_t *url)',
    args: { url: URL_TEXT },
    result: (block, lib) => lib.take(block),
  },
  scanCache: {
    c: 'void *ktcache_scan_dir_json(const uint8_t *dir_path, int32_t purge)',
    args: { dir: PATH, options: SCAN_OPTIONS },
    result: (block, lib) => {
      const report = lib.take(block);
      return { report, reason: report === null ? lib.lastError() : '' };
    },
    finish: (reply, [dir]) => parseReport(reply, dir),
    finishAsync: (reply, [dir]) => parseReportInSlices(reply, dir),
    async: true,
  },
  isHttpSuccess: {
    c: 'int32_t ktcache_validate_http_status(int32_t status)',
    args: { status: INT32 },
    result: (status) => status === 0,
  },
  formatBytes: {
    c: 'int32_t ktcache_format_bytes(int64_t byte_count, uint8_t *buf, size_t buf_size)',
    args: { count: INT64 },
    buffer: BYTES_TEXT_SIZE, // a buffer of this size, and its size, follow the arguments
    result: (length, lib, [count, buffer]) => {
      if (length < 0) throw new Error(`ktcache_format_bytes: no room for the text of ${count}`);
      return buffer.toString('utf8', 0, length);
    },
  },
  selftest: {
    c: 'int32_t ktcache_selftest(void)',
    args: {},
    result: (code) => code,
  },
};

// The rest of the exports: read once when the library loads, or called by
// the results above. Their texts belong to the library and are only read.
const SUPPORT = {
  version: 'const char *ktcache_version(void)',
  abiVersion: 'int32_t ktcache_abi_version(void)',
  lastError: 'const char *ktcache_last_error(void)',
  formatName: 'const char *ktcache_format_name(int32_t format)',
  free: 'void ktcache_free(void *block)',
};

module.exports = { FUNCTIONS, SUPPORT };
