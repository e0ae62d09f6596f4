'use strict';
// The port watcher: polls the port list and reports the ports that come and go.
const { EventEmitter } = require('node:events');

const key = (port) => `${port.path}\u0000${port.pnpId}\u0000${port.serialNumber}`;

// Emits 'attach' and 'detach' with the list record of each port that
// appeared or went away since the last poll; the first list is the baseline.
class PortWatcher extends EventEmitter {
  #list;
  #interval;
  #known = null;
  #timer = null;
  #closed = false;

  constructor(list, interval) {
    super();
    this.#list = list;
    this.#interval = interval;
    this.#run();
  }

  // A listener that throws is the program's own fault and surfaces as any
  // throwing listener does; it neither becomes a rejection nor ends the polls.
  #run() {
    this.#poll().catch((error) => process.nextTick(() => { throw error; }));
  }

  async #poll() {
    let ports;
    let failure;
    try {
      ports = await this.#list();
    } catch (error) {
      failure = error;
    }
    if (this.#closed) return;
    this.#timer = setTimeout(() => this.#run(), this.#interval);
    if (failure) {
      this.emit('error', failure);
      return;
    }
    const now = new Map(ports.map((port) => [key(port), port]));
    const before = this.#known;
    this.#known = now;
    if (!before) return;
    for (const [k, port] of now) if (!before.has(k)) this.emit('attach', port);
    for (const [k, port] of before) if (!now.has(k)) this.emit('detach', port);
  }

  close() {
    this.#closed = true;
    clearTimeout(this.#timer);
  }
}

module.exports = { PortWatcher };
