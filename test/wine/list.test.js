'use strict';
// list against devices written into each Wine prefix's registry.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { runWindows, eachArch } = require('./rig');
const fixture = require('./fixture');

const keys = ['path', 'manufacturer', 'serialNumber', 'pnpId', 'locationId', 'friendlyName', 'vendorId', 'productId'];

eachArch(test, 'list returns the fixture machine exactly, serial numbers included', {}, async (arch) => {
  fixture.install(0, arch);
  const run = await runWindows('list.js', [1], { arch });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.json.error, null);
  const expected = fixture.expectedPorts(0).map((port) => keys.map((k) => [k, port[k] === undefined ? null : port[k]]));
  assert.deepEqual(run.json.ports, expected);
  // The printer port and the device without a PortName gave no record.
  assert.deepEqual(run.json.ports.map((p) => p[0][1]), ['COM1', 'COM62', 'COM63', 'COM64', 'COM61']);
});
