'use strict';
// ktcache: the KelvaneTunes offline cache library for Node and Electron.
//
// The module's own functions use the library found on first use (see
// load()); load(file) gives the same functions over a library of one's own
// choice. Synchronous calls run on the calling thread; the *Async calls run
// in worker threads, each of which makes a call and reads its reason in turn.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const native = require('./lib/native');
const { FUNCTIONS } = require('./lib/functions');
const { NO_REPORT, KtcacheError } = require('./lib/report');

// ---------------------------------------------------------------------------
// Finding the library
// ---------------------------------------------------------------------------

const LIBRARY_BASE = 'kelvane-kelvanetunes-offline-cache-model';
const LIBRARY_NAMES = {
  win32: [`${LIBRARY_BASE}.dll`],
  darwin: [`lib${LIBRARY_BASE}.1.dylib`, `lib${LIBRARY_BASE}.dylib`],
}[process.platform] || [`lib${LIBRARY_BASE}.so.1`, `lib${LIBRARY_BASE}.so`];

// The package carries the library for some platforms, each under
// prebuilds/<platform>-<arch>/ by the first of its names.
const PLATFORM = `${process.platform}-${process.arch}`;
const PREBUILDS = outsideAsar(path.join(__dirname, 'prebuilds'));

// Electron keeps an application's files in an asar archive, which the
// system's loader cannot read; the files it leaves out (asarUnpack) are in
// the directory beside it, app.asar.unpacked, at the same place.
function outsideAsar(file) {
  return file.replace(/\.asar(?=[\\/])/, '.asar.unpacked');
}

/** Where the library is looked for: the explicit file, else KTCACHE_LIBRARY,
 *  else the package's own library for this platform, then the platform's
 *  names on the system's search path. */
function libraryCandidates(file) {
  if (file !== undefined && file !== null) return [String(file)];
  if (process.env.KTCACHE_LIBRARY) return [process.env.KTCACHE_LIBRARY];
  return [path.join(PREBUILDS, PLATFORM, LIBRARY_NAMES[0]), ...LIBRARY_NAMES];
}

function prebuiltPlatforms() {
  try {
    return fs.readdirSync(PREBUILDS);
  } catch {
    return [];
  }
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
  const shipped = prebuiltPlatforms();
  const advice = shipped.includes(PLATFORM)
    ? 'Pass its path to load() or set KTCACHE_LIBRARY.'
    : `This package carries no library for ${PLATFORM} (${shipped.length ? `only for ${shipped.join(', ')}` : 'none'}): ` +
      "build it from the project's sources (make build, or CMake), then pass its path to load() " +
      'or set KTCACHE_LIBRARY.';
  const error = new Error(`ktcache: the library could not be loaded; tried:\n${failures.join('\n')}\n${advice}`);
  error.code = 'ERR_KTCACHE_LOAD';
  error.tried = candidates;
  throw error;
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

  run(name, args) {
    return new Promise((resolve, reject) => {
      this.queue.push({ name, args, resolve, reject });
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
      worker.postMessage({ name: job.name, args: job.args });
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

// Every function of lib/functions.js, and the *Async form of those that have
// one, over the loaded library `lib`.
function bind(lib, workers) {
  let pool;
  const inWorker = (name, args) => (pool || (pool = new WorkerPool(lib.file, workers))).run(name, args);
  const api = {
    /** The library file that was loaded. */
    libraryPath: lib.file,
    version: lib.version,
    abiVersion: lib.abiVersion,
  };
  for (const [name, entry] of Object.entries(FUNCTIONS)) {
    const kinds = Object.entries(entry.args);
    const checked = (values) => kinds.map(([argument, kind], i) => kind.check(values[i], argument));
    const finish = entry.finish || ((result) => result);
    api[name] = (...values) => {
      const args = checked(values);
      return finish(lib.invoke(name, args), args);
    };
    if (entry.async) {
      const finishAsync = entry.finishAsync || finish;
      api[`${name}Async`] = async (...values) => {
        const args = checked(values);
        return finishAsync(await inWorker(name, args), args);
      };
    }
  }
  return api;
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

// A library that does not load makes each function throw, each *Async one reject.
for (const [name, entry] of Object.entries(FUNCTIONS)) {
  module.exports[name] = (...args) => instance()[name](...args);
  if (entry.async) module.exports[`${name}Async`] = async (...args) => instance()[`${name}Async`](...args);
}
