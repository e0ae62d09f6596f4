// Opens and closes a port many times, then holds one open handle while the
// Unix side counts descriptors, then tries a second open of a locked port.
const fs = require('fs');
const lintel = require(process.argv[2]);
const [name, times, marker, done] = process.argv.slice(3);
const step = (fn, ...args) => new Promise((resolve) => fn(...args, (...results) => resolve(results)));
const options = { baudRate: 9600, dataBits: 8 };
(async () => {
  let failures = 0;
  for (let i = 0; i < Number(times); i++) {
    const [error, fd] = await step(lintel.open, name, options);
    if (error) { failures++; continue; }
    if ((await step(lintel.close, fd))[0]) failures++;
  }
  const [, locked] = await step(lintel.open, name, { ...options, lock: true });
  const second = await step(lintel.open, name, options);
  fs.writeFileSync(marker, 'looped');
  for (let i = 0; i < 200 && !fs.existsSync(done); i++) await new Promise((r) => setTimeout(r, 50));
  if (!second[0]) await step(lintel.close, second[1]);
  await step(lintel.close, locked);
  console.log(JSON.stringify({ failures, second: second[0] ? second[0].message : 'opened' }));
})();
