'use strict';
// open, update, set and get of the real builds on pseudo-terminals.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { runWindows, pairsByArch, termios, windowsPath, eachArch, root } = require('./rig');

const pairs = pairsByArch(41, 42);
after(() => pairs.down());

// The speed as the kernel holds it for the Unix side (termios() reads it with
// TCGETS2, as both Wines set it through termios2).
function assertSpeed(t, arch, tty, baud) {
  assert.match(tty, new RegExp(`speed ${baud} baud`));
}

eachArch(test, 'open at 9600 7E2: the addon and the pseudo-terminal agree on the line settings', {}, async (arch, t) => {
  const pair = pairs[arch];
  const run = await runWindows('port.js', [pair.a, JSON.stringify({ baudRate: 9600, dataBits: 7, parity: 'even', stopBits: 2 }), '-'], { arch });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.json.open, null);
  assert.deepEqual(run.json.rate, { baudRate: 9600 });
  const tty = termios(pair.unixA);
  assertSpeed(t, arch, tty, 9600);
  assert.match(tty, /(^|\s)cstopb(\s|$)/);
  // Wine asks for CS7 and PARENB, but Linux pseudo-terminals force CS8 and
  // clear PARENB in every tcsetattr; data bits and parity cannot show here.
  assert.match(tty, /(^|\s)cs8(\s|$)/);
  assert.match(tty, /(^|\s)-parenb(\s|$)/);
});

eachArch(test, 'update to 115200 is read back and changes the speed on the Unix side; set and get as Wine answers', {}, async (arch, t) => {
  const pair = pairs[arch];
  const run = await runWindows('port.js', [pair.a, JSON.stringify({ baudRate: 9600, dataBits: 8 }), '115200'], { arch });
  assert.equal(run.status, 0, run.stderr);
  assert.deepEqual(run.json.rate, { baudRate: 9600 });
  assert.equal(run.json.update, null);
  assert.deepEqual(run.json.rateAfter, { baudRate: 115200 });
  const tty = termios(pair.unixA);
  assertSpeed(t, arch, tty, 115200);
  assert.match(tty, /(^|\s)cs8(\s|$)/);
  assert.match(tty, /(^|\s)-parenb(\s|$)/);
  assert.match(tty, /(^|\s)-cstopb(\s|$)/);
  // A pseudo-terminal has no modem lines: Wine fails the escapes silently and
  // accepts the event mask, but GetCommModemStatus fails with 50.
  assert.equal(run.json.set, null);
  assert.equal(run.json.get, 'Getting control settings on COM port (GetCommModemStatus): Unknown error code 50');
  assert.equal(run.json.close, null);
});

eachArch(test, 'a port that does not exist: Opening COM199: File not found', {}, async (arch) => {
  const run = await runWindows('port.js', ['COM199', JSON.stringify({ baudRate: 9600, dataBits: 8 }), '-'], { arch });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.json.open, 'Opening COM199: File not found');
});

// Descriptors of any process that point at the pseudo-terminal.
function descriptorsOn(device) {
  let count = 0;
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    let fds = [];
    try { fds = fs.readdirSync(`/proc/${pid}/fd`); } catch { continue; }
    for (const fd of fds) {
      try { if (fs.readlinkSync(`/proc/${pid}/fd/${fd}`) === device) count++; } catch { /* gone */ }
    }
  }
  return count;
}

eachArch(test, 'open and close in a loop leaves no handle behind; a second open of a locked port', {}, async (arch) => {
  const marker = path.join(root, 'build', `handles-looped-${arch}`);
  const done = path.join(root, 'build', `handles-done-${arch}`);
  fs.rmSync(marker, { force: true });
  fs.rmSync(done, { force: true });
  const pair = pairs[arch];
  const running = runWindows('handles.js', [pair.b, 100, windowsPath(marker), windowsPath(done)], { arch });
  for (let i = 0; i < 3000 && !fs.existsSync(marker); i++) await new Promise((r) => setTimeout(r, 50));
  const held = descriptorsOn(pair.unixB);
  fs.writeFileSync(done, '');
  const run = await running;
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.json.failures, 0);
  // Two handles are open at that moment (the locked one and the second
  // open); a leak of the hundred closed ones would show here.
  assert.ok(held >= 1 && held <= 6, `descriptors on the pty while two handles are open: ${held}`);
  // Wine does not enforce share mode 0: the second open succeeds there.
  assert.equal(run.json.second, 'opened');
});

eachArch(test, 'a drain held by a device that does not read, closed: the port opens again at once; so it does after Workers terminated with an open in flight or with the port they opened', {}, async (arch, t) => {
  // The far end of this pair is never opened: what the port sends fills it.
  const { nullModem } = require('./rig');
  const offset = arch === 'x64' ? 0 : 100;
  const pair = nullModem(81 + offset, 82 + offset);
  const marker = path.join(root, 'build', `rounds-done-${arch}`);
  const done = path.join(root, 'build', `rounds-counted-${arch}`);
  fs.rmSync(marker, { force: true });
  fs.rmSync(done, { force: true });
  try {
    const before = descriptorsOn(pair.unixA);
    const running = runWindows('held-drain.js', [`COM${81 + offset}`, windowsPath(marker), windowsPath(done)], { arch });
    for (let i = 0; i < 6000 && !fs.existsSync(marker); i++) await new Promise((r) => setTimeout(r, 50));
    // No Worker's handle outlives it, and the program holds none open now.
    const left = descriptorsOn(pair.unixA);
    fs.writeFileSync(done, '');
    const run = await running;
    assert.equal(run.status, 0, run.stderr + run.stdout);
    assert.equal(left, before, 'descriptors on the port after the Worker rounds');
    t.diagnostic(JSON.stringify(run.json));
    assert.equal(run.json.closeError, null);
    assert.equal(run.json.reopenError, null);
    assert.equal(run.json.workerReopenErrors, 0);
    assert.equal(run.json.delivered, 3);
    // The write held by the full buffer is ended by the close; the drain
    // either ended with it or (Wine discards the output for a drain) at once.
    assert.match(run.json.writeError, /Operation aborted$/);
    assert.ok(run.json.drainError === null || /Operation aborted$/.test(run.json.drainError), run.json.drainError);
  } finally {
    pair.down();
  }
});
