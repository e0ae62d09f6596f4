// Asks a device for one reply line with a deadline, toggles a break without
// dropping DTR, and reports modem-line changes for a few seconds.
// node examples/request-reply.js COM3 115200 "AT+GMR"
const { SerialPort } = require('vornet');

const [path = 'COM3', baud = '115200', request = 'AT'] = process.argv.slice(2);

(async () => {
  // Where the modem lines cannot be read, the open says so.
  const port = await SerialPort.open(path, {
    baudRate: Number(baud),
    modemStatus: { interval: 50 },
    signal: AbortSignal.timeout(5000),
  });
  port.on('modemStatus', ({ status, changed }) => console.log(`lines ${changed.join(', ')} changed:`, status));

  port.write(`${request}\r\n`);
  try {
    const reply = await port.readUntil('\r\n', { timeout: 2000 });
    console.log(`< ${reply.toString('latin1').trim()}`);
  } catch (error) {
    if (error.code !== 'ETIMEDOUT') throw error;
    console.log(`no reply within 2 s (${error.received.length} bytes came)`);
  }

  await port.set({ brk: true });
  await new Promise((resolve) => setTimeout(resolve, 50));
  await port.set({ brk: false });
  console.log('output lines:', port.outputLines);   // DTR still raised

  await new Promise((resolve) => setTimeout(resolve, 3000));
  await port.close();
})().catch((error) => {
  console.error(`${error.message} (${error.code}${error.path ? `, ${error.path}` : ''})`);
  process.exit(1);
});
