'use strict';
// vornet/testing: virtual serial ports in plain JavaScript, with the addon's contract, and the device side to play.
//
// A VirtualPorts is a small machine of its own: ports added to it are listed,
// opened, read and written through `binding`, which answers as the Windows
// addon answers (its argument errors, its error texts, its callback timing),
// and through `SerialPort`, the package's own stream layer over that binding.
// The test plays the device at the other end of each port.
const { EventEmitter } = require('node:events');
const { createSerialPort } = require('./serialport');
const args = require('./testing-args');

// The reasons of the addon's error texts, by Win32 code; any other code is
// shown by its number.
const reasons = new Map([
  [2, 'File not found'],
  [5, 'Access denied'],
  [6, 'Invalid handle'],
  [87, 'The parameter is incorrect'],
  [995, 'Operation aborted'],
]);
const INVALID_HANDLE = 6;
const INVALID_PARAMETER = 87;
const ABORTED = 995;

function win32Error(prefix, code) {
  return new Error(`${prefix}: ${reasons.get(code) || `Unknown error code ${code | 0}`}`);
}

// What a USB serial driver reports once its device is gone, as Windows
// reports it: transfers pending then, every later control call, every later
// transfer, and a new open while the old handle is still held.
const removalCodes = { pendingError: 31, callError: 22, ioError: 1167, openError: 5 };

// Callbacks come from the event loop, never from inside the call, as the
// addon's come from its worker pool and transfer threads.
const later = (fn, ...values) => setImmediate(fn, ...values);

function toBytes(data, what) {
  if (typeof data === 'string') return Buffer.from(data, 'utf8');
  if (ArrayBuffer.isView(data)) return Buffer.from(data.buffer, data.byteOffset, data.byteLength);
  if (Array.isArray(data)) return Buffer.from(data);
  throw new TypeError(`${what} takes a string, a Buffer, a typed array or an array of byte values; got ${typeof data}`);
}

// Bytes moving along a serial line, one queue per direction. Unpaced, they
// arrive on the next turn of the event loop; paced, at ten bits a byte at the
// line's rate. Its timer runs only while bytes are on their way, and stops
// for good when the line is cut.
class Line {
  #rate; // () => bytes per second, or 0 for at once
  #deliver;
  #queue = []; // { bytes, sent, done }
  #held = () => false;
  #timer = null;
  #immediate = null;
  #credit = 0;
  #last = 0;

  constructor(rate, deliver, held) {
    this.#rate = rate;
    this.#deliver = deliver;
    if (held) this.#held = held;
  }

  get pending() {
    return this.#queue.length;
  }

  send(bytes, done = null) {
    this.#queue.push({ bytes, sent: 0, done });
    this.pump();
  }

  // Looks again at whether bytes can move: after a send, a release of flow
  // control or a change of rate.
  pump() {
    if (this.#timer || this.#immediate || this.#queue.length === 0 || this.#held()) return;
    const rate = this.#rate();
    if (rate <= 0) {
      this.#immediate = setImmediate(() => {
        this.#immediate = null;
        this.#move(Infinity);
      });
      return;
    }
    this.#last = performance.now();
    this.#credit = 0;
    this.#schedule(rate);
  }

  #schedule(rate) {
    // A byte's time, but no busier than a tick every 2 ms at high rates.
    const wait = Math.max(2, 1000 / rate);
    this.#timer = setTimeout(() => {
      this.#timer = null;
      if (this.#held()) return;
      const now = performance.now();
      const current = this.#rate();
      this.#credit += ((now - this.#last) * current) / 1000;
      this.#last = now;
      const whole = Math.floor(this.#credit);
      this.#credit -= whole;
      this.#move(whole);
      if (this.#queue.length > 0 && !this.#held()) {
        if (current > 0) this.#schedule(current);
        else this.pump();
      }
    }, wait);
  }

  #move(budget) {
    while (this.#queue.length > 0 && !this.#held()) {
      const head = this.#queue[0];
      const count = Math.min(budget, head.bytes.length - head.sent);
      if (count > 0) {
        this.#deliver(head.bytes.subarray(head.sent, head.sent + count));
        head.sent += count;
        budget -= count;
      }
      if (head.sent < head.bytes.length) break;
      this.#queue.shift();
      if (head.done) head.done(null);
      if (budget <= 0 && this.#queue.length > 0 && this.#queue[0].bytes.length > 0) break;
    }
  }

  // Ends what is still on its way, each with `error`; what already arrived stays.
  cut(error) {
    clearTimeout(this.#timer);
    clearImmediate(this.#immediate);
    this.#timer = null;
    this.#immediate = null;
    const queue = this.#queue;
    this.#queue = [];
    for (const entry of queue) if (entry.done) entry.done(error);
  }
}

// One open of a port: what the addon's handle number stands for.
class OpenHandle {
  constructor(fd, device, settings) {
    this.fd = fd;
    this.device = device;
    this.name = device.name;
    this.settings = settings;
    this.lines = { dtr: false, rts: false, brk: false };
    this.removed = null; // the codes of the unplugging, once it came
    this.rx = [];
    this.rxLength = 0;
    this.reads = []; // { into, offset, wanted, callback }
    this.serving = false;
    this.drains = [];
    const rate = () => (device.pace ? (this.settings.baudRate >>> 0) / 10 : 0);
    this.tx = new Line(rate, (bytes) => device._received(Buffer.from(bytes)), () => device._holding(this));
    this.incoming = new Line(rate, (bytes) => this.arrive(bytes));
  }

  // Bytes in the driver's receive buffer; the pending reads are served on
  // the next turn of the loop, so that a burst arriving at once is read at once.
  arrive(bytes) {
    if (bytes.length === 0) return;
    this.rx.push(Buffer.from(bytes));
    this.rxLength += bytes.length;
    this.serve();
  }

  serve() {
    if (this.serving || this.reads.length === 0 || this.rxLength === 0) return;
    this.serving = true;
    setImmediate(() => {
      this.serving = false;
      while (this.reads.length > 0 && this.rxLength > 0 && !this.removed && this.device._handleOf(this.fd) === this) {
        const read = this.reads.shift();
        // Each callback on its own turn: one that throws leaves the others be.
        later(read.callback, null, this.take(read.into, read.offset, read.wanted));
      }
    });
  }

  take(into, offset, wanted) {
    let count = 0;
    while (count < wanted && this.rx.length > 0) {
      const head = this.rx[0];
      const n = Math.min(wanted - count, head.length);
      into.set(head.subarray(0, n), offset + count);
      count += n;
      if (n === head.length) this.rx.shift();
      else this.rx[0] = head.subarray(n);
    }
    this.rxLength -= count;
    return count;
  }

  // The writes called before a drain have all gone out.
  checkDrains() {
    if (this.tx.pending > 0) return;
    const drains = this.drains;
    this.drains = [];
    for (const done of drains) later(done, null);
  }

  // Ends everything pending, with the errors of a close or of a removal.
  end(readError, writeError, drainError) {
    const reads = this.reads;
    this.reads = [];
    for (const read of reads) later(read.callback, readError, undefined);
    this.tx.cut(writeError);
    this.incoming.cut(null);
    const drains = this.drains;
    this.drains = [];
    for (const done of drains) later(done, drainError);
    this.rx = [];
    this.rxLength = 0;
  }
}

// The lines the driver drives once a rate is set: DTR by hupcl, RTS by the
// flow control chosen.
function drivenLines(settings, brk) {
  let rts = false;
  if (settings.rtscts) rts = settings.rtsMode !== 'toggle';
  return { dtr: settings.hupcl, rts, brk };
}

const sameLines = (a, b) => a.dtr === b.dtr && a.rts === b.rts && a.brk === b.brk;

// The device end of one virtual port, which the test plays.
class VirtualDevice extends EventEmitter {
  #machine;
  #identity;
  #name;
  #plugged = true;
  #handle = null; // the live open handle
  #taken = [];
  #hold = false;
  #inputs = { cts: false, dsr: false, dcd: false };
  #settings = null;
  #peer = null;

  constructor(machine, name, identity, pace) {
    super();
    this.#machine = machine;
    this.#name = name;
    this.#identity = identity;
    this.pace = pace;
  }

  // The port's name: the one it was added under, or the one it was last plugged back under.
  get name() {
    return this.#name;
  }

  get identity() {
    return this.#identity;
  }

  get plugged() {
    return this.#plugged;
  }

  // Whether a program has the port open.
  get isOpen() {
    return this.#handle !== null;
  }

  // DTR, RTS and break as the program drives them; all low while it is closed.
  get lines() {
    return this.#handle ? { ...this.#handle.lines } : { dtr: false, rts: false, brk: false };
  }

  // CTS, DSR and DCD as the program reads them.
  get inputs() {
    if (this.#peer) {
      const { dtr, rts } = this.#peer.lines;
      return { cts: rts, dsr: dtr, dcd: dtr };
    }
    return { ...this.#inputs };
  }

  // The line settings the program applied last (null before its first open).
  get settings() {
    return this.#settings;
  }

  get peer() {
    return this.#peer;
  }

  // Bytes from the device to the program. Lost, as a UART's would be, while
  // no program has the port open; answers whether a program had it open.
  write(data) {
    const bytes = toBytes(data, 'device.write');
    if (!this.#plugged) {
      const error = new Error(`device.write: ${this.#name} is unplugged`);
      error.code = 'ERR_DEVICE_UNPLUGGED';
      throw error;
    }
    if (!this.#handle) return false;
    if (this.pace) this.#handle.incoming.send(Buffer.from(bytes));
    else this.#handle.arrive(bytes);
    return true;
  }

  // Everything the program wrote since the last take(), as one Buffer.
  take() {
    const bytes = Buffer.concat(this.#taken);
    this.#taken = [];
    return bytes;
  }

  // Sets the input lines the program reads; the keys left out stay.
  set(lines) {
    if (this.#peer) throw new TypeError(`set: the input lines of ${this.#name} are the output lines of ${this.#peer.name}`);
    if (lines === null || typeof lines !== 'object') throw new TypeError('set takes an object such as { cts: true }');
    for (const [key, value] of Object.entries(lines)) {
      if (!(key in this.#inputs)) throw new TypeError(`set: unknown line ${JSON.stringify(key)}; the device sets cts, dsr and dcd`);
      if (typeof value !== 'boolean') throw new TypeError(`set: ${key} must be true or false`);
    }
    Object.assign(this.#inputs, lines);
    if (this.#handle) this.#handle.tx.pump();
    return this;
  }

  // Holds the program's writes as flow control would: they stay pending, a
  // drain waits, and they go out in order once released.
  holdWrites(hold = true) {
    this.#hold = Boolean(hold);
    if (!this.#hold && this.#handle) this.#handle.tx.pump();
    return this;
  }

  // Surprise removal: what is pending fails, every later call on the handle
  // fails, and the port is gone from the list until plug(). `codes` chooses
  // the Win32 codes a particular driver reports.
  unplug(codes = {}) {
    if (!this.#plugged) return this;
    const chosen = { ...removalCodes, ...codes };
    this.#plugged = false;
    const handle = this.#handle;
    this.#handle = null;
    if (handle) {
      handle.removed = chosen;
      handle.end(
        win32Error('Reading from COM port (ReadIOCompletion)', chosen.pendingError),
        win32Error('Writing to COM port (WriteIOCompletion)', chosen.pendingError),
        win32Error('Draining connection (FlushFileBuffers)', chosen.pendingError));
      if (this.#peer) this.#peer._peerLinesChanged();
    }
    this.emit('unplug');
    return this;
  }

  // Back again, under its old name or a new one. A program that still holds
  // the old handle is refused a new open of the old name until it closes it.
  plug(name = this.#name) {
    if (this.#plugged) throw new Error(`plug: ${this.#name} is plugged in already`);
    if (typeof name !== 'string' || name === '') throw new TypeError('plug takes a port name such as "COM4"');
    const other = this.#machine._device(name);
    if (other && other !== this) throw new Error(`plug: there is a port named ${name} already`);
    this.#name = name;
    this.#plugged = true;
    this.emit('plug', name);
    return this;
  }

  // -- for the machine and the binding --

  _handle() {
    return this.#handle;
  }

  _handleOf(fd) {
    return this.#machine._handles.get(fd);
  }

  _opened(handle) {
    this.#handle = handle;
    this.#settings = Object.freeze({ ...handle.settings });
    handle.lines = drivenLines(handle.settings, false);
    if (this.#peer) this.#peer._peerLinesChanged();
  }

  _closed(handle) {
    if (this.#handle === handle) {
      this.#handle = null;
      if (this.#peer) this.#peer._peerLinesChanged();
    }
  }

  _updated(handle) {
    this.#settings = Object.freeze({ ...handle.settings });
  }

  // Told on the next turn of the loop, not from inside the program's call.
  _linesChanged() {
    if (this.#peer) this.#peer._peerLinesChanged();
    later(() => this.emit('lines', this.lines));
  }

  // The other end of a null modem drives this port's inputs: CTS flow
  // control may now let writes go.
  _peerLinesChanged() {
    if (this.#handle) this.#handle.tx.pump();
  }

  _holding(handle) {
    return this.#hold || (handle.settings.rtscts && !this.inputs.cts);
  }

  // What the program wrote, as it leaves the port: to the 'data' listeners,
  // to take(), and on a null modem to the other port.
  _received(bytes) {
    this.#taken.push(bytes);
    if (this.#peer && this.#peer.#plugged && this.#peer.#handle) this.#peer.#handle.arrive(bytes);
    this.emit('data', bytes);
  }

  _pair(peer) {
    this.#peer = peer;
  }

  _record() {
    const id = this.#identity;
    const usb = id.vendorId !== undefined && id.productId !== undefined;
    const text = (value) => (value === undefined || value === null || value === '' ? undefined : String(value));
    const pnpId = id.pnpId ?? (usb ? `USB\\VID_${id.vendorId}&PID_${id.productId}\\${id.serialNumber ?? '0000'}` : `VIRTUAL\\PORT\\${this.#name}`);
    return {
      path: this.#name,
      manufacturer: text(id.manufacturer),
      serialNumber: text(id.serialNumber),
      pnpId,
      locationId: text(id.locationId),
      friendlyName: text(id.friendlyName) ?? `Virtual Serial Port (${this.#name})`,
      vendorId: text(id.vendorId),
      productId: text(id.productId),
    };
  }
}

const identityKeys = ['manufacturer', 'serialNumber', 'pnpId', 'locationId', 'friendlyName', 'vendorId', 'productId'];

// The ports of one virtual machine, with the eleven functions over them.
class VirtualPorts {
  #pace;
  #devices = []; // in the order they were added: the order list() gives
  _handles = new Map(); // fd -> OpenHandle, until closed

  constructor(options = {}) {
    if (options === null || typeof options !== 'object') throw new TypeError('VirtualPorts takes an options object such as { pace: true }');
    for (const key of Object.keys(options)) {
      if (key !== 'pace') throw new TypeError(`VirtualPorts: unknown option ${JSON.stringify(key)}; the one option is pace`);
    }
    this.#pace = Boolean(options.pace);
    this.binding = createBinding(this);
    this.SerialPort = createSerialPort(this.binding);
  }

  // A new port and the device at its other end. `identity` is what list()
  // reports of it; `pace` moves its bytes at its line speed.
  add(name, identity = {}) {
    if (typeof name !== 'string' || name === '') throw new TypeError('add takes a port name such as "COM3"');
    if (identity === null || typeof identity !== 'object') throw new TypeError('add: the identity must be an object');
    if (this._device(name)) throw new Error(`add: there is a port named ${name} already`);
    const { pace = this.#pace, ...rest } = identity;
    for (const [key, value] of Object.entries(rest)) {
      if (!identityKeys.includes(key)) {
        throw new TypeError(`add: unknown key ${JSON.stringify(key)}; the identity takes ${identityKeys.join(', ')} and pace`);
      }
      if (value !== undefined && typeof value !== 'string') throw new TypeError(`add: ${key} must be a string`);
    }
    const device = new VirtualDevice(this, name, Object.freeze(rest), Boolean(pace));
    this.#devices.push(device);
    return device;
  }

  // Two ports joined as a null modem: what is written to one is read from
  // the other, and each one's DTR and RTS are the other's DSR (and DCD) and CTS.
  pair(a, b, options = {}) {
    const one = this.add(a, { friendlyName: `Virtual Null Modem (${a})`, ...options });
    let two;
    try {
      two = this.add(b, { friendlyName: `Virtual Null Modem (${b})`, ...options });
    } catch (error) {
      this.#devices.pop();
      throw error;
    }
    one._pair(two);
    two._pair(one);
    return [one, two];
  }

  // The device of the port now named `name` (ASCII case aside, as Windows
  // names go), plugged or not.
  device(name) {
    return this._device(name);
  }

  _device(name) {
    const key = String(name).toUpperCase();
    return this.#devices.find((device) => device.name.toUpperCase() === key);
  }

  _devices() {
    return this.#devices;
  }

  // Windows hands out handle numbers as multiples of four, the lowest free
  // one first, and gives a closed one's number to the next open at once.
  _newFd() {
    let fd = 0x200;
    while (this._handles.has(fd)) fd += 4;
    return fd;
  }
}

// The eleven functions, over the ports of one VirtualPorts.
function createBinding(machine) {
  const handles = machine._handles;
  const fail = (callback, prefix, code, ...rest) => later(callback, win32Error(prefix, code), ...rest);

  // The handle a control call acts on, or its failure: an unknown number is
  // an invalid handle, one whose device is gone fails as the driver does.
  function control(fd, callback, prefix) {
    const handle = handles.get(fd);
    if (!handle) {
      fail(callback, prefix, INVALID_HANDLE);
      return null;
    }
    if (handle.removed) {
      fail(callback, prefix, handle.removed.callError);
      return null;
    }
    return handle;
  }

  function open(path, options, callback) {
    const { path: given, settings } = args.openArguments(path, options, callback);
    const openingPrefix = args.bounded(`Opening ${given}`, 99);
    const device = given.startsWith('\\\\.\\') || given.startsWith('\\\\?\\') ? given.slice(4) : given;
    const name = args.bounded(device, 1019).toUpperCase();
    const holder = [...handles.values()].find((handle) => handle.name.toUpperCase() === name);
    const port = machine._device(name);
    if (holder) {
      // A COM port is exclusive; one whose device is gone stays taken by its old handle.
      fail(callback, openingPrefix, holder.removed ? holder.removed.openError : 5);
      return undefined;
    }
    if (!port || !port.plugged) {
      fail(callback, openingPrefix, 2);
      return undefined;
    }
    const dataBits = settings.dataBits & 0xff;
    if ((settings.baudRate >>> 0) === 0 || dataBits < 5 || dataBits > 8) {
      fail(callback, 'Open (SetCommState)', INVALID_PARAMETER);
      return undefined;
    }
    const fd = machine._newFd();
    const handle = new OpenHandle(fd, port, { ...settings, dataBits });
    handles.set(fd, handle);
    port._opened(handle);
    later(() => {
      // The open empties the driver's buffers last: what came before is not the caller's.
      handle.rx = [];
      handle.rxLength = 0;
      if (handles.get(fd) === handle && !handle.removed) port.emit('open', port.settings);
      callback(null, fd);
    });
    return undefined;
  }

  function update(fd, options, callback) {
    const request = args.updateArguments(fd, options, callback);
    const handle = control(request.fd, callback, 'Update (GetCommState)');
    if (!handle) return undefined;
    if ((request.baudRate >>> 0) === 0) {
      fail(callback, 'Update (SetCommState)', INVALID_PARAMETER);
      return undefined;
    }
    handle.settings = { ...handle.settings, baudRate: request.baudRate };
    handle.device._updated(handle);
    // Setting the state makes the driver drive DTR and RTS as the open chose.
    const driven = drivenLines(handle.settings, handle.lines.brk);
    const changed = !sameLines(driven, handle.lines);
    handle.lines = driven;
    if (changed) handle.device._linesChanged();
    handle.tx.pump();
    later(callback, null);
    return undefined;
  }

  function set(fd, options, callback) {
    const request = args.setArguments(fd, options, callback);
    const handle = control(request.fd, callback, 'Setting options on COM port (SetCommMask)');
    if (!handle) return undefined;
    const { rts, dtr, brk } = request.lines;
    // RTS under handshake or toggle belongs to the driver, and Windows
    // refuses to set it; the addon does not report that refusal.
    const driverRts = handle.settings.rtscts && handle.settings.rtsMode !== 'enable';
    const next = { dtr, rts: driverRts ? handle.lines.rts : rts, brk };
    const changed = !sameLines(next, handle.lines);
    handle.lines = next;
    if (changed) handle.device._linesChanged();
    later(callback, null);
    return undefined;
  }

  function get(fd, callback) {
    const handle = control(args.fdThenCallback(fd, callback), callback,
      'Getting control settings on COM port (GetCommModemStatus)');
    if (!handle) return undefined;
    const { cts, dsr, dcd } = handle.device.inputs;
    later(callback, null, { cts, dsr, dcd, lowLatency: false });
    return undefined;
  }

  function getBaudRate(fd, callback) {
    const handle = control(args.fdThenCallback(fd, callback), callback, 'Getting baud rate (GetCommState)');
    if (!handle) return undefined;
    later(callback, null, { baudRate: handle.settings.baudRate | 0 });
    return undefined;
  }

  function close(fd, callback) {
    const number = args.closeArguments(fd, callback);
    const handle = handles.get(number);
    if (!handle) {
      fail(callback, 'Closing connection (CloseHandle)', INVALID_HANDLE);
      return undefined;
    }
    // The number is free at once, as Windows frees it.
    handles.delete(number);
    handle.end(win32Error('Reading from COM port (ReadIOCompletion)', ABORTED),
      win32Error('Writing to COM port (WriteIOCompletion)', ABORTED),
      win32Error('Draining connection (FlushFileBuffers)', ABORTED));
    const device = handle.device;
    const wasLive = device._handle() === handle;
    device._closed(handle);
    later(() => {
      if (wasLive) device.emit('close');
      callback(null);
    });
    return undefined;
  }

  // Throws away the writes not yet sent and what was received; a pending read goes on.
  function flush(fd, callback) {
    const handle = control(args.fdThenCallback(fd, callback), callback, 'Flushing connection (PurgeComm)');
    if (!handle) return undefined;
    handle.tx.cut(win32Error('Writing to COM port (WriteIOCompletion)', ABORTED));
    handle.rx = [];
    handle.rxLength = 0;
    handle.checkDrains();
    later(callback, null);
    return undefined;
  }

  function drain(fd, callback) {
    const handle = control(args.fdThenCallback(fd, callback), callback, 'Draining connection (FlushFileBuffers)');
    if (!handle) return undefined;
    handle.drains.push(callback);
    handle.checkDrains();
    return undefined;
  }

  function write(fd, buffer, callback) {
    const request = args.writeArguments(fd, buffer, callback);
    const handle = handles.get(request.fd);
    if (!handle) {
      fail(callback, 'Writing to COM port (WriteFileEx)', INVALID_HANDLE);
      return null;
    }
    if (handle.removed) {
      fail(callback, 'Writing to COM port (WriteFileEx)', handle.removed.ioError);
      return null;
    }
    // A copy: the caller may reuse its buffer once the write has called back,
    // and a paced write sends it over time.
    handle.tx.send(Buffer.from(request.bytes), (error) => {
      later(callback, error);
      if (!error) handle.checkDrains();
    });
    return null;
  }

  function read(fd, buffer, offset, bytesToRead, callback) {
    const request = args.readArguments(fd, buffer, offset, bytesToRead, callback);
    // A read first sets the port's timeouts, and fails there as any control call.
    const handle = control(request.fd, (error) => callback(error, undefined), 'Setting COM timeout (SetCommTimeouts)');
    if (!handle) return null;
    handle.reads.push({ into: request.into, offset: request.offset, wanted: request.wanted, callback });
    handle.serve();
    return null;
  }

  function list(callback) {
    args.listArguments(callback);
    const records = machine._devices().filter((device) => device.plugged).map((device) => device._record());
    later(callback, null, records);
    return undefined;
  }

  // In the order the addon's exports object has them.
  return { set, get, getBaudRate, open, update, close, flush, drain, write, read, list };
}

module.exports = { VirtualPorts, VirtualDevice };
