'use strict';
// SerialPort: one object per port over the eleven functions of the addon, a
// Duplex stream with promises for the rest. It keeps callers from the sharp
// edges of the raw functions: options are checked in full, one read is in
// flight at a time into a buffer of its own, writes go out in order, and a
// handle number is never used again once its port is closed, since Windows
// hands the same number to the next file or port at once.
const { Duplex } = require('node:stream');
const { EventEmitter } = require('node:events');
const { describeError, notOpen } = require('./errors');
const { portOptions, updateOptions, lineOptions } = require('./options');

// The class for one binding: the Windows addon in the package, the Linux
// build in the tests.
function createSerialPort(binding) {
  // A call of the addon as a promise, with its error described.
  const call = (name, ...args) => new Promise((resolve, reject) => {
    binding[name](...args, (error, value) => (error ? reject(describeError(error)) : resolve(value)));
  });

  class SerialPort extends Duplex {
    // Opens a port and resolves with it once it is open.
    static async open(path, options) {
      const port = new SerialPort(path, options);
      await port.open();
      return port;
    }

    static list() {
      return call('list');
    }

    // An emitter of 'attach' and 'detach' with the list record, as ports
    // come and go between polls; the first list is the baseline.
    static watch({ interval = 1000 } = {}) {
      if (typeof interval !== 'number' || !(interval > 0)) {
        throw new RangeError(`SerialPort.watch interval: ${interval} is not allowed; expected a positive number of milliseconds`);
      }
      return new PortWatcher(interval);
    }

    #fd = null;
    #state = 'new'; // new, opening, open, closing, closed
    #opening = null;
    #closing = null;
    #readBuffer = null;
    #readDone = null; // the read in flight, settled by its callback
    #wantsData = false;
    #controls = new Set(); // control calls in flight, which close waits for

    constructor(path, options) {
      if (typeof path !== 'string' || path === '') {
        throw new TypeError(`SerialPort path must be a port name such as "COM3"; got ${JSON.stringify(path)}`);
      }
      const settings = portOptions(options);
      super({ highWaterMark: settings.highWaterMark, allowHalfOpen: false });
      this.path = path;
      this.options = Object.freeze(settings);
    }

    get isOpen() {
      return this.#state === 'open';
    }

    open() {
      if (this.#state === 'opening' || this.#state === 'open') return this.#opening;
      if (this.#state !== 'new') {
        return Promise.reject(new Error(`SerialPort ${this.path} was opened and closed before; make a new one`));
      }
      this.#state = 'opening';
      const { highWaterMark, ...settings } = this.options;
      this.#opening = call('open', this.path, settings).then((fd) => {
        if (this.#state !== 'opening') {
          // destroy() came first: the handle is not wanted any more.
          binding.close(fd, () => {});
          throw notOpen(this.path, 'open');
        }
        this.#fd = fd;
        this.#state = 'open';
        this.#readBuffer = Buffer.allocUnsafe(highWaterMark);
        this.emit('open');
        this.#pump();
      }, (error) => {
        this.#state = 'closed';
        this.destroy();
        throw error;
      });
      return this.#opening;
    }

    // One control call on the open handle; refused once the port is closing.
    #control(name, ...args) {
      if (this.#state !== 'open') return Promise.reject(notOpen(this.path, name));
      const running = call(name, this.#fd, ...args);
      const settled = running.catch(() => {}).then(() => this.#controls.delete(settled));
      this.#controls.add(settled);
      return running;
    }

    update(options) {
      return Promise.resolve().then(() => this.#control('update', updateOptions(options)));
    }

    set(lines) {
      return Promise.resolve().then(() => this.#control('set', lineOptions(lines)));
    }

    get() {
      return this.#control('get');
    }

    getBaudRate() {
      return this.#control('getBaudRate');
    }

    flush() {
      return this.#control('flush');
    }

    drain() {
      return this.#control('drain');
    }

    // Reading: one addon read at a time, none while the consumer holds back.
    _read() {
      this.#wantsData = true;
      this.#pump();
    }

    #pump() {
      if (this.#state !== 'open' || this.#readDone || !this.#wantsData) return;
      const buffer = this.#readBuffer;
      this.#readDone = new Promise((settle) => {
        binding.read(this.#fd, buffer, 0, buffer.length, (error, count) => {
          this.#readDone = null;
          settle();
          if (error) {
            // The pending read ends with "Operation aborted" when the port is
            // closed: the end of the stream, not a failure.
            if (this.#state === 'open') this.destroy(describeError(error));
            return;
          }
          if (count > 0) {
            // A copy: the read buffer is the port's, and the next read fills it.
            this.#wantsData = this.push(Buffer.from(buffer.subarray(0, count)));
          }
          this.#pump();
        });
      });
    }

    _write(chunk, encoding, callback) {
      const send = () => {
        if (this.#state !== 'open' && this.#state !== 'closing') {
          callback(notOpen(this.path, 'write'));
          return;
        }
        binding.write(this.#fd, chunk, (error) => callback(error ? describeError(error) : null));
      };
      // Written before the port was open: sent once it is.
      if (this.#state === 'opening') {
        this.#opening.then(send, () => callback(notOpen(this.path, 'write')));
        return;
      }
      send();
    }

    // After close() or destroy(), a write is refused with the port's own
    // words rather than the stream's.
    write(chunk, encoding, callback) {
      if (this.#state === 'closing' || this.#state === 'closed') {
        const done = typeof encoding === 'function' ? encoding : callback;
        if (done) process.nextTick(done, notOpen(this.path, 'write'));
        return false;
      }
      return super.write(chunk, encoding, callback);
    }

    // Stops reading, lets the writes already queued finish or fail, closes
    // the handle and ends the readable side. A second call gets the same
    // promise; a port that never opened closes at once.
    close() {
      if (this.#closing) return this.#closing;
      this.#closing = (async () => {
        if (this.#state === 'opening') await this.#opening.catch(() => {});
        if (this.#state !== 'open') {
          this.#state = 'closed';
          this.destroy();
          return;
        }
        this.#state = 'closing';
        await this.#writesDone();
        await Promise.all(this.#controls);
        const reading = this.#readDone;
        await this.#closeHandle();
        await reading;
        this.push(null);
        // With nobody reading, nothing would carry the stream to its end.
        if (this.readableFlowing !== true && this.listenerCount('readable') === 0) this.destroy();
      })();
      return this.#closing;
    }

    #writesDone() {
      if (this.writableFinished || this.destroyed) return Promise.resolve();
      return new Promise((resolve) => {
        const events = ['finish', 'error', 'close'];
        const done = () => {
          for (const event of events) this.removeListener(event, done);
          resolve();
        };
        for (const event of events) this.once(event, done);
        this.end();
      });
    }

    #closeHandle() {
      const fd = this.#fd;
      // From here on the number belongs to the system, not to this port.
      this.#fd = null;
      this.#state = 'closed';
      return call('close', fd);
    }

    _destroy(error, callback) {
      if (this.#fd === null) {
        // Destroyed while opening: the open, when it succeeds, closes the
        // handle it got instead of keeping it.
        this.#state = 'closed';
        callback(error);
        return;
      }
      this.#closeHandle().then(() => callback(error), (closeError) => callback(error || closeError));
    }
  }

  class PortWatcher extends EventEmitter {
    #interval;
    #known = null;
    #timer = null;
    #closed = false;

    constructor(interval) {
      super();
      this.#interval = interval;
      this.#poll();
    }

    async #poll() {
      let ports = null;
      try {
        ports = await SerialPort.list();
      } catch (error) {
        if (!this.#closed) this.emit('error', error);
      }
      if (this.#closed) return;
      if (ports) {
        const key = (port) => `${port.path}\u0000${port.pnpId}\u0000${port.serialNumber}`;
        const now = new Map(ports.map((port) => [key(port), port]));
        if (this.#known) {
          for (const [k, port] of now) if (!this.#known.has(k)) this.emit('attach', port);
          for (const [k, port] of this.#known) if (!now.has(k)) this.emit('detach', port);
        }
        this.#known = now;
      }
      this.#timer = setTimeout(() => this.#poll(), this.#interval);
    }

    close() {
      this.#closed = true;
      clearTimeout(this.#timer);
    }
  }

  return SerialPort;
}

module.exports = { createSerialPort };
