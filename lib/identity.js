'use strict';
// Ports found by the identity of their device, as list() reports it, rather than by their name.
//
// A device with a USB serial number keeps its COM name on any socket; one
// without gets the name of its socket, and a name can come back as another
// device. So a program that means one device names it by what the device
// is: any of these keys, all of which must match.

const keys = ['serialNumber', 'vendorId', 'productId', 'locationId', 'pnpId'];
// Hexadecimal on the device's side, written by people in either case.
const caseless = new Set(['vendorId', 'productId', 'pnpId']);

const show = (value) => (typeof value === 'string' ? JSON.stringify(value) : String(value));

// The identity checked: an object with at least one of the keys, each a
// non-empty string, and no other key, so that a misspelt one is an error
// rather than a wider match.
function identityOf(identity) {
  if (identity === null || typeof identity !== 'object' || Array.isArray(identity)) {
    throw new TypeError(`a device identity must be an object with some of ${keys.join(', ')}; got ${show(identity)}`);
  }
  const checked = {};
  for (const [key, value] of Object.entries(identity)) {
    if (!keys.includes(key)) {
      const near = keys.find((k) => k.toLowerCase() === key.toLowerCase());
      throw new TypeError(`device identity key ${JSON.stringify(key)} is unknown${near ? `; did you mean ${near}?` : ''}.` +
        ` The keys are ${keys.join(', ')}.`);
    }
    if (value === undefined) continue;
    if (typeof value !== 'string' || value === '') {
      throw new TypeError(`device identity ${key}: ${show(value)} is not allowed; expected a non-empty string as list() gives it`);
    }
    checked[key] = value;
  }
  if (Object.keys(checked).length === 0) {
    throw new TypeError(`a device identity needs at least one of ${keys.join(', ')}`);
  }
  return Object.freeze(checked);
}

const same = (key, wanted, found) => typeof found === 'string' &&
  (caseless.has(key) ? wanted.toLowerCase() === found.toLowerCase() : wanted === found);

function matches(identity, port) {
  return Object.entries(identity).every(([key, wanted]) => same(key, wanted, port[key]));
}

const described = (identity) => Object.entries(identity).map(([key, value]) => `${key} ${JSON.stringify(value)}`).join(', ');

// The one list record that matches; a coded error for none and for several.
function findPort(ports, identity) {
  const found = ports.filter((port) => matches(identity, port));
  if (found.length === 1) return found[0];
  const error = new Error(found.length === 0
    ? `no port's device has ${described(identity)}`
    : `${found.length} ports have a device with ${described(identity)}: ${found.map((port) => port.path).join(', ')}; ` +
      'name more of its identity');
  error.code = found.length === 0 ? 'ERR_PORT_NOT_FOUND' : 'ERR_PORT_AMBIGUOUS';
  error.identity = identity;
  if (found.length > 1) error.paths = found.map((port) => port.path);
  throw error;
}

// What identifies the device of the port listed as `path`: its serial number
// where it has one, else where it is plugged in and what it is; null for a
// port not listed, or listed with nothing that tells its device apart.
function identityAt(ports, path) {
  const port = ports.find((record) => record.path.toUpperCase() === path.toUpperCase());
  if (!port) return null;
  const pick = (...names) => {
    const picked = {};
    for (const name of names) if (typeof port[name] === 'string' && port[name] !== '') picked[name] = port[name];
    return picked;
  };
  if (port.serialNumber) return Object.freeze(pick('serialNumber', 'vendorId', 'productId'));
  return port.pnpId ? Object.freeze(pick('pnpId')) : null;
}

module.exports = { identityOf, findPort, identityAt, matches, identityKeys: keys };
