'use strict';
// The port list, polled once for everyone in the process: the watchers of SerialPort.watch(), and each open port looking out for its device.
const { EventEmitter } = require('node:events');

const key = (port) => `${port.path}\u0000${port.pnpId}\u0000${port.serialNumber}`;
const sameName = (a, b) => a.toUpperCase() === b.toUpperCase();

// An enumeration takes the system's device-tree lock and tens of
// milliseconds, so one poller per binding runs list() for all who want it:
// never two at once, each at the pace of whoever is due first, and only
// while someone is subscribed. A subscriber gets the lists that started once
// it was due, then waits its interval from the end of that one.
class ListPoller {
  #list;
  #subscribers = new Set();
  #timer = null;
  #inFlight = null;

  constructor(list) {
    this.#list = list;
  }

  get subscribers() {
    return this.#subscribers.size;
  }

  // deliver(error, ports) with each list, the first at once (after the one
  // in flight, if any); unref: this subscription alone keeps no process alive.
  subscribe({ interval, unref = false }, deliver) {
    const subscriber = { interval, unref, deliver, due: performance.now() };
    this.#subscribers.add(subscriber);
    this.#schedule();
    return () => {
      if (this.#subscribers.delete(subscriber)) this.#schedule();
    };
  }

  // A list now: the one in flight, if any, else a new one.
  current() {
    if (this.#inFlight) return this.#inFlight.then(({ error, ports }) => (error ? Promise.reject(error) : ports));
    return this.#run().then(({ error, ports }) => (error ? Promise.reject(error) : ports));
  }

  #schedule() {
    clearTimeout(this.#timer);
    this.#timer = null;
    if (this.#inFlight || this.#subscribers.size === 0) return;
    let due = Infinity;
    let unref = true;
    for (const subscriber of this.#subscribers) {
      due = Math.min(due, subscriber.due);
      unref &&= subscriber.unref;
    }
    this.#timer = setTimeout(() => {
      this.#timer = null;
      this.#run();
    }, Math.max(0, due - performance.now()));
    if (unref) this.#timer.unref();
  }

  #run() {
    const started = performance.now();
    const listing = this.#list().then((ports) => ({ error: null, ports }), (error) => ({ error, ports: null }));
    this.#inFlight = listing;
    clearTimeout(this.#timer);
    listing.then(({ error, ports }) => {
      this.#inFlight = null;
      const now = performance.now();
      for (const subscriber of [...this.#subscribers]) {
        if (subscriber.due > started || !this.#subscribers.has(subscriber)) continue;
        subscriber.due = now + subscriber.interval;
        // A subscriber that throws is the program's own fault and surfaces
        // as a throwing listener does, without ending the polls of the rest.
        try {
          subscriber.deliver(error, ports);
        } catch (thrown) {
          process.nextTick(() => { throw thrown; });
        }
      }
      this.#schedule();
    });
    return listing;
  }
}

// The poller of one binding's list().
const pollers = new WeakMap();
function pollerOf(binding, list) {
  let poller = pollers.get(binding);
  if (!poller) {
    poller = new ListPoller(list);
    pollers.set(binding, poller);
  }
  return poller;
}

// How often an open port looks for its name in the list, at most: a device
// that goes in silence is noticed within two of these.
const presenceInterval = 1000;

// Watches the list for the port named `path`: listed(record) the first time
// it is there, gone() once it is no longer there or is another device (its
// pnpId changed), after which it watches no more. A port never listed (some
// virtual and redirected ports are not) is never gone by the list. Returns
// the function that stops it.
function watchPresence(poller, path, { listed = () => {}, gone, interval = presenceInterval }) {
  let seen = null;
  const stop = poller.subscribe({ interval: Math.max(interval, presenceInterval), unref: true }, (error, ports) => {
    // A list that failed says nothing about the device.
    if (error) return;
    const record = ports.find((port) => sameName(port.path, path));
    if (record && seen === null) {
      seen = record;
      listed(record);
    } else if (seen !== null && (!record || record.pnpId !== seen.pnpId)) {
      stop();
      gone();
    }
  });
  return stop;
}

// Emits 'ready' with the first list (the baseline), then 'attach' and
// 'detach' with the list record of each port that appeared or went away
// since the last poll; 'close' once, when close() stops it.
class PortWatcher extends EventEmitter {
  #known = null;
  #stop;
  #closed = false;

  // A listener that throws is the program's own fault and surfaces as any
  // throwing listener does; it neither becomes a rejection nor ends the polls.
  constructor(poller, { interval, unref = false }) {
    super();
    this.#stop = poller.subscribe({ interval, unref }, (error, ports) => this.#poll(error, ports));
  }

  #poll(failure, ports) {
    if (this.#closed) return;
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
    this.#stop();
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

module.exports = { PortWatcher, ListPoller, pollerOf, watchPresence, presenceInterval };
