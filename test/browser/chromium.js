'use strict';
// Debian's Chromium driven by puppeteer-core, headless and quiet, with a fresh profile each run; and what a page logs as errors.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const executablePath = process.env.VORNET_CHROMIUM || '/usr/bin/chromium';

// Resolves with { browser, close() }; close() removes the profile too.
async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vornet-chromium-'));
  const browser = await puppeteer.launch({
    executablePath,
    headless: true,
    // The flags keep the browser from reaching out (updates, sync, QUIC
    // probes) and from wanting a GPU or a sandbox this machine does not give.
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`],
    defaultViewport: { width: 1400, height: 800 },
  });
  const close = async () => {
    await browser.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { browser, close };
}

// Opens `url` in a new tab and collects its console errors, failed requests
// and uncaught exceptions into `errors`.
async function openPage(browser, url) {
  const page = await browser.newPage();
  const errors = [];
  page.on('console', (message) => { if (message.type() === 'error') errors.push(`console: ${message.text()}`); });
  page.on('pageerror', (error) => errors.push(`exception: ${error.message}`));
  page.on('requestfailed', (request) => errors.push(`request failed: ${request.url()} ${request.failure()?.errorText}`));
  page.on('response', (response) => { if (response.status() >= 400) errors.push(`HTTP ${response.status()}: ${response.url()}`); });
  await page.goto(url, { waitUntil: 'load' });
  return { page, errors };
}

// The pixels of the chart's canvas that are within `tolerance` of each
// colour in `colours` ('#rrggbb'), counted in the page.
function colourCounts(page, colours, tolerance = 40) {
  return page.evaluate((wanted, tol) => {
    const canvas = document.querySelector('#chart canvas');
    const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    const rgb = wanted.map((hex) => [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16)));
    const counts = wanted.map(() => 0);
    for (let i = 0; i < data.length; i += 4) {
      for (let c = 0; c < rgb.length; c++) {
        const [r, g, b] = rgb[c];
        if (Math.abs(data[i] - r) + Math.abs(data[i + 1] - g) + Math.abs(data[i + 2] - b) <= tol) counts[c]++;
      }
    }
    return counts;
  }, colours, tolerance);
}

// Waits until fn() (run in the page) is truthy; fails with `what` after `ms`.
async function until(page, fn, arg, what, ms = 10000) {
  try {
    await page.waitForFunction(fn, { timeout: ms, polling: 50 }, arg);
  } catch {
    throw new Error(`timed out waiting for ${what}`);
  }
}

module.exports = { launch, openPage, colourCounts, until, executablePath };
