// Streams random bytes both ways at once between two ports of a null-modem
// pair, with reads of mixed sizes, and reports digests and read sizes.
const crypto = require('crypto');
const lintel = require(process.argv[2]);
const [a, b, sizeText] = process.argv.slice(3);
const size = Number(sizeText);
const step = (fn, ...args) => new Promise((resolve, reject) =>
  fn(...args, (error, value) => (error ? reject(error) : resolve(value))));
const options = { baudRate: 115200, dataBits: 8 };

async function writeAll(fd, data) {
  // Writes of uneven sizes, one after another.
  for (let at = 0, i = 0; at < data.length; i++) {
    const n = Math.min(data.length - at, [65536, 1, 4093, 30000][i % 4]);
    await step(lintel.write, fd, data.subarray(at, at + n));
    at += n;
  }
}

async function readAll(fd, total, sizes) {
  const into = Buffer.alloc(total);
  let at = 0;
  for (let i = 0; at < total; i++) {
    const want = Math.min(total - at, [1, 7, 512, 65536][i % 4]);
    const n = await step(lintel.read, fd, into, at, want);
    sizes.push(n);
    at += n;
  }
  return into;
}

(async () => {
  const fa = await step(lintel.open, a, options);
  const fb = await step(lintel.open, b, options);
  const ab = crypto.randomBytes(size);
  const ba = crypto.randomBytes(size);
  const sizesA = [];
  const sizesB = [];
  const started = Date.now();
  const [gotAtB, gotAtA] = await Promise.all([
    readAll(fb, size, sizesB), readAll(fa, size, sizesA), writeAll(fa, ab), writeAll(fb, ba)]);
  const seconds = (Date.now() - started) / 1000;
  const digest = (buf) => crypto.createHash('sha256').update(buf).digest('hex');
  const result = {
    exactAB: digest(gotAtB) === digest(ab), exactBA: digest(gotAtA) === digest(ba),
    largestRead: Math.max(...sizesA, ...sizesB), reads: sizesA.length + sizesB.length, seconds,
  };

  // Bytes already waiting: one read takes more than one of them.
  await step(lintel.write, fa, Buffer.from('waiting bytes'));
  await new Promise((r) => setTimeout(r, 300));
  const buf = Buffer.alloc(64);
  result.waitingRead = await step(lintel.read, fb, buf, 0, 64);

  // An empty write calls back with null.
  result.emptyWrite = await new Promise((resolve) => lintel.write(fa, Buffer.alloc(0), (e) => resolve(e)));

  // Closing while a read waits.
  const pending = new Promise((resolve) => lintel.read(fb, Buffer.alloc(8), 0, 8, (e, n) => resolve([e && e.message, n])));
  await new Promise((r) => setTimeout(r, 200));
  result.closeB = await new Promise((resolve) => lintel.close(fb, resolve));
  result.pendingRead = await pending;
  await step(lintel.close, fa);
  console.log(JSON.stringify(result));
})().catch((e) => { console.log(JSON.stringify({ failed: e.message })); process.exit(1); });
