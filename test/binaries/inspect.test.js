'use strict';
// What the Windows loader and dependency tools see in the two builds: they
// are to differ in their instruction set and in nothing a user could notice.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const binaries = {
  x64: { file: path.join(root, 'build', 'win32-x64', 'lintel.node'), machine: 'IMAGE_FILE_MACHINE_AMD64 (0x8664)' },
  arm64: { file: path.join(root, 'build', 'win32-arm64', 'lintel.node'), machine: 'IMAGE_FILE_MACHINE_ARM64 (0xAA64)' },
};
const readobj = (...args) => execFileSync('llvm-readobj', args, { encoding: 'utf8', maxBuffer: 1 << 26 });

// { imports: {dll: [symbols]}, delayed: {dll: [symbols]} } as llvm-readobj lists them.
function importTables(file) {
  const tables = { imports: {}, delayed: {} };
  let current = null;
  for (const line of readobj('--coff-imports', file).split('\n')) {
    const block = line.match(/^(Import|DelayImport) \{/);
    if (block) { current = { kind: block[1] === 'Import' ? 'imports' : 'delayed', dll: null }; continue; }
    const name = line.match(/^\s+Name: (.+)$/);
    if (current && name && current.dll === null) {
      current.dll = name[1].toLowerCase();
      tables[current.kind][current.dll] = [];
      continue;
    }
    const symbol = line.match(/^\s+Symbol: (\S+)/);
    if (current && symbol) tables[current.kind][current.dll].push(symbol[1]);
  }
  for (const kind of ['imports', 'delayed']) {
    for (const dll of Object.keys(tables[kind])) tables[kind][dll].sort();
  }
  return tables;
}

const plainDlls = ['advapi32.dll', 'kernel32.dll', 'msvcrt.dll', 'ole32.dll', 'setupapi.dll'];

for (const [arch, { file, machine }] of Object.entries(binaries)) {
  test(`[${arch}] a PE of the right machine exporting only napi_register_module_v1, without debug information`, () => {
    assert.match(readobj('--file-headers', file), new RegExp(`Machine: ${machine.replace(/[()]/g, '\\$&')}`));
    const exports = [...readobj('--coff-exports', file).matchAll(/^\s+Name: (\S+)$/gm)].map((m) => m[1]);
    assert.deepEqual(exports, ['napi_register_module_v1']);
    assert.doesNotMatch(readobj('--coff-debug-directory', file), /Type: IMAGE_DEBUG_TYPE/);
    assert.doesNotMatch(readobj('--sections', file), /Name: \.debug/);
  });

  test(`[${arch}] node.exe in the delay-import directory; plainly only the system DLLs and the C runtime`, () => {
    const tables = importTables(file);
    assert.deepEqual(Object.keys(tables.delayed), ['node.exe']);
    assert.deepEqual(Object.keys(tables.imports).sort(), plainDlls);
    const delayed = tables.delayed['node.exe'];
    for (const name of ['napi_create_function', 'napi_get_uv_event_loop', 'uv_async_init', 'uv_async_send', 'uv_close']) {
      assert.ok(delayed.includes(name), `${name} is delay-loaded`);
    }
    assert.ok(delayed.every((name) => /^(napi|node_api|uv)_\w+$/.test(name)), 'only Node-API and libuv from node.exe');
  });
}

test('both builds import exactly the same functions', () => {
  const [x64, arm64] = [binaries.x64.file, binaries.arm64.file].map(importTables);
  assert.deepEqual(x64, arm64);
});
