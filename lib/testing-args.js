'use strict';
// The addon's argument checks and value conversions, in JavaScript, for the virtual ports.
//
// Each rule here is what the native entry functions do with a JavaScript
// value through Node-API, so that a program tested against virtual ports is
// refused, and converts, exactly as it will be on Windows.

// A TypeError as the addon throws it: the message alone, no code.
function refuse(message) {
  return new TypeError(message);
}

const isObject = (value) => (typeof value === 'object' && value !== null) || typeof value === 'function';

// napi_get_value_int64: NaN and the infinities give 0, the rest saturates at
// the ends of the 64-bit range.
function int64(number) {
  if (!Number.isFinite(number)) return 0n;
  if (number >= 2 ** 63) return 2n ** 63n - 1n;
  if (number <= -(2 ** 63)) return -(2n ** 63n);
  return BigInt(Math.trunc(number));
}

// napi_get_value_int32: the low 32 bits of the integer part, NaN and the infinities 0.
const int32 = (number) => (Number.isFinite(number) ? number | 0 : 0);

// ToNumber, as napi_coerce_to_number: a BigInt or a Symbol throws.
const toNumber = (value) => +value;

// ToNumber, a 64-bit integer, its low 32 bits as a signed value.
const low32OfInteger = (value) => Number(BigInt.asIntN(32, int64(toNumber(value))));

// ToString, as napi_coerce_to_string: a Symbol throws.
const toText = (value) => `${value}`;

// The first keyword the text is a case-insensitive prefix of, compared over
// the text's UTF-8 bytes as strncasecmp compares them.
function keyword(value, words, fallback) {
  const bytes = Buffer.from(toText(value), 'utf8');
  const lower = (c) => (c >= 65 && c <= 90 ? c + 32 : c);
  for (const [word, result] of words) {
    let same = true;
    for (let i = 0; i < bytes.length; i++) {
      const a = i < word.length ? word.charCodeAt(i) : 0;
      if (a !== lower(bytes[i])) {
        same = false;
        break;
      }
      if (a === 0) break;
    }
    if (same) return result;
  }
  return fallback;
}

const parities = [['none', 'none'], ['even', 'even'], ['mark', 'mark'], ['odd', 'odd'], ['space', 'space']];
const rtsModes = [['enable', 'enable'], ['handshake', 'handshake'], ['toggle', 'toggle']];

function stopBitsOf(value) {
  const bits = toNumber(value);
  if (bits > 1.4 && bits < 1.6) return 1.5;
  return bits === 2 ? 2 : 1;
}

// The first `limit` bytes of a text's UTF-8 form, and nothing from a NUL on,
// as a bounded "%s" copy leaves them.
function bounded(text, limit) {
  let bytes = Buffer.from(text, 'utf8');
  const nul = bytes.indexOf(0);
  if (nul >= 0) bytes = bytes.subarray(0, nul);
  return bytes.subarray(0, limit).toString('utf8');
}

// open(path, options, callback): the checks, then the path and the eleven
// options read once each, in the addon's order.
function openArguments(path, options, callback) {
  if (typeof path !== 'string') throw refuse('First argument must be a string');
  if (!isObject(options)) throw refuse('Second argument must be an object');
  if (typeof callback !== 'function') throw refuse('Third argument must be a function');
  const given = bounded(path, 1023);
  const settings = {
    baudRate: low32OfInteger(options.baudRate),
    dataBits: low32OfInteger(options.dataBits),
    parity: keyword(options.parity, parities, 'none'),
    stopBits: stopBitsOf(options.stopBits),
    rtscts: Boolean(options.rtscts),
    rtsMode: keyword(options.rtsMode, rtsModes, 'handshake'),
    xon: Boolean(options.xon),
    xoff: Boolean(options.xoff),
    xany: Boolean(options.xany),
    hupcl: Boolean(options.hupcl),
    lock: Boolean(options.lock),
  };
  return { path: given, settings };
}

// The (fd, callback) operations.
function fdThenCallback(fd, callback) {
  if (typeof fd !== 'number') throw refuse('First argument must be an int');
  const handle = int32(fd);
  if (typeof callback !== 'function') throw refuse('Second argument must be a function');
  return handle;
}

function fdThenOptions(fd, options) {
  if (typeof fd !== 'number') throw refuse('First argument must be an int');
  const handle = int32(fd);
  if (!isObject(options)) throw refuse('Second argument must be an object');
  return handle;
}

function updateArguments(fd, options, callback) {
  const handle = fdThenOptions(fd, options);
  if (!('baudRate' in options)) throw refuse('"baudRate" must be set on options object');
  if (typeof callback !== 'function') throw refuse('Third argument must be a function');
  return { fd: handle, baudRate: low32OfInteger(options.baudRate) };
}

function setArguments(fd, options, callback) {
  const handle = fdThenOptions(fd, options);
  if (typeof callback !== 'function') throw refuse('Third argument must be a function');
  const lines = {};
  for (const key of ['brk', 'rts', 'cts', 'dtr', 'dsr', 'lowLatency']) lines[key] = Boolean(options[key]);
  return { fd: handle, lines };
}

// close reads its number as ToNumber, then 64 bits cut to 32, after both checks.
function closeArguments(fd, callback) {
  if (typeof fd !== 'number') throw refuse('First argument must be an int');
  if (typeof callback !== 'function') throw refuse('Second argument must be a function');
  return low32OfInteger(fd);
}

// The bytes of a buffer argument, any typed array by its byte length; a
// DataView passes the buffer test but is no typed array, and fails as the
// addon's typed-array query does.
function bytesOf(buffer) {
  if (buffer instanceof DataView) throw new Error('Invalid argument');
  return new Uint8Array(buffer.buffer, buffer.byteOffset, buffer.byteLength);
}

function writeArguments(fd, buffer, callback) {
  if (typeof fd !== 'number') throw refuse('First argument must be an int');
  const handle = int32(fd);
  if (!ArrayBuffer.isView(buffer)) throw refuse('Second argument must be a buffer');
  const bytes = bytesOf(buffer);
  if (typeof callback !== 'function') throw refuse('Third argument must be a function');
  return { fd: handle, bytes };
}

function readArguments(fd, buffer, offset, bytesToRead, callback) {
  if (typeof fd !== 'number') throw refuse('First argument must be a fd');
  const handle = int32(fd);
  if (!ArrayBuffer.isView(buffer)) throw refuse('Second argument must be a buffer');
  const into = bytesOf(buffer);
  if (typeof offset !== 'number') throw refuse('Third argument must be an int');
  const offsetGiven = int64(offset);
  if (typeof bytesToRead !== 'number') throw refuse('Fourth argument must be an int');
  const wanted = int64(bytesToRead);
  if (offsetGiven < 0n) throw refuse("'offset' must not be negative");
  if (wanted <= 0n) throw refuse("'bytesToRead' must be greater than 0");
  const at = BigInt.asIntN(32, offsetGiven);
  if (at < 0n || wanted + at > BigInt(into.length)) {
    throw refuse("'bytesToRead' + 'offset' cannot be larger than the buffer's length");
  }
  if (typeof callback !== 'function') throw refuse('Fifth argument must be a function');
  return { fd: handle, into, offset: Number(at), wanted: Number(wanted) };
}

function listArguments(callback) {
  if (typeof callback !== 'function') throw refuse('First argument must be a function');
}

module.exports = {
  openArguments, fdThenCallback, updateArguments, setArguments, closeArguments, writeArguments, readArguments,
  listArguments, bounded,
};
