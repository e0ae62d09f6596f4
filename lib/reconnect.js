'use strict';
// The search for a device that has gone: where to look, how often, and for how long.
const { findPort } = require('./identity');
const { isNotReady, isLoss } = require('./loss');

// A device just back refuses opens for a few hundred milliseconds, a
// Bluetooth link for seconds: tries come quickly at first, then every 2 s.
const delays = [100, 200, 400, 800, 1600, 2000];

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
    return { found, done: Promise.resolve(), stop: () => {} };
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

  const done = (async () => {
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
        await close(fd);
        return;
      }
      finish('resolve', { fd, path: where });
    }
  })();
  return { found, done, stop: () => finish('resolve', null) };
}

module.exports = { seek, delays };
