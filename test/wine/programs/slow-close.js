// A SerialPort read by a consumer slower than the device, closed while the
// consumer is behind: reports what was read, what the consumer got, and how
// the pipeline and the stream ended. argv: the addon, the two ends.
const { pipeline, Writable } = require('stream');
const { createSerialPort } = require('../../../lib/serialport');
const lintel = require(process.argv[2]);
const [a, b] = process.argv.slice(3);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The addon, keeping the bytes of each read it answers.
const reads = [];
const binding = { ...lintel, read: (fd, buffer, offset, count, callback) => lintel.read(fd, buffer, offset, count, (error, n) => {
  if (!error && n > 0) reads.push(Buffer.from(buffer.subarray(offset, offset + n)));
  callback(error, n);
}) };
const SerialPort = createSerialPort(binding);

(async () => {
  const reader = await SerialPort.open(a, { baudRate: 115200, highWaterMark: 256 });
  const writer = await SerialPort.open(b, { baudRate: 115200 });
  let closes = 0;
  reader.on('close', () => closes++);
  const got = [];
  const slow = new Writable({ highWaterMark: 1, write(chunk, encoding, callback) { got.push(chunk); setTimeout(callback, 20); } });
  const piped = new Promise((resolve) => pipeline(reader, slow, (e) => resolve(e ? e.message : null)));
  const sent = Buffer.from(Array.from({ length: 400 }, (_, i) => `${String(i).padStart(9, '0')}\n`).join(''));
  await new Promise((resolve) => writer.write(sent, resolve));
  await writer.drain();
  for (let i = 0; i < 300 && (reader.readableLength === 0 || reads.length < 2); i++) await sleep(10);
  const atClose = { flowing: reader.readableFlowing, buffered: reader.readableLength };
  await reader.close();
  const pipelineError = await piped;
  await sleep(50);
  await writer.close();
  const read = Buffer.concat(reads);
  const delivered = Buffer.concat(got);
  console.log(JSON.stringify({
    ...atClose, pipelineError, closes, read: read.length, delivered: delivered.length,
    deliveredIsRead: delivered.equals(read), readIsSentPrefix: sent.subarray(0, read.length).equals(read),
  }));
})().catch((e) => { console.log(JSON.stringify({ failed: e.stack })); process.exit(1); });
