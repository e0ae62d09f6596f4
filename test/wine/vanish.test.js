'use strict';
// A device that goes away while open, as a USB adapter pulled out: here the
// far end of a pseudo-terminal pair, its socat ended. Each pending transfer
// and the next open report an error within seconds, and other ports go on.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { runWindows, nullModem, windowsPath, eachArch, root } = require('./rig');

eachArch(test, 'the far end vanishing ends a pending read and write with errors; the next open fails', {}, async (arch) => {
  const base = arch === 'x64' ? 55 : 155;
  const gone = nullModem(base, base + 1);
  const other = nullModem(base + 2, base + 3);
  const marker = path.join(root, 'build', `vanish-${arch}`);
  fs.rmSync(marker, { force: true });
  try {
    const running = runWindows('vanish.js', [`COM${base}`, `COM${base + 2}`, `COM${base + 3}`, windowsPath(marker)], { arch });
    for (let i = 0; i < 1200 && !fs.existsSync(marker); i++) await new Promise((r) => setTimeout(r, 50));
    assert.ok(fs.existsSync(marker), 'the program got its transfers pending');
    execFileSync('kill', [fs.readFileSync(path.join(root, 'build', 'ptys', `pair-${base}-${base + 1}.pid`), 'utf8').trim()]);
    const run = await running;
    assert.equal(run.status, 0, run.stderr + run.stdout);
    const r = run.json;
    // Wine reports a hung-up pseudo-terminal as a broken pipe to the read
    // and as "not ready" to everything after.
    assert.equal(r.read.error, 'Reading from COM port (ReadIOCompletion): Unknown error code 109');
    assert.equal(r.write.error, 'Writing to COM port (WriteIOCompletion): Unknown error code 21');
    const limit = arch === 'x64' ? 5000 : 15000;
    assert.ok(r.read.ms < limit && r.write.ms < limit, `errors after ${r.read.ms} and ${r.write.ms} ms`);
    assert.equal(r.later, 'Getting baud rate (GetCommState): Unknown error code 21');
    assert.equal(r.close, null);
    assert.equal(r.reopen, `Opening COM${base}: File not found`);
    assert.equal(r.other, 'still here');
  } finally {
    gone.down();
    other.down();
  }
});
