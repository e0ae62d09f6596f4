// Prints the modem status lines (CTS, DSR, DCD) of a port whenever they
// change, and the ports plugged in or pulled out meanwhile. Pulled out, the
// port is opened again once it is back. Ctrl-C stops.
// node examples/watch-lines.js COM3
const { setTimeout: sleep } = require('node:timers/promises');
const { SerialPort } = require('vornet');

const path = process.argv[2] || 'COM3';
const stop = new AbortController();
process.once('SIGINT', () => stop.abort());

const show = ({ cts, dsr, dcd }) => console.log(`CTS ${cts ? 'on ' : 'off'}  DSR ${dsr ? 'on ' : 'off'}  DCD ${dcd ? 'on ' : 'off'}`);

// Opens the port, trying again every half second while it is not there
// (ENOENT), or still held (EACCES: by another program, or by Windows a moment
// after an unplug), until `signal` aborts.
async function openWhenThere(options, signal) {
  for (;;) {
    try {
      return await SerialPort.open(path, { ...options, signal });
    } catch (error) {
      if (error.code !== 'ENOENT' && error.code !== 'EACCES') throw error;
      await sleep(500, undefined, { signal });
    }
  }
}

// Resolves with the port's error once it has ended: null for a close.
const ended = (port) => new Promise((resolve) => {
  port.once('error', resolve);
  port.once('close', () => resolve(null));
});

async function main() {
  const watcher = SerialPort.watch({ interval: 1000 });
  watcher.on('attach', (p) => console.log(`plugged in: ${p.path} ${p.friendlyName ?? ''}`));
  watcher.on('detach', (p) => console.log(`pulled out: ${p.path} ${p.friendlyName ?? ''}`));
  // A list that fails is reported and the polls go on; without a listener it
  // would end the process.
  watcher.on('error', (error) => console.error(`listing failed: ${error.message}`));
  try {
    while (!stop.signal.aborted) {
      // The port reads its lines every 100 ms and says when they change.
      const port = await openWhenThere({ baudRate: 9600, modemStatus: { interval: 100 } }, stop.signal);
      const end = ended(port);
      const onStop = () => port.close();
      stop.signal.addEventListener('abort', onStop);
      try {
        // Raise DTR and RTS, as many devices want before they talk.
        await port.set({ dtr: true, rts: true });
        show(await port.get());
        port.on('modemStatus', ({ status }) => show(status));
      } catch (error) {
        // Gone already: `end` says how.
        if (port.isOpen) throw error;
      }
      const error = await end;
      stop.signal.removeEventListener('abort', onStop);
      if (error) console.log(`${path} went away (${error.cause ? error.cause.code : error.code}); waiting for it to come back`);
      await port.close();
    }
  } catch (error) {
    if (error.name !== 'AbortError') throw error;
  } finally {
    watcher.close();
  }
}

main().catch((error) => {
  // Most errors name the port already; the others are given its name.
  const message = error.message.includes(path) ? error.message : `${path}: ${error.message}`;
  console.error(`${message} (${error.code})`);
  process.exitCode = 1;
});
