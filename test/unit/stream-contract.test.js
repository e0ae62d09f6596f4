'use strict';
// The stream's contract on the paths ordinary programs take, one row for each
// way a program once lost, doubled or stranded bytes, or was left waiting.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const v8 = require('node:v8');
const vm = require('node:vm');
const { sim, tick, recordingBinding } = require('./support');
const { createSerialPort } = require('../../lib/serialport');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');
const timers = () => process.getActiveResourcesInfo().filter((kind) => kind === 'Timeout').length;
const callback = (fn) => new Promise((resolve) => fn((error) => resolve(error ? error.code : null)));

// A fresh simulated COM3 and a port class over a recording binding.
function fresh() {
  sim.reset();
  sim.createPort('COM3');
  const recorder = recordingBinding();
  return { recorder, SerialPort: createSerialPort(recorder.binding) };
}

const rows = {
  'end(chunk) sends its chunk, also while opening, and calls back after it went': async () => {
    const { SerialPort } = fresh();
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    assert.equal(await callback((cb) => port.end('QUIT\r\n', cb)), null);
    assert.equal(sim.takeWritten('COM3').toString(), 'QUIT\r\n');
    await port.close();
    const opening = new SerialPort('COM3', { baudRate: 9600 });
    opening.open();
    assert.equal(await callback((cb) => opening.end('BYE', cb)), null);
    assert.equal(sim.takeWritten('COM3').toString(), 'BYE');
    await opening.close();
  },
  'a consumer attached while readUntil waits gets each byte once: after the frame, or all of them after a timeout': async () => {
    for (const timeout of [undefined, 30]) {
      const { SerialPort } = fresh();
      const port = await SerialPort.open('COM3', { baudRate: 9600 });
      const until = port.readUntil(timeout ? 'X' : '\n', { timeout }).then(String, (e) => e.code);
      const got = [];
      port.on('data', (chunk) => got.push(chunk));
      sim.feed('COM3', Buffer.from('abc\ndef'));
      assert.equal(await until, timeout ? 'ETIMEDOUT' : 'abc\n');
      await tick(30);
      assert.equal(Buffer.concat(got).toString(), timeout ? 'abc\ndef' : 'def', `timeout ${timeout}`);
      await port.close();
    }
  },
  'readUntil after setEncoding() is refused with a code, and the refusal blocks no later readUntil': async () => {
    const { SerialPort } = fresh();
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    port.setEncoding('utf8');
    sim.feed('COM3', Buffer.from('ok\n'));
    for (let i = 0; i < 2; i++) await assert.rejects(port.readUntil('\n', { timeout: 50 }), { code: 'ERR_READ_UNTIL_ENCODING' });
    await port.close();
    const plain = await SerialPort.open('COM3', { baudRate: 9600 });
    const waiting = plain.readUntil('\n');
    assert.throws(() => plain.setEncoding('utf8'), { code: 'ERR_READ_UNTIL_PENDING' });
    sim.feed('COM3', Buffer.from('line\n'));
    assert.equal(String(await waiting), 'line\n');
    await plain.close();
  },
  'after a readUntil or a once(readable) reader, close() leaves the bytes held readable, then the end': async () => {
    for (const reader of ['readUntil', 'once readable']) {
      const { SerialPort } = fresh();
      const port = await SerialPort.open('COM3', { baudRate: 9600 });
      sim.feed('COM3', Buffer.from('abc\nrest'));
      if (reader === 'readUntil') assert.equal(String(await port.readUntil('\n')), 'abc\n');
      else await new Promise((resolve) => port.once('readable', resolve));
      await tick(20);
      await port.close();
      let text = '';
      for await (const chunk of port) text += chunk;
      assert.equal(text, reader === 'readUntil' ? 'rest' : 'abc\nrest', reader);
    }
  },
  "readUntil ended by the port's own failure keeps the bytes it took in error.received": async () => {
    const { SerialPort } = fresh();
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    port.on('error', () => {});
    const until = port.readUntil('\n').catch((e) => e);
    sim.feed('COM3', Buffer.from('partial'));
    await tick(20);
    sim.unplugPort('COM3', { pendingError: 1167 });
    const error = await until;
    assert.deepEqual([error.code, error.cause.errno], ['ERR_PORT_DISCONNECTED', 1167]);
    assert.equal(String(error.received), 'partial');
  },
  'drain() after drain() costs no memory that lasts': async () => {
    const { SerialPort } = fresh();
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    const round = async (n) => { for (let i = 0; i < n; i++) { port.write('x'); await port.drain(); } };
    await round(500);
    gc();
    const before = process.memoryUsage().heapUsed;
    await round(4000);
    gc();
    // A leak of the size once seen, about 300 bytes a drain, would be 1.2 MB.
    const grown = process.memoryUsage().heapUsed - before;
    assert.ok(grown < 400 * 1024, `heap grew ${grown} bytes over 4000 drains`);
    await port.close();
  },
  'close() while opening with modemStatus leaves no poll timer behind': async () => {
    const { SerialPort } = fresh();
    const before = timers();
    const port = new SerialPort('COM3', { baudRate: 9600, modemStatus: { interval: 2 ** 31 - 1 } });
    // Paused, as a program does that will read later.
    port.pause();
    port.open();
    await port.close();
    await tick(5);
    assert.equal(timers(), before);
  },
  'control calls made while opening reach nothing after destroy(), and the port says so': async () => {
    const { SerialPort, recorder } = fresh();
    const port = new SerialPort('COM3', { baudRate: 9600 });
    port.open().catch(() => {});
    const calls = [port.set({ brk: true }), port.getBaudRate(), port.update({ baudRate: 19200 })].map((p) => p.catch((e) => e.code));
    port.destroy();
    assert.deepEqual(await Promise.all(calls), Array(3).fill('ERR_PORT_NOT_OPEN'));
    await tick(20);
    assert.deepEqual(recorder.calls, ['open', 'close']);
    assert.equal(port.outputLines.brk, false);
    assert.equal(port.options.baudRate, 9600);
  },
  'a watcher says nothing after close(), and a failure thrown from its loop stops its polls': async () => {
    sim.reset();
    const SerialPort = createSerialPort(recordingBinding().binding);
    const watcher = SerialPort.watch({ interval: 5 });
    await new Promise((resolve) => watcher.once('ready', resolve));
    const seen = [];
    watcher.on('attach', (port) => { seen.push(port.path); watcher.close(); });
    sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM7' });
    sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A2', portName: 'COM8' });
    await tick(40);
    assert.equal(seen.length, 1);
    const failing = createSerialPort({ list: (cb) => cb(new Error('Listing: Unknown error code 31')) }).watch({ interval: 5 });
    const thrown = await (async () => { for await (const change of failing) assert.fail(change); })().catch((e) => e);
    assert.equal(thrown.code, 'ERROR_GEN_FAILURE');
    assert.equal(failing.closed, true);
  },
  'close() with writes held by flow control settles within closeTimeout, each write told it was not sent': async () => {
    const { SerialPort } = fresh();
    sim.configurePort('COM3', { holdWrites: true });
    const port = await SerialPort.open('COM3', { baudRate: 9600, closeTimeout: 50 });
    let closes = 0;
    port.on('close', () => closes++);
    const writes = ['held', 'queued'].map((text) => callback((cb) => port.write(text, cb)));
    await tick(10);
    const started = Date.now();
    await port.close();
    assert.ok(Date.now() - started < 1000, `closed after ${Date.now() - started} ms`);
    assert.deepEqual(await Promise.all(writes), ['ERR_PORT_WRITE_ABORTED', 'ERR_PORT_WRITE_ABORTED']);
    await tick(20);
    assert.equal(closes, 1);
    assert.equal(sim.port('COM3').openHandles, 0);
  },
  'a driver answering every read at once with nothing is not spun on, and in the end fails the port': async () => {
    const { SerialPort, recorder } = fresh();
    sim.configurePort('COM3', { zeroReads: 1e9 });
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    const failed = new Promise((resolve) => port.on('error', resolve));
    port.resume();
    await tick(300);
    const reads = recorder.calls.filter((name) => name === 'read').length;
    assert.ok(reads < 15, `${reads} reads in 300 ms`);
    const error = await failed;
    assert.equal(error.code, 'ERR_PORT_READ_EMPTY');
    await new Promise((resolve) => (port.closed ? resolve() : port.once('close', resolve)));
    assert.equal(sim.port('COM3').openHandles, 0);
  },
  "writes queued behind a failed read get an error of their own, the read's as its cause": async () => {
    const { SerialPort } = fresh();
    sim.configurePort('COM3', { holdWrites: true });
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    port.on('error', () => {});
    const writes = ['a', 'b', 'c'].map((text) => new Promise((resolve) => port.write(text, resolve)));
    await tick(10);
    sim.failNext('ReadFileEx', 1117);
    port.resume();
    for (const error of await Promise.all(writes)) {
      assert.equal(error.code, 'ERR_PORT_WRITE_ABORTED');
      assert.notEqual(error.syscall, 'ReadFileEx');
      assert.equal(error.cause.syscall, 'ReadFileEx');
    }
  },
};

test('the contract holds on every path a program takes: each row once lost, doubled or stranded bytes', async () => {
  const failures = [];
  for (const [name, row] of Object.entries(rows)) {
    try {
      await Promise.race([row(), new Promise((resolve, reject) => setTimeout(reject, 10000, new Error('hung')).unref())]);
    } catch (error) {
      failures.push(`${name}: ${error.message}`);
    }
  }
  assert.deepEqual(failures, []);
});
