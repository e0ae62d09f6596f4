'use strict';
// Every program in examples/ run as a user runs it, over virtual devices that answer, stay silent, are
// missing, or are pulled out mid-run: what it prints, its exit status, and never an unhandled error.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { runAsWindows, root } = require('./run');

const modem = {
  echo: true,
  answers: { AT: '\r\nOK\r\n', 'AT+GMR': '\r\nv1.2.3\r\n\r\nOK\r\n', 'AT+BAD': '\r\nERROR\r\n' },
  unplugOn: 'ATZ',
};
const arduino = { identity: { vendorId: '2341', productId: '0043', serialNumber: 'S1' } };

// [example, arguments, devices, { status, stdout (exact or a pattern), stderr pattern, interruptAfter }]
const cases = [
  ['list-ports.js', [], { COM3: arduino, COM4: {} },
    { stdout: 'COM3  Virtual Serial Port (COM3) USB 2341:0043 serial S1\nCOM4  Virtual Serial Port (COM4)\n' }],
  ['list-ports.js', [], {}, { stdout: 'no serial ports\n' }],
  ['callbacks.js', ['COM3'], { COM3: { answers: { AT: '\r\nOK\r\n' } } }, { stdout: '"\\r\\nOK\\r\\n"\n' }],
  ['callbacks.js', ['COM3'], { COM3: { unplugOn: 'AT' } },
    { status: 1, stdout: '', stderr: /^COM3: Writing to COM port \(WriteIOCompletion\): Unknown error code 31\n$/ }],
  ['callbacks.js', ['COM9'], { COM3: {} }, { status: 1, stderr: /^Opening COM9: File not found\n$/ }],
  ['send-line.js', ['COM3', '115200', 'AT+GMR'], { COM3: modem }, { stdout: '> AT+GMR\n< AT+GMR\n< v1.2.3\n< \n< OK\n' }],
  ['send-line.js', ['COM3', '115200', 'ATZ'], { COM3: modem },
    { status: 1, stdout: '> ATZ\n', stderr: /^COM3 is disconnected, its device gone: .*Unknown error code 31 \(ERR_PORT_DISCONNECTED\)\n$/ }],
  ['send-line.js', ['COM4'], { COM3: modem }, { status: 1, stdout: '', stderr: /^Opening COM4: File not found \(ENOENT\)\n$/ }],
  ['request-reply.js', ['COM3', '115200', 'AT', 'AT+GMR', 'AT+BAD'], { COM3: modem },
    { status: 1, stdout: 'AT: OK\nAT+GMR: v1.2.3\nAT+BAD: the device answered ERROR\n' }],
  // Unplugged while it waits for the reply: the cause is told, not the ERR_PORT_NOT_OPEN of what follows.
  ['request-reply.js', ['COM3', '115200', 'AT+GMR', 'ATZ', 'AT'], { COM3: modem },
    { status: 1, stdout: 'AT+GMR: v1.2.3\n', stderr: /^COM3 is disconnected, its device gone: .*Unknown error code 31 \(ERR_PORT_DISCONNECTED\)\n$/ }],
  // Unplugged between two commands.
  ['request-reply.js', ['COM3', '115200', 'AT', 'AT+GMR'],
    { COM3: { ...modem, answerAfter: 300, script: [[450, 'unplug']] } },
    { status: 1, stdout: 'AT: OK\n', stderr: /^COM3 is disconnected, its device gone: .*Unknown error code (31|22|1167) \(ERR_PORT_DISCONNECTED\)\n$/ }],
  ['request-reply.js', ['COM3', '115200', 'AT'], { COM3: {} }, { status: 1, stdout: 'AT: no reply within 2 s\n' }],
  ['read-lines.js', ['COM3'], { COM3: { script: [[20, 'write', 'one\r\ntwo\r\n'], [60, 'write', 'bye\r\n']] } },
    { stdout: '< one\n< two\n< bye\n' }],
  // Pulled out with half a line on its way: the whole lines, then the error.
  ['read-lines.js', ['COM3'], { COM3: { script: [[20, 'write', 'one\r\ntw'], [60, 'unplug']] } },
    { status: 1, stdout: '< one\n', stderr: /^COM3 is disconnected, its device gone: .*Unknown error code 31 \(ERR_PORT_DISCONNECTED\)\n$/ }],
  ['read-lines.js', ['COM3'], { COM3: { script: [[20, 'write', 'one\r\n']] } }, { stdout: '< one\n', interruptAfter: 1500 }],
  // Pulled out and back: the lines before and after, the port opened again, Ctrl-C leaves with 0.
  ['watch-lines.js', ['COM3'], {
    COM3: { script: [[100, 'set', { cts: true }], [200, 'set', { dcd: true }], [300, 'unplug'], [400, 'plug'], [1300, 'set', { dsr: true }]] },
  }, {
    interruptAfter: 3000,
    // The loss is told by whichever call meets it first: the pending read, or the poll of the lines.
    stdout: new RegExp('^CTS off  DSR off  DCD off\nCTS on   DSR off  DCD off\nCTS on   DSR off  DCD on \n' +
      'COM3 went away \\((ERROR_GEN_FAILURE|ERROR_BAD_COMMAND)\\); waiting for it to come back\nCTS on   DSR off  DCD on \nCTS on   DSR on   DCD on \n$'),
  }],
  ['watch-lines.js', ['COM3'], {}, { interruptAfter: 700, stdout: '' }],
  // Followed by its serial number into another socket, a line cut by the gap marked; then by name, back
  // under the same one; Ctrl-C closes it, also while it is away. (A virtual read keeps no process alive,
  // so each device still has something to say after the Ctrl-C.)
  ['follow-device.js', ['S1'], {
    COM3: { ...arduino, script: [[50, 'write', 'one\r\ntw'], [200, 'unplug'], [350, 'plug', 'COM7'], [900, 'write', 'o\r\nthree\r\n'], [2400, 'write', 'late\r\n']] },
  }, {
    interruptAfter: 2000,
    stdout: 'following COM3\n< one\nCOM3 went away (ERROR_GEN_FAILURE); waiting for it\nback on COM7\n' +
      '<~ two   (cut by the gap: its start came before, its end after)\n< three\nclosed\n',
  }],
  ['follow-device.js', ['COM3', '115200'], { COM3: { script: [[100, 'unplug'], [300, 'plug'], [800, 'write', 'hello\n'], [2000, 'write', 'late\n']] } },
    { interruptAfter: 1600, stdout: 'following COM3\nCOM3 went away (ERROR_GEN_FAILURE); waiting for it\nback on COM3\n< hello\nclosed\n' }],
  ['follow-device.js', ['COM3'], { COM3: { script: [[100, 'unplug']] } },
    { interruptAfter: 1000, stdout: 'following COM3\nCOM3 went away (ERROR_GEN_FAILURE); waiting for it\nclosed\n' }],
  ['follow-device.js', ['S9'], { COM3: arduino }, { status: 1, stdout: '', stderr: /^no port's device has serialNumber "S9" \(ERR_PORT_NOT_FOUND\)\n$/ }],
  ['wait-for-device.js', ['2341', '5'], { COM5: { ...arduino, absent: true, script: [[1000, 'plug']] } },
    { stdout: 'waiting for a device with vendor ID 2341...\nCOM5 (Virtual Serial Port (COM5))\n' }],
  ['wait-for-device.js', ['2341', '5'], { COM5: arduino }, { stdout: 'COM5 (Virtual Serial Port (COM5))\n' }],
  ['wait-for-device.js', ['2341', '1'], { COM4: {} },
    { status: 1, stdout: 'waiting for a device with vendor ID 2341...\nno device with vendor ID 2341 came within 1 s\n' }],
];

test('every example is run here', () => {
  const files = fs.readdirSync(path.join(root, 'examples')).filter((f) => f.endsWith('.js') && !f.endsWith('.test.js'));
  assert.deepEqual([...new Set(cases.map(([file]) => file))].sort(), files.sort());
});

for (const [file, args, devices, expected] of cases) {
  const what = `${file} ${args.join(' ')} with ${JSON.stringify(devices)}`;
  test(what.length > 160 ? `${what.slice(0, 157)}...` : what, async () => {
    const run = await runAsWindows(path.join(root, 'examples', file), args, { devices, interruptAfter: expected.interruptAfter });
    const shown = `status ${run.status} ${run.signal ?? ''}\nstdout:\n${run.stdout}\nstderr:\n${run.stderr}`;
    assert.equal(run.status, expected.status ?? 0, shown);
    if (typeof expected.stdout === 'string') assert.equal(run.stdout, expected.stdout, shown);
    else if (expected.stdout) assert.match(run.stdout, expected.stdout, shown);
    assert.match(run.stderr, expected.stderr ?? /^$/, shown);
    assert.doesNotMatch(run.stderr, /Unhandled|\n +at /, shown);
  });
}
