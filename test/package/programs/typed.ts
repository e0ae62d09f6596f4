// A typed program against the installed package's types: checked with
// tsc --strict, then compiled and run in Windows node.exe.
import * as lintel from 'vornet';
import { close, getBaudRate, list, open, read, write } from 'vornet/promises';
import type { ModemStatus, OpenOptions, PortInfo } from 'vornet';

const [a, b] = process.argv.slice(2);
const options: OpenOptions = { baudRate: 19200, dataBits: 8, parity: 'none', stopBits: 1, lock: false };

async function main(): Promise<void> {
  const ports: PortInfo[] = await list();
  const fa: number = await open(a, options);
  const fb = await open(b, options);
  const { baudRate } = await getBaudRate(fa);
  await write(fa, Buffer.from('typed'));
  const into = Buffer.alloc(16);
  let got = 0;
  while (got < 5) got += await read(fb, into, got, into.length - got);
  // The callback form, with its result's shape.
  const lines = await new Promise<string>((resolve) =>
    lintel.get(fa, (error: Error | null, status?: ModemStatus) => resolve(error ? error.message : String(status?.cts))));
  await close(fa);
  await close(fb);
  console.log(JSON.stringify({ serials: ports.map((p) => p.serialNumber ?? null), baudRate, text: into.toString('latin1', 0, got), lines }));
}

// Never called: each line is a mistake the types must refuse.
export function refused(fd: number): void {
  // @ts-expect-error a string is no buffer
  lintel.read(fd, 'abc', 0, 3, () => {});
  // @ts-expect-error the callback is missing
  lintel.getBaudRate(fd);
  // @ts-expect-error the option is spelt baudRate
  lintel.open('COM3', { baudrate: 9600, dataBits: 8 }, () => {});
  // @ts-expect-error parity is one of five words
  lintel.open('COM3', { baudRate: 9600, dataBits: 8, parity: 'evn' }, () => {});
  // @ts-expect-error a handle is a number
  lintel.close('3', () => {});
  // @ts-expect-error read resolves to the count of bytes
  const count: Promise<string> = read(fd, Buffer.alloc(1), 0, 1);
  void count;
  // @ts-expect-error a manufacturer may be undefined
  void list().then((ports) => ports[0].manufacturer.length);
}

main().catch((error: Error) => {
  console.log(JSON.stringify({ failed: error.message }));
  process.exit(1);
});
