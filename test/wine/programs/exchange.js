// The stream's request/reply tools on a null-modem pair: a modem-status port
// where the lines cannot be read, a burst of small writes (counting the
// addon writes they became), and a readUntil exchange. argv: the addon, the
// two ends, the number of small writes and their size.
const crypto = require('crypto');
const path = require('path');
const { createSerialPort } = require(path.join(__dirname, '..', '..', '..', 'lib', 'serialport'));
const addon = require(process.argv[2]);
const [a, b, countText, sizeText] = process.argv.slice(3);
const writes = { count: 0 };
const counted = { ...addon, write: (...args) => { writes.count++; return addon.write(...args); } };
const SerialPort = createSerialPort(counted);
const options = { baudRate: 115200 };

async function modemStatus() {
  try {
    const port = await SerialPort.open(a, { ...options, modemStatus: { interval: 50 } });
    await port.close();
    return { opened: true };
  } catch (error) {
    // Nothing was left open: the same port opens again at once.
    const again = await SerialPort.open(a, options);
    await again.close();
    return { code: error.code, errno: error.errno, syscall: error.syscall, path: error.path, message: error.message, reopened: true };
  }
}

async function burst() {
  const count = Number(countText);
  const size = Number(sizeText);
  const payload = crypto.randomBytes(count * size);
  const writer = await SerialPort.open(a, options);
  const reader = await SerialPort.open(b, options);
  const got = [];
  let length = 0;
  const arrived = new Promise((resolve) => reader.on('data', (chunk) => {
    got.push(chunk);
    length += chunk.length;
    if (length >= payload.length) resolve();
  }));
  const before = writes.count;
  const started = process.hrtime.bigint();
  let callbacks = 0;
  let lastWent;
  const allWent = new Promise((resolve) => { lastWent = resolve; });
  for (let i = 0; i < count; i++) {
    const ok = writer.write(payload.subarray(i * size, (i + 1) * size), (error) => {
      if (!error) callbacks++;
      if (i === count - 1) lastWent();
    });
    if (!ok) await new Promise((resolve) => writer.once('drain', resolve));
  }
  await allWent;
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  const addonWrites = writes.count - before;
  let timer;
  await Promise.race([arrived, new Promise((resolve) => { timer = setTimeout(resolve, 20000); })]);
  clearTimeout(timer);
  await writer.close();
  await reader.close();
  return { count, bytes: payload.length, received: length, exact: Buffer.concat(got).equals(payload), callbacks, addonWrites, ms };
}

async function exchange() {
  const host = await SerialPort.open(a, options);
  const device = await SerialPort.open(b, options);
  host.write('AT+ID?\r\n');
  const request = (await device.readUntil('\r\n', { timeout: 10000 })).toString();
  device.write('ID 42\r\nOK\r\n');
  const first = (await host.readUntil('\r\n', { timeout: 10000 })).toString();
  const second = (await host.readUntil('\r\n', { timeout: 10000 })).toString();
  const quiet = await host.readUntil('\r\n', { timeout: 300 }).then(() => 'resolved', (error) => error.code);
  await host.close();
  await device.close();
  return { request, first, second, quiet };
}

(async () => {
  const phases = {};
  const timed = async (name, fn) => {
    const started = Date.now();
    const value = await fn();
    phases[name] = Date.now() - started;
    return value;
  };
  const result = { modemStatus: await timed('modemStatus', modemStatus), burst: await timed('burst', burst), exchange: await timed('exchange', exchange) };
  result.phases = phases;
  console.log(JSON.stringify(result));
})().catch((error) => {
  console.log(JSON.stringify({ failed: error.stack }));
  process.exitCode = 1;
});
