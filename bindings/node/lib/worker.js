'use strict';
// One worker of the asynchronous calls. Each request runs whole on this
// worker's thread: the library call and the read of this thread's
// last-error text, so a reason always belongs to its own call.

const { parentPort, workerData } = require('node:worker_threads');
const native = require('./native');

const lib = native.open(workerData.file);

parentPort.on('message', ({ name, args }) => {
  let reply;
  try {
    reply = { result: lib.invoke(name, args) };
  } catch (error) {
    reply = { error: { message: String(error && error.message), code: error && error.code } };
  }
  parentPort.postMessage(reply);
});
