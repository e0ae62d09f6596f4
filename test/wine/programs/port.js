// Opens a COM port with the given options, optionally updates its rate, and
// reports what the addon saw. argv: addon, port, options JSON, new rate or "-".
const lintel = require(process.argv[2]);
const [name, optionsJson, newRate] = process.argv.slice(3);
const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));
const text = (results) => (results[0] ? results[0].message : results[0]);

(async () => {
  const report = {};
  const [openError, fd] = await step(lintel.open, name, JSON.parse(optionsJson));
  report.open = openError ? openError.message : null;
  if (!openError) {
    report.rate = (await step(lintel.getBaudRate, fd))[1];
    if (newRate !== '-') {
      report.update = text(await step(lintel.update, fd, { baudRate: Number(newRate) }));
      report.rateAfter = (await step(lintel.getBaudRate, fd))[1];
    }
    report.set = text(await step(lintel.set, fd, { rts: true, dtr: true }));
    report.get = text(await step(lintel.get, fd));
    report.close = text(await step(lintel.close, fd));
  }
  console.log(JSON.stringify(report));
})();
