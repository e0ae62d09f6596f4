'use strict';
// Calls under every interleaving: a request called while its port was open
// never reaches the port opened next on the same number, writes keep their
// order, flush and close cut cleanly. Each race is forced by holding the
// request's thread (or pool request) before it touches the handle.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, openPort, assertFailure, tick, settled, sanitized } = require('./support');

const aborted = (prefix) => `${prefix}: Operation aborted`;
const lock = 'AcquireSRWLockExclusive';

async function held(count = 1) {
  for (let i = 0; i < 400 && sim.held() < count; i++) await tick(2);
  assert.equal(sim.held(), count, 'the request is held before it touches the handle');
}

// What a request may have done to COM4 after being called for COM3.
function untouched(com4, before) {
  assert.equal(com4.txCount, before.txCount, 'nothing written to COM4');
  assert.equal(com4.rxLength, before.rxLength, "COM4's bytes are still there");
  assert.equal(com4.dcb.BaudRate, before.dcb.BaudRate);
  assert.deepEqual(com4.escapes, before.escapes);
  assert.deepEqual(com4.purges, before.purges);
  assert.equal(com4.timeoutLog.length, before.timeoutLog.length);
}

test('a request held until its port is closed and the number reopened ends aborted, touching neither port', async () => {
  const cases = [
    ['write', (fd) => call(lintel.write, fd, Buffer.from('for COM3')), aborted('Writing to COM port (WriteIOCompletion)')],
    ['read', (fd) => call(lintel.read, fd, Buffer.alloc(8), 0, 8), aborted('Reading from COM port (ReadIOCompletion)'), 2],
    ['update', (fd) => call(lintel.update, fd, { baudRate: 300 }), aborted('Update (GetCommState)')],
    ['set', (fd) => call(lintel.set, fd, { dtr: true, brk: true }), aborted('Setting options on COM port (SetCommMask)')],
    ['get', (fd) => call(lintel.get, fd), aborted('Getting control settings on COM port (GetCommModemStatus)')],
    ['getBaudRate', (fd) => call(lintel.getBaudRate, fd), aborted('Getting baud rate (GetCommState)')],
    ['flush', (fd) => call(lintel.flush, fd), aborted('Flushing connection (PurgeComm)')],
    ['drain', (fd) => call(lintel.drain, fd), aborted('Draining connection (FlushFileBuffers)')],
    // A second close called before the first ran must not close the new port.
    ['close', (fd) => call(lintel.close, fd), 'Closing connection (CloseHandle): Invalid handle'],
  ];
  for (const [name, start, message, length = 1] of cases) {
    sim.reset();
    const fd = await openPort('COM3');
    sim.holdNext(lock);
    const request = start(fd);
    await held();
    assert.deepEqual(await call(lintel.close, fd), [null], name);
    const again = await openPort('COM4');
    assert.equal(again, fd, 'Windows hands the number out again');
    sim.feed('COM4', Buffer.from('from COM4'));
    const before = sim.port('COM4');
    sim.releaseHeld();
    assertFailure(await request, message, length);
    untouched(sim.port('COM4'), before);
    assert.equal(sim.port('COM4').openHandles, 1, `${name} left COM4 open`);
    await call(lintel.close, again);
  }
});

test('writes reach the driver and call back in call order, the later one waiting for the earlier', async () => {
  const fd = await openPort('COM3');
  const order = [];
  sim.holdNext(lock);
  const first = call(lintel.write, fd, Buffer.from('A')).then((r) => order.push('A') && r);
  await held();
  const second = call(lintel.write, fd, Buffer.from('B')).then((r) => order.push('B') && r);
  await tick(20);
  assert.equal(sim.takeWritten('COM3').length, 0, 'B waits for A, though A has not reached the driver');
  sim.releaseHeld();
  assert.deepEqual([await first, await second], [[null], [null]]);
  assert.deepEqual(order, ['A', 'B']);
  assert.equal(sim.takeWritten('COM3').toString(), 'AB');
  await call(lintel.close, fd);
});

test('flush aborts the writes called before it, issued or not, and lets the ones after it go out', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  const issued = call(lintel.write, fd, Buffer.from('held by flow control'));
  await tick(20);
  sim.holdNext(lock);
  const notIssued = call(lintel.write, fd, Buffer.from('not issued yet'));
  await held();
  const flushed = call(lintel.flush, fd);
  sim.configurePort('COM3', { holdWrites: false });
  const after = call(lintel.write, fd, Buffer.from('after the flush'));
  assert.deepEqual(await flushed, [null]);
  sim.releaseHeld();
  assertFailure(await issued, aborted('Writing to COM port (WriteIOCompletion)'));
  assertFailure(await notIssued, aborted('Writing to COM port (WriteIOCompletion)'));
  assert.deepEqual(await after, [null]);
  assert.equal(sim.takeWritten('COM3').toString(), 'after the flush');

  // Between two passes of one write, as between two of the 4 GiB passes.
  for (const cut of ['flush', 'close']) {
    sim.configurePort('COM3', { writeChunk: 2 });
    sim.holdNext(lock, { after: 1 });
    const writing = call(lintel.write, fd, Buffer.from('abcdef'));
    await held();
    assert.deepEqual(await call(lintel[cut], fd), [null]);
    sim.releaseHeld();
    assertFailure(await writing, aborted('Writing to COM port (WriteIOCompletion)'), 1);
    assert.equal(sim.takeWritten('COM3').toString(), 'ab', `no pass after the ${cut}`);
  }
  assert.equal((await settled()).threads, 0);
});

test('a read that took its first byte when the port closed completes with it', async () => {
  const fd = await openPort('COM3');
  sim.holdNext(lock, { after: 1 });
  const into = Buffer.alloc(8);
  const reading = call(lintel.read, fd, into, 0, 8);
  while (sim.port('COM3').pendingIo === 0) await tick(1);
  sim.feed('COM3', Buffer.from('xy'));
  await held();
  assert.deepEqual(await call(lintel.close, fd), [null]);
  sim.releaseHeld();
  assert.deepEqual(await reading, [null, 1]);
  assert.equal(into.toString('latin1', 0, 1), 'x');
});

test('the second step of a read is never issued without its event: the read ends with the first byte', async () => {
  const fd = await openPort('COM3');
  // A ReadFile kept pending would be waited for on the file handle, with no
  // limit, had the read gone on without an event.
  sim.configurePort('COM3', { pendingReadFile: true });
  sim.feed('COM3', Buffer.from('pq'));
  sim.failNext('CreateEventA', 8);
  sim.resetCalls();
  const into = Buffer.alloc(4);
  assert.deepEqual(await call(lintel.read, fd, into, 0, 4), [null, 1]);
  assert.equal(sim.calls('ReadFile'), 0);
  assert.equal(into.toString('latin1', 0, 1), 'p');
  assert.equal(sim.port('COM3').rxLength, 1);
  await call(lintel.close, fd);
});

test('close cancels a drain held by flow control and calls back once the handle is closed', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  const writing = call(lintel.write, fd, Buffer.from('held'));
  const draining = call(lintel.drain, fd);
  while (sim.port('COM3').pendingIo < 2) await tick(1);
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assert.equal(sim.port('COM3').openHandles, 0, 'closed when close calls back');
  assertFailure(await writing, aborted('Writing to COM port (WriteIOCompletion)'));
  assertFailure(await draining, aborted('Draining connection (FlushFileBuffers)'));
});

test('without CancelIoEx a close still ends the reads of its port; a drain nothing can cancel keeps the number until it returns', async () => {
  const cases = [
    // CancelSynchronousIo reaches the drain's thread.
    [['CancelIoEx'], 'cancelled'],
    // Nothing reaches it: the handle, its number and the close's callback
    // wait for the device; a second close meanwhile closes nothing.
    [['CancelIoEx', 'CancelSynchronousIo'], 'held'],
  ];
  for (const [hidden, drain] of cases) {
    sim.reset();
    const fd = await openPort('COM3');
    sim.configurePort('COM3', { holdWrites: true });
    for (const name of hidden) sim.hide(name, true);
    try {
      const reading = call(lintel.read, fd, Buffer.alloc(4), 0, 4);
      const draining = call(lintel.drain, fd);
      while (sim.port('COM3').pendingIo < 2) await tick(1);
      let closed = null;
      const closing = call(lintel.close, fd).then((r) => { closed = r; });
      assertFailure(await reading, aborted('Reading from COM port (ReadIOCompletion)'), 2);
      if (drain === 'held') {
        await tick(30);
        assert.equal(closed, null, 'no callback while the handle is open');
        assertFailure(await call(lintel.close, fd), 'Closing connection (CloseHandle): Invalid handle');
        assertFailure(await call(lintel.getBaudRate, fd), aborted('Getting baud rate (GetCommState)'));
        assert.equal(sim.port('COM3').openHandles, 1);
        sim.releaseWrites('COM3');
        assert.deepEqual(await draining, [null]);
      } else {
        assertFailure(await draining, aborted('Draining connection (FlushFileBuffers)'));
      }
      await closing;
      assert.deepEqual(closed, [null], hidden.join());
      assert.equal(sim.port('COM3').openHandles, 0);
    } finally {
      for (const name of hidden) sim.hide(name, false);
    }
  }
  assert.equal((await settled()).threads, 0);
});

test('2,000 rounds of close and reopen with transfers and an update in flight: none reaches the next port', async () => {
  const rounds = 2000;
  let reachedCom4 = 0;
  sim.createPort('COM3');
  sim.createPort('COM4');
  const options = { baudRate: 9600, dataBits: 8 };
  for (let round = 0; round < rounds; round++) {
    const [, fd] = await call(lintel.open, 'COM3', options);
    const writing = call(lintel.write, fd, Buffer.from('for COM3'));
    const into = Buffer.alloc(8);
    const reading = call(lintel.read, fd, into, 0, 8);
    const updating = call(lintel.update, fd, { baudRate: 300 });
    await call(lintel.close, fd);
    const [, other] = await call(lintel.open, 'COM4', options);
    sim.feed('COM4', Buffer.from('COM4'));
    const [[writeError], [readError, count], [updateError]] = await Promise.all([writing, reading, updating]);
    const com4 = sim.port('COM4');
    const wrong = sim.takeWritten('COM4').length > 0 || com4.dcb.BaudRate !== 9600 ||
      (!readError && into.toString('latin1', 0, count).includes('COM4'));
    if (wrong) reachedCom4++;
    // Either outcome is right for COM3 itself: done before the close, or
    // ended by it.
    for (const error of [writeError, readError, updateError]) {
      if (error) assert.match(error.message, /Operation aborted$/);
    }
    sim.takeWritten('COM3');
    await call(lintel.close, other);
    sim.reset();
    sim.createPort('COM3');
    sim.createPort('COM4');
  }
  console.log(`# ${rounds} rounds${sanitized ? ' (sanitized build)' : ''}: ${reachedCom4} reached COM4`);
  assert.equal(reachedCom4, 0);
  assert.equal((await settled()).threads, 0);
});
