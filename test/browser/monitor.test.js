'use strict';
// vornet monitor in Debian's Chromium, over the virtual ports of
// vornet/testing: the page shows and plots what the device sends, and the
// page's send box and toggles reach the device; the server refuses what is
// not the page's.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const { spawn } = require('node:child_process');
const path = require('node:path');
const { VirtualPorts } = require('../../lib/testing');
const { startMonitor } = require('../../lib/monitor');
const { launch, openPage, colourCounts, until } = require('./chromium');

const root = path.join(__dirname, '..', '..');
const ports = new VirtualPorts();

const palette = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd'];
let device;
let monitor;
let chromium;
let page;
let errors;

before(async () => {
  device = ports.add('COM3', { manufacturer: 'Arduino LLC', serialNumber: 'BOARD1' });
  monitor = await startMonitor({ SerialPort: ports.SerialPort, target: 'COM3', baudRate: 115200, reconnect: true });
  await monitor.opened;
  chromium = await launch();
  ({ page, errors } = await openPage(chromium.browser, monitor.url));
  await until(page, () => window.monitor && window.monitor.state && window.monitor.state.status === 'open', null, 'the port open on the page');
});

after(async () => {
  if (chromium) await chromium.close();
  if (monitor) await monitor.close();
});

const text = () => page.evaluate(() => window.monitor.terminal.text);

test('the terminal shows the text, the plot has each series and every point sent, and the chart draws them', async () => {
  // Three formats: named with colons, comma separated, space separated; and a
  // line that is no data.
  const lines = ['booting, firmware 1.2'];
  for (let i = 0; i < 40; i++) lines.push(`temp:${(20 + Math.sin(i / 4) * 3).toFixed(2)} hum:${40 + (i % 10)}`);
  for (let i = 0; i < 30; i++) lines.push(`${i / 10},${-i / 5},${i % 3}`);
  for (let i = 0; i < 30; i++) lines.push(`${i} ${30 - i}`);
  // Over two seconds, in pieces that split lines, as a port delivers them.
  await page.select('#window', '5');
  const all = Buffer.from(`${lines.join('\r\n')}\r\n`);
  for (let at = 0; at < all.length; at += 29) {
    device.write(all.subarray(at, at + 29));
    await new Promise((resolve) => setTimeout(resolve, 40));
  }
  await until(page, (n) => window.monitor.plotter.rows === n, 100, 'every line plotted');
  assert.deepEqual(await page.evaluate(() => window.monitor.plotter.names), ['temp', 'hum', '1', '2', '3']);
  await until(page, (last) => window.monitor.terminal.text.includes(last), lines.at(-1), 'the last line shown');
  const shown = await text();
  for (const line of [lines[0], lines[1], lines[41], lines[100]]) assert.ok(shown.includes(`${line}\n`), line);

  // What the CSV export gives: a row a line of data, a column a series.
  const csv = (await page.evaluate(() => window.monitor.plotter.csv())).trim().split('\n');
  assert.equal(csv.length, 101);
  assert.equal(csv[0], 'time,temp,hum,1,2,3');
  assert.match(csv[1], /^\d{4}-\d\d-\d\dT[\d:.]+Z,20,40,,,$/);
  assert.match(csv[41], /,,,0,0,0$/);
  assert.match(csv[100], /,,,29,1,$/);

  // The series are drawn, each in its own colour, in the chart.
  await new Promise((resolve) => setTimeout(resolve, 300));
  fs.mkdirSync(path.join(root, 'build'), { recursive: true });
  await page.screenshot({ path: path.join(root, 'build', 'monitor-linux.png') });
  const counts = await colourCounts(page, palette);
  for (let i = 0; i < palette.length; i++) assert.ok(counts[i] > 50, `series ${i + 1} (${palette[i]}): ${counts[i]} pixels`);
});

test('a line typed in the send box reaches the device with the chosen ending, and its echo shows', async () => {
  let heard = Buffer.alloc(0);
  const listen = (data) => { heard = Buffer.concat([heard, data]); };
  device.on('data', listen);
  try {
    await page.type('#send-text', 'hello, device');
    await page.keyboard.press('Enter');
    await page.select('#tx-ending', 'crlf');
    await page.type('#send-text', 'AT+GMR');
    await page.keyboard.press('Enter');
    const want = 'hello, device\nAT+GMR\r\n';
    for (let i = 0; i < 200 && heard.length < want.length; i++) await new Promise((resolve) => setTimeout(resolve, 10));
    assert.equal(heard.toString(), want);
    // History: Up gives the last line sent.
    await page.focus('#send-text');
    await page.keyboard.press('ArrowUp');
    assert.equal(await page.$eval('#send-text', (input) => input.value), 'AT+GMR');
  } finally {
    device.off('data', listen);
  }
});

test('the toggles and the baud rate reach the port; its input lines show as lights', async () => {
  // The port opens with DTR raised, RTS low and no break.
  for (const [id, want] of [['dtr', { dtr: false, rts: false, brk: false }], ['rts', { dtr: false, rts: true, brk: false }],
    ['brk', { dtr: false, rts: true, brk: true }], ['brk', { dtr: false, rts: true, brk: false }],
    ['dtr', { dtr: true, rts: true, brk: false }]]) {
    await page.click(`#${id}`);
    await until(page, ([line, on]) => document.getElementById(line).getAttribute('aria-pressed') === String(on), [id, want[id]], `${id} shown`);
    assert.deepEqual(device.lines, want, id);
  }
  await page.select('#baud', '57600');
  await until(page, () => window.monitor.state.baudRate === 57600, null, 'the new rate');
  assert.equal(device.settings.baudRate, 57600);
  // The rate rewrites the lines on Windows; they stay as they were set.
  assert.deepEqual(device.lines, { dtr: true, rts: true, brk: false });

  device.set({ cts: true, dcd: true });
  await until(page, () => ['cts', 'dsr', 'dcd'].map((id) => document.getElementById(id).dataset.on).join() === 'true,false,true',
    null, 'CTS and DCD lit');
});

test('a device that goes away and comes back shows as reconnecting, then open, and its lines come through again', async () => {
  device.unplug();
  await until(page, () => document.getElementById('status').dataset.status === 'reconnecting', null, 'reconnecting shown');
  assert.match(await page.$eval('#status', (s) => s.textContent), /^reconnecting: COM3 is disconnected, its device gone: /);
  device.plug();
  await until(page, () => document.getElementById('status').dataset.status === 'open', null, 'open again');
  device.write('after the return\n');
  await until(page, () => window.monitor.terminal.text.includes('after the return\n'), null, 'text after the return');
  assert.deepEqual(errors, [], 'no console error, failed request or exception on the page');
});

test('a port chosen on the page from the live list opens; a device named by its serial number is found again under a new name', async () => {
  const other = ports.add('COM5', { friendlyName: 'Arduino Uno (COM5)', serialNumber: 'SENSOR7' });
  await until(page, () => [...document.querySelectorAll('#port-select option')].some((o) => o.value === 'COM5'), null, 'COM5 listed');
  assert.equal(await page.$eval('#port-select option[value="COM5"]', (o) => o.textContent), 'COM5  Arduino Uno (COM5)  SENSOR7');
  await page.select('#port-select', 'COM5');
  await page.click('#port-open');
  await until(page, () => window.monitor.state.status === 'open' && window.monitor.state.path === 'COM5', null, 'COM5 open');
  other.write('from COM5\n');
  await until(page, () => window.monitor.terminal.text.includes('from COM5\n'), null, 'text of COM5');

  // By its serial number: after a loss it is looked for by that, and found
  // under the name it comes back with.
  await monitor.link.open('SENSOR7');
  assert.deepEqual([monitor.link.state.status, monitor.link.state.path], ['open', 'COM5']);
  other.unplug();
  await until(page, () => window.monitor.state.status === 'reconnecting', null, 'SENSOR7 looked for');
  other.plug('COM6');
  await until(page, () => window.monitor.state.status === 'open' && window.monitor.state.path === 'COM6', null, 'open as COM6');
  other.write('from COM6\n');
  await until(page, () => window.monitor.terminal.text.includes('from COM6\n'), null, 'text of COM6');

  // Not there at the open: looked for until it comes.
  await assert.rejects(monitor.link.open('LATE1'), { code: 'ERR_PORT_NOT_FOUND' });
  await until(page, () => document.getElementById('status').textContent.startsWith('reconnecting: no port LATE1: '),
    null, 'the missing device looked for');
  ports.add('COM8', { serialNumber: 'LATE1' });
  await until(page, () => window.monitor.state.status === 'open' && window.monitor.state.path === 'COM8', null, 'LATE1 open as COM8');
  assert.deepEqual(errors, []);
});

test('vornet monitor --demo: the virtual sensor\'s three series plotted, a line sent echoed, Ctrl-C closes', async (t) => {
  const child = spawn(process.execPath, [path.join(root, 'bin', 'vornet.js'), 'monitor', '--demo', '--no-open']);
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('close', (status) => resolve(status)));
  t.after(() => child.kill('SIGKILL'));
  for (let i = 0; i < 100 && !stdout.includes('\n'); i++) await new Promise((resolve) => setTimeout(resolve, 50));
  const { page: demo, errors: demoErrors } = await openPage(chromium.browser, stdout.trim());
  t.after(() => demo.close());
  await until(demo, () => window.monitor.plotter.rows >= 25, null, 'half a second of lines plotted');
  assert.deepEqual(await demo.evaluate(() => window.monitor.plotter.names), ['sin', 'cos', 'saw']);
  await demo.type('#send-text', 'echo me');
  await demo.keyboard.press('Enter');
  await until(demo, () => window.monitor.terminal.text.includes('echo me\n'), null, 'the echo');
  assert.deepEqual(demoErrors, []);
  child.kill('SIGINT');
  assert.equal(await exited, 0, stderr);
  assert.match(stderr, /monitor for COM3 at the address above; Ctrl-C leaves\nvornet: monitor closed\n$/);
});

// One request of the server's own: resolves with { status, body }.
function request(url, { method = 'GET', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    // The path as it is written, not as URL would normalise it.
    const { hostname, port } = new URL(url);
    const raw = url.slice(url.indexOf('/', 'http://'.length));
    const req = http.request({ host: hostname, port, path: raw, method, headers }, (res) => {
      let text = '';
      res.on('data', (d) => { text += d; });
      res.on('end', () => resolve({ status: res.statusCode, body: text }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

test('only the page, with the token, from its own address and origin, is answered', async () => {
  const base = `http://127.0.0.1:${monitor.port}`;
  const t = monitor.token;
  const json = { 'Content-Type': 'application/json' };
  const send = JSON.stringify({ op: 'send', base64: Buffer.from('x').toString('base64') });
  // [what, url, options, status]
  const cases = [
    ['the page with its token', `${base}/?token=${t}`, {}, 200],
    ['the page without it', `${base}/`, {}, 403],
    ['the page with another', `${base}/?token=${t.slice(1)}x`, {}, 403],
    ['a file of the page', `${base}/${t}/main.js`, {}, 200],
    ['a file without the token', `${base}/main.js`, {}, 403],
    ['uPlot, from its package', `${base}/${t}/uplot/uPlot.esm.js`, {}, 200],
    ['a file outside the page', `${base}/${t}/../package.json`, {}, 403],
    ['a file outside the page, escaped', `${base}/${t}/%2e%2e/lib/index.js`, {}, 403],
    ['a file of the package beside the page', `${base}/${t}/uplot/../server.js`, {}, 404],
    ['a file of uPlot not served', `${base}/${t}/uplot/package.json`, {}, 404],
    ['the events under another name (DNS rebinding)', `${base}/${t}/events`, { headers: { Host: `evil.example:${monitor.port}` } }, 403],
    ['a request from another origin', `${base}/${t}/api`, { method: 'POST', headers: { ...json, Origin: 'http://127.0.0.1:1' }, body: send }, 403],
    ['a form post of another site', `${base}/${t}/api`, { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: send }, 415],
    ['the API without the token', `${base}/api`, { method: 'POST', headers: json, body: send }, 403],
    ['the API as the page calls it', `${base}/${t}/api`, { method: 'POST', headers: { ...json, Origin: base }, body: send }, 200],
  ];
  for (const [what, url, options, status] of cases) {
    const answer = await request(url, options);
    assert.equal(answer.status, status, `${what}: ${answer.body}`);
  }
});

test('a page that does not read loses whole batches, and is told how many bytes, once it reads again', async (t) => {
  // A monitor of its own, with no browser on it.
  const far = ports.add('COM4');
  const monitor = await startMonitor({ SerialPort: ports.SerialPort, target: 'COM4', watch: false });
  t.after(() => monitor.close());
  await monitor.opened;
  let delivered = 0;
  let missed = 0;
  let res;
  await new Promise((resolve) => {
    http.get(`http://127.0.0.1:${monitor.port}/${monitor.token}/events`, (r) => { res = r; resolve(); });
  });
  let buffered = '';
  res.setEncoding('utf8');
  res.on('data', (d) => {
    buffered += d;
    const parts = buffered.split('\n\n');
    buffered = parts.pop();
    for (const part of parts) {
      const [, event, data] = /^event: (\w+)\ndata: (.*)$/s.exec(part);
      if (event === 'missed') missed += JSON.parse(data).bytes;
      if (event === 'data') for (const [, b] of JSON.parse(data)) delivered += Buffer.from(b, 'base64').length;
    }
  });
  res.pause();
  let sent = 0;
  const count = (chunk) => { sent += chunk.length; };
  monitor.link.on('data', count);
  // More than the socket buffers of this machine hold.
  const chunk = Buffer.alloc(1 << 20, 'y');
  for (let i = 0; i < 16; i++) {
    far.write(chunk);
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  // Every byte through the port, and its batch sent on, before the page reads.
  for (let i = 0; i < 500 && sent < 16 * chunk.length; i++) await new Promise((resolve) => setTimeout(resolve, 10));
  await new Promise((resolve) => setTimeout(resolve, 200));
  res.resume();
  far.write('z');
  for (let i = 0; i < 500 && delivered + missed < sent; i++) await new Promise((resolve) => setTimeout(resolve, 10));
  res.destroy();
  monitor.link.off('data', count);
  assert.ok(missed > 0, `some batches were dropped: ${delivered} delivered of ${sent}`);
  assert.equal(delivered + missed, sent, 'every byte either delivered or counted as missed');
});
