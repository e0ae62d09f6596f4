'use strict';
// The installed package in Windows node.exe of each architecture: require
// and import, vornet/promises on the fixture and a null-modem pair, a typed
// program compiled from the installed types, the SerialPort layer, and the
// command-line tool.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const { spawn } = require('node:child_process');
const { runWindows, pairsByArch, nullModem, termios, eachArch, nodeVersions } = require('./rig');
const fixture = require('./fixture');
const { install, withPrograms, root } = require('../package/install');

const names = ['open', 'update', 'close', 'flush', 'drain', 'set', 'get', 'getBaudRate', 'write', 'read', 'list'];
// The addon's own order of its exports.
const table = ['set', 'get', 'getBaudRate', 'open', 'update', 'close', 'flush', 'drain', 'write', 'read', 'list'];
const pairs = pairsByArch(59, 60);
after(() => pairs.down());
let dir;
before(() => {
  dir = withPrograms(install());
  // The typed program, compiled by tsc from the installed types.
  const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
  const run = spawnSync(process.execPath, [tsc, '--strict', '--module', 'node16', '--moduleResolution', 'node16',
    '--target', 'es2022', '--types', 'node', '--typeRoots', path.join(root, 'node_modules', '@types'),
    path.join(dir, 'typed.ts')], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.ok(fs.existsSync(path.join(dir, 'typed.js')));
});
const user = (file, args, arch) => runWindows(path.join(dir, file), args, { arch, cwd: dir });
const windowsPathOf = (file) => 'Z:' + path.resolve(file).replace(/\//g, '\\');

eachArch(test, 'require and import of the installed package give the eleven functions of its own binary', {}, async (arch) => {
  const run = await user('exports.js', [], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    arch, node: `v${nodeVersions.version}`, requireKeys: [...table, 'SerialPort', 'DelimiterParser'], importNames: names, same: true, functionNames: names.map(() => ''),
    layerImports: true,
    promiseKeys: names, promisesSame: true, loaded: [`prebuilds/win32-${arch}/lintel.node`],
  });
});

eachArch(test, 'vornet/promises lists the fixture and carries bytes across a pair; errors as callbacks give them', {}, async (arch) => {
  fixture.install(0, arch);
  const run = await user('promises.mjs', [pairs[arch].a, pairs[arch].b], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    ports: fixture.expectedPorts(0).map((p) => [p.path, p.serialNumber ?? null]),
    rate: { baudRate: 57600 },
    text: 'through the promises',
    missing: [true, 'Opening COM199: File not found', false],
    refused: ['TypeError', 'Second argument must be a buffer'],
  });
});

eachArch(test, 'a typed program compiled from the installed types runs', {}, async (arch) => {
  fixture.install(0, arch);
  const run = await user('typed.js', [pairs[arch].a, pairs[arch].b], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  assert.deepEqual(run.json, {
    serials: fixture.expectedPorts(0).map((p) => p.serialNumber ?? null), baudRate: 19200, text: 'typed',
    lines: 'Getting control settings on COM port (GetCommModemStatus): Unknown error code 50',
    layer: 'typed layer', missing: 'ENOENT',
  });
});

eachArch(test, 'SerialPort: defaults, 1 MiB each way through pipeline, for await ended by close, ENOENT', {}, async (arch, t) => {
  const run = await user('layer.js', [pairs[arch].a, pairs[arch].b, 1 << 20], arch);
  assert.equal(run.status, 0, run.stderr + run.stdout);
  const r = run.json;
  t.diagnostic(`1 MiB each way: raw functions ${r.raw.ms} ms, SerialPort pipeline ${r.layer.ms} ms (${(r.layer.ms / r.raw.ms).toFixed(2)})`);
  assert.equal(r.raw.exact, true);
  assert.equal(r.layer.exact, true);
  assert.equal(r.layer.closed, true);
  assert.deepEqual(r.layer.options, { baudRate: 115200, dataBits: 8, parity: 'none', stopBits: 1, rtscts: false,
    rtsMode: 'handshake', xon: false, xoff: false, xany: false, hupcl: true, lock: true, highWaterMark: 65536, closeTimeout: 5000, modemStatus: null, reconnect: null });
  assert.deepEqual(r.iteration, { text: 'line one\nline two\n', ending: 'ended' });
  assert.deepEqual(r.missing, { code: 'ENOENT', errno: 2, syscall: 'CreateFileA', message: 'Opening COM199: File not found' });
});

eachArch(test, 'vornet list --json prints the fixture; bad arguments print the usage', {}, async (arch) => {
  fixture.install(0, arch);
  const tool = path.join(dir, 'node_modules', 'vornet', 'bin', 'vornet.js');
  const run = await runWindows(tool, ['list', '--json'], { arch, cwd: dir });
  assert.equal(run.status, 0, run.stderr);
  const listed = JSON.parse(run.stdout);
  assert.deepEqual(listed, fixture.expectedPorts(0).map((p) => Object.fromEntries(Object.entries(p).map(([k, v]) => [k, v ?? null]))));
  const table = await runWindows(tool, ['list'], { arch, cwd: dir });
  assert.match(table.stdout, /^PATH +MANUFACTURER +SERIAL NUMBER +VID:PID +FRIENDLY NAME\n/);
  assert.match(table.stdout, /\nCOM62 +FTDI +A50285BI +0403:6001 +USB Serial Port \(COM62\)\n/);
  const usage = 'usage: vornet list [--json] [--watch] | vornet term <port> [--baud <rate>] [--quiet-ms <ms>] [--reconnect] | ' +
    'vornet monitor [<port>] [--baud <rate>] [--reconnect] [--listen <port>] [--no-open] [--demo]';
  // [arguments, exit status, where the usage goes, the line before it]
  const cases = [
    [['lsit'], 2, 'stderr', 'vornet: unknown command lsit'],
    [['toString'], 2, 'stderr', 'vornet: unknown command toString'],
    [['term', pairs[arch].a, '--speed', '9600'], 2, 'stderr', 'vornet: unknown argument --speed'],
    [['term', pairs[arch].a, '--baud=fast'], 2, 'stderr', 'vornet: --baud wants a positive integer, not fast'],
    [['term', pairs[arch].a, '--quiet-ms', '-5'], 2, 'stderr', 'vornet: --quiet-ms wants a number of milliseconds, not -5'],
    [['monitor', pairs[arch].a, '--listen=80x'], 2, 'stderr', 'vornet: --listen wants a TCP port from 1 to 65535, not 80x'],
    [['monitor', pairs[arch].a, '--demo'], 2, 'stderr', 'vornet: --demo runs on its own virtual port; give no port with it'],
    [['--help'], 0, 'stdout', undefined],
  ];
  for (const [args, status, stream, before] of cases) {
    const run = await runWindows(tool, args, { arch, cwd: dir });
    assert.equal(run.status, status, `${args.join(' ')}: ${run.stderr}`);
    const lines = run[stream].trim().split('\n');
    if (before) assert.deepEqual(lines.slice(-2), [before, usage], args.join(' '));
    else assert.equal(lines[0], usage);
  }
  const version = await runWindows(tool, ['--version'], { arch, cwd: dir });
  assert.deepEqual([version.status, version.stdout.trim()], [0, JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8')).version]);
});

// vornet term of the installed package as a child process, its standard
// input given by VORNET_STDIN; resolves with its status and output. Wine's
// console turns a SIGINT to node.exe into Ctrl-C (a 0x03 written to a
// pseudo-terminal as its input does not get through), so `interrupt` sends
// one to the node.exe process itself: the child of the wine-node script.
function vornet(arch, args, input) {
  const tool = path.join(dir, 'node_modules', 'vornet', 'bin', 'vornet.js');
  const child = spawn(path.join(root, 'scripts', 'wine-node'), ['--arch', arch, windowsPathOf(tool), ...args],
    { cwd: dir, env: { ...process.env, VORNET_STDIN: input } });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('close', (status) => resolve({ status, stdout, stderr })));
  const interrupt = () => {
    const nodeExe = fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8').trim().split(/\s+/)[0];
    process.kill(Number(nodeExe), 'SIGINT');
  };
  return { exited, interrupt, stop: () => child.kill() };
}
const term = (arch, args, input) => vornet(arch, ['term', ...args], input);

// Reads the far end of a pair until it has `size` bytes or the time is up.
async function hear(device, size, ms) {
  const far = fs.openSync(device, 'r+');
  try {
    const parts = [];
    let got = 0;
    const deadline = Date.now() + ms;
    const chunk = Buffer.alloc(65536);
    while (got < size && Date.now() < deadline) {
      const n = await new Promise((resolve) => fs.read(far, chunk, 0, chunk.length, null, (e, count) => resolve(e ? 0 : count)));
      parts.push(Buffer.from(chunk.subarray(0, n)));
      got += n;
    }
    return Buffer.concat(parts);
  } finally {
    fs.closeSync(far);
  }
}

const slow = (arch, ms) => (arch === 'x64' ? ms : ms * 5);
const keyboards = pairsByArch(75, 76);
after(() => keyboards.down());

eachArch(test, 'vornet term sends a piped file whole at --baud=N and exits 0 once it has gone', {}, async (arch) => {
  const { a, unixB } = pairs[arch];
  const input = path.join(dir, `term-file-${arch}`);
  const text = Buffer.from(Array.from({ length: 20000 }, (_, i) => `line ${i}\n`).join(''));
  fs.writeFileSync(input, text);
  const running = term(arch, [a, '--baud=115200'], input);
  const heard = await hear(unixB, text.length, slow(arch, 30000));
  const run = await running.exited;
  assert.equal(run.status, 0, run.stderr);
  assert.equal(heard.length, text.length);
  assert.ok(heard.equals(text), 'every byte, in order');
  assert.match(run.stderr, new RegExp(`connected to ${a} at 115200 baud`));
  assert.match(run.stderr, new RegExp(`closed ${a}`));
});

eachArch(test, 'vornet term with piped commands waits for the replies until the port has been quiet for --quiet-ms', {}, async (arch) => {
  const { a, unixB } = pairs[arch];
  const input = path.join(dir, `term-at-${arch}`);
  fs.writeFileSync(input, 'AT\n');
  const running = term(arch, [a, '--baud', '115200', '--quiet-ms', String(slow(arch, 1500))], input);
  try {
    const heard = await hear(unixB, 3, slow(arch, 20000));
    assert.equal(heard.toString().replace(/\r/g, ''), 'AT\n');
    // The device takes its time, as a modem does; its reply still reaches the output.
    await new Promise((resolve) => setTimeout(resolve, 300));
    const far = fs.openSync(unixB, 'r+');
    fs.writeSync(far, 'OK\n');
    fs.closeSync(far);
    const run = await running.exited;
    assert.equal(run.status, 0, run.stderr);
    assert.equal(run.stdout.replace(/\r/g, ''), 'OK\n');
    assert.match(run.stderr, new RegExp(`closed ${a}\n$`));
  } finally {
    running.stop();
  }
});

eachArch(test, 'vornet term --reconnect waits for a far end killed and brought back, says so, and carries on', {}, async (arch) => {
  const base = arch === 'x64' ? 97 : 197;
  const port = `COM${base}`;
  let pair = nullModem(base, base + 1);
  const input = path.join(dir, `term-reconnect-${arch}`);
  fs.writeFileSync(input, 'AT\n');
  const running = term(arch, [port, '--baud', '57600', '--reconnect', '--quiet-ms', String(slow(arch, 3000))], input);
  try {
    assert.equal((await hear(pair.unixB, 3, slow(arch, 20000))).toString().replace(/\r/g, ''), 'AT\n');
    let far = fs.openSync(pair.unixB, 'r+');
    fs.writeSync(far, 'OK\n');
    fs.closeSync(far);
    // Through the pair and read before the far end goes.
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 500)));
    process.kill(Number(fs.readFileSync(path.join(root, 'build', 'ptys', `pair-${base}-${base + 1}.pid`), 'utf8')));
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 1000)));
    pair = nullModem(base, base + 1);
    // Open again once Wine has set its rate on the new pseudo-terminal; what
    // comes before the open is the driver's, which the open empties.
    for (let i = 0; i < 400 && !/speed 57600 baud/.test(termios(pair.unixA)); i++) await new Promise((resolve) => setTimeout(resolve, 25));
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 300)));
    far = fs.openSync(pair.unixB, 'r+');
    fs.writeSync(far, 'after\n');
    fs.closeSync(far);
    const run = await running.exited;
    assert.equal(run.status, 0, run.stderr);
    assert.equal(run.stdout.replace(/\r/g, ''), 'OK\nafter\n');
    assert.match(run.stderr, new RegExp(`vornet: ${port} went away \\((ERROR_BROKEN_PIPE|ERROR_NOT_READY)\\); waiting for it to come back, ` +
      `Ctrl-C leaves\nvornet: back on ${port}\nvornet: closed ${port}\n$`));
  } finally {
    running.stop();
    pair.down();
  }
});

eachArch(test, 'vornet term on a console passes keys and a line each way and closes the port at Ctrl-C', {}, async (arch) => {
  const { a, unixB } = pairs[arch];
  // The keyboard: a pseudo-terminal, which node.exe takes for a console.
  const running = term(arch, [a, '--baud', '38400'], keyboards[arch].unixA);
  try {
    const typing = fs.openSync(keyboards[arch].unixB, 'r+');
    // Typed once the program is there to read it; earlier keys wait in the terminal.
    fs.writeSync(typing, 'hello from the keyboard\n');
    fs.closeSync(typing);
    const heard = await hear(unixB, 24, slow(arch, 20000));
    assert.equal(heard.toString().replace(/\r/g, '\n'), 'hello from the keyboard\n');
    const far = fs.openSync(unixB, 'r+');
    fs.writeSync(far, 'hello from the port\n');
    fs.closeSync(far);
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 1000)));
    running.interrupt();
    const run = await running.exited;
    assert.equal(run.status, 0, run.stderr);
    assert.equal(run.stdout, 'hello from the port\n');
    assert.match(run.stderr, new RegExp(`connected to ${a} at 38400 baud`));
    assert.match(run.stderr, new RegExp(`closed ${a}\n$`));
  } finally {
    running.stop();
  }
});

eachArch(test, 'vornet list --watch gives the ports, then each one that comes, until Ctrl-C', {}, async (arch) => {
  fixture.install(0, arch);
  const running = vornet(arch, ['list', '--watch', '--json'], '/dev/null');
  try {
    // Its output shows only once it has ended, so the device comes well
    // after node.exe has started and taken its first list.
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 8000)));
    fixture.install(1, arch);
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 4000)));
    running.interrupt();
    const run = await running.exited;
    assert.equal(run.status, 0, run.stderr);
    const [ready, ...changes] = run.stdout.trim().split('\n').map((line) => JSON.parse(line));
    assert.equal(ready.event, 'ready');
    assert.deepEqual(ready.ports.map((p) => p.path), fixture.expectedPorts(0).map((p) => p.path));
    const added = fixture.expectedPorts(1).filter((p) => !fixture.expectedPorts(0).some((q) => q.pnpId === p.pnpId));
    // The fixture is rewritten whole (its keys removed, then written again),
    // so a list taken halfway may see a port there before go and come back.
    // The new device attaches once; every port there before is there at the end.
    const before = new Set(ready.ports.map((p) => p.path));
    const present = new Set(before);
    for (const c of changes) present[c.event === 'attach' ? 'add' : 'delete'](c.port.path);
    assert.deepEqual(changes.filter((c) => !before.has(c.port.path)).map((c) => `${c.event} ${c.port.path}`),
      added.map((p) => `attach ${p.path}`));
    assert.deepEqual([...present].sort(), [...before, ...added.map((p) => p.path)].sort());
  } finally {
    running.stop();
    fixture.install(0, arch);
  }
});

eachArch(test, 'the list example runs as a user would copy it', {}, async (arch) => {
  fixture.install(0, arch);
  fs.copyFileSync(path.join(root, 'examples', 'list-ports.js'), path.join(dir, 'list-ports.js'));
  const run = await user('list-ports.js', [], arch);
  assert.equal(run.status, 0, run.stderr);
  assert.deepEqual(run.stdout.trim().split('\n'), [
    'COM1  Communications Port (COM1)',
    'COM62  USB Serial Port (COM62) USB 0403:6001 serial A50285BI',
    'COM63  USB-SERIAL CH340 (COM63) USB 1A86:7523 serial 5&1A2B3C4D&0&1',
    'COM64  USB-SERIAL CH340 (COM64) USB 1A86:7523 serial 5&1A2B3C4D&0&2',
    'COM61  Arduino Uno (COM61) USB 2341:0043 serial 85736323838351F0E1A1',
  ]);
});

eachArch(test, 'the installed examples tell a device that vanishes mid-exchange by its code and exit 1, without a crash', {}, async (arch) => {
  const offset = arch === 'x64' ? 0 : 100;
  // [example, its arguments after the port, the pair's first number]
  for (const [example, args, base] of [['send-line.js', ['9600', 'AT'], 77], ['request-reply.js', ['9600', 'AT'], 79]]) {
    const pair = nullModem(base + offset, base + offset + 1);
    try {
      const file = path.join(dir, 'node_modules', 'vornet', 'examples', example);
      const running = runWindows(file, [`COM${base + offset}`, ...args], { arch, cwd: dir });
      // The command has come: the example waits for the reply, and the device goes.
      const heard = await hear(pair.unixB, 4, slow(arch, 30000));
      assert.match(heard.toString(), /^AT[\r\n]/, example);
      process.kill(Number(fs.readFileSync(path.join(root, 'build', 'ptys', `pair-${base + offset}-${base + offset + 1}.pid`), 'utf8')));
      const run = await running;
      assert.equal(run.status, 1, `${example}: ${run.stdout}${run.stderr}`);
      // The loss, told by the system's error: Wine reports a hung-up pseudo-terminal as a broken pipe, and
      // "not ready" after. (Its server may add a dump of its objects to the output when the pair goes: those
      // lines are not the example's.)
      const said = run.stderr.split('\n').filter((line) => !/^\s*(0x[0-9a-f]+:|[0-9a-f]{4}: )/.test(line)).join('\n');
      const port = `COM${base + offset}`;
      // The port named once: the message names it.
      assert.match(said, new RegExp(`^${port} is disconnected, its device gone: .*Unknown error code (109|21) \\(ERR_PORT_DISCONNECTED\\)\\s*$`), example);
      assert.doesNotMatch(said, /Unhandled|\n +at /, example);
    } finally {
      pair.down();
    }
  }
});

// Last, as it leaves its pair with data the far end never read.
eachArch(test, 'vornet term leaves at a second Ctrl-C while the first waits for writes the port cannot send', {}, async (arch) => {
  const { a } = pairs[arch];
  const offset = arch === 'x64' ? 0 : 100;
  // The far end stops taking bytes: its socat is stopped, so the
  // pseudo-terminal fills and the port's writes stay pending.
  const socat = Number(fs.readFileSync(path.join(root, 'build', 'ptys', `pair-${59 + offset}-${60 + offset}.pid`), 'utf8'));
  const input = path.join(dir, `term-stuck-${arch}`);
  fs.writeFileSync(input, Buffer.alloc(1 << 20, 'x'));
  process.kill(socat, 'SIGSTOP');
  const running = term(arch, [a], input);
  try {
    await new Promise((resolve) => setTimeout(resolve, slow(arch, 4000)));
    running.interrupt();
    // The second Ctrl-C must come while the first still waits: close() gives
    // the held writes closeTimeout (5 s by default), then leaves by itself.
    await new Promise((resolve) => setTimeout(resolve, Math.min(slow(arch, 1500), 2500)));
    running.interrupt();
    const run = await running.exited;
    assert.equal(run.status, 130, run.stderr);
    assert.match(run.stderr, new RegExp(`connected to ${a} at 9600 baud`));
    assert.match(run.stderr, new RegExp(`left ${a} without waiting for it to close\n$`));
  } finally {
    process.kill(socat, 'SIGCONT');
    running.stop();
  }
});
