'use strict';
// The ARM64 build cannot run here; check what the loader will see instead,
// against the x64 build that does run under Wine.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const arm64 = path.join(root, 'build', 'win32-arm64', 'lintel.node');
const x64 = path.join(root, 'build', 'win32-x64', 'lintel.node');
const readobj = (...args) => execFileSync('llvm-readobj', args, { encoding: 'utf8', maxBuffer: 1 << 26 });

// { imports: {dll: Set(symbols)}, delayed: {dll: Set(symbols)} } from readobj.
function importTables(file) {
  const tables = { imports: {}, delayed: {} };
  let current = null;
  for (const line of readobj('--coff-imports', file).split('\n')) {
    const block = line.match(/^(Import|DelayImport) \{/);
    if (block) { current = { kind: block[1] === 'Import' ? 'imports' : 'delayed', dll: null }; continue; }
    const name = line.match(/^\s+Name: (.+)$/);
    if (current && name && current.dll === null) {
      current.dll = name[1].toLowerCase();
      tables[current.kind][current.dll] = new Set();
      continue;
    }
    const symbol = line.match(/^\s+Symbol: (\S+)/);
    if (current && symbol) tables[current.kind][current.dll].add(symbol[1]);
  }
  return tables;
}

// GNU ld fills no delay-import directory, so the x64 build's delayed node.exe
// imports are read from its delay-load thunks' __imp_ symbols instead.
function x64NodeImports() {
  const symbols = execFileSync('x86_64-w64-mingw32-nm', [x64], { encoding: 'utf8' });
  return new Set([...symbols.matchAll(/ I __imp_((?:napi|node_api|uv)_\w+)$/gm)].map((m) => m[1]));
}

const systemDlls = ['kernel32.dll', 'advapi32.dll', 'ole32.dll', 'setupapi.dll', 'msvcrt.dll'];

test('the ARM64 build is an ARM64 PE exporting only napi_register_module_v1', () => {
  assert.match(readobj('--file-headers', arm64), /Machine: IMAGE_FILE_MACHINE_ARM64 \(0xAA64\)/);
  const exports = [...readobj('--coff-exports', arm64).matchAll(/^\s+Name: (\S+)$/gm)].map((m) => m[1]);
  assert.deepEqual(exports, ['napi_register_module_v1']);
});

test('ARM64 delay-loads node.exe and imports plainly only system DLLs, as the x64 build does', () => {
  const arm = importTables(arm64);
  const intel = importTables(x64);
  assert.deepEqual(Object.keys(arm.delayed), ['node.exe']);
  for (const dll of Object.keys(arm.imports)) assert.ok(systemDlls.includes(dll), `plain import of ${dll}`);
  assert.deepEqual(Object.keys(arm.imports).sort(), Object.keys(intel.imports).sort());
  assert.equal(Object.hasOwn(intel.imports, 'node.exe'), false);
  const delayed = [...arm.delayed['node.exe']].sort();
  assert.ok(delayed.includes('uv_async_send') && delayed.includes('napi_create_function'));
  assert.deepEqual(delayed, [...x64NodeImports()].sort());
});
