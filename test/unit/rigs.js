'use strict';
// The two bindings the raw contract is held to, each with the device end of its ports:
// the Linux build of the addon on the simulated Win32 layer, and the virtual ports of vornet/testing.
const { VirtualPorts } = require('../../lib/testing');

// The modem-status bits of the simulated driver.
const CTS = 0x10;
const DSR = 0x20;
const DCD = 0x80;

function addonRig() {
  // Loaded only when asked for: the virtual rig needs no build.
  const { lintel, sim } = require('./support');
  sim.reset();
  return {
    binding: lintel,
    add: (name) => sim.createPort(name),
    send: (name, bytes) => sim.feed(name, Buffer.from(bytes)),
    written: (name) => sim.takeWritten(name),
    hold: (name, on) => {
      sim.configurePort(name, { holdWrites: on });
      if (!on) sim.releaseWrites(name);
    },
    inputs: (name, { cts = false, dsr = false, dcd = false }) =>
      sim.configurePort(name, { modemStatus: (cts ? CTS : 0) | (dsr ? DSR : 0) | (dcd ? DCD : 0) }),
    lines: (name) => {
      const { dtr, rts, brk } = sim.port(name);
      return { dtr, rts, brk };
    },
    unplug: (name) => sim.unplugPort(name),
    listed: (name, pnpId) => sim.addDevice({ instanceId: pnpId, portName: name }),
  };
}

function virtualRig() {
  const ports = new VirtualPorts();
  return {
    binding: ports.binding,
    ports,
    add: (name) => ports.add(name),
    send: (name, bytes) => ports.device(name).write(bytes),
    written: (name) => ports.device(name).take(),
    hold: (name, on) => ports.device(name).holdWrites(on),
    inputs: (name, lines) => ports.device(name).set({ cts: false, dsr: false, dcd: false, ...lines }),
    lines: (name) => ports.device(name).lines,
    unplug: (name) => ports.device(name).unplug(),
    listed: (name, pnpId) => ports.add(name, { pnpId }),
  };
}

const rigs = { addon: addonRig, virtual: virtualRig };

module.exports = { rigs };
