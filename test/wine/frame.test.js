'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { runWindows, nodeExe, root } = require('./rig');

const table = ['set', 'get', 'getBaudRate', 'open', 'update', 'close', 'flush', 'drain', 'write', 'read', 'list'];

function checkFrame(run) {
  assert.equal(run.status, 0, run.stderr);
  assert.deepEqual(run.json.keys, table);
  assert.deepEqual(run.json.names, table.map(() => ''));
  // Wine answers these four with error 6, as Windows does.
  assert.deepEqual(run.json.texts, {
    getBaudRate: 'Getting baud rate (GetCommState): Invalid handle',
    flush: 'Flushing connection (PurgeComm): Invalid handle',
    drain: 'Draining connection (FlushFileBuffers): Invalid handle',
    close: 'Closing connection (CloseHandle): Invalid handle',
  });
}

test('node.exe loads the x64 addon: eleven nameless functions and Invalid handle texts', async () => {
  checkFrame(await runWindows('frame.js'));
});

test('a copy of node.exe under another name binds the addon all the same', async () => {
  const renamed = path.join(root, 'build', 'host-runtime.exe');
  fs.copyFileSync(nodeExe, renamed);
  checkFrame(await runWindows('frame.js', [], { exe: renamed }));
});
