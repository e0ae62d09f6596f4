// Prints each line a device sends, and follows the device when it is pulled
// out and comes back, under its old name or, plugged into another socket,
// under a new one. Ctrl-C closes the port and leaves.
// node examples/follow-device.js A50285BI        (its USB serial number, as `npx vornet list` shows it)
// node examples/follow-device.js COM3 115200
const { pipeline } = require('node:stream/promises');
const { SerialPort, DelimiterParser } = require('vornet');

const [target = 'COM3', baud = '9600'] = process.argv.slice(2);
// A port name, or the serial number of the device.
const where = /^(COM\d+|\\\\)/i.test(target) ? target : { serialNumber: target };

(async () => {
  const port = await SerialPort.open(where, { baudRate: Number(baud), reconnect: true });
  console.log(`following ${port.path}`);
  port.on('disconnect', (error) => {
    console.log(`${error.path} went away (${error.cause ? error.cause.code : 'gone from the port list'}); waiting for it`);
  });
  port.on('reconnect', ({ path }) => console.log(`back on ${path}`));
  process.once('SIGINT', () => port.close());

  // Nothing in the bytes marks the gap: a line cut short by the loss is
  // finished by the first bytes after the return. So the gaps are placed in
  // the bytes (those read before the loss include the ones the port still
  // holds when 'disconnect' comes), and the lines that span one are marked.
  const gaps = [];
  const joined = new Set();
  let seen = 0;
  let complete = 0;
  let last = 0x0a;
  port.on('disconnect', () => gaps.push(seen + port.readableLength));
  port.on('data', (chunk) => {
    for (const byte of chunk) {
      if (gaps.length > 0 && seen === gaps[0]) {
        gaps.shift();
        if (last !== 0x0a) joined.add(complete);
      }
      seen++;
      last = byte;
      if (byte === 0x0a) complete++;
    }
  });

  const lines = new DelimiterParser({ delimiter: '\n', maxLength: 1024 });
  const printed = pipeline(port, lines, async (frames) => {
    let number = 0;
    for await (const line of frames) {
      const text = line.toString('latin1').replace(/\r$/, '');
      console.log(joined.has(number++) ? `<~ ${text}   (cut by the gap: its start came before, its end after)` : `< ${text}`);
    }
  });

  await printed;
  console.log('closed');
})().catch((error) => {
  // Most errors name the port already; the others are given its name.
  const message = error.message.includes(target) ? error.message : `${target}: ${error.message}`;
  console.error(`${message} (${error.code})`);
  process.exitCode = 1;
});
