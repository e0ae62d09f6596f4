// Sends one line to a device and prints each line that comes back within a
// second. node examples/send-line.js COM3 115200 "AT"
const { pipeline } = require('node:stream/promises');
const { SerialPort, DelimiterParser } = require('vornet');

const [path = 'COM3', baud = '115200', line = 'AT'] = process.argv.slice(2);

async function main() {
  const port = await SerialPort.open(path, { baudRate: Number(baud) });
  try {
    port.write(`${line}\r\n`);
    console.log(`> ${line}`);
    // pipeline() passes on every failure of the port, a device pulled out
    // included, so nothing is left to an unhandled 'error' event. The signal
    // ends the listening after a second.
    const lines = new DelimiterParser({ delimiter: '\n', maxLength: 4096 });
    await pipeline(port, lines, async (replies) => {
      for await (const reply of replies) console.log(`< ${reply.toString('latin1').replace(/\r+$/, '')}`);
    }, { signal: AbortSignal.timeout(1000) }).catch((error) => {
      if (error.name !== 'AbortError') throw error;
    });
  } finally {
    // Settles from every state, a port the device left included.
    await port.close();
  }
}

main().catch((error) => {
  // error.code tells the failures apart: ENOENT (no such port), EACCES (in
  // use), ERR_PORT_DISCONNECTED (the device went away; error.cause says how), ...
  // Most errors name the port already; the others are given its name.
  const message = error.message.includes(path) ? error.message : `${path}: ${error.message}`;
  console.error(`${message} (${error.code})`);
  process.exitCode = 1;
});
