'use strict';
// Whether vornet monitor's page keeps up with a device that prints 1,000
// lines a second of four numbers: the device is a port of the simulated
// Win32 layer (Linux build), the page runs in Debian's Chromium. Printed:
// the backlog (lines the device has sent that the chart has not drawn) in
// the first and the last quarter of the run and their ratio (about 1 where it
// does not grow), the bytes the page missed, and the time from a line leaving
// the device to the chart's first frame that draws it: median and 95th
// percentile, against the goal of 100 ms for the median.
// node bench/monitor-pace.js [seconds=60] [lines per second=1000]
const path = require('node:path');
const build = path.join(__dirname, '..', 'build', process.env.VORNET_BUILD_NAME || 'linux-x64');
const lintel = require(path.join(build, 'lintel.node'));
const sim = require(path.join(build, 'simcontrol.node'));
const { createSerialPort } = require('../lib/serialport');
const { startMonitor } = require('../lib/monitor');
const { launch, openPage } = require('../test/browser/chromium');

const seconds = Number(process.argv[2] || 60);
const rate = Number(process.argv[3] || 1000);
const goal = 100;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const quantile = (values, q) => values.slice().sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(values.length * q))];
const mean = (values) => values.reduce((a, b) => a + b, 0) / values.length;

async function main() {
  sim.createPort('COM3');
  const monitor = await startMonitor({ SerialPort: createSerialPort(lintel), target: 'COM3', baudRate: 921600, watch: false });
  await monitor.opened;
  const chromium = await launch();
  try {
    const { page, errors } = await openPage(chromium.browser, monitor.url);
    await page.waitForFunction(() => window.monitor && window.monitor.state && window.monitor.state.status === 'open');

    // The device: lines sent as they fall due, each stamped when it left.
    const sentAt = [];
    const started = Date.now();
    const device = setInterval(() => {
      const due = Math.min(Math.floor(((Date.now() - started) * rate) / 1000), seconds * rate);
      let text = '';
      const now = Date.now();
      while (sentAt.length < due) {
        const i = sentAt.length;
        const s = i / rate;
        text += `${i} ${Math.sin(s).toFixed(3)} ${Math.cos(s).toFixed(3)} ${(s % 1).toFixed(3)}\n`;
        sentAt.push(now);
      }
      if (text) sim.feed('COM3', Buffer.from(text));
    }, 5);

    // Once a second: the backlog, and the frames drawn since.
    const backlog = [];
    const latencies = [];
    let drawnRows = 0;
    const collect = async () => {
      const { rows, draws } = await page.evaluate(() => ({ rows: window.monitor.plotter.rows, draws: window.monitor.plotter.draws.splice(0) }));
      backlog.push(sentAt.length - rows);
      for (const [upTo, at] of draws) {
        for (let i = drawnRows; i < upTo; i++) latencies.push(at - sentAt[i]);
        drawnRows = Math.max(drawnRows, upTo);
      }
    };
    while (Date.now() - started < seconds * 1000) {
      await sleep(1000);
      await collect();
    }
    clearInterval(device);
    await sleep(500);
    await collect();
    const missed = await page.evaluate(() => window.monitor.missed);

    const quarter = Math.max(1, Math.floor(backlog.length / 4));
    const first = mean(backlog.slice(0, quarter));
    const last = mean(backlog.slice(-quarter - 1, -1));
    const median = quantile(latencies, 0.5);
    console.log(`${sentAt.length} lines in ${seconds} s at ${rate} lines/s; ${drawnRows} drawn`);
    console.log(`backlog (lines sent, not yet drawn): first quarter ${first.toFixed(1)}, last quarter ${last.toFixed(1)}, ` +
      `last/first ${(last / Math.max(first, 1)).toFixed(2)}, at the end ${backlog.at(-1)}; bytes the page missed: ${missed}`);
    console.log(`device to chart: median ${median} ms (goal ${goal}, median/goal ${(median / goal).toFixed(2)}), ` +
      `95th percentile ${quantile(latencies, 0.95)} ms, max ${Math.max(...latencies)} ms`);
    if (errors.length) console.log(`page errors: ${errors.join('; ')}`);
    const kept = missed === 0 && backlog.at(-1) === 0 && drawnRows === sentAt.length;
    console.log(kept && median < goal ? 'kept up' : 'FELL BEHIND');
    process.exitCode = kept && median < goal ? 0 : 1;
  } finally {
    await chromium.close();
    await monitor.close();
  }
}

main();
