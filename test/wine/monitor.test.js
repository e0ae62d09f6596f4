'use strict';
// vornet monitor of the installed package in Windows node.exe under Wine x64,
// on a null-modem pair, its page driven from Linux Chromium through
// 127.0.0.1: the far end's lines shown and plotted, a line sent from the page
// reaching the far end, the far end killed and brought back followed with
// --reconnect, and Ctrl-C closing the port and the server.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { nullModem, windowsPath, arches, root } = require('./rig');
const { install } = require('../package/install');
const { launch, openPage, colourCounts, until } = require('../browser/chromium');

// x64 alone: emulated ARM64 adds nothing to a server that is plain JavaScript.
const skip = !arches.includes('x64') && 'VORNET_ARCHES leaves out x64';
let pair = skip ? null : nullModem(83, 84);
after(() => pair && pair.down());

// A TCP port nobody listens on now.
function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// node.exe writes its output to a file that wine-node prints only at the end;
// the address is read from that file while it runs.
async function addressOf(child, ms) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    try {
      const nodeExe = fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8').trim().split(/\s+/)[0];
      const url = /http:\/\/127\.0\.0\.1:\d+\/\?token=[\w-]+/.exec(fs.readFileSync(fs.readlinkSync(`/proc/${nodeExe}/fd/1`), 'utf8'));
      if (url) return { url: url[0], nodeExe: Number(nodeExe) };
    } catch { /* not started yet */ }
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  throw new Error('vornet monitor printed no address');
}

test('[x64] vornet monitor in node.exe serves the page to Linux Chromium: text and plot from the port, a line sent to it', { timeout: 120000, skip }, async (t) => {
  const dir = install();
  const tool = path.join(dir, 'node_modules', 'vornet', 'bin', 'vornet.js');
  const listen = await freePort();
  const child = spawn(path.join(root, 'scripts', 'wine-node'), ['--arch', 'x64', windowsPath(tool), 'monitor', 'COM83',
    '--baud', '115200', '--reconnect', '--no-open', `--listen=${listen}`], { cwd: dir });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('close', (status) => resolve(status)));
  t.after(() => child.kill());
  const { url, nodeExe } = await addressOf(child, 30000);
  assert.match(url, new RegExp(`^http://127\\.0\\.0\\.1:${listen}/\\?token=`));

  const chromium = await launch();
  t.after(() => chromium.close());
  const { page, errors } = await openPage(chromium.browser, url);
  await until(page, () => window.monitor.state && window.monitor.state.status === 'open', null, 'COM83 open on the page', 20000);
  // A pseudo-terminal under Wine does not report its input lines.
  assert.equal(await page.$eval('#cts', (light) => light.dataset.on), 'unknown');

  let far = fs.openSync(pair.unixB, 'r+');
  t.after(() => fs.closeSync(far));
  await page.select('#window', '5');
  for (let i = 0; i < 60; i++) {
    fs.writeSync(far, `a:${Math.sin(i / 5).toFixed(3)} b:${Math.cos(i / 5).toFixed(3)}\n`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
  fs.writeSync(far, 'done from the far end\n');
  await until(page, () => window.monitor.plotter.rows === 60, null, 'sixty lines plotted', 20000);
  assert.deepEqual(await page.evaluate(() => window.monitor.plotter.names), ['a', 'b']);
  await until(page, () => window.monitor.terminal.text.includes('done from the far end\n'), null, 'the text shown', 20000);
  await new Promise((resolve) => setTimeout(resolve, 300));
  await page.screenshot({ path: path.join(root, 'build', 'monitor-wine.png') });
  const counts = await colourCounts(page, ['#1f77b4', '#d62728']);
  assert.ok(counts.every((n) => n > 50), `both series drawn: ${counts} pixels`);

  await page.type('#send-text', 'from the page');
  await page.keyboard.press('Enter');
  const heard = Buffer.alloc(64);
  let got = 0;
  const deadline = Date.now() + 10000;
  while (got < 14 && Date.now() < deadline) {
    got += await new Promise((resolve) => fs.read(far, heard, got, heard.length - got, null, (e, n) => resolve(e ? 0 : n)));
  }
  assert.equal(heard.subarray(0, got).toString(), 'from the page\n');

  // The far end killed: the port is looked for; brought back, the page carries on with it.
  process.kill(Number(fs.readFileSync(path.join(root, 'build', 'ptys', 'pair-83-84.pid'), 'utf8')));
  await until(page, () => window.monitor.state.status === 'reconnecting', null, 'COM83 looked for', 20000);
  fs.closeSync(far);
  pair = nullModem(83, 84);
  far = fs.openSync(pair.unixB, 'r+');
  await until(page, () => window.monitor.state.status === 'open', null, 'COM83 open again', 20000);
  fs.writeSync(far, 'after the return\n');
  await until(page, () => window.monitor.terminal.text.includes('after the return\n'), null, 'text after the return', 20000);
  assert.deepEqual(errors, []);

  // Ctrl-C, as Wine's console passes it to node.exe.
  process.kill(nodeExe, 'SIGINT');
  assert.equal(await exited, 0, stderr);
  assert.match(stderr, /monitor for COM83 at the address above; Ctrl-C leaves\n[^]*monitor closed\n$/);
  assert.equal(stdout, `${url}\n`);
});
