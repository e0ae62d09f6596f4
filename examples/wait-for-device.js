// Waits for a USB serial device with the given vendor ID to be plugged in
// (or finds it already there), then prints its port; exits with 1 if none
// came within the time given (60 s unless said).
// node examples/wait-for-device.js 2341 [seconds]
const { SerialPort } = require('vornet');

const vendorId = (process.argv[2] || '2341').toUpperCase();
const seconds = Number(process.argv[3] || 60);

async function main() {
  const watcher = SerialPort.watch({ interval: 500 });
  // Closing the watcher ends the loop below.
  const giveUp = setTimeout(() => watcher.close(), seconds * 1000);
  try {
    const present = await new Promise((resolve, reject) => {
      watcher.once('ready', resolve);
      watcher.once('error', reject);
    });
    let found = present.find((port) => port.vendorId === vendorId);
    if (!found) {
      console.log(`waiting for a device with vendor ID ${vendorId}...`);
      // A list that fails is thrown from the loop.
      for await (const { type, port } of watcher) {
        if (type === 'attach' && port.vendorId === vendorId) {
          found = port;
          break; // leaving the loop closes the watcher
        }
      }
    }
    if (!found) {
      console.log(`no device with vendor ID ${vendorId} came within ${seconds} s`);
      process.exitCode = 1;
      return;
    }
    console.log(`${found.path} (${found.friendlyName ?? 'no name'})`);
  } finally {
    watcher.close();
    clearTimeout(giveUp);
  }
}

main().catch((error) => {
  console.error(`${error.message} (${error.code})`);
  process.exitCode = 1;
});
