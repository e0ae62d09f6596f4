// A drain held by a device that does not read (the far end of the pair is
// never opened, so its buffer fills and the write stays pending), closed,
// and the port opened again at once, exclusively; then Workers terminated
// with their open in flight, each round followed by an exclusive open.
// argv: the addon, the port.
const { Worker } = require('worker_threads');
const lintel = require(process.argv[2]);
const name = process.argv[3];
const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));
const message = (error) => (error ? error.message : null);
const options = { baudRate: 9600, dataBits: 8, lock: true };

(async () => {
  const [, fd] = await step(lintel.open, name, options);
  const writing = step(lintel.write, fd, Buffer.alloc(1 << 20, 0x55));
  await new Promise((r) => setTimeout(r, 300));
  const draining = step(lintel.drain, fd);
  await new Promise((r) => setTimeout(r, 100));
  const [closeError] = await step(lintel.close, fd);
  const [reopenError, again] = await step(lintel.open, name, options);
  if (!reopenError) await step(lintel.close, again);
  const [[writeError], [drainError]] = await Promise.all([writing, draining]);
  let workerReopenErrors = 0;
  for (let round = 0; round < 5; round++) {
    const worker = new Worker(`
      const { parentPort, workerData: { addon, name } } = require('worker_threads');
      require(addon).open(name, { baudRate: 9600, dataBits: 8, lock: true }, () => {});
      parentPort.postMessage('issued');
    `, { eval: true, workerData: { addon: process.argv[2], name } });
    await new Promise((resolve) => worker.once('message', resolve));
    await worker.terminate();
    const [error, other] = await step(lintel.open, name, options);
    if (error) workerReopenErrors++;
    else await step(lintel.close, other);
  }
  console.log(JSON.stringify({ closeError: message(closeError), reopenError: message(reopenError),
    writeError: message(writeError), drainError: message(drainError), workerReopenErrors }));
})().catch((e) => { console.log(JSON.stringify({ failed: e.stack })); process.exit(1); });
