'use strict';
// A hundred thousand small transfers, with the process's memory measured
// before and after: the growth stays under a fixed bound.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { lintel, sim, call, sanitized } = require('../unit/support');
const { settledMemory, mib } = require('./memory');

const transfers = 100000;
// Room for the allocator's and V8's own warm-up; a leak of even 200 bytes a
// transfer would pass it.
const boundBytes = 24 * 2 ** 20;

test(`${transfers} small transfers grow the process by less than ${mib(boundBytes)} MiB`,
  { skip: sanitized && 'the sanitizer keeps freed memory in quarantine', timeout: 10 * 60000 }, async (t) => {
    sim.reset();
    sim.createPort('COM3');
    const [, fd] = await call(lintel.open, 'COM3', { baudRate: 115200, dataBits: 8 });
    const one = Buffer.alloc(1);
    const concurrency = 50;
    const round = async () => {
      const jobs = [];
      for (let i = 0; i < concurrency; i++) {
        jobs.push(call(lintel.write, fd, Buffer.from([i])));
        jobs.push(call(lintel.read, fd, Buffer.alloc(1), 0, 1));
      }
      sim.feed('COM3', Buffer.alloc(concurrency, 1));
      const results = await Promise.all(jobs);
      if (results.some((r) => r[0] !== null)) throw new Error(`a transfer failed: ${results.find((r) => r[0])[0].message}`);
      sim.takeWritten('COM3');
    };
    // Warm up first, so that the measurement sees steady state, not start-up.
    for (let i = 0; i < 100; i++) await round();
    const before = await settledMemory();
    const started = Date.now();
    for (let done = 0; done < transfers; done += 2 * concurrency) await round();
    const seconds = (Date.now() - started) / 1000;
    const after = await settledMemory();
    assert.deepEqual(await call(lintel.write, fd, one), [null]);
    await call(lintel.close, fd);
    const growth = after.rss - before.rss;
    t.diagnostic(`${transfers} transfers in ${seconds.toFixed(1)} s (${Math.round(transfers / seconds)}/s); ` +
      `rss ${mib(before.rss)} -> ${mib(after.rss)} MiB, heap ${mib(before.heapUsed)} -> ${mib(after.heapUsed)} MiB`);
    assert.ok(growth < boundBytes, `rss grew by ${mib(growth)} MiB`);
  });
