'use strict';
// The port's lines: the output lines as open() leaves them, and the poll that turns modem-status changes into events.

// What the open does to the output lines: DTR follows hupcl; RTS is low
// without hardware flow control, raised under rtsMode 'enable', and driven
// by the driver itself under 'handshake' and 'toggle' (null: not ours to set).
function openedLines({ hupcl, rtscts, rtsMode }) {
  let rts = false;
  if (rtscts) rts = rtsMode === 'enable' ? true : null;
  return Object.freeze({ dtr: hupcl, rts, brk: false });
}

// Who drives RTS when set() may not: the driver, under this rtsMode.
const rtsDrivenBy = ({ rtscts, rtsMode }) => (rtscts && rtsMode !== 'enable' ? rtsMode : null);

const inputs = ['cts', 'dsr', 'dcd'];

// Polls get() every `interval` ms, one call at a time, from the record
// `baseline`, and calls changed({ status, changed }) when an input line has
// moved; a failed poll goes to failed(error) and ends the poll. The returned
// function stops it: no call starts after it, and the answer of one in
// flight is dropped.
function pollModemStatus({ interval, baseline, get, changed, failed }) {
  let last = baseline;
  let stopped = false;
  let timer = null;
  const poll = () => {
    timer = null;
    get().then((status) => {
      if (stopped) return;
      const moved = inputs.filter((line) => status[line] !== last[line]);
      last = status;
      schedule();
      if (moved.length > 0) {
        try {
          changed({ status, changed: moved });
        } catch (error) {
          // A listener's throw is the program's, as from any emitter.
          process.nextTick(() => { throw error; });
        }
      }
    }, (error) => {
      if (!stopped) failed(error);
    });
  };
  const schedule = () => { if (!stopped) timer = setTimeout(poll, interval); };
  schedule();
  return () => {
    stopped = true;
    if (timer) clearTimeout(timer);
  };
}

module.exports = { openedLines, rtsDrivenBy, pollModemStatus };
