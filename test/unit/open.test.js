'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, assertFailure, settled } = require('./support');

// Opens COM3 with the options and answers the DCB the driver was left with.
async function dcbAfter(options) {
  sim.createPort('COM3');
  const [error, fd] = await call(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8, ...options });
  assert.equal(error, null);
  const port = sim.port('COM3');
  await call(lintel.close, fd);
  return port.dcb;
}

test('open checks its three arguments in order', () => {
  const cb = () => {};
  assert.throws(() => lintel.open(), { name: 'TypeError', message: 'First argument must be a string' });
  assert.throws(() => lintel.open(new String('COM3'), {}, cb), { message: 'First argument must be a string' });
  assert.throws(() => lintel.open('COM3', null, cb), { name: 'TypeError', message: 'Second argument must be an object' });
  assert.throws(() => lintel.open('COM3', 'x', cb), { message: 'Second argument must be an object' });
  assert.throws(() => lintel.open('COM3', {}), { name: 'TypeError', message: 'Third argument must be a function' });
});

test('9600 8N1 without flow control: the DCB and what stays as the driver had it', async () => {
  sim.createPort('COM3');
  const [error, fd] = await call(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8, parity: 'none', stopBits: 1 });
  assert.equal(error, null);
  assert.equal(typeof fd, 'number');
  const port = sim.port('COM3');
  assert.equal(port.openedAs, '\\\\.\\COM3');
  assert.equal(port.access, 0xC0000000);
  assert.equal(port.disposition, 3);
  assert.equal(port.flags, 0x40000000);
  assert.equal(port.shareMode, 3);
  assert.deepEqual(port.timeouts, [0, 0, 0, 0, 0]);
  assert.deepEqual(port.purges, [8, 4]);
  const d = port.dcb;
  assert.deepEqual(
    [d.BaudRate, d.ByteSize, d.Parity, d.StopBits, d.fBinary, d.fDtrControl, d.fRtsControl, d.fOutX, d.fInX,
      d.fOutxCtsFlow, d.fOutxDsrFlow],
    [9600, 8, 0, 0, 1, 0, 0, 0, 0, 0, 0]);
  // The simulated driver starts with these set; open must not touch them.
  assert.deepEqual(
    [d.fParity, d.fDsrSensitivity, d.fTXContinueOnXoff, d.fErrorChar, d.fNull, d.fAbortOnError, d.XonLim,
      d.XoffLim, d.XonChar, d.XoffChar, d.ErrorChar, d.EofChar, d.EvtChar],
    [1, 1, 1, 1, 1, 1, 2048, 512, 0x11, 0x13, 63, 0x1A, 10]);
  assert.deepEqual(await call(lintel.getBaudRate, fd), [null, { baudRate: 9600 }]);
  await call(lintel.close, fd);
});

test('an empty options object gives rate 0, which the driver refuses; the handle is closed again', async () => {
  sim.createPort('COM3');
  assertFailure(await call(lintel.open, 'COM3', {}), 'Open (SetCommState): The parameter is incorrect');
  assert.equal(sim.port('COM3').openHandles, 0);
});

test('parity and rtsMode take the first keyword the text is a case-insensitive prefix of', async () => {
  const parity = { none: 0, EVEN: 2, ev: 2, e: 2, evens: 0, '': 0, o: 1, m: 3, s: 4, Space: 4, undefined: 0 };
  for (const [text, expected] of Object.entries(parity)) {
    const options = text === 'undefined' ? {} : { parity: text };
    assert.equal((await dcbAfter(options)).Parity, expected, `parity ${JSON.stringify(text)}`);
  }
  const rts = { '': 1, enable: 1, e: 1, h: 2, t: 3, TOGGLE: 3, toggles: 2, undefined: 2 };
  for (const [text, expected] of Object.entries(rts)) {
    const options = text === 'undefined' ? { rtscts: true } : { rtscts: true, rtsMode: text };
    const dcb = await dcbAfter(options);
    assert.equal(dcb.fRtsControl, expected, `rtsMode ${JSON.stringify(text)}`);
    assert.equal(dcb.fOutxCtsFlow, 1);
  }
  const off = await dcbAfter({ rtscts: false, rtsMode: 'toggle' });
  assert.deepEqual([off.fRtsControl, off.fOutxCtsFlow], [0, 0]);
});

test('stop bits: 1.5 is a range, 2 is exact, everything else is one', async () => {
  const cases = [[1.5, 1], ['1.5', 1], [1.45, 1], [1.4, 0], [1.6, 0], [2, 2], ['2', 2], [3, 0], [2.5, 0], [NaN, 0], [undefined, 0]];
  for (const [value, expected] of cases) {
    assert.equal((await dcbAfter({ stopBits: value })).StopBits, expected, `stopBits ${value}`);
  }
});

test('baud rate and data bits: ToNumber, toward zero, low 32 bits; booleans by truthiness', async () => {
  const rates = [['9600', 9600], [9600.9, 9600], [2 ** 32 + 9600, 9600], [115200, 115200]];
  for (const [value, expected] of rates) {
    assert.equal((await dcbAfter({ baudRate: value })).BaudRate, expected, `baudRate ${value}`);
  }
  assert.equal((await dcbAfter({ dataBits: 7.9 })).ByteSize, 7);
  assert.equal((await dcbAfter({ dataBits: '5' })).ByteSize, 5);
  const flags = await dcbAfter({ xon: 'yes', xoff: 1, hupcl: {}, rtscts: [] });
  assert.deepEqual([flags.fOutX, flags.fInX, flags.fDtrControl, flags.fOutxCtsFlow], [1, 1, 1, 1]);
  const none = await dcbAfter({ xon: '', xoff: 0, hupcl: NaN, rtscts: null });
  assert.deepEqual([none.fOutX, none.fInX, none.fDtrControl, none.fOutxCtsFlow], [0, 0, 0, 0]);
  sim.createPort('COM3');
  assertFailure(await call(lintel.open, 'COM3', { baudRate: NaN, dataBits: 8 }), 'Open (SetCommState): The parameter is incorrect');
});

test('lock asks for an exclusive open, and a second open of a locked port is refused', async () => {
  sim.createPort('COM3');
  const [, fd] = await call(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8, lock: true });
  assert.equal(sim.port('COM3').shareMode, 0);
  assertFailure(await call(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8 }), 'Opening COM3: Access denied');
  await call(lintel.close, fd);
});

test('options are read once each, in order, from objects and functions alike', async () => {
  const order = [];
  const options = {};
  for (const key of ['baudRate', 'dataBits', 'parity', 'stopBits', 'rtscts', 'rtsMode', 'xon', 'xoff', 'xany', 'hupcl', 'lock']) {
    Object.defineProperty(options, key, { get() { order.push(key); return key === 'baudRate' ? 9600 : key === 'dataBits' ? 8 : undefined; } });
  }
  sim.createPort('COM3');
  const [error, fd] = await call(lintel.open, 'COM3', options);
  assert.equal(error, null);
  assert.deepEqual(order, ['baudRate', 'dataBits', 'parity', 'stopBits', 'rtscts', 'rtsMode', 'xon', 'xoff', 'xany', 'hupcl', 'lock']);
  await call(lintel.close, fd);

  const fn = () => {};
  fn.baudRate = 4800;
  fn.dataBits = 8;
  const [, fd2] = await call(lintel.open, 'COM3', fn);
  assert.equal(sim.port('COM3').dcb.BaudRate, 4800);
  await call(lintel.close, fd2);
});

test('a throwing getter propagates out of open and nothing is opened', () => {
  sim.createPort('COM3');
  const opens = sim.port('COM3').opens;
  let called = false;
  const options = { baudRate: 9600, get parity() { throw new Error('getter says no'); } };
  assert.throws(() => lintel.open('COM3', options, () => { called = true; }), { message: 'getter says no' });
  assert.throws(() => lintel.open('COM3', { dataBits: Symbol('x') }, () => {}), TypeError);
  assert.equal(sim.port('COM3').opens, opens);
  assert.equal(called, false);
});

test('the device name is \\\\.\\ and the whole path, unless the path is already a device path', async () => {
  const names = [
    ['COM3', '\\\\.\\COM3'],
    ['COM12345678901', '\\\\.\\COM12345678901'],
    ['\\\\.\\COM7', '\\\\.\\COM7'],
    ['\\\\?\\COM8', '\\\\?\\COM8'],
  ];
  for (const [given, opened] of names) {
    const [error, fd] = await call(lintel.open, given, { baudRate: 9600, dataBits: 8 });
    assert.equal(sim.lastCreateFileName(), opened);
    if (!error) await call(lintel.close, fd);
  }
  sim.createPort('CNCA0_LONG_NAME');
  const [error, fd] = await call(lintel.open, 'CNCA0_LONG_NAME', { baudRate: 9600, dataBits: 8 });
  assert.equal(error, null);
  await call(lintel.close, fd);
  // The entry keeps 1023 bytes of a long path; the name is cut to the same buffer.
  const long = 'C'.repeat(1500);
  const [failure] = await call(lintel.open, long, {});
  assert.equal(sim.lastCreateFileName(), '\\\\.\\' + 'C'.repeat(1019));
  // The error shows the path as passed, within its 100-byte prefix.
  assert.equal(failure.message, 'Opening ' + 'C'.repeat(91) + ': File not found');
});

test('each failing step after the open reports its call and leaves no handle open', async () => {
  const steps = [
    ['CreateFileA', 5, 'Opening COM3: Access denied'],
    ['GetCommState', 31, 'Open (GetCommState): Unknown error code 31'],
    ['SetCommState', 87, 'Open (SetCommState): The parameter is incorrect'],
    ['SetCommTimeouts', 6, 'Open (SetCommTimeouts): Invalid handle'],
  ];
  for (const [fn, code, message] of steps) {
    sim.createPort('COM3');
    sim.failNext(fn, code);
    assertFailure(await call(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8 }), message);
    assert.equal(sim.port('COM3').openHandles, 0, `after ${fn}`);
  }
  sim.createPort('COM3');
  sim.failNext('PurgeComm', 31);
  const [error, fd] = await call(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8 });
  assert.equal(error, null);
  await call(lintel.close, fd);
  assertFailure(await call(lintel.open, 'COM9', { baudRate: 9600 }), 'Opening COM9: File not found');
  assert.equal((await settled()).ports, 0);
});
