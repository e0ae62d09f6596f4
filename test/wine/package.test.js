'use strict';
// The installed package in Windows node.exe of each architecture: require
// and import, vornet/promises on the fixture and a null-modem pair, and a
// typed program compiled from the installed types.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const { runWindows, pairsByArch, eachArch } = require('./rig');
const fixture = require('./fixture');
const { install, withPrograms, root } = require('../package/install');

const names = ['open', 'update', 'close', 'flush', 'drain', 'set', 'get', 'getBaudRate', 'write', 'read', 'list'];
// The addon's own order of its exports.
const table = ['set', 'get', 'getBaudRate', 'open', 'update', 'close', 'flush', 'drain', 'write', 'read', 'list'];
const pairs = pairsByArch(59, 60);
after(() => pairs.down());
let dir;
before(() => {
  dir = withPrograms(install());
  // The typed program, compiled by tsc from the installed types.
  const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
  const run = spawnSync(process.execPath, [tsc, '--strict', '--module', 'node16', '--moduleResolution', 'node16',
    '--target', 'es2022', '--types', 'node', '--typeRoots', path.join(root, 'node_modules', '@types'),
    path.join(dir, 'typed.ts')], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.ok(fs.existsSync(path.join(dir, 'typed.js')));
});
const user = (file, args, arch) => runWindows(path.join(dir, file), args, { arch, cwd: dir });

eachArch(test, 'require and import of the installed package give the eleven functions of its own binary', {}, async (arch) => {
  const run = await user('exports.js', [], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    arch, requireKeys: table, importNames: names, same: true, functionNames: names.map(() => ''),
    promiseKeys: names, promisesSame: true, loaded: [`prebuilds/win32-${arch}/lintel.node`],
  });
});

eachArch(test, 'vornet/promises lists the fixture and carries bytes across a pair; errors as callbacks give them', {}, async (arch) => {
  fixture.install(0, arch);
  const run = await user('promises.mjs', [pairs[arch].a, pairs[arch].b], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    ports: fixture.expectedPorts(0).map((p) => [p.path, p.serialNumber ?? null]),
    rate: { baudRate: 57600 },
    text: 'through the promises',
    missing: [true, 'Opening COM199: File not found', false],
    refused: ['TypeError', 'Second argument must be a buffer'],
  });
});

eachArch(test, 'a typed program compiled from the installed types runs', {}, async (arch) => {
  fixture.install(0, arch);
  const run = await user('typed.js', [pairs[arch].a, pairs[arch].b], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    serials: fixture.expectedPorts(0).map((p) => p.serialNumber ?? null), baudRate: 19200, text: 'typed',
    lines: 'Getting control settings on COM port (GetCommModemStatus): Unknown error code 50',
  });
});
