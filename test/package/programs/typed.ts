// A typed program against the installed package's types: checked with
// tsc --strict, then compiled and run in Windows node.exe.
import * as lintel from 'vornet';
import { close, getBaudRate, list, open, read, write } from 'vornet/promises';
import { SerialPort } from 'vornet';
import type { ModemStatus, OpenOptions, PortError, PortInfo } from 'vornet';

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
  // The layer, typed as well.
  const port: SerialPort = await SerialPort.open(a, { baudRate: 19200, parity: 'none' });
  const peer = await SerialPort.open(b, { baudRate: 19200 });
  const arrived = new Promise<string>((resolve) => peer.once('data', (chunk: Buffer) => resolve(chunk.toString())));
  port.write('typed layer');
  const layer = await arrived;
  await port.close();
  await peer.close();
  const missing = (await SerialPort.open('COM199', { baudRate: 9600 }).catch((e: PortError) => e)) as PortError;
  console.log(JSON.stringify({ serials: ports.map((p) => p.serialNumber ?? null), baudRate, text: into.toString('latin1', 0, got),
    lines, layer, missing: missing.code }));
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
  // @ts-expect-error the SerialPort option is spelt baudRate
  void new SerialPort('COM3', { baudrate: 9600 });
  // @ts-expect-error dataBits is 5 to 8
  void SerialPort.open('COM3', { baudRate: 9600, dataBits: 9 });
  // @ts-expect-error get() resolves to the modem lines, not a number
  void new SerialPort('COM3', { baudRate: 9600 }).get().then((status: number) => status);
  const typedPort = new SerialPort('COM3', { baudRate: 9600 });
  typedPort.on('data', (chunk) => void chunk.readUInt8(0));
  // @ts-expect-error a chunk is a Buffer, not a string
  typedPort.on('data', (chunk) => { const text: string = chunk; void text; });
  // @ts-expect-error there is no 'opened' event
  typedPort.once('opened', () => {});
  typedPort.on('modemStatus', ({ status, changed }) => void (status.cts && changed.includes('dcd')));
  // @ts-expect-error changed names lines, it is no count
  typedPort.on('modemStatus', ({ changed }) => { const n: number = changed; void n; });
  // @ts-expect-error readUntil resolves to bytes, not text
  void typedPort.readUntil('\n').then((line: string) => line);
  const watcher = SerialPort.watch({ interval: 500, unref: true });
  watcher.on('attach', (port) => void port.path.length);
  void (async () => { for await (const change of watcher) void change.port.pnpId; })();
  // @ts-expect-error unref is true or false
  SerialPort.watch({ unref: 'yes' });
  // @ts-expect-error 'ready' gives the list, not one port
  watcher.on('ready', (port: PortInfo) => void port);
  watcher.close();
  // A port that follows its device: opened by identity, told of the gap.
  const following = new SerialPort('COM3', { baudRate: 9600, reconnect: { timeout: 30000, signal: AbortSignal.timeout(60000) } });
  following.on('disconnect', (error) => void (error.code === 'ERR_PORT_DISCONNECTED' && error.path.length + (error.cause?.errno ?? 0)));
  following.once('reconnect', ({ path }) => void path.length);
  void following.options.reconnect?.timeout;
  void SerialPort.open({ serialNumber: 'A50285BI', vendorId: '0403' }, { baudRate: 9600, reconnect: true });
  // @ts-expect-error 'reconnect' carries { path }, not the name alone
  following.on('reconnect', (path: string) => void path);
  // @ts-expect-error the cause of a disconnect is the Win32 error, not its number
  following.on('disconnect', (error) => { const errno: number = error.cause; void errno; });
  // @ts-expect-error reconnect's timeout is milliseconds
  void new SerialPort('COM3', { baudRate: 9600, reconnect: { timeout: '30s' } });
  // @ts-expect-error an identity has the keys of the port list: serialNumber, not serial
  void SerialPort.open({ serial: 'A50285BI' }, { baudRate: 9600 });
}

main().catch((error: Error) => {
  console.log(JSON.stringify({ failed: error.message }));
  process.exit(1);
});
