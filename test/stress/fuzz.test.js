'use strict';
// Random argument lists from a pool of hostile values, thrown at all eleven
// functions on real simulated ports and on values that are no handle. Each
// call must throw at once or call back exactly once, never both, with null or
// an Error first, and every callback must arrive. Seeded: VORNET_FUZZ_SEED
// replays a run, VORNET_FUZZ_CALLS sets its length.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, tick, sanitized } = require('../unit/support');

const seed = Number(process.env.VORNET_FUZZ_SEED || Math.floor(Math.random() * 2 ** 31));
const totalCalls = Number(process.env.VORNET_FUZZ_CALLS || 100000);
const batchSize = 500;
const ports = ['COM3', 'COM4', 'COM5'];

// mulberry32: small, seeded, good enough to pick values.
function generator(state) {
  return () => {
    state = (state + 0x6D2B79F5) | 0;
    let t = Math.imul(state ^ (state >>> 15), 1 | state);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const names = ['open', 'update', 'close', 'flush', 'drain', 'set', 'get', 'getBaudRate', 'write', 'read', 'list'];
const optionKeys = ['baudRate', 'dataBits', 'parity', 'stopBits', 'rtscts', 'rtsMode', 'xon', 'xoff', 'xany',
  'hupcl', 'lock', 'rts', 'dtr', 'brk', 'cts', 'dsr', 'lowLatency'];

function detached() {
  const bytes = new Uint8Array(16);
  structuredClone(bytes.buffer, { transfer: [bytes.buffer] });
  return bytes;
}

function throwing(what) {
  return { valueOf() { throw new Error(`${what} valueOf`); }, toString() { throw new Error(`${what} toString`); } };
}

// The pool: fresh values each draw, since calls may hold or fill buffers.
function makePool(random, fds) {
  const pick = (list) => list[Math.floor(random() * list.length)];
  const numbers = [0, -0, 1, -1, 3, 7, 8, 9600, 115200, 0.5, 1.5, 2, NaN, Infinity, -Infinity, 2 ** 31, 2 ** 31 - 1,
    -(2 ** 31), 2 ** 32, 2 ** 32 + 3, -(2 ** 32), 2 ** 53, -(2 ** 53), 2 ** 70, 1e308, 0x7fff0000];
  const strings = ['', 'COM3', 'com4', 'COM5', 'COM99', '\\\\.\\COM3', 'x'.repeat(5000), 'Ωμέγα COM3', '\u0000COM3',
    '\uD800', 'even', 'e', 'toggle', '1.5', '9600'];
  const typed = [Int8Array, Uint8Array, Uint8ClampedArray, Int16Array, Uint16Array, Int32Array, Uint32Array,
    Float32Array, Float64Array, BigInt64Array, BigUint64Array];
  const buffers = () => pick([
    () => Buffer.alloc(0), () => Buffer.alloc(1), () => Buffer.alloc(64), () => Buffer.alloc(4096),
    () => new (pick(typed))(Math.floor(random() * 32)), () => detached(), () => new DataView(new ArrayBuffer(8)),
    () => new ArrayBuffer(8), () => Buffer.alloc(32).subarray(7, 19),
  ])();
  let value;
  const options = () => {
    const o = {};
    for (const key of optionKeys) if (random() < 0.4) o[key] = value(1);
    return o;
  };
  const hostileObjects = () => pick([
    () => ({}), () => options(), () => ({ baudRate: 9600, dataBits: 8 }), () => [],
    // A function here is the call's own callback, so that whichever position
    // it lands in, a call back through it is seen.
    () => [1, 2, 3], () => Object.create(null), () => pool.callback,
    () => ({ get [pick(optionKeys)]() { throw new Error('getter'); } }),
    () => new Proxy({}, { get() { throw new Error('proxy get'); } }),
    () => new Proxy({}, { get: () => value(1) }),
    () => new Proxy(Buffer.alloc(4), {}),
    () => throwing('object'),
    () => ({ baudRate: throwing('baudRate'), parity: throwing('parity') }),
    () => ({ baudRate: Symbol('rate') }), () => ({ parity: 10n }),
  ])();
  value = (depth = 0) => {
    const r = random();
    if (r < 0.22) return pick(fds());
    if (r < 0.40) return pick(numbers);
    if (r < 0.50) return pick(strings);
    if (r < 0.65) return buffers();
    if (depth === 0 && r < 0.82) return hostileObjects();
    return pick([undefined, null, true, false, Symbol('s'), 10n, -1n, new String('COM3'), new Number(3)]);
  };
  const pool = { value, options, buffers, pick, fds, callback: null };
  return pool;
}

// A plausible argument list for the function, with some positions replaced
// by hostile values, or a wholly random list.
function argumentsFor(name, pool, random, callback) {
  pool.callback = callback;
  const { value, options, buffers, pick } = pool;
  const fd = () => (random() < 0.8 ? pick(pool.fds()) : value());
  const shape = {
    open: () => [pick(['COM3', 'COM4', 'COM5', 'COM99']), options(), callback],
    update: () => [fd(), options(), callback],
    set: () => [fd(), options(), callback],
    read: () => [fd(), buffers(), pick([0, 1, 3, value()]), pick([1, 4, 64, value()]), callback],
    write: () => [fd(), buffers(), callback],
    list: () => [callback],
  }[name] || (() => [fd(), callback]);
  let list;
  if (random() < 0.8) {
    list = shape();
    const changes = random() < 0.5 ? 0 : 1 + Math.floor(random() * 2);
    for (let i = 0; i < changes; i++) list[Math.floor(random() * list.length)] = random() < 0.3 ? callback : value();
  } else {
    list = Array.from({ length: Math.floor(random() * 7) }, () => (random() < 0.25 ? callback : value()));
  }
  return list;
}

test(`${totalCalls} hostile calls: each throws or calls back once, with null or an Error first`,
  { timeout: (sanitized ? 20 : 5) * 60000 }, async (t) => {
    t.diagnostic(`seed ${seed} (replay with VORNET_FUZZ_SEED=${seed})`);
    const random = generator(seed);
    sim.reset();
    ports.forEach((name) => sim.createPort(name));
    for (let i = 0; i < 3; i++) {
      sim.addDevice({ instanceId: `USB\\VID_0403&PID_6001\\F${i}`, portName: `COM${3 + i}`, friendlyName: `F${i}` });
    }
    const counts = { calls: 0, throws: 0, callbacks: 0, errors: 0, nulls: 0 };
    const perFunction = Object.fromEntries(names.map((n) => [n, 0]));
    let open = [];
    const fds = () => [...open, 0x7fff0000, -1, 0, 4];
    const pool = makePool(random, fds);
    let outstanding = 0;
    const waiting = new Map();
    const problems = [];
    const describe = (value) => {
      if (typeof value === 'function') return 'fn';
      if (ArrayBuffer.isView(value)) return `${value.constructor.name}(${value.byteLength})`;
      try { return JSON.stringify(value) ?? String(value); } catch { return typeof value; }
    };

    const reopen = async () => {
      open = [];
      for (const name of ports) {
        const [error, fd] = await call(lintel.open, name, { baudRate: 9600, dataBits: 8 });
        if (!error) open.push(fd);
      }
    };

    for (let done = 0; done < totalCalls;) {
      await reopen();
      for (let i = 0; i < batchSize && done < totalCalls; i++, done++) {
        const name = names[Math.floor(random() * names.length)];
        let calledBack = 0;
        let inCall = true;
        const id = done;
        const callback = (...results) => {
          calledBack++;
          counts.callbacks++;
          if (inCall) problems.push(`${name} called back during the call`);
          if (calledBack > 1) problems.push(`${name} called back ${calledBack} times`);
          const first = results[0];
          if (first === null) counts.nulls++;
          else if (first instanceof Error) counts.errors++;
          else problems.push(`${name} called back with ${String(first)} first`);
          // Ports opened by the fuzz itself are closed at the batch's end.
          if (name === 'open' && first === null && typeof results[1] === 'number') open.push(results[1]);
          if (calledBack === 1) {
            outstanding--;
            waiting.delete(id);
          }
        };
        const args = argumentsFor(name, pool, random, callback);
        counts.calls++;
        perFunction[name]++;
        outstanding++;
        waiting.set(id, () => `${name}(${args.map(describe).join(', ')}) with ports open ${JSON.stringify(open)}`);
        try {
          lintel[name](...args);
          inCall = false;
        } catch {
          inCall = false;
          counts.throws++;
          outstanding--;
          waiting.delete(id);
          if (calledBack > 0) problems.push(`${name} threw and called back`);
        }
        if (i % 50 === 0) {
          for (const port of ports) sim.feed(port, Buffer.alloc(64, 0x55));
        }
      }
      // Data for every waiting read, then a close of everything open, which
      // aborts what still waits: after that no callback may be missing.
      for (const port of ports) sim.feed(port, Buffer.alloc(256, 0xaa));
      await tick(5);
      for (const fd of [...new Set(open)]) await call(lintel.close, fd);
      for (let wait = 0; outstanding > 0 && wait < 2000; wait++) await tick(5);
      if (outstanding !== 0) {
        problems.push(`${outstanding} callbacks missing after batch ending at call ${done}: ` +
          [...waiting.values()].slice(0, 3).map((f) => f()).join('; '));
        break;
      }
      if (problems.length > 0) break;
    }
    t.diagnostic(`calls ${counts.calls}, threw ${counts.throws}, called back ${counts.callbacks} ` +
      `(${counts.nulls} with null, ${counts.errors} with an Error); per function ${JSON.stringify(perFunction)}`);
    assert.deepEqual(problems.slice(0, 10), [], `seed ${seed}`);
    assert.equal(counts.throws + counts.callbacks, counts.calls, `seed ${seed}`);
    assert.ok(counts.callbacks > counts.calls / 10, 'a good share of the calls got through to the system');
    for (let i = 0; i < 200 && sim.handles().running > 0; i++) await tick(5);
    const h = sim.handles();
    assert.equal(h.running, 0, 'no transfer thread left');
    assert.equal(h.threads + h.events + h.keys + h.deviceSets, 0, `no handle left: ${JSON.stringify(h)}`);
  });
