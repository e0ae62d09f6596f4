'use strict';
// Request and reply on the stream: readUntil with its deadline and signal,
// an open that is aborted, and the writes queued behind one another going
// out as one addon write.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { sim, tick, settled, recordingBinding } = require('./support');
const { createSerialPort } = require('../../lib/serialport');

async function openRecorded(options) {
  sim.reset();
  sim.createPort('COM3');
  const recorder = recordingBinding();
  const SerialPort = createSerialPort(recorder.binding);
  const port = await SerialPort.open('COM3', { baudRate: 9600, ...options });
  return { port, recorder, SerialPort };
}

// Feeds the pieces one read apart.
async function feed(pieces) {
  for (const piece of pieces) {
    sim.feed('COM3', Buffer.from(piece));
    await tick(3);
  }
}

test('readUntil gives the bytes up to and including the delimiter, wherever the reads split it, and keeps the rest', async () => {
  const { port } = await openRecorded({ highWaterMark: 4 });
  const cases = [
    // delimiter, pieces fed, frames expected, what is left to read
    ['\r\n', ['OK\r\nnext'], ['OK\r\n'], 'next'],
    ['\r\n', ['O', 'K\r', '\nA', 'B\r\n', 'tail'], ['OK\r\n', 'AB\r\n'], 'tail'],
    [Buffer.from([0xff, 0x00, 0xff]), ['a\xff', '\x00', '\xffb\xff\x00\xff'], ['a\xff\x00\xff', 'b\xff\x00\xff'], ''],
    ['\n', ['\n\n'], ['\n', '\n'], ''],
  ];
  for (const [delimiter, pieces, frames, rest] of cases) {
    const got = [];
    const feeding = feed(pieces.map((p) => Buffer.from(p, 'latin1')));
    for (const _ of frames) got.push((await port.readUntil(delimiter)).toString('latin1'));
    await feeding;
    await tick(5);
    assert.deepEqual(got, frames, JSON.stringify(pieces));
    // The rest may still be on its way from the port on a busy machine.
    const left = [];
    for (const deadline = Date.now() + 1000; ; await tick(5)) {
      for (let chunk; (chunk = port.read()) !== null;) left.push(chunk);
      if (Buffer.concat(left).length >= rest.length || Date.now() > deadline) break;
    }
    assert.equal(Buffer.concat(left).toString('latin1'), rest, JSON.stringify(pieces));
  }
  await port.close();
});

test('readUntil fails with ETIMEDOUT, AbortError or ERR_FRAME_TOO_LONG and gives back every byte it took', async () => {
  const { port } = await openRecorded();
  const controller = new AbortController();
  const reason = new Error('user gave up');
  const failures = [
    ['timeout', { timeout: 20 }, () => {}, { code: 'ETIMEDOUT', path: 'COM3' }],
    ['abort', { signal: controller.signal }, () => setTimeout(() => controller.abort(reason), 20), { name: 'AbortError', cause: reason, path: 'COM3' }],
    ['aborted before', { signal: AbortSignal.abort(reason) }, () => {}, { name: 'AbortError', cause: reason }],
    ['too long', { maxLength: 8 }, () => sim.feed('COM3', Buffer.from('123456789')), { code: 'ERR_FRAME_TOO_LONG', maxLength: 8 }],
  ];
  let kept = '';
  for (const [what, options, act, expected] of failures) {
    sim.feed('COM3', Buffer.from(what));
    await tick(5);
    kept += what + (what === 'too long' ? '123456789' : '');
    const waiting = port.readUntil('\n', options);
    act();
    await assert.rejects(waiting, expected, what);
  }
  // Nothing taken was lost: all of it comes with the next frame.
  sim.feed('COM3', Buffer.from('\n'));
  assert.equal((await port.readUntil('\n')).toString(), `${kept}\n`);
  // A deadline and the frame at the same moment: one of the two wins, and
  // either way the frame is had, by readUntil or by the next reader.
  for (let delay = 0; delay < 6; delay++) {
    setTimeout(() => sim.feed('COM3', Buffer.from('race\n')), delay);
    const frame = await port.readUntil('\n', { timeout: 3 }).catch((error) => error);
    const again = frame instanceof Error ? await port.readUntil('\n') : frame;
    assert.equal(again.toString(), 'race\n', `delay ${delay}`);
  }
  await port.close();
});

test('readUntil is refused where others take the bytes, or one is already waiting; a close ends it', async () => {
  const { port } = await openRecorded();
  const refusals = [
    ['a data listener', () => { const f = () => {}; port.on('data', f); return () => { port.removeListener('data', f); port.pause(); }; }, 'ERR_STREAM_FLOWING'],
    ['a readUntil waiting', () => { const p = port.readUntil('\n'); return () => p; }, 'ERR_READ_UNTIL_PENDING'],
  ];
  const pending = [];
  for (const [what, arrange, code] of refusals) {
    const undo = arrange();
    await assert.rejects(port.readUntil('\n'), { code, path: 'COM3' }, what);
    pending.push(undo());
  }
  await assert.rejects(port.readUntil(''), { code: 'ERR_OUT_OF_RANGE' });
  await assert.rejects(port.readUntil('\n', { timeout: 0 }), { code: 'ERR_OUT_OF_RANGE', message: /"timeout"/ });
  await assert.rejects(port.readUntil('\n', { signal: {} }), { code: 'ERR_INVALID_ARG_TYPE' });
  sim.feed('COM3', Buffer.from('cut'));
  await tick(5);
  const closing = port.close();
  const error = await pending[1].catch((e) => e);
  assert.equal(error.code, 'ERR_STREAM_PREMATURE_CLOSE');
  assert.equal(error.received.toString(), 'cut');
  // From close() on one code, whatever the history: closing, with a 'data' listener, closed.
  await assert.rejects(port.readUntil('\n'), { code: 'ERR_PORT_NOT_OPEN' }, 'closing');
  port.on('data', () => {});
  await assert.rejects(port.readUntil('\n'), { code: 'ERR_PORT_NOT_OPEN' }, 'closing, flowing');
  await closing;
  await assert.rejects(port.readUntil('\n'), { code: 'ERR_PORT_NOT_OPEN' }, 'closed');
});

test('an aborted open rejects with an AbortError and closes the handle it then gets; nothing reaches it after', async () => {
  const reason = new Error('stop');
  for (const when of ['before', 'same tick', 'while the open is held']) {
    sim.reset();
    sim.createPort('COM3');
    const recorder = recordingBinding();
    const SerialPort = createSerialPort(recorder.binding);
    const controller = new AbortController();
    if (when === 'before') controller.abort(reason);
    if (when === 'while the open is held') sim.holdNext('AcquireSRWLockExclusive');
    const opening = SerialPort.open('COM3', { baudRate: 9600, signal: controller.signal });
    if (when === 'same tick') controller.abort(reason);
    if (when === 'while the open is held') {
      for (let i = 0; i < 100 && sim.held() === 0; i++) await tick(2);
      controller.abort(reason);
    }
    await assert.rejects(opening, { name: 'AbortError', code: 'ABORT_ERR', cause: reason, path: 'COM3' }, when);
    if (when === 'while the open is held') sim.releaseHeld();
    await settled();
    await tick(20);
    assert.equal(sim.port('COM3').openHandles, 0, when);
    assert.deepEqual(recorder.stale, [], when);
    assert.deepEqual(recorder.calls, when === 'before' ? [] : ['open', 'close'], when);
  }
  await assert.rejects(createSerialPort(recordingBinding().binding).open('COM3', { baudRate: 9600, signal: 'x' }),
    { code: 'ERR_INVALID_ARG_TYPE' });
});

test('writes queued behind one with the driver go out as one addon write, in order, each called back once after', async () => {
  sim.reset();
  sim.createPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  const recorder = recordingBinding();
  const SerialPort = createSerialPort(recorder.binding);
  const writer = await SerialPort.open('COM3', { baudRate: 9600, highWaterMark: 64 });
  const callbacks = [];
  const pieces = Array.from({ length: 40 }, (_, i) => `<${String(i).padStart(2, '0')}>`);
  const accepted = pieces.map((piece, i) => writer.write(piece, (error) => callbacks.push([i, error, sim.port('COM3').txCount])));
  // Back-pressure: past highWaterMark bytes waiting, write() asks to wait.
  assert.equal(accepted.indexOf(false), 15, 'the 16th write of 4 bytes fills 64');
  const drained = new Promise((resolve) => writer.once('drain', resolve));
  await tick(10);
  assert.deepEqual(callbacks, [], 'nothing called back while the first write is held');
  sim.configurePort('COM3', { holdWrites: false });
  sim.releaseWrites('COM3');
  await drained;
  for (let i = 0; i < 100 && callbacks.length < 40; i++) await tick(2);
  assert.deepEqual(callbacks.map(([i]) => i), pieces.map((_, i) => i));
  assert.ok(callbacks.every(([, error, sent]) => error === null && sent >= 4), 'each after bytes went');
  assert.equal(recorder.calls.filter((name) => name === 'write').length, 2);
  assert.equal(sim.takeWritten('COM3').toString(), pieces.join(''));
  // A batch that fails fails every write in it, once: here with the loss its failure revealed.
  sim.configurePort('COM3', { holdWrites: true });
  const outcomes = [];
  for (const piece of ['a', 'b', 'c']) writer.on('error', () => {}).write(piece, (error) => outcomes.push(error && error.code));
  await tick(10);
  sim.unplugPort('COM3', { pendingError: 1167 });
  for (let i = 0; i < 100 && outcomes.length < 3; i++) await tick(2);
  await tick(10);
  assert.deepEqual(outcomes, ['ERR_PORT_DISCONNECTED', 'ERR_PORT_DISCONNECTED', 'ERR_PORT_DISCONNECTED']);
});
