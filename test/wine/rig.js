'use strict';
// Runs programs under the official Windows node.exe of each architecture,
// x64 under Wine and ARM64 under Wine and user-mode QEMU, and makes
// null-modem pairs for them.
const { spawn, execFileSync } = require('node:child_process');
const path = require('node:path');
const fs = require('node:fs');

const root = path.join(__dirname, '..', '..');
const scripts = path.join(root, 'scripts');
const addonOf = (arch) => path.join(root, 'build', `win32-${arch}`, 'lintel.node');
// The node.exe versions, as scripts/env names them: `version` is the one this
// run uses (the suite's, unless VORNET_NODE_VERSION picks another).
const nodeVersions = JSON.parse(execFileSync('bash', ['-c', `source "${scripts}/env" && printf '{"version":"%s",` +
  `"suite":"%s","lowest":{"x64":"%s","arm64":"%s"},"lts":{"x64":"%s","arm64":"%s"},"newest":{"x64":"%s","arm64":"%s"}}' ` +
  '"$NODE_VERSION" "$NODE_WIN_VERSION" "$NODE_WIN_LOWEST_X64" "$NODE_WIN_LOWEST_ARM64" "$NODE_WIN_LTS_X64" "$NODE_WIN_LTS_ARM64" ' +
  '"$NODE_WIN_NEWEST_X64" "$NODE_WIN_NEWEST_ARM64"'], { encoding: 'utf8' }));
const nodeExeOf = (arch) => path.join(root, '.cache', `node-win-${arch}-${nodeVersions.version}`, 'package', 'bin', 'node.exe');

// Every Wine test runs once per architecture; VORNET_ARCHES narrows that.
const arches = (process.env.VORNET_ARCHES || 'x64,arm64').split(',').filter(Boolean);
// Emulated ARM64 starts node in about 2 s rather than 0.4 s and runs
// JavaScript several times slower, so its cases get more time.
const slowdown = { x64: 1, arm64: 6 };

// Wine's drive Z: is the Unix root.
const windowsPath = (unixPath) => 'Z:' + path.resolve(unixPath).replace(/\//g, '\\');

// Runs a program under node.exe; resolves with its exit status, output, and
// the JSON of its last output line. `program` is a path, or a name under
// test/wine/programs, which then gets the addon's path as its first argument.
// A run that Wine itself broke (wine-node's status 86) is made once more, and
// said so on stderr; a second such run is the result.
const WINE_FAILED = 86;
async function runWindows(program, args = [], options = {}) {
  const run = await runWindowsOnce(program, args, options);
  if (run.status !== WINE_FAILED) return run;
  process.stderr.write(`# ${program} [${options.arch || 'x64'}]: Wine failed under it, run again: ` +
    `${run.stderr.split('\n').find((line) => line.includes('wine client error')) || ''}\n`);
  return runWindowsOnce(program, args, options);
}

function runWindowsOnce(program, args, { exe, arch = 'x64', cwd, addon = true }) {
  const inPrograms = !path.isAbsolute(program);
  const file = inPrograms ? path.join(__dirname, 'programs', program) : program;
  const argv = [windowsPath(file), ...(inPrograms && addon ? [windowsPath(addonOf(arch))] : []), ...args.map(String)];
  return new Promise((resolve) => {
    // A program that hangs is ended, not left holding its ports open for the
    // programs after it.
    const child = spawn(path.join(scripts, 'wine-node'), ['--arch', arch, ...argv],
      { cwd, env: exe ? { ...process.env, VORNET_NODE_EXE: exe } : process.env, timeout: 50000 * slowdown[arch] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    child.on('close', (status) => {
      const last = stdout.trim().split('\n').pop();
      let json;
      try { json = JSON.parse(last); } catch { json = undefined; }
      resolve({ status, stdout, stderr, json });
    });
  });
}

// A socat pair joining COMa and COMb in every prefix; the Unix ends and a remover.
function nullModem(a, b) {
  execFileSync(path.join(scripts, 'null-modem'), ['up', String(a), String(b)]);
  const dir = path.join(root, 'build', 'ptys');
  return {
    unixA: fs.realpathSync(path.join(dir, `com${a}`)),
    unixB: fs.realpathSync(path.join(dir, `com${b}`)),
    down: () => execFileSync(path.join(scripts, 'null-modem'), ['down', String(a), String(b)]),
  };
}

// The line settings of a pseudo-terminal as the Unix side sees them. Wine 10
// sets the rate through termios2 (BOTHER and c_ospeed), which Debian 12's
// stty reads as "speed 0 baud", so the speed is the kernel's c_ospeed, read
// with TCGETS2 (perl, as Debian always has it).
const tcgets2 = 'sysopen(my $f, $ARGV[0], O_RDONLY | O_NONBLOCK | O_NOCTTY) or die "$!\\n";' +
  'my $t = "\\0" x 44; ioctl($f, 0x802C542A, $t) or die "TCGETS2: $!\\n"; print unpack("x40 L", $t)';
function termios(device) {
  const stty = execFileSync('stty', ['-a', '-F', device], { encoding: 'utf8' });
  const speed = execFileSync('perl', ['-MFcntl', '-e', tcgets2, device], { encoding: 'utf8' });
  return stty.replace(/^speed \d+ baud/, `speed ${speed} baud`);
}

// One null-modem pair per architecture, COMa and COMb for x64 and 100
// higher for ARM64: a port left with one Wine's settings is not handed to the
// other (ARM64 Wine under QEMU leaves speed bits that x64 Wine refuses).
function pairsByArch(a, b) {
  const pairs = {};
  for (const arch of arches) {
    const offset = arch === 'x64' ? 0 : 100;
    pairs[arch] = { ...nullModem(a + offset, b + offset), a: `COM${a + offset}`, b: `COM${b + offset}` };
  }
  return { ...pairs, down: () => Object.values(pairs).forEach((p) => p.down()) };
}

// Defines one node:test case per architecture, named after it (and after the
// node.exe version when it is not the suite's), with the timeout scaled for
// emulation: fn(arch, t) runs the case.
function eachArch(test, name, { timeout = 60000 } = {}, fn) {
  const version = nodeVersions.version === nodeVersions.suite ? '' : ` node ${nodeVersions.version}`;
  for (const arch of arches) {
    test(`[${arch}${version}] ${name}`, { timeout: timeout * slowdown[arch] }, (t) => fn(arch, t));
  }
}

module.exports = { runWindows, nullModem, pairsByArch, termios, windowsPath, addonOf, nodeExeOf, nodeVersions, arches, eachArch, root };
