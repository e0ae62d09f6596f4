'use strict';
// SerialPort: one port as a Duplex stream of bytes over the addon, with promises for the rest.
//
// It keeps callers from the sharp edges of the raw functions: options are
// checked in full, one read is in flight at a time into a buffer of its own,
// writes go out in order, and a handle number is never used again once its
// port is closed, since Windows hands the same number to the next file or
// port at once. One place, #release, decides when the handle goes, and every
// path (close, destroy, a failed write, a vanished device) goes through it.
const { Duplex } = require('node:stream');
const { describeError, withPath, notOpen, flushed, aborted } = require('./errors');
const { portOptions, updateOptions, lineOptions, readUntilOptions, checkSignal, watchOptions } = require('./options');
const { openedLines, rtsDrivenBy, pollModemStatus } = require('./lines');
const { readUntil } = require('./readuntil');
const { PortWatcher, pollerOf } = require('./watcher');
const { identityOf, findPort } = require('./identity');

const noop = () => {};

// The class for one binding: the Windows addon in the package, the Linux
// build in the tests.
function createSerialPort(binding) {
  // A call of the addon as a promise, with its error described.
  const call = (name, ...args) => new Promise((resolve, reject) => {
    binding[name](...args, (error, value) => (error ? reject(describeError(error)) : resolve(value)));
  });

  const poller = () => pollerOf(binding, () => call('list'));
  const described = (identity) => `the device with ${JSON.stringify(identity)}`;

  class SerialPort extends Duplex {
    // Opens a port and resolves with it once it is open. Aborted by
    // `signal`, it rejects at once; the addon's open cannot be cancelled, so
    // the port is destroyed and closes the handle the open gives when it comes.
    //
    // `target` is the port's name, or the identity of its device (some of
    // serialNumber, vendorId, productId, locationId, pnpId), looked up in the
    // port list: the port is the one listed with all of them.
    static async open(target, options) {
      let signal;
      if (options !== null && typeof options === 'object' && Object.hasOwn(options, 'signal')) {
        ({ signal, ...options } = options);
        checkSignal(signal, 'SerialPort.open');
      }
      let path = target;
      if (target !== null && typeof target === 'object') {
        const identity = identityOf(target);
        // The options are checked before anything is looked up.
        portOptions(options);
        if (signal?.aborted) throw aborted(described(identity), 'SerialPort.open', signal);
        ({ path } = findPort(await poller().current(), identity));
      }
      const port = new SerialPort(path, options);
      if (signal === undefined) {
        await port.open();
        return port;
      }
      if (signal.aborted) throw aborted(path, 'SerialPort.open', signal);
      let onAbort;
      const abort = new Promise((resolve, reject) => {
        onAbort = () => {
          port.destroy();
          reject(aborted(path, 'SerialPort.open', signal));
        };
        signal.addEventListener('abort', onAbort, { once: true });
      });
      const opening = port.open();
      // Once aborted, the open's own failure is nobody's business.
      opening.catch(noop);
      try {
        await Promise.race([opening, abort]);
      } finally {
        signal.removeEventListener('abort', onAbort);
      }
      return port;
    }

    static list() {
      return call('list');
    }

    static watch(options) {
      return new PortWatcher(poller(), watchOptions(options));
    }

    #options;
    #fd = null;
    #state = 'new'; // new, opening, open, closing, closed
    #opening = null; // what open() returns
    #ready = null; // settles with true once open, false if the open came to nothing
    #closeCalled = false;
    #closing = null; // what close() returns
    #released = null; // the closing of the handle, started once
    #closeReported = false;
    #abandon = noop;
    #abandoned = new Promise((resolve) => { this.#abandon = resolve; });
    #readBuffer = null;
    #reading = null; // the read in flight, settled by its callback
    #lastRead = null; // the read that was in flight when the handle went
    #wantsData = false;
    #controls = new Set(); // what the handle's closing waits for
    #queued = []; // records of written chunks on their way to _write, in order
    #writeCount = 0;
    #discardUpTo = 0; // writes numbered up to this were made before a flush
    #calledBack = 0; // the number of the latest write to have called back
    #writeWaiters = []; // [number, resolve] of each drain() waiting for a write
    #flushing = null; // the flush in flight, which later writes wait for
    #lines; // the output lines as last set, from what the open made them
    #wantedLines; // the same with the set() calls still on their way
    #lastControl = null; // settles when the latest control call still on its way has
    #stopPoll = noop;
    #untilPending = false;

    constructor(path, options) {
      if (typeof path !== 'string' || path === '') {
        throw new TypeError(`SerialPort path must be a port name such as "COM3"; got ${JSON.stringify(path)}`);
      }
      const settings = portOptions(options);
      super({ highWaterMark: settings.highWaterMark, allowHalfOpen: false });
      this.path = path;
      this.#options = Object.freeze(settings);
      this.#lines = openedLines(settings);
      this.#wantedLines = this.#lines;
    }

    // DTR, RTS and break as the port drives them: as the open left them, then
    // as set() last changed them (rts null: the driver drives it).
    get outputLines() {
      return this.#lines;
    }

    // The addon's error, with code, errno, syscall and this port's name.
    #described(error) {
      return withPath(describeError(error), this.path);
    }

    #call(name, ...args) {
      return new Promise((resolve, reject) => {
        binding[name](...args, (error, value) => (error ? reject(this.#described(error)) : resolve(value)));
      });
    }

    // The settings in effect, defaults included, as update() leaves them.
    get options() {
      return this.#options;
    }

    get isOpen() {
      return this.#state === 'open' && !this.#closeCalled && !this.destroyed;
    }

    // Whether the port takes calls: opening or open, and neither closing nor destroyed.
    #live() {
      return (this.#state === 'opening' || this.#state === 'open') && !this.#closeCalled && !this.destroyed;
    }

    open() {
      if (this.#state === 'opening' || this.#state === 'open') return this.#opening;
      if (this.#state !== 'new' || this.#closeCalled || this.destroyed) {
        return Promise.reject(new Error(`SerialPort ${this.path} was opened and closed before; make a new one`));
      }
      this.#state = 'opening';
      let ready;
      this.#ready = new Promise((resolve) => { ready = resolve; });
      const { highWaterMark, modemStatus, ...settings } = this.#options;
      this.#opening = this.#call('open', this.path, settings).then(async (fd) => {
        // Kept even when destroy() came first, so that #release closes it.
        this.#fd = fd;
        if (this.destroyed) {
          ready(false);
          throw notOpen(this.path, 'open');
        }
        // Where the modem lines cannot be read, the port that was asked to
        // report them fails to open rather than stay silent.
        let baseline = null;
        if (modemStatus) {
          try {
            baseline = await this.#call('get', fd);
          } catch (error) {
            this.#state = 'closed';
            ready(false);
            this.destroy();
            throw error;
          }
          if (this.destroyed) {
            ready(false);
            throw notOpen(this.path, 'open');
          }
        }
        this.#state = 'open';
        this.#readBuffer = Buffer.allocUnsafe(highWaterMark);
        ready(true);
        this.#pump();
        if (modemStatus) {
          this.#stopPoll = pollModemStatus({
            interval: modemStatus.interval,
            baseline,
            get: () => this.#control('get', []),
            changed: (event) => this.emit('modemStatus', event),
            // As a failed read does; one the closing caused is not a failure.
            failed: (error) => { if (this.#live()) this.destroy(error); },
          });
        }
        try {
          this.emit('open');
        } catch (error) {
          // The listener's fault goes to the caller of open(), and the handle
          // goes with the port rather than stay open with nobody to close it.
          this.destroy();
          throw error;
        }
      }, (error) => {
        this.#state = 'closed';
        ready(false);
        this.destroy();
        throw error;
      });
      return this.#opening;
    }

    // One control call on the handle, issued once the port is open. The
    // handle's closing waits for it: for its answer, or for a drain, which
    // flow control may hold without end, only until it is issued.
    //
    // The addon runs control calls side by side, so one could overtake the
    // call made before it (a getBaudRate() reading the rate an update() made
    // just before is about to change). Each waits for the one before it,
    // even past a destroy(), as it would have gone had it been first: the
    // handle waits for both. A drain, which flow control may hold, waits for
    // nothing but the writes, and nothing waits for it.
    #control(name, args, { after = null, untilIssued = false } = {}) {
      if (!this.#live()) return Promise.reject(notOpen(this.path, name));
      const queued = untilIssued ? null : this.#lastControl;
      let issued;
      const gate = new Promise((resolve) => { issued = resolve; });
      this.#controls.add(gate);
      gate.then(() => this.#controls.delete(gate));
      const call = (async () => {
        try {
          if (this.#state === 'opening') await this.#ready;
          if (after) await Promise.race([after, this.#abandoned]);
          if (queued) await queued;
          if (this.#fd === null || (this.destroyed && !queued)) throw notOpen(this.path, name);
          const request = this.#call(name, this.#fd, ...args);
          if (untilIssued) issued();
          return await request;
        } finally {
          issued();
        }
      })();
      if (!untilIssued) {
        const settled = call.then(noop, noop);
        this.#lastControl = settled;
        settled.then(() => { if (this.#lastControl === settled) this.#lastControl = null; });
      }
      return call;
    }

    update(options) {
      let checked;
      try {
        checked = updateOptions(options);
      } catch (error) {
        return Promise.reject(error);
      }
      return this.#control('update', [checked]).then(() => {
        this.#options = Object.freeze({ ...this.#options, baudRate: checked.baudRate });
        // Setting the rate rewrites the whole line state, and Windows then
        // drives DTR and RTS as the open chose: lines set since are set again.
        const opened = openedLines(this.#options);
        const wanted = this.#wantedLines;
        if (wanted.dtr === opened.dtr && wanted.rts === opened.rts) return undefined;
        return this.#control('set', [{ dtr: wanted.dtr, rts: wanted.rts === true, brk: wanted.brk }])
          .then(noop, noop);
      });
    }

    // Changes the lines it names and keeps the others: the raw set takes
    // every line each time, an absent one as low. Control calls apply in
    // call order, so the lines end as the last call asked.
    set(lines) {
      let changes;
      try {
        changes = lineOptions(lines, rtsDrivenBy(this.#options));
      } catch (error) {
        return Promise.reject(error);
      }
      if (!this.#live()) return Promise.reject(notOpen(this.path, 'set'));
      const wanted = Object.freeze({ ...this.#wantedLines, ...changes });
      this.#wantedLines = wanted;
      return this.#control('set', [{ dtr: wanted.dtr, rts: wanted.rts === true, brk: wanted.brk }])
        .then(() => { this.#lines = wanted; });
    }

    get() {
      return this.#control('get', []);
    }

    // The bytes up to and including the next `delimiter`, taken from the
    // stream's buffer and then from the port. Only where nobody else takes
    // the bytes: never while flowing or piped, one at a time.
    readUntil(delimiter, options) {
      let checked;
      try {
        checked = readUntilOptions(delimiter, options);
      } catch (error) {
        return Promise.reject(error);
      }
      const refuse = (why, code) => {
        const error = new Error(`readUntil: ${why}`);
        error.code = code;
        error.path = this.path;
        return Promise.reject(error);
      };
      if (this.#untilPending) return refuse(`another readUntil on ${this.path} is waiting`, 'ERR_READ_UNTIL_PENDING');
      if (this.readableFlowing === true || this.listenerCount('data') > 0) {
        return refuse(`${this.path} is flowing or piped, and its bytes go to 'data' listeners; ` +
          'remove them, unpipe and pause() first', 'ERR_STREAM_FLOWING');
      }
      if (this.#state === 'new' || this.destroyed || this.readableEnded) return Promise.reject(notOpen(this.path, 'readUntil'));
      this.#untilPending = true;
      return readUntil(this, checked, { path: this.path, done: () => { this.#untilPending = false; } });
    }

    getBaudRate() {
      return this.#control('getBaudRate', []);
    }

    // Discards every write made before it, whether still in the stream or
    // with the driver, and what the driver has received; writes made after it
    // wait for it and then go out. Bytes already read into the stream stay.
    flush() {
      if (!this.#live()) return Promise.reject(notOpen(this.path, 'flush'));
      this.#discardUpTo = this.#writeCount;
      const request = this.#control('flush', []);
      const flushing = request.then(noop, noop);
      this.#flushing = flushing;
      flushing.then(() => { if (this.#flushing === flushing) this.#flushing = null; });
      return request;
    }

    // Resolves once every write made before it has reached the driver and
    // the driver has sent it.
    drain() {
      return this.#control('drain', [], { after: this.#calledBackUpTo(this.#writeCount), untilIssued: true });
    }

    // Reading: one addon read at a time, none while the consumer holds back.
    _read() {
      this.#wantsData = true;
      this.#pump();
    }

    // From close() on, no new read: the one in flight completes (or is ended
    // by the closing), and what the driver still holds goes with the handle.
    #pump() {
      if (this.#state !== 'open' || this.#closeCalled || this.#reading || !this.#wantsData || this.destroyed) return;
      const buffer = this.#readBuffer;
      this.#reading = new Promise((settle) => {
        binding.read(this.#fd, buffer, 0, buffer.length, (error, count) => {
          this.#reading = null;
          settle();
          if (error) {
            // A read ended by the port's own closing is the end of the stream,
            // not a failure; anything else, an unplugged device say, is.
            if (this.#fd !== null && !this.destroyed) this.destroy(this.#described(error));
            return;
          }
          if (count > 0 && !this.destroyed) {
            // A copy: the read buffer is the port's, and the next read fills it.
            this.#wantsData = this.push(Buffer.from(buffer.subarray(0, count)));
          }
          this.#pump();
        });
      });
    }

    // Numbers each chunk and keeps the caller's callback apart from the
    // stream's, so that a write discarded by flush() is reported to its own
    // callback without failing the stream.
    write(chunk, encoding, callback) {
      if (typeof encoding === 'function') {
        callback = encoding;
        encoding = undefined;
      }
      if (!this.#live()) {
        const error = notOpen(this.path, 'write');
        process.nextTick(() => {
          if (typeof callback === 'function') callback(error);
          // A destroyed stream has said its last word; any other port that
          // does not take writes says so, and stays as it was.
          if (!this.destroyed) this.emit('error', error);
        });
        return false;
      }
      // After the program's own end(), the stream refuses as streams do.
      if (this.writableEnded) return super.write(chunk, encoding, callback);
      // No promise per write: a burst of small writes would pay for them.
      const record = { number: ++this.#writeCount, discarded: false };
      const done = (error) => {
        this.#wroteUpTo(record.number);
        if (typeof callback === 'function') callback(!error && record.discarded ? flushed(this.path) : error);
      };
      this.#queued.push(record);
      try {
        return super.write(chunk, encoding, done);
      } catch (error) {
        // Refused before it was queued (not a Buffer or string, say), and
        // the last numbered, since nothing ran in between.
        this.#queued.pop();
        this.#writeCount--;
        throw error;
      }
    }

    // Write callbacks come in the order of the writes.
    #wroteUpTo(number) {
      this.#calledBack = number;
      while (this.#writeWaiters.length > 0 && this.#writeWaiters[0][0] <= number) this.#writeWaiters.shift()[1]();
    }

    // Settles once the write numbered `number`, and so every one before it, has called back.
    #calledBackUpTo(number) {
      if (number <= this.#calledBack) return null;
      return new Promise((resolve) => this.#writeWaiters.push([number, resolve]));
    }

    _write(chunk, encoding, callback) {
      this.#send(this.#queued.splice(0, 1), [chunk], callback);
    }

    // The chunks written while the write before them was with the driver, as
    // one addon write: each addon write costs a thread, whatever its size.
    // The stream calls each write's own callback once this one has come.
    _writev(entries, callback) {
      this.#send(this.#queued.splice(0, entries.length), entries.map((entry) => entry.chunk), callback);
    }

    #send(records, chunks, callback) {
      // Written before the port was open: sent once it is. An open that came
      // to nothing leaves the state as it was until the handle goes, so only
      // what #ready settled with says whether to try again.
      if (this.#state === 'opening') {
        this.#ready.then((opened) => {
          if (opened) this.#send(records, chunks, callback);
          else callback(notOpen(this.path, 'write'));
        });
        return;
      }
      // Writes are numbered in order, so those a flush discarded lead.
      let kept = 0;
      while (kept < records.length && records[kept].number <= this.#discardUpTo) records[kept++].discarded = true;
      if (kept === records.length) {
        callback();
        return;
      }
      if (kept > 0) {
        records = records.slice(kept);
        chunks = chunks.slice(kept);
      }
      if (this.#flushing) {
        this.#flushing.then(() => this.#send(records, chunks, callback));
        return;
      }
      if (this.#fd === null || this.destroyed) {
        callback(notOpen(this.path, 'write'));
        return;
      }
      const bytes = chunks.length === 1 ? chunks[0] : Buffer.concat(chunks);
      binding.write(this.#fd, bytes, (error) => {
        if (error && records[records.length - 1].number <= this.#discardUpTo) {
          // With the driver when the flush came, and aborted by it.
          for (const record of records) record.discarded = true;
          callback();
          return;
        }
        callback(error ? this.#described(error) : null);
      });
    }

    // Lets the writes already made go out (or fail), closes the handle and
    // ends the readable side once the consumer has taken what was read. A
    // second call gets the same promise; it resolves once the handle is
    // closed, from any state, and rejects only if the addon's close fails.
    close() {
      if (!this.#closing) {
        this.#closeCalled = true;
        this.#stopPoll();
        this.#closing = this.#close();
      }
      return this.#closing;
    }

    async #close() {
      if (this.#ready) await this.#ready;
      if (this.#state === 'open' && !this.destroyed) {
        this.#state = 'closing';
        await this.#writesDone();
      }
      try {
        await this.#release();
      } catch (error) {
        this.#closeReported = true;
        this.destroy();
        throw error;
      }
      await this.#lastRead;
      if (this.destroyed) return;
      this.push(null);
      // Nobody ever read: nothing would carry the stream to its end, so what
      // it holds goes with it.
      if (this.readableFlowing === null) this.destroy();
    }

    // Not 'error': a refused write reports one while the writes before it
    // are still going out; a failed write destroys the stream, and 'close'.
    #writesDone() {
      if (this.writableFinished || this.destroyed) return Promise.resolve();
      return new Promise((resolve) => {
        const events = ['finish', 'close'];
        const done = () => {
          for (const event of events) this.removeListener(event, done);
          resolve();
        };
        for (const event of events) this.once(event, done);
        this.end();
      });
    }

    // Closes the handle, once: after the open has settled and the control
    // calls made while the port took them have been answered.
    #release() {
      if (!this.#released) {
        this.#released = (async () => {
          if (this.#ready) await this.#ready;
          while (this.#controls.size > 0) await Promise.all(this.#controls);
          const fd = this.#fd;
          // From here on the number belongs to the system, not to this port.
          this.#fd = null;
          this.#state = 'closed';
          this.#lastRead = this.#reading;
          if (fd !== null) await this.#call('close', fd);
        })();
      }
      return this.#released;
    }

    _destroy(error, callback) {
      this.#stopPoll();
      this.#abandon();
      this.#release().then(() => callback(error),
        (closeError) => callback(error || (this.#closeReported ? null : closeError)));
    }
  }

  return SerialPort;
}

module.exports = { createSerialPort };
