'use strict';
// list of the real x64 build against devices written into Wine's registry.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { runWindows } = require('./rig');
const fixture = require('./fixture');

const keys = ['path', 'manufacturer', 'serialNumber', 'pnpId', 'locationId', 'friendlyName', 'vendorId', 'productId'];

test('list returns the fixture machine exactly, serial numbers included', async () => {
  fixture.install(0);
  const run = await runWindows('list.js', [1]);
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.json.error, null);
  const expected = fixture.expectedPorts(0).map((port) => keys.map((k) => [k, port[k] === undefined ? null : port[k]]));
  assert.deepEqual(run.json.ports, expected);
  // The printer port and the device without a PortName gave no record.
  assert.deepEqual(run.json.ports.map((p) => p[0][1]), ['COM1', 'COM62', 'COM63', 'COM64', 'COM61']);
});
