// Framed lines written at one end of a null-modem pair through SerialPort,
// read at the other through the port piped into DelimiterParser, and a frame
// over maxLength that must fail the pipeline and close the port. argv: the
// addon, the two ends, the number of lines.
const crypto = require('crypto');
const path = require('path');
const { pipeline } = require('stream');
const lib = path.join(__dirname, '..', '..', '..', 'lib');
const { createSerialPort } = require(path.join(lib, 'serialport'));
const { DelimiterParser } = require(path.join(lib, 'parsers'));
const SerialPort = createSerialPort(require(process.argv[2]));
const [a, b, countText] = process.argv.slice(3);
const count = Number(countText);
const digest = (parts) => crypto.createHash('sha256').update(parts.join('\u0000')).digest('hex');

// Lines of 0 to 300 bytes (empty ones too), and bytes \r and \n alone inside
// them, which are data under a \r\n delimiter.
function makeLines() {
  return Array.from({ length: count }, (_, i) => {
    const body = crypto.randomBytes(i % 301).toString('base64').slice(0, i % 301);
    return i % 7 === 3 ? `${body}\r${i}\n${i}` : body;
  });
}

// Writes the bytes in uneven pieces, so that delimiters fall across writes.
async function writeUneven(port, bytes) {
  const sizes = [1, 513, 2, 4093, 3, 97];
  for (let at = 0, i = 0; at < bytes.length; i++) {
    const piece = bytes.subarray(at, at + sizes[i % sizes.length]);
    at += piece.length;
    if (!port.write(piece)) await new Promise((resolve) => port.once('drain', resolve));
  }
}

async function exchange() {
  const lines = makeLines();
  const writer = await SerialPort.open(a, { baudRate: 115200 });
  const reader = await SerialPort.open(b, { baudRate: 115200 });
  const parser = new DelimiterParser({ delimiter: '\r\n' });
  const piped = new Promise((resolve) => pipeline(reader, parser, resolve));
  const got = [];
  const reading = (async () => {
    for await (const frame of parser) {
      got.push(frame.toString('latin1'));
      // Every line has come: closing the far end ends the loop.
      if (got.length === lines.length) reader.close();
    }
  })();
  await writeUneven(writer, Buffer.from(lines.map((line) => `${line}\r\n`).join(''), 'latin1'));
  await writer.close();
  await reading;
  const pipeError = await piped;
  const firstDifference = lines.findIndex((line, i) => got[i] !== line);
  return {
    lines: lines.length, frames: got.length, exact: digest(got) === digest(lines) && got.length === lines.length,
    firstDifference, pipeError: pipeError ? pipeError.message : null, closed: !reader.isOpen && !writer.isOpen,
  };
}

async function tooLong() {
  const writer = await SerialPort.open(a, { baudRate: 115200 });
  const reader = await SerialPort.open(b, { baudRate: 115200 });
  const parser = new DelimiterParser({ maxLength: 64 });
  const frames = [];
  parser.on('data', (frame) => frames.push(frame.toString()));
  const piped = new Promise((resolve) => pipeline(reader, parser, resolve));
  writer.write(`short\n${'x'.repeat(100)}\nnever\n`);
  const error = await piped;
  await writer.close();
  // pipeline destroyed the port: its handle must be closed, not left open.
  await new Promise((resolve) => (reader.closed ? resolve() : reader.once('close', resolve)));
  return { frames, code: error && error.code, maxLength: error && error.maxLength, readerOpen: reader.isOpen, readerDestroyed: reader.destroyed };
}

(async () => {
  const result = { exchange: await exchange(), tooLong: await tooLong() };
  // Both ends can be opened again: nothing was left holding them.
  const again = await SerialPort.open(b, { baudRate: 115200 });
  await again.close();
  result.reopened = true;
  console.log(JSON.stringify(result));
})().catch((e) => { console.log(JSON.stringify({ failed: e.stack })); process.exit(1); });
