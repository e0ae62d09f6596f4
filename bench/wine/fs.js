// The same through Node's own fs on \\.\COMn, what a user might try instead.
// argv: (unused addon), A, B, bytes, round trips.
const fs = require('fs');
const [a, b, bytesText, tripsText] = process.argv.slice(3);
const bytes = Number(bytesText);
const trips = Number(tripsText);
const p = (fn, ...args) => new Promise((resolve, reject) => fn(...args, (e, v) => (e ? reject(e) : resolve(v))));
(async () => {
  const fa = fs.openSync(`\\\\.\\${a}`, 'r+');
  const fb = fs.openSync(`\\\\.\\${b}`, 'r+');
  const data = Buffer.alloc(bytes, 7);
  const into = Buffer.alloc(bytes);
  let started = process.hrtime.bigint();
  const reading = (async () => {
    for (let at = 0; at < bytes;) at += await p(fs.read, fb, into, at, Math.min(65536, bytes - at), null);
  })();
  for (let at = 0; at < bytes;) at += await p(fs.write, fa, data, at, Math.min(65536, bytes - at), null);
  await reading;
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  const one = Buffer.from('x');
  started = process.hrtime.bigint();
  for (let i = 0; i < trips; i++) {
    await p(fs.write, fa, one, 0, 1, null);
    await p(fs.read, fb, one, 0, 1, null);
    await p(fs.write, fb, one, 0, 1, null);
    await p(fs.read, fa, one, 0, 1, null);
  }
  const rttMs = Number(process.hrtime.bigint() - started) / 1e6 / trips;
  fs.closeSync(fa);
  fs.closeSync(fb);
  console.log(JSON.stringify({ mbps: bytes / seconds / 1e6, rttMs, exact: data.equals(into) }));
})();
