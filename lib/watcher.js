'use strict';
// The port watcher: polls the port list and reports the ports that come and go.
const { EventEmitter } = require('node:events');

const key = (port) => `${port.path}\u0000${port.pnpId}\u0000${port.serialNumber}`;

// Emits 'ready' with the first list (the baseline), then 'attach' and
// 'detach' with the list record of each port that appeared or went away
// since the last poll; 'close' once, when close() stops it.
class PortWatcher extends EventEmitter {
  #list;
  #interval;
  #unref;
  #known = null;
  #timer = null;
  #closed = false;

  constructor(list, { interval, unref = false }) {
    super();
    this.#list = list;
    this.#interval = interval;
    this.#unref = unref;
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
    if (this.#unref) this.#timer.unref();
    if (failure) {
      this.emit('error', failure);
      return;
    }
    const now = new Map(ports.map((port) => [key(port), port]));
    const before = this.#known;
    this.#known = now;
    if (!before) {
      this.emit('ready', ports);
      return;
    }
    // A listener may close the watcher: nothing is reported after that.
    for (const [k, port] of now) if (!before.has(k) && !this.#closed) this.emit('attach', port);
    for (const [k, port] of before) if (!now.has(k) && !this.#closed) this.emit('detach', port);
  }

  get closed() {
    return this.#closed;
  }

  // Stops the polls; a list in flight is not reported. Any number of times.
  close() {
    if (this.#closed) return;
    this.#closed = true;
    clearTimeout(this.#timer);
    process.nextTick(() => this.emit('close'));
  }

  // { type: 'attach' | 'detach', port } as they come, until the watcher is
  // closed; an 'error' is thrown from the loop. Leaving the loop early
  // closes the watcher.
  [Symbol.asyncIterator]() {
    const queue = [];
    const waiting = [];
    let failure = null;
    let done = this.#closed;
    const settle = () => {
      while (waiting.length > 0 && (queue.length > 0 || failure || done)) {
        const { resolve, reject } = waiting.shift();
        if (queue.length > 0) resolve({ value: queue.shift(), done: false });
        else if (failure) { reject(failure); failure = null; done = true; }
        else resolve({ value: undefined, done: true });
      }
    };
    const onAttach = (port) => { queue.push({ type: 'attach', port }); settle(); };
    const onDetach = (port) => { queue.push({ type: 'detach', port }); settle(); };
    // The loop ends with the error it throws, and, as leaving it does, closes
    // the watcher: nobody would hear of its next failure.
    const onError = (error) => { failure = error; finish(); this.close(); };
    const onClose = () => { done = true; finish(); };
    const finish = () => {
      this.off('attach', onAttach);
      this.off('detach', onDetach);
      this.off('error', onError);
      this.off('close', onClose);
      settle();
    };
    if (!done) {
      this.on('attach', onAttach);
      this.on('detach', onDetach);
      this.on('error', onError);
      this.on('close', onClose);
    }
    const watcher = this;
    return {
      next() {
        if (queue.length === 0 && !failure && done) return Promise.resolve({ value: undefined, done: true });
        return new Promise((resolve, reject) => { waiting.push({ resolve, reject }); settle(); });
      },
      return() {
        done = true;
        queue.length = 0;
        finish();
        watcher.close();
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() { return this; },
    };
  }
}

module.exports = { PortWatcher };
