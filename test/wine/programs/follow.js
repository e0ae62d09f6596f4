// A SerialPort with reconnect, its bytes piped through DelimiterParser,
// following a device that goes and comes back. Each event is appended to a
// log as a JSON line with the time it came, for the test to act on. Once
// `count` lines have arrived the port is closed; a device opened by identity
// is then opened once more by it. argv: the addon, the port's name or the
// identity as JSON, the log, the number of lines.
const fs = require('fs');
const path = require('path');
const { pipeline } = require('stream');
const lib = path.join(__dirname, '..', '..', '..', 'lib');
const { createSerialPort } = require(path.join(lib, 'serialport'));
const { DelimiterParser } = require(path.join(lib, 'parsers'));
const SerialPort = createSerialPort(require(process.argv[2]));
const [targetText, log, countText] = process.argv.slice(3);
const target = targetText.startsWith('{') ? JSON.parse(targetText) : targetText;
const options = { baudRate: 115200 };
const note = (event, fields = {}) => fs.appendFileSync(log, `${JSON.stringify({ event, at: Date.now(), ...fields })}\n`);

(async () => {
  const port = await SerialPort.open(target, { ...options, reconnect: true });
  const report = { opened: port.path, lines: [], events: [] };
  port.on('disconnect', (error) => {
    const fields = { code: error.code, path: error.path, cause: error.cause ? error.cause.code : null, isOpen: port.isOpen };
    report.events.push(['disconnect', fields]);
    note('disconnect', fields);
  });
  port.on('reconnect', ({ path: where }) => {
    report.events.push(['reconnect', { path: where, isOpen: port.isOpen }]);
    note('reconnect', { path: where });
    // Writes go out again, to the device as it is now.
    port.write(`back on ${where}\n`);
  });
  const lines = new DelimiterParser({ delimiter: '\n' });
  const piped = new Promise((resolve) => pipeline(port, lines, resolve));
  note('open', { path: port.path });
  await new Promise((resolve) => lines.on('data', (line) => {
    report.lines.push(line.toString('latin1'));
    note('line', { text: line.toString('latin1') });
    if (report.lines.length === Number(countText)) resolve();
  }));
  await port.close();
  report.pipeError = await piped.then((error) => (error ? error.code : null));
  if (typeof target === 'object') {
    const again = await SerialPort.open(target, options);
    report.again = again.path;
    await again.close();
  }
  console.log(JSON.stringify(report));
})().catch((error) => {
  console.log(JSON.stringify({ failed: `${error.message} (${error.code})` }));
  process.exit(1);
});
