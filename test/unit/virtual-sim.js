'use strict';
// The part of the simulated layer's control API that plays a device, over the virtual ports
// of vornet/testing: with VORNET_BINDING=virtual, tests written for the addon's
// Linux build run on the virtual binding instead (those that reach into the
// simulated Win32 calls themselves are not for it, and fail at once).
const { VirtualPorts } = require('../../lib/testing');

let ports = new VirtualPorts();
const names = ['set', 'get', 'getBaudRate', 'open', 'update', 'close', 'flush', 'drain', 'write', 'read', 'list'];

// Stable functions over whichever machine reset() made last.
const lintel = Object.fromEntries(names.map((name) => [name, (...args) => ports.binding[name](...args)]));

const device = (name) => {
  const found = ports.device(name);
  if (!found) throw new Error(`no virtual port ${name}`);
  return found;
};
// What the simulated driver counts: opens, and bytes sent.
const counters = new WeakMap();
const handlesOf = (found) => [...ports._handles.values()].filter((handle) => handle.device === found);

const sim = {
  reset() {
    ports = new VirtualPorts();
  },
  createPort(name) {
    if (ports.device(name)) return;
    const added = ports.add(name);
    const counts = { opens: 0, txCount: 0 };
    counters.set(added, counts);
    added.on('open', () => counts.opens++);
    added.on('data', (bytes) => { counts.txCount += bytes.length; });
  },
  feed(name, bytes) {
    device(name).write(bytes);
  },
  takeWritten(name) {
    return device(name).take();
  },
  configurePort(name, settings) {
    for (const [key, value] of Object.entries(settings)) {
      if (key === 'holdWrites') device(name).holdWrites(value);
      else if (key === 'zeroReads' && value === 0) continue;
      else if (key === 'modemStatus') device(name).set({ cts: (value & 0x10) !== 0, dsr: (value & 0x20) !== 0, dcd: (value & 0x80) !== 0 });
      else throw new Error(`configurePort: ${key} is not modelled by the virtual ports`);
    }
  },
  releaseWrites(name) {
    device(name).holdWrites(false);
  },
  unplugPort(name, codes) {
    device(name).unplug(codes);
  },
  plugPort(name, { as } = {}) {
    device(name).plug(as);
  },
  port(name) {
    const found = device(name);
    const held = handlesOf(found);
    const live = held.find((handle) => !handle.removed);
    return {
      ...found.lines,
      ...counters.get(found),
      openHandles: held.length,
      rxLength: live ? live.rxLength : 0,
      pendingIo: held.reduce((sum, handle) => sum + handle.reads.length + handle.tx.pending, 0),
    };
  },
  handles() {
    const held = [...ports._handles.values()];
    return {
      ports: held.length, events: 0, threads: 0, deviceSets: 0, keys: 0,
      pendingIo: held.reduce((sum, handle) => sum + handle.reads.length + handle.tx.pending, 0),
    };
  },
};

// What only the simulated Win32 layer can do.
for (const name of ['failNext', 'hide', 'setNextHandle', 'resetCalls', 'calls', 'lastCreateFileName', 'addDevice', 'regAddKey',
  'regSetString', 'holdNext', 'held', 'releaseHeld']) {
  sim[name] = () => { throw new Error(`sim.${name} reaches into the simulated Win32 layer; the virtual ports have no such thing`); };
}

module.exports = { lintel, sim };
