// The eleven functions directly, with callbacks: open, write a line, read
// what comes back, close. node examples/callbacks.js COM3
const lintel = require('vornet');

const path = process.argv[2] || 'COM3';

// Every failure ends here; a handle that was opened is closed on the way out,
// and its number never used after.
function fail(error, fd) {
  // An open's message names the port already; a transfer's does not.
  console.error(error.message.includes(path) ? error.message : `${path}: ${error.message}`);
  process.exitCode = 1;
  if (fd !== undefined) lintel.close(fd, () => {});
}

// The functions apply no defaults: give at least baudRate and dataBits.
lintel.open(path, { baudRate: 115200, dataBits: 8, parity: 'none', stopBits: 1 }, (error, fd) => {
  if (error) return fail(error);
  lintel.write(fd, Buffer.from('AT\r\n'), (writeError) => {
    if (writeError) return fail(writeError, fd);
    const buffer = Buffer.alloc(256);
    // Waits, without a time limit, for the first byte, then takes what else
    // is there. A device pulled out meanwhile ends it with an error.
    lintel.read(fd, buffer, 0, buffer.length, (readError, count) => {
      if (readError) return fail(readError, fd);
      console.log(JSON.stringify(buffer.toString('latin1', 0, count)));
      lintel.close(fd, (closeError) => { if (closeError) fail(closeError); });
    });
  });
});
