// A user's own test of their serial code, on Linux, against the virtual ports of the installed package.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { VirtualPorts } = require('vornet/testing');

// The app under test: asks for the firmware version.
async function firmwareVersion(SerialPort, path) {
  const port = await SerialPort.open(path, { baudRate: 115200 });
  try {
    port.write('AT+GMR\r\n');
    return (await port.readUntil('\r\n', { timeout: 1000 })).toString().trim();
  } finally {
    await port.close();
  }
}

test('the app reads the firmware version', async () => {
  const ports = new VirtualPorts();
  const device = ports.add('COM3', { serialNumber: 'V1', vendorId: '2341', productId: '0043', manufacturer: 'Arduino LLC' });
  device.on('data', (bytes) => { if (bytes.includes('AT+GMR')) device.write('1.4.2\r\n'); });
  assert.equal(await firmwareVersion(ports.SerialPort, 'COM3'), '1.4.2');
  assert.equal(device.settings.baudRate, 115200);
  const [listed] = await ports.SerialPort.list();
  assert.equal(listed.serialNumber, 'V1');
});

test('the app reports a missing port as Windows does', async () => {
  const ports = new VirtualPorts();
  await assert.rejects(firmwareVersion(ports.SerialPort, 'COM9'), { code: 'ENOENT', message: /^Opening COM9: File not found/ });
});
