#!/usr/bin/env node
'use strict';
// vornet list [--json]          the serial ports, as a table or as JSON
// vornet term PORT [--baud N]   a small terminal on a port; Ctrl-C leaves
const { SerialPort } = require('../lib/index.js');

const usage = 'usage: vornet list [--json] | vornet term <port> [--baud <rate>]';

function refuse(message) {
  process.stderr.write(`${message ? `vornet: ${message}\n` : ''}${usage}\n`);
  process.exit(2);
}

function table(ports) {
  const rows = [['PATH', 'MANUFACTURER', 'SERIAL NUMBER', 'VID:PID', 'FRIENDLY NAME']];
  for (const port of ports) {
    const ids = port.vendorId || port.productId ? `${port.vendorId || ''}:${port.productId || ''}` : '';
    rows.push([port.path, port.manufacturer || '', port.serialNumber || '', ids, port.friendlyName || '']);
  }
  const widths = rows[0].map((_, column) => Math.max(...rows.map((row) => row[column].length)));
  return rows.map((row) => row.map((cell, column) => cell.padEnd(widths[column])).join('  ').trimEnd()).join('\n');
}

async function list(args) {
  const json = args.includes('--json');
  if (args.some((arg) => arg !== '--json')) refuse(`unknown argument ${args.find((arg) => arg !== '--json')}`);
  const ports = await SerialPort.list();
  process.stdout.write(json ? `${JSON.stringify(ports, (k, v) => (v === undefined ? null : v), 2)}\n`
    : ports.length === 0 ? 'no serial ports\n' : `${table(ports)}\n`);
}

async function term(args) {
  let path;
  let baudRate = 9600;
  for (let i = 0; i < args.length; i++) {
    if (args[i] === '--baud') {
      baudRate = Number(args[++i]);
      if (!Number.isInteger(baudRate) || baudRate <= 0) refuse(`--baud wants a positive integer, not ${args[i]}`);
    } else if (args[i].startsWith('-') || path) {
      refuse(`unknown argument ${args[i]}`);
    } else {
      path = args[i];
    }
  }
  if (!path) refuse('term needs a port, such as COM3');
  const port = await SerialPort.open(path, { baudRate });
  process.stderr.write(`vornet: connected to ${path} at ${baudRate} baud; Ctrl-C leaves\n`);
  let leaving = false;
  const leave = async () => {
    if (leaving) return;
    leaving = true;
    process.stdin.pause();
    await port.close();
    process.stderr.write(`vornet: closed ${path}\n`);
    process.exit(0);
  };
  port.on('data', (chunk) => process.stdout.write(chunk));
  port.on('error', (error) => {
    process.stderr.write(`vornet: ${path}: ${error.message}${error.code ? ` (${error.code})` : ''}\n`);
    process.exit(1);
  });
  process.on('SIGINT', leave);
  // Keys go out as they are typed; Ctrl-C then arrives as a byte, not a signal.
  if (process.stdin.isTTY) process.stdin.setRawMode(true);
  process.stdin.on('data', (chunk) => {
    const stop = chunk.indexOf(0x03);
    if (stop >= 0) {
      if (stop > 0) port.write(chunk.subarray(0, stop));
      leave();
      return;
    }
    port.write(chunk);
  });
}

const [command, ...rest] = process.argv.slice(2);
const commands = { list, term };
if (!commands[command]) refuse(command ? `unknown command ${command}` : '');
commands[command](rest).catch((error) => {
  process.stderr.write(`vornet: ${error.message}${error.code ? ` (${error.code})` : ''}\n`);
  process.exit(1);
});
