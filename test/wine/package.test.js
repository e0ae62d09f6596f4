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
const { runWindows, pairsByArch, eachArch } = require('./rig');
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
    arch, requireKeys: [...table, 'SerialPort', 'DelimiterParser'], importNames: names, same: true, functionNames: names.map(() => ''),
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
    rtsMode: 'handshake', xon: false, xoff: false, xany: false, hupcl: true, lock: true, highWaterMark: 65536 });
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
  const bad = await runWindows(tool, ['lsit'], { arch, cwd: dir });
  assert.equal(bad.status, 2);
  assert.equal(bad.stderr.trim().split('\n').pop(), 'usage: vornet list [--json] | vornet term <port> [--baud <rate>]');
});

eachArch(test, 'vornet term passes a line each way and closes the port on Ctrl-C', {}, async (arch) => {
  const { a, unixB } = pairs[arch];
  const input = path.join(dir, `term-input-${arch}`);
  fs.writeFileSync(input, 'hello from the keyboard\n');
  const tool = path.join(dir, 'node_modules', 'vornet', 'bin', 'vornet.js');
  const child = spawn(path.join(root, 'scripts', 'wine-node'), ['--arch', arch, windowsPathOf(tool), 'term', a, '--baud', '38400'],
    { cwd: dir, env: { ...process.env, VORNET_STDIN: input } });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('close', resolve));
  // The far end, from the Unix side of the pair.
  const far = fs.openSync(unixB, 'r+');
  try {
    let heard = '';
    const deadline = Date.now() + (arch === 'x64' ? 20000 : 90000);
    const chunk = Buffer.alloc(256);
    while (!heard.includes('\n') && Date.now() < deadline) {
      const n = await new Promise((resolve) => fs.read(far, chunk, 0, 256, null, (e, count) => resolve(e ? 0 : count)));
      heard += chunk.toString('latin1', 0, n);
    }
    assert.equal(heard, 'hello from the keyboard\n');
    fs.writeSync(far, 'hello from the port\n');
    await new Promise((resolve) => setTimeout(resolve, arch === 'x64' ? 1000 : 5000));
    // Ctrl-C reaches a console program under Wine as SIGINT; sent to node.exe
    // itself, not to the script that started it.
    spawn('pkill', ['-INT', '-f', `node\\.exe .*vornet\\.js term ${a} `]);
    const status = await exited;
    assert.equal(status, 0, stderr);
    assert.equal(stdout, 'hello from the port\n');
    assert.match(stderr, new RegExp(`connected to ${a} at 38400 baud`));
    assert.match(stderr, new RegExp(`closed ${a}`));
  } finally {
    fs.closeSync(far);
    child.kill();
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
