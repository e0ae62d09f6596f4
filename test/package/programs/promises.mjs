// vornet/promises from an ES module: the fixture's ports, a write and a read
// across a null-modem pair, and an error as the callback would give it.
import { list, open, write, read, getBaudRate, close } from 'vornet/promises';

const [a, b] = process.argv.slice(2);
const options = { baudRate: 57600, dataBits: 8 };
const ports = await list();
const fa = await open(a, options);
const fb = await open(b, options);
const rate = await getBaudRate(fa);
await write(fa, Buffer.from('through the promises'));
const into = Buffer.alloc(64);
let got = 0;
while (got < 20) got += await read(fb, into, got, 64 - got);
await close(fa);
await close(fb);
const missing = await open('COM199', options).catch((error) => error);
const refused = await read(fa, 'not a buffer', 0, 1).catch((error) => error);
console.log(JSON.stringify({
  ports: ports.map((port) => [port.path, port.serialNumber ?? null]),
  rate,
  text: into.toString('latin1', 0, got),
  missing: [missing instanceof Error, missing.message, Object.hasOwn(missing, 'code')],
  refused: [refused.name, refused.message],
}));
