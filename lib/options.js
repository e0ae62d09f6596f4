'use strict';
// The options of SerialPort and of its watcher, checked in full.
// Everything is checked before anything reaches the addon: only full keywords, each value of its own type and range, and no
// key that is not one of them, so that a misspelt key is an error rather
// than a default silently applied.

const { outOfRange } = require('./errors');

const choices = {
  parity: ['none', 'even', 'odd', 'mark', 'space'],
  rtsMode: ['enable', 'handshake', 'toggle'],
  stopBits: [1, 1.5, 2],
};
const flags = ['rtscts', 'xon', 'xoff', 'xany', 'hupcl', 'lock'];

const defaults = {
  dataBits: 8, parity: 'none', stopBits: 1, rtscts: false, rtsMode: 'handshake',
  xon: false, xoff: false, xany: false, hupcl: true, lock: true, highWaterMark: 64 * 1024, closeTimeout: 5000,
};
const known = ['baudRate', ...Object.keys(defaults), 'modemStatus', 'reconnect'];
// One read takes at most highWaterMark bytes into a buffer of that size that
// lives as long as the port; beyond a few MiB it only costs memory.
const maxHighWaterMark = 16 * 1024 * 1024;
// close() gives the writes made before it this long to go out, at most; a
// port that flow control holds for longer is not one a program should wait on.
const maxCloseTimeout = 10000;
// setTimeout takes at most 2^31-1 ms and polls every millisecond beyond it.
const maxInterval = 2 ** 31 - 1;

// Coded as Node codes its own argument errors: a value of the wrong type, a
// value of the right type that is not allowed, a number out of range.
function coded(error, code) {
  error.code = code;
  return error;
}
const invalidType = (message) => coded(new TypeError(message), 'ERR_INVALID_ARG_TYPE');
const invalidValue = (message, Kind = TypeError) => coded(new Kind(message), 'ERR_INVALID_ARG_VALUE');

const show = (value) => (typeof value === 'string' ? JSON.stringify(value) : typeof value === 'bigint' ? `${value}n` : String(value));

function fail(Kind, key, value, allowed, code = Kind === TypeError ? 'ERR_INVALID_ARG_TYPE' : 'ERR_OUT_OF_RANGE') {
  throw coded(new Kind(`SerialPort option ${key}: ${show(value)} is not allowed; expected ${allowed}`), code);
}

function integerIn(key, value, low, high, what) {
  if (typeof value !== 'number') fail(TypeError, key, value, what);
  if (!Number.isInteger(value) || value < low || value > high) fail(RangeError, key, value, what);
}

function oneOf(key, value) {
  const list = choices[key];
  if (!list.includes(value)) {
    const allowed = `one of ${list.map(show).join(', ')}`;
    if (list.some((c) => typeof c === typeof value)) fail(RangeError, key, value, allowed, 'ERR_INVALID_ARG_VALUE');
    fail(TypeError, key, value, allowed);
  }
}

// The options in effect: the given ones, checked, over the defaults.
function portOptions(options) {
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw invalidType(`SerialPort options must be an object with at least baudRate; got ${show(options)}`);
  }
  for (const key of Object.keys(options)) {
    if (!known.includes(key)) {
      const near = known.find((k) => k.toLowerCase() === key.toLowerCase());
      throw invalidValue(`SerialPort option ${JSON.stringify(key)} is unknown${near ? `; did you mean ${near}?` : '.'}` +
        ` The options are ${known.join(', ')}.`);
    }
  }
  if (options.baudRate === undefined) {
    throw invalidType('SerialPort option baudRate is required: a positive integer such as 9600 or 115200');
  }
  const result = { baudRate: options.baudRate, ...defaults };
  for (const key of Object.keys(defaults)) {
    if (options[key] !== undefined) result[key] = options[key];
  }
  result.modemStatus = modemStatusOption(options.modemStatus);
  result.reconnect = reconnectOption(options.reconnect);
  // The addon keeps the low 32 bits of a rate, so a larger one would wrap.
  integerIn('baudRate', result.baudRate, 1, 0xFFFFFFFF, 'a positive integer such as 9600 or 115200');
  integerIn('dataBits', result.dataBits, 5, 8, 'an integer from 5 to 8');
  integerIn('highWaterMark', result.highWaterMark, 1, maxHighWaterMark, `an integer from 1 to ${maxHighWaterMark} (16 MiB)`);
  if (typeof result.closeTimeout !== 'number') fail(TypeError, 'closeTimeout', result.closeTimeout, 'a number of milliseconds');
  if (!(result.closeTimeout >= 0 && result.closeTimeout <= maxCloseTimeout)) {
    throw outOfRange('closeTimeout', result.closeTimeout, `from 0 to ${maxCloseTimeout} milliseconds`);
  }
  oneOf('parity', result.parity);
  oneOf('stopBits', result.stopBits);
  oneOf('rtsMode', result.rtsMode);
  for (const key of flags) {
    if (typeof result[key] !== 'boolean') fail(TypeError, key, result[key], 'true or false');
  }
  // Windows refuses these pairs when the port is configured; said here, the
  // error names both options rather than "The parameter is incorrect".
  const { dataBits, stopBits } = result;
  if ((dataBits === 5 && stopBits === 2) || (dataBits !== 5 && stopBits === 1.5)) {
    throw invalidValue(`SerialPort options dataBits: ${dataBits} and stopBits: ${stopBits} cannot go together; ` +
      'Windows takes 1.5 stop bits only with 5 data bits, and 2 stop bits only with 6 to 8', RangeError);
  }
  // The driver drives RTS by rtsMode only under hardware flow control; without
  // it the choice would be dropped without a word.
  if (options.rtsMode !== undefined && !result.rtscts) {
    throw invalidValue(`SerialPort option rtsMode: ${show(result.rtsMode)} takes effect only with rtscts: true; ` +
      'without it RTS stays low (use set({ rts }) to drive it)');
  }
  return result;
}

// Off unless asked for; on, the poll's interval in milliseconds.
function modemStatusOption(value) {
  if (value === undefined || value === false) return null;
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    fail(TypeError, 'modemStatus', value, 'an object such as { interval: 100 }, or false');
  }
  for (const key of Object.keys(value)) {
    if (key !== 'interval') throw invalidValue(`SerialPort option modemStatus.${key} is unknown; the only one is interval.`);
  }
  const { interval = 100 } = value;
  if (typeof interval !== 'number') fail(TypeError, 'modemStatus.interval', interval, 'a number of milliseconds');
  if (!(interval >= 1 && interval <= maxInterval)) {
    throw outOfRange('modemStatus.interval', interval, `from 1 to ${maxInterval} milliseconds`);
  }
  return Object.freeze({ interval });
}

// Off unless asked for: true, or { timeout, signal } to give up after
// `timeout` ms from the loss (none by default) or when `signal` aborts.
function reconnectOption(value) {
  if (value === undefined || value === false) return null;
  if (value === true) return Object.freeze({ timeout: null, signal: null });
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    fail(TypeError, 'reconnect', value, 'true, false or { timeout, signal }');
  }
  for (const key of Object.keys(value)) {
    if (key !== 'timeout' && key !== 'signal') {
      throw invalidValue(`SerialPort option reconnect.${key} is unknown; the keys are timeout and signal.`);
    }
  }
  const { timeout = null, signal = null } = value;
  if (timeout !== null) {
    if (typeof timeout !== 'number') fail(TypeError, 'reconnect.timeout', timeout, 'a number of milliseconds');
    if (!(timeout >= 0 && timeout <= maxInterval)) {
      throw outOfRange('reconnect.timeout', timeout, `from 0 to ${maxInterval} milliseconds`);
    }
  }
  if (signal !== null) checkSignal(signal, 'SerialPort option reconnect');
  return Object.freeze({ timeout, signal });
}

// The options of update, checked alike.
function updateOptions(options) {
  if (options === null || typeof options !== 'object') {
    throw invalidType(`SerialPort update options must be an object with baudRate; got ${show(options)}`);
  }
  for (const key of Object.keys(options)) {
    if (key !== 'baudRate') throw invalidValue(`SerialPort update option ${JSON.stringify(key)} is unknown; the only option is baudRate.`);
  }
  integerIn('baudRate', options.baudRate, 1, 0xFFFFFFFF, 'a positive integer such as 9600 or 115200');
  return { baudRate: options.baudRate };
}

// The output lines of set: booleans only; the ones left out keep their state.
// CTS and DSR are inputs: the raw set's keys of those names only choose
// event-mask bits that nothing here waits on.
function lineOptions(options, rtsDrivenBy) {
  const lines = ['rts', 'dtr', 'brk'];
  if (options === null || typeof options !== 'object') {
    throw invalidType(`SerialPort set options must be an object of ${lines.join(', ')}; got ${show(options)}`);
  }
  const result = {};
  for (const [key, value] of Object.entries(options)) {
    if (key === 'cts' || key === 'dsr') {
      throw invalidValue(`SerialPort set option ${key} is not an output line: ${key.toUpperCase()} is driven by the other end. ` +
        "Read it with get(), or open with modemStatus: { interval } for 'modemStatus' events when it changes.");
    }
    if (!lines.includes(key)) throw invalidValue(`SerialPort set option ${JSON.stringify(key)} is unknown; the lines are ${lines.join(', ')}.`);
    if (typeof value !== 'boolean') fail(TypeError, key, value, 'true or false');
    result[key] = value;
  }
  if (result.rts !== undefined && rtsDrivenBy) {
    throw invalidValue(`SerialPort set option rts: under rtscts with rtsMode ${show(rtsDrivenBy)} the driver drives RTS; ` +
      "open with rtsMode: 'enable' to drive it with set()");
  }
  return result;
}

// The options of readUntil.
function readUntilOptions(delimiter, options = {}) {
  if (typeof delimiter === 'string') {
    delimiter = Buffer.from(delimiter, 'utf8');
  } else if (delimiter instanceof Uint8Array) {
    delimiter = Buffer.from(delimiter);
  } else {
    throw invalidType(`readUntil delimiter must be a non-empty string, Buffer or Uint8Array; got ${show(delimiter)}`);
  }
  if (delimiter.length === 0) throw outOfRange('delimiter', '""', 'at least one byte long');
  if (options === null || typeof options !== 'object') {
    throw invalidType(`readUntil options must be an object; got ${show(options)}`);
  }
  const keys = ['timeout', 'signal', 'maxLength'];
  for (const key of Object.keys(options)) {
    if (!keys.includes(key)) throw invalidValue(`readUntil option ${JSON.stringify(key)} is unknown; the options are ${keys.join(', ')}.`);
  }
  const { timeout, signal, maxLength = 64 * 1024 } = options;
  if (timeout !== undefined) {
    if (typeof timeout !== 'number') throw invalidType(`readUntil option timeout: ${show(timeout)} is not allowed; expected a number of milliseconds`);
    if (!(timeout >= 1 && timeout <= maxInterval)) throw outOfRange('timeout', timeout, `from 1 to ${maxInterval} milliseconds`);
  }
  checkSignal(signal, 'readUntil');
  if (typeof maxLength !== 'number') throw invalidType(`readUntil option maxLength: ${show(maxLength)} is not allowed; expected an integer`);
  if (!Number.isInteger(maxLength) || maxLength < 1 || maxLength > 2 ** 30) {
    throw outOfRange('maxLength', maxLength, `an integer from 1 to ${2 ** 30}`);
  }
  return { delimiter, timeout, signal, maxLength };
}

function checkSignal(signal, what) {
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw invalidType(`${what} option signal must be an AbortSignal; got ${show(signal)}`);
  }
}

// The options of SerialPort.watch.
function watchOptions(options = {}) {
  if (options === null || typeof options !== 'object') {
    throw invalidType(`SerialPort.watch options must be an object; got ${show(options)}`);
  }
  for (const key of Object.keys(options)) {
    if (key !== 'interval' && key !== 'unref') {
      throw invalidValue(`SerialPort.watch option ${JSON.stringify(key)} is unknown; the options are interval and unref.`);
    }
  }
  const { interval = 1000, unref = false } = options;
  if (typeof interval !== 'number') fail(TypeError, 'interval', interval, 'a number of milliseconds');
  if (!(interval >= 1 && interval <= maxInterval)) {
    throw outOfRange('interval', interval, `from 1 to ${maxInterval} milliseconds`);
  }
  if (typeof unref !== 'boolean') fail(TypeError, 'unref', unref, 'true or false');
  return { interval, unref };
}

module.exports = { reconnectOption, portOptions, updateOptions, lineOptions, readUntilOptions, checkSignal, watchOptions };
