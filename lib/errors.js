'use strict';
// The errors of the package: the addon's texts described with codes, and the layer's own.
// The addon's error texts have a fixed form: what was being done, the Win32
// call in parentheses (or "Opening <path>" for CreateFileA), a colon and a
// reason. From that form each error gains code, errno and syscall, so that
// callers can tell failures apart without reading the text.

// Windows error numbers with a name of their own, and the POSIX-style code
// a Node.js developer expects where there is one.
const known = new Map([
  [2, 'ENOENT'],
  [5, 'EACCES'],
  [6, 'EBADF'],
  [87, 'EINVAL'],
  [995, 'ECANCELED'],
  // What serial drivers answer when their device is in trouble or gone: a
  // USB adapter pulled out while open gives 22, 31 or 1167, and a port that
  // stops answering 121.
  [21, 'ERROR_NOT_READY'],
  [22, 'ERROR_BAD_COMMAND'],
  [31, 'ERROR_GEN_FAILURE'],
  [50, 'ERROR_NOT_SUPPORTED'],
  [109, 'ERROR_BROKEN_PIPE'],
  [121, 'ERROR_SEM_TIMEOUT'],
  [1117, 'ERROR_IO_DEVICE'],
  [1167, 'ERROR_DEVICE_NOT_CONNECTED'],
  // And what the open of a device still arriving or leaving may answer.
  [3, 'ERROR_PATH_NOT_FOUND'],
  [433, 'ERROR_NO_SUCH_DEVICE'],
  [1168, 'ERROR_NOT_FOUND'],
]);

const reasons = new Map([
  ['File not found', 2],
  ['Access denied', 5],
  ['Invalid handle', 6],
  ['The parameter is incorrect', 87],
  ['Operation aborted', 995],
]);

// The completion routines are the addon's own; the system call behind them
// is the one that started the transfer.
const syscallOf = { WriteIOCompletion: 'WriteFileEx', ReadIOCompletion: 'ReadFileEx' };

const form = /^(.*?)(?: \(([A-Za-z0-9]+)\))?: (File not found|Access denied|Invalid handle|The parameter is incorrect|Operation aborted|Unknown error code (-?\d+))$/s;

// Adds code, errno and syscall to an Error from the addon, in place; an Error
// of another form is returned as it is.
function describeError(error) {
  if (!(error instanceof Error) || Object.prototype.hasOwnProperty.call(error, 'errno')) return error;
  const match = form.exec(error.message);
  if (!match) return error;
  const [, doing, call, reason, number] = match;
  const errno = number !== undefined ? Number(number) : reasons.get(reason);
  const syscall = call ? syscallOf[call] || call : doing.startsWith('Opening ') ? 'CreateFileA' : undefined;
  error.errno = errno;
  error.code = known.get(errno) || 'UNKNOWN';
  if (syscall) error.syscall = syscall;
  if (errno === 5 && syscall === 'CreateFileA') {
    error.message += ' (another program may have the port open)';
  }
  return error;
}

// Names the port an error came from, as fs errors name their file; an error
// that already names one keeps it.
function withPath(error, path) {
  if (error instanceof Error && error.path === undefined) error.path = path;
  return error;
}

// The error of every call on a port that is not (or no longer) open.
function notOpen(path, what) {
  const error = new Error(`${what}: port ${path} is not open`);
  error.code = 'ERR_PORT_NOT_OPEN';
  error.path = path;
  return error;
}

// A wait that ran out of time, coded as Node codes its own.
function timedOut(path, what, ms) {
  const error = new Error(`${what}: nothing matched on ${path} within ${ms} ms`);
  error.code = 'ETIMEDOUT';
  error.path = path;
  return error;
}

// What an AbortSignal ends, in the form Node's own abortable calls use.
function aborted(path, what, signal) {
  const error = new Error(`${what} of ${path} was aborted`, { cause: signal.reason });
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  error.path = path;
  return error;
}

// The report of a write that flush() discarded before it went out. It goes to
// that write's callback only: a flush is something the program asked for, so
// it must not destroy the stream as a failed write does.
function flushed(path) {
  const error = new Error(`write: discarded by flush() of ${path}`);
  error.code = 'ERR_PORT_FLUSHED';
  error.path = path;
  return error;
}

// A write that never went out because the port closed or failed first: to
// that write's own callback, with what ended the port as its cause.
function writeAborted(path, why, cause) {
  const error = new Error(`write: not sent, as ${path} ${why}`, cause ? { cause } : undefined);
  error.code = 'ERR_PORT_WRITE_ABORTED';
  error.path = path;
  return error;
}

// A call the layer declines in this state, with a code to tell it by.
function refused(path, what, why, code) {
  const error = new Error(`${what}: ${why}`);
  error.code = code;
  error.path = path;
  return error;
}

// A number outside what an option allows, in the words of Node's own checks.
function outOfRange(name, value, allowed) {
  const error = new RangeError(`The value of "${name}" is out of range. It must be ${allowed}. Received ${String(value)}`);
  error.code = 'ERR_OUT_OF_RANGE';
  return error;
}

module.exports = { describeError, withPath, notOpen, flushed, writeAborted, refused, timedOut, aborted, outOfRange };
