'use strict';
// What small writes through the stream cost beside one large write of the
// same bytes: (a) one write of count*size bytes through SerialPort, (b)
// count writes of size bytes through SerialPort honouring back-pressure,
// (c) the same small writes on the raw addon, each awaited (a stream that
// does not batch costs at least that). Rounds interleave the three; medians
// are shown, with b/a and c/a. The goal: b/a within 5. Each measurement
// checks that the far end got exactly the bytes: the simulated port's sink
// on the Linux build, a raw read of the other end of a null-modem pair under
// Wine.
// node bench/batching.js [sim,x64,arm64] [rounds] [count] [size]
const path = require('node:path');
const { promisify } = require('node:util');
const execFile = promisify(require('node:child_process').execFile);
const { measure, kinds } = require('./wine/batching');

const targets = (process.argv[2] || 'sim,x64,arm64').split(',');
const rounds = Number(process.argv[3] || 3);
const count = Number(process.argv[4] || 2000);
const size = Number(process.argv[5] || 16);
const goal = 5;
const median = (values) => values.slice().sort((x, y) => x - y)[Math.floor(values.length / 2)];

function simTarget() {
  const build = path.join(__dirname, '..', 'build', 'linux-x64');
  const binding = require(path.join(build, 'lintel.node'));
  const sim = require(path.join(build, 'simcontrol.node'));
  const { createSerialPort } = require('../lib/serialport');
  const SerialPort = createSerialPort(binding);
  sim.createPort('COM3');
  // The simulated port keeps what it was sent; the far end takes it once the
  // writes are done, all of it having been accepted by then.
  const expect = async () => {
    sim.takeWritten('COM3');
    return async () => sim.takeWritten('COM3');
  };
  return (kind) => measure({ kind, SerialPort, binding, portPath: 'COM3', count, size, expect });
}

function wineTarget(arch) {
  const { nullModem, windowsPath, addonOf, root } = require('../test/wine/rig');
  const base = arch === 'x64' ? 63 : 163;
  const pair = nullModem(base, base + 1);
  // Unbatched, 2,000 small writes take tens of seconds under Wine and
  // several times that emulated: longer than the test rig gives a program,
  // so the run is bounded here, by a limit of its own.
  const limit = (arch === 'x64' ? 10 : 60) * 60 * 1000;
  const program = path.join(__dirname, 'wine', 'batching.js');
  const run = async (kind) => {
    const args = ['--arch', arch, windowsPath(program), windowsPath(addonOf(arch)), kind, `COM${base}`, `COM${base + 1}`, count, size];
    const { stdout } = await execFile(path.join(root, 'scripts', 'wine-node'), args.map(String), { timeout: limit, killSignal: 'SIGTERM' })
      .catch((e) => { throw new Error(`${kind} on ${arch}: ${e.killed ? `still running after ${limit} ms` : e.message}${e.stdout || ''}`); });
    const json = JSON.parse(stdout.trim().split('\n').pop());
    if (json.failed) throw new Error(`${kind} on ${arch}: ${json.failed}`);
    return json;
  };
  run.down = pair.down;
  return run;
}

async function bench(target) {
  const run = target === 'sim' ? simTarget() : wineTarget(target);
  const times = Object.fromEntries(Object.keys(kinds).map((k) => [k, []]));
  try {
    for (let round = 0; round < rounds; round++) {
      for (const kind of Object.keys(kinds)) {
        const result = await run(kind);
        process.stderr.write(`${target} round ${round + 1} ${kind}: ${result.ms.toFixed(1)} ms, ${result.received}/${result.bytes} bytes${result.exact ? ', exact' : ''}\n`);
        if (!result.exact) throw new Error(`${target}: ${kind} did not deliver the ${result.bytes} bytes exactly (${result.received} arrived)`);
        times[kind].push(result.ms);
      }
    }
  } finally {
    if (run.down) run.down();
  }
  return { target, ms: Object.fromEntries(Object.entries(times).map(([k, v]) => [k, median(v)])) };
}

(async () => {
  const all = [];
  for (const target of targets) all.push(await bench(target));
  console.log(`${count} writes of ${size} bytes against one write of ${count * size}; median of ${rounds} interleaved rounds`);
  for (const { target, ms } of all) {
    const b = ms.streamWrites / ms.oneWrite;
    const c = ms.rawWrites / ms.oneWrite;
    console.log(`${target}: (a) one write ${ms.oneWrite.toFixed(1)} ms, (b) through the stream ${ms.streamWrites.toFixed(1)} ms, ` +
      `(c) raw, each awaited ${ms.rawWrites.toFixed(1)} ms`);
    console.log(`${target}: b/a ${b.toFixed(1)} (goal at most ${goal}: ${b <= goal ? 'met' : 'NOT met'}), c/a ${c.toFixed(1)}`);
  }
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
