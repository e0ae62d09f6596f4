'use strict';
// A device that goes and comes back, under Windows node.exe: a pair's far end
// killed and brought back under the same COM name, and the fixture's FTDI
// adapter (it has a USB serial number) pulled out and plugged back in under
// another COM number, told by the port list alone. A SerialPort with reconnect, piped through
// DelimiterParser, carries on with the lines before and after; the times from
// the loss to 'disconnect' and from the return to 'reconnect' are printed.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { runWindows, nullModem, windowsPath, eachArch, root } = require('./rig');
const fixture = require('./fixture');

const slow = (arch, ms) => (arch === 'x64' ? ms : ms * 6);
const socatOf = (a) => Number(fs.readFileSync(path.join(root, 'build', 'ptys', `pair-${a}-${a + 1}.pid`), 'utf8'));

// The program's log, one JSON event a line, until it holds `count` of
// `event`; `run` has the program's output once it has ended.
async function until(log, event, ms, count = 1, run = {}) {
  const deadline = Date.now() + ms;
  for (;;) {
    if (run.ended) throw new Error(`the program ended before its ${event}: ${run.ended.stdout}${run.ended.stderr}`);
    const events = fs.existsSync(log) ? fs.readFileSync(log, 'utf8').trim().split('\n').filter(Boolean).map((l) => JSON.parse(l)) : [];
    const found = events.filter((e) => e.event === event);
    if (found.length >= count) return found[count - 1];
    if (Date.now() > deadline) throw new Error(`no ${event} (${count}) within ${ms} ms; the log: ${JSON.stringify(events)}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

function send(device, text) {
  const far = fs.openSync(device, 'r+');
  fs.writeSync(far, text);
  fs.closeSync(far);
}

// Reads the far end until it has `size` bytes or the time is up.
async function hear(device, size, ms) {
  const far = fs.openSync(device, 'r+');
  try {
    let heard = '';
    const deadline = Date.now() + ms;
    const chunk = Buffer.alloc(256);
    while (heard.length < size && Date.now() < deadline) {
      const n = await new Promise((resolve) => fs.read(far, chunk, 0, chunk.length, null, (e, count) => resolve(e ? 0 : count)));
      heard += chunk.toString('latin1', 0, n);
    }
    return heard;
  } finally {
    fs.closeSync(far);
  }
}

// Runs the follow program on `target` (a name, or an identity) and plays the
// device: two lines, the loss (`lose()`; `gone()` once the port has said
// so), the return (`back()`, which gives the new far end), two more lines;
// resolves with the program's report and the times measured.
async function follow(arch, target, farEnd, { lose, gone = () => {}, back }) {
  const log = path.join(root, 'build', `follow-${arch}.log`);
  fs.rmSync(log, { force: true });
  const running = runWindows('follow.js', [typeof target === 'string' ? target : JSON.stringify(target), windowsPath(log), 4], { arch });
  const run = {};
  running.then((ended) => { run.ended = ended; });
  try {
    await until(log, 'open', slow(arch, 20000), 1, run);
    send(farEnd, 'one\ntwo\n');
    await until(log, 'line', slow(arch, 10000), 2, run);
    const lostAt = Date.now();
    lose();
    const disconnect = await until(log, 'disconnect', slow(arch, 10000), 1, run);
    gone();
    // The port has tried to open it again, and found nothing.
    await new Promise((resolve) => setTimeout(resolve, 500));
    // From the moment its return begins (registry, pair), which the port may see before it is all done.
    const backAt = Date.now();
    const newFarEnd = back();
    const reconnect = await until(log, 'reconnect', slow(arch, 10000), 1, run);
    const greeting = await hear(newFarEnd, `back on ${reconnect.path}\n`.length, slow(arch, 10000));
    send(newFarEnd, 'three\nfour\n');
    const { status, stdout, stderr, json } = await running;
    assert.equal(status, 0, stderr + stdout);
    return { report: json, greeting, toDisconnect: disconnect.at - lostAt, toReconnect: reconnect.at - backAt };
  } finally {
    await running;
  }
}

eachArch(test, 'a pair\'s far end killed and brought back: the port follows it under the same name, its lines carry on', {}, async (arch, t) => {
  const base = arch === 'x64' ? 91 : 191;
  let pair = nullModem(base, base + 1);
  try {
    const { report, greeting, toDisconnect, toReconnect } = await follow(arch, `COM${base}`, pair.unixB, {
      lose: () => process.kill(socatOf(base)),
      back: () => { pair = nullModem(base, base + 1); return pair.unixB; },
    });
    t.diagnostic(`far end killed -> 'disconnect' ${toDisconnect} ms; far end back -> 'reconnect' ${toReconnect} ms`);
    assert.deepEqual(report.lines, ['one', 'two', 'three', 'four']);
    // Wine tells a hung-up pseudo-terminal by a broken pipe to the read, and "not ready" after.
    const [[, lost], [, found]] = report.events;
    assert.match(lost.cause, /^(ERROR_BROKEN_PIPE|ERROR_NOT_READY)$/);
    assert.deepEqual({ ...lost, cause: null }, { code: 'ERR_PORT_DISCONNECTED', path: `COM${base}`, cause: null, isOpen: false });
    assert.deepEqual(found, { path: `COM${base}`, isOpen: true });
    assert.equal(report.events.length, 2);
    assert.equal(greeting, `back on COM${base}\n`);
    assert.equal(report.pipeError, null);
    assert.ok(toDisconnect < slow(arch, 3000), `'disconnect' ${toDisconnect} ms after the far end went`);
    // Tries come 100 ms to 2 s apart, and the search began at least 500 ms before the return.
    assert.ok(toReconnect < 2000 + slow(arch, 1000), `'reconnect' ${toReconnect} ms after the far end came back`);
  } finally {
    pair.down();
  }
});

eachArch(test, 'a USB adapter with a serial number plugged back in under another COM number: found there by it, and followed', {}, async (arch, t) => {
  const first = arch === 'x64' ? 93 : 193;
  const second = first + 2;
  const identity = { serialNumber: 'A50285BI' };
  // The fixture holds the adapter's USB instance, whose serial number its port is listed with.
  fixture.install(0, arch);
  fixture.moveFtdi(`COM${first}`, arch);
  const before = nullModem(first, first + 1);
  let after = null;
  try {
    const { report, greeting, toDisconnect, toReconnect } = await follow(arch, identity, before.unixB, {
      // Gone from the list while its port still answers, as a driver that says nothing.
      lose: () => fixture.moveFtdi(null, arch),
      gone: () => before.down(),
      back: () => {
        fixture.moveFtdi(`COM${second}`, arch);
        after = nullModem(second, second + 1);
        return after.unixB;
      },
    });
    t.diagnostic(`adapter gone from the list in silence -> 'disconnect' ${toDisconnect} ms; back under another name -> 'reconnect' ${toReconnect} ms`);
    assert.equal(report.opened, `COM${first}`);
    // Told by the list alone, with no Win32 error to give as the cause.
    assert.deepEqual(report.events[0][1], { code: 'ERR_PORT_DISCONNECTED', path: `COM${first}`, cause: null, isOpen: false });
    assert.ok(toDisconnect < slow(arch, 3500), `'disconnect' ${toDisconnect} ms after the adapter left the list`);
    assert.deepEqual(report.lines, ['one', 'two', 'three', 'four']);
    assert.deepEqual(report.events.map(([event, fields]) => [event, fields.path]), [['disconnect', `COM${first}`], ['reconnect', `COM${second}`]]);
    assert.equal(greeting, `back on COM${second}\n`);
    // Opened again by its serial number, after the port was closed: the new name.
    assert.equal(report.again, `COM${second}`);
    // Its return takes a registry write and a new pair; the tries come at most 2 s apart.
    assert.ok(toReconnect < 2000 + slow(arch, 2000), `'reconnect' ${toReconnect} ms after the adapter began to come back`);
  } finally {
    before.down();
    after?.down();
    fixture.install(0, arch);
  }
});
