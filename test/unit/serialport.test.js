'use strict';
// The SerialPort layer over the Linux build of the addon: option checks,
// defaults, back-pressure, ordering, closing, stale handles, error codes,
// vanished devices and the port watcher.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { pipeline, Writable } = require('node:stream');
const { once } = require('node:events');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { lintel, sim, tick, settled, recordingBinding } = require('./support');
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
    [{ baudRate: 9600, parity: 'evn' }, RangeError, /option parity: "evn" is not allowed; expected one of "none", "even", "odd", "mark", "space"/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, parity: 'e' }, RangeError, /parity: "e"/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, stopBits: 3 }, RangeError, /option stopBits: 3 is not allowed; expected one of 1, 1.5, 2/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, stopBits: '2' }, TypeError, /stopBits: "2"/],
    [{ baudRate: 9600, rtsMode: 'Toggle' }, RangeError, /rtsMode: "Toggle"/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, hupcl: 1 }, TypeError, /option hupcl: 1 is not allowed; expected true or false/],
    [{ baudRate: 9600, lock: 'no' }, TypeError, /option lock: "no"/],
    [{ baudrate: 9600 }, TypeError, /option "baudrate" is unknown; did you mean baudRate\?/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, parityBits: 1 }, TypeError, /option "parityBits" is unknown\. The options are baudRate, dataBits/, 'ERR_INVALID_ARG_VALUE'],
    [null, TypeError, /options must be an object/],
    [{ baudRate: 9600, dataBits: 5, stopBits: 2 }, RangeError, /options dataBits: 5 and stopBits: 2 cannot go together/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, stopBits: 1.5 }, RangeError, /options dataBits: 8 and stopBits: 1.5 cannot go together/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, rtsMode: 'toggle' }, TypeError, /option rtsMode: "toggle" takes effect only with rtscts: true/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, highWaterMark: 2 ** 24 + 1 }, RangeError, /option highWaterMark: 16777217 is not allowed; expected an integer from 1 to 16777216/],
    [{ baudRate: 9600, modemStatus: { interval: 0 } }, RangeError, /"modemStatus.interval" is out of range\. It must be from 1 to 2147483647/],
    [{ baudRate: 9600, modemStatus: { interval: 2 ** 31 } }, RangeError, /"modemStatus.interval" is out of range/],
    [{ baudRate: 9600, modemStatus: { interval: '5' } }, TypeError, /option modemStatus.interval: "5" is not allowed/],
    [{ baudRate: 9600, modemStatus: { every: 5 } }, TypeError, /option modemStatus.every is unknown/, 'ERR_INVALID_ARG_VALUE'],
    [{ baudRate: 9600, modemStatus: true }, TypeError, /option modemStatus: true is not allowed; expected an object/],
  ];
  // Coded as Node's own argument errors: a wrong type, a value not allowed, a number out of range.
  for (const [options, Kind, message, code = Kind === TypeError ? 'ERR_INVALID_ARG_TYPE' : 'ERR_OUT_OF_RANGE'] of cases) {
    assert.throws(make(options), (e) => e instanceof Kind && message.test(e.message) && e.code === code && e.path === 'COM3',
      `${JSON.stringify(options)}: ${code}`);
  }
  assert.throws(() => new SerialPort('', { baudRate: 9600 }), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE', message: /path must be a port name/ });
  // The pairs Windows takes.
  new SerialPort('COM3', { baudRate: 9600, dataBits: 5, stopBits: 1.5, rtscts: true, rtsMode: 'toggle', highWaterMark: 2 ** 24 });
  assert.equal(sim.port('COM3').opens, 0);
});

test('defaults reach the addon: 8N1, DTR raised, RTS off, an exclusive open', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 115200 });
  assert.equal(port.isOpen, true);
  assert.deepEqual(port.options, { baudRate: 115200, dataBits: 8, parity: 'none', stopBits: 1, rtscts: false,
    rtsMode: 'handshake', xon: false, xoff: false, xany: false, hupcl: true, lock: true, highWaterMark: 65536, closeTimeout: 5000, modemStatus: null,
    reconnect: null });
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

test('a device that goes away while a read is pending ends the stream with the loss, its error the cause', async () => {
  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const ended = new Promise((resolve) => port.on('error', resolve));
  port.resume();
  await tick(20);
  sim.unplugPort('COM3', { pendingError: 1167 });
  const error = await ended;
  assert.deepEqual([error.code, error.path, error.cause.code, error.cause.errno],
    ['ERR_PORT_DISCONNECTED', 'COM3', 'ERROR_DEVICE_NOT_CONNECTED', 1167]);
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
  for (const interval of [0, 2 ** 31, NaN, Infinity]) {
    assert.throws(() => SerialPort.watch({ interval }), { name: 'RangeError', code: 'ERR_OUT_OF_RANGE', message: /"interval"/ });
  }
  assert.throws(() => SerialPort.watch({ unref: 1 }), { name: 'TypeError', message: /option unref/ });
});

test('a watcher gives its baseline as ready, iterates its changes, closes once, and may leave the process free', async () => {
  sim.reset();
  sim.addDevice({ instanceId: 'ACPI\\PNP0501\\1', portName: 'COM1' });
  const watcher = SerialPort.watch({ interval: 10 });
  let closes = 0;
  watcher.on('close', () => closes++);
  const [baseline] = await once(watcher, 'ready');
  assert.deepEqual(baseline.map((p) => p.path), ['COM1']);
  const seen = [];
  const iterating = (async () => {
    for await (const { type, port } of watcher) {
      seen.push(`${type} ${port.path}`);
      if (seen.length === 2) break;
    }
  })();
  sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM7' });
  await tick(40);
  sim.reset();
  await iterating;
  assert.deepEqual(seen, ['attach COM7', 'detach COM1']);
  // Leaving the loop closed it; further closes change nothing.
  assert.equal(watcher.closed, true);
  watcher.close();
  await tick(5);
  assert.equal(closes, 1);
  const ended = [];
  for await (const change of watcher) ended.push(change);
  assert.deepEqual(ended, []);

  // An unref'd watcher alone does not keep a process alive.
  const child = spawnSync(process.execPath, ['-e', `
    const { lintel } = require(${JSON.stringify(path.join(__dirname, 'support.js'))});
    const { createSerialPort } = require(${JSON.stringify(path.join(__dirname, '..', '..', 'lib', 'serialport.js'))});
    createSerialPort(lintel).watch({ interval: 60000, unref: true });
    setTimeout(() => {}, 50);
  `], { timeout: 20000 });
  assert.equal(child.status, 0, String(child.stderr));
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
  await assert.rejects(port.open(), { code: 'ERR_STREAM_DESTROYED', message: /opened and closed before/ });
});

// Rejections nobody handled and throws nobody caught, from any test here.
const unhandled = [];
process.on('unhandledRejection', (reason) => unhandled.push(reason));
process.on('uncaughtException', (error) => unhandled.push(error));

// Resolves once 'close' has come, then waits a little more so that a second
// one would be seen too.
async function closeEvents(port, counted) {
  for (let i = 0; i < 200 && counted() === 0; i++) await tick(5);
  await tick(20);
  return counted();
}

test('close() resolves once the handle is closed, from every state; nothing reaches a closed number', async () => {
  const writeFails = () => sim.failNext('WriteFileEx', 31);
  const rows = [
    // [state, set it up, what close() gives, the port's 'error' events, handles left]
    ['never opened', async () => {}, 'resolves', []],
    ['before open() settles', async (port) => { port.open(); }, 'resolves', []],
    ['after a failed open', async (port) => { sim.hide('COM3'); await port.open().catch(() => {}); }, 'resolves', []],
    ['after destroy()', async (port) => { await port.open(); port.destroy(); }, 'resolves', []],
    // The write waits for an open that never comes while a queued control
    // call keeps the handle: the write must give up, not spin.
    ['destroyed while opening, a write and controls waiting', async (port) => {
      port.open().catch(() => {}); port.write('x', () => {});
      for (const call of [port.set({ dtr: false }), port.getBaudRate()]) call.catch(() => {});
      port.destroy();
    }, 'resolves', []],
    // A device lost while closing fails the writes with the loss, not the
    // stream: close() was asked for, and 'error' would come to nobody.
    ['while a write is failing', async (port) => { await port.open(); writeFails(); port.write('x', () => {}); }, 'resolves', []],
    ['while the device is unplugged', async (port) => {
      // A held write keeps close() waiting until the device goes.
      sim.configurePort('COM3', { holdWrites: true });
      await port.open(); port.resume(); port.write('held', () => {}); await tick(10);
      setTimeout(() => sim.unplugPort('COM3', { pendingError: 1167 }), 5);
    }, 'resolves', []],
    ['twice at once', async (port) => { await port.open(); port.close(); }, 'resolves', []],
    ['after an open listener threw', async (port) => {
      port.once('open', () => { throw new Error('listener'); });
      const error = await port.open().catch((e) => e);
      assert.equal(error.message, 'listener');
    }, 'resolves', []],
    ['with a held write, by destroy()', async (port) => {
      sim.configurePort('COM3', { holdWrites: true });
      await port.open(); port.write('held', () => {}); await tick(10);
      setTimeout(() => port.destroy(), 0);
    }, 'resolves', []],
    // The system's refusal leaves its handle as the system says.
    ['when the addon cannot close', async (port) => { await port.open(); sim.failNext('CloseHandle', 6); }, 'Invalid handle', [], 1],
  ];
  for (const [state, setUp, outcome, expectedErrors, handlesLeft = 0] of rows) {
    sim.reset();
    sim.createPort('COM3');
    const recorder = recordingBinding();
    const Port = createSerialPort(recorder.binding);
    const port = new Port('COM3', { baudRate: 9600 });
    let closes = 0;
    const errors = [];
    port.on('close', () => closes++);
    port.on('error', (e) => errors.push(e.code));
    await setUp(port);
    const result = await port.close().then(() => 'resolves', (e) => { assert.equal(e.code, 'EBADF', state); return 'Invalid handle'; });
    assert.equal(result, outcome, state);
    assert.equal(await closeEvents(port, () => closes), 1, `${state}: one 'close'`);
    // Late calls: refused by the port, and nothing reaches the addon.
    const late = await Promise.all([port.getBaudRate(), port.set({ dtr: true }), port.drain()].map((p) => p.catch((e) => e.code)));
    assert.deepEqual(late, ['ERR_PORT_NOT_OPEN', 'ERR_PORT_NOT_OPEN', 'ERR_PORT_NOT_OPEN'], state);
    await tick(10);
    assert.deepEqual(recorder.stale, [], `${state}: calls on a closed number`);
    assert.equal(sim.port('COM3').openHandles, handlesLeft, `${state}: handles left open`);
    assert.equal(port.isOpen, false, state);
    assert.deepEqual(errors, expectedErrors, state);
  }
  assert.deepEqual(unhandled, []);
});

test('control calls made before close() in the same tick run first; those after it are refused', async () => {
  sim.createPort('COM3');
  const recorder = recordingBinding();
  const port = new (createSerialPort(recorder.binding))('COM3', { baudRate: 9600 });
  // Made while the port is still opening: they wait for it.
  port.open();
  const before = [port.set({ dtr: false }), port.update({ baudRate: 19200 }), port.getBaudRate(), port.flush(), port.drain()];
  const closing = port.close();
  const after = [port.get(), port.set({ rts: true }), new Promise((resolve) => port.write('late', resolve))]
    .map((p) => p.catch((e) => e));
  const errors = [];
  port.on('error', (e) => errors.push(e.code));
  const results = await Promise.all(before.map((p) => p.then((v) => v ?? 'ok', (e) => e.message)));
  assert.deepEqual(results, ['ok', 'ok', { baudRate: 19200 }, 'ok', 'ok']);
  assert.deepEqual((await Promise.all(after)).map((e) => e.code), Array(3).fill('ERR_PORT_NOT_OPEN'));
  await closing;
  assert.equal(port.options.baudRate, 19200, 'options follow update()');
  assert.deepEqual(errors, ['ERR_PORT_NOT_OPEN'], 'the refused write is reported as an error too');
  assert.deepEqual(recorder.calls.slice(-1), ['close']);
  assert.deepEqual(recorder.stale, []);
  // destroy() waits as close() does for the control calls it finds in flight.
  sim.createPort('COM4');
  const other = await new (createSerialPort(recorder.binding))('COM4', { baudRate: 9600 });
  await other.open();
  const inFlight = [other.set({ brk: false }), other.getBaudRate()];
  other.destroy();
  assert.deepEqual(await Promise.all(inFlight), [undefined, { baudRate: 9600 }]);
  assert.deepEqual(recorder.stale, []);
});

// A port of the recording binding, open.
async function recordedPort(options = { baudRate: 9600 }) {
  const recorder = recordingBinding();
  const port = new (createSerialPort(recorder.binding))('COM3', options);
  await port.open();
  return { port, recorder };
}

test('a consumer slower than the device at the moment of close gets every byte read, then the end; pipeline calls back', async () => {
  const later = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  // Each consumer takes a chunk every 15 ms and resolves once it has seen the end.
  const consumers = {
    pipeline: (port, got) => new Promise((resolve) => pipeline(port, new Writable({
      highWaterMark: 1,
      write(chunk, encoding, callback) { got.push(chunk); setTimeout(callback, 15); },
    }), (error) => resolve(error ?? 'called back'))),
    'for await': async (port, got) => {
      for await (const chunk of port) { got.push(chunk); await later(15); }
      return 'ended';
    },
    readable: (port, got) => new Promise((resolve) => {
      const take = () => {
        const chunk = port.read(Math.min(16, port.readableLength));
        if (chunk) { got.push(chunk); setTimeout(take, 15); }
      };
      port.on('readable', take);
      port.on('end', () => resolve('ended'));
    }),
    'paused, then resumed': (port, got) => {
      port.on('data', (chunk) => {
        if (got.push(chunk) === 1) {
          port.pause();
          setTimeout(() => port.resume(), 60);
        }
      });
      return new Promise((resolve) => port.on('end', () => resolve('ended')));
    },
  };
  const sent = Buffer.concat(Array.from({ length: 8 }, (_, i) => Buffer.alloc(40, 65 + i)));
  for (const [kind, consume] of Object.entries(consumers)) {
    sim.reset();
    sim.createPort('COM3');
    const { port, recorder } = await recordedPort({ baudRate: 9600, highWaterMark: 64 });
    const got = [];
    const events = [];
    port.on('end', () => events.push('end'));
    port.on('close', () => events.push('close'));
    const consumed = consume(port, got);
    try {
      for (let i = 0; i < 8; i++) {
        sim.feed('COM3', sent.subarray(i * 40, (i + 1) * 40));
        await tick(2);
      }
      // Closed while the consumer is behind: the stream holds bytes it has not handed on.
      for (let i = 0; i < 200 && port.readableLength === 0; i++) await tick(1);
      assert.ok(port.readableLength > 0, `${kind}: bytes waiting in the stream: ${port.readableLength}`);
    } catch (error) {
      port.destroy();
      throw error;
    }
    await port.close();
    assert.equal(await consumed, kind === 'pipeline' ? 'called back' : 'ended', kind);
    for (let i = 0; i < 50 && events.length < 2; i++) await tick(5);
    assert.deepEqual(events, ['end', 'close'], kind);
    const read = Buffer.concat(recorder.reads);
    assert.ok(Buffer.concat(got).equals(read), `${kind}: delivered ${Buffer.concat(got).length} of ${read.length} bytes read`);
    // What was read is what the device sent, from its start, in order.
    assert.ok(read.length > 64 && sent.subarray(0, read.length).equals(read), kind);
    assert.deepEqual(recorder.stale, [], kind);
  }
});

test('flush discards the writes made before it and keeps the stream; drain waits for every write made before it', async () => {
  sim.createPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  const { port, recorder } = await recordedPort();
  const errors = [];
  port.on('error', (e) => errors.push(e));
  // Received and not yet read: the stream's own buffer, which flush leaves.
  sim.feed('COM3', Buffer.from('kept'));
  port.once('readable', () => {});
  await tick(20);
  const outcome = (text) => new Promise((resolve) => port.write(text, (e) => resolve(e ? e.code : 'sent')));
  // One with the driver, held by flow control; two queued in the stream.
  const before = [outcome('one'), outcome('two'), outcome('three')];
  await tick(10);
  await port.flush();
  sim.configurePort('COM3', { holdWrites: false });
  const order = [];
  const after = ['four', 'five', 'six'].map((text) => outcome(text).then((r) => { order.push(text); return r; }));
  await port.drain().then(() => order.push('drained'));
  assert.deepEqual(await Promise.all(before), ['ERR_PORT_FLUSHED', 'ERR_PORT_FLUSHED', 'ERR_PORT_FLUSHED']);
  assert.deepEqual(await Promise.all(after), ['sent', 'sent', 'sent']);
  assert.deepEqual(order, ['four', 'five', 'six', 'drained']);
  assert.equal(sim.takeWritten('COM3').toString(), 'fourfivesix');
  assert.equal(port.read().toString(), 'kept');
  assert.deepEqual(errors, []);
  assert.equal(port.destroyed, false);
  // drain goes to the addon only after the last write has called back. The
  // three writes after the flush go as one addon write, or, when the first
  // finds the flush already done, as that one and the other two together.
  const calls = recorder.calls.filter((n) => n === 'write' || n === 'drain' || n === 'flush').join(' ');
  assert.match(calls, /^write flush write (write )?drain$/);
  await port.close();
});

test('writes: refused with a code on a port not open, which can still be opened; made while opening, sent in order', async () => {
  sim.createPort('COM3');
  const port = new SerialPort('COM3', { baudRate: 9600 });
  const errors = [];
  port.on('error', (e) => errors.push(e.code));
  const refused = await new Promise((resolve) => port.write('too early', resolve));
  assert.equal(refused.code, 'ERR_PORT_NOT_OPEN');
  assert.deepEqual(errors, ['ERR_PORT_NOT_OPEN']);
  assert.equal(port.destroyed, false);
  const opening = port.open();
  const sent = ['a', 'b', 'c'].map((text) => new Promise((resolve) => port.write(text, resolve)));
  await opening;
  assert.deepEqual(await Promise.all(sent), [null, null, null]);
  assert.equal(sim.takeWritten('COM3').toString(), 'abc');
  await port.close();
  assert.equal(sim.port('COM3').opens, 1);
});

test('control calls apply in call order: a rate read right after an update is the new one', async () => {
  sim.createPort('COM3');
  const { port } = await recordedPort();
  // The update is held on its way to the handle; the read made after it
  // must not overtake it.
  sim.holdNext('AcquireSRWLockExclusive');
  const updating = port.update({ baudRate: 19200 });
  const reading = port.getBaudRate();
  for (let i = 0; i < 100 && sim.held() === 0; i++) await tick(2);
  assert.equal(sim.held(), 1);
  await tick(20);
  sim.releaseHeld();
  await updating;
  assert.deepEqual(await reading, { baudRate: 19200 });
  await port.close();
});
