// Type declarations of the ktcache package's CommonJS entry (index.js).
// index.d.mts declares the ES module entry (index.mjs) from these: the same
// functions by name, and this module as its default export.

/** A container the library recognises from a file's first bytes. */
export type AudioFormat = 'm4a' | 'mp3' | 'aac' | 'flac' | 'ogg' | 'wav';

/** Outcome of validateFile(): the format when the file is usable, else the
 *  library's reason ("empty path", "stat failed", "not regular file",
 *  "file below minimum size", "fopen failed", "unrecognized audio header"). */
export type Validation =
  | { ok: true; format: AudioFormat; reason: '' }
  | { ok: false; format: null; reason: string };

/** One valid file of a scan report. */
export interface CachedFile {
  name: string;
  bytes: number;
  format: AudioFormat;
}

/** The library's scan report, parsed. Files are in directory order. */
export interface ScanReport {
  validCount: number;
  purgedCount: number;
  totalBytes: number;
  files: CachedFile[];
}

export interface ScanOptions {
  /** Delete every regular file that fails validation (default false). */
  purge?: boolean;
}

export interface LoadOptions {
  /** Threads of the asynchronous calls (default: the cores, at most 4). */
  workers?: number;
}

/** A failure the library reported. */
export class KtcacheError extends Error {
  name: 'KtcacheError';
  /** The reason as an error code: "ERR_KTCACHE_" and the reason's words in
   *  capitals ("ERR_KTCACHE_EMPTY_DIR_PATH", "ERR_KTCACHE_OPENDIR_FAILED"),
   *  "ERR_KTCACHE_NO_REPORT" when the scan returned no report. */
  code: string;
  /** The library's last-error text ("empty dir_path", "opendir failed"), or
   *  "no report could be produced" when the scan returned no report. */
  reason: string;
  /** The path of the failed call. */
  path: string;
}

/** Reason of a scan that walked the directory but produced no report. */
export const NO_REPORT: 'no report could be produced';

/** The library's functions over one loaded library file. */
export interface Ktcache {
  /** The file that was loaded. */
  readonly libraryPath: string;
  /** The library's version text, "1.0.0". */
  readonly version: string;
  /** The library's interface number, 1. */
  readonly abiVersion: number;

  /** The container whose header the bytes begin with, or null (also for
   *  fewer than 12 bytes). */
  detectFormat(bytes: ArrayBuffer | ArrayBufferView): AudioFormat | null;

  /** Validates one cached file; `minSize` of 0 or below means 1024. Runs on
   *  the calling thread. Throws TypeError/RangeError for bad arguments. */
  validateFile(path: string, minSize?: number | bigint): Validation;
  /** validateFile() in a worker thread. */
  validateFileAsync(path: string, minSize?: number | bigint): Promise<Validation>;

  /** The safe cache file name for a download URL ("track.m4a" when nothing
   *  usable is left). */
  safeFilename(url: string): string;

  /** Scans one cache directory, optionally purging the files that fail
   *  validation. Throws KtcacheError when there is no report, TypeError when
   *  `options` is not an object. Runs on the calling thread: use
   *  scanCacheAsync() in a host with a user interface. */
  scanCache(dir: string, options?: ScanOptions): ScanReport;
  /** scanCache() in a worker thread; rejects with KtcacheError. */
  scanCacheAsync(dir: string, options?: ScanOptions): Promise<ScanReport>;

  /** True for 200 to 299. `status` must be a 32-bit integer. */
  isHttpSuccess(status: number): boolean;

  /** A short display text such as "14.7 MB", for any signed 64-bit count
   *  (a number that is an integer, or a BigInt); below 0 reads "0 B". */
  formatBytes(count: number | bigint): string;

  /** 0 when the library passes its self-test, else the failing check's code
   *  (2, 4 or 5). */
  selftest(): number;
}

/** Loads the library: `file` when given, else the file named by the
 *  KTCACHE_LIBRARY environment variable, else the package's own library for
 *  this platform (prebuilds/<platform>-<arch>/, beside the asar archive in
 *  a packaged Electron app), then the platform's names on the system's
 *  search path. Throws an Error with code "ERR_KTCACHE_LOAD" naming every
 *  file tried. */
export function load(file?: string | null, options?: LoadOptions): Ktcache;

// The module itself: the same functions over the library load() finds
// without a file, loaded on first use (and so are the three values below,
// which the ES module entry leaves to its default export).
export const libraryPath: string;
export const version: string;
export const abiVersion: number;
export function detectFormat(bytes: ArrayBuffer | ArrayBufferView): AudioFormat | null;
export function validateFile(path: string, minSize?: number | bigint): Validation;
export function validateFileAsync(path: string, minSize?: number | bigint): Promise<Validation>;
export function safeFilename(url: string): string;
export function scanCache(dir: string, options?: ScanOptions): ScanReport;
export function scanCacheAsync(dir: string, options?: ScanOptions): Promise<ScanReport>;
export function isHttpSuccess(status: number): boolean;
export function formatBytes(count: number | bigint): string;
export function selftest(): number;
