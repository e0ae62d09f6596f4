'use strict';
// The monitor's hold on one port: opens it, keeps its state for the page, carries bytes and controls, and reopens it after a loss.
const { EventEmitter } = require('node:events');
const { findPort } = require('../identity');

const modemInterval = 100;
// How long to wait between attempts to find a device that went away.
const retryDelays = [100, 200, 500, 1000, 2000];

// A name Windows gives a port; anything else names a device by its serial number.
const isPortName = (text) => /^(COM\d+|\\\\\.\\.+)$/i.test(text);

// The port the user named: by path, or by the serial number of the device,
// which may come back under another name.
async function resolve(SerialPort, target) {
  if (isPortName(target)) return target;
  const ports = await SerialPort.list();
  const byPath = ports.find((port) => port.path === target);
  if (byPath) return byPath.path;
  try {
    return findPort(ports, { serialNumber: target }).path;
  } catch (error) {
    if (error.code === 'ERR_PORT_NOT_FOUND') {
      error.message = `no port ${target}: neither a port name nor the serial number of a device present`;
    }
    throw error;
  }
}

const brief = (error) => `${error.message}${error.code ? ` (${error.code})` : ''}`;

// Events: 'state' with the state record whenever it changes, 'data' with
// each chunk the port gives, 'error' never (failures are part of the state).
//
// The state: status is 'idle' (no port chosen), 'opening', 'open',
// 'reconnecting' (the port went away and is being looked for), 'disconnected'
// (it went away, or could not be opened, and nobody looks for it) or 'closed'
// (close() was called).
class Link extends EventEmitter {
  #SerialPort;
  #target = null;
  #reconnect;
  #port = null;
  #timer = null;
  #attempt = 0;
  #closed = false;
  #generation = 0; // bumped by each open(), so that an older open's news is dropped
  #state;

  constructor(SerialPort, { baudRate = 9600, reconnect = false } = {}) {
    super();
    this.#SerialPort = SerialPort;
    this.#reconnect = reconnect;
    this.#state = { status: 'idle', path: null, target: null, baudRate, lines: null, modem: null, error: null };
  }

  get state() {
    return this.#state;
  }

  get port() {
    return this.#port;
  }

  #update(changes) {
    this.#state = { ...this.#state, ...changes };
    this.emit('state', this.#state);
  }

  // Opens `target` (a port name or a serial number) in place of the port
  // held now. Resolves once it is open; a failure is reported in the state,
  // and rejects too, so that a caller that asked can say why.
  async open(target, { baudRate = this.#state.baudRate } = {}) {
    if (this.#closed) throw new Error('the monitor is closing');
    const generation = ++this.#generation;
    clearTimeout(this.#timer);
    this.#attempt = 0;
    this.#target = target;
    await this.#drop();
    this.#update({ status: 'opening', target, path: null, baudRate, error: null, lines: null, modem: null });
    return this.#try(generation, baudRate, true);
  }

  async #try(generation, baudRate, first) {
    let port;
    try {
      const path = await resolve(this.#SerialPort, this.#target);
      port = await this.#openPort(path, baudRate);
    } catch (error) {
      if (generation !== this.#generation) return;
      // With reconnect, a device that is not there yet is waited for too;
      // the first failure still goes to whoever asked for the open.
      if (this.#reconnect) this.#retry(generation, baudRate, error);
      else this.#update({ status: 'disconnected', error: brief(error) });
      if (first) throw error;
      return;
    }
    if (generation !== this.#generation || this.#closed) {
      port.destroy();
      return;
    }
    this.#attempt = 0;
    this.#adopt(port, generation);
  }

  // With the modem lines polled where the driver reports them; a driver that
  // cannot (a pseudo-terminal under Wine) gets the port without them.
  async #openPort(path, baudRate) {
    try {
      return await this.#SerialPort.open(path, { baudRate, modemStatus: { interval: modemInterval } });
    } catch (error) {
      if (error.syscall !== 'GetCommModemStatus') throw error;
      return this.#SerialPort.open(path, { baudRate });
    }
  }

  #adopt(port, generation) {
    this.#port = port;
    port.on('data', (chunk) => this.emit('data', chunk));
    port.on('modemStatus', ({ status }) => this.#update({ modem: inputsOf(status) }));
    let failure = null;
    port.on('error', (error) => { failure = error; });
    port.on('close', () => {
      if (this.#port !== port) return;
      this.#port = null;
      if (this.#closed || generation !== this.#generation) return;
      const error = failure ? brief(failure) : 'the port closed';
      if (this.#reconnect) this.#retry(generation, port.options.baudRate, error);
      else this.#update({ status: 'disconnected', error, modem: null });
    });
    this.#update({ status: 'open', path: port.path, baudRate: port.options.baudRate, lines: port.outputLines, error: null });
    if (port.options.modemStatus) port.get().then((status) => {
      if (this.#port === port) this.#update({ modem: inputsOf(status) });
    }, () => {});
  }

  #retry(generation, baudRate, error) {
    const delay = retryDelays[Math.min(this.#attempt++, retryDelays.length - 1)];
    this.#update({ status: 'reconnecting', error: typeof error === 'string' ? error : brief(error), modem: null });
    this.#timer = setTimeout(() => {
      this.#try(generation, baudRate, false).catch(() => {});
    }, delay);
  }

  #live() {
    if (!this.#port || !this.#port.isOpen) {
      const error = new Error(`no port is open (${this.#state.status})`);
      error.code = 'ERR_PORT_NOT_OPEN';
      throw error;
    }
    return this.#port;
  }

  // Resolves once the bytes have gone to the driver.
  send(bytes) {
    const port = this.#live();
    return new Promise((resolve, reject) => port.write(bytes, (error) => (error ? reject(error) : resolve())));
  }

  async set(lines) {
    const port = this.#live();
    await port.set(lines);
    if (this.#port === port) this.#update({ lines: port.outputLines });
  }

  async update(baudRate) {
    const port = this.#live();
    await port.update({ baudRate });
    if (this.#port === port) this.#update({ baudRate, lines: port.outputLines });
  }

  // Lets go of the port held now, if any, without reporting its close.
  async #drop() {
    const port = this.#port;
    this.#port = null;
    if (port) await port.close().catch(() => port.destroy());
  }

  // Closes the port and stops looking for it; resolves once it is closed.
  async close() {
    if (this.#closed) return;
    this.#closed = true;
    this.#generation++;
    clearTimeout(this.#timer);
    await this.#drop();
    this.#update({ status: 'closed', modem: null });
  }
}

const inputsOf = ({ cts, dsr, dcd }) => ({ cts, dsr, dcd });

module.exports = { Link, resolve };
