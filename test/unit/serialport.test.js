'use strict';
// The SerialPort layer over the Linux build of the addon: option checks,
// defaults, back-pressure, ordering, closing, stale handles, error codes,
// vanished devices and the port watcher.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { pipeline, Writable } = require('node:stream');
const { lintel, sim, tick, settled } = require('./support');
const { createSerialPort } = require('../../lib/serialport');
const { describeError } = require('../../lib/errors');

const SerialPort = createSerialPort(lintel);
beforeEach(() => sim.reset());

const make = (options) => () => new SerialPort('COM3', options);

test('options are checked before anything reaches the addon, each failure naming the option', () => {
  sim.createPort('COM3');
  const cases = [
    [{}, TypeError, /option baudRate is required/],
    [{ baudRate: '9600' }, TypeError, /option baudRate: "9600" is not allowed; expected a positive integer/],
    [{ baudRate: 0 }, RangeError, /option baudRate: 0 is not allowed/],
    [{ baudRate: 9600.5 }, RangeError, /baudRate: 9600.5/],
    [{ baudRate: 2 ** 32 + 9600 }, RangeError, /baudRate: 4294976896/],
    [{ baudRate: 9600, dataBits: 9 }, RangeError, /option dataBits: 9 is not allowed; expected an integer from 5 to 8/],
    [{ baudRate: 9600, parity: 'evn' }, RangeError, /option parity: "evn" is not allowed; expected one of "none", "even", "odd", "mark", "space"/],
    [{ baudRate: 9600, parity: 'e' }, RangeError, /parity: "e"/],
    [{ baudRate: 9600, stopBits: 3 }, RangeError, /option stopBits: 3 is not allowed; expected one of 1, 1.5, 2/],
    [{ baudRate: 9600, stopBits: '2' }, TypeError, /stopBits: "2"/],
    [{ baudRate: 9600, rtsMode: 'Toggle' }, RangeError, /rtsMode: "Toggle"/],
    [{ baudRate: 9600, hupcl: 1 }, TypeError, /option hupcl: 1 is not allowed; expected true or false/],
    [{ baudRate: 9600, lock: 'no' }, TypeError, /option lock: "no"/],
    [{ baudrate: 9600 }, TypeError, /option "baudrate" is unknown; did you mean baudRate\?/],
    [{ baudRate: 9600, parityBits: 1 }, TypeError, /option "parityBits" is unknown\. The options are baudRate, dataBits/],
    [null, TypeError, /options must be an object/],
  ];
  for (const [options, Kind, message] of cases) {
    assert.throws(make(options), (e) => e instanceof Kind && message.test(e.message), JSON.stringify(options));
  }
  assert.throws(() => new SerialPort('', { baudRate: 9600 }), { name: 'TypeError', message: /path must be a port name/ });
  assert.equal(sim.port('COM3').opens, 0);
});

test('defaults reach the addon: 8N1, DTR raised, RTS off, an exclusive open', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 115200 });
  assert.equal(port.isOpen, true);
  assert.deepEqual(port.options, { baudRate: 115200, dataBits: 8, parity: 'none', stopBits: 1, rtscts: false,
    rtsMode: 'handshake', xon: false, xoff: false, xany: false, hupcl: true, lock: true, highWaterMark: 65536 });
  const { dcb, shareMode } = sim.port('COM3');
  assert.deepEqual([dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fDtrControl, dcb.fRtsControl, dcb.fOutX, dcb.fInX],
    [115200, 8, 0, 0, 1, 0, 0, 0]);
  assert.equal(shareMode, 0);
  // A second program's open of a locked port: EACCES, with a hint.
  const second = await SerialPort.open('COM3', { baudRate: 9600 }).catch((e) => e);
  assert.equal(second.code, 'EACCES');
  assert.equal(second.errno, 5);
  assert.equal(second.syscall, 'CreateFileA');
  assert.equal(second.message, 'Opening COM3: Access denied (another program may have the port open)');
  await port.close();
});

test('back-pressure: no read is issued while the consumer holds back', async () => {
  sim.createPort('COM3');
  const port = new SerialPort('COM3', { baudRate: 9600, highWaterMark: 16 });
  await port.open();
  sim.feed('COM3', Buffer.alloc(100, 1));
  // A consumer that has not read yet: the stream fills its buffer, no more.
  port.once('readable', () => {});
  await tick(30);
  sim.resetCalls();
  await tick(30);
  // The stream's buffer is full: no second read, and the rest stays in the port.
  assert.equal(sim.calls('ReadFileEx'), 0);
  assert.equal(sim.port('COM3').rxLength, 84);
  assert.equal(port.read(16).length, 16);
  await tick(20);
  assert.ok(sim.calls('ReadFileEx') >= 1);
  assert.equal(sim.port('COM3').rxLength, 68);
  await port.close();
});

test('10,000 chunks through a consumer that keeps pausing: nothing lost or reordered', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 9600, highWaterMark: 64 });
  const all = Buffer.from(Array.from({ length: 10000 }, (_, i) => `${i},`).join(''));
  const got = [];
  let total = 0;
  const consumer = new Writable({
    highWaterMark: 8,
    write(chunk, encoding, callback) {
      got.push(chunk);
      total += chunk.length;
      if (got.length % 50 === 0) setTimeout(callback, 1); else callback();
    },
  });
  port.pipe(consumer);
  for (let at = 0, i = 0; at < all.length; i++) {
    const n = Math.min(all.length - at, 1 + (i * 37) % 200);
    sim.feed('COM3', all.subarray(at, at + n));
    at += n;
    if (i % 20 === 0) await tick(1);
  }
  for (let i = 0; i < 1000 && total < all.length; i++) await tick(5);
  assert.ok(Buffer.concat(got).equals(all), 'every byte, in order');
  await port.close();
});

test('writes go to the driver one at a time, in order, each called back when it has gone', async () => {
  sim.createPort('COM3');
  sim.configurePort('COM3', { writeChunk: 7 });
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const order = [];
  const writes = [];
  for (let i = 0; i < 500; i++) {
    writes.push(new Promise((resolve) => port.write(`${i};`, (e) => { order.push(i); resolve(e); })));
  }
  assert.deepEqual(new Set(await Promise.all(writes)), new Set([null]));
  assert.deepEqual(order, [...order].sort((a, b) => a - b));
  assert.equal(sim.takeWritten('COM3').toString(), Array.from({ length: 500 }, (_, i) => `${i};`).join(''));
  await port.close();
});

test('close ends a pending read as the end of the stream, lets a held write finish, and is harmless twice', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const events = [];
  port.on('error', (e) => events.push(`error ${e.message}`));
  port.on('end', () => events.push('end'));
  port.on('close', () => events.push('close'));
  port.on('data', (chunk) => events.push(`data ${chunk}`));
  sim.feed('COM3', Buffer.from('hello'));
  await tick(20);
  sim.configurePort('COM3', { holdWrites: true });
  let written = null;
  port.write('bye', (e) => { written = e; });
  await tick(20);
  const closing = port.close();
  assert.equal(port.close(), closing);
  await tick(20);
  // Still waiting for the held write; then it goes, and the port closes.
  assert.equal(sim.port('COM3').openHandles, 1);
  sim.releaseWrites('COM3');
  await closing;
  await tick(20);
  assert.equal(written, null);
  assert.equal(sim.takeWritten('COM3').toString(), 'bye');
  assert.deepEqual(events, ['data hello', 'end', 'close']);
  assert.equal(port.isOpen, false);
  await port.close();
  assert.equal(sim.port('COM3').openHandles, 0);
  assert.equal((await settled()).threads, 0);
});

test('destroy closes at once, aborting a held write without an error event', async () => {
  sim.createPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const errors = [];
  port.on('error', (e) => errors.push(e));
  port.write('held');
  await tick(20);
  port.destroy();
  await new Promise((resolve) => port.once('close', resolve));
  assert.equal(sim.port('COM3').openHandles, 0);
  await tick(20);
  assert.deepEqual(errors, []);
});

test('a closed port never passes its old handle on, though the number now belongs to another port', async () => {
  sim.createPort('COM3');
  sim.createPort('COM4');
  const first = await SerialPort.open('COM3', { baudRate: 9600, lock: false });
  await first.close();
  const second = await SerialPort.open('COM4', { baudRate: 19200 });
  sim.resetCalls();
  for (const action of [() => first.getBaudRate(), () => first.update({ baudRate: 300 }), () => first.set({ rts: true }),
    () => first.get(), () => first.flush(), () => first.drain()]) {
    const error = await action().catch((e) => e);
    assert.equal(error.code, 'ERR_PORT_NOT_OPEN');
    assert.match(error.message, /port COM3 is not open/);
  }
  const writeError = await new Promise((resolve) => first.write('stray', resolve));
  assert.equal(writeError.code, 'ERR_PORT_NOT_OPEN');
  // Nothing reached the system, and so nothing reached the second port.
  for (const fn of ['GetCommState', 'SetCommState', 'EscapeCommFunction', 'PurgeComm', 'FlushFileBuffers', 'WriteFileEx']) {
    assert.equal(sim.calls(fn), 0, fn);
  }
  assert.deepEqual(await second.getBaudRate(), { baudRate: 19200 });
  assert.equal(sim.takeWritten('COM4').length, 0);
  await second.close();
});

test('each addon error gains code, errno and syscall from its text, which it keeps', () => {
  const cases = [
    ['Opening COM9: File not found', 'ENOENT', 2, 'CreateFileA'],
    ['Open (SetCommState): The parameter is incorrect', 'EINVAL', 87, 'SetCommState'],
    ['Getting baud rate (GetCommState): Invalid handle', 'EBADF', 6, 'GetCommState'],
    ['Reading from COM port (ReadIOCompletion): Operation aborted', 'ECANCELED', 995, 'ReadFileEx'],
    ['Writing to COM port (WriteIOCompletion): Unknown error code 31', 'ERROR_GEN_FAILURE', 31, 'WriteFileEx'],
    ['Update (GetCommState): Unknown error code 22', 'ERROR_BAD_COMMAND', 22, 'GetCommState'],
    ['Writing to COM port (WriteFileEx): Unknown error code 1167', 'ERROR_DEVICE_NOT_CONNECTED', 1167, 'WriteFileEx'],
    ['Setting COM timeout (SetCommTimeouts): Unknown error code 121', 'ERROR_SEM_TIMEOUT', 121, 'SetCommTimeouts'],
    ['Draining connection (FlushFileBuffers): Unknown error code 4242', 'UNKNOWN', 4242, 'FlushFileBuffers'],
    ['Closing connection (CloseHandle): Unknown error code -5', 'UNKNOWN', -5, 'CloseHandle'],
  ];
  for (const [message, code, errno, syscall] of cases) {
    const error = describeError(new Error(message));
    assert.deepEqual([error.message, error.code, error.errno, error.syscall], [message, code, errno, syscall]);
  }
  const other = new TypeError('First argument must be an int');
  assert.equal(describeError(other).code, undefined);
});

test('a device that goes away while a read is pending ends the stream with its error', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const ended = new Promise((resolve) => port.on('error', resolve));
  port.resume();
  await tick(20);
  sim.unplugPort('COM3', { pendingError: 1167 });
  const error = await ended;
  assert.equal(error.code, 'ERROR_DEVICE_NOT_CONNECTED');
  assert.equal(error.errno, 1167);
  await new Promise((resolve) => (port.destroyed ? resolve() : port.once('close', resolve)));
  assert.equal(port.isOpen, false);
  assert.equal(sim.port('COM3').openHandles, 0);
});

test('for await and pipeline carry the bytes; a close ends the iteration', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const chunks = [];
  const iterating = (async () => {
    for await (const chunk of port) chunks.push(chunk.toString());
  })();
  sim.feed('COM3', Buffer.from('one'));
  await tick(20);
  sim.feed('COM3', Buffer.from('two'));
  await tick(20);
  await port.close();
  await iterating;
  assert.equal(chunks.join(''), 'onetwo');

  sim.createPort('COM4');
  const source = await SerialPort.open('COM4', { baudRate: 9600 });
  const sink = [];
  const piped = new Promise((resolve, reject) => pipeline(source, new Writable({
    write(chunk, encoding, callback) { sink.push(chunk); callback(); },
  }), (e) => (e ? reject(e) : resolve())));
  sim.feed('COM4', Buffer.from('through a pipeline'));
  await tick(30);
  await source.close();
  await piped;
  assert.equal(Buffer.concat(sink).toString(), 'through a pipeline');
});

test('watch reports ports that come and go between polls, not the ones there at the start', async () => {
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\1', portName: 'COM1' });
  const watcher = SerialPort.watch({ interval: 20 });
  const seen = [];
  watcher.on('attach', (port) => seen.push(`attach ${port.path}`));
  watcher.on('detach', (port) => seen.push(`detach ${port.path}`));
  await tick(60);
  sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM7' });
  await tick(80);
  sim.reset();
  sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM7' });
  await tick(80);
  watcher.close();
  const after = seen.length;
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\2', portName: 'COM2' });
  await tick(60);
  assert.deepEqual(seen, ['attach COM7', 'detach COM1']);
  assert.equal(seen.length, after);
  assert.throws(() => SerialPort.watch({ interval: 0 }), RangeError);
});

test('destroyed while opening, a port closes the handle the open then gets; a closed port cannot reopen', async () => {
  sim.createPort('COM3');
  const port = new SerialPort('COM3', { baudRate: 9600 });
  const opening = port.open();
  assert.equal(port.open(), opening);
  port.destroy();
  const error = await opening.catch((e) => e);
  assert.equal(error.code, 'ERR_PORT_NOT_OPEN');
  await tick(20);
  assert.equal(sim.port('COM3').openHandles, 0);
  assert.equal(port.isOpen, false);
  await assert.rejects(port.open(), /opened and closed before/);
});
