// Waits for a USB serial device with the given vendor ID to be plugged in
// (or finds it already there), then prints its port. Gives up after a minute.
// node examples/wait-for-device.js 2341
const { SerialPort } = require('vornet');

const vendorId = (process.argv[2] || '2341').toUpperCase();

async function main() {
  const watcher = SerialPort.watch({ interval: 500 });
  const giveUp = setTimeout(() => watcher.close(), 60000);
  const [present] = await new Promise((resolve) => watcher.once('ready', (ports) => resolve([ports])));
  let found = present.find((port) => port.vendorId === vendorId);
  if (!found) {
    console.log(`waiting for a device with vendor ID ${vendorId}...`);
    for await (const { type, port } of watcher) {
      if (type === 'attach' && port.vendorId === vendorId) {
        found = port;
        break; // leaving the loop closes the watcher
      }
    }
  }
  watcher.close();
  clearTimeout(giveUp);
  console.log(found ? `${found.path} (${found.friendlyName ?? 'no name'})` : 'no such device came');
}

main();
