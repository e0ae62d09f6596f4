'use strict';
// list with 1, 50 and 200 identical USB serial adapters (one vendor and
// product ID, one instance key each), each found through the serial-number
// lookup: time per port on the simulated layer and, with --wine, under Wine
// with the devices written into its registry. The goal: per-port time at 200
// within 1.5 times the per-port time at 1.
// node bench/list.js [--wine] [--arch x64|arm64]
const path = require('node:path');
const root = path.join(__dirname, '..');
const lintel = require(path.join(root, 'build', 'linux-x64', 'lintel.node'));
const sim = require(path.join(root, 'build', 'linux-x64', 'simcontrol.node'));

const sizes = [1, 50, 200];
const usb = 'SYSTEM\\CurrentControlSet\\Enum\\USB';

function simulatedMachine(n) {
  sim.reset();
  for (let i = 0; i < n; i++) {
    const serial = `BENCH${String(i).padStart(6, '0')}`;
    const container = `{00B0C000-0000-4000-8000-${String(i).padStart(12, '0')}}`;
    sim.regSetString(`${usb}\\VID_16C0&PID_0483\\${serial}`, 'ContainerID', container.toLowerCase());
    sim.addDevice({ instanceId: `USB\\VID_16C0&PID_0483\\${serial}`, portName: `COM${100 + i}`,
      friendlyName: `USB Serial Device (COM${100 + i})`, manufacturer: 'Microsoft', containerId: container });
  }
}

const listOnce = () => new Promise((resolve) => lintel.list((e, ports) => resolve(ports)));

async function simulated(n, times = 20) {
  simulatedMachine(n);
  const started = process.hrtime.bigint();
  let ports;
  for (let i = 0; i < times; i++) ports = await listOnce();
  if (ports.length !== n || ports.some((p) => !p.serialNumber)) throw new Error('simulated list incomplete');
  return Number(process.hrtime.bigint() - started) / 1e6 / times;
}

const archAt = process.argv.indexOf('--arch');
const arch = archAt > 0 ? process.argv[archAt + 1] : 'x64';

async function underWine(n) {
  const fixture = require('../test/wine/fixture');
  const { runWindows } = require('../test/wine/rig');
  fixture.install(n, arch);
  const run = await runWindows('list.js', [5], { arch });
  const expected = fixture.expectedPorts(n).length;
  if (!run.json || run.json.ports.length !== expected) throw new Error(`Wine list: ${run.stderr}`);
  return { ms: run.json.ms, ports: expected };
}

(async () => {
  const wine = process.argv.includes('--wine');
  const rows = [];
  for (const n of sizes) {
    const row = { n, simMs: await simulated(n) };
    if (wine) Object.assign(row, await underWine(n));
    rows.push(row);
  }
  for (const r of rows) {
    let line = `${String(r.n).padStart(3)} devices: simulated ${r.simMs.toFixed(3)} ms (${(r.simMs / r.n * 1000).toFixed(1)} µs/device)`;
    if (wine) line += `; Wine ${arch} ${r.ms.toFixed(1)} ms for ${r.ports} ports (${(r.ms / r.ports).toFixed(2)} ms/port)`;
    console.log(line);
  }
  const per = (r, key, count) => r[key] / count;
  const last = rows.at(-1);
  const first = rows[0];
  const verdict = (ratio) => `${ratio.toFixed(2)} (goal at most 1.50: ${ratio <= 1.5 ? 'met' : 'NOT met'})`;
  console.log(`per-port cost, 200 vs 1 device, simulated: ${verdict(per(last, 'simMs', last.n) / per(first, 'simMs', first.n))}`);
  if (wine) {
    console.log(`per-port cost, 200 vs 1 device, Wine ${arch}: ${verdict(per(last, 'ms', last.ports) / per(first, 'ms', first.ports))}`);
    require('../test/wine/fixture').install(0, arch);
  }
  sim.reset();
})();
