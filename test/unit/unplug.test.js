'use strict';
// A USB adapter pulled out while its port is open: what Windows reports then
// reaches each callback as a text, and the handle can still be closed.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, openPort, assertFailure, tick, settled } = require('./support');

test('pending transfers, later calls and a new open each report the codes of a vanished device', async () => {
  const fd = await openPort('COM7');
  const bystander = await openPort('COM8');
  sim.configurePort('COM7', { holdWrites: true });
  const reading = call(lintel.read, fd, Buffer.alloc(8), 0, 8);
  const writing = call(lintel.write, fd, Buffer.from('lost'));
  const otherRead = call(lintel.read, bystander, Buffer.alloc(2), 0, 2);
  await tick(20);
  sim.unplugPort('COM7', { pendingError: 31, callError: 22, ioError: 1167, openError: 5 });

  assertFailure(await reading, 'Reading from COM port (ReadIOCompletion): Unknown error code 31', 2);
  assertFailure(await writing, 'Writing to COM port (WriteIOCompletion): Unknown error code 31');
  assertFailure(await call(lintel.getBaudRate, fd), 'Getting baud rate (GetCommState): Unknown error code 22');
  assertFailure(await call(lintel.update, fd, { baudRate: 19200 }), 'Update (GetCommState): Unknown error code 22');
  assertFailure(await call(lintel.write, fd, Buffer.from('x')), 'Writing to COM port (WriteFileEx): Unknown error code 1167');
  // A read first sets its timeouts, which fail like any control call.
  assertFailure(await call(lintel.read, fd, Buffer.alloc(1), 0, 1), 'Setting COM timeout (SetCommTimeouts): Unknown error code 22', 2);
  assertFailure(await call(lintel.open, 'COM7', { baudRate: 9600, dataBits: 8 }), 'Opening COM7: Access denied');

  // The handle still closes, and the other port never noticed.
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assert.equal(sim.port('COM7').openHandles, 0);
  sim.feed('COM8', Buffer.from('ok'));
  assert.deepEqual(await otherRead, [null, 2]);
  assert.deepEqual(await call(lintel.close, bystander), [null]);
  assert.equal((await settled()).threads, 0);
});

test('a device that vanishes mid-read with the codes Windows uses for surprise removal', async () => {
  for (const pendingError of [22, 995, 1167]) {
    const name = `COM${30 + (pendingError % 7)}`;
    const fd = await openPort(name);
    const reading = call(lintel.read, fd, Buffer.alloc(4), 0, 4);
    await tick(10);
    sim.unplugPort(name, { pendingError });
    const [error] = await reading;
    assert.match(error.message, /^Reading from COM port \(ReadIOCompletion\): /);
    assert.match(error.message, pendingError === 995 ? /Operation aborted$/ : new RegExp(`code ${pendingError}$`));
    assert.deepEqual(await call(lintel.close, fd), [null]);
  }
});
