'use strict';
// The stream's output lines, remembered between set() calls, and its
// modem-status events, polled from the simulated port's input lines.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { sim, tick, recordingBinding } = require('./support');
const { createSerialPort } = require('../../lib/serialport');

const MS_CTS_ON = 0x10;
const MS_DSR_ON = 0x20;
const MS_RLSD_ON = 0x80;

async function openRecorded(options) {
  sim.reset();
  sim.createPort('COM3');
  const recorder = recordingBinding();
  const port = new (createSerialPort(recorder.binding))('COM3', { baudRate: 9600, ...options });
  await port.open();
  return { port, recorder };
}

const lines = () => { const { dtr, rts, brk } = sim.port('COM3'); return { dtr, rts, brk }; };

test('the output lines start as the open left them and each set() changes only what it names', async () => {
  const starts = [
    [{}, { dtr: true, rts: false, brk: false }],
    [{ hupcl: false }, { dtr: false, rts: false, brk: false }],
    [{ rtscts: true, rtsMode: 'enable' }, { dtr: true, rts: true, brk: false }],
    [{ rtscts: true }, { dtr: true, rts: null, brk: false }],
  ];
  for (const [options, expected] of starts) {
    const { port } = await openRecorded(options);
    assert.deepEqual(port.outputLines, expected, JSON.stringify(options));
    await port.close();
  }
  const { port } = await openRecorded({});
  // A break toggled twice leaves DTR raised, as the open left it.
  const steps = [
    [{ brk: true }, { dtr: true, rts: false, brk: true }],
    [{ brk: false }, { dtr: true, rts: false, brk: false }],
    [{ rts: true }, { dtr: true, rts: true, brk: false }],
    [{ dtr: false, brk: true }, { dtr: false, rts: true, brk: true }],
    [{}, { dtr: false, rts: true, brk: true }],
  ];
  for (const [change, expected] of steps) {
    await port.set(change);
    assert.deepEqual(lines(), expected, JSON.stringify(change));
    assert.deepEqual(port.outputLines, expected);
  }
  // Made in one tick, they reach the port in call order, each over the last.
  const escapesBefore = sim.port('COM3').escapes.length;
  await Promise.all([port.set({ brk: false }), port.set({ dtr: true }), port.set({ rts: false }), port.set({ brk: true })]);
  assert.deepEqual(lines(), { dtr: true, rts: false, brk: true });
  assert.equal(sim.port('COM3').escapes.length - escapesBefore, 12, 'four calls of three lines each');
  // A new rate makes Windows drive DTR and RTS as the open chose: lines set
  // otherwise since are set again after it, and only then.
  for (const [dtr, again] of [[true, 0], [false, 3]]) {
    await port.set({ dtr });
    const before = sim.port('COM3').escapes.length;
    await port.update({ baudRate: 19200 });
    const escapes = sim.port('COM3').escapes.slice(before);
    assert.equal(escapes.length, again, `dtr ${dtr}`);
    if (again) assert.deepEqual(escapes, [4, 6, 8], 'RTS low, DTR low, break on, as remembered');
  }
  for (const [change, message, code] of [
    [{ cts: true }, /set option cts is not an output line: CTS is driven by the other end\. .*modemStatus: \{ interval \}/, 'ERR_INVALID_ARG_VALUE'],
    [{ dsr: false }, /set option dsr is not an output line/, 'ERR_INVALID_ARG_VALUE'],
    [{ dtr: 1 }, /option dtr: 1 is not allowed/, 'ERR_INVALID_ARG_TYPE'],
    [{ rts: 1 }, /option rts: 1 is not allowed/, 'ERR_INVALID_ARG_TYPE'],
  ]) {
    await assert.rejects(port.set(change), { name: 'TypeError', message, code, path: 'COM3' }, JSON.stringify(change));
  }
  await assert.rejects(port.update({ baudRate: 0 }), { name: 'RangeError', code: 'ERR_OUT_OF_RANGE', path: 'COM3' });
  await assert.rejects(port.update({ baudrate: 9600 }), { name: 'TypeError', code: 'ERR_INVALID_ARG_VALUE', path: 'COM3' });
  await port.close();
  await assert.rejects(port.set({ dtr: true }), { code: 'ERR_PORT_NOT_OPEN', path: 'COM3' });
  // Under handshake the driver drives RTS, and set() says so.
  const { port: flow } = await openRecorded({ rtscts: true });
  await assert.rejects(flow.set({ rts: true }), /under rtscts with rtsMode "handshake" the driver drives RTS/);
  await flow.close();
});

test('modem-status events: one per change of CTS, DSR or DCD, none after close, and no call then', async () => {
  sim.reset();
  sim.createPort('COM3');
  sim.configurePort('COM3', { modemStatus: MS_DSR_ON });
  const recorder = recordingBinding();
  const port = new (createSerialPort(recorder.binding))('COM3', { baudRate: 9600, modemStatus: { interval: 2 } });
  const events = [];
  port.on('modemStatus', (event) => events.push(event));
  await port.open();
  const next = async (bits) => {
    const count = events.length;
    sim.configurePort('COM3', { modemStatus: bits });
    for (let i = 0; i < 200 && events.length === count; i++) await tick(2);
  };
  await tick(20); // unchanged lines give no event
  await next(MS_DSR_ON | MS_CTS_ON);
  await next(MS_CTS_ON | MS_RLSD_ON);
  assert.deepEqual(events, [
    { status: { cts: true, dsr: true, dcd: false, lowLatency: false }, changed: ['cts'] },
    { status: { cts: true, dsr: false, dcd: true, lowLatency: false }, changed: ['dsr', 'dcd'] },
  ]);
  await port.close();
  const calls = recorder.calls.length;
  sim.configurePort('COM3', { modemStatus: 0 });
  await tick(30);
  assert.equal(events.length, 2);
  assert.equal(recorder.calls.length, calls, 'no call after close');
  assert.deepEqual(recorder.stale, []);
  const gets = recorder.calls.filter((name) => name === 'get').length;
  assert.ok(gets >= 3, `polled ${gets} times`);
});

test('modem status that cannot be read: the open fails with the coded error, and a later failure ends the stream', async () => {
  sim.reset();
  sim.createPort('COM3');
  const SerialPort = createSerialPort(recordingBinding().binding);
  // As a pseudo-terminal under Wine answers.
  sim.failNext('GetCommModemStatus', 50);
  await assert.rejects(SerialPort.open('COM3', { baudRate: 9600, modemStatus: {} }),
    { code: 'ERROR_NOT_SUPPORTED', errno: 50, syscall: 'GetCommModemStatus', path: 'COM3' });
  await tick(10);
  assert.equal(sim.port('COM3').openHandles, 0);
  const port = await SerialPort.open('COM3', { baudRate: 9600, modemStatus: { interval: 1 } });
  const ended = new Promise((resolve) => port.on('error', resolve));
  const closed = new Promise((resolve) => port.on('close', resolve));
  sim.failNext('GetCommModemStatus', 1167);
  const error = await ended;
  assert.deepEqual([error.code, error.cause.code, error.path], ['ERR_PORT_DISCONNECTED', 'ERROR_DEVICE_NOT_CONNECTED', 'COM3']);
  await closed;
  assert.equal(sim.port('COM3').openHandles, 0);
});
