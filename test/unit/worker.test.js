'use strict';
// Transfers started in worker_threads: their callbacks come back on the
// Worker's own loop, and a Worker terminated with a transfer pending ends it
// without a callback, a crash, a hang or a thread left behind.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { sim, tick } = require('./support');

const support = JSON.stringify(path.join(__dirname, 'support.js'));

// A Worker running `body` (an async function body with lintel, sim, call and
// post in scope); resolves with the Worker and its first message.
function startWorker(body) {
  const worker = new Worker(`
    const { parentPort } = require('node:worker_threads');
    const { lintel, sim, call } = require(${support});
    const post = (m) => parentPort.postMessage(m);
    (async () => { ${body} })().catch((e) => post({ failed: e.stack }));
  `, { eval: true });
  const first = new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  return { worker, first };
}

async function waitFor(predicate, what) {
  for (let i = 0; i < 400; i++) {
    if (predicate()) return;
    await tick(5);
  }
  assert.fail(`timed out waiting for ${what}`);
}

test('write, read and close during a read in a Worker call back on that Worker', async () => {
  sim.createPort('COM21');
  const { worker, first } = startWorker(`
    const options = { baudRate: 9600, dataBits: 8 };
    const [, fd] = await call(lintel.open, 'COM21', options);
    sim.feed('COM21', Buffer.from('hello'));
    const into = Buffer.alloc(8);
    const [readError, n] = await call(lintel.read, fd, into, 0, 8);
    const [writeError] = await call(lintel.write, fd, Buffer.from('out'));
    const pending = call(lintel.read, fd, Buffer.alloc(4), 0, 4);
    // Closed once the read is with the driver, not before its thread issued it.
    while (sim.port('COM21').pendingIo === 0) await new Promise((r) => setTimeout(r, 2));
    const [closeError] = await call(lintel.close, fd);
    const [pendingError, pendingCount] = await pending;
    post({ readError, n, text: into.toString('latin1', 0, n), writeError, closeError,
      pending: [pendingError && pendingError.message, pendingCount] });
  `);
  const result = await first;
  assert.equal(result.failed, undefined, result.failed);
  assert.deepEqual(result, {
    readError: null, n: 5, text: 'hello', writeError: null, closeError: null,
    pending: ['Reading from COM port (ReadIOCompletion): Operation aborted', undefined],
  });
  assert.equal(sim.takeWritten('COM21').toString(), 'out');
  await worker.terminate();
});

test('a Worker terminated with a read and a write pending ends both; the port and process go on', async () => {
  const { lintel, call } = require('./support');
  sim.createPort('COM22');
  sim.configurePort('COM22', { holdWrites: true });
  // Opened here: a port the Worker opened itself closes with it.
  const [, fd] = await call(lintel.open, 'COM22', { baudRate: 9600, dataBits: 8 });
  const running = sim.handles().running;
  const { worker, first } = startWorker(`
    lintel.read(${fd}, Buffer.alloc(4), 0, 4, () => post('read called back'));
    lintel.write(${fd}, Buffer.from('held'), () => post('write called back'));
    post('issued');
  `);
  await first;
  const messages = [];
  worker.on('message', (m) => messages.push(m));
  await waitFor(() => sim.port('COM22').pendingIo === 2, 'both transfers to be pending');
  await worker.terminate();
  await waitFor(() => sim.handles().running === running, 'the transfer threads to end');
  assert.equal(sim.port('COM22').pendingIo, 0);
  assert.deepEqual(messages, []);
  // Only the request's own I/O was cancelled: the handle is still open, and
  // this thread can go on using the port.
  sim.configurePort('COM22', { holdWrites: false });
  assert.deepEqual(await call(lintel.write, fd, Buffer.from('after')), [null]);
  assert.deepEqual(await call(lintel.close, fd), [null]);
});

test('a Worker that exits while its read is still being set up does not crash or hang', async () => {
  const { lintel, call } = require('./support');
  sim.createPort('COM23');
  for (let i = 0; i < 10; i++) {
    const [, fd] = await call(lintel.open, 'COM23', { baudRate: 9600, dataBits: 8 });
    const { worker, first } = startWorker(`
      post('reading');
      for (let i = 0; i < 20; i++) lintel.read(${fd}, Buffer.alloc(1), 0, 1, () => {});
      process.exit(0);
    `);
    await first;
    await new Promise((resolve) => worker.once('exit', resolve));
    await waitFor(() => sim.port('COM23').pendingIo === 0 && sim.handles().running === 0, 'the reads to end');
    assert.deepEqual(await call(lintel.close, fd), [null]);
  }
});

// Each kind of request held in flight, with what the Worker needs first,
// the hold that keeps it there (open's is past CreateFileA, so it has a
// handle to give back) and how the Worker sees that it is. The port is
// closed after the Worker whatever it was doing: one the Worker opened and
// left open closes with it.
const opened = "const [, fd] = await call(lintel.open, 'COM24', { baudRate: 9600, dataBits: 8 });";
const isHeld = 'sim.held() > 0';
const inFlight = {
  list: ['', "sim.holdNext('SetupDiGetClassDevsA'); lintel.list(() => post('called back'));", isHeld],
  open: ['', "sim.holdNext('AcquireSRWLockExclusive'); lintel.open('COM24', { baudRate: 9600, dataBits: 8 }, () => post('called back'));", isHeld],
  getBaudRate: [opened, "sim.holdNext('AcquireSRWLockExclusive'); lintel.getBaudRate(fd, () => post('called back'));", isHeld],
  close: [opened, "sim.holdNext('AcquireSRWLockExclusive'); lintel.close(fd, () => post('called back'));", isHeld],
  // Held by the device, not by the test: the Worker's teardown cancels it.
  drain: [opened, "sim.configurePort('COM24', { holdWrites: true }); lintel.drain(fd, () => post('called back'));",
    "sim.port('COM24').pendingIo > 0"],
};
const leaving = {
  exit: 'process.exit(0);',
  throw: "setImmediate(() => { throw new Error('the Worker fails'); });",
  terminate: '',
};

test('a Worker that leaves with a pool request in flight drops its callback; nothing aborts, nothing stays open', async () => {
  for (const [kind, [before, call, ready]] of Object.entries(inFlight)) {
    for (const [how, leave] of Object.entries(leaving)) {
      sim.reset();
      sim.createPort('COM24');
      const { worker, first } = startWorker(`
        ${before}
        ${call}
        while (!(${ready})) await new Promise((r) => setTimeout(r, 1));
        post('leaving');
        ${leave}
      `);
      // The throw's 'error' may overtake the message before it.
      first.catch(() => {});
      const messages = [];
      worker.on('message', (m) => messages.push(m));
      worker.on('error', (e) => messages.push(e.message));
      const exited = new Promise((resolve) => worker.once('exit', resolve));
      await waitFor(() => messages.includes('leaving'), `${kind}/${how}: the request to be in flight`);
      const terminated = how === 'terminate' ? worker.terminate() : null;
      // The Worker's teardown waits for the request; let it finish there.
      await tick(20);
      sim.releaseHeld();
      await exited;
      await terminated;
      const expected = how === 'throw' ? ['leaving', 'the Worker fails'] : ['leaving'];
      assert.deepEqual(messages.sort(), expected.sort(), `${kind}/${how}`);
      await waitFor(() => sim.port('COM24').openHandles === 0, `${kind}/${how}: the port to be closed`);
      assert.equal(sim.port('COM24').pendingIo, 0);
    }
  }
});

test('a Worker terminated with a read pending ends it where CancelIoEx cannot be found', async () => {
  const { lintel, call } = require('./support');
  sim.reset();
  sim.createPort('COM25');
  sim.hide('CancelIoEx', true);
  try {
    const [, fd] = await call(lintel.open, 'COM25', { baudRate: 9600, dataBits: 8 });
    const running = sim.handles().running;
    const { worker, first } = startWorker(`
      lintel.read(${fd}, Buffer.alloc(4), 0, 4, () => post('read called back'));
      post('reading');
    `);
    await first;
    await waitFor(() => sim.port('COM25').pendingIo === 1, 'the read to be pending');
    await worker.terminate();
    await waitFor(() => sim.handles().running === running, 'the read thread to end');
    assert.equal(sim.port('COM25').pendingIo, 0);
    assert.deepEqual(await call(lintel.close, fd), [null]);
  } finally {
    sim.hide('CancelIoEx', false);
  }
});

// Every order in which a Worker with an open of its own can go away, each
// forced: the hold (if any) that keeps the open where the order needs it,
// what the Worker does after issuing it and in its callback, and how the
// test ends the Worker (terminate, or wait for it to leave by itself). In
// all, the port ends closed, and at once exclusively openable again.
const options = "{ baudRate: 9600, dataBits: 8, lock: true }";
const blockLoop = 'Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0);';
const openOrders = {
  'terminated before CreateFileA returns': { hold: 'CreateFileA', callback: "post('called back');", end: 'terminate' },
  'terminated after CreateFileA, before the open is done': { hold: 'AcquireSRWLockExclusive', callback: "post('called back');", end: 'terminate' },
  // Its loop blocked, the Worker cannot run the completion of the finished open.
  'terminated with the completion waiting for its loop': { after: blockLoop, callback: "post('called back');", end: 'terminate' },
  'ends by process.exit in the callback': { callback: 'process.exit(0);', end: 'wait' },
  'got the handle and is terminated': { callback: "post('delivered');", end: 'terminate' },
  'got the handle and leaves by process.exit': { callback: "post('delivered'); setTimeout(() => process.exit(0), 5);", end: 'wait' },
  'got the handle and throws': { callback: "post('delivered'); setImmediate(() => { throw new Error('the Worker fails'); });", end: 'wait' },
};

test('a Worker with an open of its own that goes away closes the port, in every order; the port opens again at once', async () => {
  const { lintel, call } = require('./support');
  for (const [order, { hold, after = '', callback, end }] of Object.entries(openOrders)) {
    sim.reset();
    sim.createPort('COM26');
    const { worker } = startWorker(`
      ${hold ? `sim.holdNext('${hold}');` : ''}
      lintel.open('COM26', ${options}, (error, fd) => { ${callback} });
      post('issued');
      ${after}
    `);
    const messages = [];
    worker.on('message', (m) => messages.push(m));
    worker.on('error', (e) => messages.push(e.message));
    const exited = new Promise((resolve) => worker.once('exit', resolve));
    await waitFor(() => messages.includes('issued'), `${order}: the open to be issued`);
    if (hold) await waitFor(() => sim.held() > 0, `${order}: the open to be held`);
    if (after) {
      await waitFor(() => sim.port('COM26').openHandles === 1, `${order}: the port to be opened`);
      await tick(50);
    }
    if (callback.includes('delivered') && end === 'terminate') {
      await waitFor(() => messages.includes('delivered'), `${order}: the handle to be delivered`);
    }
    if (end === 'terminate') {
      const terminated = worker.terminate();
      // The Worker's teardown waits for a held open; let it finish there.
      await tick(20);
      sim.releaseHeld();
      await terminated;
    }
    await exited;
    assert.ok(!messages.includes('called back'), `${order}: no callback after the Worker went`);
    // Closed on the Worker's way out, before it is reported gone.
    assert.equal(sim.port('COM26').openHandles, 0, `${order}: the port is closed`);
    const [error, fd] = await call(lintel.open, 'COM26', { baudRate: 9600, dataBits: 8, lock: true });
    assert.equal(error, null, order);
    await call(lintel.close, fd);
  }
});

test('a Worker that closed its port leaves alone the port opened next on the same number', async () => {
  const { lintel, call } = require('./support');
  sim.reset();
  sim.createPort('COM27');
  sim.createPort('COM28');
  const { worker, first } = startWorker(`
    const [, fd] = await call(lintel.open, 'COM27', { baudRate: 9600, dataBits: 8 });
    await call(lintel.close, fd);
    post({ fd });
    setInterval(() => {}, 1000);
  `);
  const { fd } = await first;
  sim.setNextHandle(fd);
  const [, again] = await call(lintel.open, 'COM28', { baudRate: 9600, dataBits: 8 });
  assert.equal(again, fd);
  await worker.terminate();
  assert.equal(sim.port('COM28').openHandles, 1);
  assert.deepEqual(await call(lintel.close, again), [null]);
});

test('a Worker whose port a drain holds past every cancel ends all the same; the drain closes the port as it returns', async () => {
  const { lintel, call } = require('./support');
  sim.reset();
  sim.createPort('COM29');
  sim.configurePort('COM29', { holdWrites: true });
  const { worker, first } = startWorker(`
    const [, fd] = await call(lintel.open, 'COM29', { baudRate: 9600, dataBits: 8 });
    post({ fd });
    setInterval(() => {}, 1000);
  `);
  const { fd } = await first;
  // Flow control that no cancel reaches: only the device lets the drain go.
  sim.hide('CancelIoEx', true);
  sim.hide('CancelSynchronousIo', true);
  try {
    const drained = call(lintel.drain, fd);
    await waitFor(() => sim.port('COM29').pendingIo === 1, 'the drain to be held');
    const ended = await Promise.race([worker.terminate().then(() => 'ended'), tick(3000).then(() => 'held')]);
    assert.equal(ended, 'ended');
    // The drain keeps the handle, and its number, until it returns.
    assert.equal(sim.port('COM29').openHandles, 1);
    sim.releaseWrites('COM29');
    assert.equal((await drained).length, 1);
    await waitFor(() => sim.port('COM29').openHandles === 0, 'the port to be closed');
    const [error, again] = await call(lintel.open, 'COM29', { baudRate: 9600, dataBits: 8, lock: true });
    assert.equal(error, null);
    await call(lintel.close, again);
  } finally {
    sim.hide('CancelIoEx', false);
    sim.hide('CancelSynchronousIo', false);
  }
});
