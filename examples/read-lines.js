// Prints each line a device sends, as it comes, until Ctrl-C (or the device
// sends "bye"). A device pulled out ends it with its error: pipeline() passes
// on every failure of the port. node examples/read-lines.js COM3 9600
const { pipeline } = require('node:stream/promises');
const { SerialPort, DelimiterParser } = require('vornet');

const [path = 'COM3', baud = '9600'] = process.argv.slice(2);

(async () => {
  const port = await SerialPort.open(path, { baudRate: Number(baud) });
  process.once('SIGINT', () => port.close());
  // Lines end in \r\n; a device that goes on without one for 1 KiB is
  // talking something else, and the pipeline fails with ERR_FRAME_TOO_LONG.
  const lines = new DelimiterParser({ delimiter: '\r\n', maxLength: 1024 });
  await pipeline(port, lines, async (frames) => {
    for await (const line of frames) {
      const text = line.toString('latin1');
      console.log(`< ${text}`);
      if (text === 'bye') await port.close();
    }
  });
})().catch((error) => {
  // Most errors name the port already; the others are given its name.
  const message = error.message.includes(path) ? error.message : `${path}: ${error.message}`;
  console.error(`${message} (${error.code})`);
  process.exitCode = 1;
});
