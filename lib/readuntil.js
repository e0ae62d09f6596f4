'use strict';
// readUntil: the bytes of one frame, up to a delimiter, taken ahead of every other reader, with a deadline and a signal.
const { timedOut, aborted } = require('./errors');

// A taker that the port feeds, in order, every byte it reads while the frame
// is incomplete, before any reader of the stream sees it. take(chunk) returns
// null while it wants more, else the bytes after the frame (perhaps none),
// which are the stream's again. settle(error, frame, giveBack) is called
// once: giveBack, when set, is every byte taken, to go back to the front of
// the stream; error.received holds the same bytes.
function frameTaker({ delimiter, timeout, signal, maxLength }, path, settle) {
  const parts = [];
  let length = 0;
  let timer = null;
  let over = false;
  // Each chunk is searched once, with the delimiter's length less one bytes
  // of what came before it, where a delimiter split across reads begins.
  let tail = Buffer.alloc(0);
  const taken = () => (parts.length === 1 ? parts[0] : Buffer.concat(parts, length));
  const finish = (error, frame, giveBack) => {
    if (over) return;
    over = true;
    clearTimeout(timer);
    if (signal) signal.removeEventListener('abort', onAbort);
    if (error) {
      error.received = taken();
      if (error.path === undefined) error.path = path;
    }
    settle(error, frame, giveBack);
  };
  const fail = (error) => finish(error, null, taken());
  const onAbort = () => fail(aborted(path, 'readUntil', signal));
  const tooLong = () => {
    const error = new Error(`readUntil: more than maxLength (${maxLength} bytes) came from ${path} without the delimiter`);
    error.code = 'ERR_FRAME_TOO_LONG';
    error.maxLength = maxLength;
    fail(error);
    return Buffer.alloc(0);
  };
  const take = (chunk) => {
    if (over) return chunk;
    const window = tail.length > 0 ? Buffer.concat([tail, chunk]) : chunk;
    const at = window.indexOf(delimiter);
    const before = length;
    parts.push(chunk);
    length += chunk.length;
    if (at < 0) {
      if (length - (delimiter.length - 1) > maxLength) return tooLong();
      tail = Buffer.from(window.subarray(Math.max(0, window.length - (delimiter.length - 1))));
      return null;
    }
    const end = before - tail.length + at + delimiter.length;
    if (end - delimiter.length > maxLength) return tooLong();
    const all = taken();
    finish(null, all.subarray(0, end), null);
    return all.subarray(end);
  };
  // The stream ended, or failed, first: the bytes taken come with the error only.
  const end = (error) => {
    if (!error) {
      error = new Error(`readUntil: ${path} ended before the delimiter came`);
      error.code = 'ERR_STREAM_PREMATURE_CLOSE';
    }
    finish(error, null, null);
  };
  if (signal && signal.aborted) {
    onAbort();
  } else {
    if (signal) signal.addEventListener('abort', onAbort, { once: true });
    if (timeout !== undefined) timer = setTimeout(() => fail(timedOut(path, 'readUntil', timeout)), timeout);
  }
  return { take, end, get over() { return over; } };
}

module.exports = { frameTaker };
