'use strict';
// A preload (node -r) that lets a program written for Windows run here as written: require('vornet'),
// import 'vornet', vornet/promises and the vornet command get the virtual ports of vornet/testing in place of
// the addon, with devices that play the script in VORNET_DEVICES.
//
// VORNET_DEVICES is JSON: { "COM3": device, ... }, each device (every key optional)
//   identity     what list() reports of it
//   absent       true: not plugged in at the start
//   echo         true: each line received is sent back first, ending in \r, as a modem with echo on does
//   answers      { "AT": "\r\nOK\r\n", "*": "..." }: the reply to each line received (\r or \n ends a line),
//                "*" for any other
//   answerAfter  ms to wait before answering
//   unplugOn     a line that unplugs the device instead of being answered
//   script       [[ms, action, value], ...]: from the device's first open (from the start if absent), at
//                ms: "write" text, "set" input lines, "unplug", "plug" (under the name given, if any)
const Module = require('node:module');
const path = require('node:path');
const { VirtualPorts } = require('../../lib/testing.js');

const ports = new VirtualPorts();
const devices = JSON.parse(process.env.VORNET_DEVICES || '{}');

for (const [name, spec] of Object.entries(devices)) {
  const device = ports.add(name, spec.identity || {});
  let received = '';
  const answer = (line) => {
    if (spec.unplugOn === line) {
      device.unplug();
      return;
    }
    const reply = spec.answers && (spec.answers[line] ?? spec.answers['*']);
    const text = `${spec.echo ? `${line}\r` : ''}${reply ?? ''}`;
    if (!text) return;
    const send = () => { if (device.plugged) device.write(text); };
    if (spec.answerAfter) setTimeout(send, spec.answerAfter);
    else send();
  };
  device.on('data', (bytes) => {
    received += bytes.toString('latin1');
    const lines = received.split(/\r\n|\r|\n/);
    received = lines.pop();
    for (const line of lines) if (line !== '') answer(line);
  });
  // The script keeps the process alive until its end, as a device that is
  // still to say something keeps a program's read waiting.
  const play = () => {
    for (const [ms, action, value] of spec.script || []) {
      setTimeout(() => {
        if (action === 'write') device.write(value);
        else if (action === 'set') device.set(value);
        else if (action === 'unplug') device.unplug();
        else if (action === 'plug') device.plug(value);
        else throw new Error(`unknown device action ${action}`);
      }, ms);
    }
  };
  if (spec.absent) {
    device.unplug();
    play();
  } else {
    device.once('open', play);
  }
}

// The package's loader, answered with the virtual binding: lib/index.js,
// lib/promises.js and the ES module entries over them all load through it.
const file = require.resolve('../../lib/binding.js');
const loader = new Module(file, module);
loader.filename = file;
loader.paths = Module._nodeModulePaths(path.dirname(file));
loader.loaded = true;
loader.exports = { load: () => ports.binding, bindingPath: () => '(virtual)' };
require.cache[file] = loader;

module.exports = { ports };
