// Sends AT commands to a modem (or any device that answers as one) and prints
// each reply, with a deadline. node examples/request-reply.js COM3 115200 AT+GMR ATI
const { SerialPort } = require('vornet');

const [path = 'COM3', baud = '115200', ...commands] = process.argv.slice(2);
if (commands.length === 0) commands.push('AT');

// One command and its reply. A modem answers "\r\n<line>\r\n...\r\nOK\r\n"
// (or ERROR), with the command itself first while echo is on, so the reply is
// read line by line: empty lines and the echo skipped, the lines gathered up
// to OK or ERROR, the whole exchange within `timeout` ms. Reading one line
// would give the empty line before the answer.
async function command(port, text, { timeout = 2000 } = {}) {
  const deadline = Date.now() + timeout;
  port.write(`${text}\r\n`);
  const lines = [];
  for (;;) {
    // ETIMEDOUT once the deadline has passed; the bytes that came are in error.received.
    const read = await port.readUntil('\n', { timeout: Math.max(1, deadline - Date.now()) });
    const line = read.toString('latin1').trim();
    if (line === '' || line === text) continue;
    if (line === 'OK') return lines;
    if (line === 'ERROR' || line.startsWith('+CME ERROR') || line.startsWith('+CMS ERROR')) {
      const error = new Error(`${text}: the device answered ${line}`);
      error.code = 'ERR_AT_COMMAND';
      error.lines = lines;
      throw error;
    }
    lines.push(line);
  }
}

async function main() {
  const port = await SerialPort.open(path, { baudRate: Number(baud), signal: AbortSignal.timeout(5000) });
  // A device pulled out fails the readUntil waiting then; between commands it
  // comes only as an 'error' event, which ends the process unless something
  // listens, and the next call says ERR_PORT_NOT_OPEN. The listener keeps the
  // cause, to report it rather than that.
  let failure = null;
  port.on('error', (error) => { failure = error; });
  try {
    for (const text of commands) {
      try {
        const reply = await command(port, text);
        console.log(`${text}: ${reply.length > 0 ? reply.join(' | ') : 'OK'}`);
      } catch (error) {
        // A refused command or a silent device: the next one may do better.
        if (error.code !== 'ERR_AT_COMMAND' && error.code !== 'ETIMEDOUT') throw failure ?? error;
        console.log(error.code === 'ETIMEDOUT' ? `${text}: no reply within 2 s` : error.message);
        process.exitCode = 1;
      }
    }
  } finally {
    await port.close();
  }
}

main().catch((error) => {
  // Most errors name the port already; the others are given its name.
  const message = error.message.includes(path) ? error.message : `${path}: ${error.message}`;
  console.error(`${message} (${error.code})`);
  process.exitCode = 1;
});
