// The export table, the four frame operations on a value that is no open
// handle, and an exception from an options getter.
const lintel = require(process.argv[2]);
const result = { arch: process.arch, keys: Object.keys(lintel), names: Object.values(lintel).map((f) => f.name) };
try {
  lintel.open('COM1', { get baudRate() { throw new Error('from the baudRate getter'); } }, () => {});
} catch (error) {
  result.thrown = error.message;
}
const notOpen = 0x7fff0000;
const texts = {};
let left = 4;
const done = (name) => (error, value) => {
  texts[name] = error ? error.message : value;
  if (--left === 0) console.log(JSON.stringify({ ...result, texts }));
};
lintel.getBaudRate(notOpen, done('getBaudRate'));
lintel.flush(notOpen, done('flush'));
lintel.drain(notOpen, done('drain'));
lintel.close(notOpen, done('close'));
