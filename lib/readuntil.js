'use strict';
// readUntil: one frame taken from a paused readable stream, up to a delimiter, with a deadline and a signal.
const { timedOut, aborted } = require('./errors');

// Reads `stream` on 'readable' until `delimiter` arrives and resolves with
// the bytes up to and including it. Whatever it took beyond the frame, and
// everything it took when it fails, goes back to the front of the stream's
// buffer, so that no byte is lost to the next reader.
function readUntil(stream, { delimiter, timeout, signal, maxLength }, { path, done }) {
  return new Promise((resolve, reject) => {
    const parts = [];
    let length = 0;
    let timer = null;
    let over = false;
    const joined = () => (parts.length === 1 ? parts[0] : Buffer.concat(parts, length));
    const finish = (error, frame, rest) => {
      if (over) return;
      over = true;
      if (timer) clearTimeout(timer);
      if (signal) signal.removeEventListener('abort', onAbort);
      stream.removeListener('readable', onReadable);
      stream.removeListener('end', onEnd);
      stream.removeListener('close', onEnd);
      stream.removeListener('error', onError);
      done();
      if (rest && rest.length > 0 && !stream.destroyed && !stream.readableEnded) stream.unshift(rest);
      if (error) {
        if (!error.path) error.path = path;
        reject(error);
      } else {
        resolve(frame);
      }
    };
    const giveBack = (error) => {
      const all = length > 0 ? joined() : null;
      error.received = all || Buffer.alloc(0);
      finish(error, null, all);
    };
    // Each chunk is searched once, with the delimiter's length less one
    // bytes of what came before it, where a delimiter split across reads
    // begins; the bytes are joined only once the frame is whole.
    let tail = Buffer.alloc(0);
    const tooLong = () => {
      const error = new Error(`readUntil: more than maxLength (${maxLength} bytes) came from ${path} without the delimiter`);
      error.code = 'ERR_FRAME_TOO_LONG';
      error.maxLength = maxLength;
      giveBack(error);
    };
    const onReadable = () => {
      let chunk;
      while (!over && (chunk = stream.read()) !== null) {
        const window = tail.length > 0 ? Buffer.concat([tail, chunk]) : chunk;
        const at = window.indexOf(delimiter);
        const before = length;
        parts.push(chunk);
        length += chunk.length;
        if (at >= 0) {
          const end = before - tail.length + at + delimiter.length;
          if (end - delimiter.length > maxLength) {
            tooLong();
            return;
          }
          const all = joined();
          finish(null, all.subarray(0, end), all.subarray(end));
          return;
        }
        if (length - (delimiter.length - 1) > maxLength) {
          tooLong();
          return;
        }
        tail = Buffer.from(window.subarray(Math.max(0, window.length - (delimiter.length - 1))));
      }
    };
    const onEnd = () => {
      const error = new Error(`readUntil: ${path} ended before the delimiter came`);
      error.code = 'ERR_STREAM_PREMATURE_CLOSE';
      error.received = length > 0 ? joined() : Buffer.alloc(0);
      finish(error);
    };
    const onError = (error) => finish(error);
    const onAbort = () => giveBack(aborted(path, 'readUntil', signal));
    if (signal && signal.aborted) {
      giveBack(aborted(path, 'readUntil', signal));
      return;
    }
    if (signal) signal.addEventListener('abort', onAbort, { once: true });
    if (timeout !== undefined) timer = setTimeout(() => giveBack(timedOut(path, 'readUntil', timeout)), timeout);
    stream.on('readable', onReadable);
    stream.once('end', onEnd);
    stream.once('close', onEnd);
    stream.once('error', onError);
  });
}

module.exports = { readUntil };
