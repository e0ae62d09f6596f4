'use strict';
// The monitor's hold on one port: opens it, keeps its state for the page, carries bytes and controls, and follows its device through a loss.
const { EventEmitter } = require('node:events');
const { isNotReady, isLoss } = require('../loss');
const { seek } = require('../reconnect');

// Where the port the user named is looked for: a port name, or a name the
// list shows, by that name; anything else is the serial number of a device,
// which may come back under another name.
async function whereIs(SerialPort, target) {
  const named = /^(COM\d+|\\\\\.\\.+)$/i.test(target) || (await SerialPort.list()).some((port) => port.path === target);
  return named ? { path: target, identity: null } : { path: null, identity: { serialNumber: target } };
}

// A first open that --reconnect waits through, as the layer's own search
// does after a loss: the device is not there yet, or not ready.
const comesBack = (error) => isNotReady(error) || isLoss(error) || ['ERR_PORT_NOT_FOUND', 'ERR_PORT_DISCONNECTED'].includes(error.code);

const brief = (error) => `${error.message}${error.code ? ` (${error.code})` : ''}`;

// Events: 'state' with the state record whenever it changes, 'data' with
// each chunk the port gives, 'error' never (failures are part of the state).
//
// The state: status is 'idle' (no port chosen), 'opening', 'open',
// 'reconnecting' (the port went away, or was not there, and is being looked
// for), 'disconnected' (it went away, or could not be opened, and nobody
// looks for it) or 'closed' (close() was called).
class Link extends EventEmitter {
  #SerialPort;
  #reconnect;
  #port = null;
  #search = null; // the wait for a port that was not there at its open
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
    this.#search?.stop();
    await this.#drop();
    this.#update({ status: 'opening', target, path: null, baudRate, error: null, lines: null, modem: null });
    let where = null;
    let port;
    try {
      where = await whereIs(this.#SerialPort, target);
      port = await this.#openPort(where.path ?? where.identity, baudRate);
    } catch (error) {
      if (generation !== this.#generation) return;
      if (error.code === 'ERR_PORT_NOT_FOUND') {
        error.message = `no port ${target}: neither a port name nor the serial number of a device present`;
      }
      // With reconnect, a device that is not there yet is waited for too;
      // the first failure still goes to whoever asked for the open.
      if (this.#reconnect && where && comesBack(error)) this.#wait(generation, where, baudRate, error);
      else this.#update({ status: 'disconnected', error: brief(error) });
      throw error;
    }
    this.#adopt(port, generation);
  }

  // Looks for the port until it opens, as the layer looks for a lost device.
  #wait(generation, { path, identity }, baudRate, error) {
    this.#update({ status: 'reconnecting', error: brief(error) });
    this.#search = seek({
      identity,
      path,
      list: () => this.#SerialPort.list(),
      open: (where) => this.#openPort(where, baudRate),
      close: (port) => port.destroy(),
    });
    // Stopped by open() or close(), it finds nothing.
    this.#search.found.then((found) => found && this.#adopt(found.fd, generation), (failure) => {
      if (generation === this.#generation) this.#update({ status: 'disconnected', error: brief(failure) });
    });
  }

  // `target`: a path, or the identity of a device. With the modem lines
  // polled every 100 ms where the driver reports them; a driver that cannot (a
  // pseudo-terminal under Wine) gets the port without them. With reconnect,
  // the port itself follows its device through a loss.
  async #openPort(target, baudRate) {
    const options = { baudRate, reconnect: this.#reconnect };
    try {
      return await this.#SerialPort.open(target, { ...options, modemStatus: { interval: 100 } });
    } catch (error) {
      if (error.syscall !== 'GetCommModemStatus') throw error;
      return this.#SerialPort.open(target, options);
    }
  }

  #adopt(port, generation) {
    if (generation !== this.#generation || this.#closed) {
      port.destroy();
      return;
    }
    this.#port = port;
    port.on('data', (chunk) => this.emit('data', chunk));
    port.on('modemStatus', ({ status }) => this.#update({ modem: inputsOf(status) }));
    port.on('disconnect', (error) => {
      if (this.#port === port) this.#update({ status: 'reconnecting', error: brief(error), modem: null });
    });
    port.on('reconnect', () => this.#opened(port));
    // What ended it is told at its close.
    port.on('error', () => {});
    port.on('close', () => {
      if (this.#port !== port) return;
      this.#port = null;
      this.#update({ status: 'disconnected', error: port.errored ? brief(port.errored) : 'the port closed', modem: null });
    });
    this.#opened(port);
  }

  // Open, or back: the name it is on, and its lines as the port has them.
  #opened(port) {
    if (this.#port !== port) return;
    this.#update({ status: 'open', path: port.path, baudRate: port.options.baudRate, lines: port.outputLines, error: null });
    if (port.options.modemStatus) port.get().then((status) => {
      if (this.#port === port) this.#update({ modem: inputsOf(status) });
    }, () => {});
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
    this.#search?.stop();
    await this.#drop();
    this.#update({ status: 'closed', modem: null });
  }
}

const inputsOf = ({ cts, dsr, dcd }) => ({ cts, dsr, dcd });

module.exports = { Link };
