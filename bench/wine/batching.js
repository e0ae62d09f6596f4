// One measurement of the batching bench: a payload sent one of three ways
// from one end of a pair, and the far end checked to have received exactly
// it. Run by node.exe as a program (argv: the addon, the kind, the two ends,
// the number of small writes, their size), or required by bench/batching.js
// for the Linux build.
const crypto = require('crypto');
const path = require('path');
const { createSerialPort } = require(path.join(__dirname, '..', '..', 'lib', 'serialport'));

const step = (fn, ...args) => new Promise((resolve, reject) => fn(...args, (e, v) => (e ? reject(e) : resolve(v))));
const portOptions = { baudRate: 115200 };
const rawOptions = { baudRate: 115200, dataBits: 8 };
const since = (started) => Number(process.hrtime.bigint() - started) / 1e6;
const written = (port, chunk) => new Promise((resolve, reject) => port.write(chunk, (e) => (e ? reject(e) : resolve())));

// Each kind opens its end, sends the payload and resolves with the
// milliseconds from the first write to the last write's callback; opening
// and closing are not counted. `pieces` is the payload cut into small writes.
const kinds = {
  // (a) all the bytes in one write through the stream.
  async oneWrite({ SerialPort, portPath, payload }) {
    const port = await SerialPort.open(portPath, portOptions);
    const started = process.hrtime.bigint();
    await written(port, payload);
    const ms = since(started);
    await port.close();
    return ms;
  },
  // (b) small writes through the stream, as a program makes them: write()
  // until it asks to wait, then 'drain'; done at the last one's callback.
  async streamWrites({ SerialPort, portPath, pieces }) {
    const port = await SerialPort.open(portPath, portOptions);
    const started = process.hrtime.bigint();
    for (let i = 0; i < pieces.length - 1; i++) {
      if (!port.write(pieces[i])) await new Promise((resolve) => port.once('drain', resolve));
    }
    await written(port, pieces[pieces.length - 1]);
    const ms = since(started);
    await port.close();
    return ms;
  },
  // (c) the same small writes on the raw addon, each awaited: what a stream
  // that hands every chunk to its own addon write costs at least.
  async rawWrites({ binding, portPath, pieces }) {
    const fd = await step(binding.open, portPath, rawOptions);
    const started = process.hrtime.bigint();
    for (const piece of pieces) await step(binding.write, fd, piece);
    const ms = since(started);
    await step(binding.close, fd);
    return ms;
  },
};

// A payload of `count` pieces of `size` bytes, each piece different, so that
// a lost, doubled or reordered piece shows at the far end.
function makePayload(count, size) {
  const payload = crypto.randomBytes(count * size);
  const pieces = Array.from({ length: count }, (_, i) => payload.subarray(i * size, (i + 1) * size));
  return { payload, pieces };
}

// One measurement: `expect(total)` starts the far end and returns a function
// that resolves with the bytes it got once the writes are done.
async function measure({ kind, SerialPort, binding, portPath, count, size, expect }) {
  const { payload, pieces } = makePayload(count, size);
  const arrived = await expect(payload.length);
  const ms = await kinds[kind]({ SerialPort, binding, portPath, payload, pieces });
  const got = await arrived();
  return { kind, ms, bytes: payload.length, received: got.length, exact: got.equals(payload) };
}

// The far end under Windows: the raw addon reads the other port until the
// bytes are all there, or gives up `patience` ms after the writes were done.
async function farEnd(binding, portPath, total, patience) {
  const fd = await step(binding.open, portPath, rawOptions);
  const into = Buffer.alloc(total);
  let got = 0;
  let failure = null;
  const reading = (async () => {
    try {
      while (got < total) got += await step(binding.read, fd, into, got, total - got);
    } catch (error) {
      // The close below cancels a read still waiting: what came is kept.
      failure = error;
    }
  })();
  return async () => {
    let timer;
    await Promise.race([reading, new Promise((resolve) => { timer = setTimeout(resolve, patience); })]);
    clearTimeout(timer);
    await step(binding.close, fd);
    await reading;
    if (failure && got < total && !/aborted/i.test(failure.message)) throw failure;
    return into.subarray(0, got);
  };
}

if (require.main === module) {
  const [addon, kind, a, b, countText, sizeText] = process.argv.slice(2);
  const binding = require(addon);
  const SerialPort = createSerialPort(binding);
  measure({
    kind, SerialPort, binding, portPath: a, count: Number(countText), size: Number(sizeText),
    expect: (total) => farEnd(binding, b, total, 10000),
  }).then((result) => console.log(JSON.stringify(result)),
    (e) => { console.log(JSON.stringify({ failed: e.stack })); process.exit(1); });
}

module.exports = { kinds, measure };
