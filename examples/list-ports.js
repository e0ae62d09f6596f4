// Lists the serial ports of this machine with their USB identity.
// node examples/list-ports.js
const { SerialPort } = require('vornet');

SerialPort.list().then((ports) => {
  if (ports.length === 0) console.log('no serial ports');
  for (const port of ports) {
    const usb = port.vendorId ? ` USB ${port.vendorId}:${port.productId} serial ${port.serialNumber ?? '?'}` : '';
    console.log(`${port.path}  ${port.friendlyName ?? ''}${usb}`);
  }
}, (error) => {
  console.error(`listing failed: ${error.message}`);
  process.exitCode = 1;
});
