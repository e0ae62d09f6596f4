#!/usr/bin/env node
'use strict';
// vornet list [--json]          the serial ports, as a table or as JSON
// vornet list --watch [--json]  the same, then the ports as they come and go
// vornet term PORT [--baud N] [--quiet-ms N] [--reconnect]
//                               a small terminal on a port; Ctrl-C leaves
// vornet monitor [PORT]         a terminal and plotter for a port, in the browser
// vornet --help, --version      the usage, the package's version

const usage = 'usage: vornet list [--json] [--watch] | vornet term <port> [--baud <rate>] [--quiet-ms <ms>] [--reconnect] | ' +
  'vornet monitor [<port>] [--baud <rate>] [--reconnect] [--listen <port>] [--no-open] [--demo]';
// How long term waits for a device's replies once a piped input has gone:
// time enough for a modem or an instrument to answer, short enough for a script.
const defaultQuiet = 500;
const help = `${usage}

  list            the serial ports: path, manufacturer, serial number, VID:PID, friendly name
  list --json     the same records as JSON, with null for what is unknown
  list --watch    then a line for each port that comes (+) or goes (-), until Ctrl-C;
                  with --json, one JSON object a line
  term <port>     copies the port to standard output and standard input to the port;
                  a piped input is sent whole, then term waits for the replies and leaves
                  once the port has been quiet for --quiet-ms:
                    printf 'AT\\r\\n' | vornet term COM3 --baud 115200
  monitor <port>  a page in the browser with the port's text or bytes, a send box, its
                  lines and baud rate, and a live plot of the numbers it prints; the port
                  is named, or found by the serial number of its device; without one, it
                  is chosen on the page
  monitor --demo  the same on a virtual device that prints sin, cos and saw values
  --baud <rate>   the baud rate of term and monitor (also --baud=<rate>); 9600 if not given
  --quiet-ms <ms> term: after a piped input, leave once nothing has arrived for this long
                  (also --quiet-ms=<ms>); ${defaultQuiet} if not given, 0 leaves once the input has gone
  --reconnect     term and monitor: when the device goes away, wait for it and carry on
                  once it is back (term says so on stderr, waits for a port not there at the
                  start too, and drops keys typed meanwhile)
  --listen <port> monitor: the TCP port to serve on (on 127.0.0.1); a free one if not given
  --no-open       monitor: print the address without opening a browser
  -h, --help      this text
  -v, --version   the version of vornet

Ctrl-C closes the port and leaves; a second Ctrl-C leaves at once.
`;

function refuse(message) {
  process.stderr.write(`${message ? `vornet: ${message}\n` : ''}${usage}\n`);
  process.exit(2);
}

// The message of a failure, with its code where it has one, and the port
// it concerns where the message does not name it already.
const describe = (error, path = '') => {
  const where = path && !error.message.includes(path) ? `${path}: ` : '';
  return `vornet: ${where}${error.message}${error.code ? ` (${error.code})` : ''}\n`;
};

function cells(port) {
  const ids = port.vendorId || port.productId ? `${port.vendorId || ''}:${port.productId || ''}` : '';
  return [port.path, port.manufacturer || '', port.serialNumber || '', ids, port.friendlyName || ''];
}

function table(ports) {
  const rows = [['PATH', 'MANUFACTURER', 'SERIAL NUMBER', 'VID:PID', 'FRIENDLY NAME'], ...ports.map(cells)];
  const widths = rows[0].map((_, column) => Math.max(...rows.map((row) => row[column].length)));
  return rows.map((row) => row.map((cell, column) => cell.padEnd(widths[column])).join('  ').trimEnd()).join('\n');
}

// Loaded only for a command that needs the port, so that the usage and its
// refusals work wherever Node runs.
const layer = () => require('../lib/index.js').SerialPort;

const json = (value, indent) => JSON.stringify(value, (k, v) => (v === undefined ? null : v), indent);
const listed = (ports, asJson) => (asJson ? `${json(ports, 2)}\n`
  : ports.length === 0 ? 'no serial ports\n' : `${table(ports)}\n`);

async function list(args) {
  for (const arg of args) if (arg !== '--json' && arg !== '--watch') refuse(`unknown argument ${arg}`);
  const asJson = args.includes('--json');
  if (!args.includes('--watch')) {
    process.stdout.write(listed(await layer().list(), asJson));
    return;
  }
  // The watcher's own first list is what is printed first, so that no port
  // that comes or goes meanwhile falls between the two.
  const watcher = layer().watch({ interval: 1000 });
  const change = (sign, type) => (port) => process.stdout.write(asJson
    ? `${json({ event: type, port })}\n` : `${sign} ${cells(port).filter(Boolean).join('  ')}\n`);
  watcher.on('ready', (ports) => process.stdout.write(asJson ? `${json({ event: 'ready', ports })}\n` : listed(ports, false)));
  watcher.on('attach', change('+', 'attach'));
  watcher.on('detach', change('-', 'detach'));
  await new Promise((resolve, reject) => {
    watcher.once('error', reject);
    process.once('SIGINT', () => { watcher.close(); resolve(); });
  });
}

// The port and options of term and monitor: `valued` are the options that
// take a value (--baud 9600 or --baud=9600), `flags` those that do not.
function portArguments(args, { valued = ['--baud'], flags = [] } = {}) {
  let path;
  const values = { '--baud': '9600' };
  const set = new Set();
  for (let i = 0; i < args.length; i++) {
    const arg = args[i];
    const name = arg.split('=')[0];
    if (valued.includes(arg)) {
      if (i + 1 >= args.length) refuse(arg === '--baud' ? '--baud wants a rate, such as --baud 115200' : `${arg} wants a value, such as ${arg} 8080`);
      values[arg] = args[++i];
    } else if (valued.includes(name)) {
      values[name] = arg.slice(name.length + 1);
    } else if (flags.includes(arg)) {
      set.add(arg);
    } else if (arg.startsWith('-') || path !== undefined) {
      refuse(`unknown argument ${arg}`);
    } else {
      path = arg;
    }
  }
  const baud = values['--baud'];
  const baudRate = Number(baud);
  if (!/^\d+$/.test(baud) || !Number.isInteger(baudRate) || baudRate <= 0 || baudRate > 0xFFFFFFFF) {
    refuse(`--baud wants a positive integer, not ${baud}`);
  }
  return { path, baudRate, values, set };
}

function termArguments(args) {
  const { path, baudRate, values, set } = portArguments(args, { valued: ['--baud', '--quiet-ms'], flags: ['--reconnect'] });
  if (path === undefined) refuse('term needs a port, such as COM3');
  const quiet = values['--quiet-ms'] ?? String(defaultQuiet);
  const quietMs = Number(quiet);
  if (!/^\d+$/.test(quiet) || quietMs > 2 ** 31 - 1) refuse(`--quiet-ms wants a number of milliseconds, not ${quiet}`);
  return { path, baudRate, quietMs, reconnect: set.has('--reconnect') };
}

// Opens term's port; with --reconnect, a device not there yet (or not ready)
// is looked for as the port looks for one that went away, until Ctrl-C.
async function openTerm(path, baudRate, reconnect) {
  const open = (where) => layer().open(where, { baudRate, reconnect });
  try {
    return await open(path);
  } catch (error) {
    if (!reconnect || !require('../lib/loss').isNotReady(error)) throw error;
    process.stderr.write(describe(error, path).replace(/\n$/, '; waiting for it, Ctrl-C leaves\n'));
  }
  const { seek } = require('../lib/reconnect');
  const stop = new AbortController();
  const left = new Error(`left without ${path}`);
  const interrupted = () => stop.abort();
  process.once('SIGINT', interrupted);
  try {
    const { found } = seek({ identity: null, path, open, close: (port) => port.destroy(), signal: stop.signal, lost: left });
    return (await found).fd;
  } catch (error) {
    if (error !== left) throw error;
  } finally {
    process.removeListener('SIGINT', interrupted);
  }
  process.stderr.write(`vornet: ${left.message}\n`);
  process.exit(0);
}

async function term(args) {
  const { path, baudRate, quietMs, reconnect } = termArguments(args);
  const port = await openTerm(path, baudRate, reconnect);
  const { stdin, stdout, stderr } = process;
  stderr.write(`vornet: connected to ${path} at ${baudRate} baud; Ctrl-C leaves\n`);

  // Keys go out as they are typed; Ctrl-C then arrives as a byte, not a
  // signal. The console is given back on every way out.
  const raw = Boolean(stdin.isTTY) && typeof stdin.setRawMode === 'function';
  let restored = !raw;
  const restore = () => {
    if (restored) return;
    restored = true;
    try { stdin.setRawMode(false); } catch { /* the console is gone already */ }
  };
  process.on('exit', restore);
  const leaveNow = (status, message) => {
    restore();
    if (message) stderr.write(message);
    process.exit(status);
  };

  let leaving = false;
  // The first Ctrl-C (or the end of a piped input) closes the port, which
  // lets what was typed go out first; a second one leaves without waiting.
  const leave = () => {
    if (leaving) {
      leaveNow(130, `vornet: left ${path} without waiting for it to close\n`);
      return;
    }
    leaving = true;
    stdin.pause();
    // A piped input that lost bytes to a loss of the device did not all go out.
    const unsent = raw || notSentTotal === 0 ? '' : `; ${notSentTotal} byte(s) of the input were not sent`;
    port.close().then(() => leaveNow(unsent ? 1 : 0, `vornet: closed ${port.path}${unsent}\n`),
      (error) => leaveNow(1, describe(error, port.path)));
  };

  port.on('error', (error) => leaveNow(1, describe(error, path)));
  // Reset by every chunk from the port: after a piped input, term leaves once
  // the port has been quiet for quietMs.
  let quiet = null;
  const waitForQuiet = () => {
    if (leaving) return;
    clearTimeout(quiet);
    quiet = setTimeout(() => { if (!leaving) leave(); }, quietMs);
  };
  port.on('data', (chunk) => {
    if (quiet !== null) waitForQuiet();
    if (!stdout.write(chunk)) {
      port.pause();
      stdout.once('drain', () => port.resume());
    }
  });
  // While the device is away, a piped input waits unread and goes on once it
  // is back; keys typed on a console are dropped (Ctrl-C must still get
  // through), and said so. What was on its way at the loss is counted and told.
  let away = false;
  let notSent = 0;
  let notSentTotal = 0;
  let dropped = 0;
  const sent = (count) => (error) => {
    if (error && error.code === 'ERR_PORT_DISCONNECTED') {
      notSent += count;
      notSentTotal += count;
    }
  };
  if (reconnect) {
    port.on('disconnect', (error) => {
      away = true;
      if (!raw) stdin.pause();
      // A device that is away is not quiet: the wait for its replies starts again once it is back.
      clearTimeout(quiet);
      const why = error.cause ? error.cause.code || error.cause.message : 'gone from the port list';
      stderr.write(`vornet: ${error.path} went away (${why}); waiting for it to come back, Ctrl-C leaves\n`);
    });
    port.on('reconnect', (event) => {
      away = false;
      const lost = [notSent > 0 ? `${notSent} byte(s) on their way when it went were not sent` : '',
        dropped > 0 ? `${dropped} byte(s) typed meanwhile were dropped` : ''].filter(Boolean).join('; ');
      notSent = 0;
      dropped = 0;
      stderr.write(`vornet: back on ${event.path}${lost ? `; ${lost}` : ''}\n`);
      if (!raw && !leaving && !stdin.readableEnded) stdin.resume();
      if (quiet !== null) waitForQuiet();
    });
  }
  process.on('SIGINT', leave);
  // Ended from outside: the console is given back before the default way out.
  for (const [signal, number] of [['SIGTERM', 15], ['SIGHUP', 1], ['SIGBREAK', 21]]) {
    process.on(signal, () => leaveNow(128 + number, `vornet: ${signal}\n`));
  }
  if (raw) stdin.setRawMode(true);
  stdin.on('data', (chunk) => {
    if (leaving) {
      if (raw && chunk.includes(0x03)) leave();
      return;
    }
    const stop = raw ? chunk.indexOf(0x03) : -1;
    const keys = stop >= 0 ? chunk.subarray(0, stop) : chunk;
    if (away) {
      // Dropped rather than held: what was typed was meant for the device as it was.
      dropped += keys.length;
      if (!raw) notSentTotal += keys.length;
    } else if (keys.length > 0 && !port.write(keys, sent(keys.length))) {
      // The port's write side is full: stop taking input until it has room.
      stdin.pause();
      port.once('drain', () => { if (!leaving && !away) stdin.resume(); });
    }
    if (stop >= 0) leave();
  });
  // A piped input has been read whole: once all of it has been sent, the
  // device's replies are waited for until the port is quiet.
  stdin.on('end', () => {
    if (leaving) return;
    port.drain().then(() => {
      if (leaving) return;
      if (quietMs === 0) leave();
      else waitForQuiet();
    }, (error) => {
      // A port that failed says why with its 'error', which may come after
      // the drain gives up; it comes before 'close'.
      const report = () => leaveNow(1, describe(error, path));
      if (port.destroyed && !port.closed) port.once('close', report);
      else report();
    });
  });
  stdin.resume();
}

// Opens the page in the default browser; where that fails, the address printed is enough.
function browse(url) {
  const { spawn } = require('node:child_process');
  const [command, ...args] = process.platform === 'win32' ? ['rundll32', 'url.dll,FileProtocolHandler', url]
    : process.platform === 'darwin' ? ['open', url] : ['xdg-open', url];
  try {
    const child = spawn(command, args, { stdio: 'ignore', detached: true });
    child.on('error', () => process.stderr.write('vornet: could not open a browser; open the address above\n'));
    child.unref();
  } catch {
    process.stderr.write('vornet: could not open a browser; open the address above\n');
  }
}

// The virtual ports and their demo device; they run wherever Node does.
function demoPorts() {
  const { VirtualPorts } = require('vornet/testing');
  const { playDemo } = require('../lib/monitor/demo');
  const ports = new VirtualPorts();
  const device = ports.add('COM3', { manufacturer: 'vornet', serialNumber: 'DEMO1', friendlyName: 'Demo sensor (COM3)' });
  return { SerialPort: ports.SerialPort, target: 'COM3', stop: playDemo(device) };
}

async function monitor(args) {
  const { path, baudRate, values, set } = portArguments(args, { valued: ['--baud', '--listen'], flags: ['--reconnect', '--no-open', '--demo'] });
  let listen = 0;
  if (values['--listen'] !== undefined) {
    listen = Number(values['--listen']);
    if (!/^\d+$/.test(values['--listen']) || listen < 1 || listen > 65535) refuse(`--listen wants a TCP port from 1 to 65535, not ${values['--listen']}`);
  }
  const demo = set.has('--demo');
  if (demo && path !== undefined) refuse('--demo runs on its own virtual port; give no port with it');
  const { startMonitor } = require('../lib/monitor');
  const source = demo ? demoPorts() : { SerialPort: layer(), target: path ?? null, stop: () => {} };
  const running = await startMonitor({ SerialPort: source.SerialPort, target: source.target, baudRate,
    reconnect: set.has('--reconnect'), listen });
  process.stdout.write(`${running.url}\n`);
  const where = source.target ? ` for ${source.target}` : '';
  process.stderr.write(`vornet: monitor${where} at the address above; Ctrl-C leaves\n`);
  running.opened.catch((error) => process.stderr.write(describe(error, source.target).replace(/\n$/,
    running.link.state.status === 'reconnecting' ? '; waiting for it\n' : '; choose a port on the page\n')));
  if (!set.has('--no-open')) browse(running.url);
  let leaving = false;
  const leave = () => {
    if (leaving) {
      process.stderr.write('vornet: left without waiting for the port to close\n');
      process.exit(130);
    }
    leaving = true;
    source.stop();
    running.close().then(() => {
      process.stderr.write('vornet: monitor closed\n');
      process.exit(0);
    }, (error) => {
      process.stderr.write(describe(error));
      process.exit(1);
    });
  };
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP', 'SIGBREAK']) process.on(signal, leave);
}

const commands = new Map([['list', list], ['term', term], ['monitor', monitor]]);
const args = process.argv.slice(2);
if (args.includes('--help') || args.includes('-h')) {
  process.stdout.write(help);
  process.exit(0);
}
if (args.length === 1 && (args[0] === '--version' || args[0] === '-v')) {
  process.stdout.write(`${require('../package.json').version}\n`);
  process.exit(0);
}
const [command, ...rest] = args;
if (command === undefined) refuse('');
if (!commands.has(command)) refuse(command.startsWith('-') ? `unknown option ${command}` : `unknown command ${command}`);
commands.get(command)(rest).catch((error) => {
  process.stderr.write(describe(error));
  process.exit(1);
});
