'use strict';
// The stream's request/reply tools on the real builds: modem-status events
// asked of a port that cannot give them, a batched burst, a readUntil exchange.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const { runWindows, pairsByArch, eachArch } = require('./rig');

const pairs = pairsByArch(65, 66);
after(() => pairs.down());

eachArch(test, 'modem status refused clearly on a pty; 2,000 small writes arrive byte-exact as a few addon writes; readUntil request and reply', {}, async (arch, t) => {
  const pair = pairs[arch];
  const run = await runWindows('exchange.js', [pair.a, pair.b, 2000, 16], { arch });
  assert.equal(run.status, 0, run.stderr + run.stdout);
  const { modemStatus, burst, exchange } = run.json;
  // A pseudo-terminal has no modem lines: the open says so rather than
  // report no change for ever.
  assert.deepEqual({ ...modemStatus, message: undefined },
    { code: 'ERROR_NOT_SUPPORTED', errno: 50, syscall: 'GetCommModemStatus', path: pair.a, message: undefined, reopened: true });
  t.diagnostic(`phases ${JSON.stringify(run.json.phases)}; burst: ${burst.ms.toFixed(1)} ms, ${burst.addonWrites} addon writes for ${burst.count} writes`);
  assert.equal(burst.exact, true, `${burst.received} of ${burst.bytes} bytes`);
  assert.equal(burst.callbacks, burst.count);
  assert.ok(burst.addonWrites <= 20, `${burst.addonWrites} addon writes`);
  assert.deepEqual(exchange, { request: 'AT+ID?\r\n', first: 'ID 42\r\n', second: 'OK\r\n', quiet: 'ETIMEDOUT' });
});
