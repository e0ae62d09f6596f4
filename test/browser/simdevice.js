'use strict';
// The far end of a port of the simulated Win32 layer, played as a device: what it writes, what it was sent, its lines.
const { EventEmitter } = require('node:events');
const { sim } = require('../unit/support');

// Modem-status bits of GetCommModemStatus.
const bits = { cts: 0x10, dsr: 0x20, dcd: 0x80 };

class SimDevice extends EventEmitter {
  #name;
  #timer;
  #inputs = { cts: false, dsr: false, dcd: false };

  constructor(name) {
    super();
    this.#name = name;
    sim.createPort(name);
    // The layer has no event for bytes written; they are taken as a far end would.
    this.#timer = setInterval(() => {
      let written;
      try {
        written = sim.takeWritten(this.#name);
      } catch {
        return;
      }
      if (written.length > 0) this.emit('data', written);
    }, 5);
  }

  write(data) {
    sim.feed(this.#name, Buffer.from(data));
  }

  // Resolves once the port has read what the device wrote: the driver's
  // buffer, like a real one, has a bound.
  async taken() {
    while (sim.port(this.#name).rxLength > 0) await new Promise((resolve) => setTimeout(resolve, 1));
  }

  get lines() {
    const { dtr, rts, brk } = sim.port(this.#name);
    return { dtr: Boolean(dtr), rts: Boolean(rts), brk: Boolean(brk) };
  }

  set(inputs) {
    Object.assign(this.#inputs, inputs);
    const status = Object.entries(this.#inputs).reduce((sum, [line, on]) => sum | (on ? bits[line] : 0), 0);
    sim.configurePort(this.#name, { modemStatus: status });
  }

  unplug() {
    sim.unplugPort(this.#name);
  }

  // Back under the same name, as a new device.
  plug() {
    sim.createPort(this.#name);
  }

  stop() {
    clearInterval(this.#timer);
  }
}

module.exports = { SimDevice };
