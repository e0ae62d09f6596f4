// The SerialPort layer of the installed package on a null-modem pair: 1 MiB
// each way at once through pipeline, timed against the raw functions doing
// the same in the same run, then for await ended by a close, and a missing
// port. argv: the two ends, the size.
const crypto = require('crypto');
const { pipeline, Readable, Writable } = require('stream');
const vornet = require('vornet');
const { SerialPort } = vornet;
const [a, b, sizeText] = process.argv.slice(2);
const size = Number(sizeText);
const digest = (buffer) => crypto.createHash('sha256').update(buffer).digest('hex');
const chunksOf = (data) => Array.from({ length: Math.ceil(data.length / 65536) }, (_, i) => data.subarray(i * 65536, (i + 1) * 65536));
const step = (fn, ...args) => new Promise((resolve, reject) => fn(...args, (e, v) => (e ? reject(e) : resolve(v))));

// Collects what a port delivers until it has `size` bytes.
function collector(size) {
  const parts = [];
  let got = 0;
  let done;
  const full = new Promise((resolve) => { done = resolve; });
  const sink = new Writable({
    write(chunk, encoding, callback) {
      parts.push(chunk);
      got += chunk.length;
      if (got >= size) done(Buffer.concat(parts));
      callback();
    },
  });
  return { sink, full };
}

async function raw(ab, ba) {
  const options = { baudRate: 115200, dataBits: 8 };
  const fa = await step(vornet.open, a, options);
  const fb = await step(vornet.open, b, options);
  const readAll = async (fd) => {
    const into = Buffer.alloc(size);
    for (let at = 0; at < size;) at += await step(vornet.read, fd, into, at, Math.min(65536, size - at));
    return into;
  };
  const writeAll = async (fd, data) => { for (const chunk of chunksOf(data)) await step(vornet.write, fd, chunk); };
  const started = Date.now();
  const [atB, atA] = await Promise.all([readAll(fb), readAll(fa), writeAll(fa, ab), writeAll(fb, ba)]);
  const ms = Date.now() - started;
  await step(vornet.close, fa);
  await step(vornet.close, fb);
  return { ms, exact: atB.equals(ab) && atA.equals(ba) };
}

async function layer(ab, ba) {
  const pa = await SerialPort.open(a, { baudRate: 115200 });
  const pb = await SerialPort.open(b, { baudRate: 115200 });
  const atB = collector(size);
  const atA = collector(size);
  const piped = (...streams) => new Promise((resolve, reject) => pipeline(...streams, (e) => (e ? reject(e) : resolve())));
  const started = Date.now();
  const flows = [piped(Readable.from(chunksOf(ab)), pa), piped(Readable.from(chunksOf(ba)), pb),
    piped(pb, atB.sink), piped(pa, atA.sink)];
  const [gotB, gotA] = await Promise.all([atB.full, atA.full]);
  const ms = Date.now() - started;
  await pa.close();
  await pb.close();
  await Promise.all(flows);
  return { ms, exact: digest(gotB) === digest(ab) && digest(gotA) === digest(ba), options: pa.options, closed: !pa.isOpen && !pb.isOpen };
}

async function iterate() {
  const pa = await SerialPort.open(a, { baudRate: 9600 });
  const pb = await SerialPort.open(b, { baudRate: 9600 });
  let text = '';
  const reading = (async () => {
    for await (const chunk of pb) {
      text += chunk;
      if (text.includes('two\n')) pb.close();
    }
    return 'ended';
  })();
  pa.write('line one\n');
  pa.write('line two\n');
  const ending = await reading;
  await pa.close();
  return { text, ending };
}

(async () => {
  const ab = crypto.randomBytes(size);
  const ba = crypto.randomBytes(size);
  const rawRun = await raw(ab, ba);
  const layerRun = await layer(ab, ba);
  const iteration = await iterate();
  const missing = await SerialPort.open('COM199', { baudRate: 9600 }).catch((e) => e);
  console.log(JSON.stringify({
    raw: rawRun, layer: layerRun, iteration,
    missing: { code: missing.code, errno: missing.errno, syscall: missing.syscall, message: missing.message },
  }));
})().catch((e) => { console.log(JSON.stringify({ failed: e.stack })); process.exit(1); });
