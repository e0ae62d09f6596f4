'use strict';
// Loads the Linux build of the addon and the control module of the simulated
// Win32 layer it runs on, and a few promise helpers for callback APIs.
const assert = require('node:assert/strict');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const buildDir = path.resolve(root, process.env.VORNET_BUILD || 'build/linux-x64');
// VORNET_BINDING=virtual runs the same tests on the virtual ports of vornet/testing.
const { lintel, sim } = process.env.VORNET_BINDING === 'virtual' ? require('./virtual-sim')
  : { lintel: require(path.join(buildDir, 'lintel.node')), sim: require(path.join(buildDir, 'simcontrol.node')) };
const sanitized = process.env.VORNET_SANITIZED === '1';

// Calls fn(...args, callback) and resolves with the callback's arguments.
function call(fn, ...args) {
  return new Promise((resolve) => fn(...args, (...results) => resolve(results)));
}

async function openPort(name = 'COM3', options = { baudRate: 9600, dataBits: 8 }) {
  sim.createPort(name);
  const [error, fd] = await call(lintel.open, name, options);
  assert.equal(error, null);
  return fd;
}

// An Error as the callback's only argument, with exactly this message.
function assertFailure(results, message, length = 1) {
  assert.equal(results.length, length);
  assert.ok(results[0] instanceof Error, 'first argument is an Error');
  assert.equal(results[0].message, message);
  assert.equal(Object.hasOwn(results[0], 'code'), false);
}

const tick = (ms = 10) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until every simulated handle but ports is closed: threads joined,
// events closed, keys and device sets released.
async function settled() {
  for (let i = 0; i < 200; i++) {
    const h = sim.handles();
    if (h.threads === 0 && h.events === 0 && h.keys === 0 && h.deviceSets === 0) return h;
    await tick(5);
  }
  return sim.handles();
}

// The addon's functions, passed through, with a record of every call that
// carried a handle number this binding's own opens had not given, or had
// given and since closed: on Windows that number may be someone else's.
// It also keeps the bytes each successful read delivered, in order.
function recordingBinding(binding = lintel) {
  const live = new Set();
  const stale = [];
  const reads = [];
  const calls = [];
  const transfers = { inFlight: 0 };
  const wrapped = {};
  for (const name of Object.keys(binding)) {
    wrapped[name] = (...args) => {
      const last = args.length - 1;
      const callback = args[last];
      calls.push(name);
      if (name === 'read' || name === 'write') {
        transfers.inFlight++;
        const answer = args[last];
        args[last] = (...results) => {
          transfers.inFlight--;
          answer(...results);
        };
      }
      if (name === 'open') {
        args[last] = (error, fd) => {
          if (!error) live.add(fd);
          callback(error, fd);
        };
      } else if (name !== 'list') {
        if (!live.has(args[0])) stale.push(`${name}(${args[0]})`);
        if (name === 'close') live.delete(args[0]);
        if (name === 'read') {
          const [, buffer, offset] = args;
          const answer = args[last];
          args[last] = (error, count) => {
            if (!error && count > 0) reads.push(Buffer.from(buffer.subarray(offset, offset + count)));
            answer(error, count);
          };
        }
      }
      return binding[name](...args);
    };
  }
  return { binding: wrapped, stale, live, reads, calls, transfers };
}

module.exports = { lintel, sim, call, openPort, assertFailure, tick, settled, recordingBinding, buildDir, root, sanitized };
