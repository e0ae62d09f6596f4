'use strict';
// The tarball npm makes of this tree, and what of it can be checked without
// Windows: its contents, the two binaries' machine types, the loader's choice
// of binary, its refusal on Linux, vornet/testing there, and the types under
// tsc --strict.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { pack, install, withPrograms, root } = require('./install');
const { nodeVersions } = require('../wine/rig');

const expectedFiles = [
  'LICENSE', 'README.md', 'bin/vornet.js', 'docs/api.md', 'lib/binding.js', 'lib/errors.js', 'lib/index.d.ts',
  'lib/index.js', 'lib/index.mjs', 'lib/options.js', 'lib/promises.d.ts', 'lib/promises.js', 'lib/promises.mjs',
  'lib/lines.js', 'lib/parsers.js', 'lib/readuntil.js', 'lib/serialport.js', 'lib/watcher.js', 'package.json',
  'lib/identity.js', 'lib/loss.js', 'lib/reconnect.js',
  'lib/testing.js', 'lib/testing-args.js', 'lib/testing.mjs', 'lib/testing.d.ts',
  'prebuilds/win32-arm64/lintel.node', 'prebuilds/win32-x64/lintel.node',
  // The examples the README points to, there for a user of the package too.
  ...require('node:fs').readdirSync(require('node:path').join(__dirname, '..', '..', 'examples')).map((f) => `examples/${f}`),
  'docs/monitor.png', 'lib/monitor/demo.js', 'lib/monitor/index.js', 'lib/monitor/link.js', 'lib/monitor/server.js',
  ...['index.html', 'main.js', 'monitor.css', 'numbers.js', 'plotter.js', 'terminal.js'].map((name) => `lib/monitor/page/${name}`),
];

test('the tarball holds exactly what a user needs, with a PE of each architecture', (t) => {
  const { tarball, files, size } = pack();
  t.diagnostic(`${path.basename(tarball)}: ${size} bytes; ${files.map((f) => `${f.path} ${f.size}`).join(', ')}`);
  assert.deepEqual(files.map((f) => f.path).sort(), expectedFiles.slice().sort());
  const dir = install();
  const machines = { x64: 'IMAGE_FILE_MACHINE_AMD64 (0x8664)', arm64: 'IMAGE_FILE_MACHINE_ARM64 (0xAA64)' };
  for (const [arch, machine] of Object.entries(machines)) {
    const file = path.join(dir, 'node_modules', 'vornet', 'prebuilds', `win32-${arch}`, 'lintel.node');
    const headers = execFileSync('llvm-readobj', ['--file-headers', file], { encoding: 'utf8' });
    assert.ok(headers.includes(`Machine: ${machine}`), `${arch} binary: ${machine}`);
    // What was packed is what was built and inspected.
    assert.ok(fs.readFileSync(file).equals(fs.readFileSync(path.join(root, 'build', `win32-${arch}`, 'lintel.node'))));
  }
  const manifest = JSON.parse(fs.readFileSync(path.join(dir, 'node_modules', 'vornet', 'package.json'), 'utf8'));
  // No os or cpu refusal: the package installs anywhere, for its virtual ports.
  assert.deepEqual([manifest.os, manifest.cpu, manifest.license], [undefined, undefined, 'MIT']);
  // engines allows exactly from the lowest node.exe the package test runs on.
  const [, major, minor = '0', patch = '0'] = manifest.engines.node.match(/^>=(\d+)(?:\.(\d+))?(?:\.(\d+))?$/) ?? [];
  assert.equal(`${major}.${minor}.${patch}`, nodeVersions.lowest.x64, `engines ${manifest.engines.node}`);
  assert.equal(manifest.scripts.install, undefined, 'no install script');
  assert.deepEqual(Object.keys(manifest.dependencies), ['node-gyp-build', 'uplot']);
});

// Node in a child that believes it runs on the given platform: os.platform()
// and os.arch() read these, and so does node-gyp-build.
function asIf(dir, platform, arch, source) {
  const preload = `Object.defineProperty(process, 'platform', { value: ${JSON.stringify(platform)} });` +
    `Object.defineProperty(process, 'arch', { value: ${JSON.stringify(arch)} });`;
  return spawnSync(process.execPath, ['-e', `${preload}\n${source}`], { cwd: dir, encoding: 'utf8' });
}

test('the loader picks the binary of each Windows architecture and refuses Linux in one sentence', () => {
  const dir = install();
  const binding = JSON.stringify(path.join(dir, 'node_modules', 'vornet', 'lib', 'binding.js'));
  for (const arch of ['x64', 'arm64']) {
    // Resolved, not loaded: the ARM64 binary is not executed here.
    const run = asIf(dir, 'win32', arch, `console.log(require(${binding}).bindingPath())`);
    assert.equal(run.status, 0, run.stderr);
    assert.equal(run.stdout.trim(), path.join(dir, 'node_modules', 'vornet', 'prebuilds', `win32-${arch}`, 'lintel.node'));
  }
  for (const [platform, arch] of [['linux', 'x64'], ['win32', 'ia32'], ['darwin', 'arm64']]) {
    const run = asIf(dir, platform, arch, `try { require('vornet'); } catch (e) { console.log(JSON.stringify([e.constructor.name, e.message, e.code])); }`);
    assert.equal(run.status, 0, run.stderr);
    assert.deepEqual(JSON.parse(run.stdout), ['Error',
      `vornet runs only on Windows x64 and ARM64 (win32-x64, win32-arm64), and this is ${platform}-${arch}. ` +
      "To test code that uses it here, use the virtual ports of require('vornet/testing').", 'ERR_VORNET_UNSUPPORTED_PLATFORM']);
  }
});

test('on Linux, vornet/testing loads by require and import, and a user\'s node:test file of their app passes', async () => {
  const dir = withPrograms(install());
  const loads = spawnSync(process.execPath, ['--input-type=module', '-e', `
    import { createRequire } from 'node:module';
    import * as testing from 'vornet/testing';
    const required = createRequire(process.cwd() + '/')('vornet/testing');
    console.log(JSON.stringify([Object.keys(required), testing.VirtualPorts === required.VirtualPorts]));
  `], { cwd: dir, encoding: 'utf8' });
  assert.equal(loads.status, 0, loads.stderr);
  assert.deepEqual(JSON.parse(loads.stdout), [['VirtualPorts', 'VirtualDevice'], true]);
  // As the user runs it: not as a child of this test runner, which would take its report.
  const { NODE_TEST_CONTEXT, ...env } = process.env;
  const run = spawnSync(process.execPath, ['--test', '--test-reporter=tap', 'app.test.js'],
    { cwd: dir, env, encoding: 'utf8', timeout: 60000 });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.match(run.stdout, /^# pass 2$/m);
  assert.match(run.stdout, /^# fail 0$/m);
  // The shipped example that tests an app over virtual ports passes where the package is installed.
  // Run as a file: node --test leaves out what lies under node_modules.
  const example = spawnSync(process.execPath, [path.join('node_modules', 'vornet', 'examples', 'testing-with-virtual-ports.test.js')],
    { cwd: dir, env, encoding: 'utf8', timeout: 60000 });
  assert.equal(example.status, 0, example.stdout + example.stderr);
  assert.match(example.stdout, /\bpass 4\b/);
  assert.match(example.stdout, /\bfail 0\b/);
});

test('the installed types accept a typed program and refuse its mistakes under tsc --strict', () => {
  const dir = withPrograms(install());
  fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({
    compilerOptions: {
      strict: true, module: 'node16', moduleResolution: 'node16', target: 'es2022',
      types: ['node'], typeRoots: [path.join(root, 'node_modules', '@types')],
    },
    files: ['typed.ts', 'virtual.ts'],
  }));
  const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
  const run = spawnSync(process.execPath, [tsc, '--noEmit', '-p', dir], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  // The check can fail: one mistake without its marker is an error.
  const broken = fs.readFileSync(path.join(dir, 'typed.ts'), 'utf8').replace('// @ts-expect-error a string is no buffer\n', '');
  fs.writeFileSync(path.join(dir, 'broken.ts'), broken);
  const failing = spawnSync(process.execPath, [tsc, '--noEmit', '--strict', '--module', 'node16', '--moduleResolution', 'node16',
    '--target', 'es2022', '--types', 'node', '--typeRoots', path.join(root, 'node_modules', '@types'), path.join(dir, 'broken.ts')],
  { encoding: 'utf8' });
  assert.notEqual(failing.status, 0);
  assert.match(failing.stdout, /broken\.ts.*Argument of type 'string' is not assignable/);
});

test('every example parses', () => {
  for (const file of fs.readdirSync(path.join(root, 'examples'))) {
    const run = spawnSync(process.execPath, ['--check', path.join(root, 'examples', file)], { encoding: 'utf8' });
    assert.equal(run.status, 0, `${file}: ${run.stderr}`);
  }
});
