'use strict';
// DelimiterParser: frames split however the bytes arrive, the length bound,
// for await, back-pressure, its option checks, and a port piped into it.
const { test, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { pipeline, Readable, Writable } = require('node:stream');
const { DelimiterParser } = require('../../lib/parsers');
const { lintel, sim, tick } = require('./support');
const { createSerialPort } = require('../../lib/serialport');

const SerialPort = createSerialPort(lintel);
beforeEach(() => sim.reset());

// Writes the chunks one at a time, then ends; the frames seen and the error.
async function split(options, chunks) {
  const parser = new DelimiterParser(options);
  const frames = [];
  parser.on('data', (frame) => frames.push(frame));
  const done = new Promise((resolve) => {
    parser.on('end', () => resolve(null));
    parser.on('error', resolve);
  });
  for (const chunk of chunks) {
    if (parser.destroyed) break;
    await new Promise((resolve) => parser.write(chunk, resolve));
  }
  if (!parser.destroyed) parser.end();
  const error = await done;
  return { frames, error, parser };
}

// A reference split of a whole input, to check the streaming one against.
function reference(input, delimiter, includeDelimiter) {
  const frames = [];
  let at = 0;
  for (let found; (found = input.indexOf(delimiter, at)) >= 0; at = found + delimiter.length) {
    frames.push(input.subarray(at, includeDelimiter ? found + delimiter.length : found));
  }
  if (at < input.length) frames.push(input.subarray(at));
  return frames;
}

// A fixed pseudo-random sequence, so that a failure can be replayed.
function random(seed) {
  let x = seed;
  return (n) => {
    x = (x * 1103515245 + 12345) % 2 ** 31;
    return x % n;
  };
}

const text = (frames) => frames.map((f) => f.toString('latin1'));

test('frames come out whole however the input is cut, the delimiter included only when asked', async () => {
  const cases = [
    ['a frame split across chunks, default delimiter', {}, ['hel', 'lo\nwor', 'ld\n'], ['hello', 'world']],
    ['several frames in one chunk, an empty one between', {}, ['a\nb\n\nc\n'], ['a', 'b', '', 'c']],
    ['\\r\\n split across two chunks', { delimiter: '\r\n' }, ['one\r', '\ntwo\r\n'], ['one', 'two']],
    ['a lone \\r or \\n is data under \\r\\n', { delimiter: '\r\n' }, ['a\rb\nc\r\n'], ['a\rb\nc']],
    // False starts of the delimiter on both sides of each boundary.
    ['a three-byte delimiter over four chunks, after a false start', { delimiter: 'END' }, ['aEN', 'E', 'N', 'Db'], ['aEN', 'b']],
    ['the delimiter\'s first bytes held over several chunks', { delimiter: 'ABCD' }, ['xA', 'B', 'C', 'D', 'yABCD'], ['x', 'y']],
    ['includeDelimiter, the delimiter split', { delimiter: '\r\n', includeDelimiter: true }, ['a\r\nb\r', '\n'], ['a\r\n', 'b\r\n']],
    ['a byte delimiter in binary data', { delimiter: Buffer.from([0x00]) }, [Buffer.from([1, 0, 0xff]), Buffer.from([0xfe, 0, 0])],
      ['\x01', '\xff\xfe', '']],
    ['a Uint8Array delimiter', { delimiter: new Uint8Array([0x7e, 0x7e]) }, [Buffer.from('ab~'), Buffer.from('~cd~~')], ['ab', 'cd']],
    ['a string delimiter is UTF-8, its bytes split', { delimiter: '¦' }, [Buffer.from([0x61, 0xc2]), Buffer.from([0xa6, 0x62])], ['a', 'b']],
    ['bytes after the last delimiter are the last frame', {}, ['x\ny'], ['x', 'y']],
    ['that last frame has no delimiter to include', { includeDelimiter: true }, ['x\ny'], ['x\n', 'y']],
    ['nothing after the last delimiter gives no frame', {}, ['x\n'], ['x']],
    ['no input, no frame', {}, [], []],
  ];
  for (const [name, options, chunks, expected] of cases) {
    const { frames, error } = await split(options, chunks);
    assert.equal(error, null, name);
    assert.ok(frames.every(Buffer.isBuffer), name);
    assert.deepEqual(text(frames), expected, name);
  }

  // Random cuts of a long input, down to a byte at a time, against a split
  // of the whole.
  const next = random(19);
  const input = Buffer.from(Array.from({ length: 20000 }, () => '\r\n\rab'.charCodeAt(next(5))));
  for (const [delimiter, includeDelimiter, largest] of [['\r\n', false, 1], ['\r\n', true, 7], ['\n\r\n', false, 300]]) {
    const chunks = [];
    for (let at = 0; at < input.length;) {
      const n = 1 + next(largest);
      chunks.push(input.subarray(at, at + n));
      at += n;
    }
    const { frames, error } = await split({ delimiter, includeDelimiter }, chunks);
    assert.equal(error, null);
    const want = reference(input, Buffer.from(delimiter), includeDelimiter);
    assert.ok(want.length > 100, `${want.length} frames`);
    assert.deepEqual(text(frames), text(want), `${JSON.stringify(delimiter)} in chunks of 1 to ${largest}`);
  }
});

test('a frame longer than maxLength fails the stream with ERR_FRAME_TOO_LONG, and the parser holds no more than it allows', async () => {
  const cases = [
    // [name, options, chunks, frames before the error, fails]
    ['maxLength bytes exactly, the delimiter held past the bound', { maxLength: 5, delimiter: '\r\n' }, ['ok\r\n12345\r', '\n'], ['ok', '12345'], false],
    ['one byte over, in one chunk', { maxLength: 5 }, ['ok\n123456\n'], ['ok'], true],
    ['one byte over, split across chunks', { maxLength: 5, delimiter: '\r\n' }, ['ok\r\n123', '456\r', '\n'], ['ok'], true],
    ['one byte over in the last frame, at the end of input', { maxLength: 5 }, ['ok\n123456'], ['ok'], true],
    ['over the bound while held, before any delimiter', { maxLength: 5 }, ['1234', '56', '7'], [], true],
  ];
  for (const [name, options, chunks, before, fails] of cases) {
    const { frames, error } = await split(options, chunks);
    assert.deepEqual(text(frames), before, name);
    if (!fails) {
      assert.equal(error, null, name);
      continue;
    }
    assert.ok(error instanceof Error, name);
    assert.equal(error.code, 'ERR_FRAME_TOO_LONG', name);
    assert.equal(error.maxLength, options.maxLength, name);
    assert.match(error.message, /longer than maxLength \(5 bytes\)/, name);
  }

  // A stream that never sends the delimiter is cut off once the bound is
  // passed, not buffered: the 1 KiB chunks after that point are refused.
  const parser = new DelimiterParser({ maxLength: 4096 });
  const failed = new Promise((resolve) => parser.on('error', resolve));
  let accepted = 0;
  for (let i = 0; i < 1024 && !parser.destroyed; i++) {
    await new Promise((resolve) => parser.write(Buffer.alloc(1024, 'x'), (error) => {
      if (!error) accepted++;
      resolve();
    }));
  }
  assert.equal((await failed).code, 'ERR_FRAME_TOO_LONG');
  assert.ok(accepted <= 4, `${accepted} chunks of 1 KiB accepted with maxLength 4096`);

  // Through pipeline, the error reaches the end of the chain.
  const sink = new Writable({ objectMode: true, write: (frame, encoding, callback) => callback() });
  const result = await new Promise((resolve) => pipeline(Readable.from(['a\n', 'bbbbbbbbbbbbbbbbbbbbbb']), new DelimiterParser({ maxLength: 8 }), sink, resolve));
  assert.equal(result.code, 'ERR_FRAME_TOO_LONG');
});

test('for await gets one Buffer per frame, also frames that waited together; a port piped in ends the loop when it closes', async () => {
  const parser = new DelimiterParser({ delimiter: '\r\n' });
  // All written before anything reads: a byte-mode readable side would hand
  // these over as one Buffer.
  parser.end('one\r\ntwo\r\nthree\r\n');
  const frames = [];
  for await (const frame of parser) frames.push(frame);
  assert.ok(frames.every(Buffer.isBuffer));
  assert.deepEqual(text(frames), ['one', 'two', 'three']);

  sim.createPort('COM3');
  const port = await SerialPort.open('COM3', { baudRate: 9600 });
  const lines = new DelimiterParser({ delimiter: '\r\n' });
  const piped = new Promise((resolve) => pipeline(port, lines, resolve));
  const reading = (async () => {
    const got = [];
    for await (const frame of lines) got.push(frame.toString());
    return got;
  })();
  for (const piece of ['$GPGGA,1\r', '\n$GPGGA,2\r\n$GP', 'GGA,3\r\n']) {
    sim.feed('COM3', Buffer.from(piece));
    await tick(20);
  }
  await port.close();
  assert.deepEqual(await reading, ['$GPGGA,1', '$GPGGA,2', '$GPGGA,3']);
  assert.equal(await piped, undefined);
});

test('back-pressure holds: with nobody reading the frames, the parser stops taking input', async () => {
  const total = 1000;
  let produced = 0;
  const source = new Readable({
    read() {
      if (produced === total) return this.push(null);
      produced++;
      return this.push(Buffer.from(`${'x'.repeat(1000)}${String(produced).padStart(6, '0')}\n`));
    },
  });
  const parser = new DelimiterParser();
  const piped = new Promise((resolve) => pipeline(source, parser, resolve));
  await tick(100);
  // The source's buffer, the parser's input buffer (node's default high-water
  // mark: 16 KiB before Node 22, 64 KiB since) and its 16 frames waiting:
  // some tens of chunks, not all of them.
  const chunks = (bytes) => Math.ceil(bytes / 1007);
  const held = chunks(source.readableHighWaterMark) + chunks(parser.writableHighWaterMark) + parser.readableHighWaterMark;
  assert.ok(produced <= held + 2 && produced < total / 4, `${produced} of ${total} chunks taken with nobody reading (${held} held)`);
  let count = 0;
  for await (const frame of parser) {
    count++;
    assert.equal(frame.toString().slice(1000), String(count).padStart(6, '0'));
  }
  assert.equal(count, total);
  assert.equal(await piped, undefined);
});

test('options are checked, each failure naming the option', () => {
  const cases = [
    [null, TypeError, /DelimiterParser options must be an object; got null/],
    ['\n', TypeError, /options must be an object/],
    [{ delimeter: '\n' }, TypeError, /option "delimeter" is unknown\. The options are delimiter, includeDelimiter, maxLength/],
    [{ maxlength: 5 }, TypeError, /option "maxlength" is unknown; did you mean maxLength\?/],
    [{ delimiter: '' }, RangeError, /option delimiter: "" is not allowed; expected a non-empty string, Buffer or Uint8Array/],
    [{ delimiter: Buffer.alloc(0) }, RangeError, /option delimiter/],
    [{ delimiter: 10 }, TypeError, /option delimiter: 10 is not allowed/],
    [{ delimiter: ['\n'] }, TypeError, /option delimiter/],
    [{ includeDelimiter: 'yes' }, TypeError, /option includeDelimiter: "yes" is not allowed; expected true or false/],
    [{ maxLength: '80' }, TypeError, /option maxLength: "80" is not allowed; expected an integer number of bytes from 1 to 1073741824/],
    [{ maxLength: 0 }, RangeError, /option maxLength: 0 is not allowed/],
    [{ maxLength: 1.5 }, RangeError, /option maxLength: 1.5/],
    [{ maxLength: 2 ** 30 + 1 }, RangeError, /option maxLength: 1073741825/],
    [{ maxLength: Infinity }, RangeError, /option maxLength: Infinity/],
  ];
  for (const [options, Kind, message] of cases) {
    assert.throws(() => new DelimiterParser(options), (e) => e instanceof Kind && message.test(e.message) &&
      e.code === (Kind === TypeError && /option [a-zA-Z]+:/.test(e.message) ? 'ERR_INVALID_ARG_TYPE' : Kind === RangeError ? 'ERR_OUT_OF_RANGE' : undefined),
    JSON.stringify(options));
  }
  // The caller's delimiter buffer is copied: changing it later changes nothing.
  const delimiter = Buffer.from(';');
  const parser = new DelimiterParser({ delimiter });
  delimiter[0] = 0x2c;
  const frames = [];
  parser.on('data', (f) => frames.push(f.toString()));
  parser.write('a;b,c;');
  assert.deepEqual(frames, ['a', 'b,c']);
});
