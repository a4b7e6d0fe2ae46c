'use strict';
// The library's twelve functions through koffi, and the byte-level rules of
// calling them: which results are released, which are only read, how a path
// is spelled for the library, and that a failure's reason is read on the
// thread that made the call. Used by the main thread and by the workers of
// the asynchronous calls alike; nothing here validates JavaScript arguments.

const koffi = require('koffi');

// The interface this package is written against (ktcache_abi_version()).
const ABI_VERSION = 1;
// KTCACHE_BYTES_TEXT_SIZE (17) holds a byte-count text and its NUL while the
// locale's decimal mark is one byte; a multibyte mark adds up to 15 bytes.
const BYTES_TEXT_SIZE = 17 + 15;

// ---------------------------------------------------------------------------
// Paths for the library
// ---------------------------------------------------------------------------

// On Windows the library hands path bytes to the C runtime, which reads them
// in the process's ANSI code page; a process in the UTF-8 code page (65001)
// reads UTF-8 as everywhere else. Elsewhere paths are bytes and the package
// spells them in UTF-8.
const CP_UTF8 = 65001;
const CP_ACP = 0;
const WC_NO_BEST_FIT_CHARS = 0x400;

let ansiEncoder; // undefined: not decided yet; null: UTF-8 is right

function windowsAnsiEncoder() {
  const kernel32 = koffi.load('kernel32.dll');
  const GetACP = kernel32.func('uint32_t __stdcall GetACP(void)');
  const codePage = GetACP();
  if (codePage === CP_UTF8) return null;
  const WideCharToMultiByte = kernel32.func(
    'int __stdcall WideCharToMultiByte(uint32_t CodePage, uint32_t dwFlags, ' +
      'const char16_t *lpWideCharStr, int cchWideChar, uint8_t *lpMultiByteStr, ' +
      'int cbMultiByte, const char *lpDefaultChar, _Out_ int *lpUsedDefaultChar)'
  );
  return (text) => {
    // A character the code page cannot spell would otherwise become "?" or a
    // look-alike ("best fit"), and the library would act on another file.
    const wide = text + '\0';
    const usedDefault = [0];
    const size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, null, 0, null, usedDefault);
    const bytes = Buffer.alloc(Math.max(size, 1));
    const written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, bytes, size, null, usedDefault);
    if (size <= 0 || written !== size || usedDefault[0]) {
      const error = new Error(`path cannot be spelled in the ANSI code page ${codePage}: ${text}`);
      error.code = 'ERR_KTCACHE_PATH_ENCODING';
      throw error;
    }
    return bytes;
  };
}

/** A NUL-terminated path as the library reads it on this platform. */
function pathBytes(text) {
  if (ansiEncoder === undefined) ansiEncoder = process.platform === 'win32' ? windowsAnsiEncoder() : null;
  return ansiEncoder ? ansiEncoder(text) : Buffer.from(text + '\0', 'utf8');
}

/** A NUL-terminated text handed over unchanged (URLs are not paths). */
function utf8Bytes(text) {
  return Buffer.from(text + '\0', 'utf8');
}

// ---------------------------------------------------------------------------
// The library
// ---------------------------------------------------------------------------

/**
 * Loads the library file `file` (a path or a name for the system's search)
 * and binds its functions. Throws koffi's error when it does not load, and
 * an Error when it is not the interface this package speaks.
 */
function open(file) {
  const lib = koffi.load(file);
  const c = {
    version: lib.func('const char *ktcache_version(void)'),
    abiVersion: lib.func('int32_t ktcache_abi_version(void)'),
    lastError: lib.func('const char *ktcache_last_error(void)'),
    free: lib.func('void ktcache_free(void *block)'),
    audioMagic: lib.func('int32_t ktcache_has_valid_audio_magic(const void *header, size_t length)'),
    formatName: lib.func('const char *ktcache_format_name(int32_t format)'),
    validateFile: lib.func('int32_t ktcache_validate_file(const uint8_t *path, int64_t min_size)'),
    // Returned blocks are caller-owned: declared as plain pointers so that
    // this file, not koffi, releases them, and with ktcache_free().
    safeFilename: lib.func('void *ktcache_safe_filename(const uint8_t *url)'),
    scanDirJson: lib.func('void *ktcache_scan_dir_json(const uint8_t *dir_path, int32_t purge)'),
    httpStatus: lib.func('int32_t ktcache_validate_http_status(int32_t status)'),
    formatBytes: lib.func('int32_t ktcache_format_bytes(int64_t byte_count, uint8_t *buf, size_t buf_size)'),
    selftest: lib.func('int32_t ktcache_selftest(void)'),
  };

  const abiVersion = c.abiVersion();
  if (abiVersion !== ABI_VERSION) {
    throw new Error(`${file}: interface ${abiVersion}, this package speaks interface ${ABI_VERSION}`);
  }

  /** Copies a caller-owned text out of its block and releases the block once. */
  function takeText(block) {
    if (block === null) return null;
    try {
      return koffi.decode(block, 'char', -1);
    } finally {
      c.free(block);
    }
  }

  const formatNames = new Map();
  function formatName(code) {
    if (!formatNames.has(code)) formatNames.set(code, c.formatName(code));
    return formatNames.get(code);
  }

  return {
    file,
    version: c.version(),
    abiVersion,
    formatName,

    detectFormat(bytes) {
      return c.audioMagic(bytes, bytes.byteLength);
    },

    // The two calls that leave a reason: the call and the read of the
    // calling thread's last-error text run back to back on this thread.
    validateFile(path, minSize) {
      const code = c.validateFile(pathBytes(path), minSize);
      return { code, reason: c.lastError() };
    },

    scanDir(dir, purge) {
      const report = takeText(c.scanDirJson(pathBytes(dir), purge ? 1 : 0));
      return { report, reason: report === null ? c.lastError() : '' };
    },

    safeFilename(url) {
      return takeText(c.safeFilename(utf8Bytes(url)));
    },

    isHttpSuccess(status) {
      return c.httpStatus(status) === 0;
    },

    formatBytes(count) {
      const text = Buffer.alloc(BYTES_TEXT_SIZE);
      const length = c.formatBytes(count, text, text.length);
      if (length < 0) throw new Error(`ktcache_format_bytes: no room for the text of ${count}`);
      return text.toString('utf8', 0, length);
    },

    selftest() {
      return c.selftest();
    },
  };
}

module.exports = { open };
