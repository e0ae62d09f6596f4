'use strict';
// Finds the prebuilt lintel.node for this process through node-gyp-build,
// which knows the prebuilds/<platform>-<arch>/ layout, and loads it.
const path = require('node:path');
const nodeGypBuild = require('node-gyp-build');

const root = path.join(__dirname, '..');
const supported = ['win32-x64', 'win32-arm64'];

// The file this process would load; a clear, coded Error where there is none.
function bindingPath() {
  const here = `${process.platform}-${process.arch}`;
  if (!supported.includes(here)) {
    const error = new Error(`vornet runs only on Windows x64 and ARM64 (${supported.join(', ')}), and this is ${here}. ` +
      "To test code that uses it here, use the virtual ports of require('vornet/testing').");
    error.code = 'ERR_VORNET_UNSUPPORTED_PLATFORM';
    throw error;
  }
  return nodeGypBuild.resolve(root);
}

// The addon's own exports object: the eleven functions, unchanged.
function load() {
  return require(bindingPath());
}

module.exports = { bindingPath, load };
