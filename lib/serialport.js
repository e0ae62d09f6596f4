'use strict';
// SerialPort: one port as a Duplex stream of bytes over the addon, with promises for the rest.
//
// Built as Node's file streams are: the open runs in _construct, so reads and
// writes made meanwhile wait in the stream's own buffers; chunks are numbered
// as they reach _write/_writev; one _destroy closes the handle, once, after
// the open and the control calls in flight have answered, whatever path led
// there (close, destroy, a failed transfer). A handle number is never used
// again once its port is closed: Windows hands it to the next file at once.
//
// The states, in #state: new (opens nothing until open()) → opening → open →
// closing (the writes get closeTimeout to go out) → closed; destroy() goes to
// closed from any of them. With reconnect, a lost device takes an open port
// to disconnected (its handle closed, the device looked for) and back to open.
const { Duplex } = require('node:stream');
const { describeError, withPath, notOpen, flushed, writeAborted, refused, aborted } = require('./errors');
const { portOptions, updateOptions, lineOptions, readUntilOptions, checkSignal, watchOptions } = require('./options');
const { openedLines, rtsDrivenBy, pollModemStatus } = require('./lines');
const { frameTaker } = require('./readuntil');
const { PortWatcher, pollerOf } = require('./watcher');
const { identityOf, findPort } = require('./identity');
const { DeviceWatch, isLoss, isNotReady } = require('./loss');
const { seek } = require('./reconnect');

const noop = () => {};
// A driver whose device has gone may answer every read at once with nothing.
// Each retry waits twice as long as the one before, up to `longest` ms; a run
// of `failAfter` of them (about 4 s) is a device in trouble, and fails the port.
const emptyReads = { longest: 128, failAfter: 40 };

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
      let identity = null;
      if (target !== null && typeof target === 'object') {
        identity = identityOf(target);
        // The options are checked before anything is looked up.
        portOptions(options);
        if (signal?.aborted) throw aborted(described(identity), 'SerialPort.open', signal);
        ({ path } = findPort(await poller().current(), identity));
      }
      const port = new SerialPort(path, options);
      // A reconnecting port looks for the device it was asked for.
      port.#identity = identity;
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
    #state = 'new';
    #fd = null;
    #opening = null; // what open() returns
    #settleOpen = null; // [resolve, reject] of it
    #construct = null; // _construct's callback, until the open has settled
    #closing = null; // what close() returns
    #released = null; // the closing of the handle, started once
    #closeReported = false;
    #closeTimer = null;
    #readBuffer = null;
    #reading = false; // a read with the addon, or a retry after an empty one
    #readSettled = null; // called once the read with the addon has answered
    #readsStopped = null; // settles then
    #empties = 0;
    #retry = null;
    #taker = null; // the readUntil waiting, which takes the bytes before the stream does
    #made = 0; // writes taken by write(); _write sees their chunks in this order, end()'s last
    #numbered = 0; // chunks that have reached _write/_writev
    #notSent = []; // [from, to, error] of chunks a flush discarded or a close aborted
    #discardThrough = 0; // chunks numbered up to this were made before a flush
    #madeBeforeLoss = { through: 0, error: null }; // and these before the last loss
    #flushing = null; // the flush in flight, which later writes wait for
    #flushes = 0;
    #writeError = null; // the failure of the addon's write, shared by the writes queued behind it
    #failure = null; // what destroyed the port
    #aborting = null; // why the writes not yet sent will not be: close() ran out of time
    #endLost = null; // end()'s own chunk was not sent, and nothing else reports it
    #answered = 0; // the number of the latest write to have called back
    #drains = []; // [number, resolve] of each drain() waiting for a write
    #controls = new Set(); // what the handle's closing waits for
    #lastControl = null; // settles, true if it reached the addon, when the latest control call has
    #lines; // the output lines as last set, from what the open made them
    #wantedLines; // the same with the set() calls still on their way
    #stopPoll = noop;
    #watch = null; // the watch for the device going, while open
    #identity = null; // the device it was opened as, if named by identity
    #lostError = null; // ERR_PORT_DISCONNECTED, from the loss until the device is back
    #search = null; // the search for the device, while disconnected
    #seeking = null; // settles once the search and its handles are done with
    #readWanted = false; // the stream asked for bytes and has not had them
    #listed = null; // what the port list said of the device, to find it by

    constructor(path, options) {
      if (typeof path !== 'string' || path === '') {
        const error = new TypeError(`SerialPort path must be a port name such as "COM3"; got ${JSON.stringify(path)}`);
        error.code = 'ERR_INVALID_ARG_TYPE';
        throw error;
      }
      let settings;
      try {
        settings = portOptions(options);
      } catch (error) {
        throw withPath(error, path);
      }
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

    // The settings in effect, defaults included, as update() leaves them.
    get options() {
      return this.#options;
    }

    get isOpen() {
      return this.#state === 'open' && !this.destroyed;
    }

    // Whether the port takes writes: opening, open, or waiting for its device
    // (a write then calls back with the loss), and neither closing nor destroyed.
    #live() {
      return (this.#controllable() || this.#state === 'disconnected') && !this.destroyed;
    }

    // Whether control calls are taken: opening or open, not destroyed.
    #controllable() {
      return (this.#state === 'opening' || this.#state === 'open') && !this.destroyed;
    }

    // Why a call on the port is refused: its device is gone, or it is not open.
    #refusal(name) {
      return this.#state === 'disconnected' ? this.#lostError : notOpen(this.path, name);
    }

    // What the addon's open takes: the options in effect without the layer's own.
    #settings() {
      const { highWaterMark, modemStatus, closeTimeout, reconnect, ...settings } = this.#options;
      return settings;
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

    open() {
      if (this.#state === 'opening' || this.#state === 'open') return this.#opening;
      if (this.#state === 'disconnected' && !this.destroyed) {
        // It opens again by itself; 'reconnect' says when.
        return Promise.reject(refused(this.path, 'open', `${this.path} is disconnected and waits for its device to come back`,
          'ERR_PORT_DISCONNECTED'));
      }
      if (this.#state !== 'new' || this.destroyed) {
        return Promise.reject(refused(this.path, 'open', `SerialPort ${this.path} was opened and closed before; make a new one`,
          'ERR_STREAM_DESTROYED'));
      }
      this.#state = 'opening';
      this.#opening = new Promise((resolve, reject) => { this.#settleOpen = [resolve, reject]; });
      if (this.#construct) this.#openHandle();
      return this.#opening;
    }

    // The stream holds back _read and _write until this calls back: open()
    // starts the open, and a port destroyed first has nothing to wait for.
    _construct(callback) {
      this.#construct = callback;
      if (this.#settleOpen) this.#openHandle();
      else if (this.#state !== 'new') this.#constructed();
    }

    #constructed() {
      const callback = this.#construct;
      this.#construct = null;
      if (callback) callback();
    }

    async #openHandle() {
      const { highWaterMark, modemStatus } = this.#options;
      const settings = this.#settings();
      const [resolve, reject] = this.#settleOpen;
      let failure = null;
      let baseline = null;
      try {
        // Kept even when destroy() came first, so that _destroy closes it.
        this.#fd = await this.#call('open', this.path, settings);
        // Where the modem lines cannot be read, the port that was asked to
        // report them fails to open rather than stay silent.
        if (modemStatus && !this.destroyed) baseline = await this.#call('get', this.#fd);
      } catch (error) {
        failure = error;
      }
      if (this.destroyed && !failure) failure = notOpen(this.path, 'open');
      if (failure) {
        // The failure goes to open()'s caller, not to 'error'.
        this.destroy();
        this.#constructed();
        reject(failure);
        return;
      }
      this.#readBuffer = Buffer.allocUnsafe(highWaterMark);
      // Closed while opening, it reads nothing and polls nothing.
      if (this.#state === 'opening') {
        this.#state = 'open';
        this.#watchDevice(baseline);
      }
      this.#constructed();
      // Once the stream has taken the news, so that a write made when open()
      // resolves goes straight to the addon.
      process.nextTick(() => {
        try {
          this.emit('open');
        } catch (error) {
          // The listener's fault goes to the caller of open(), and the handle
          // goes with the port rather than stay open with nobody to close it.
          this.destroy();
          reject(error);
          return;
        }
        resolve();
      });
    }

    // From each open on: the modem-status poll, and the watch for the device going.
    #watchDevice(baseline) {
      const { modemStatus } = this.#options;
      if (modemStatus) {
        this.#stopPoll = pollModemStatus({
          interval: modemStatus.interval,
          baseline,
          get: () => this.#control('get', []),
          changed: (event) => this.emit('modemStatus', event),
          // As a failed read does; one the closing caused is not a failure.
          failed: (error) => { if (this.#state === 'open' && !this.destroyed) this.destroy(error); },
        });
      }
      this.#watch = new DeviceWatch({ poller: poller(), path: this.path, lost: (error) => this.#lose(error) });
    }

    #stopWatching() {
      this.#stopPoll();
      this.#stopPoll = noop;
      this.#watch?.stop();
    }

    // The disconnect error, where `error`, of a call made on handle `fd`,
    // says the device is gone (and the first such says it to the port), or
    // comes from a handle the loss already closed.
    #lossOf(error, fd, cancelledBySelf = false) {
      if (fd !== this.#fd) return this.#lostError;
      return this.#watch !== null && this.#watch.failed(error, cancelledBySelf) ? this.#lostError : null;
    }

    // The device is gone: the handle is closed at once, whatever it holds.
    // Without reconnect, or once close() was called, that ends the port;
    // with it, the port waits disconnected for its device.
    #lose(error) {
      this.#lostError = error;
      this.#listed = this.#watch?.identity ?? this.#listed;
      this.#stopWatching();
      this.#watch = null;
      if (this.destroyed) return;
      if (this.#state === 'closing') {
        // The writes close() waits for go with the device.
        this.#aborting = () => error;
        this.#drained(Infinity);
        this.#release().catch(noop);
        return;
      }
      if (this.#options.reconnect === null || this.#state !== 'open') {
        this.destroy(error);
        return;
      }
      this.#state = 'disconnected';
      this.#madeBeforeLoss = { through: this.writableEnded ? Infinity : this.#made, error };
      const fd = this.#fd;
      this.#fd = null;
      this.#stopReading();
      // The old handle shadows the device until it is closed.
      const dropped = this.#call('close', fd).catch(noop);
      this.#seeking = this.#seek(dropped, error, performance.now());
      this.#emitSafely('disconnect', error);
    }

    #emitSafely(name, value) {
      try {
        this.emit(name, value);
      } catch (thrown) {
        process.nextTick(() => { throw thrown; });
      }
    }

    // Looks for the device until it opens again, as it was, or the search
    // is given up (then the loss ends the port) or stopped by close().
    async #seek(dropped, lost, since) {
      await dropped;
      const { timeout, signal } = this.#options.reconnect;
      // close() and destroy() may come while the old handle closes.
      while (this.#state === 'disconnected' && !this.destroyed) {
        this.#search = seek({
          identity: this.#identity ?? this.#listed,
          path: this.path,
          list: () => poller().current(),
          open: (where) => call('open', where, this.#settings()),
          close: (fd) => call('close', fd).catch(noop),
          timeout: timeout === null ? null : Math.max(0, timeout - (performance.now() - since)),
          signal,
          lost,
        });
        let found;
        const search = this.#search;
        try {
          found = await search.found;
        } catch (error) {
          // Given up (the loss), or refused by the device found in a way
          // every later try would be (its own failure, which says why).
          if (this.#state === 'disconnected') this.destroy(error === lost ? lost : withPath(error, this.path));
          return;
        } finally {
          this.#search = null;
        }
        if (found === null) {
          await search.done;
          return;
        }
        if (await this.#restore(found)) return;
      }
    }

    // The device opened again: the lines as last set and the poll come back
    // before anything else may use it. False if it went again meanwhile.
    async #restore({ fd, path }) {
      const lines = this.#wantedLines;
      const opened = openedLines(this.#options);
      let baseline = null;
      try {
        if (lines.dtr !== opened.dtr || lines.rts !== opened.rts || lines.brk) {
          await call('set', fd, { dtr: lines.dtr, rts: lines.rts === true, brk: lines.brk });
        }
        if (this.#options.modemStatus) baseline = await call('get', fd);
      } catch (error) {
        await call('close', fd).catch(noop);
        // Gone again, or not ready yet: the search goes on. Any other
        // failure would come at every try, and ends the port.
        const described = withPath(describeError(error), path);
        if (isLoss(described) || isNotReady(described)) return false;
        if (this.#state === 'disconnected' && !this.destroyed) this.destroy(described);
        return true;
      }
      if (this.#state !== 'disconnected' || this.destroyed) {
        await call('close', fd).catch(noop);
        return true;
      }
      this.#fd = fd;
      this.#lines = lines;
      this.#lostError = null;
      this.#state = 'open';
      this.path = path;
      this.#empties = 0;
      this.#watchDevice(baseline);
      this.#emitSafely('reconnect', { path });
      if (this.#readWanted) this.#read();
      return true;
    }

    // One control call on the handle, issued once the port is open. Control
    // calls apply in call order: the addon runs them side by side, so each
    // waits for the one made before it. The handle's closing waits for each
    // until it is answered, or, for a drain, which flow control may hold
    // without end, until it is issued; nothing waits for a drain.
    //
    // destroy() lets a call go on only behind one already with the addon (as
    // it would have gone had it been first); the rest are refused.
    #control(name, args, { after = null, untilIssued = false } = {}) {
      if (!this.#controllable()) return Promise.reject(this.#refusal(name));
      const before = untilIssued ? null : this.#lastControl;
      const opening = this.#state === 'opening' ? this.#opening : null;
      let issued;
      let reached = false;
      const gate = new Promise((resolve) => { issued = resolve; });
      this.#controls.add(gate);
      gate.then(() => this.#controls.delete(gate));
      const request = (async () => {
        try {
          if (opening) await opening.then(noop, noop);
          if (after) await after;
          const behindOne = before !== null && (await before);
          if (this.#fd === null || this.#aborting || (this.destroyed && !behindOne)) throw this.#refusal(name);
          reached = true;
          const fd = this.#fd;
          const flushes = this.#flushes;
          const flushing = this.#flushing !== null;
          const answer = this.#call(name, fd, ...args);
          if (untilIssued) issued();
          try {
            return await answer;
          } catch (error) {
            throw this.#lossOf(error, fd, flushing || this.#flushes !== flushes) ?? error;
          }
        } finally {
          issued();
        }
      })();
      if (!untilIssued) {
        const settled = request.then(() => true, () => reached);
        this.#lastControl = settled;
        settled.then(() => { if (this.#lastControl === settled) this.#lastControl = null; });
      }
      return request;
    }

    update(options) {
      let checked;
      try {
        checked = updateOptions(options);
      } catch (error) {
        return Promise.reject(withPath(error, this.path));
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
        return Promise.reject(withPath(error, this.path));
      }
      if (!this.#controllable()) return Promise.reject(this.#refusal('set'));
      const wanted = Object.freeze({ ...this.#wantedLines, ...changes });
      this.#wantedLines = wanted;
      return this.#control('set', [{ dtr: wanted.dtr, rts: wanted.rts === true, brk: wanted.brk }])
        .then(() => { this.#lines = wanted; }, (error) => {
          // Refused, it changes nothing, now or once the device is back.
          if (this.#wantedLines === wanted) this.#wantedLines = this.#lines;
          throw error;
        });
    }

    get() {
      return this.#control('get', []);
    }

    getBaudRate() {
      return this.#control('getBaudRate', []);
    }

    // The bytes up to and including the next `delimiter`: first what the
    // stream holds, then what the port reads, ahead of every other reader,
    // which gets the bytes after the frame. Refused where it cannot keep
    // that promise: while flowing, with text decoding on, or one at a time.
    readUntil(delimiter, options) {
      let checked;
      try {
        checked = readUntilOptions(delimiter, options);
      } catch (error) {
        return Promise.reject(withPath(error, this.path));
      }
      const refuse = (why, code) => Promise.reject(refused(this.path, 'readUntil', why, code));
      // From close() on, only what the stream still holds can make a frame;
      // with nothing held the answer is the same whatever else is going on.
      const ending = this.#state === 'closing' || this.#state === 'closed';
      if (this.#state === 'new' || this.destroyed || this.readableEnded || (ending && this.readableLength === 0)) {
        return Promise.reject(notOpen(this.path, 'readUntil'));
      }
      if (this.#taker) return refuse(`another readUntil on ${this.path} is waiting`, 'ERR_READ_UNTIL_PENDING');
      if (this.readableFlowing === true || this.listenerCount('data') > 0) {
        return refuse(`${this.path} is flowing or piped, and its bytes go to 'data' listeners; ` +
          'remove them, unpipe and pause() first', 'ERR_STREAM_FLOWING');
      }
      if (this.readableEncoding !== null) {
        return refuse(`${this.path} decodes what it reads as ${this.readableEncoding} (setEncoding), and readUntil ` +
          'takes bytes; read text with readline or a parser instead', 'ERR_READ_UNTIL_ENCODING');
      }
      return new Promise((resolve, reject) => {
        let taker = null;
        taker = frameTaker(checked, this.path, (error, frame, giveBack) => {
          if (this.#taker === taker) this.#taker = null;
          if (giveBack && giveBack.length > 0 && !this.destroyed && !this.readableEnded) this.unshift(giveBack);
          if (error) reject(error);
          else resolve(frame);
        });
        if (taker.over) return;
        this.#taker = taker;
        // What the stream holds comes first; read() also asks for more.
        let chunk;
        while (this.#taker === taker && (chunk = this.read()) !== null) {
          const rest = taker.take(chunk);
          if (rest !== null && rest.length > 0) this.unshift(rest);
        }
        // Closed, the port reads no more; the close ends a frame it finds waiting.
        if (this.#taker === taker && this.#state === 'closed') taker.end();
      });
    }

    // Decoding and readUntil cannot share the bytes the stream holds.
    setEncoding(encoding) {
      if (this.#taker) {
        throw refused(this.path, 'setEncoding', `a readUntil on ${this.path} is waiting for bytes; ` +
          'set the encoding once it has settled', 'ERR_READ_UNTIL_PENDING');
      }
      return super.setEncoding(encoding);
    }

    // Discards every write made before it, whether still in the stream or
    // with the driver, and what the driver has received; writes made after it
    // wait for it and then go out. Bytes already read into the stream stay.
    flush() {
      if (!this.#controllable()) return Promise.reject(this.#refusal('flush'));
      this.#discardThrough = this.writableEnded ? Infinity : this.#made;
      this.#flushes++;
      const request = this.#control('flush', []);
      const flushing = request.then(noop, noop);
      this.#flushing = flushing;
      flushing.then(() => { if (this.#flushing === flushing) this.#flushing = null; });
      return request;
    }

    // Resolves once every write made before it has reached the driver and
    // the driver has sent it.
    drain() {
      if (!this.#controllable()) return Promise.reject(this.#refusal('drain'));
      const last = this.writableEnded ? Infinity : this.#made;
      const done = last <= this.#answered || this.writableFinished;
      const written = done ? null : new Promise((resolve) => this.#drains.push([last, resolve]));
      return this.#control('drain', [], { after: written, untilIssued: true });
    }

    #drained(upTo) {
      while (this.#drains.length > 0 && this.#drains[0][0] <= upTo) this.#drains.shift()[1]();
    }

    // Reading: one addon read at a time, issued when the stream asks, none
    // from close() on; the read in flight then answers or is ended by it.
    _read() {
      this.#readWanted = true;
      this.#read();
    }

    #read() {
      if (this.#state !== 'open' || this.#reading || this.destroyed) return;
      this.#reading = true;
      const buffer = this.#readBuffer;
      const fd = this.#fd;
      binding.read(fd, buffer, 0, buffer.length, (error, count) => {
        this.#reading = false;
        if (error) {
          // A read ended by the port's own closing is the end of the stream,
          // not a failure; a lost device is the loss; anything else is a failure.
          if (fd === this.#fd && !this.destroyed) {
            const described = this.#described(error);
            if (!this.#lossOf(described, fd)) this.destroy(described);
          }
          // The handle it was on went with its device, and the device is back.
          if (fd !== this.#fd && this.#readWanted) process.nextTick(() => this.#read());
        } else if (count === 0) {
          this.#readNothing();
        } else {
          this.#empties = 0;
          // A copy: the read buffer is the port's, and the next read fills it.
          this.#deliver(Buffer.from(buffer.subarray(0, count)));
        }
        if (this.#readSettled) {
          this.#readSettled();
          this.#readSettled = null;
          this.#readsStopped = null;
        }
      });
    }

    // A readUntil waiting takes the bytes first. The stream asked for a read
    // and waits for a push: while the frame takes everything, the port reads
    // on by itself.
    #deliver(chunk) {
      const rest = this.#taker ? this.#taker.take(chunk) : chunk;
      if (rest === null || rest.length === 0) {
        this.#read();
      } else if (!this.destroyed) {
        this.#readWanted = false;
        this.push(rest);
      }
    }

    #readNothing() {
      if (this.#state !== 'open') return;
      if (++this.#empties >= emptyReads.failAfter) {
        const error = new Error(`read: ${this.path} answered ${this.#empties} reads in a row with nothing; its device may be gone`);
        error.code = 'ERR_PORT_READ_EMPTY';
        error.path = this.path;
        // A port asked to follow its device takes the run for the loss it
        // most likely is, and looks for the device again.
        if (this.#options.reconnect !== null && this.#watch?.gone(error)) return;
        this.destroy(error);
        return;
      }
      this.#reading = true;
      this.#retry = setTimeout(() => {
        this.#retry = null;
        this.#reading = false;
        this.#read();
      }, Math.min(2 ** (this.#empties - 1), emptyReads.longest));
    }

    // Settles once no read is with the addon; a retry waiting is dropped.
    #stopReading() {
      if (this.#retry) {
        clearTimeout(this.#retry);
        this.#retry = null;
        this.#reading = false;
      }
      if (!this.#reading) return Promise.resolve();
      this.#readsStopped ??= new Promise((resolve) => { this.#readSettled = resolve; });
      return this.#readsStopped;
    }

    // Write takes no record of its own: it refuses writes on a port that
    // takes none (a refusal that leaves the port as it was) and keeps the
    // caller's callback apart from the stream's, so that a write discarded by
    // flush() or aborted by close() is reported to its own callback without
    // failing the stream. The chunks are numbered where they arrive, in
    // _write/_writev; the callbacks come in the same order.
    write(chunk, encoding, callback) {
      if (typeof encoding === 'function') {
        callback = encoding;
        encoding = undefined;
      }
      if (!this.#live()) {
        const error = notOpen(this.path, 'write');
        process.nextTick(() => {
          if (typeof callback === 'function') callback(error);
          if (!this.destroyed) this.emit('error', error);
        });
        return false;
      }
      if (this.writableEnded) return super.write(chunk, encoding, callback);
      const number = ++this.#made;
      try {
        return super.write(chunk, encoding, (error) => this.#answer(number, error, callback));
      } catch (error) {
        // Refused before it was queued (not a Buffer or string, say).
        this.#made--;
        throw error;
      }
    }

    // A write's own outcome: sent, discarded, aborted, or the addon's failure
    // of it or of the write it was queued behind; never another's error.
    #answer(number, error, callback) {
      if (error) {
        // What a lost device did not send reports the loss, as those in
        // flight did; otherwise the write's own failure or its abort.
        if (this.#failure !== null && this.#failure === this.#lostError) {
          error = this.#lostError;
        } else if (error !== this.#writeError && error !== this.#lostError) {
          const why = this.#aborting ? 'closed first' : this.#failure ? 'failed first' : 'was destroyed first';
          error = writeAborted(this.path, why, this.#failure || error);
        }
      } else {
        const notSent = this.#notSent;
        while (notSent.length > 0 && notSent[0][1] < number) notSent.shift();
        if (notSent.length > 0 && notSent[0][0] <= number) error = notSent[0][2]();
      }
      this.#answered = number;
      this.#drained(number);
      if (typeof callback === 'function') callback(error);
    }

    _write(chunk, encoding, callback) {
      this.#send([chunk], callback);
    }

    // The chunks written while the write before them was with the driver, as
    // one addon write: each addon write costs a thread, whatever its size.
    _writev(entries, callback) {
      this.#send(entries.map((entry) => entry.chunk), callback);
    }

    #send(chunks, callback) {
      const from = this.#numbered + 1;
      this.#numbered += chunks.length;
      // Numbered in order, so those a flush discarded lead, and then those
      // made before a loss (held back by cork(), say): the device that came
      // back is not sent what was meant for it before.
      let next = this.#drop(from, this.#discardThrough, () => flushed(this.path));
      const { through, error } = this.#madeBeforeLoss;
      next = this.#drop(next, through, () => error);
      if (next > this.#numbered) {
        callback();
        return;
      }
      this.#transmit(next, chunks.slice(next - from), callback);
    }

    // Reports the chunks from `from` on numbered up to `through` as not sent;
    // the number of the first one left to send.
    #drop(from, through, error) {
      const to = Math.min(this.#numbered, through);
      if (to < from) return from;
      this.#lost(from, to, error);
      return to + 1;
    }

    #lost(from, to, error) {
      this.#notSent.push([from, to, error]);
      if (to > this.#made) this.#endLost = error();
    }

    #transmit(from, chunks, callback) {
      const to = from + chunks.length - 1;
      if (this.#flushing) {
        this.#flushing.then(() => this.#transmit(from, chunks, callback));
        return;
      }
      if (this.#aborting || this.#fd === null) {
        const refusal = this.#refusal('write');
        this.#lost(from, to, this.#aborting || (() => refusal));
        callback();
        return;
      }
      const flushes = this.#flushes;
      const fd = this.#fd;
      binding.write(fd, chunks.length === 1 ? chunks[0] : Buffer.concat(chunks), (error) => {
        if (!error) {
          callback();
          return;
        }
        error = this.#described(error);
        // With the driver when a flush came, and aborted by it; or aborted by
        // a close that ran out of time.
        if (error.code === 'ECANCELED' && (this.#flushes !== flushes || this.#aborting)) {
          this.#lost(from, to, this.#flushes !== flushes ? () => flushed(this.path) : this.#aborting);
          callback();
          return;
        }
        const lost = this.#lossOf(error, fd);
        // Gone with its device: the port waits for it to come back, and the
        // write reports the loss without ending the stream.
        if (lost && !this.destroyed) {
          this.#lost(from, to, () => lost);
          callback();
          return;
        }
        if (lost) error = lost;
        else if (this.#fd !== null && !this.destroyed) this.#writeError = error;
        callback(error);
      });
    }

    // Every write has called back: end()'s own chunk, with no callback of
    // its own, reports through end()'s callback if it was not sent.
    _final(callback) {
      this.#drained(Infinity);
      callback(this.#endLost);
    }

    // Lets the writes already made go out, for closeTimeout at most, closes
    // the handle and ends the readable side: what the stream holds stays to
    // be read, then 'end'. A second call gets the same promise; it resolves
    // once the handle is closed, from any state, and rejects only if the
    // addon's close fails.
    close() {
      if (!this.#closing) this.#closing = this.#close();
      return this.#closing;
    }

    async #close() {
      const was = this.#state;
      this.#stopPoll();
      this.#stopPoll = noop;
      this.#search?.stop();
      if (this.destroyed || was === 'new') {
        this.destroy();
      } else {
        this.#state = 'closing';
        if (was === 'opening') await this.#opening.then(noop, noop);
        if (!this.destroyed) await this.#writesOut();
      }
      const reading = this.#stopReading();
      try {
        await this.#release();
      } catch (error) {
        this.#closeReported = true;
        this.destroy();
        throw error;
      }
      await reading;
      if (this.destroyed) return;
      if (this.#taker) this.#taker.end();
      this.push(null);
      // With nothing left to read, the end needs no reader.
      if (this.readableLength === 0) this.read(0);
    }

    // Not 'error': a refused write reports one while the writes before it
    // are still going out; a failed write destroys the stream, and 'close'.
    #writesOut() {
      if (this.writableFinished) return Promise.resolve();
      return new Promise((resolve) => {
        const done = () => {
          clearTimeout(this.#closeTimer);
          this.removeListener('finish', done);
          this.removeListener('close', done);
          resolve();
        };
        this.once('finish', done);
        this.once('close', done);
        // Out of time: the handle's closing ends the write with the driver,
        // and the writes after it report that they were not sent.
        this.#closeTimer = setTimeout(() => {
          const ms = this.#options.closeTimeout;
          this.#aborting = () => writeAborted(this.path, `closed: the writes did not go out within closeTimeout (${ms} ms)`);
          this.#drained(Infinity);
          // Bounded even if a write's callback never came.
          this.#release().catch(noop).then(done);
        }, this.#options.closeTimeout);
        this.end();
      });
    }

    // Closes the handle, once, after the open and the control calls in
    // flight have been answered (a drain, once issued, is ended by the close).
    #release() {
      if (!this.#released) {
        this.#released = (async () => {
          if (this.#opening) await this.#opening.then(noop, noop);
          while (this.#controls.size > 0) await Promise.all(this.#controls);
          // A handle the search opened is closed by it, or becomes the port's.
          if (this.#seeking) await this.#seeking;
          this.#stopWatching();
          const fd = this.#fd;
          // From here on the number belongs to the system, not to this port.
          this.#fd = null;
          this.#state = 'closed';
          if (fd !== null) await this.#call('close', fd);
        })();
      }
      return this.#released;
    }

    // A port never opened has no open for the stream to wait for.
    destroy(error, callback) {
      if (this.#state === 'new') this.#state = 'closed';
      super.destroy(error, callback);
      if (this.#state === 'closed') this.#constructed();
      return this;
    }

    _destroy(error, callback) {
      this.#failure = error;
      this.#stopWatching();
      this.#search?.stop();
      clearTimeout(this.#closeTimer);
      this.#stopReading();
      if (this.#taker) this.#taker.end(error);
      this.#drained(Infinity);
      this.#release().then(() => callback(error),
        (closeError) => callback(error || (this.#closeReported ? null : closeError)));
    }
  }

  return SerialPort;
}

module.exports = { createSerialPort };
