'use strict';
// Under Wine, on one null-modem pair: throughput of large writes read at the
// other end, and the round-trip time of one-byte writes, for the addon, for a
// C program making the same Win32 calls (the ceiling) and for Node's fs on
// \\.\COMn. Runs are interleaved so drift hits all three alike; medians.
// node bench/transfer-wine.js [bytes] [roundTrips] [rounds]
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { runWindows, nullModem, windowsPath, root } = require('../test/wine/rig');

const bytes = Number(process.argv[2] || 1 << 20);
const trips = Number(process.argv[3] || 100);
const rounds = Number(process.argv[4] || 3);
const ceiling = path.join(root, 'build', 'ceiling.exe');
execFileSync('x86_64-w64-mingw32-gcc', ['-O2', '-Wall', '-Wextra', '-o', ceiling, path.join(__dirname, 'ceiling.c')]);

const median = (values) => values.slice().sort((x, y) => x - y)[Math.floor(values.length / 2)];


(async () => {
  const pair = nullModem(47, 48);
  try {
    const results = { addon: [], ceiling: [], fs: [] };
    for (let round = 0; round < rounds; round++) {
      for (const kind of ['addon', 'ceiling', 'fs']) {
        let json;
        if (kind === 'ceiling') {
          const out = execFileSync(path.join(root, 'scripts', 'wine-node'), ['COM47', 'COM48', bytes, trips].map(String), {
            env: { ...process.env, VORNET_NODE_EXE: ceiling }, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
          json = JSON.parse(out.trim().split('\n').pop());
        } else {
          const run = await runWindows(`../../../bench/wine/${kind}.js`, ['COM47', 'COM48', bytes, trips]);
          if (!run.json) throw new Error(`${kind}: ${run.stderr}${run.stdout}`);
          json = run.json;
        }
        if (!json.exact) throw new Error(`${kind} did not deliver the bytes exactly`);
        results[kind].push(json);
        process.stderr.write(`${kind} round ${round + 1}: ${JSON.stringify(json)}\n`);
      }
    }
    const summary = {};
    for (const [kind, runs] of Object.entries(results)) {
      summary[kind] = { mbps: median(runs.map((r) => r.mbps)), rttMs: median(runs.map((r) => r.rttMs)) };
      console.log(`${kind.padEnd(8)} ${summary[kind].mbps.toFixed(3)} MB/s   round trip ${summary[kind].rttMs.toFixed(3)} ms`);
    }
    const ratio = (x, y) => (x / y).toFixed(2);
    console.log(`addon/ceiling: throughput ${ratio(summary.addon.mbps, summary.ceiling.mbps)}, round trip ${ratio(summary.addon.rttMs, summary.ceiling.rttMs)}`);
    console.log(`addon/fs:      throughput ${ratio(summary.addon.mbps, summary.fs.mbps)}, round trip ${ratio(summary.addon.rttMs, summary.fs.rttMs)}`);
    console.log(`(${bytes} bytes, ${trips} round trips, median of ${rounds} interleaved rounds)`);
  } finally {
    pair.down();
  }
})();
