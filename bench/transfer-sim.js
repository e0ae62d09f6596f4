'use strict';
// On the Linux build: small writes per second through the addon, one at a
// time and many at once, beside a worker-pool request (getBaudRate) as a
// yardstick, so the cost of a thread per transfer is known.
// node bench/transfer-sim.js [count]
const path = require('node:path');
const root = path.join(__dirname, '..');
const lintel = require(path.join(root, 'build', 'linux-x64', 'lintel.node'));
const sim = require(path.join(root, 'build', 'linux-x64', 'simcontrol.node'));

const count = Number(process.argv[2] || 5000);
const step = (fn, ...args) => new Promise((resolve, reject) => fn(...args, (e, v) => (e ? reject(e) : resolve(v))));

async function perSecond(run) {
  const started = process.hrtime.bigint();
  await run();
  return count / (Number(process.hrtime.bigint() - started) / 1e9);
}

(async () => {
  sim.createPort('COM3');
  const fd = await step(lintel.open, 'COM3', { baudRate: 9600, dataBits: 8 });
  sim.configurePort('COM3', { countOnly: true });
  const one = Buffer.from('x');
  const rates = {};
  for (let round = 0; round < 3; round++) {
    const sample = {
      serialWrite: await perSecond(async () => { for (let i = 0; i < count; i++) await step(lintel.write, fd, one); }),
      concurrentWrite: await perSecond(() => Promise.all(Array.from({ length: count }, () => step(lintel.write, fd, one)))),
      serialGetBaudRate: await perSecond(async () => { for (let i = 0; i < count; i++) await step(lintel.getBaudRate, fd); }),
    };
    for (const [k, v] of Object.entries(sample)) (rates[k] ||= []).push(v);
  }
  const median = (v) => v.sort((a, b) => a - b)[1];
  const m = Object.fromEntries(Object.entries(rates).map(([k, v]) => [k, median(v)]));
  console.log(`one-byte writes, one at a time: ${m.serialWrite.toFixed(0)}/s`);
  console.log(`one-byte writes, ${count} at once: ${m.concurrentWrite.toFixed(0)}/s`);
  console.log(`getBaudRate on the worker pool, one at a time: ${m.serialGetBaudRate.toFixed(0)}/s`);
  console.log(`write/getBaudRate (one at a time): ${(m.serialWrite / m.serialGetBaudRate).toFixed(2)}`);
  console.log(`(${count} requests per sample, median of 3 interleaved samples)`);
  await step(lintel.close, fd);
})();
