// A port whose device goes away while a read and a write are pending, then
// an open of it, with a second pair that must not notice. argv: addon, the
// vanishing port, the two ends of the other pair, a marker file to write when
// both transfers are pending.
const fs = require('fs');
const lintel = require(process.argv[2]);
const [gone, otherA, otherB, marker] = process.argv.slice(3);
const options = { baudRate: 115200, dataBits: 8 };
const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));
const text = (error) => (error ? error.message : null);

(async () => {
  const report = {};
  const [openError, fd] = await step(lintel.open, gone, options);
  if (openError) throw openError;
  const [, a] = await step(lintel.open, otherA, options);
  const [, b] = await step(lintel.open, otherB, options);
  let readyAt = 0;
  const since = () => Date.now() - readyAt;
  // Nobody reads the far end, so a megabyte fills every buffer on the way
  // and the write stays pending.
  const writing = step(lintel.write, fd, Buffer.alloc(1 << 20, 0x41)).then(([e]) => ({ error: text(e), ms: since() }));
  const reading = step(lintel.read, fd, Buffer.alloc(16), 0, 16).then(([e, n]) => ({ error: text(e), n, ms: since() }));
  await new Promise((resolve) => setTimeout(resolve, 500));
  readyAt = Date.now();
  fs.writeFileSync(marker, 'pending');
  report.read = await reading;
  report.write = await writing;
  report.later = text((await step(lintel.getBaudRate, fd))[0]);
  report.close = text((await step(lintel.close, fd))[0]);
  // Once the far end has gone, the name leads nowhere.
  await new Promise((resolve) => setTimeout(resolve, 200));
  const [reopenError, again] = await step(lintel.open, gone, options);
  report.reopen = text(reopenError);
  if (!reopenError) await step(lintel.close, again);
  // The other pair carries on.
  await step(lintel.write, a, Buffer.from('still here'));
  const into = Buffer.alloc(32);
  let got = 0;
  while (got < 10) got += (await step(lintel.read, b, into, got, 32 - got))[1];
  report.other = into.toString('latin1', 0, got);
  await step(lintel.close, a);
  await step(lintel.close, b);
  console.log(JSON.stringify(report));
})().catch((e) => { console.log(JSON.stringify({ failed: e.message })); process.exit(1); });
