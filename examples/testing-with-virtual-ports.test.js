// Testing your own serial code without the device, on any OS: a tiny
// request-reply client for a bench meter, and its tests against virtual ports.
// node --test examples/testing-with-virtual-ports.test.js
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { VirtualPorts } = require('vornet/testing');

// ---- The app. In production it gets require('vornet').SerialPort; its tests
// give it the SerialPort of a VirtualPorts, the same class over virtual ports.
class Meter {
  #SerialPort;
  #path;
  #port = null;

  constructor(SerialPort, path) {
    this.#SerialPort = SerialPort;
    this.#path = path;
  }

  // Sends one command and resolves with its reply line. A meter that was
  // unplugged is opened again, and asked again, until the deadline.
  async query(command, { timeout = 1000 } = {}) {
    const deadline = Date.now() + timeout;
    for (;;) {
      const port = await this.#connected(deadline);
      try {
        port.write(`${command}\n`);
        const reply = await port.readUntil('\n', { timeout: Math.max(1, deadline - Date.now()) });
        return reply.toString('latin1').trim();
      } catch (error) {
        // Still open: the meter is there but did not answer in time.
        if (port.isOpen) throw error;
      }
    }
  }

  async #connected(deadline) {
    // A port that is no longer open is gone, whether its 'close' has come yet or not.
    if (this.#port !== null && !this.#port.isOpen) this.#port = null;
    while (this.#port === null) {
      try {
        const port = await this.#SerialPort.open(this.#path, { baudRate: 9600 });
        // An unplugged meter ends the stream with an error: the next query reconnects.
        port.on('error', () => {});
        port.on('close', () => { if (this.#port === port) this.#port = null; });
        this.#port = port;
      } catch (error) {
        if (Date.now() + 50 > deadline) throw error;
        await new Promise((resolve) => setTimeout(resolve, 50));
      }
    }
    return this.#port;
  }

  async close() {
    await this.#port?.close();
  }
}

// ---- Its tests. The device side plays the meter.
function benchMeter(options) {
  const ports = new VirtualPorts(options);
  const device = ports.add('COM3', { manufacturer: 'Bench Instruments', vendorId: '1AB1', productId: '0588', serialNumber: 'M1' });
  device.on('data', (bytes) => {
    if (bytes.toString().startsWith('*IDN?')) device.write('BENCH,METER,M1,1.0\n');
    if (bytes.toString().startsWith('MEAS?')) device.write('+1.234E+00\n');
  });
  return { ports, device, meter: new Meter(ports.SerialPort, 'COM3') };
}

test('a query gets its reply line, at the rate the app set', async () => {
  const { meter, device } = benchMeter();
  assert.equal(await meter.query('*IDN?'), 'BENCH,METER,M1,1.0');
  assert.equal(await meter.query('MEAS?'), '+1.234E+00');
  assert.equal(device.take().toString(), '*IDN?\nMEAS?\n');
  assert.equal(device.settings.baudRate, 9600);
  await meter.close();
  assert.equal(device.isOpen, false);
});

test('a meter unplugged between queries is found again when it comes back', async () => {
  const { meter, device } = benchMeter();
  let opens = 0;
  device.on('open', () => opens++);
  assert.equal(await meter.query('MEAS?'), '+1.234E+00');
  device.unplug();
  // Back after 150 ms: the app's own retries must carry it over the gap.
  setTimeout(() => device.plug(), 150);
  assert.equal(await meter.query('MEAS?', { timeout: 2000 }), '+1.234E+00');
  assert.equal(opens, 2);
  await meter.close();
});

test('a meter unplugged while a query waits: the query is asked again once it is back', async () => {
  const { meter, device } = benchMeter();
  let opens = 0;
  device.on('open', () => opens++);
  device.removeAllListeners('data');
  device.once('data', () => {
    device.unplug();
    setTimeout(() => {
      device.plug();
      device.on('data', () => device.write('+5.000E+00\n'));
    }, 100);
  });
  assert.equal(await meter.query('MEAS?', { timeout: 2000 }), '+5.000E+00');
  assert.equal(opens, 2);
  await meter.close();
});

test('the deadline holds for a reply that comes too slowly at 9600 baud', async () => {
  // Paced: 200 bytes at 9600 baud take about 208 ms, longer than the 100 ms allowed.
  const { meter, device } = benchMeter({ pace: true });
  device.removeAllListeners('data');
  device.on('data', () => device.write(`${'9'.repeat(199)}\n`));
  const started = Date.now();
  const error = await meter.query('MEAS?', { timeout: 100 }).catch((e) => e);
  assert.equal(error.code, 'ETIMEDOUT');
  assert.ok(Date.now() - started >= 99);
  // Part of the reply had come, at the line's pace.
  assert.ok(error.received.length > 0 && error.received.length < 200, `${error.received.length} bytes came`);
  await meter.close();
});
