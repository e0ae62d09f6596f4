'use strict';
// list on a simulated machine described as data.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, settled } = require('./support');

const usb = 'SYSTEM\\CurrentControlSet\\Enum\\USB';
const keys = ['path', 'manufacturer', 'serialNumber', 'pnpId', 'locationId', 'friendlyName', 'vendorId', 'productId'];

async function list() {
  const results = await call(lintel.list);
  assert.equal(results.length, 2);
  assert.equal(results[0], null);
  for (const port of results[1]) assert.deepEqual(Object.keys(port), keys);
  const h = await settled();
  assert.equal(h.keys, 0, 'every registry key closed');
  assert.equal(h.deviceSets, 0, 'the device set destroyed');
  return results[1];
}

beforeEach(() => sim.reset());

test('list checks its callback', () => {
  assert.throws(() => lintel.list(), { name: 'TypeError', message: 'First argument must be a function' });
  assert.throws(() => lintel.list(42), { name: 'TypeError', message: 'First argument must be a function' });
});

test('no device: an empty array', async () => {
  assert.deepEqual(await list(), []);
});

test('only present devices whose PortName holds COM, in enumeration order', async () => {
  const names = ['COM3', 'LPT1', 'COM10', 'com3', 'XCOM1'];
  names.forEach((portName, i) => sim.addDevice({ instanceId: `ACPI\\PNP0501\\${i}`, portName }));
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\9', portName: 'COM9', present: false });
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\8', deviceKey: false });
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\7' });
  assert.deepEqual((await list()).map((p) => p.path), ['COM3', 'COM10', 'XCOM1']);
});

test('a port with no readable texts still has all eight keys, empty ones undefined', async () => {
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\1', portName: 'COM1' });
  sim.addDevice({ instanceId: 'BTHENUM\\{0}\\2', portName: 'COM2', friendlyName: 'Standard Serial over Bluetooth link (COM2)',
    manufacturer: 'Microsoft', location: 'Port_#0001' });
  const [plain, full] = await list();
  assert.deepEqual(plain, { path: 'COM1', manufacturer: undefined, serialNumber: undefined, pnpId: 'ACPI\\PNP0501\\1',
    locationId: undefined, friendlyName: undefined, vendorId: undefined, productId: undefined });
  assert.deepEqual([full.friendlyName, full.manufacturer, full.locationId],
    ['Standard Serial over Bluetooth link (COM2)', 'Microsoft', 'Port_#0001']);
});

test('texts stored without their terminator end where the returned size says, not at a stale NUL', async () => {
  // The three properties share one buffer, read location, friendly name,
  // manufacturer: a short manufacturer follows a long friendly name.
  sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM5', unterminated: true,
    location: 'Port_#0001.Hub_#0004', friendlyName: 'USB Serial Port (COM5)', manufacturer: 'FTDI' });
  const [port] = await list();
  assert.deepEqual([port.locationId, port.friendlyName, port.manufacturer],
    ['Port_#0001.Hub_#0004', 'USB Serial Port (COM5)', 'FTDI']);
});

test('vendor and product IDs: four characters after the first VID_ and PID_, fewer at the end', async () => {
  const ids = ['USB\\VID_12ab&PID_34CD\\X', 'USB\\VID_1A', 'USB\\VID_AAAA&VID_BBBB&PID_1', 'FTDIBUS\\PID_6001+VID_0403'];
  ids.forEach((instanceId, i) => sim.addDevice({ instanceId, portName: `COM${i + 1}` }));
  assert.deepEqual((await list()).map((p) => [p.vendorId, p.productId]),
    [['12ab', '34CD'], ['1A', undefined], ['AAAA', '1'], ['0403', '6001']]);
});

const container = '{6BC16A5B-4F3A-11EF-9B2A-806E6F6E6963}';

function usbDevice(id, instances) {
  for (const [name, containerId] of instances) {
    sim.regAddKey(`${usb}\\${id}\\${name}`);
    if (containerId) sim.regSetString(`${usb}\\${id}\\${name}`, 'ContainerID', containerId);
  }
}

test('the serial number is the USB instance key whose ContainerID matches, the first by index', async () => {
  usbDevice('VID_2341&PID_0043', [['AAA1', '{00000000-0000-0000-0000-000000000001}'], ['BBB2', container],
    ['CCC3', container]]);
  sim.addDevice({ instanceId: 'USB\\VID_2341&PID_0043\\BBB2', portName: 'COM3', containerId: container });
  sim.resetCalls();
  const [port] = await list();
  assert.equal(port.serialNumber, 'BBB2');
  // Stopped at the match: the third instance key was never opened.
  assert.equal(sim.calls('RegOpenKeyExW'), 3);
});

test('many adapters of one make: each instance key is opened once per list, not once per port', async () => {
  const opens = [];
  for (const n of [1, 20, 80]) {
    sim.reset();
    const instances = [];
    for (let i = 0; i < n; i++) {
      const guid = `{00B0C000-0000-4000-8000-${String(i).padStart(12, '0')}}`;
      instances.push([`SN${String(i).padStart(4, '0')}`, guid.toLowerCase()]);
      // Enumerated in the reverse order of the instance keys: the worst case
      // for a walk that starts over for every port.
      sim.addDevice({ instanceId: `USB\\VID_16C0&PID_0483\\SN${String(n - 1 - i).padStart(4, '0')}`,
        portName: `COM${100 + i}`, containerId: `{00B0C000-0000-4000-8000-${String(n - 1 - i).padStart(12, '0')}}` });
    }
    usbDevice('VID_16C0&PID_0483', instances);
    sim.resetCalls();
    const ports = await list();
    assert.deepEqual(ports.map((p) => p.serialNumber), ports.map((p, i) => `SN${String(n - 1 - i).padStart(4, '0')}`));
    opens.push(sim.calls('RegOpenKeyExW'));
  }
  // The product key once, and each instance key once.
  assert.deepEqual(opens, [2, 21, 81]);
  // Nothing is remembered between calls: a second list reads the registry again.
  sim.resetCalls();
  await list();
  assert.equal(sim.calls('RegOpenKeyExW'), 81);
});

test('Windows keeps ContainerID in lower case: it still matches the upper-case container text', async () => {
  usbDevice('VID_0403&PID_6001', [['A50285BI', container.toLowerCase()]]);
  sim.addDevice({ instanceId: 'FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000', portName: 'COM5', containerId: container });
  assert.equal((await list())[0].serialNumber, 'A50285BI');
});

test('the lookup passes over what it cannot use and finds nothing without its inputs', async () => {
  const longName = 'S'.repeat(255);
  usbDevice('VID_1111&PID_2222', [[longName, container], ['NOVALUE', null], ['GOOD', container]]);
  sim.addDevice({ instanceId: 'USB\\VID_1111&PID_2222\\GOOD', portName: 'COM1', containerId: container });
  // No container ID property: nothing, though the product key exists.
  sim.addDevice({ instanceId: 'USB\\VID_1111&PID_2222\\GOOD', portName: 'COM2' });
  // A product key without subkeys.
  sim.regAddKey(`${usb}\\VID_3333&PID_4444`);
  sim.addDevice({ instanceId: 'USB\\VID_3333&PID_4444\\Z', portName: 'COM3', containerId: container });
  // The IDs go into the path as cut: a two-character vendor ID.
  usbDevice('VID_AB&PID_CDEF', [['SHORT', container]]);
  sim.addDevice({ instanceId: 'X\\PID_CDEF&VID_AB', portName: 'COM4', containerId: container });
  // No product ID: no registry key opened at all.
  sim.addDevice({ instanceId: 'USB\\VID_1111', portName: 'COM6', containerId: container });
  const found = await list();
  assert.deepEqual(found.map((p) => p.serialNumber), ['GOOD', undefined, undefined, 'SHORT', undefined]);

  sim.resetCalls();
  sim.reset();
  sim.addDevice({ instanceId: 'USB\\VID_1111', portName: 'COM6', containerId: container });
  await list();
  assert.equal(sim.calls('RegOpenKeyExW'), 0);
});

test('the device property entry point is looked up on every device, and its absence is no error', async () => {
  usbDevice('VID_2341&PID_0043', [['SN1', container]]);
  sim.addDevice({ instanceId: 'USB\\VID_2341&PID_0043\\SN1', portName: 'COM3', containerId: container });
  sim.addDevice({ instanceId: 'USB\\VID_2341&PID_0043\\SN1', portName: 'COM4', containerId: container });
  sim.resetCalls();
  assert.deepEqual((await list()).map((p) => p.serialNumber), ['SN1', 'SN1']);
  assert.equal(sim.calls('GetProcAddress'), 2);
  sim.hide('SetupDiGetDevicePropertyW', true);
  assert.deepEqual((await list()).map((p) => p.serialNumber), [undefined, undefined]);
});

test('enumeration failures end the list instead of failing it or looping', async () => {
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\1', portName: 'COM1' });
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\2', portName: 'COM2' });
  sim.failNext('SetupDiGetClassDevsA', 5);
  sim.resetCalls();
  assert.deepEqual(await list(), []);
  assert.equal(sim.calls('SetupDiDestroyDeviceInfoList'), 0);
  assert.equal(sim.calls('SetupDiEnumDeviceInfo'), 0);

  sim.failNext('SetupDiEnumDeviceInfo', 13, { after: 1, sticky: true });
  assert.deepEqual((await list()).map((p) => p.path), ['COM1']);
  sim.reset();
});

test('an instance ID or port name too long for its buffer skips that device', async () => {
  sim.addDevice({ instanceId: 'USB\\' + 'I'.repeat(1000), portName: 'COM1' });
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\2', portName: 'COM' + '2'.repeat(1000) });
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\3', portName: 'COM3' });
  assert.deepEqual((await list()).map((p) => p.path), ['COM3']);
});
