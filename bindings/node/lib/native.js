'use strict';
// One loaded library: the functions of lib/functions.js bound through koffi,
// and the calls made with them, each whole on the thread that asks (the
// main thread, or a worker of the asynchronous calls).

const koffi = require('koffi');
const { FUNCTIONS, SUPPORT } = require('./functions');

// The interface this package is written against (ktcache_abi_version()).
const ABI_VERSION = 1;

/**
 * Loads the library file `file` (a path or a name for the system's search)
 * and binds its functions. Throws koffi's error when it does not load, and
 * an Error when it is not the interface this package speaks.
 */
function open(file) {
  const lib = koffi.load(file);
  const c = {};
  for (const [name, declaration] of Object.entries(SUPPORT)) c[name] = lib.func(declaration);

  const abiVersion = c.abiVersion();
  if (abiVersion !== ABI_VERSION) {
    throw new Error(`${file}: interface ${abiVersion}, this package speaks interface ${ABI_VERSION}`);
  }

  const formatNames = new Map();
  const support = {
    lastError: c.lastError,

    formatName(code) {
      if (!formatNames.has(code)) formatNames.set(code, c.formatName(code));
      return formatNames.get(code);
    },

    /** Copies a caller-owned text out of its block and releases the block once. */
    take(block) {
      if (block === null) return null;
      try {
        return koffi.decode(block, 'char', -1);
      } finally {
        c.free(block);
      }
    },
  };

  const calls = new Map();
  for (const [name, entry] of Object.entries(FUNCTIONS)) {
    calls.set(name, { entry, call: lib.func(entry.c), kinds: Object.values(entry.args) });
  }

  return {
    file,
    version: c.version(),
    abiVersion,

    /** Calls the function `name` with checked JavaScript arguments. */
    invoke(name, args) {
      const { entry, call, kinds } = calls.get(name);
      const cArgs = kinds.flatMap((kind, i) => kind.toC(args[i]));
      if (entry.buffer) cArgs.push(Buffer.alloc(entry.buffer), entry.buffer);
      return entry.result(call(...cArgs), support, cArgs);
    },
  };
}

module.exports = { open };
