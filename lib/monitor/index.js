'use strict';
// vornet monitor: a port held by a Link, served to a browser page by the server, with the live port list.
const { Link } = require('./link');
const { startServer } = require('./server');

// Opens `target` (a port name or a serial number; none: the page chooses)
// and serves the page. Resolves with { url, link, close() } once the server
// listens; a port that fails to open is shown on the page, and rejects
// `opened`.
async function startMonitor({ SerialPort, target = null, baudRate = 9600, reconnect = false, listen = 0, watch = true }) {
  const link = new Link(SerialPort, { baudRate, reconnect });
  const watcher = watch ? SerialPort.watch({ interval: 1000, unref: true }) : null;
  let server;
  try {
    server = await startServer({ link, watcher, port: listen });
  } catch (error) {
    if (watcher) watcher.close();
    throw error;
  }
  const opened = target === null ? Promise.resolve() : link.open(target, { baudRate });
  opened.catch(() => {});
  let closing = null;
  const close = () => {
    if (!closing) {
      if (watcher) watcher.close();
      closing = Promise.all([link.close(), server.close()]).then(() => {});
    }
    return closing;
  };
  return { url: server.url, port: server.port, token: server.token, link, opened, close };
}

module.exports = { startMonitor };
