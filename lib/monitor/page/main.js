// The monitor page: one event stream from the server feeds the terminal and the plotter; the controls post to it.
import { Terminal } from './terminal.js';
import { Plotter } from './plotter.js';
import { parseLine, LineSplitter } from './numbers.js';

const $ = (id) => document.getElementById(id);
const terminal = new Terminal($('terminal'), $('term-count'));
const plotter = new Plotter($('chart'), $('plot-count'));
const splitter = new LineSplitter();
const decoder = new TextDecoder();
let state = null;
let missed = 0;

function notice(text) {
  $('notice').textContent = text;
}

// Every answer is 200 with { ok } or { error }: a refusal is news for the
// page, not a failed request for the console.
async function api(op, fields = {}) {
  const response = await fetch('api', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ op, ...fields }) });
  const answer = await response.json();
  if (answer.error) notice(`${op}: ${answer.error}`);
  return answer;
}

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return bytes;
}

function onData([t, base64]) {
  const bytes = bytesOf(base64);
  terminal.push(bytes, t);
  for (const line of splitter.push(decoder.decode(bytes, { stream: true }))) {
    const values = parseLine(line);
    if (values) plotter.add(values, t);
  }
}

function showState(next) {
  state = next;
  const { status, path, target, error } = state;
  const why = status !== 'open' && error;
  // The port is named once: most errors name it already.
  const where = why && why.includes(path || target) ? '' : path || target || '';
  $('status').textContent = `${status}${where ? ` ${where}` : ''}${why ? `: ${why}` : ''}`;
  $('status').dataset.status = status;
  const open = status === 'open';
  const baud = $('baud');
  if (![...baud.options].some((o) => o.value === String(state.baudRate))) baud.add(new Option(String(state.baudRate)));
  baud.value = String(state.baudRate);
  baud.disabled = !open;
  for (const line of ['dtr', 'rts', 'brk']) {
    const value = state.lines ? state.lines[line] : null;
    $(line).setAttribute('aria-pressed', String(value === true));
    // null: the driver drives it (hardware flow control).
    $(line).disabled = !open || value === null;
  }
  for (const line of ['cts', 'dsr', 'dcd']) {
    const light = $(line);
    light.dataset.on = state.modem ? String(state.modem[line]) : 'unknown';
    light.title = state.modem ? `${line.toUpperCase()} ${state.modem[line] ? 'on' : 'off'}` : 'not reported by this driver';
  }
  $('send-text').disabled = !open;
}

function showPorts(ports) {
  const select = $('port-select');
  const chosen = select.value;
  select.replaceChildren(new Option('(choose)', ''), ...ports.map((p) => {
    const label = [p.path, p.friendlyName || p.manufacturer, p.serialNumber].filter(Boolean).join('  ');
    return new Option(label, p.path);
  }));
  select.value = ports.some((p) => p.path === chosen) ? chosen : '';
}

const events = new EventSource('events');
events.addEventListener('state', (e) => showState(JSON.parse(e.data)));
events.addEventListener('ports', (e) => showPorts(JSON.parse(e.data)));
events.addEventListener('data', (e) => { for (const chunk of JSON.parse(e.data)) onData(chunk); });
events.addEventListener('missed', (e) => {
  missed += JSON.parse(e.data).bytes;
  notice(`missed ${missed} bytes: the page fell behind`);
});
events.addEventListener('open', () => { if (!state) $('status').textContent = 'connected'; });
events.addEventListener('error', () => {
  $('status').textContent = 'the monitor has stopped';
  $('status').dataset.status = 'gone';
  // The server is gone: trying again would only fill the console.
  events.close();
});

// The send box: the text in UTF-8 or Latin-1 as the terminal shows it, then
// the chosen line ending; Up and Down walk the history.
const endings = { none: '', lf: '\n', cr: '\r', crlf: '\r\n' };
const history = [];
let recall = 0;
$('send-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const input = $('send-text');
  const text = input.value + endings[$('tx-ending').value];
  if (text === '') return;
  const latin = $('encoding').value !== 'utf-8';
  const bytes = latin ? Uint8Array.from(text, (c) => c.charCodeAt(0) & 0xff) : new TextEncoder().encode(text);
  if (input.value && history[history.length - 1] !== input.value) history.push(input.value);
  if (history.length > 100) history.shift();
  recall = history.length;
  input.value = '';
  api('send', { base64: btoa(String.fromCharCode(...bytes)) });
});
$('send-text').addEventListener('keydown', (event) => {
  if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
  event.preventDefault();
  recall = Math.max(0, Math.min(history.length, recall + (event.key === 'ArrowUp' ? -1 : 1)));
  $('send-text').value = history[recall] ?? '';
});

for (const line of ['dtr', 'rts', 'brk']) {
  $(line).addEventListener('click', () => api('set', { lines: { [line]: $(line).getAttribute('aria-pressed') !== 'true' } }));
}
$('baud').addEventListener('change', () => api('update', { baudRate: Number($('baud').value) }));
$('port-open').addEventListener('click', () => {
  if ($('port-select').value) api('open', { target: $('port-select').value });
});

const toggle = (button) => {
  const on = button.getAttribute('aria-pressed') !== 'true';
  button.setAttribute('aria-pressed', String(on));
  return on;
};
const configure = () => terminal.configure({ view: $('view').value, encoding: $('encoding').value, ending: $('rx-ending').value,
  timestamps: $('timestamps').checked });
for (const id of ['view', 'encoding', 'rx-ending', 'timestamps']) $(id).addEventListener('change', configure);
$('term-pause').addEventListener('click', (e) => { terminal.paused = toggle(e.currentTarget); });
$('term-clear').addEventListener('click', () => terminal.clear());
$('window').addEventListener('change', () => { plotter.windowSeconds = Number($('window').value); });
$('plot-pause').addEventListener('click', (e) => { plotter.paused = toggle(e.currentTarget); });
const range = () => { plotter.range = [Number($('y-min').value), Number($('y-max').value)]; };
$('autoscale').addEventListener('change', () => {
  const on = $('autoscale').checked;
  $('y-min').disabled = on;
  $('y-max').disabled = on;
  range();
  plotter.autoscale = on;
});
for (const id of ['y-min', 'y-max']) $(id).addEventListener('change', range);
$('plot-clear').addEventListener('click', () => plotter.clear());
$('csv').addEventListener('click', () => {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([plotter.csv()], { type: 'text/csv' }));
  link.download = `vornet-${(state && state.path) || 'monitor'}-${new Date().toISOString().replace(/[:.]/g, '-')}.csv`;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
});

// For those who drive the page from outside: the tests and the pace bench.
window.monitor = { terminal, plotter, get state() { return state; }, get missed() { return missed; } };
