'use strict';
// How a text is spelled for the library: a path as the platform's file calls
// read it, a URL always in UTF-8. Used on whichever thread makes the call.

const koffi = require('koffi');

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

module.exports = { pathBytes, utf8Bytes };
