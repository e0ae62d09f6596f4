'use strict';
// write and read of the real builds on a null-modem pair.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const { runWindows, pairsByArch, eachArch } = require('./rig');

const pairs = pairsByArch(43, 44);
after(() => pairs.down());

eachArch(test, '1 MiB each way at once arrives byte-exact; waiting bytes, empty writes, close during a read', {}, async (arch) => {
  const run = await runWindows('stream.js', [pairs[arch].a, pairs[arch].b, 1 << 20], { arch });
  assert.equal(run.status, 0, run.stderr + run.stdout);
  const r = run.json;
  assert.equal(r.exactAB, true);
  assert.equal(r.exactBA, true);
  assert.ok(r.largestRead > 1, 'some reads took more than one byte');
  assert.ok(r.waitingRead > 1 && r.waitingRead <= 13, `read of waiting bytes returned ${r.waitingRead}`);
  assert.equal(r.emptyWrite, null);
  assert.equal(r.closeB, null);
  // The callback's undefined second argument travels through JSON as null.
  assert.deepEqual(r.pendingRead, ['Reading from COM port (ReadIOCompletion): Operation aborted', null]);
});
