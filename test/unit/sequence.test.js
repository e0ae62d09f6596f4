'use strict';
// Random sequences of what a program and a device do to one SerialPort,
// checked against a model, from a printed seed (VORNET_SEED=n replays a run,
// VORNET_SEQUENCES=n runs more): the bytes the device received are the
// writes reported sent, in order; every byte the port read reached exactly
// one consumer once, in order, however consumers came and went; readUntil is
// refused exactly where the model says; every callback came once, 'close'
// once, no call carried a closed number, and no timer or event outlived it.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { Writable } = require('node:stream');
const { sim, tick, recordingBinding } = require('./support');
const { createSerialPort } = require('../../lib/serialport');

const seed = Number(process.env.VORNET_SEED || Math.floor(Math.random() * 2 ** 31));
const sequences = Number(process.env.VORNET_SEQUENCES || 120);
const steps = 24;

// mulberry32: small, and the same run for the same seed.
function random(state) {
  return () => {
    state = (state + 0x6d2b79f5) | 0;
    let t = Math.imul(state ^ (state >>> 15), 1 | state);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 2 ** 32;
  };
}

// Whether `part` is `whole` with some bytes left out, the rest in order.
function inOrderWithin(part, whole) {
  let at = 0;
  for (const byte of part) {
    at = whole.indexOf(byte, at);
    if (at < 0) return false;
    at++;
  }
  return true;
}

const problems = [];
let reconnects = 0;
process.on('unhandledRejection', (reason) => problems.push(`unhandled rejection: ${reason && reason.stack}`));
process.on('uncaughtException', (error) => problems.push(`uncaught: ${error && error.stack}`));
const timers = () => process.getActiveResourcesInfo().filter((kind) => kind === 'Timeout').length;
// What a readUntil refusal or a failure that gives the bytes back leaves delivered: nothing.
const refusals = new Set(['ERR_READ_UNTIL_PENDING', 'ERR_STREAM_FLOWING', 'ERR_READ_UNTIL_ENCODING']);
const givenBack = new Set(['ETIMEDOUT', 'ABORT_ERR', 'ERR_FRAME_TOO_LONG', 'ERR_PORT_NOT_OPEN', ...refusals]);

async function runSequence(rand, log) {
  const pick = (list) => list[Math.floor(rand() * list.length)];
  const timersBefore = timers();
  sim.reset();
  sim.createPort('COM3');
  const recorder = recordingBinding();
  const SerialPort = createSerialPort(recorder.binding);
  const reconnect = rand() < 0.4;
  const port = new SerialPort('COM3', { baudRate: 9600, highWaterMark: pick([8, 64, 4096]), closeTimeout: pick([0, 15, 60]),
    modemStatus: rand() < 0.3 ? { interval: pick([1, 4]) } : false, reconnect });
  // The model: what each consumer took, in the order taken (a readUntil's
  // place is where it was called: it takes the next bytes); the writes.
  const delivered = [];
  const writes = []; // { chunk, calls, code }
  const sent = [];
  // What the device received, across its comings and goings.
  const received = [];
  const model = { unplugged: false, lost: false, disconnects: 0, waiting: 0, opened: false, closing: false, data: false, piped: false, readable: false, encoding: false, until: 0, failed: false, flushed: false, ended: false, closed: false };
  let closes = 0;
  let eventsAfterClose = 0;
  const events = [];
  for (const name of ['open', 'end', 'finish']) port.on(name, () => events.push(name));
  port.on('close', () => { closes++; model.closed = true; events.push('close'); });
  port.on('error', (error) => { model.failed = true; events.push(`error ${error.code}`); });
  port.on('disconnect', () => { model.disconnects++; events.push('disconnect'); });
  port.on('reconnect', () => { reconnects++; events.push('reconnect'); });
  port.on('modemStatus', () => { if (model.closed) eventsAfterClose++; });
  const take = (chunk) => delivered.push(typeof chunk === 'string' ? Buffer.from(chunk, 'latin1') : chunk);
  const onData = (chunk) => take(chunk);
  let sinkWrites = 0;
  const onReadable = () => { for (let chunk; (chunk = port.read()) !== null;) take(chunk); };
  const sink = new Writable({
    highWaterMark: pick([1, 16, 1024]),
    write(chunk, encoding, callback) { if (++sinkWrites % 3 === 0) setTimeout(callback, 1); else callback(); },
  });
  const sinkWrite = sink.write.bind(sink);
  sink.write = (chunk, ...rest) => { take(chunk); return sinkWrite(chunk, ...rest); };
  const settle = (promise) => promise.catch(() => {});
  const write = (chunk, how) => {
    const record = { chunk, calls: 0, code: undefined, end: how === 'end' };
    writes.push(record);
    const answer = (error) => { record.calls++; record.code = error ? error.code : null; };
    if (how === 'end') { model.ended = true; port.end(chunk, answer); } else port.write(chunk, answer);
  };
  const actions = {
    open: () => { model.opened = true; settle(port.open()); },
    write: () => { if (!model.ended) write(Buffer.from(`w${writes.length};`)); },
    end: () => { if (!model.ended && rand() < 0.3) write(Buffer.from(`end${writes.length};`), 'end'); },
    device: () => {
      // Bytes sent before the open has completed are discarded by it.
      if (!port.isOpen || model.failed || model.unplugged) return;
      const chunk = Buffer.from(Array.from({ length: 1 + Math.floor(rand() * 40) }, () => Math.floor(rand() * 256)));
      sent.push(chunk);
      sim.feed('COM3', chunk);
    },
    readUntil: () => {
      // The refusals the model knows are those of a port opening or open.
      const live = model.opened && !model.closing && !port.destroyed;
      const expected = model.data || model.piped ? 'ERR_STREAM_FLOWING' : model.encoding ? 'ERR_READ_UNTIL_ENCODING' : null;
      // One waiting may have found its frame at once, unknown to the model yet.
      const allowed = model.until > 0 ? [expected, 'ERR_READ_UNTIL_PENDING'] : [expected];
      const place = { bytes: Buffer.alloc(0) };
      delivered.push(place);
      const counted = expected === null;
      if (counted) model.until++;
      model.waiting++;
      port.readUntil(Buffer.from([pick([7, 50, 200])]), { timeout: 1 + Math.floor(rand() * 8), maxLength: pick([16, 1024]) })
        .then((frame) => {
          if (live) assert.ok(allowed.includes(null), `readUntil taken, refusal expected; seed ${seed}: ${log.join(', ')}`);
          place.bytes = frame;
        }, (error) => {
          // A port closed or destroyed refuses first with its own code.
          const refusal = refusals.has(error.code) ? error.code : null;
          if (live && error.code !== 'ERR_PORT_NOT_OPEN') {
            assert.ok(allowed.includes(refusal), `readUntil ${error.code}, the model says ${allowed}; seed ${seed}: ${log.join(', ')}`);
          }
          if (!givenBack.has(error.code)) place.bytes = error.received;
        })
        .finally(() => { if (counted) model.until--; model.waiting--; })
        .catch((error) => problems.push(error.message));
    },
    setEncoding: () => {
      if (model.encoding) return;
      try {
        port.setEncoding('latin1');
        model.encoding = true;
      } catch (error) {
        if (error.code !== 'ERR_READ_UNTIL_PENDING' || model.waiting === 0) problems.push(`setEncoding: ${error.message}`);
      }
    },
    set: () => settle(port.set(Object.fromEntries(['dtr', 'rts', 'brk'].filter(() => rand() < 0.5).map((line) => [line, rand() < 0.5])))),
    get: () => settle(port.get()),
    getBaudRate: () => settle(port.getBaudRate()),
    update: () => settle(port.update({ baudRate: pick([9600, 19200, 115200]) })),
    flush: () => { model.flushed = true; settle(port.flush()); },
    drain: () => settle(port.drain()),
    hold: () => sim.configurePort('COM3', { holdWrites: true }),
    release: () => { sim.configurePort('COM3', { holdWrites: false }); sim.releaseWrites('COM3'); },
    empty: () => sim.configurePort('COM3', { zeroReads: 1 + Math.floor(rand() * 6) }),
    // Consumers come and go as a careful program lets them: paused before a
    // 'data' listener leaves, unpiped, a 'readable' listener removed.
    data: () => {
      if (model.piped || model.readable) return;
      if (model.data) { port.pause(); port.removeListener('data', onData); } else port.on('data', onData).resume();
      model.data = !model.data;
    },
    pipe: () => {
      if (model.data || model.readable) return;
      if (model.piped) port.unpipe(sink); else port.pipe(sink);
      model.piped = !model.piped;
    },
    readable: () => {
      if (model.data || model.piped) return;
      if (model.readable) port.removeListener('readable', onReadable); else port.on('readable', onReadable);
      model.readable = !model.readable;
    },
    close: () => { model.closing = true; settle(port.close()); },
    destroy: () => { model.failed = true; port.destroy(); },
    unplug: () => {
      if (model.unplugged) return;
      model.unplugged = true;
      model.lost = true;
      if (!reconnect) model.failed = true;
      sim.unplugPort('COM3', { pendingError: pick([31, 1167]) });
    },
    // The device back under its name; a port that follows it is given the
    // time to notice the loss and to open it again.
    plug: async () => {
      if (!model.unplugged) return;
      model.unplugged = false;
      received.push(sim.takeWritten('COM3'));
      sim.plugPort('COM3');
      for (let i = 0; i < 150 && reconnect && !port.destroyed && !port.isOpen && !model.closing; i++) await tick(4);
    },
  };
  // How often each comes up: mostly traffic, now and then an ending.
  const weights = { open: 3, write: 5, end: 1, device: 6, readUntil: 2, setEncoding: 0.3, set: 1, get: 1, getBaudRate: 1,
    update: 1, flush: 0.7, drain: 1, hold: 1, release: 1, empty: 0.7, data: 1.5, pipe: 1, readable: 1, close: 0.6,
    destroy: 0.3, unplug: 0.3, plug: 1 };
  // A port that follows its device sees it go and come back more often.
  if (reconnect) Object.assign(weights, { unplug: 1, plug: 3 });
  // The virtual ports have no driver that answers reads with nothing.
  if (process.env.VORNET_BINDING === 'virtual') weights.empty = 0;
  const bag = Object.entries(weights).flatMap(([name, w]) => Array(Math.round(w * 10)).fill(name));
  actions.open();
  for (let i = 0; i < steps; i++) {
    const name = pick(bag);
    log.push(name);
    if (name === 'plug') await actions.plug();
    else actions[name]();
    // Some steps share a tick with the next; others wait for the addon.
    const wait = rand();
    if (wait < 0.3) continue;
    if (wait < 0.8) await new Promise(setImmediate);
    else await tick(1 + Math.floor(rand() * 3));
  }

  // The end: the device lets writes go and answers reads again, a consumer
  // takes everything once any readUntil has settled, and the port closes.
  actions.release();
  sim.configurePort('COM3', { zeroReads: 0 });
  for (let i = 0; i < 100 && model.waiting > 0; i++) await tick(2);
  if (!model.data && !model.piped) {
    if (model.readable) actions.readable();
    actions.data();
  }
  for (let i = 0; i < 100 && port.isOpen && sim.port('COM3').rxLength > 0; i++) await tick(2);
  const readAll = port.isOpen && sim.port('COM3').rxLength === 0 && !model.failed && !model.lost;
  // The lines the port says it drives are the ones it drives.
  if (port.isOpen && !model.failed) {
    await port.set({}).catch(() => {});
    const { dtr, rts, brk } = sim.port('COM3');
    if (port.isOpen) assert.deepEqual({ dtr, rts, brk }, port.outputLines, `output lines; seed ${seed}: ${log.join(', ')}`);
  }
  log.push(`close (everything read first: ${readAll})`);
  await port.close().catch((error) => problems.push(`close rejected: ${error.message}`));
  for (let i = 0; i < 200 && closes === 0; i++) await tick(2);
  await tick(10);

  const where = `seed ${seed}: ${log.join(', ')}; events: ${events.join(', ')}; ` +
    `left ${port.readableLength} flowing ${port.readableFlowing} ended ${port.readableEnded} destroyed ${port.destroyed}`;
  assert.deepEqual(recorder.stale, [], `calls on a closed number; ${where}`);
  assert.equal(closes, 1, `'close' events; ${where}`);
  // A loss is 'disconnect' to a port that follows its device, else its end;
  // the stream ends with it too where end()'s own chunk went with the device.
  const endLost = writes.some((w) => w.end && w.code === 'ERR_PORT_DISCONNECTED');
  if (reconnect) assert.ok(endLost || !events.includes('error ERR_PORT_DISCONNECTED'), `the loss ended a reconnecting port; ${where}`);
  else assert.ok(!events.includes('disconnect'), `'disconnect' without reconnect; ${where}`);
  assert.equal(eventsAfterClose, 0, `events after 'close'; ${where}`);
  assert.equal(timers(), timersBefore, `timers left; ${where}`);
  assert.equal(sim.port('COM3').openHandles, 0, `handles left; ${where}`);
  assert.deepEqual(writes.filter((w) => w.calls !== 1).map((w) => `${w.chunk} x${w.calls} ${w.code}`), [], `write callbacks; ${where}`);
  // end()'s callback reports the stream's finish: a failure there may come
  // after its chunk went out.
  const reportedSent = Buffer.concat(writes.filter((w) => w.code === null).map((w) => w.chunk));
  const maybeSent = Buffer.concat(writes.filter((w) => w.code === null || w.end).map((w) => w.chunk));
  const written = Buffer.concat([...received, sim.takeWritten('COM3')]).toString();
  assert.equal(written === maybeSent.toString() ? reportedSent.toString() : written, reportedSent.toString(),
    `what went out is what was reported sent (${writes.map((w) => `${w.chunk} ${w.code}`).join(', ')}); ${where}`);
  const read = Buffer.concat(recorder.reads);
  const got = Buffer.concat(delivered.map((d) => (Buffer.isBuffer(d) ? d : d.bytes)));
  const all = Buffer.concat(sent);
  // Destroyed, the stream lets go of what it held, as streams do.
  if (model.failed) assert.ok(read.subarray(0, got.length).equals(got), `delivered is a prefix of read; ${where}`);
  else assert.ok(got.equals(read), `delivered ${got.length} of ${read.length} read, once each, in order ` +
    `(${delivered.map((d) => (Buffer.isBuffer(d) ? d.length : `until ${d.bytes.length}`)).join(' ')}); ${where}`);
  // flush() discards what the driver holds; otherwise nothing is skipped.
  // So does a device that goes, with what its driver held.
  if (model.flushed || model.lost) assert.ok(inOrderWithin(read, all), `read in the order sent; ${where}`);
  else assert.ok(all.subarray(0, read.length).equals(read), `read is a prefix of what was sent; ${where}`);
  if (readAll && !model.flushed) assert.equal(read.length, all.length, `everything sent was read; ${where}`);
  return log.length;
}

test('random sequences of calls, consumers, device data and failures keep the model of the stream', async (t) => {
  t.diagnostic(`seed ${seed} (VORNET_SEED=${seed} replays it), ${sequences} sequences of ${steps} steps`);
  const rand = random(seed);
  let total = 0;
  const started = Date.now();
  for (let i = 0; i < sequences; i++) {
    const log = [`#${i}`];
    // A hang is a failure too, reported with the steps that led to it.
    let watchdog;
    const hung = new Promise((resolve, reject) => {
      watchdog = setTimeout(() => reject(new Error(`sequence hung; seed ${seed}: ${log.join(', ')}`)), 20000);
    });
    total += (await Promise.race([runSequence(rand, log), hung]).finally(() => clearTimeout(watchdog))) - 2;
    assert.deepEqual(problems, [], `seed ${seed}: ${log.join(', ')}`);
  }
  t.diagnostic(`${total} steps in ${Date.now() - started} ms; ${reconnects} devices followed back`);
});
