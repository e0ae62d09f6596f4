'use strict';
// When a port's device is gone: which failures say so, which failures of a new open mean "not yet", and the one error that reports a loss.
//
// Drivers disagree on how they say it. After a surprise removal, usbser.sys,
// FTDI, CH340, Prolific and Bluetooth SPP drivers fail what is pending and
// every later call with one of these, or complete nothing and say nothing at
// all (then only the port list tells).

const { watchPresence } = require('./watcher');
const { identityAt } = require('./identity');

// Win32 codes that a transfer or control call on an open port fails with
// once its device has gone: Access denied, Not ready, Bad command, General
// failure, Broken pipe, Semaphore timeout, Device not connected, Not found.
const lossCodes = new Set([5, 21, 22, 31, 109, 121, 1167, 1168]);
// Operation aborted: a loss only where the port did not cancel the call
// itself (a flush or its closing); a CDC driver aborts I/O nobody cancelled.
const ABORTED = 995;

// What the open of a device that has just arrived, or is still leaving, may
// fail with for a few hundred milliseconds (seconds, over Bluetooth): File
// and Path not found, Access denied (the old handle still held, or the
// driver not started), Not ready, General failure, Semaphore timeout, No
// such device, Device not connected, Not found.
const notReadyCodes = new Set([2, 3, 5, 21, 31, 121, 433, 1167, 1168]);

// Whether `error`, from a transfer or control call on an open port, means
// its device has gone. `cancelledBySelf`: the port itself cancelled the
// call (a flush, or its closing), so that Operation aborted is its own doing.
function isLoss(error, cancelledBySelf = false) {
  if (!error || typeof error.errno !== 'number') return false;
  if (error.errno === ABORTED) return !cancelledBySelf;
  return lossCodes.has(error.errno);
}

// Whether a failed open is worth trying again while looking for a device.
function isNotReady(error) {
  return Boolean(error) && typeof error.errno === 'number' && notReadyCodes.has(error.errno);
}

// The report of a lost device: the same whatever revealed it, with the first
// Win32 error that did as its cause (none where the device left the port
// list in silence).
function disconnected(path, cause = null) {
  const why = cause ? `: ${cause.message}` : ': it left the port list';
  const error = new Error(`${path} is disconnected, its device gone${why}`, cause ? { cause } : undefined);
  error.code = 'ERR_PORT_DISCONNECTED';
  error.path = path;
  return error;
}

// What one open port keeps watch with, from its open to its close: the
// list, for a device that goes in silence, and each failure the port sees.
// lost(error) is called once, with the disconnect error, whichever tells
// first; `identity` is what the list said of the device at the open (null
// until then, and for a port never listed).
class DeviceWatch {
  #path;
  #lost;
  #stop;
  #over = false;
  identity = null;

  constructor({ poller, path, lost }) {
    this.#path = path;
    this.#lost = lost;
    this.#stop = watchPresence(poller, path, {
      listed: (record) => { this.identity = identityAt([record], record.path); },
      gone: () => this.#report(null),
    });
  }

  // Whether `error`, from a call on the open port, says its device is gone;
  // the first that does is reported.
  failed(error, cancelledBySelf = false) {
    if (!isLoss(error, cancelledBySelf)) return false;
    this.#report(error);
    return true;
  }

  // Reports the device gone for a `cause` the port judged itself; false once
  // the loss was reported or the watch stopped.
  gone(cause) {
    if (this.#over) return false;
    this.#report(cause);
    return true;
  }

  #report(cause) {
    if (this.#over) return;
    this.stop();
    this.#lost(disconnected(this.#path, cause));
  }

  get over() {
    return this.#over;
  }

  stop() {
    this.#over = true;
    this.#stop();
  }
}

module.exports = { isLoss, isNotReady, disconnected, DeviceWatch, lossCodes, notReadyCodes };
