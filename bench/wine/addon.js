// Throughput and round-trip latency through the addon. argv: addon, A, B, bytes, round trips.
const lintel = require(process.argv[2]);
const [a, b, bytesText, tripsText] = process.argv.slice(3);
const bytes = Number(bytesText);
const trips = Number(tripsText);
const step = (fn, ...args) => new Promise((resolve, reject) => fn(...args, (e, v) => (e ? reject(e) : resolve(v))));
(async () => {
  const options = { baudRate: 115200, dataBits: 8 };
  const fa = await step(lintel.open, a, options);
  const fb = await step(lintel.open, b, options);
  const data = Buffer.alloc(bytes, 7);
  const into = Buffer.alloc(bytes);
  let started = process.hrtime.bigint();
  const reading = (async () => {
    for (let at = 0; at < bytes;) at += await step(lintel.read, fb, into, at, Math.min(65536, bytes - at));
  })();
  for (let at = 0; at < bytes; at += 65536) await step(lintel.write, fa, data.subarray(at, at + 65536));
  await reading;
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  const one = Buffer.from('x');
  started = process.hrtime.bigint();
  for (let i = 0; i < trips; i++) {
    await step(lintel.write, fa, one);
    await step(lintel.read, fb, one, 0, 1);
    await step(lintel.write, fb, one);
    await step(lintel.read, fa, one, 0, 1);
  }
  const rttMs = Number(process.hrtime.bigint() - started) / 1e6 / trips;
  await step(lintel.close, fa);
  await step(lintel.close, fb);
  console.log(JSON.stringify({ mbps: bytes / seconds / 1e6, rttMs, exact: data.equals(into) }));
})();
