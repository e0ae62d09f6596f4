'use strict';
// The vornet command here, over virtual devices: --version, and term's piped input that waits for the replies, through a device that goes and comes back.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { runAsWindows, root } = require('./run');

const tool = path.join(root, 'bin', 'vornet.js');

test('vornet --version and -v print the package version', async () => {
  for (const flag of ['--version', '-v']) {
    const run = await runAsWindows(tool, [flag]);
    assert.deepEqual([run.status, run.stdout, run.stderr], [0, `${require('../../package.json').version}\n`, ''], flag);
  }
});

test('term with a piped input waits for the replies until the port is quiet, then closes it', async () => {
  const modem = { answers: { AT: '\r\nOK\r\n', 'AT+GMR': '\r\nv1.2.3\r\n\r\nOK\r\n' }, answerAfter: 300 };
  // A device that answers in pieces, 200 ms apart.
  const talker = { answers: { 'AT+LIST': '1\r\n' }, script: [[200, 'write', '2\r\n'], [400, 'write', '3\r\n'], [600, 'write', 'OK\r\n']] };
  // [arguments, device, input, status, stdout, stderr pattern, at least ms]
  const cases = [
    [['COM3'], modem, 'AT\r\nAT+GMR\r\n', 0, '\r\nOK\r\n\r\nv1.2.3\r\n\r\nOK\r\n', /closed COM3\n$/, 300 + 500],
    [['COM3', '--quiet-ms', '0'], modem, 'AT\r\n', 0, '', /closed COM3\n$/, 0],
    [['COM3', '--quiet-ms=350', '--baud=115200'], talker, 'AT+LIST\r\n', 0, '1\r\n2\r\n3\r\nOK\r\n', /at 115200 baud.*\n.*closed COM3\n$/, 600 + 350],
    // Quiet waits only for a port that is quiet: one that is pulled out ends term with its error.
    [['COM3'], { ...modem, unplugOn: 'AT' }, 'AT\r\n', 1, '', /vornet: COM3 is disconnected, its device gone: .*Unknown error code 31 \(ERR_PORT_DISCONNECTED\)\n$/, 0],
    // With --reconnect, pulled out for longer than --quiet-ms and put back: term says so, waits for it and
    // carries on with what comes after.
    [['COM3', '--reconnect', '--quiet-ms', '600'], { ...modem, answerAfter: 0, script: [[200, 'unplug'], [1000, 'plug'], [2000, 'write', 'back\r\n']] },
      'AT\r\n', 0, '\r\nOK\r\nback\r\n',
      /went away \(ERROR_GEN_FAILURE\); waiting for it to come back, Ctrl-C leaves\nvornet: back on COM3\nvornet: closed COM3\n$/, 2000 + 600],
    // Not there yet: waited for, then used.
    [['COM3', '--reconnect', '--quiet-ms', '300'], { ...modem, answerAfter: 0, absent: true, script: [[500, 'plug']] }, 'AT\r\n', 0,
      '\r\nOK\r\n', /^vornet: Opening COM3: File not found \(ENOENT\); waiting for it, Ctrl-C leaves\nvornet: connected to COM3 at 9600 baud/, 500],
    [['COM3', '--quiet-ms', 'soon'], modem, '', 2, '', /--quiet-ms wants a number of milliseconds, not soon\nusage: vornet list .*\| vornet term <port> \[--baud <rate>\] \[--quiet-ms <ms>\] \[--reconnect\] \|/, 0],
    [['COM3', '--reconnect=yes'], modem, '', 2, '', /unknown argument --reconnect=yes\n/, 0],
  ];
  for (const [args, device, input, status, stdout, stderr, least] of cases) {
    const run = await runAsWindows(tool, ['term', ...args], { devices: { COM3: device }, input });
    const shown = `${args.join(' ')}: status ${run.status}, ${run.ms} ms\n${JSON.stringify(run.stdout)}\n${run.stderr}`;
    assert.equal(run.status, status, shown);
    assert.equal(run.stdout, stdout, shown);
    assert.match(run.stderr, stderr, shown);
    assert.ok(run.ms >= least, shown);
  }
});
