// Sends one line to a device and prints what comes back within a second,
// line by line. node examples/send-line.js COM3 115200 "AT"
const { SerialPort } = require('vornet');

const [path = 'COM3', baud = '115200', line = 'AT'] = process.argv.slice(2);

(async () => {
  const port = await SerialPort.open(path, { baudRate: Number(baud) });
  let pending = '';
  port.on('data', (chunk) => {
    pending += chunk.toString('latin1');
    const lines = pending.split(/\r?\n/);
    pending = lines.pop();
    for (const text of lines) console.log(`< ${text}`);
  });
  port.write(`${line}\r\n`);
  console.log(`> ${line}`);
  await new Promise((resolve) => setTimeout(resolve, 1000));
  await port.close();
})().catch((error) => {
  // error.code tells the failures apart: ENOENT (no such port), EACCES (in use), ...
  console.error(`${error.message} (${error.code})`);
  process.exit(1);
});
