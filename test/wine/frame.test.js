'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { runWindows, nodeExeOf, eachArch, root } = require('./rig');

const table = ['set', 'get', 'getBaudRate', 'open', 'update', 'close', 'flush', 'drain', 'write', 'read', 'list'];

function checkFrame(run, arch) {
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.json.arch, arch);
  assert.deepEqual(run.json.keys, table);
  assert.deepEqual(run.json.names, table.map(() => ''));
  // Wine answers these four with error 6, as Windows does.
  assert.deepEqual(run.json.texts, {
    getBaudRate: 'Getting baud rate (GetCommState): Invalid handle',
    flush: 'Flushing connection (PurgeComm): Invalid handle',
    drain: 'Draining connection (FlushFileBuffers): Invalid handle',
    close: 'Closing connection (CloseHandle): Invalid handle',
  });
  // A C++ exception thrown and caught inside the addon reaches JavaScript as
  // the getter's own exception: the unwinder works in this build.
  assert.equal(run.json.thrown, 'from the baudRate getter');
}

eachArch(test, 'node.exe loads the addon: eleven nameless functions, Invalid handle texts, exceptions', {}, async (arch) => {
  checkFrame(await runWindows('frame.js', [], { arch }), arch);
});

eachArch(test, 'a copy of node.exe under another name binds the addon all the same', {}, async (arch) => {
  const renamed = path.join(root, 'build', `host-runtime-${arch}.exe`);
  fs.copyFileSync(nodeExeOf(arch), renamed);
  checkFrame(await runWindows('frame.js', [], { exe: renamed, arch }), arch);
});
