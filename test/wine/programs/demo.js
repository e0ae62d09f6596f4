// The demonstration: what the addon does with a real COM port under Wine.
const lintel = require(process.argv[2]);
const [a, b] = [process.argv[3], process.argv[4]];
const step = (fn, ...args) => new Promise((resolve, reject) =>
  fn(...args, (error, value) => (error ? reject(error) : resolve(value))));

(async () => {
  console.log(`process.arch ${process.arch}; exports:`, Object.keys(lintel).join(', '));
  const fd = await step(lintel.open, a, { baudRate: 9600, dataBits: 8, parity: 'none', stopBits: 1 });
  const peer = await step(lintel.open, b, { baudRate: 9600, dataBits: 8 });
  console.log(`opened ${a} as handle ${fd}, ${b} as ${peer}`);
  console.log('baud rate:', (await step(lintel.getBaudRate, fd)).baudRate);
  await step(lintel.update, fd, { baudRate: 115200 });
  console.log('after update:', (await step(lintel.getBaudRate, fd)).baudRate);
  await step(lintel.write, fd, Buffer.from(`hello from ${a}`));
  const buffer = Buffer.alloc(64);
  const n = await step(lintel.read, peer, buffer, 0, 64);
  console.log(`${b} read ${n} bytes: ${buffer.toString('utf8', 0, n)}`);
  await step(lintel.flush, fd);
  await step(lintel.drain, fd);
  try {
    await step(lintel.get, fd);
  } catch (error) {
    console.log('modem lines on a pseudo-terminal:', error.message);
  }
  const ports = await step(lintel.list);
  console.log(`list: ${ports.length} port(s)`);
  for (const port of ports) console.log('  ', JSON.stringify(port));
  await step(lintel.close, fd);
  await step(lintel.close, peer);
  console.log('closed both');
})().catch((error) => {
  console.error('demo failed:', error.message);
  process.exit(1);
});
