'use strict';
// DelimiterParser over a real port: the Windows builds' SerialPort piped
// into it on a null-modem pair, frame-exact, and a frame over maxLength.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const { runWindows, pairsByArch, eachArch } = require('./rig');

const pairs = pairsByArch(61, 62);
after(() => pairs.down());

eachArch(test, 'lines written in uneven pieces come out of the parser frame-exact; an overlong one fails the pipeline and closes the port', {}, async (arch, t) => {
  const pair = pairs[arch];
  const run = await runWindows('lines.js', [pair.a, pair.b, arch === 'x64' ? 600 : 200], { arch });
  assert.equal(run.status, 0, run.stderr + run.stdout);
  t.diagnostic(run.stdout.trim());
  const { exchange, tooLong, reopened } = run.json;
  assert.equal(exchange.frames, exchange.lines, JSON.stringify(exchange));
  assert.equal(exchange.firstDifference, -1);
  assert.equal(exchange.exact, true);
  assert.equal(exchange.pipeError, null);
  assert.equal(exchange.closed, true);
  assert.deepEqual(tooLong.frames, ['short']);
  assert.equal(tooLong.code, 'ERR_FRAME_TOO_LONG');
  assert.equal(tooLong.maxLength, 64);
  assert.equal(tooLong.readerOpen, false);
  assert.equal(tooLong.readerDestroyed, true);
  assert.equal(reopened, true);
});
