'use strict';
// Under Wine, on one null-modem pair: throughput of 64 KiB writes read at the
// other end in reads of up to 64 KiB, and the round-trip time of one-byte
// writes and reads, for four contenders making the same Win32 calls:
// - addon: lintel.node from JavaScript;
// - floor: C, each transfer on a thread of its own (created, issuing,
//   sleeping alertably, joined): what the addon's design costs at least;
// - ceiling: C, the calls made directly, no thread per transfer;
// - fs: Node's own fs on \\.\COMn.
// Rounds are interleaved so that drift hits all alike; medians are shown.
// The goal: the addon within 1.15 times the floor on both measures.
// --against FILE adds another build of lintel.node (an earlier commit's, say)
// as a fifth contender, "other", to see what a change costs.
// node bench/transfer-wine.js [--arch x64,arm64] [--against FILE] [bytes] [roundTrips] [rounds]
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { runWindows, nullModem, windowsPath, root } = require('../test/wine/rig');

const flag = (name) => { const at = process.argv.indexOf(name); return at > 0 ? process.argv[at + 1] : undefined; };
const archs = (flag('--arch') || 'x64,arm64').split(',');
const against = flag('--against');
const numbers = process.argv.slice(2)
  .filter((a, i, all) => !a.startsWith('--') && !['--arch', '--against'].includes(all[i - 1])).map(Number);
const bytes = numbers[0] || 8 << 20;
const trips = numbers[1] || 100;
const rounds = numbers[2] || 5;
// Emulated ARM64 is an order of magnitude slower; its figures are for
// information (the bytes must arrive exactly), so it moves less data.
const scaled = { x64: 1, arm64: 8 };

const median = (values) => values.slice().sort((x, y) => x - y)[Math.floor(values.length / 2)];
const target = { x64: 'x86_64-windows-gnu', arm64: 'aarch64-windows-gnu' };

function buildCeiling(arch) {
  const exe = path.join(root, 'build', `ceiling-${arch}.exe`);
  execFileSync(path.join(root, 'scripts', 'zig-cc'), ['-target', target[arch], '-O2', '-Wall', '-Wextra',
    '-o', exe, path.join(__dirname, 'ceiling.c')], { stdio: ['ignore', 'ignore', 'inherit'] });
  return exe;
}

async function once(kind, arch, exe, a, b, size, count) {
  if (kind === 'floor' || kind === 'ceiling') {
    const out = execFileSync(path.join(root, 'scripts', 'wine-node'),
      ['--arch', arch, a, b, size, count, kind === 'floor' ? 'threads' : 'direct'].map(String),
      { env: { ...process.env, VORNET_NODE_EXE: exe }, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    return JSON.parse(out.trim().split('\n').pop());
  }
  const run = kind === 'other'
    ? await runWindows(path.join(__dirname, 'wine', 'addon.js'), [windowsPath(against), a, b, size, count], { arch })
    : await runWindows(`../../../bench/wine/${kind}.js`, [a, b, size, count], { arch });
  if (!run.json) throw new Error(`${kind} on ${arch}: ${run.stderr}${run.stdout}`);
  return run.json;
}

async function measure(arch) {
  const exe = buildCeiling(arch);
  const base = arch === 'x64' ? 47 : 147;
  const pair = nullModem(base, base + 1);
  const size = Math.floor(bytes / scaled[arch]);
  const count = Math.max(10, Math.floor(trips / scaled[arch]));
  const kinds = ['addon', ...(against ? ['other'] : []), 'floor', 'ceiling', 'fs'];
  const results = Object.fromEntries(kinds.map((k) => [k, []]));
  try {
    for (let round = 0; round < rounds; round++) {
      for (const kind of kinds) {
        const json = await once(kind, arch, exe, `COM${base}`, `COM${base + 1}`, size, count);
        if (!json.exact) throw new Error(`${kind} on ${arch} did not deliver the bytes exactly`);
        results[kind].push(json);
        process.stderr.write(`${arch} ${kind} round ${round + 1}: ${JSON.stringify(json)}\n`);
      }
    }
  } finally {
    pair.down();
  }
  const summary = {};
  for (const [kind, runs] of Object.entries(results)) {
    summary[kind] = { mbps: median(runs.map((r) => r.mbps)), rttMs: median(runs.map((r) => r.rttMs)) };
  }
  return { arch, size, count, summary };
}

(async () => {
  const all = [];
  for (const arch of archs) all.push(await measure(arch));
  for (const { arch, size, count, summary } of all) {
    console.log(`${arch}: ${size} bytes, ${count} round trips, median of ${rounds} interleaved rounds`);
    for (const [kind, s] of Object.entries(summary)) {
      console.log(`  ${kind.padEnd(8)} ${s.mbps.toFixed(3).padStart(8)} MB/s   round trip ${s.rttMs.toFixed(3).padStart(7)} ms`);
    }
    // Slower than the other is above 1 on both measures.
    const slower = (other) => [(summary[other].mbps / summary.addon.mbps), (summary.addon.rttMs / summary[other].rttMs)];
    for (const other of [...(against ? ['other'] : []), 'floor', 'ceiling', 'fs']) {
      const [throughput, roundTrip] = slower(other);
      const goal = other === 'floor' && arch === 'x64'
        ? `  (goal at most 1.15: ${throughput <= 1.15 && roundTrip <= 1.15 ? 'met' : 'NOT met'})` : '';
      console.log(`  addon's time against ${other.padEnd(7)}: throughput ${throughput.toFixed(2)}, round trip ${roundTrip.toFixed(2)}${goal}`);
    }
  }
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
