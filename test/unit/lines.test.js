'use strict';
// update, set and get on simulated ports.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, openPort, assertFailure } = require('./support');

test('update checks its arguments, the baudRate key before the callback', () => {
  const cb = () => {};
  assert.throws(() => lintel.update('1', { baudRate: 1 }, cb), { name: 'TypeError', message: 'First argument must be an int' });
  assert.throws(() => lintel.update(1, null, cb), { name: 'TypeError', message: 'Second argument must be an object' });
  const missing = '"baudRate" must be set on options object';
  assert.equal(missing.length, 40);
  assert.throws(() => lintel.update(1, {}, cb), { name: 'TypeError', message: missing });
  assert.throws(() => lintel.update(1, {}, undefined), { message: missing });
  assert.throws(() => lintel.update(1, [], cb), { message: missing });
  assert.throws(() => lintel.update(1, { baudRate: 1 }), { name: 'TypeError', message: 'Third argument must be a function' });
  assert.throws(() => lintel.update(1, Object.create({ baudRate: 1 })), { message: 'Third argument must be a function' });
  assert.throws(() => lintel.update(1, { get baudRate() { throw new Error('no rate'); } }, cb), { message: 'no rate' });
});

test('update changes the rate and nothing else', async () => {
  const fd = await openPort('COM3', { baudRate: 9600, dataBits: 7, parity: 'even', stopBits: 2, rtscts: true, xon: true });
  const before = sim.port('COM3');
  assert.deepEqual(await call(lintel.update, fd, { baudRate: '115200' }), [null]);
  const after = sim.port('COM3');
  assert.deepEqual(after.dcb, { ...before.dcb, BaudRate: 115200 });
  assert.deepEqual(after.timeouts, before.timeouts);
  assert.deepEqual(await call(lintel.getBaudRate, fd), [null, { baudRate: 115200 }]);
  // undefined counts as present and reaches the driver as 0.
  assertFailure(await call(lintel.update, fd, { baudRate: undefined }), 'Update (SetCommState): The parameter is incorrect');
  sim.failNext('GetCommState', 6);
  assertFailure(await call(lintel.update, fd, { baudRate: 300 }), 'Update (GetCommState): Invalid handle');
  assert.equal(sim.port('COM3').dcb.BaudRate, 115200);
  await call(lintel.close, fd);
  assertFailure(await call(lintel.update, fd, { baudRate: 300 }), 'Update (GetCommState): Invalid handle');
});

test('set checks its arguments and changes no line on a bad call', async () => {
  const fd = await openPort('COM3');
  assert.throws(() => lintel.set(fd, null, () => {}), { name: 'TypeError', message: 'Second argument must be an object' });
  assert.throws(() => lintel.set(fd, {}, 5), { name: 'TypeError', message: 'Third argument must be a function' });
  assert.throws(() => lintel.set('x', {}, () => {}), { message: 'First argument must be an int' });
  assert.deepEqual(sim.port('COM3').escapes, []);
  await call(lintel.close, fd);
});

test('set drives RTS, DTR and break by truthiness and keeps the mask but for EV_CTS and EV_DSR', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { mask: 0x1 | 0x8 | 0x10 | 0x40 });
  assert.deepEqual(await call(lintel.set, fd, {}), [null]);
  let port = sim.port('COM3');
  assert.deepEqual(port.escapes, [4, 6, 9]);
  assert.equal(port.mask, 0x1 | 0x40);
  assert.deepEqual([port.rts, port.dtr, port.brk], [false, false, false]);

  assert.deepEqual(await call(lintel.set, fd, { rts: 1, dtr: 'yes', brk: 0, cts: true, dsr: {} }), [null]);
  port = sim.port('COM3');
  assert.deepEqual(port.escapes.slice(3), [3, 5, 9]);
  assert.equal(port.mask, 0x1 | 0x40 | 0x8 | 0x10);

  const order = [];
  const spy = {};
  for (const key of ['brk', 'rts', 'cts', 'dtr', 'dsr', 'lowLatency']) {
    Object.defineProperty(spy, key, { get() { order.push(key); return false; } });
  }
  await call(lintel.set, fd, spy);
  assert.deepEqual(order, ['brk', 'rts', 'cts', 'dtr', 'dsr', 'lowLatency']);
  await call(lintel.close, fd);
});

test('set: line failures stay silent, only SetCommMask is reported', async () => {
  const fd = await openPort('COM3');
  sim.failNext('EscapeCommFunction', 31);
  sim.failNext('GetCommMask', 31);
  assert.deepEqual(await call(lintel.set, fd, { dtr: true, cts: true }), [null]);
  // GetCommMask failed, so the mask started from 0.
  assert.equal(sim.port('COM3').mask, 0x8);
  sim.failNext('SetCommMask', 87);
  assertFailure(await call(lintel.set, fd, {}), 'Setting options on COM port (SetCommMask): The parameter is incorrect');
  await call(lintel.close, fd);
  assertFailure(await call(lintel.set, fd, { rts: true }), 'Setting options on COM port (SetCommMask): Invalid handle');
});

test('get reports CTS, DSR and DCD in that key order, lowLatency false, ring left out', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { modemStatus: 0x10 | 0x80 | 0x40 });
  const [error, lines] = await call(lintel.get, fd);
  assert.equal(error, null);
  assert.deepEqual(Object.keys(lines), ['cts', 'dsr', 'dcd', 'lowLatency']);
  assert.deepEqual(lines, { cts: true, dsr: false, dcd: true, lowLatency: false });
  sim.configurePort('COM3', { modemStatus: 0x20 });
  assert.deepEqual((await call(lintel.get, fd))[1], { cts: false, dsr: true, dcd: false, lowLatency: false });
  sim.failNext('GetCommModemStatus', 50);
  assertFailure(await call(lintel.get, fd), 'Getting control settings on COM port (GetCommModemStatus): Unknown error code 50');
  await call(lintel.close, fd);
});
