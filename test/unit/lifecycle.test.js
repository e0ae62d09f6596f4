'use strict';
// Devices that come and go: ports opened by what their device is, every driver's way of saying it is gone,
// the one list poller of the process, and the simulated devices that leave and come back.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, openPort, tick } = require('./support');
const { VirtualPorts } = require('../../lib/testing');
const { describeError } = require('../../lib/errors');
const { isLoss, isNotReady, disconnected } = require('../../lib/loss');
const { ListPoller, watchPresence, pollerOf } = require('../../lib/watcher');
const { identityAt } = require('../../lib/identity');

beforeEach(() => sim.reset());

test('open by identity: any subset of the keys, all of them matching, hex IDs in either case', async () => {
  const machine = new VirtualPorts();
  machine.add('COM3', { serialNumber: 'A10K', vendorId: '0403', productId: '6001', locationId: 'Port_#0001.Hub_#0002' });
  machine.add('COM4', { serialNumber: 'B20K', vendorId: '0403', productId: '6001' });
  machine.add('COM9', { vendorId: '1a86', productId: '7523', pnpId: 'USB\\VID_1A86&PID_7523\\5&2B3C&0&2' });
  machine.add('COM10', { vendorId: '1A86', productId: '7523' });
  const { SerialPort } = machine;
  const cases = [
    [{ serialNumber: 'A10K' }, 'COM3'],
    [{ serialNumber: 'B20K', vendorId: '0403' }, 'COM4'],
    [{ vendorId: '0403', productId: '6001', locationId: 'Port_#0001.Hub_#0002' }, 'COM3'],
    [{ pnpId: 'usb\\vid_1a86&pid_7523\\5&2b3c&0&2' }, 'COM9'],
    [{ vendorId: '1A86', productId: '7523', serialNumber: undefined, pnpId: 'USB\\VID_1A86&PID_7523\\0000' }, 'COM10'],
    // The serial number is a device's own text, compared as it is.
    [{ serialNumber: 'a10k' }, 'ERR_PORT_NOT_FOUND'],
    [{ serialNumber: 'A10K', productId: '6002' }, 'ERR_PORT_NOT_FOUND'],
    [{ vendorId: '0403' }, 'ERR_PORT_AMBIGUOUS', ['COM3', 'COM4']],
    [{ vendorId: '1a86', productId: '7523' }, 'ERR_PORT_AMBIGUOUS', ['COM9', 'COM10']],
  ];
  for (const [identity, expected, paths] of cases) {
    const opening = SerialPort.open(identity, { baudRate: 9600 });
    if (expected.startsWith('COM')) {
      const port = await opening;
      assert.equal(port.path, expected, JSON.stringify(identity));
      await port.close();
    } else {
      const error = await opening.then(() => assert.fail(`${JSON.stringify(identity)} opened`), (e) => e);
      assert.equal(error.code, expected);
      for (const path of paths || []) assert.match(error.message, new RegExp(`\\b${path}\\b`));
    }
  }
  const refusals = [
    [{}, /at least one of/], [{ serial: 'A10K' }, /unknown/], [{ SerialNumber: 'A10K' }, /did you mean serialNumber/],
    [{ serialNumber: 42 }, /non-empty string/], [{ serialNumber: '' }, /non-empty string/], [['COM3'], /must be an object/],
  ];
  for (const [identity, message] of refusals) {
    await assert.rejects(SerialPort.open(identity, { baudRate: 9600 }), { name: 'TypeError', message });
  }
  // The options are checked before the list is asked for anything.
  await assert.rejects(SerialPort.open({ serialNumber: 'A10K' }, { baudRate: 9600, parity: 'odds' }), RangeError);
  const controller = new AbortController();
  controller.abort();
  await assert.rejects(SerialPort.open({ serialNumber: 'A10K' }, { baudRate: 9600, signal: controller.signal }), { code: 'ABORT_ERR' });
});

test('every code a driver reports a removal with is a loss; the port\'s own cancel and other failures are not', async () => {
  const family = [5, 21, 22, 31, 109, 121, 995, 1167, 1168];
  for (const code of family) {
    const name = `COM${code}`;
    const fd = await openPort(name);
    const reading = call(lintel.read, fd, Buffer.alloc(4), 0, 4);
    await tick(5);
    sim.unplugPort(name, { pendingError: code, callError: code });
    const [readError] = await reading;
    const [controlError] = await call(lintel.get, fd);
    for (const error of [describeError(readError), describeError(controlError)]) {
      assert.equal(error.errno, code);
      assert.equal(isLoss(error), true, `${code}: ${error.message}`);
    }
    const reported = disconnected(name, describeError(readError));
    assert.equal(reported.code, 'ERR_PORT_DISCONNECTED');
    assert.equal(reported.path, name);
    assert.equal(reported.cause.errno, code);
    assert.deepEqual(await call(lintel.close, fd), [null]);
  }
  // A read the port's own close ended, and failures that are the program's.
  const fd = await openPort('COM2');
  const reading = call(lintel.read, fd, Buffer.alloc(4), 0, 4);
  await tick(5);
  await call(lintel.close, fd);
  const cancelled = describeError((await reading)[0]);
  assert.equal(cancelled.errno, 995);
  assert.equal(isLoss(cancelled, true), false);
  const other = await openPort('COM6');
  const refused = describeError((await call(lintel.update, other, { baudRate: 0 }))[0]);
  assert.equal(refused.errno, 87);
  assert.equal(isLoss(refused), false);
  assert.equal(isLoss(new Error('not the addon\'s')), false);
  await call(lintel.close, other);
  assert.equal(disconnected('COM6').cause, undefined);
  assert.match(disconnected('COM6').message, /left the port list/);
});

test('a device back after a removal: refused while the old handle is open, then its first opens, under its name or another', async () => {
  const notReady = [];
  const attempt = async (name) => {
    const [error, fd] = await call(lintel.open, name, { baudRate: 9600, dataBits: 8 });
    if (error) notReady.push([name, describeError(error).errno, isNotReady(describeError(error))]);
    return error ? null : fd;
  };
  const old = await openPort('COM7');
  sim.unplugPort('COM7', { openError: 5 });
  assert.equal(await attempt('COM7'), null);
  sim.plugPort('COM7', { refuse: [433, 121] });
  assert.equal(await attempt('COM7'), null);
  assert.deepEqual(await call(lintel.close, old), [null]);
  assert.equal(await attempt('COM7'), null);
  assert.equal(await attempt('COM7'), null);
  const back = await attempt('COM7');
  assert.notEqual(back, null);
  assert.equal(sim.port('COM7').openHandles, 1);
  await call(lintel.close, back);

  // Back under another name, the old one is not there at all.
  const moved = await openPort('COM11');
  sim.unplugPort('COM11');
  await call(lintel.close, moved);
  sim.plugPort('COM11', { as: 'COM12', refuse: [1168] });
  assert.equal(await attempt('COM11'), null);
  assert.equal(await attempt('COM12'), null);
  const fd = await attempt('COM12');
  assert.notEqual(fd, null);
  await call(lintel.close, fd);
  assert.deepEqual(notReady, [['COM7', 5, true], ['COM7', 2, true], ['COM7', 433, true], ['COM7', 121, true],
    ['COM11', 2, true], ['COM12', 1168, true]]);
  assert.equal(isNotReady(describeError(new Error('Open (SetCommState): The parameter is incorrect'))), false);
});

test('a silent loss: the device leaves the list while its read stays pending and its writes are held', async () => {
  sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM5' });
  const fd = await openPort('COM5');
  const read = call(lintel.read, fd, Buffer.alloc(4), 0, 4);
  sim.unplugPort('COM5', { silent: true });
  let wrote = false;
  call(lintel.write, fd, Buffer.from('held')).then(() => { wrote = true; });
  assert.equal(sim.removeDevice('usb\\vid_0403&pid_6001\\a1'), 1);
  assert.deepEqual((await call(lintel.list))[1], []);
  await tick(30);
  assert.equal(wrote, false);
  assert.equal(sim.port('COM5').pendingIo, 2);
  // Only the close ends them.
  await call(lintel.close, fd);
  assert.equal((await read)[0].message, 'Reading from COM port (ReadIOCompletion): Operation aborted');
});

// A list() that counts the calls in flight and can be told what to answer.
function countingList(ports) {
  const counts = { calls: 0, inFlight: 0, most: 0, times: [] };
  const list = async () => {
    counts.calls++;
    counts.times.push(performance.now());
    counts.most = Math.max(counts.most, ++counts.inFlight);
    await tick(15);
    counts.inFlight--;
    if (ports.fail) throw new Error('list failed');
    return ports.now.map((port) => ({ ...port }));
  };
  return { list, counts };
}

test('one poller for everyone: never two lists at once, presence at most once a second, nothing once all have gone', async () => {
  const ports = { now: [{ path: 'COM3', pnpId: 'USB\\VID_0403&PID_6001\\A1', serialNumber: 'A1', vendorId: '0403', productId: '6001' }] };
  const { list, counts } = countingList(ports);
  const poller = new ListPoller(list);
  const fast = [];
  const stopFast = poller.subscribe({ interval: 5 }, (error, found) => fast.push(found.length));
  const events = [];
  const presence = (path) => watchPresence(poller, path, {
    listed: (record) => events.push(`listed ${path} ${JSON.stringify(identityAt([record], path))}`),
    gone: () => events.push(`gone ${path}`),
  });
  const stops = ['com3', 'COM4', 'COM8'].map(presence);
  // Side by side, on demand too.
  const [a, b] = await Promise.all([poller.current(), poller.current()]);
  assert.equal(a, b);
  await tick(200);
  ports.now = [{ path: 'COM4', pnpId: 'ACPI\\PNP0501\\4' }];
  await tick(1200);
  ports.now = [{ path: 'COM4', pnpId: 'ACPI\\PNP0501\\5' }];
  await tick(1100);
  stopFast();
  const calls = counts.calls;
  await tick(1100);
  // Only presence left: one list a second, about.
  assert.ok(counts.calls - calls >= 1 && counts.calls - calls <= 2, `${counts.calls - calls} lists in 1.1 s`);
  for (const stop of stops) stop();
  assert.equal(poller.subscribers, 0);
  const after = counts.calls;
  await tick(1100);
  assert.equal(counts.calls, after);
  assert.equal(counts.most, 1);
  assert.ok(fast.length > 20);
  assert.deepEqual(events, [
    'listed com3 {"serialNumber":"A1","vendorId":"0403","productId":"6001"}',
    'gone com3',
    'listed COM4 {"pnpId":"ACPI\\\\PNP0501\\\\4"}',
    // Another device under the same name is not the one that was opened.
    'gone COM4',
  ]);

  // A failed list tells nothing about a device.
  ports.now = [{ path: 'COM3', pnpId: 'X' }];
  const gone = [];
  const stop = watchPresence(poller, 'COM3', { gone: () => gone.push('gone') });
  await tick(50);
  ports.fail = true;
  await tick(1100);
  assert.deepEqual(gone, []);
  stop();
});

test('the search for a device: by identity or name, through refusals, until found, timed out, aborted or stopped', async () => {
  const { seek } = require('../../lib/reconnect');
  const { reconnectOption } = require('../../lib/options');
  const { disconnected: lostError } = require('../../lib/loss');
  const opens = [];
  const open = async (path) => {
    opens.push(path);
    const [error, fd] = await call(lintel.open, path, { baudRate: 9600, dataBits: 8 });
    if (error) throw describeError(error);
    return fd;
  };
  const close = (fd) => lintel.close(fd, () => {});
  const list = async () => (await call(lintel.list))[1];
  const usbId = 'USB\\VID_0403&PID_6001\\FT1';
  const search = (options) => seek({ list, open, close, lost: lostError('COM5'), ...options });

  // Back under another name after refusing twice: found by serial number.
  sim.createPort('COM5');
  sim.unplugPort('COM5');
  sim.plugPort('COM5', { as: 'COM6', refuse: [5, 121] });
  sim.addDevice({ instanceId: usbId, portName: 'COM6', location: 'Port_#0002' });
  const started = performance.now();
  const { found } = search({ identity: { pnpId: usbId } });
  const { fd, path } = await found;
  assert.equal(path, 'COM6');
  assert.deepEqual(opens, ['COM6', 'COM6', 'COM6']);
  // 100 + 200 + 400 ms of backoff, and not much more.
  const took = performance.now() - started;
  assert.ok(took >= 650 && took < 1500, `${took} ms`);
  await call(lintel.close, fd);

  // By name, a device that never comes: the timeout, or the signal, ends it with the loss.
  opens.length = 0;
  const controller = new AbortController();
  const outcomes = await Promise.allSettled([
    search({ path: 'COM9', timeout: 250 }).found,
    search({ path: 'COM9', signal: controller.signal }).found,
    (setTimeout(() => controller.abort(), 150), search({ path: 'COM9', signal: AbortSignal.abort() }).found),
  ]);
  for (const outcome of outcomes) assert.equal(outcome.reason.code, 'ERR_PORT_DISCONNECTED');
  // One try each at 100 ms; none for the signal aborted before.
  assert.deepEqual(opens, ['COM9', 'COM9']);

  // Stopped while its open is with the addon: the handle it gets is closed.
  sim.createPort('COM8');
  sim.holdNext('CreateFileA');
  const stopping = search({ path: 'COM8' });
  while (sim.held() === 0) await tick(5);
  stopping.stop();
  sim.releaseHeld();
  assert.equal(await stopping.found, null);
  await tick(30);
  assert.equal(sim.port('COM8').openHandles, 0);

  // A failure that is not "not yet" ends the search with it.
  sim.createPort('COM4');
  sim.failNext('SetCommState', 87);
  await assert.rejects(search({ path: 'COM4' }).found, { errno: 87 });

  assert.equal(reconnectOption(undefined), null);
  assert.deepEqual(reconnectOption(true), { timeout: null, signal: null });
  for (const [value, Kind] of [[1, TypeError], [{ timeout: -1 }, RangeError], [{ timeout: '5' }, TypeError],
    [{ timeOut: 5 }, TypeError], [{ signal: {} }, TypeError]]) {
    assert.throws(() => reconnectOption(value), Kind, JSON.stringify(value));
  }
});

test('an open port\'s watch: the first of its failures or the list that says the device is gone is reported, once', async () => {
  const { DeviceWatch } = require('../../lib/loss');
  sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\A1', portName: 'COM5' });
  const poller = new ListPoller(async () => (await call(lintel.list))[1]);
  const reports = [];
  const watch = (path) => new DeviceWatch({ poller, path, lost: (error) => reports.push([path, error.code, error.cause?.errno ?? null]) });
  const [silent, loud, unlisted] = [watch('COM5'), watch('COM5'), watch('COM9')];
  await tick(50);
  assert.deepEqual([silent.identity, unlisted.identity], [{ pnpId: 'USB\\VID_0403&PID_6001\\A1' }, null]);
  const fd = await openPort('COM5');
  sim.unplugPort('COM5', { callError: 1167 });
  const error = describeError((await call(lintel.get, fd))[0]);
  assert.equal(loud.failed(describeError(new Error('Update (SetCommState): The parameter is incorrect'))), false);
  assert.equal(loud.failed(error), true);
  assert.equal(loud.failed(error), true);
  assert.equal(loud.over, true);
  sim.removeDevice('USB\\VID_0403&PID_6001\\A1');
  await tick(1100);
  assert.deepEqual(reports, [['COM5', 'ERR_PORT_DISCONNECTED', 1167], ['COM5', 'ERR_PORT_DISCONNECTED', null]]);
  assert.equal(silent.over, true);
  unlisted.stop();
  assert.equal(poller.subscribers, 0);
  await call(lintel.close, fd);
});

// A reconnecting port: what it said, in order, for each way a device goes and comes back.
const { createSerialPort } = require('../../lib/serialport');
const SerialPort = createSerialPort(lintel);
const deviceA1 = 'USB\\VID_0403&PID_6001\\A1';

async function until(check, what, ms = 5000) {
  for (const end = Date.now() + ms; !check(); await tick(5)) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
  }
}

// Destroyed after each row, so that a row that fails leaves nothing open.
const following = new Set();

// The device A1 on COM5, open with reconnect (by `target`), and a record of what the port said.
async function follow(options = {}, target = 'COM5') {
  sim.createPort('COM5');
  sim.addDevice({ instanceId: deviceA1, portName: 'COM5' });
  const port = await SerialPort.open(target, { baudRate: 9600, reconnect: true, ...options });
  following.add(port);
  const said = [];
  port.on('disconnect', (e) => said.push(['disconnect', e.code, e.path, e.cause?.errno ?? null]));
  port.on('reconnect', ({ path }) => said.push(['reconnect', path, port.path, port.isOpen]));
  port.on('error', (e) => said.push(['error', e.code]));
  port.on('close', () => said.push(['close']));
  const received = [];
  port.on('data', (chunk) => received.push(String(chunk)));
  // Until the list has named the device, the port knows it only by its path.
  await tick(40);
  return { port, said, received };
}

// Ends the row: close() resolves, 'close' once, no handle, and nobody polls.
async function closed(port, said) {
  await port.close();
  await tick(20);
  assert.deepEqual(said.filter(([event]) => event === 'close' || event === 'error'), [['close']]);
  for (const name of ['COM5', 'COM6']) {
    let handles = 0;
    try {
      handles = sim.port(name).openHandles;
    } catch {
      // Not a port of this row.
    }
    assert.equal(handles, 0, name);
  }
  assert.equal(pollerOf(lintel).subscribers, 0);
}

const reconnectRows = {
  'each code a removal reports: the stream stays, writes and controls fail at once, the device comes back as it was': async () => {
    for (const code of [5, 21, 22, 31, 109, 121, 995, 1167, 1168]) {
      sim.reset();
      const { port, said, received } = await follow();
      await port.update({ baudRate: 19200 });
      await port.set({ dtr: false, rts: true });
      sim.feed('COM5', Buffer.from('before|'));
      await until(() => received.length === 1, 'the bytes before');
      port.write('sent');
      await port.drain();
      sim.unplugPort('COM5', { pendingError: code, callError: code });
      await until(() => said.length === 1, 'disconnect');
      assert.deepEqual(said, [['disconnect', 'ERR_PORT_DISCONNECTED', 'COM5', code]], `code ${code}`);
      assert.equal(port.isOpen, false);
      const refused = await new Promise((resolve) => port.write('not sent', resolve));
      assert.equal(refused.code, 'ERR_PORT_DISCONNECTED');
      for (const control of [port.get(), port.flush(), port.drain(), port.set({ brk: true }), port.open()]) {
        await assert.rejects(control, { code: 'ERR_PORT_DISCONNECTED' });
      }
      await until(() => sim.port('COM5').openHandles === 0, 'the lost handle closed');
      sim.plugPort('COM5');
      await until(() => said.length === 2, 'reconnect');
      assert.deepEqual(said[1], ['reconnect', 'COM5', 'COM5', true]);
      const back = sim.port('COM5');
      assert.deepEqual([back.dcb.BaudRate, back.dtr, back.rts, back.brk], [19200, false, true, false]);
      sim.feed('COM5', Buffer.from('after'));
      await until(() => received.length === 2, 'the bytes after');
      port.write('again');
      await port.drain();
      // Nothing from before the loss is sent again.
      assert.equal(sim.takeWritten('COM5').toString(), 'again');
      assert.equal(received.join(''), 'before|after');
      await closed(port, said);
    }
  },
  'a silent loss: noticed by the list within 3 s, the held write called back, another device left alone, back once its first opens succeed': async () => {
    const { port, said } = await follow({ modemStatus: { interval: 50 } });
    // Another device, which stays.
    sim.createPort('COM6');
    sim.addDevice({ instanceId: 'USB\\VID_0403&PID_6001\\B2', portName: 'COM6' });
    const other = await SerialPort.open('COM6', { baudRate: 9600, reconnect: true });
    following.add(other);
    const otherSaid = [];
    for (const event of ['disconnect', 'error', 'close']) other.on(event, () => otherSaid.push(event));
    sim.configurePort('COM5', { holdWrites: true });
    const held = new Promise((resolve) => port.write('held', resolve));
    sim.unplugPort('COM5', { silent: true });
    sim.removeDevice(deviceA1);
    const since = Date.now();
    assert.equal((await held).code, 'ERR_PORT_DISCONNECTED');
    assert.ok(Date.now() - since < 3000, `${Date.now() - since} ms`);
    assert.deepEqual(said, [['disconnect', 'ERR_PORT_DISCONNECTED', 'COM5', null]]);
    await new Promise((resolve) => other.write('still here', resolve));
    assert.deepEqual([other.isOpen, otherSaid, sim.takeWritten('COM6').toString()], [true, [], 'still here']);
    await other.close();
    sim.plugPort('COM5', { refuse: [5, 433, 121, 1168] });
    sim.addDevice({ instanceId: deviceA1, portName: 'COM5' });
    // Its modem lines not readable for a moment: tried again, not given up.
    sim.failNext('GetCommModemStatus', 1167);
    await until(() => said.length === 2, 'reconnect');
    // The poll came back with the port: CTS raised (0x10) is an event.
    const changes = [];
    port.on('modemStatus', ({ changed }) => changes.push(...changed));
    sim.configurePort('COM5', { modemStatus: 0x10 });
    await until(() => changes.length > 0, 'a modem-status event');
    assert.deepEqual(changes, ['cts']);
    await closed(port, said);
  },
  'back under another name, found by what the list said of it; another device under the old name is not taken; a write corked before the loss is not sent': async () => {
    const { port, said } = await follow();
    port.cork();
    const corked = new Promise((resolve) => port.write('meant for before', resolve));
    sim.unplugPort('COM5', { callError: 1167, pendingError: 1167 });
    await until(() => said.length === 1, 'disconnect');
    sim.removeDevice(deviceA1);
    sim.plugPort('COM5');
    sim.addDevice({ instanceId: 'USB\\VID_1A86&PID_7523\\5&1&0', portName: 'COM5' });
    await tick(400);
    assert.equal(sim.port('COM5').openHandles, 0, 'the stranger under COM5 is left alone');
    sim.createPort('COM6');
    sim.addDevice({ instanceId: deviceA1, portName: 'COM6' });
    await until(() => said.length === 2, 'reconnect');
    assert.deepEqual(said[1], ['reconnect', 'COM6', 'COM6', true]);
    port.uncork();
    assert.equal((await corked).code, 'ERR_PORT_DISCONNECTED');
    assert.equal(sim.takeWritten('COM6').length, 0);
    await closed(port, said);
  },
  'opened by identity, it looks for that identity': async () => {
    const { port, said } = await follow({}, { vendorId: '0403', productId: '6001' });
    assert.equal(port.path, 'COM5');
    sim.unplugPort('COM5', { pendingError: 22, callError: 22 });
    // Refused for the loss, a set() is not made once the device is back.
    await assert.rejects(port.set({ brk: true }), { code: 'ERR_PORT_DISCONNECTED' });
    await until(() => said.length === 1, 'disconnect');
    sim.removeDevice(deviceA1);
    sim.createPort('COM6');
    sim.addDevice({ instanceId: deviceA1, portName: 'COM6' });
    await until(() => said.length === 2, 'reconnect');
    assert.equal(port.path, 'COM6');
    assert.deepEqual([sim.port('COM6').brk, port.outputLines.brk], [false, false]);
    await closed(port, said);
  },
  'past its timeout or on abort the loss ends the stream; without reconnect it ends it at once': async () => {
    const abort = new AbortController();
    for (const [reconnect, end] of [[{ timeout: 250 }, null], [{ signal: abort.signal }, () => abort.abort()], [false, null]]) {
      sim.reset();
      const { port, said } = await follow({ reconnect });
      port.resume();
      sim.unplugPort('COM5', { pendingError: 1167 });
      await tick(50);
      end?.();
      await until(() => port.destroyed && said.at(-1)?.[0] === 'close', 'the end');
      const events = said.map(([event]) => event);
      assert.deepEqual(events, reconnect ? ['disconnect', 'error', 'close'] : ['error', 'close']);
      assert.equal(said.find(([event]) => event === 'error')[1], 'ERR_PORT_DISCONNECTED');
      assert.equal(sim.port('COM5').openHandles, 0);
    }
    // Back, but its modem lines can never be read there: the port ends with that, rather than try for ever.
    sim.reset();
    const { port, said } = await follow({ modemStatus: { interval: 50 } });
    sim.unplugPort('COM5', { pendingError: 1167, callError: 1167 });
    await until(() => said.length === 1, 'disconnect');
    sim.plugPort('COM5');
    sim.failNext('GetCommModemStatus', 50);
    await until(() => port.destroyed && said.at(-1)[0] === 'close', 'the end');
    assert.deepEqual(said.slice(1), [['error', 'ERROR_NOT_SUPPORTED'], ['close']]);
    // Back, but refusing its open in a way no later try changes: the port ends with that refusal.
    sim.reset();
    const refusing = await follow();
    sim.unplugPort('COM5', { pendingError: 1167, callError: 1167 });
    await until(() => refusing.said.length === 1, 'disconnect');
    sim.plugPort('COM5', { refuse: [87] });
    await until(() => refusing.port.destroyed && refusing.said.at(-1)[0] === 'close', 'the end');
    assert.deepEqual(refusing.said.slice(1), [['error', 'EINVAL'], ['close']]);
  },
  'what the port does itself is no loss; a loss while close() waits for a write ends the write, not the stream': async () => {
    const { port, said } = await follow();
    sim.configurePort('COM5', { holdWrites: true });
    const drained = port.drain().catch((e) => e.code);
    await tick(20);
    await port.flush();
    assert.deepEqual([await drained, port.isOpen, said], ['ECANCELED', true, []]);
    await closed(port, said);
    for (const silent of [false, true]) {
      sim.reset();
      const { port: closing, said: closingSaid } = await follow({ reconnect: false });
      sim.configurePort('COM5', { holdWrites: true });
      const written = new Promise((resolve) => closing.write('held', resolve));
      const closed = closing.close();
      await tick(20);
      const since = Date.now();
      if (silent) {
        sim.unplugPort('COM5', { silent: true });
        sim.removeDevice(deviceA1);
      } else {
        sim.unplugPort('COM5', { pendingError: 1167 });
      }
      assert.equal((await written).code, 'ERR_PORT_DISCONNECTED');
      await closed;
      assert.ok(Date.now() - since < 3000, `${Date.now() - since} ms`);
      await tick(20);
      assert.deepEqual(closingSaid, [['close']]);
    }
  },
  'a driver answering every read with nothing is taken for a loss, and the device is opened again': async () => {
    const { port, said, received } = await follow();
    const cause = new Promise((resolve) => port.once('disconnect', (error) => resolve(error.cause.code)));
    sim.configurePort('COM5', { zeroReads: 40 });
    // Ends the read already waiting; the reads after it come back empty.
    sim.feed('COM5', Buffer.from('x'));
    await until(() => said.length === 2, 'reconnect', 8000);
    assert.deepEqual([await cause, said[1]], ['ERR_PORT_READ_EMPTY', ['reconnect', 'COM5', 'COM5', true]]);
    sim.feed('COM5', Buffer.from('after'));
    await until(() => received.join('') === 'xafter', 'the bytes after');
    await closed(port, said);
  },
  'close() and destroy() at every step: connected, disconnected, searching, while the device refuses': async () => {
    const steps = [
      async () => {},
      async () => { sim.unplugPort('COM5', { pendingError: 1167 }); await tick(1); },
      async () => { sim.unplugPort('COM5', { pendingError: 1167 }); await tick(150); },
      async () => { sim.unplugPort('COM5', { pendingError: 1167 }); await tick(50); sim.plugPort('COM5', { refuse: [5, 5, 5] }); await tick(250); },
      async () => { sim.unplugPort('COM5', { pendingError: 1167 }); await tick(50); sim.plugPort('COM5'); await tick(95); },
    ];
    for (const [n, step] of steps.entries()) {
      for (const how of ['close', 'destroy']) {
        sim.reset();
        const { port, said } = await follow();
        await step();
        if (how === 'close') await port.close();
        else port.destroy();
        await tick(400);
        assert.deepEqual(said.filter(([event]) => event !== 'disconnect' && event !== 'reconnect'), [['close']], `step ${n} ${how}`);
        assert.equal(sim.port('COM5').openHandles, 0, `step ${n} ${how}`);
        assert.equal(pollerOf(lintel).subscribers, 0);
      }
    }
  },
};

test('a reconnecting port through every way its device goes and comes back: each row', async () => {
  const failures = [];
  for (const [name, row] of Object.entries(reconnectRows)) {
    sim.reset();
    try {
      await Promise.race([row(), new Promise((resolve, reject) => setTimeout(reject, 20000, new Error('hung')).unref())]);
    } catch (error) {
      failures.push(`${name}: ${error.stack}`);
    }
    for (const port of following) port.destroy();
    following.clear();
  }
  assert.deepEqual(failures, []);
});

test('listeners of disconnect and reconnect that throw: the throw is the program\'s; the writes, the port and its close go on', () => {
  const { execFileSync } = require('node:child_process');
  const script = `
    const { lintel, sim } = require(${JSON.stringify(require.resolve('./support'))});
    const SerialPort = require(${JSON.stringify(require.resolve('../../lib/serialport'))}).createSerialPort(lintel);
    const thrown = [];
    process.on('uncaughtException', (error) => thrown.push(error.message));
    (async () => {
      sim.reset();
      sim.createPort('COM5');
      const port = await SerialPort.open('COM5', { baudRate: 9600, reconnect: true });
      for (const event of ['disconnect', 'reconnect']) port.on(event, () => { throw new Error(event); });
      sim.configurePort('COM5', { holdWrites: true });
      const lost = new Promise((resolve) => port.write('held', resolve));
      await new Promise((resolve) => setTimeout(resolve, 20));
      sim.unplugPort('COM5', { pendingError: 1167 });
      const first = await lost;
      sim.plugPort('COM5');
      await new Promise((resolve) => port.prependOnceListener('reconnect', resolve));
      const second = await new Promise((resolve) => port.write('after', resolve));
      await port.close();
      console.log(JSON.stringify([first.code, second, thrown, sim.port('COM5').openHandles]));
    })();`;
  const out = execFileSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
  assert.deepEqual(JSON.parse(out), ['ERR_PORT_DISCONNECTED', null, ['disconnect', 'reconnect'], 0]);
});
