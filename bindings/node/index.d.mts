// Type declarations of the ktcache package's ES module entry (index.mjs):
// the functions of the CommonJS entry by name, and that entry as the default
// export, whose libraryPath, version and abiVersion load the library.

import ktcache from './index.js';

export default ktcache;

export {
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
} from './index.js';

export type {
  AudioFormat,
  Validation,
  CachedFile,
  ScanReport,
  ScanOptions,
  LoadOptions,
  Ktcache,
} from './index.js';
