'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const asyncHooks = require('node:async_hooks');
const { execFileSync, spawnSync } = require('node:child_process');
const path = require('node:path');
const { lintel, sim, call, openPort, assertFailure, buildDir } = require('./support');

test('exports exactly the eleven functions, in order, all nameless', () => {
  assert.deepEqual(Object.keys(lintel), [
    'set', 'get', 'getBaudRate', 'open', 'update', 'close', 'flush', 'drain', 'write', 'read', 'list',
  ]);
  for (const fn of Object.values(lintel)) {
    assert.equal(typeof fn, 'function');
    assert.equal(fn.name, '');
  }
});

test('formatWin32Error words five codes, numbers the rest, and cuts at 1087 characters', () => {
  const out = execFileSync(path.join(buildDir, 'win32_error_test'), { encoding: 'utf8' }).trim().split('\n');
  const p = 'Open (GetCommState)';
  const expected = [
    `${p}: File not found`, `${p}: Access denied`, `${p}: Invalid handle`,
    `${p}: The parameter is incorrect`, `${p}: Operation aborted`, `${p}: Unknown error code 0`,
    `${p}: Unknown error code 31`, `${p}: Unknown error code -5`, `${p}: Unknown error code -2147024891`,
  ];
  assert.deepEqual(out.slice(0, expected.length), expected.map((t) => `${t.length}|${t}`));
  assert.equal(out[expected.length], '1087|guard intact');
});

test('a Win32 failure reaches the callback as one Error with the formatted text and no code', async () => {
  const fd = await openPort('COM3');
  for (const [code, reason] of [[2, 'File not found'], [5, 'Access denied'], [87, 'The parameter is incorrect'],
    [995, 'Operation aborted'], [31, 'Unknown error code 31'], [0xFFFFFFFF, 'Unknown error code -1']]) {
    sim.failNext('GetCommState', code);
    assertFailure(await call(lintel.getBaudRate, fd), `Getting baud rate (GetCommState): ${reason}`);
  }
  assert.deepEqual(await call(lintel.close, fd), [null]);
});

test('requests carry node-vornet async resource names', async () => {
  const seen = new Set();
  const hook = asyncHooks.createHook({ init(id, type) { if (type.startsWith('node-vornet:')) seen.add(type); } }).enable();
  try {
    const fd = await openPort('COM4');
    await call(lintel.update, fd, { baudRate: 19200 });
    await call(lintel.set, fd, {});
    await call(lintel.get, fd);
    await call(lintel.getBaudRate, fd);
    await call(lintel.flush, fd);
    await call(lintel.drain, fd);
    await call(lintel.write, fd, Buffer.from('x'));
    sim.feed('COM4', Buffer.from('y'));
    await call(lintel.read, fd, Buffer.alloc(1), 0, 1);
    await call(lintel.list);
    await call(lintel.close, fd);
  } finally {
    hook.disable();
  }
  assert.deepEqual([...seen].sort(), [
    'node-vornet:CloseBaton', 'node-vornet:ConnectionOptionsBaton', 'node-vornet:DrainBaton',
    'node-vornet:FlushBaton', 'node-vornet:GetBaton', 'node-vornet:GetBaudRateBaton', 'node-vornet:ListBaton',
    'node-vornet:OpenBaton', 'node-vornet:ReadBaton', 'node-vornet:SetBaton', 'node-vornet:WriteBaton',
  ]);
});

test('a request the host refuses to queue throws from the entry, is freed, and never calls back', async () => {
  const destroyed = [];
  const created = new Map();
  const hook = asyncHooks.createHook({
    init(id, type) { if (type.startsWith('node-vornet:')) created.set(id, type); },
    destroy(id) { if (created.has(id)) destroyed.push(created.get(id)); },
  }).enable();
  let called = 0;
  try {
    sim.failNext('napi_queue_async_work', 1);
    assert.throws(() => lintel.getBaudRate(1, () => called++), (e) => e instanceof Error);
    sim.createPort('COM5');
    sim.failNext('napi_queue_async_work', 1);
    assert.throws(() => lintel.open('COM5', {}, () => called++), Error);
    await new Promise((resolve) => setTimeout(resolve, 50));
  } finally {
    hook.disable();
  }
  assert.equal(called, 0);
  assert.deepEqual(destroyed.sort(), ['node-vornet:GetBaudRateBaton', 'node-vornet:OpenBaton']);
  assert.equal(sim.port('COM5').opens, 0);
});

// Throwing callbacks end the process unless caught, so they run in a child.
function runChild(source) {
  const child = spawnSync(process.execPath, ['-e', source], {
    encoding: 'utf8', env: { ...process.env, VORNET_BUILD: buildDir },
  });
  assert.equal(child.status, 0, child.stderr);
  return JSON.parse(child.stdout.trim().split('\n').pop());
}

test('a callback that throws becomes an uncaught exception; the request is still freed, no second call', () => {
  const result = runChild(`
    const { lintel, sim } = require(${JSON.stringify(path.join(__dirname, 'support.js'))});
    const caught = [];
    let calls = { getBaudRate: 0, write: 0 };
    process.on('uncaughtException', (e) => caught.push(e.message));
    sim.createPort('COM3');
    lintel.open('COM3', { baudRate: 9600, dataBits: 8 }, (err, fd) => {
      lintel.getBaudRate(fd, () => { calls.getBaudRate++; throw new Error('from getBaudRate'); });
      lintel.write(fd, Buffer.from('abc'), () => { calls.write++; throw new Error('from write'); });
      setTimeout(() => {
        lintel.close(fd, () => {
          console.log(JSON.stringify({ caught: caught.sort(), calls, handles: sim.handles() }));
        });
      }, 100);
    });
  `);
  assert.deepEqual(result.caught, ['from getBaudRate', 'from write']);
  assert.deepEqual(result.calls, { getBaudRate: 1, write: 1 });
  assert.equal(result.handles.threads, 0);
  assert.equal(result.handles.ports, 0);
});

test('an allocation that fails in an entry is a JavaScript exception, and nothing is started', async () => {
  sim.createPort('COM6');
  const [, fd] = await new Promise((resolve) => lintel.open('COM6', { baudRate: 9600, dataBits: 8 }, (...r) => resolve(r)));
  let called = 0;
  const entries = [
    () => lintel.open('COM6', { baudRate: 9600 }, () => called++),
    () => lintel.getBaudRate(fd, () => called++),
    () => lintel.write(fd, Buffer.from('x'), () => called++),
    () => lintel.read(fd, Buffer.alloc(1), 0, 1, () => called++),
    () => lintel.list(() => called++),
  ];
  for (const entry of entries) {
    sim.failNext('operator new', 0);
    assert.throws(entry, { name: 'Error', message: 'std::bad_alloc' });
  }
  await new Promise((resolve) => setTimeout(resolve, 50));
  assert.equal(called, 0);
  assert.equal(sim.port('COM6').opens, 1);
  assert.equal(sim.handles().threads, 0);
  assert.equal(sim.port('COM6').pendingIo, 0);
  // And the next call works as ever.
  await new Promise((resolve) => lintel.close(fd, resolve));
});
