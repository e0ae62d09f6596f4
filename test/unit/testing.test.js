'use strict';
// The device side of vornet/testing: pacing, null modems, flow control, unplugging and
// plugging back, what the device sees, and that nothing of it outlives the ports.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { VirtualPorts } = require('../../lib/testing');

const call = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));
const tick = (ms = 10) => new Promise((resolve) => setTimeout(resolve, ms));

test('paced ports move ten bits a byte at the rate in effect, both ways; unpaced ones at once', async () => {
  const timings = {};
  for (const pace of [false, true]) {
    const ports = new VirtualPorts({ pace });
    const device = ports.add('COM3');
    const port = await ports.SerialPort.open('COM3', { baudRate: 9600 });
    let started = performance.now();
    await new Promise((resolve) => port.write(Buffer.alloc(96, 'x'), resolve));
    const out = performance.now() - started;
    assert.equal(device.take().length, 96);
    started = performance.now();
    device.write(Buffer.alloc(95, 'y'));
    device.write('\n');
    const frame = await port.readUntil('\n');
    const back = performance.now() - started;
    assert.equal(frame.length, 96);
    // After update() the new rate paces: 96 bytes at 19200 baud take 50 ms.
    await port.update({ baudRate: 19200 });
    started = performance.now();
    await new Promise((resolve) => port.write(Buffer.alloc(96), resolve));
    timings[pace] = [out, back, performance.now() - started];
    await port.close();
  }
  assert.ok(timings.false.every((ms) => ms < 90), `unpaced: ${timings.false}`);
  const [out, back, faster] = timings.true;
  // At least the line's time, and not far past it on a busy machine.
  assert.ok(out >= 95 && out < 400, `96 bytes out at 9600 baud: ${out} ms`);
  assert.ok(back >= 95 && back < 400, `96 bytes in at 9600 baud: ${back} ms`);
  assert.ok(faster >= 45 && faster < out, `96 bytes out at 19200 baud: ${faster} ms`);
  // One port paced among unpaced ones.
  const mixed = new VirtualPorts();
  assert.equal(mixed.add('COM1', { pace: true }).pace, true);
  assert.equal(mixed.add('COM2').pace, false);
});

test('a null modem: bytes cross, DTR and RTS are the other side\'s DSR, DCD and CTS, and CTS flow control holds writes', async () => {
  const ports = new VirtualPorts();
  const [a, b] = ports.pair('COM10', 'COM11');
  const left = await ports.SerialPort.open('COM10', { baudRate: 9600, rtscts: true });
  const right = await ports.SerialPort.open('COM11', { baudRate: 9600, hupcl: false });
  // Right's RTS is low (no flow control there): left's writes wait.
  let sent = false;
  left.write('held', () => { sent = true; });
  await tick(20);
  assert.equal(sent, false);
  assert.deepEqual(await left.get(), { cts: false, dsr: false, dcd: false, lowLatency: false });
  const arrived = new Promise((resolve) => right.once('data', resolve));
  await right.set({ rts: true, dtr: true });
  assert.equal((await arrived).toString(), 'held');
  await tick(5);
  assert.equal(sent, true);
  assert.deepEqual(await left.get(), { cts: true, dsr: true, dcd: true, lowLatency: false });
  // Left drives RTS by handshake, and DTR as the layer's default raised it.
  assert.deepEqual(await right.get(), { cts: true, dsr: true, dcd: true, lowLatency: false });
  assert.deepEqual(a.take().toString(), 'held');
  assert.throws(() => b.set({ cts: true }), TypeError);
  await left.close();
  assert.deepEqual(await right.get(), { cts: false, dsr: false, dcd: false, lowLatency: false });
  await right.close();
});

test('the device sees the settings, the lines as the driver drives them, and each open and close', async () => {
  const ports = new VirtualPorts();
  const device = ports.add('COM3');
  const events = [];
  for (const name of ['open', 'close', 'lines']) device.on(name, (value) => events.push(name === 'close' ? name : [name, value]));
  assert.equal(device.settings, null);
  const fd = (await call(ports.binding.open, 'COM3', { baudRate: 4800, dataBits: 7, parity: 'e', stopBits: '1.5', hupcl: 1 }))[1];
  assert.deepEqual({ ...device.settings }, { baudRate: 4800, dataBits: 7, parity: 'even', stopBits: 1.5, rtscts: false,
    rtsMode: 'handshake', xon: false, xoff: false, xany: false, hupcl: true, lock: false });
  assert.deepEqual(device.lines, { dtr: true, rts: false, brk: false });
  await call(ports.binding.set, fd, { rts: true, brk: true });
  assert.deepEqual(device.lines, { dtr: false, rts: true, brk: true });
  // Setting the rate makes Windows drive DTR and RTS as the open chose.
  await call(ports.binding.update, fd, { baudRate: 9600 });
  assert.deepEqual(device.lines, { dtr: true, rts: false, brk: true });
  assert.equal(device.settings.baudRate, 9600);
  await call(ports.binding.close, fd);
  assert.deepEqual(device.lines, { dtr: false, rts: false, brk: false });
  assert.deepEqual(events.map((e) => (Array.isArray(e) ? e[0] : e)), ['open', 'lines', 'lines', 'close']);
  assert.equal(events[0][1].baudRate, 4800);
});

test('unplugged: gone from the list, the old name held while its handle is; plugged back under another name', async () => {
  const ports = new VirtualPorts();
  const device = ports.add('COM3', { serialNumber: 'A1', vendorId: '0403', productId: '6001' });
  ports.add('COM5');
  const fd = (await call(ports.binding.open, 'COM3', { baudRate: 9600, dataBits: 8 }))[1];
  device.unplug({ pendingError: 995 });
  assert.equal(device.isOpen, false);
  assert.throws(() => device.write('x'), { code: 'ERR_DEVICE_UNPLUGGED' });
  assert.deepEqual((await call(ports.binding.list))[1].map((p) => p.path), ['COM5']);
  device.plug('COM4');
  const [, listed] = await call(ports.binding.list);
  assert.deepEqual(listed.map((p) => [p.path, p.serialNumber, p.pnpId]), [['COM4', 'A1', 'USB\\VID_0403&PID_6001\\A1'], ['COM5', undefined, 'VIRTUAL\\PORT\\COM5']]);
  assert.deepEqual(await call(ports.binding.open, 'COM3', { baudRate: 9600, dataBits: 8 }), [new Error('Opening COM3: Access denied')]);
  assert.deepEqual(await call(ports.binding.close, fd), [null]);
  assert.deepEqual(await call(ports.binding.open, 'COM3', { baudRate: 9600, dataBits: 8 }), [new Error('Opening COM3: File not found')]);
  // Device names are not case-sensitive on Windows.
  const [error, again] = await call(ports.binding.open, 'com4', { baudRate: 9600, dataBits: 8 });
  assert.equal(error, null);
  assert.equal(device.write('back'), true);
  assert.throws(() => device.plug(), /plugged in already/);
  await call(ports.binding.close, again);
  // Bytes from a device nobody has open are lost, as a UART's are.
  assert.equal(device.write('lost'), false);
  // A device that goes as it receives a write: that write calls back once, with the removal's error.
  for (const pace of [false, true]) {
    const machine = new VirtualPorts({ pace });
    machine.add('COM6').once('data', function onData() { this.unplug(); });
    const [, handle] = await call(machine.binding.open, 'COM6', { baudRate: 115200, dataBits: 8 });
    const calls = [];
    machine.binding.write(handle, Buffer.from('AT\r\n'), (...results) => calls.push(results));
    await tick(30);
    assert.deepEqual(calls, [[new Error('Writing to COM port (WriteIOCompletion): Unknown error code 31')]], `pace ${pace}`);
    await call(machine.binding.close, handle);
  }
});

test('the layer over virtual ports: a surprise removal destroys the stream with the coded error, as on Windows', async () => {
  const ports = new VirtualPorts();
  const device = ports.add('COM7');
  const port = await ports.SerialPort.open('COM7', { baudRate: 9600 });
  port.resume();
  const failed = new Promise((resolve) => port.once('error', resolve));
  const closed = new Promise((resolve) => port.once('close', resolve));
  await tick();
  device.unplug();
  const error = await failed;
  const { cause } = error;
  assert.deepEqual([error.code, error.path, cause.code, cause.errno, cause.syscall], ['ERR_PORT_DISCONNECTED', 'COM7', 'ERROR_GEN_FAILURE', 31, 'ReadFileEx']);
  await closed;
  // The layer let the old handle go: the device, back, opens again.
  device.plug();
  const again = await ports.SerialPort.open('COM7', { baudRate: 9600 });
  await again.close();
});

test('the device side refuses what it cannot do, in words', () => {
  const ports = new VirtualPorts();
  const device = ports.add('COM3');
  assert.throws(() => ports.add('com3'), /a port named com3 already/);
  assert.throws(() => ports.add('COM4', { serial: 'x' }), { name: 'TypeError', message: /unknown key "serial"/ });
  assert.throws(() => ports.add('COM4', { serialNumber: 7 }), TypeError);
  assert.throws(() => new VirtualPorts({ paced: true }), /unknown option "paced"/);
  assert.throws(() => device.set({ rts: true }), /unknown line "rts"/);
  assert.throws(() => device.set({ cts: 1 }), /cts must be true or false/);
  assert.throws(() => device.write({}), TypeError);
  assert.throws(() => device.unplug().plug(''), TypeError);
});

test('nothing of the virtual ports keeps a process alive: not paced bytes once closed, not a read waiting', () => {
  const testing = JSON.stringify(path.join(__dirname, '..', '..', 'lib', 'testing.js'));
  const run = spawnSync(process.execPath, ['-e', `
    const { VirtualPorts } = require(${testing});
    const ports = new VirtualPorts({ pace: true });
    const device = ports.add('COM3');
    (async () => {
      const port = await ports.SerialPort.open('COM3', { baudRate: 300 });
      // Seconds of bytes on their way in both directions when the port closes.
      port.write(Buffer.alloc(1000));
      device.write(Buffer.alloc(1000));
      await new Promise((resolve) => setTimeout(resolve, 50));
      // close() would let the write finish; destroy() closes the handle at once.
      port.destroy();
      await new Promise((resolve) => port.once('close', resolve));
      // Left open with a read waiting for a device that will never write.
      const open = await new ports.SerialPort('COM3', { baudRate: 9600 });
      await open.open();
      open.resume();
      console.log('done');
    })();
  `], { encoding: 'utf8', timeout: 5000 });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stdout.trim(), 'done');
});
