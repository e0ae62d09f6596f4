'use strict';
// write and read: transfer threads, overlapped passes and phases, aborts.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const { lintel, sim, call, openPort, assertFailure, tick, settled, buildDir, sanitized } = require('./support');

test('write checks its arguments in order and returns null', async () => {
  assert.throws(() => lintel.write(), { name: 'TypeError', message: 'First argument must be an int' });
  assert.throws(() => lintel.write(1), { name: 'TypeError', message: 'Second argument must be a buffer' });
  assert.throws(() => lintel.write(1, new ArrayBuffer(4), () => {}), { message: 'Second argument must be a buffer' });
  assert.throws(() => lintel.write(1, Buffer.alloc(1)), { name: 'TypeError', message: 'Third argument must be a function' });
  // A DataView passes the buffer test but has no typed-array info.
  assert.throws(() => lintel.write(1, new DataView(new ArrayBuffer(4)), () => {}), Error);
  const fd = await openPort('COM3');
  let result;
  await new Promise((resolve) => { result = lintel.write(fd, Buffer.alloc(0), resolve); });
  assert.equal(result, null);
  await call(lintel.close, fd);
});

test('a write completed in parts issues the rest from where each part ended, then calls back once', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { writeChunk: 3 });
  sim.resetCalls();
  const data = Buffer.from('0123456789abcdef');
  let calls = 0;
  const results = await new Promise((resolve) => lintel.write(fd, data, (...r) => { calls++; resolve(r); }));
  assert.deepEqual(results, [null]);
  assert.equal(sim.calls('WriteFileEx'), 6);
  assert.equal(sim.takeWritten('COM3').toString(), data.toString());
  // Element sizes count: a Uint16Array of 4 is 8 bytes.
  sim.configurePort('COM3', { writeChunk: 0 });
  await call(lintel.write, fd, new Uint16Array([1, 2, 3, 4]));
  assert.equal(sim.takeWritten('COM3').length, 8);
  await tick(20);
  assert.equal(calls, 1);
  await call(lintel.close, fd);
});

test('a zero-byte completion ends a write as success; an issue failure calls back without sleeping', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { writeChunk: 2, zeroWrites: 0 });
  sim.configurePort('COM3', { zeroWrites: 1 });
  assert.deepEqual(await call(lintel.write, fd, Buffer.from('abcdef')), [null]);
  assert.equal(sim.takeWritten('COM3').length, 0);
  sim.resetCalls();
  sim.failNext('WriteFileEx', 87);
  assertFailure(await call(lintel.write, fd, Buffer.from('x')), 'Writing to COM port (WriteFileEx): The parameter is incorrect');
  assert.equal(sim.calls('SleepEx'), 0);
  await call(lintel.close, fd);
  assertFailure(await call(lintel.write, fd, Buffer.from('x')), 'Writing to COM port (WriteFileEx): Invalid handle');
});

test('read checks its arguments in order, the length rule before the callback', () => {
  const b = Buffer.alloc(8);
  const cb = () => {};
  assert.throws(() => lintel.read('x', b, 0, 1, cb), { name: 'TypeError', message: 'First argument must be a fd' });
  assert.throws(() => lintel.read(1, [], 0, 1, cb), { message: 'Second argument must be a buffer' });
  assert.throws(() => lintel.read(1, b, '0', 1, cb), { message: 'Third argument must be an int' });
  assert.throws(() => lintel.read(1, b, 0, '1', cb), { message: 'Fourth argument must be an int' });
  const tooLong = "'bytesToRead' + 'offset' cannot be larger than the buffer's length";
  assert.throws(() => lintel.read(1, b, 4, 5, cb), { name: 'TypeError', message: tooLong });
  assert.throws(() => lintel.read(1, new Uint32Array(2), 4, 4), { message: 'Fifth argument must be a function' });
  assert.throws(() => lintel.read(1, b, 4, 4), { message: 'Fifth argument must be a function' });
  assert.throws(() => lintel.read(1, b, 2 ** 32 + 3, 5), { message: 'Fifth argument must be a function' });
  // Values that would store outside the buffer, or consume a byte for nothing.
  assert.throws(() => lintel.read(1, b, -1, 1, cb), { name: 'TypeError', message: "'offset' must not be negative" });
  assert.throws(() => lintel.read(1, b, 0, 0, cb), { name: 'TypeError', message: "'bytesToRead' must be greater than 0" });
  assert.throws(() => lintel.read(1, b, 2, -1, cb), { name: 'TypeError', message: "'bytesToRead' must be greater than 0" });
  assert.throws(() => lintel.read(1, b, 2 ** 31, 1, cb), { message: tooLong });
});

test('read: one byte waiting, many waiting, one of ten, and a zero-count first completion', async () => {
  const fd = await openPort('COM3');
  sim.feed('COM3', Buffer.from('A'));
  const one = Buffer.alloc(4, '.');
  assert.deepEqual(await call(lintel.read, fd, one, 2, 1), [null, 1]);
  assert.equal(one.toString(), '..A.');
  // With the single byte wanted, phase 2 never runs: timeouts stay at Wait.
  assert.deepEqual(sim.port('COM3').timeouts, [0, 0, 0, 0, 0]);

  sim.feed('COM3', Buffer.from('hello world'));
  const many = Buffer.alloc(16, '.');
  assert.deepEqual(await call(lintel.read, fd, many, 1, 8), [null, 8]);
  assert.equal(many.toString(), '.hello wo.......');
  assert.deepEqual(sim.port('COM3').timeouts, [0xFFFFFFFF, 0, 0, 0, 0]);
  assert.deepEqual(await call(lintel.read, fd, many, 0, 10), [null, 3]);

  const waiting = call(lintel.read, fd, Buffer.alloc(10), 0, 10);
  await tick(20);
  sim.feed('COM3', Buffer.from('Z'));
  assert.deepEqual(await waiting, [null, 1]);

  sim.configurePort('COM3', { zeroReads: 1 });
  assert.deepEqual(await call(lintel.read, fd, Buffer.alloc(4), 0, 4), [null, 0]);
  sim.configurePort('COM3', { zeroReads: 1 });
  sim.feed('COM3', Buffer.from('xyz'));
  const b = Buffer.alloc(4, '.');
  assert.deepEqual(await call(lintel.read, fd, b, 1, 3), [null, 3]);
  assert.equal(b.toString(), '.xyz');
  await call(lintel.close, fd);
  assert.equal((await settled()).events, 0);
});

test('read phase 2: pending then completing, and each failure reported with undefined', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { pendingReadFile: true });
  const reading = call(lintel.read, fd, Buffer.alloc(8), 0, 8);
  await tick(10);
  sim.feed('COM3', Buffer.from('a'));
  await tick(5);
  sim.feed('COM3', Buffer.from('bcd'));
  assert.deepEqual(await reading, [null, 4]);

  const into = Buffer.alloc(8);
  const closing = call(lintel.read, fd, into, 0, 8);
  await tick(10);
  sim.feed('COM3', Buffer.from('a'));
  // Closed while phase 2 waits, well within its grace: the byte phase 1 took
  // is the caller's, not lost with the close.
  while (sim.port('COM3').pendingIo === 0) await tick(1);
  assert.deepEqual(await call(lintel.close, fd), [null]);
  assert.deepEqual(await closing, [null, 1]);
  assert.equal(into.toString('latin1', 0, 1), 'a');

  const fd2 = await openPort('COM4');
  const failures = [
    ['SetCommTimeouts', 31, {}, 'Setting COM timeout (SetCommTimeouts): Unknown error code 31'],
    ['ReadFileEx', 6, {}, 'Reading from COM port (ReadFileEx): Invalid handle'],
    ['SetCommTimeouts', 5, { after: 1 }, 'Setting COM timeout (SetCommTimeouts): Access denied'],
    ['ReadFile', 87, {}, 'Reading from COM port (ReadFile): The parameter is incorrect'],
  ];
  for (const [fn, code, when, message] of failures) {
    sim.feed('COM4', Buffer.from('ab'));
    sim.failNext(fn, code, when);
    const results = await call(lintel.read, fd2, Buffer.alloc(4), 0, 4);
    assertFailure(results, message, 2);
    assert.equal(results[1], undefined);
    await call(lintel.flush, fd2);
  }
  sim.configurePort('COM4', { pendingReadFile: true });
  sim.failNext('GetOverlappedResult', 31);
  sim.feed('COM4', Buffer.from('ab'));
  assertFailure(await call(lintel.read, fd2, Buffer.alloc(4), 0, 4),
    'Reading from COM port (GetOverlappedResult): Unknown error code 31', 2);
  await call(lintel.close, fd2);
  assert.equal((await settled()).events, 0);
});

test('the thread or async handle failing to start throws from the entry and leaks nothing', async () => {
  const fd = await openPort('COM3');
  let called = 0;
  sim.failNext('CreateThread', 8);
  assert.throws(() => lintel.write(fd, Buffer.from('x'), () => called++),
    { message: 'Writing to COM port (CreateThread): Unknown error code 8' });
  sim.failNext('uv_async_init', 12);
  assert.throws(() => lintel.read(fd, Buffer.alloc(1), 0, 1, () => called++),
    { message: 'Reading from COM port (uv_async_init): Unknown error code -12' });
  await tick(30);
  assert.equal(called, 0);
  assert.equal(sim.handles().threads, 0);
  assert.deepEqual(await call(lintel.write, fd, Buffer.from('ok')), [null]);
  await call(lintel.close, fd);
});

test('thousands of concurrent transfers on several ports: every callback exactly once', async () => {
  const ports = ['COM11', 'COM12', 'COM13', 'COM14'];
  const fds = await Promise.all(ports.map((name) => openPort(name)));
  const perPort = sanitized ? 300 : 750;
  const counts = new Map();
  const jobs = [];
  fds.forEach((fd, p) => {
    sim.feed(ports[p], Buffer.alloc(perPort, p));
    for (let i = 0; i < perPort; i++) {
      const id = `${p}:${i}`;
      jobs.push(new Promise((resolve) => lintel.write(fd, Buffer.from([i & 255]), (e) => {
        counts.set(`w${id}`, (counts.get(`w${id}`) || 0) + 1); resolve(e);
      })));
      jobs.push(new Promise((resolve) => lintel.read(fd, Buffer.alloc(1), 0, 1, (e, n) => {
        counts.set(`r${id}`, (counts.get(`r${id}`) || 0) + 1); resolve(e || n);
      })));
    }
  });
  const results = await Promise.all(jobs);
  assert.equal(results.filter((r) => r === null).length, ports.length * perPort);
  assert.equal(results.filter((r) => r === 1).length, ports.length * perPort);
  await tick(50);
  assert.equal(counts.size, ports.length * perPort * 2);
  assert.ok([...counts.values()].every((c) => c === 1));
  for (const fd of fds) await call(lintel.close, fd);
  assert.equal((await settled()).threads, 0);
});

function child(source, args = []) {
  return spawnSync(process.execPath, [...args, '-e', source], {
    encoding: 'utf8', timeout: 20000, env: { ...process.env, VORNET_BUILD: buildDir },
  });
}
const supportPath = JSON.stringify(path.join(__dirname, 'support.js'));

test('a pending read keeps the process alive until data comes', () => {
  const run = child(`
    const { lintel, sim } = require(${supportPath});
    sim.createPort('COM3');
    lintel.open('COM3', { baudRate: 9600, dataBits: 8 }, (e, fd) => {
      lintel.read(fd, Buffer.alloc(4), 0, 4, (err, n) => console.log('read', n));
      // Nothing else keeps the loop alive: an unref'd timer feeds the port.
      setTimeout(() => sim.feed('COM3', Buffer.from('late')), 300).unref();
    });
  `);
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stdout.trim(), 'read 4');
});

test('a read holds its buffer: dropped by the caller, it survives collection until the callback', () => {
  const run = child(`
    const { lintel, sim } = require(${supportPath});
    const collected = [];
    const registry = new FinalizationRegistry((what) => collected.push(what));
    sim.createPort('COM3');
    lintel.open('COM3', { baudRate: 9600, dataBits: 8 }, async (e, fd) => {
      lintel.read(fd, (() => { const b = Buffer.alloc(1 << 20); registry.register(b, 'buffer'); return b; })(),
        0, 16, (err, n) => {
          const before = collected.length;
          setTimeout(() => { gc(); setTimeout(() => { console.log(JSON.stringify({ n, before })); lintel.close(fd, () => {}); }, 50); }, 10);
        });
      for (let i = 0; i < 5; i++) { gc(); await new Promise((r) => setTimeout(r, 20)); }
      sim.feed('COM3', Buffer.from('0123456789abcdef'));
    });
  `, ['--expose-gc']);
  assert.equal(run.status, 0, run.stderr);
  assert.deepEqual(JSON.parse(run.stdout.trim()), { n: 16, before: 0 });
});

test('a write of 4 GiB goes out in passes whose counts fit 32 bits', { skip: sanitized && 'too large under the sanitizer' }, async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { countOnly: true });
  sim.resetCalls();
  const huge = Buffer.allocUnsafe(2 ** 32);
  assert.deepEqual(await call(lintel.write, fd, huge), [null]);
  assert.equal(sim.port('COM3').txCount, 2 ** 32);
  assert.equal(sim.calls('WriteFileEx'), 2);
  // A read wanting 4 GiB whose first completion took nothing still asks for
  // everything waiting, not for the wrapped count 0.
  sim.configurePort('COM3', { zeroReads: 1 });
  sim.feed('COM3', Buffer.from('tail'));
  assert.deepEqual(await call(lintel.read, fd, huge, 0, 2 ** 32), [null, 4]);
  await call(lintel.close, fd);
});

test('read judges the sign of offset as given, then cuts it to 32 bits', () => {
  const b = Buffer.alloc(8);
  const cb = () => {};
  assert.throws(() => lintel.read(1, b, -(2 ** 32), 1, cb), { name: 'TypeError', message: "'offset' must not be negative" });
  assert.throws(() => lintel.read(1, b, -(2 ** 40) + 3, 1, cb), { message: "'offset' must not be negative" });
  // 2^70 is no negative number; cut to 32 bits it lies beyond any buffer.
  assert.throws(() => lintel.read(1, b, 2 ** 70, 1, cb),
    { name: 'TypeError', message: "'bytesToRead' + 'offset' cannot be larger than the buffer's length" });
  assert.throws(() => lintel.read(1, b, 2 ** 32 + 3, 5), { message: 'Fifth argument must be a function' });
});

test('an issue call that succeeds with a warning code reports it, but only once its I/O is over', async () => {
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { holdWrites: true });
  sim.failNext('WriteFileEx', 234, { succeed: true });
  let done = false;
  const writing = call(lintel.write, fd, Buffer.from('held')).then((r) => { done = true; return r; });
  await tick(30);
  // The system still holds the buffer and the OVERLAPPED: no callback yet.
  assert.equal(done, false);
  assert.equal(sim.port('COM3').pendingIo, 1);
  sim.releaseWrites('COM3');
  assertFailure(await writing, 'Writing to COM port (WriteFileEx): Unknown error code 234');
  sim.configurePort('COM3', { holdWrites: false });
  // FALSE with no code at all is a failure too, reported without waiting.
  sim.failNext('ReadFileEx', 0);
  assertFailure(await call(lintel.read, fd, Buffer.alloc(2), 0, 2), 'Reading from COM port (ReadFileEx): Unknown error code 0', 2);
  assert.equal(sim.port('COM3').pendingIo, 0);
  await call(lintel.close, fd);
});

test('a failed wait in phase 2 cancels that read before its OVERLAPPED and buffer are let go', async () => {
  const fd = await openPort('COM3');
  const other = call(lintel.read, await openPort('COM4'), Buffer.alloc(1), 0, 1);
  sim.configurePort('COM3', { pendingReadFile: true });
  sim.failNext('GetOverlappedResult', 6);
  const into = Buffer.alloc(8, '.');
  const reading = call(lintel.read, fd, into, 0, 8);
  await tick(10);
  sim.feed('COM3', Buffer.from('a'));
  assertFailure(await reading, 'Reading from COM port (GetOverlappedResult): Invalid handle', 2);
  // The follow-up read was cancelled, not left with the driver: data that
  // comes later stays in the port and never lands in the old buffer or the
  // freed record (which the sanitizer build would catch).
  sim.feed('COM3', Buffer.from('late'));
  await tick(20);
  assert.equal(sim.port('COM3').pendingIo, 0);
  assert.equal(sim.port('COM3').rxLength, 4);
  assert.equal(into.toString(), 'a.......');
  // Only that read's own I/O: a read on another port is still waiting.
  assert.equal(sim.port('COM4').pendingIo, 1);
  sim.feed('COM4', Buffer.from('z'));
  assert.deepEqual(await other, [null, 1]);
  await call(lintel.close, fd);
  assert.equal((await settled()).events, 0);
});

test('reads on one port are served in order; the later one takes what the earlier one left', async () => {
  const fd = await openPort('COM3');
  const first = call(lintel.read, fd, Buffer.alloc(8), 0, 8);
  const second = call(lintel.read, fd, Buffer.alloc(8), 0, 8);
  await tick(20);
  sim.feed('COM3', Buffer.from('xyz'));
  // Each waits for its own first byte; the first then takes the rest, and
  // the second's follow-up finds nothing left.
  const [a, b] = await Promise.all([first, second]);
  assert.equal(a[0], null);
  assert.equal(b[0], null);
  assert.equal(a[1] + b[1], 3);
  assert.ok(a[1] >= 1 && b[1] >= 1);
  await call(lintel.close, fd);
});

test('a follow-up read the system keeps pending with nothing to take is ended, not left holding phase 1\'s byte', async () => {
  // Wine waits for the next byte under the immediate timeouts, where Windows
  // returns at once; a lone byte must still be delivered.
  const fd = await openPort('COM3');
  sim.configurePort('COM3', { pendingReadFile: true });
  const into = Buffer.alloc(8, '.');
  const reading = call(lintel.read, fd, into, 0, 8);
  await tick(10);
  sim.feed('COM3', Buffer.from('A'));
  const started = Date.now();
  assert.deepEqual(await reading, [null, 1]);
  assert.ok(Date.now() - started < 2000);
  assert.equal(into.toString(), 'A.......');
  // The cancelled follow-up took nothing along: later bytes wait for the next read.
  assert.equal(sim.port('COM3').pendingIo, 0);
  sim.feed('COM3', Buffer.from('xyz'));
  await tick(10);
  assert.equal(sim.port('COM3').rxLength, 3);
  assert.deepEqual(await call(lintel.read, fd, into, 0, 8), [null, 3]);
  await call(lintel.close, fd);
  assert.equal((await settled()).events, 0);
});
