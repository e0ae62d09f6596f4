// Closes a port with a write, a read and an update in flight, then opens a
// second port, which Windows gives the same handle number, and counts what
// of the three reached the second port. Rounds until the count or the time
// is up; the far ends of both ports are kept read.
const lintel = require(process.argv[2]);
const [portA, farA, portB, farB, maxRounds, seconds] = process.argv.slice(3);
const options = { baudRate: 9600, dataBits: 8 };
const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));

function keepReading(fd, sink) {
  const buffer = Buffer.alloc(256);
  lintel.read(fd, buffer, 0, buffer.length, (error, n) => {
    if (error) return;
    sink(buffer.toString('latin1', 0, n));
    keepReading(fd, sink);
  });
}

(async () => {
  const [, farAfd] = await step(lintel.open, farA, options);
  const [, farBfd] = await step(lintel.open, farB, options);
  let atFarB = '';
  keepReading(farAfd, () => {});
  keepReading(farBfd, (text) => { atFarB += text; });
  let rounds = 0;
  let reached = 0;
  let sameNumber = 0;
  const deadline = Date.now() + Number(seconds) * 1000;
  while (rounds < Number(maxRounds) && Date.now() < deadline) {
    rounds++;
    const [openError, fd] = await step(lintel.open, portA, options);
    if (openError) throw openError;
    const writing = step(lintel.write, fd, Buffer.from('for A'));
    const into = Buffer.alloc(8);
    const reading = step(lintel.read, fd, into, 0, into.length);
    const updating = step(lintel.update, fd, { baudRate: 300 });
    await step(lintel.close, fd);
    const [otherError, other] = await step(lintel.open, portB, options);
    if (otherError) throw otherError;
    if (other === fd) sameNumber++;
    // B's device talks: a read left over from A must not get it.
    await step(lintel.write, farBfd, Buffer.from('B'));
    const [, [readError, count]] = await Promise.all([writing, reading, updating]);
    // Nobody sends to A, so a read with data read B's.
    if (!readError && count > 0) reached++;
    const [, rate] = await step(lintel.getBaudRate, other);
    if (rate.baudRate !== 9600) reached++;
    await step(lintel.close, other);
  }
  // A write left over from A would have gone out of B, to B's device.
  await new Promise((resolve) => setTimeout(resolve, 300));
  reached += atFarB.split('for A').length - 1;
  await step(lintel.close, farAfd);
  await step(lintel.close, farBfd);
  console.log(JSON.stringify({ rounds, reached, sameNumber }));
})().catch((error) => {
  console.log(JSON.stringify({ failed: error.message }));
  process.exitCode = 1;
});
