'use strict';
// The eleven operations returning promises. Each resolves with what its
// callback delivers after the null (the handle, the byte count, the records,
// ...) and rejects with the very Error the callback would have received; an
// argument the addon refuses rejects with its TypeError.
const lintel = require('./binding').load();

// How many arguments each takes before its callback: exactly these reach the
// addon, so a missing one is refused as the addon refuses it.
const arity = { open: 2, update: 2, close: 1, flush: 1, drain: 1, set: 2, get: 1, getBaudRate: 1, write: 2, read: 4, list: 0 };

for (const [name, count] of Object.entries(arity)) {
  const operation = (...args) => new Promise((resolve, reject) => {
    const given = Array.from({ length: count }, (_, i) => args[i]);
    lintel[name](...given, (error, value) => (error ? reject(error) : resolve(value)));
  });
  Object.defineProperty(operation, 'name', { value: name });
  module.exports[name] = operation;
}
