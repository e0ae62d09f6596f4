// Lists the ports `times` times and prints the last list and the mean time.
const lintel = require(process.argv[2]);
const times = Number(process.argv[3] || 1);
const once = () => new Promise((resolve) => lintel.list((error, ports) => resolve([error, ports])));
(async () => {
  let result;
  const started = process.hrtime.bigint();
  for (let i = 0; i < times; i++) result = await once();
  const ms = Number(process.hrtime.bigint() - started) / 1e6 / times;
  // Entries keep the key order and show undefined (as null) through JSON.
  const ports = result[1].map((port) => Object.entries(port).map(([k, v]) => [k, v === undefined ? null : v]));
  console.log(JSON.stringify({ error: result[0], ports, ms }));
})();
