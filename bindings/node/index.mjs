// ktcache as an ES module: the functions of the CommonJS entry (index.js) by
// name, and that entry itself as the default export. Named here one by one,
// since Node cannot see the CommonJS entry's functions before it runs.
// libraryPath, version and abiVersion are read from the library when it
// loads, on first use: they are on the default export only, so that an
// import never loads the library.

import ktcache from './index.js';

export default ktcache;

export const {
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
} = ktcache;
