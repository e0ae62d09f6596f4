// Transfers in a worker_threads Worker on a null-modem pair, a close during
// a read there, and the Worker terminated with a read pending: that read must
// be cancelled, so bytes sent afterwards reach a new handle whole. argv:
// addon, the two ends of the pair.
const { Worker } = require('worker_threads');
const addon = process.argv[2];
const [a, b] = process.argv.slice(3);
const lintel = require(addon);
const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));

const worker = new Worker(`
  const { parentPort, workerData: { addon, a, b } } = require('worker_threads');
  const lintel = require(addon);
  const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));
  (async () => {
    const options = { baudRate: 115200, dataBits: 8 };
    const [, fa] = await step(lintel.open, a, options);
    const [, fb] = await step(lintel.open, b, options);
    const [writeError] = await step(lintel.write, fa, Buffer.from('from the worker'));
    const into = Buffer.alloc(32);
    let got = 0;
    while (got < 15) got += (await step(lintel.read, fb, into, got, 32 - got))[1];
    const pending = step(lintel.read, fb, Buffer.alloc(4), 0, 4);
    await new Promise((r) => setTimeout(r, 100));
    const [closeError] = await step(lintel.close, fb);
    const [abortError] = await pending;
    // Left pending on purpose: the Worker is terminated with it.
    lintel.read(fa, Buffer.alloc(64), 0, 64, () => parentPort.postMessage({ late: 'read called back' }));
    parentPort.postMessage({ writeError, text: into.toString('latin1', 0, got), closeError,
      aborted: abortError && abortError.message });
  })();
`, { eval: true, workerData: { addon, a, b } });

worker.once('message', async (report) => {
  await new Promise((r) => setTimeout(r, 200));
  await worker.terminate();
  // The Worker's read on a is gone: a second handle on a gets all of what b
  // sends now.
  const options = { baudRate: 115200, dataBits: 8 };
  const [, fa] = await step(lintel.open, a, options);
  const [, fb] = await step(lintel.open, b, options);
  await step(lintel.write, fb, Buffer.from('after the worker'));
  const into = Buffer.alloc(32);
  let got = 0;
  const deadline = Date.now() + 10000;
  while (got < 16 && Date.now() < deadline) got += (await step(lintel.read, fa, into, got, 32 - got))[1];
  report.after = into.toString('latin1', 0, got);
  await step(lintel.close, fa);
  await step(lintel.close, fb);
  console.log(JSON.stringify(report));
});
worker.on('error', (e) => { console.log(JSON.stringify({ failed: e.message })); process.exit(1); });
