'use strict';
// The raw contract as one table, held against both bindings: the addon's Linux build on
// the simulated Win32 layer, and the virtual ports users test with. Each case
// writes down what the calls gave; both must give what the table says.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { rigs } = require('./rigs');

const tick = (ms = 20) => new Promise((resolve) => setTimeout(resolve, ms));
const cb = () => {};

// What a call gave: what it threw, or what its callback received, errors as
// their messages (marked when they carry a code, which the addon's never do).
function outcome(fn, ...args) {
  return new Promise((resolve) => {
    try {
      fn(...args, (...results) => resolve(results.map((r) => (r instanceof Error
        ? `${r.message}${Object.hasOwn(r, 'code') ? ' (with a code)' : ''}` : r))));
    } catch (error) {
      resolve(`throws ${error.constructor.name}: ${error.message}`);
    }
  });
}

// What a call threw, and what it returned otherwise.
function thrown(fn, ...args) {
  try {
    return `returned ${fn(...args)}`;
  } catch (error) {
    return `${error.constructor.name}: ${error.message}`;
  }
}

const options = { baudRate: 9600, dataBits: 8 };

async function opened(rig, name = 'COM3', settings = options) {
  rig.add(name);
  const [error, fd] = await outcome(rig.binding.open, name, settings);
  assert.equal(error, null);
  return fd;
}

const tooLong = "'bytesToRead' + 'offset' cannot be larger than the buffer's length";

const cases = [
  ['every function refuses a bad argument, the first bad one, synchronously', (rig) => {
    const b = rig.binding;
    const buffer = Buffer.alloc(8);
    return [
      thrown(b.open), thrown(b.open, new String('COM3'), {}, cb), thrown(b.open, 'COM3', null, cb), thrown(b.open, 'COM3', {}),
      thrown(b.open, 'COM3', { get parity() { throw new Error('getter says no'); } }, cb),
      thrown(b.open, 'COM3', { baudRate: 10n }, cb), thrown(b.open, 'COM3', { rtsMode: Symbol('x') }, cb),
      thrown(b.update, '1', { baudRate: 1 }, cb), thrown(b.update, 1, null, cb), thrown(b.update, 1, {}, undefined),
      thrown(b.update, 1, [], cb), thrown(b.update, 1, Object.create({ baudRate: 1 })),
      thrown(b.set, 'x', {}, cb), thrown(b.set, 1, null, cb), thrown(b.set, 1, {}, 5),
      ...['get', 'getBaudRate', 'close', 'flush', 'drain'].flatMap((name) => [thrown(b[name]), thrown(b[name], '1', cb), thrown(b[name], 1, {})]),
      thrown(b.write), thrown(b.write, 1), thrown(b.write, 1, new ArrayBuffer(4), cb), thrown(b.write, 1, Buffer.alloc(1)),
      thrown(b.write, 1, new DataView(new ArrayBuffer(4)), cb),
      thrown(b.read, 'x', buffer, 0, 1, cb), thrown(b.read, 1, [], 0, 1, cb), thrown(b.read, 1, buffer, '0', 1, cb),
      thrown(b.read, 1, buffer, 0, '1', cb), thrown(b.read, 1, buffer, 4, 5, cb), thrown(b.read, 1, buffer, -1, 1, cb),
      thrown(b.read, 1, buffer, 0, 0, cb), thrown(b.read, 1, buffer, 2 ** 31, 1, cb), thrown(b.read, 1, buffer, 2 ** 70, 1, cb),
      thrown(b.read, 1, buffer, -(2 ** 32), 1, cb), thrown(b.read, 1, new Uint32Array(2), 4, 4), thrown(b.read, 1, buffer, 2 ** 32 + 3, 5),
      thrown(b.list), thrown(b.list, 42),
    ];
  }, [
    'TypeError: First argument must be a string', 'TypeError: First argument must be a string',
    'TypeError: Second argument must be an object', 'TypeError: Third argument must be a function',
    'Error: getter says no', 'TypeError: Cannot convert a BigInt value to a number', 'TypeError: Cannot convert a Symbol value to a string',
    'TypeError: First argument must be an int', 'TypeError: Second argument must be an object',
    'TypeError: "baudRate" must be set on options object', 'TypeError: "baudRate" must be set on options object',
    'TypeError: Third argument must be a function',
    'TypeError: First argument must be an int', 'TypeError: Second argument must be an object', 'TypeError: Third argument must be a function',
    ...Array(5).fill(['TypeError: First argument must be an int', 'TypeError: First argument must be an int',
      'TypeError: Second argument must be a function']).flat(),
    'TypeError: First argument must be an int', 'TypeError: Second argument must be a buffer', 'TypeError: Second argument must be a buffer',
    'TypeError: Third argument must be a function', 'Error: Invalid argument',
    'TypeError: First argument must be a fd', 'TypeError: Second argument must be a buffer', 'TypeError: Third argument must be an int',
    'TypeError: Fourth argument must be an int', `TypeError: ${tooLong}`, "TypeError: 'offset' must not be negative",
    "TypeError: 'bytesToRead' must be greater than 0", `TypeError: ${tooLong}`, `TypeError: ${tooLong}`,
    "TypeError: 'offset' must not be negative", 'TypeError: Fifth argument must be a function', 'TypeError: Fifth argument must be a function',
    'TypeError: First argument must be a function', 'TypeError: First argument must be a function',
  ]],

  ['options are read once each, in the addon\'s order', async (rig) => {
    const order = [];
    const spy = (keys) => Object.defineProperties({}, Object.fromEntries(keys.map((key) => [key, {
      get() { order.push(key); return { baudRate: 9600, dataBits: 8 }[key]; },
    }])));
    rig.add('COM3');
    const [, fd] = await outcome(rig.binding.open, 'COM3',
      spy(['lock', 'hupcl', 'xany', 'xoff', 'xon', 'rtsMode', 'rtscts', 'stopBits', 'parity', 'dataBits', 'baudRate']));
    await outcome(rig.binding.set, fd, spy(['lowLatency', 'dsr', 'dtr', 'cts', 'rts', 'brk']));
    await outcome(rig.binding.close, fd);
    return order;
  }, ['baudRate', 'dataBits', 'parity', 'stopBits', 'rtscts', 'rtsMode', 'xon', 'xoff', 'xany', 'hupcl', 'lock',
    'brk', 'rts', 'cts', 'dtr', 'dsr', 'lowLatency']],

  ['open: a missing port, settings the driver refuses, a port already open', async (rig) => {
    const b = rig.binding;
    rig.add('COM3');
    const results = [
      thrown(b.open, 'COM9', options, cb),
      await outcome(b.open, 'COM9', options),
      await outcome(b.open, 'COM3', {}),
      await outcome(b.open, 'COM3', { baudRate: 9600, dataBits: 9 }),
      await outcome(b.open, 'COM3', { baudRate: NaN, dataBits: 8 }),
    ];
    // Refused by the driver, the port was closed again: it opens now.
    const [error, fd] = await outcome(b.open, 'COM3', { ...options, lock: true });
    results.push(error, typeof fd, await outcome(b.open, 'COM3', options), await outcome(b.close, fd));
    return results;
  }, [
    'returned undefined', ['Opening COM9: File not found'], ['Open (SetCommState): The parameter is incorrect'],
    ['Open (SetCommState): The parameter is incorrect'], ['Open (SetCommState): The parameter is incorrect'],
    null, 'number', ['Opening COM3: Access denied'], [null],
  ]],

  ['getBaudRate reports the rate, update changes it by the integer rule, a refused rate is reported', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig, 'COM3', { baudRate: 57600, dataBits: 8 });
    const results = [
      await outcome(b.getBaudRate, fd),
      await outcome(b.update, fd, { baudRate: '115200' }), await outcome(b.getBaudRate, fd),
      await outcome(b.update, fd, { baudRate: 2 ** 32 + 300.7 }), await outcome(b.getBaudRate, fd),
      await outcome(b.update, fd, { baudRate: undefined }), await outcome(b.getBaudRate, fd),
    ];
    await outcome(b.close, fd);
    return results;
  }, [
    [null, { baudRate: 57600 }], [null], [null, { baudRate: 115200 }], [null], [null, { baudRate: 300 }],
    ['Update (SetCommState): The parameter is incorrect'], [null, { baudRate: 300 }],
  ]],

  ['a read waits for its first byte, then takes what else is there, from its offset', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    let done = false;
    const first = Buffer.alloc(4, '.');
    const waiting = outcome(b.read, fd, first, 2, 2).then((r) => { done = true; return r; });
    await tick();
    const before = done;
    rig.send('COM3', 'A');
    const results = [before, await waiting, first.toString()];
    rig.send('COM3', 'hello world');
    await tick();
    const many = Buffer.alloc(16, '.');
    results.push(await outcome(b.read, fd, many, 1, 8), many.toString());
    results.push(await outcome(b.read, fd, many, 0, 10), many.toString('latin1', 0, 3));
    results.push(thrown(b.read, fd, Buffer.alloc(1), 0, 1, cb));
    rig.send('COM3', 'z');
    await tick();
    await outcome(b.close, fd);
    return results;
  }, [false, [null, 1], '..A.', [null, 8], '.hello wo.......', [null, 3], 'rld', 'returned null']],

  ['writes call back once sent, each once, in order; typed arrays by their bytes', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    const order = [];
    const writes = ['one', 'two', 'three'].map((text) => outcome(b.write, fd, Buffer.from(text)).then((r) => { order.push(text); return r; }));
    const results = [await Promise.all(writes), order, rig.written('COM3').toString()];
    results.push(await outcome(b.write, fd, Buffer.alloc(0)), await outcome(b.write, fd, new Uint16Array([0x4241, 0x4443])));
    results.push(rig.written('COM3').toString(), thrown(b.write, fd, Buffer.alloc(0), cb));
    await tick();
    await outcome(b.close, fd);
    return results;
  }, [[[null], [null], [null]], ['one', 'two', 'three'], 'onetwothree', [null], [null], 'ABCD', 'returned null']],

  ['close ends what is pending with Operation aborted; the closed number fails every call', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    rig.hold('COM3', true);
    const reading = outcome(b.read, fd, Buffer.alloc(8), 0, 8);
    const writing = outcome(b.write, fd, Buffer.from('held'));
    await tick();
    const results = [await outcome(b.close, fd), await reading, await writing];
    rig.hold('COM3', false);
    for (const [name, ...rest] of [['getBaudRate'], ['update', { baudRate: 300 }], ['set', {}], ['get'], ['flush'], ['drain'],
      ['write', Buffer.from('x')], ['read', Buffer.alloc(1), 0, 1], ['close']]) {
      results.push(await outcome(b[name], fd, ...rest));
    }
    return results;
  }, [
    [null], ['Reading from COM port (ReadIOCompletion): Operation aborted', undefined],
    ['Writing to COM port (WriteIOCompletion): Operation aborted'],
    ['Getting baud rate (GetCommState): Invalid handle'], ['Update (GetCommState): Invalid handle'],
    ['Setting options on COM port (SetCommMask): Invalid handle'],
    ['Getting control settings on COM port (GetCommModemStatus): Invalid handle'],
    ['Flushing connection (PurgeComm): Invalid handle'], ['Draining connection (FlushFileBuffers): Invalid handle'],
    ['Writing to COM port (WriteFileEx): Invalid handle'], ['Setting COM timeout (SetCommTimeouts): Invalid handle', undefined],
    ['Closing connection (CloseHandle): Invalid handle'],
  ]],

  ['flush aborts a held write and empties what was received; a pending read goes on', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    rig.send('COM3', 'stale');
    rig.hold('COM3', true);
    const writing = outcome(b.write, fd, Buffer.from('held'));
    await tick();
    const results = [await outcome(b.flush, fd), await writing];
    rig.hold('COM3', false);
    let done = false;
    const reading = outcome(b.read, fd, Buffer.alloc(8), 0, 8).then((r) => { done = true; return r; });
    await tick();
    results.push(await outcome(b.flush, fd));
    await tick();
    results.push(done);
    rig.send('COM3', 'ok');
    results.push(await reading, rig.written('COM3').toString());
    await outcome(b.close, fd);
    return results;
  }, [[null], ['Writing to COM port (WriteIOCompletion): Operation aborted'], [null], false, [null, 2], '']],

  ['drain waits for writes held by flow control, and returns once they went out', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    rig.hold('COM3', true);
    const events = [];
    const writing = outcome(b.write, fd, Buffer.from('held')).then((r) => events.push(['write', ...r]));
    await tick();
    const draining = outcome(b.drain, fd).then((r) => events.push(['drain', ...r]));
    await tick();
    events.push('released');
    rig.hold('COM3', false);
    await Promise.all([writing, draining]);
    // The two come back by different paths: their order is not part of the contract.
    events.splice(1, 2, ...events.slice(1).sort());
    events.push(await outcome(b.drain, fd), rig.written('COM3').toString());
    await outcome(b.close, fd);
    return events;
  }, ['released', ['drain', null], ['write', null], [null], 'held']],

  ['set drives DTR, RTS and break by truthiness; get reads CTS, DSR and DCD', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    const results = [await outcome(b.set, fd, { dtr: 'yes', rts: 1, brk: 0 }), rig.lines('COM3')];
    results.push(await outcome(b.set, fd, { brk: {} }), rig.lines('COM3'));
    rig.inputs('COM3', { cts: true, dcd: true });
    const [error, status] = await outcome(b.get, fd);
    results.push(error, Object.keys(status), status);
    rig.inputs('COM3', { dsr: true });
    results.push(await outcome(b.get, fd));
    await outcome(b.close, fd);
    return results;
  }, [
    [null], { dtr: true, rts: true, brk: false }, [null], { dtr: false, rts: false, brk: true },
    null, ['cts', 'dsr', 'dcd', 'lowLatency'], { cts: true, dsr: false, dcd: true, lowLatency: false },
    [null, { cts: false, dsr: true, dcd: false, lowLatency: false }],
  ]],

  ['list gives one record per port, eight keys in order', async (rig) => {
    rig.listed('COM5', 'ACPI\\PNP0501\\1');
    rig.listed('COM6', 'ACPI\\PNP0501\\2');
    const [error, ports] = await outcome(rig.binding.list);
    return [error, thrown(rig.binding.list, cb), ports.map((p) => [Object.keys(p), p.path, p.pnpId, p.serialNumber, p.vendorId])];
  }, [null, 'returned undefined', [
    [['path', 'manufacturer', 'serialNumber', 'pnpId', 'locationId', 'friendlyName', 'vendorId', 'productId'], 'COM5', 'ACPI\\PNP0501\\1', undefined, undefined],
    [['path', 'manufacturer', 'serialNumber', 'pnpId', 'locationId', 'friendlyName', 'vendorId', 'productId'], 'COM6', 'ACPI\\PNP0501\\2', undefined, undefined],
  ]]],

  ['an unplugged device: pending transfers, later calls and a new open fail with the driver\'s codes; close still closes', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig, 'COM7');
    rig.hold('COM7', true);
    const reading = outcome(b.read, fd, Buffer.alloc(8), 0, 8);
    const writing = outcome(b.write, fd, Buffer.from('lost'));
    await tick();
    rig.unplug('COM7');
    return [
      await reading, await writing,
      await outcome(b.getBaudRate, fd), await outcome(b.update, fd, { baudRate: 19200 }), await outcome(b.set, fd, {}),
      await outcome(b.get, fd), await outcome(b.flush, fd), await outcome(b.drain, fd),
      await outcome(b.write, fd, Buffer.from('x')), await outcome(b.read, fd, Buffer.alloc(1), 0, 1),
      await outcome(b.open, 'COM7', options), await outcome(b.close, fd),
    ];
  }, [
    ['Reading from COM port (ReadIOCompletion): Unknown error code 31', undefined],
    ['Writing to COM port (WriteIOCompletion): Unknown error code 31'],
    ['Getting baud rate (GetCommState): Unknown error code 22'], ['Update (GetCommState): Unknown error code 22'],
    ['Setting options on COM port (SetCommMask): Unknown error code 22'],
    ['Getting control settings on COM port (GetCommModemStatus): Unknown error code 22'],
    ['Flushing connection (PurgeComm): Unknown error code 22'], ['Draining connection (FlushFileBuffers): Unknown error code 22'],
    ['Writing to COM port (WriteFileEx): Unknown error code 1167'], ['Setting COM timeout (SetCommTimeouts): Unknown error code 22', undefined],
    ['Opening COM7: Access denied'], [null],
  ]],

  ['callbacks come from the event loop, never from inside the call', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig);
    rig.send('COM3', 'ready');
    // The read first, on its own: a flush would take its bytes.
    const inside = [];
    let returned = false;
    await new Promise((resolve) => {
      b.read(fd, Buffer.alloc(1), 0, 1, () => { if (!returned) inside.push('read'); resolve(); });
      returned = true;
    });
    const calls = [['open', 'COM9', options], ['list'], ['getBaudRate', fd], ['get', fd], ['set', fd, {}], ['update', fd, { baudRate: 0 }],
      ['flush', fd], ['drain', fd], ['write', fd, Buffer.from('x')], ['read', 12345, Buffer.alloc(1), 0, 1], ['close', 12345]];
    await Promise.all(calls.map(([name, ...rest]) => new Promise((resolve) => {
      let returned = false;
      b[name](...rest, () => {
        if (!returned) inside.push(name);
        resolve();
      });
      returned = true;
    })));
    await outcome(b.close, fd);
    return inside;
  }, []],

  ['a closed number is handed to the next open at once, and then names that port', async (rig) => {
    const b = rig.binding;
    const fd = await opened(rig, 'COM3');
    await outcome(b.close, fd);
    const again = await opened(rig, 'COM4');
    rig.send('COM4', 'new');
    const into = Buffer.alloc(8);
    const results = [again === fd, await outcome(b.read, again, into, 0, 8), into.toString('latin1', 0, 3)];
    await outcome(b.close, fd);
    results.push(await outcome(b.getBaudRate, again));
    return results;
  }, [true, [null, 3], 'new', ['Getting baud rate (GetCommState): Invalid handle']]],
];

for (const [title, run, expected] of cases) {
  for (const [name, rig] of Object.entries(rigs)) {
    test(`${name}: ${title}`, async () => {
      assert.deepEqual(await run(rig()), expected);
    });
  }
}
