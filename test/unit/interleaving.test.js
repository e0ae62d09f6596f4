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

  // A drain that has taken the handle but reaches the driver only after the
  // close cancelled what was there: the close cancels it again.
  const again = await openPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  sim.holdNext('FlushFileBuffers');
  const late = call(lintel.drain, again);
  await held();
  const closing = call(lintel.close, again);
  await tick(30);
  sim.releaseHeld();
  assertFailure(await late, aborted('Draining connection (FlushFileBuffers)'));
  assert.deepEqual(await closing, [null]);
  assert.equal(sim.port('COM3').openHandles, 0);
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

// Answers within the time, or fails naming what hung.
function answers(promise, what, ms = 5000) {
  let timer;
  const late = new Promise((resolve, reject) => { timer = setTimeout(() => reject(new Error(`${what} never answered`)), ms); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

test('four drains held by flow control leave the pool free: a close, an open and an fs call answer', async () => {
  const names = ['COM3', 'COM4', 'COM5', 'COM6'];
  const fds = [];
  for (const name of names) {
    fds.push(await openPort(name));
    sim.configurePort(name, { holdWrites: true });
  }
  const drains = fds.map((fd) => call(lintel.drain, fd));
  while (names.some((name) => sim.port(name).pendingIo === 0)) await tick(1);
  sim.createPort('COM7');
  const [openError, other] = await answers(call(lintel.open, 'COM7', { baudRate: 9600, dataBits: 8 }), 'open');
  assert.equal(openError, null);
  await answers(require('node:fs').promises.stat(__filename), 'fs.promises.stat');
  assert.deepEqual(await answers(call(lintel.close, fds[0]), 'close'), [null]);
  assertFailure(await drains[0], aborted('Draining connection (FlushFileBuffers)'));
  for (const name of names.slice(1)) sim.releaseWrites(name);
  assert.deepEqual(await Promise.all(drains.slice(1)), [[null], [null], [null]]);
  for (const fd of [...fds.slice(1), other]) await call(lintel.close, fd);
});

test('a held drain does not keep the process from ending, by process.exit() or an uncaught exception', () => {
  const { spawnSync } = require('node:child_process');
  const support = JSON.stringify(require.resolve('./support'));
  for (const [end, status] of [['process.exit(3)', 3], ["throw new Error('uncaught')", 1]]) {
    const child = spawnSync(process.execPath, ['-e', `
      const { lintel, sim } = require(${support});
      sim.createPort('COM3');
      lintel.open('COM3', { baudRate: 9600, dataBits: 8 }, (error, fd) => {
        sim.configurePort('COM3', { holdWrites: true });
        lintel.drain(fd, () => {});
        const wait = setInterval(() => {
          if (sim.port('COM3').pendingIo === 0) return;
          clearInterval(wait);
          ${end};
        }, 1);
      });
    `], { timeout: 20000, encoding: 'utf8' });
    assert.equal(child.status, status, `${end}: ${child.signal || ''} ${child.stderr}`);
  }
});

test('an exclusive reopen right after close is never refused, with control calls and a drain in flight, raw and through SerialPort', async () => {
  sim.createPort('COM3');
  const options = { baudRate: 9600, dataBits: 8, lock: true };
  let refused = 0;
  let [, fd] = await call(lintel.open, 'COM3', options);
  for (let round = 0; round < 300; round++) {
    const inFlight = [call(lintel.drain, fd), call(lintel.getBaudRate, fd), call(lintel.update, fd, { baudRate: 4800 })];
    await call(lintel.close, fd);
    const [error, again] = await call(lintel.open, 'COM3', options);
    if (error) refused++;
    await Promise.all(inFlight);
    fd = again;
  }
  if (fd !== undefined) await call(lintel.close, fd);
  assert.equal(refused, 0, 'raw reopens refused');

  const { createSerialPort } = require('../../lib/serialport');
  const SerialPort = createSerialPort(lintel);
  for (let round = 0; round < 300; round++) {
    const port = await SerialPort.open('COM3', { baudRate: 9600 });
    port.write('x');
    port.drain().catch(() => {});
    port.getBaudRate().catch(() => {});
    await port.close();
  }
  assert.equal(sim.port('COM3').openHandles, 0);
});

test('an allocation that fails while an open registers its port leaves the port closed and the next calls free; flushes done out of order let writes go', async () => {
  const options = { baudRate: 9600, dataBits: 8 };
  // Each allocation of the open fails in turn (the port's record and its
  // place in the table among them): the open fails with the port closed,
  // and the table's lock is free for the next call.
  let fd;
  for (let after = 0; fd === undefined; after++) {
    assert.ok(after < 10, 'the open allocates a few times only');
    sim.reset();
    sim.createPort('COM3');
    sim.failNext('operator new', 0, { after });
    let results;
    try {
      results = await answers(call(lintel.open, 'COM3', options), `open, allocation ${after} failing`);
    } catch (error) {
      assert.equal(error.message, 'std::bad_alloc');
      continue;
    }
    if (results[0] === null) {
      fd = results[1];
      sim.reset();
      sim.createPort('COM3');
      await call(lintel.close, fd);
      fd = (await answers(call(lintel.open, 'COM3', options), 'the open after the failures'))[1];
    } else {
      assert.equal(results[0].message, 'std::bad_alloc', `allocation ${after}`);
      assert.equal(sim.port('COM3').openHandles, 0);
    }
  }
  // Flushes done out of call order, then a write: it goes out once both are
  // done, the later one's early finish kept in room reserved at its call.
  sim.holdNext(lock);
  const first = call(lintel.flush, fd);
  await held();
  const second = call(lintel.flush, fd);
  assert.deepEqual(await second, [null]);
  sim.releaseHeld();
  assert.deepEqual(await first, [null]);
  assert.deepEqual(await answers(call(lintel.write, fd, Buffer.from('after')), 'a write after the flushes'), [null]);
  assert.equal(sim.takeWritten('COM3').toString(), 'after');
  await call(lintel.close, fd);
});
