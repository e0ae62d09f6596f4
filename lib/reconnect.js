'use strict';
// The search for a device that has gone: where to look, how often, and for how long.
const { findPort } = require('./identity');
const { isNotReady, isLoss } = require('./loss');
const { checkSignal } = require('./options');

// A device just back refuses opens for a few hundred milliseconds, a
// Bluetooth link for seconds: tries come quickly at first, then every 2 s.
const delays = [100, 200, 400, 800, 1600, 2000];
const maxTimeout = 2 ** 31 - 1;

// The reconnect option: false, true, or { timeout, signal }.
function reconnectOption(value) {
  if (value === undefined || value === false) return null;
  if (value === true) return Object.freeze({ timeout: null, signal: null });
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    throw new TypeError(`SerialPort option reconnect: ${String(value)} is not allowed; expected true, false or { timeout, signal }`);
  }
  for (const key of Object.keys(value)) {
    if (key !== 'timeout' && key !== 'signal') {
      throw new TypeError(`SerialPort option reconnect: ${JSON.stringify(key)} is unknown; the keys are timeout and signal`);
    }
  }
  const { timeout = null, signal = null } = value;
  if (timeout !== null) {
    if (typeof timeout !== 'number') throw new TypeError(`SerialPort option reconnect.timeout: ${String(timeout)} is not a number of milliseconds`);
    if (!(timeout >= 0 && timeout <= maxTimeout)) {
      const error = new RangeError(`The value of "reconnect.timeout" is out of range. It must be from 0 to ${maxTimeout} milliseconds. Received ${String(timeout)}`);
      error.code = 'ERR_OUT_OF_RANGE';
      throw error;
    }
  }
  if (signal !== null) checkSignal(signal, 'SerialPort option reconnect');
  return Object.freeze({ timeout, signal });
}

// Looks for the device from the moment it was lost until it opens again:
// by `identity` in the port list where there is one, else by `path`. Each
// failed try that says "not yet" (no such port, or one that refuses to open
// for now) is followed by another after the next delay; any other failure
// ends the search with it. `lost` is what ends it when `timeout` passes or
// `signal` aborts.
//
// open(path) resolves with a handle; close(fd) closes one the search opened
// once it no longer wanted it. Returns { found, stop }: found resolves with
// { fd, path } or rejects; stop() ends the search, found then resolving with
// null. Nothing of it (timer, listener) outlives the search.
function seek({ identity, path, list, open, close, timeout = null, signal = null, lost }) {
  let stopped = false;
  let timer = null;
  let deadline = null;
  let wake = null;
  let onAbort = null;
  let settle;
  const found = new Promise((resolve, reject) => { settle = { resolve, reject }; });
  const finish = (how, value) => {
    if (stopped) return;
    stopped = true;
    clearTimeout(timer);
    clearTimeout(deadline);
    if (onAbort) signal.removeEventListener('abort', onAbort);
    if (wake) wake();
    settle[how](value);
  };
  if (signal?.aborted) {
    finish('reject', lost);
    return { found, stop: () => {} };
  }
  if (signal) {
    onAbort = () => finish('reject', lost);
    signal.addEventListener('abort', onAbort, { once: true });
  }
  if (timeout !== null) deadline = setTimeout(() => finish('reject', lost), timeout);

  const pause = (ms) => new Promise((resolve) => {
    wake = resolve;
    timer = setTimeout(resolve, ms);
  });

  (async () => {
    for (let attempt = 0; !stopped; attempt++) {
      await pause(delays[Math.min(attempt, delays.length - 1)]);
      if (stopped) return;
      let where = path;
      if (identity) {
        let ports;
        try {
          ports = await list();
        } catch {
          // A list that failed tells nothing either way.
          continue;
        }
        try {
          ({ path: where } = findPort(ports, identity));
        } catch {
          continue;
        }
        if (stopped) return;
      }
      let fd;
      try {
        fd = await open(where);
      } catch (error) {
        // Not there yet, or there and still leaving (a restore that failed as a lost device's calls do).
        if (isNotReady(error) || isLoss(error)) continue;
        finish('reject', error);
        return;
      }
      if (stopped) {
        close(fd);
        return;
      }
      finish('resolve', { fd, path: where });
    }
  })();
  return { found, stop: () => finish('resolve', null) };
}

module.exports = { reconnectOption, seek, delays };
