'use strict';
// Transfers in worker_threads under Wine, and a Worker terminated with its
// read pending.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const { runWindows, pairsByArch, eachArch } = require('./rig');

const pairs = pairsByArch(53, 54);
after(() => pairs.down());

eachArch(test, 'a Worker writes, reads and closes during a read; terminated with a read pending, it takes no bytes along', {}, async (arch) => {
  const run = await runWindows('worker.js', [pairs[arch].a, pairs[arch].b], { arch });
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    writeError: null, text: 'from the worker', closeError: null,
    aborted: 'Reading from COM port (ReadIOCompletion): Operation aborted', after: 'after the worker',
  });
});
