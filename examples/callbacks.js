// The eleven functions directly, with callbacks: open, write a line, read
// what comes back, close. node examples/callbacks.js COM3
const lintel = require('vornet');

const path = process.argv[2] || 'COM3';
// The functions apply no defaults: give at least baudRate and dataBits.
lintel.open(path, { baudRate: 115200, dataBits: 8, parity: 'none', stopBits: 1 }, (error, fd) => {
  if (error) throw error;
  lintel.write(fd, Buffer.from('AT\r\n'), (writeError) => {
    if (writeError) throw writeError;
    const buffer = Buffer.alloc(256);
    // Waits for the first byte, then takes what else is there.
    lintel.read(fd, buffer, 0, buffer.length, (readError, count) => {
      if (readError) throw readError;
      console.log(buffer.toString('latin1', 0, count));
      lintel.close(fd, () => {});
    });
  });
});
