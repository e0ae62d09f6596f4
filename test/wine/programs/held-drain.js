// A drain held by a device that does not read (the far end of the pair is
// never opened, so its buffer fills and the write stays pending), closed,
// and the port opened again at once, exclusively; then Workers terminated
// with their open in flight or holding the port it gave them, each round
// followed by an exclusive open. Then it waits, no handle of its own open,
// while the Unix side counts the descriptors on the port.
// argv: the addon, the port, the marker it writes, the file it waits for.
const fs = require('fs');
const { Worker } = require('worker_threads');
const lintel = require(process.argv[2]);
const [name, marker, done] = process.argv.slice(3);
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
  // Terminated as soon as the open is issued, or once its callback has the
  // handle (which it keeps, open): either way the port is free again at once.
  let workerReopenErrors = 0;
  let delivered = 0;
  for (let round = 0; round < 8; round++) {
    const wait = round < 5 ? 'issued' : 'opened';
    const worker = new Worker(`
      const { parentPort, workerData: { addon, name } } = require('worker_threads');
      require(addon).open(name, { baudRate: 9600, dataBits: 8, lock: true },
        (error) => parentPort.postMessage(error ? error.message : 'opened'));
      parentPort.postMessage('issued');
    `, { eval: true, workerData: { addon: process.argv[2], name } });
    const got = await new Promise((resolve) => worker.on('message', (m) => {
      if (m === wait || m !== 'issued') resolve(m);
    }));
    if (got === 'opened') delivered++;
    await worker.terminate();
    const [error, other] = await step(lintel.open, name, options);
    if (error) workerReopenErrors++;
    else await step(lintel.close, other);
  }
  // Wine does not enforce share mode 0, so the opens above would succeed even
  // beside a handle left open: the descriptors tell.
  fs.writeFileSync(marker, 'rounds done');
  for (let i = 0; i < 200 && !fs.existsSync(done); i++) await new Promise((r) => setTimeout(r, 50));
  console.log(JSON.stringify({ closeError: message(closeError), reopenError: message(reopenError),
    writeError: message(writeError), drainError: message(drainError), workerReopenErrors, delivered }));
})().catch((e) => { console.log(JSON.stringify({ failed: e.stack })); process.exit(1); });
