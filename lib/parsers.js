'use strict';
// Parsers: Transform streams that turn the bytes of a port into frames.
const { Transform } = require('node:stream');

const defaults = { delimiter: '\n', includeDelimiter: false, maxLength: 64 * 1024 };
const known = Object.keys(defaults);
// What one frame may hold at most. The parser keeps at most maxLength plus
// the delimiter's length bytes, so this also bounds its memory.
const maxMaxLength = 2 ** 30;

const show = (value) => (typeof value === 'string' ? JSON.stringify(value) : typeof value === 'bigint' ? `${value}n` : String(value));

function fail(Kind, code, key, value, allowed) {
  const error = new Kind(`DelimiterParser option ${key}: ${show(value)} is not allowed; expected ${allowed}`);
  error.code = code;
  throw error;
}

function parserOptions(options) {
  if (options === undefined) options = {};
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`DelimiterParser options must be an object; got ${show(options)}`);
  }
  for (const key of Object.keys(options)) {
    if (!known.includes(key)) {
      const near = known.find((k) => k.toLowerCase() === key.toLowerCase());
      throw new TypeError(`DelimiterParser option ${JSON.stringify(key)} is unknown${near ? `; did you mean ${near}?` : '.'}` +
        ` The options are ${known.join(', ')}.`);
    }
  }
  const result = { ...defaults };
  for (const key of known) {
    if (options[key] !== undefined) result[key] = options[key];
  }
  const bytesWanted = 'a non-empty string, Buffer or Uint8Array';
  let { delimiter } = result;
  if (typeof delimiter === 'string') {
    delimiter = Buffer.from(delimiter, 'utf8');
  } else if (delimiter instanceof Uint8Array) {
    // A copy: the caller may reuse its buffer while the parser still splits.
    delimiter = Buffer.from(delimiter);
  } else {
    fail(TypeError, 'ERR_INVALID_ARG_TYPE', 'delimiter', delimiter, bytesWanted);
  }
  if (delimiter.length === 0) fail(RangeError, 'ERR_OUT_OF_RANGE', 'delimiter', result.delimiter, bytesWanted);
  if (typeof result.includeDelimiter !== 'boolean') {
    fail(TypeError, 'ERR_INVALID_ARG_TYPE', 'includeDelimiter', result.includeDelimiter, 'true or false');
  }
  const lengthWanted = `an integer number of bytes from 1 to ${maxMaxLength}`;
  if (typeof result.maxLength !== 'number') fail(TypeError, 'ERR_INVALID_ARG_TYPE', 'maxLength', result.maxLength, lengthWanted);
  if (!Number.isInteger(result.maxLength) || result.maxLength < 1 || result.maxLength > maxMaxLength) {
    fail(RangeError, 'ERR_OUT_OF_RANGE', 'maxLength', result.maxLength, lengthWanted);
  }
  return { ...result, delimiter };
}

function tooLong(maxLength) {
  const error = new Error(`DelimiterParser: a frame longer than maxLength (${maxLength} bytes) came without its delimiter`);
  error.code = 'ERR_FRAME_TOO_LONG';
  error.maxLength = maxLength;
  return error;
}

// Splits the bytes written to it on a delimiter and gives one Buffer per
// frame. The readable side is in object mode: each frame stays one chunk for
// read(), 'data' and for await alike, where a byte stream would run frames
// that wait together into one Buffer.
class DelimiterParser extends Transform {
  #delimiter;
  #includeDelimiter;
  #maxLength;
  // The bytes after the last delimiter, in a buffer that grows by doubling
  // and is reused between frames, so that a frame arriving a byte at a time
  // is not copied again with every byte.
  #held = Buffer.alloc(0);
  #heldLength = 0;

  constructor(options) {
    const { delimiter, includeDelimiter, maxLength } = parserOptions(options);
    super({ readableObjectMode: true });
    this.#delimiter = delimiter;
    this.#includeDelimiter = includeDelimiter;
    this.#maxLength = maxLength;
  }

  _transform(chunk, encoding, callback) {
    const d = this.#delimiter;
    let at = 0;
    if (this.#heldLength > 0) {
      // The first delimiter may begin in the held bytes and end in this chunk.
      const heldTail = Math.min(this.#heldLength, d.length - 1);
      const joint = Buffer.concat([this.#held.subarray(this.#heldLength - heldTail, this.#heldLength),
        chunk.subarray(0, d.length - 1)]);
      let end = -1; // where the delimiter ends, in the chunk
      const inJoint = joint.indexOf(d);
      if (inJoint >= 0) {
        end = inJoint + d.length - heldTail;
      } else {
        const inChunk = chunk.indexOf(d);
        if (inChunk >= 0) end = inChunk + d.length;
      }
      if (end < 0) {
        callback(this.#hold(chunk));
        return;
      }
      const frame = Buffer.concat([this.#held.subarray(0, this.#heldLength), chunk.subarray(0, end)]);
      this.#heldLength = 0;
      if (!this.#emit(frame, 0, frame.length - d.length)) {
        callback(tooLong(this.#maxLength));
        return;
      }
      at = end;
    }
    for (;;) {
      const found = chunk.indexOf(d, at);
      if (found < 0) break;
      if (!this.#emit(chunk, at, found)) {
        callback(tooLong(this.#maxLength));
        return;
      }
      at = found + d.length;
    }
    callback(this.#hold(chunk.subarray(at)));
  }

  // At the end of input the bytes after the last delimiter are the last
  // frame, without a delimiter: a device that ends a line by closing the
  // port, or a cut line, is then still seen rather than dropped unsaid.
  _flush(callback) {
    const length = this.#heldLength;
    this.#heldLength = 0;
    if (length > this.#maxLength) {
      callback(tooLong(this.#maxLength));
      return;
    }
    if (length > 0) this.push(Buffer.from(this.#held.subarray(0, length)));
    this.#held = Buffer.alloc(0);
    callback();
  }

  // Pushes source[start, end) with the delimiter after it if asked; false
  // when the frame is too long.
  #emit(source, start, end) {
    if (end - start > this.#maxLength) return false;
    const stop = this.#includeDelimiter ? end + this.#delimiter.length : end;
    // A copy: frames outlive the chunk they came in.
    this.push(Buffer.from(source.subarray(start, stop)));
    return true;
  }

  // Keeps bytes that have no delimiter yet; the error when they make the
  // frame too long. With more than maxLength bytes and a partial delimiter
  // held, no delimiter can make the frame short enough any more, so the
  // bytes are refused before they are copied.
  #hold(bytes) {
    const needed = this.#heldLength + bytes.length;
    if (needed >= this.#maxLength + this.#delimiter.length) return tooLong(this.#maxLength);
    if (bytes.length === 0) return null;
    if (needed > this.#held.length) {
      const grown = Buffer.allocUnsafe(Math.max(needed, 2 * this.#held.length, 64));
      this.#held.copy(grown, 0, 0, this.#heldLength);
      this.#held = grown;
    }
    bytes.copy(this.#held, this.#heldLength);
    this.#heldLength = needed;
    return null;
  }
}

module.exports = { DelimiterParser };
