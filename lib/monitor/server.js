'use strict';
// The monitor's HTTP server: the page's files, one event stream per page with the port's bytes and state, and the page's requests.
//
// Anything on this machine can reach a port on 127.0.0.1, and any web page
// the user visits can make the browser try. So every request must carry the
// run's token (in the query of the page's address, then as the first part of
// every path, which the page's <base> gives its own requests), its Host must
// name this server (a DNS-rebinding site would send its own name), an Origin,
// where the browser sends one, must be this server's, and the answers tell
// the browser not to send the token on as a referrer.
const http = require('node:http');
const fs = require('node:fs');
const path = require('node:path');
const crypto = require('node:crypto');

const pageDir = path.join(__dirname, 'page');
const uplotDir = path.join(path.dirname(require.resolve('uplot/package.json')), 'dist');
const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8' };
// Everything the server will send from disk, by the path the page asks for.
const files = new Map([
  ...['main.js', 'terminal.js', 'plotter.js', 'numbers.js', 'monitor.css'].map((name) => [name, path.join(pageDir, name)]),
  ['uplot/uPlot.esm.js', path.join(uplotDir, 'uPlot.esm.js')],
  ['uplot/uPlot.min.css', path.join(uplotDir, 'uPlot.min.css')],
]);
const security = {
  'Cache-Control': 'no-store',
  'Referrer-Policy': 'no-referrer',
  'X-Content-Type-Options': 'nosniff',
  'X-Frame-Options': 'DENY',
  'Content-Security-Policy': "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'",
};
// Bytes are sent on in batches this often: a line reaches the page within it.
const batchInterval = 10;
const maxBody = 1 << 20;

const same = (a, b) => a.length === b.length && crypto.timingSafeEqual(Buffer.from(a), Buffer.from(b));

// Starts serving `link` (a Link) and the port list of `watcher` (a
// PortWatcher, or null). Resolves with { url, port, token, close() }.
async function startServer({ link, watcher = null, host = '127.0.0.1', port = 0, token = crypto.randomBytes(18).toString('base64url') }) {
  const clients = new Set();
  let ports = [];
  let pending = [];
  let timer = null;

  const server = http.createServer((req, res) => {
    handle(req, res).catch((error) => {
      if (res.headersSent) res.destroy();
      else answer(res, 500, { error: error.message });
    });
  });
  // Several monitors on one machine: each one of them takes a port of its own.
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => { server.off('error', reject); resolve(); });
  });
  const bound = server.address().port;
  const hosts = new Set([`127.0.0.1:${bound}`, `localhost:${bound}`, `[::1]:${bound}`]);
  const origins = new Set([...hosts].map((h) => `http://${h}`));

  function answer(res, status, body, headers = {}) {
    const json = typeof body !== 'string';
    res.writeHead(status, { ...security, 'Content-Type': json ? 'application/json' : 'text/plain; charset=utf-8', ...headers });
    res.end(json ? JSON.stringify(body) : `${body}\n`);
  }

  async function handle(req, res) {
    if (!hosts.has(req.headers.host || '')) return answer(res, 403, 'refused: this server answers only to its own address');
    if (req.headers.origin !== undefined && !origins.has(req.headers.origin)) return answer(res, 403, 'refused: a page of another origin');
    const url = new URL(req.url, 'http://x');
    if (url.pathname === '/') {
      if (!same(url.searchParams.get('token') || '', token)) return answer(res, 403, 'refused: open the address vornet monitor printed, with its token');
      return page(res);
    }
    const [, first, ...rest] = url.pathname.split('/');
    if (!same(first, token)) return answer(res, 403, 'refused: no token');
    const name = rest.join('/');
    if (name === 'events' && req.method === 'GET') return events(req, res);
    if (name === 'api' && req.method === 'POST') return api(req, res);
    const file = files.get(name);
    if (!file || req.method !== 'GET') return answer(res, 404, 'not found');
    const body = await fs.promises.readFile(file);
    res.writeHead(200, { ...security, 'Content-Type': types[path.extname(file)], 'Content-Length': body.length });
    res.end(body);
  }

  async function page(res) {
    const html = (await fs.promises.readFile(path.join(pageDir, 'index.html'), 'utf8')).replace('<base href="/">', `<base href="/${token}/">`);
    res.writeHead(200, { ...security, 'Content-Type': types['.html'] });
    res.end(html);
  }

  function events(req, res) {
    res.writeHead(200, { ...security, 'Content-Type': 'text/event-stream', Connection: 'keep-alive' });
    const client = { res, behind: false, missed: 0 };
    clients.add(client);
    // Told at once, not with the next batch, which may be long in coming.
    res.on('drain', () => {
      client.behind = false;
      if (client.missed > 0) {
        client.behind = !res.write(`event: missed\ndata: ${JSON.stringify({ bytes: client.missed })}\n\n`);
        client.missed = 0;
      }
    });
    req.on('close', () => clients.delete(client));
    res.write(`event: state\ndata: ${JSON.stringify(link.state)}\n\n`);
    res.write(`event: ports\ndata: ${JSON.stringify(ports)}\n\n`);
  }

  // A page that does not keep up loses whole batches, counted, rather than
  // have them pile up in this process; it is told the count once it has
  // caught up.
  function deliver(message, size) {
    for (const client of clients) {
      if (client.behind) client.missed += size;
      else if (!client.res.write(message)) client.behind = true;
    }
  }

  const broadcast = (event, value) => {
    const message = `event: ${event}\ndata: ${JSON.stringify(value)}\n\n`;
    for (const client of clients) client.res.write(message);
  };

  const flush = () => {
    timer = null;
    const batch = pending;
    pending = [];
    const size = batch.reduce((sum, [, chunk]) => sum + chunk.length, 0);
    deliver(`event: data\ndata: ${JSON.stringify(batch.map(([t, chunk]) => [t, chunk.toString('base64')]))}\n\n`, size);
  };
  const onData = (chunk) => {
    pending.push([Date.now(), chunk]);
    if (!timer) timer = setTimeout(flush, batchInterval);
  };
  const onState = (state) => broadcast('state', state);
  link.on('data', onData);
  link.on('state', onState);

  const onPorts = () => broadcast('ports', ports);
  if (watcher) {
    watcher.on('ready', (list) => { ports = list; onPorts(); });
    watcher.on('attach', (p) => { ports = [...ports, p]; onPorts(); });
    watcher.on('detach', (p) => { ports = ports.filter((q) => q.path !== p.path || q.pnpId !== p.pnpId); onPorts(); });
    watcher.on('error', () => {});
  }

  const actions = {
    send: ({ base64 }) => link.send(Buffer.from(String(base64), 'base64')),
    set: ({ lines }) => link.set(lines),
    update: ({ baudRate }) => link.update(Number(baudRate)),
    open: ({ target, baudRate }) => link.open(String(target), baudRate === undefined ? {} : { baudRate: Number(baudRate) }),
  };

  // A form of another site can post text/plain without asking; only JSON,
  // which no page may send here without the browser asking first, is taken.
  async function api(req, res) {
    if (!/^application\/json\b/.test(req.headers['content-type'] || '')) return answer(res, 415, { error: 'expected application/json' });
    let size = 0;
    const parts = [];
    for await (const part of req) {
      size += part.length;
      if (size > maxBody) return answer(res, 413, { error: 'too large' });
      parts.push(part);
    }
    let request;
    try {
      request = JSON.parse(Buffer.concat(parts).toString('utf8'));
    } catch {
      return answer(res, 400, { error: 'not JSON' });
    }
    const action = request && Object.hasOwn(actions, request.op) ? actions[request.op] : null;
    if (!action) return answer(res, 400, { error: `unknown op ${JSON.stringify(request && request.op)}` });
    try {
      await action(request);
    } catch (error) {
      // Refused by the port, not by this server: news for the page, which
      // would otherwise log a failed request.
      return answer(res, 200, { error: error.message, code: error.code });
    }
    return answer(res, 200, { ok: true });
  }

  let closing = null;
  const close = () => {
    if (!closing) {
      clearTimeout(timer);
      link.off('data', onData);
      link.off('state', onState);
      for (const client of clients) client.res.end();
      clients.clear();
      closing = new Promise((resolve) => server.close(() => resolve()));
      server.closeAllConnections();
    }
    return closing;
  };

  return { url: `http://127.0.0.1:${bound}/?token=${token}`, port: bound, token, close, clients };
}

module.exports = { startServer };
