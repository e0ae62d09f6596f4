// Prints the modem status lines of a port whenever they change, and the
// ports that are plugged in or pulled out meanwhile. Ctrl-C stops.
// node examples/watch-lines.js COM3
const { SerialPort } = require('vornet');

const path = process.argv[2] || 'COM3';

(async () => {
  const port = await SerialPort.open(path, { baudRate: 9600 });
  // Raise DTR and RTS, as many devices want before they talk.
  await port.set({ dtr: true, rts: true });
  let last = '';
  const timer = setInterval(async () => {
    const { cts, dsr, dcd } = await port.get();
    const now = `CTS ${cts ? 'on ' : 'off'}  DSR ${dsr ? 'on ' : 'off'}  DCD ${dcd ? 'on ' : 'off'}`;
    if (now !== last) console.log(now);
    last = now;
  }, 100);
  const watcher = SerialPort.watch({ interval: 1000 });
  watcher.on('attach', (p) => console.log(`plugged in: ${p.path} ${p.friendlyName ?? ''}`));
  watcher.on('detach', (p) => console.log(`pulled out: ${p.path} ${p.friendlyName ?? ''}`));
  process.on('SIGINT', async () => {
    clearInterval(timer);
    watcher.close();
    await port.close();
  });
})().catch((error) => {
  console.error(`${error.message} (${error.code})`);
  process.exit(1);
});
