'use strict';
// getBaudRate, close, flush and drain: argument rules, success, each failure.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, openPort, assertFailure, tick, settled } = require('./support');

test('the (fd, callback) operations check their arguments in order', () => {
  for (const name of ['getBaudRate', 'close', 'flush', 'drain', 'get']) {
    const fn = lintel[name];
    assert.throws(() => fn(), { name: 'TypeError', message: 'First argument must be an int' });
    assert.throws(() => fn('1', () => {}), { name: 'TypeError', message: 'First argument must be an int' });
    assert.throws(() => fn(1), { name: 'TypeError', message: 'Second argument must be a function' });
    assert.throws(() => fn(1, {}), { name: 'TypeError', message: 'Second argument must be a function' });
    assert.equal(fn(NaN, () => {}), undefined);
  }
});

test('getBaudRate reports the rate the driver holds, or the GetCommState failure', async () => {
  const fd = await openPort('COM3', { baudRate: 57600, dataBits: 8 });
  assert.deepEqual(await call(lintel.getBaudRate, fd), [null, { baudRate: 57600 }]);
  sim.configurePort('COM3', { baudRate: 0x80000000 });
  assert.deepEqual(await call(lintel.getBaudRate, fd), [null, { baudRate: -2147483648 }]);
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assertFailure(await call(lintel.getBaudRate, fd), 'Getting baud rate (GetCommState): Invalid handle');
});

test('close closes once; a second close and NaN (handle 0) report Invalid handle', async () => {
  const fd = await openPort('COM3');
  assert.equal(sim.port('COM3').openHandles, 1);
  assert.throws(() => lintel.close(fd), { message: 'Second argument must be a function' });
  assert.equal(sim.port('COM3').openHandles, 1);
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assert.equal(sim.port('COM3').openHandles, 0);
  assertFailure(await call(lintel.close, fd), 'Closing connection (CloseHandle): Invalid handle');
  assertFailure(await call(lintel.close, NaN), 'Closing connection (CloseHandle): Invalid handle');
  sim.failNext('CloseHandle', 5);
  assertFailure(await call(lintel.close, fd), 'Closing connection (CloseHandle): Access denied');
});

test('close drops the fraction of its handle and widens negative handles by sign', async () => {
  sim.setNextHandle(0x80000010);
  const fd = await openPort('COM3');
  assert.equal(fd, -2147483632);
  assert.deepEqual(await call(lintel.getBaudRate, fd), [null, { baudRate: 9600 }]);
  sim.setNextHandle(0x1000);
  const other = await openPort('COM4');
  assert.deepEqual(await call(lintel.close, other + 0.9), [null]);
  assert.equal(sim.port('COM4').openHandles, 0);
  assert.deepEqual(await call(lintel.close, fd), [null]);
});

test('close cancels a pending read and write; each transfer reports Operation aborted', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  const reading = call(lintel.read, fd, Buffer.alloc(8), 0, 8);
  const writing = call(lintel.write, fd, Buffer.from('pending'));
  await tick(20);
  assert.equal(sim.port('COM3').pendingIo, 2);
  const refsBefore = sim.handles().loadLibraryRefs;
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assertFailure(await reading, 'Reading from COM port (ReadIOCompletion): Operation aborted', 2);
  assert.equal((await reading)[1], undefined);
  assertFailure(await writing, 'Writing to COM port (WriteIOCompletion): Operation aborted');
  // CancelIoEx is looked up again at every close.
  assert.equal(sim.handles().loadLibraryRefs, refsBefore + 1);
  assert.equal((await settled()).threads, 0);
});

test('close still closes where CancelIoEx cannot be found', async () => {
  const fd = await openPort('COM3');
  sim.hide('CancelIoEx', true);
  try {
    sim.resetCalls();
    assert.deepEqual(await call(lintel.close, fd), [null]);
    assert.equal(sim.calls('CancelIoEx'), 0);
    assert.equal(sim.port('COM3').openHandles, 0);
  } finally {
    sim.hide('CancelIoEx', false);
  }
});

test('flush purges with TXABORT|TXCLEAR|RXCLEAR: a pending write is aborted, a pending read goes on', async () => {
  const fd = await openPort('COM3');
  sim.feed('COM3', Buffer.from('stale'));
  sim.configurePort('COM3', { holdWrites: true });
  const writing = call(lintel.write, fd, Buffer.from('held'));
  await tick(20);
  assert.deepEqual(await call(lintel.flush, fd), [null]);
  assertFailure(await writing, 'Writing to COM port (WriteIOCompletion): Operation aborted');
  assert.equal(sim.port('COM3').purges.at(-1), 13);
  assert.equal(sim.port('COM3').rxLength, 0);

  let readDone = false;
  const reading = call(lintel.read, fd, Buffer.alloc(4), 0, 4).then((r) => { readDone = true; return r; });
  await tick(20);
  assert.deepEqual(await call(lintel.flush, fd), [null]);
  await tick(20);
  assert.equal(readDone, false);
  sim.feed('COM3', Buffer.from('ok'));
  assert.deepEqual(await reading, [null, 2]);
  await call(lintel.close, fd);
});

test('flush and drain report their Win32 failures', async () => {
  const fd = await openPort('COM3');
  assert.deepEqual(await call(lintel.drain, fd), [null]);
  sim.failNext('FlushFileBuffers', 31);
  assertFailure(await call(lintel.drain, fd), 'Draining connection (FlushFileBuffers): Unknown error code 31');
  await call(lintel.close, fd);
  assertFailure(await call(lintel.flush, fd), 'Flushing connection (PurgeComm): Invalid handle');
  assertFailure(await call(lintel.drain, fd), 'Draining connection (FlushFileBuffers): Invalid handle');
});

test('a closed handle value is handed out again at once, with nothing of the first port in it', async () => {
  const fd = await openPort('COM3');
  sim.feed('COM3', Buffer.from('old'));
  assert.deepEqual(await call(lintel.close, fd), [null]);
  const again = await openPort('COM4');
  assert.equal(again, fd);
  sim.feed('COM4', Buffer.from('new'));
  const into = Buffer.alloc(8);
  assert.deepEqual(await call(lintel.read, again, into, 0, 8), [null, 3]);
  assert.equal(into.toString('latin1', 0, 3), 'new');
  assert.deepEqual(await call(lintel.write, again, Buffer.from('out')), [null]);
  assert.equal(sim.takeWritten('COM3').length, 0);
  assert.equal(sim.takeWritten('COM4').toString(), 'out');
  assert.equal(sim.port('COM3').rxLength, 3);
  // The first port's number now closes the second port.
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assert.equal(sim.port('COM4').openHandles, 0);
});
