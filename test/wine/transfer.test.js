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

const reopen = pairsByArch(45, 46);
const reopenB = pairsByArch(47, 48);
after(() => { reopen.down(); reopenB.down(); });

eachArch(test, 'a write, a read and an update in flight at close never reach the port opened next on the number', {}, async (arch, t) => {
  const seconds = arch === 'x64' ? 8 : 20;
  const run = await runWindows('reopen.js',
    [reopen[arch].a, reopen[arch].b, reopenB[arch].a, reopenB[arch].b, 2000, seconds], { arch });
  assert.equal(run.status, 0, run.stderr + run.stdout);
  const { rounds, reached, sameNumber } = run.json;
  t.diagnostic(`${rounds} rounds, ${sameNumber} of them reopened on the same number, ${reached} reached the second port`);
  console.log(`# [${arch}] ${rounds} rounds, ${sameNumber} on the same number: ${reached} reached the second port`);
  assert.equal(reached, 0);
  assert.ok(rounds >= 20, `only ${rounds} rounds`);
  assert.ok(sameNumber >= 10, 'Windows handed the number out again');
});

eachArch(test, 'SerialPort closed while its pipeline consumer is behind: every byte read reaches it, then the end', {}, async (arch) => {
  const run = await runWindows('slow-close.js', [pairs[arch].a, pairs[arch].b], { arch });
  assert.equal(run.status, 0, run.stderr + run.stdout);
  const r = run.json;
  assert.equal(r.flowing, false, 'the consumer held the port back');
  assert.ok(r.buffered > 0, `bytes waiting in the stream at close: ${r.buffered}`);
  assert.ok(r.read > r.buffered && r.read < 4000, `read ${r.read} of 4000 bytes`);
  assert.deepEqual([r.deliveredIsRead, r.readIsSentPrefix, r.pipelineError, r.closes], [true, true, null, 1]);
});
