'use strict';
// ktcache: the KelvaneTunes offline cache library for Node and Electron.
//
// The module's own functions use the library found on first use (see
// load()); load(file) gives the same functions over a library of one's own
// choice. Synchronous calls run on the calling thread; the *Async calls run
// in worker threads, each of which makes a call and reads its reason in turn.

const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const native = require('./lib/native');

// Reason of a scan that returned no report and left the empty last-error text.
const NO_REPORT = 'no report could be produced';

/** A failure the library reported; `reason` is its last-error text. */
class KtcacheError extends Error {
  constructor(reason, operation, subject) {
    super(`${operation}(${JSON.stringify(subject)}): ${reason}`);
    this.name = 'KtcacheError';
    this.reason = reason;
    this.path = subject;
  }
}

// ---------------------------------------------------------------------------
// Finding the library
// ---------------------------------------------------------------------------

const LIBRARY_BASE = 'kelvane-kelvanetunes-offline-cache-model';
const LIBRARY_NAMES = {
  win32: [`${LIBRARY_BASE}.dll`],
  darwin: [`lib${LIBRARY_BASE}.1.dylib`, `lib${LIBRARY_BASE}.dylib`],
}[process.platform] || [`lib${LIBRARY_BASE}.so.1`, `lib${LIBRARY_BASE}.so`];

/** Where the library is looked for: the explicit file, else KTCACHE_LIBRARY,
 *  else the platform's names next to this package, then on the system's
 *  search path. */
function libraryCandidates(file) {
  if (file !== undefined && file !== null) return [String(file)];
  if (process.env.KTCACHE_LIBRARY) return [process.env.KTCACHE_LIBRARY];
  return [...LIBRARY_NAMES.map((name) => path.join(__dirname, name)), ...LIBRARY_NAMES];
}

function openFirst(candidates) {
  const failures = [];
  for (const candidate of candidates) {
    try {
      return native.open(candidate);
    } catch (error) {
      failures.push(`  ${candidate}: ${error.message}`);
    }
  }
  const error = new Error(
    `ktcache: the library could not be loaded (pass its path to load() or set KTCACHE_LIBRARY); ` +
      `tried:\n${failures.join('\n')}`
  );
  error.code = 'ERR_KTCACHE_LOAD';
  error.tried = candidates;
  throw error;
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// A NUL would end the text early on the C side: the library would act on
// another path than the caller named.
function text(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
  if (value.includes('\0')) throw new TypeError(`${what} must not contain NUL characters`);
  return value;
}

const INT64_MIN = -(2n ** 63n);
const INT64_MAX = 2n ** 63n - 1n;

function int64(value, what) {
  if (typeof value === 'number') {
    if (!Number.isInteger(value)) throw new RangeError(`${what} must be an integer, not ${value}`);
    value = BigInt(value);
  } else if (typeof value !== 'bigint') {
    throw new TypeError(`${what} must be a number or a BigInt`);
  }
  if (value < INT64_MIN || value > INT64_MAX) throw new RangeError(`${what} is outside the signed 64-bit range`);
  return value;
}

function int32(value, what) {
  if (typeof value !== 'number') throw new TypeError(`${what} must be a number`);
  if (!Number.isInteger(value) || value < -(2 ** 31) || value >= 2 ** 31) {
    throw new RangeError(`${what} must be a signed 32-bit integer, not ${value}`);
  }
  return value;
}

function bytesOf(value) {
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError('detectFormat() takes a Buffer, a typed array, a DataView or an ArrayBuffer');
}

function purgeOption(options) {
  const purge = options == null ? undefined : options.purge;
  if (purge !== undefined && typeof purge !== 'boolean') throw new TypeError('options.purge must be a boolean');
  return purge === true;
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

function validation(lib, { code, reason }) {
  return code > 0 ? { ok: true, format: lib.formatName(code), reason: '' } : { ok: false, format: null, reason };
}

function scanReport({ report, reason }, dir) {
  if (report === null) throw new KtcacheError(reason || NO_REPORT, 'scanCache', dir);
  return JSON.parse(report);
}

// A long report is parsed in slices of about REPORT_SLICE characters with a
// turn of the event loop after each, so that a cache of 100,000 files does
// not hold up the host's timers while its report is read. The cuts fall
// where one file's object ends and the next begins: the text },{"name":"
// never occurs inside a JSON string, whose quotes are all escaped.
const REPORT_SLICE = 64 * 1024;
const FILES_KEY = '"files":[';
const NEXT_FILE = '},{"name":"';

async function scanReportInSlices(reply, dir) {
  const { report } = reply;
  const filesAt = report === null ? -1 : report.indexOf(FILES_KEY);
  if (filesAt < 0 || report.length <= REPORT_SLICE) return scanReport(reply, dir);
  const first = filesAt + FILES_KEY.length;
  const end = report.lastIndexOf(']');
  const result = JSON.parse(report.slice(0, first) + report.slice(end));
  for (let from = first; from < end; ) {
    const next = report.indexOf(NEXT_FILE, from + REPORT_SLICE);
    const cut = next < 0 || next > end ? end : next + 1;
    for (const file of JSON.parse(`[${report.slice(from, cut)}]`)) result.files.push(file);
    from = cut + 1;
    await new Promise(setImmediate);
  }
  return result;
}

// ---------------------------------------------------------------------------
// Asynchronous calls
// ---------------------------------------------------------------------------

const DEFAULT_WORKERS = Math.max(1, Math.min(4, os.availableParallelism ? os.availableParallelism() : os.cpus().length));

// Up to `size` workers, started on demand, one request at a time each.
// An idle worker does not keep the process alive.
class WorkerPool {
  constructor(file, size) {
    this.file = file;
    this.size = size;
    this.workers = new Set();
    this.idle = [];
    this.queue = [];
  }

  run(operation, args) {
    return new Promise((resolve, reject) => {
      this.queue.push({ operation, args, resolve, reject });
      this.dispatch();
    });
  }

  dispatch() {
    while (this.queue.length > 0) {
      let worker = this.idle.pop();
      if (!worker) {
        if (this.workers.size >= this.size) return;
        worker = this.spawn();
      }
      const job = this.queue.shift();
      worker.job = job;
      worker.ref();
      worker.postMessage({ operation: job.operation, args: job.args });
    }
  }

  spawn() {
    const worker = new Worker(path.join(__dirname, 'lib', 'worker.js'), { workerData: { file: this.file } });
    this.workers.add(worker);
    worker.on('message', ({ result, error }) => {
      const job = worker.job;
      worker.job = null;
      worker.unref();
      this.idle.push(worker);
      if (error) job.reject(Object.assign(new Error(error.message), error.code ? { code: error.code } : {}));
      else job.resolve(result);
      this.dispatch();
    });
    const fail = (error) => {
      if (worker.job) worker.job.reject(error);
      worker.job = null;
    };
    worker.on('error', fail);
    worker.on('exit', (status) => {
      fail(new Error(`ktcache worker stopped with status ${status}`));
      this.workers.delete(worker);
      this.idle = this.idle.filter((other) => other !== worker);
      this.dispatch();
    });
    return worker;
  }
}

// ---------------------------------------------------------------------------
// The interface
// ---------------------------------------------------------------------------

function bind(lib, workers) {
  let pool;
  const inWorker = (operation, args) => (pool || (pool = new WorkerPool(lib.file, workers))).run(operation, args);

  return {
    /** The library file that was loaded. */
    libraryPath: lib.file,
    version: lib.version,
    abiVersion: lib.abiVersion,

    detectFormat(buffer) {
      const code = lib.detectFormat(bytesOf(buffer));
      return code > 0 ? lib.formatName(code) : null;
    },

    validateFile(file, minSize = 0) {
      return validation(lib, lib.validateFile(text(file, 'path'), int64(minSize, 'minSize')));
    },

    async validateFileAsync(file, minSize = 0) {
      const args = [text(file, 'path'), int64(minSize, 'minSize')];
      return validation(lib, await inWorker('validateFile', args));
    },

    safeFilename(url) {
      return lib.safeFilename(text(url, 'url'));
    },

    scanCache(dir, options) {
      return scanReport(lib.scanDir(text(dir, 'dir'), purgeOption(options)), dir);
    },

    async scanCacheAsync(dir, options) {
      const args = [text(dir, 'dir'), purgeOption(options)];
      return scanReportInSlices(await inWorker('scanDir', args), dir);
    },

    isHttpSuccess(status) {
      return lib.isHttpSuccess(int32(status, 'status'));
    },

    formatBytes(count) {
      return lib.formatBytes(int64(count, 'count'));
    },

    selftest() {
      return lib.selftest();
    },
  };
}

/** Loads the library from `file`, or as the module itself does when `file`
 *  is left out, and returns the interface over it. `options.workers` caps
 *  the threads of the asynchronous calls (default: the cores, at most 4). */
function load(file, options = {}) {
  const workers = options.workers === undefined ? DEFAULT_WORKERS : options.workers;
  if (!Number.isInteger(workers) || workers < 1) throw new RangeError('options.workers must be a positive integer');
  return bind(openFirst(libraryCandidates(file)), workers);
}

let defaultInstance;
function instance() {
  return defaultInstance || (defaultInstance = load());
}

module.exports = {
  load,
  KtcacheError,
  NO_REPORT,
  get libraryPath() {
    return instance().libraryPath;
  },
  get version() {
    return instance().version;
  },
  get abiVersion() {
    return instance().abiVersion;
  },
};
for (const name of [
  'detectFormat',
  'validateFile',
  'validateFileAsync',
  'safeFilename',
  'scanCache',
  'scanCacheAsync',
  'isHttpSuccess',
  'formatBytes',
  'selftest',
]) {
  module.exports[name] = name.endsWith('Async')
    ? async (...args) => instance()[name](...args) // a library that does not load rejects
    : (...args) => instance()[name](...args);
}
