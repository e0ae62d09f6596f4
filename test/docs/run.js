'use strict';
// Runs a program written for Windows here, in a child node over scripted virtual devices (as-windows.js).
const { spawn } = require('node:child_process');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const preload = path.join(__dirname, 'as-windows.js');

// Resolves with { status, signal, stdout, stderr, ms }. `interruptAfter` sends
// SIGINT then, as Ctrl-C would; `input` is written to its standard input,
// which is then ended; `timeout` kills a program that hangs.
function runAsWindows(file, args = [], { devices = {}, interruptAfter, input, timeout = 15000, cwd = root } = {}) {
  return new Promise((resolve) => {
    const started = Date.now();
    const child = spawn(process.execPath, ['-r', preload, file, ...args], {
      cwd,
      env: { ...process.env, VORNET_DEVICES: JSON.stringify(devices) },
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const timers = [setTimeout(() => child.kill('SIGKILL'), timeout)];
    if (interruptAfter !== undefined) timers.push(setTimeout(() => child.kill('SIGINT'), interruptAfter));
    child.stdin.on('error', () => {});
    child.stdin.end(input);
    child.on('close', (status, signal) => {
      for (const timer of timers) clearTimeout(timer);
      resolve({ status, signal, stdout, stderr, ms: Date.now() - started });
    });
  });
}

module.exports = { runAsWindows, root };
