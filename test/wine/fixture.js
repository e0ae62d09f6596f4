'use strict';
// Writes a small machine's serial devices into the Wine prefix's registry, as
// Windows lays them out: the Ports-class device keys under Enum, their
// Device Parameters\PortName, their container ID property, and the USB
// enumerator's instance keys carrying ContainerID in lower case.
// `node test/wine/fixture.js [extraDevices] [x64|arm64]` writes it into the
// prefix of that architecture; the module exports what list is expected to
// return for it.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const enumKey = 'HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum';
const portsClass = '{4D36E978-E325-11CE-BFC1-08002BE10318}';
const usbClass = '{36FC9E60-C465-11CF-8056-444553540000}';
const containerProperty = 'Properties\\{8C7ED206-3F8A-4827-B3AB-AE9E1FAEFC6C}\\0002';

// The 16 bytes of a GUID in memory order, as REG_BINARY wants them.
function guidHex(guid) {
  const h = guid.replace(/[{}-]/g, '');
  const le = (s) => s.match(/../g).reverse();
  return [...le(h.slice(0, 8)), ...le(h.slice(8, 12)), ...le(h.slice(12, 16)), ...h.slice(16).match(/../g)].join(',');
}

const sz = (name, value) => `"${name}"="${value.replace(/\\/g, '\\\\')}"`;

function portDevice({ instanceId, portName, friendlyName, mfg, location, containerId }) {
  const key = `${enumKey}\\${instanceId}`;
  const lines = [`[${key}]`, sz('ClassGUID', portsClass)];
  if (friendlyName) lines.push(sz('FriendlyName', friendlyName));
  if (mfg) lines.push(sz('Mfg', mfg));
  if (location) lines.push(sz('LocationInformation', location));
  lines.push('', `[${key}\\Device Parameters]`);
  if (portName) lines.push(sz('PortName', portName));
  if (containerId) lines.push('', `[${key}\\${containerProperty}]`, `@=hex:${guidHex(containerId)}`);
  return lines.join('\n');
}

// The USB enumerator's instance key of a device whose port lives elsewhere.
function usbParent(instanceId, containerId) {
  return [`[${enumKey}\\${instanceId}]`, sz('ClassGUID', usbClass), sz('ContainerID', containerId.toLowerCase())].join('\n');
}

// The FTDI adapter, with its USB serial number, as its port appears under `portName`.
const ftdiContainer = '{E27EBEFB-DDD4-11EF-A6B2-806E6F6E6963}';
const ftdi = (portName) => ({ instanceId: 'FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000', portName,
  friendlyName: `USB Serial Port (${portName})`, mfg: 'FTDI', location: 'Port_#0003.Hub_#0001', containerId: ftdiContainer });

function machine(extra = 0) {
  const sections = [];
  const expected = [];
  const add = (device, record) => {
    sections.push(portDevice(device));
    if (record) expected.push(record);
  };
  const port = (fields) => ({ manufacturer: undefined, serialNumber: undefined, locationId: undefined,
    friendlyName: undefined, vendorId: undefined, productId: undefined, ...fields });

  add({ instanceId: 'ACPI\\PNP0400\\1', portName: 'LPT1', friendlyName: 'Printer Port (LPT1)' });
  add({ instanceId: 'ACPI\\PNP0501\\1', portName: 'COM1', friendlyName: 'Communications Port (COM1)', mfg: '(Standard port types)' },
    port({ path: 'COM1', manufacturer: '(Standard port types)', pnpId: 'ACPI\\PNP0501\\1', friendlyName: 'Communications Port (COM1)' }));
  add({ instanceId: 'ACPI\\PNP0501\\2', friendlyName: 'Communications Port' });

  add(ftdi('COM62'),
  port({ path: 'COM62', manufacturer: 'FTDI', serialNumber: 'A50285BI', pnpId: 'FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000',
    locationId: 'Port_#0003.Hub_#0001', friendlyName: 'USB Serial Port (COM62)', vendorId: '0403', productId: '6001' }));
  sections.push(usbParent('USB\\VID_0403&PID_6001\\A50285BI', ftdiContainer));

  for (const [n, container] of [[1, '{7D2B1C40-1111-11EF-8000-806E6F6E6963}'], [2, '{7D2B1C40-2222-11EF-8000-806E6F6E6963}']]) {
    const instanceId = `USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&${n}`;
    add({ instanceId, portName: `COM6${2 + n}`, friendlyName: `USB-SERIAL CH340 (COM6${2 + n})`, mfg: 'wch.cn',
      location: `Port_#000${n}.Hub_#0002`, containerId: container },
    port({ path: `COM6${2 + n}`, manufacturer: 'wch.cn', serialNumber: `5&1A2B3C4D&0&${n}`, pnpId: instanceId,
      locationId: `Port_#000${n}.Hub_#0002`, friendlyName: `USB-SERIAL CH340 (COM6${2 + n})`, vendorId: '1A86', productId: '7523' }));
    sections.push(`[${enumKey}\\${instanceId}]\n${sz('ContainerID', container.toLowerCase())}`);
  }

  const arduino = '{6BC16A5B-4F3A-11EF-9B2A-806E6F6E6963}';
  const arduinoId = 'USB\\VID_2341&PID_0043\\85736323838351F0E1A1';
  add({ instanceId: arduinoId, portName: 'COM61', friendlyName: 'Arduino Uno (COM61)', mfg: 'Arduino LLC (www.arduino.cc)',
    location: 'Port_#0002.Hub_#0001', containerId: arduino },
  port({ path: 'COM61', manufacturer: 'Arduino LLC (www.arduino.cc)', serialNumber: '85736323838351F0E1A1', pnpId: arduinoId,
    locationId: 'Port_#0002.Hub_#0001', friendlyName: 'Arduino Uno (COM61)', vendorId: '2341', productId: '0043' }));
  sections.push(`[${enumKey}\\${arduinoId}]\n${sz('ContainerID', arduino.toLowerCase())}`);

  // Extra CDC devices for timing: each with its own serial number.
  for (let i = 0; i < extra; i++) {
    const serial = `BENCH${String(i).padStart(6, '0')}`;
    const container = `{00B0C000-0000-4000-8000-${String(i).padStart(12, '0')}}`;
    const instanceId = `USB\\VID_16C0&PID_0483\\${serial}`;
    add({ instanceId, portName: `COM${100 + i}`, friendlyName: `USB Serial Device (COM${100 + i})`, mfg: 'Microsoft', containerId: container },
      port({ path: `COM${100 + i}`, manufacturer: 'Microsoft', serialNumber: serial, pnpId: instanceId,
        friendlyName: `USB Serial Device (COM${100 + i})`, vendorId: '16C0', productId: '0483' }));
    sections.push(`[${enumKey}\\${instanceId}]\n${sz('ContainerID', container.toLowerCase())}`);
  }
  return { sections, expected };
}

const fixtureRoots = ['ACPI\\PNP0400', 'ACPI\\PNP0501', 'FTDIBUS', 'USB\\VID_0403&PID_6001', 'USB\\VID_1A86&PID_7523',
  'USB\\VID_2341&PID_0043', 'USB\\VID_16C0&PID_0483'];

// Replaces whatever an earlier run left with this fixture.
function install(extra = 0, arch = 'x64') {
  const { sections } = machine(extra);
  const removals = fixtureRoots.map((k) => `[-${enumKey}\\${k}]`);
  const file = path.join(root, 'build', `fixture-${extra}.reg`);
  fs.writeFileSync(file, ['REGEDIT4', '', ...removals, '', ...sections.map((s) => s + '\n')].join('\n'));
  execFileSync(path.join(root, 'scripts', 'wine'), ['--arch', arch, 'regedit', '/S', 'Z:' + file.replace(/\//g, '\\')],
    { stdio: 'ignore' });
  fs.writeFileSync(path.join(root, 'build', arch === 'x64' ? 'wine' : `wine-${arch}`, '.vornet-fixture'), String(extra));
}

function regedit(name, lines, arch) {
  const file = path.join(root, 'build', `${name}-${arch}.reg`);
  fs.writeFileSync(file, ['REGEDIT4', '', ...lines, ''].join('\n'));
  execFileSync(path.join(root, 'scripts', 'wine'), ['--arch', arch, 'regedit', '/S', 'Z:' + file.replace(/\//g, '\\')],
    { stdio: 'ignore' });
}

// The FTDI adapter pulled out (null) or plugged in with its port named
// `portName`, as Windows would give a device moved to another hub; its USB
// instance, which holds its serial number, stays. fixture install() puts it
// back as it was.
function moveFtdi(portName, arch = 'x64') {
  regedit('fixture-ftdi', [`[-${enumKey}\\FTDIBUS]`, '', ...(portName ? [portDevice(ftdi(portName))] : [])], arch);
}

// Wine lists keys in name order, so records come sorted by instance ID.
function expectedPorts(extra = 0) {
  return machine(extra).expected.sort((a, b) => (a.pnpId.toUpperCase() < b.pnpId.toUpperCase() ? -1 : 1));
}

module.exports = { install, expectedPorts, moveFtdi };

if (require.main === module) install(Number(process.argv[2] || 0), process.argv[3] || 'x64');
