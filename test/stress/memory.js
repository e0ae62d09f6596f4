'use strict';
// A forced collection without --expose-gc, and what the process then holds.
const v8 = require('node:v8');
const vm = require('node:vm');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

async function settledMemory() {
  for (let i = 0; i < 3; i++) {
    gc();
    await new Promise((resolve) => setImmediate(resolve));
  }
  const { rss, heapUsed, arrayBuffers } = process.memoryUsage();
  return { rss, heapUsed, arrayBuffers };
}

const mib = (bytes) => (bytes / 2 ** 20).toFixed(1);

module.exports = { settledMemory, mib };
