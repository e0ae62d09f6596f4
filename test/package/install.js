'use strict';
// The package as a user gets it: packed by npm from this tree, and installed
// from the tarball into a fresh directory outside the repository, as a user
// on Linux installs it: with no --force, since it refuses no OS.
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const packDir = path.join(root, 'build', 'pack');
const npm = (args, cwd) => execFileSync('npm', args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });

let cached;

// { tarball, files: [{ path, size }], size } from npm pack.
function pack() {
  if (cached) return cached;
  fs.rmSync(packDir, { recursive: true, force: true });
  fs.mkdirSync(packDir, { recursive: true });
  const [report] = JSON.parse(npm(['pack', '--json', '--pack-destination', packDir], root));
  cached = { tarball: path.join(packDir, report.filename), files: report.files, size: report.size };
  return cached;
}

// A directory outside the repository with the tarball installed, reused by
// the test files of one run while the tarball's content is the same.
function install() {
  const { tarball } = pack();
  const hash = crypto.createHash('sha256').update(fs.readFileSync(tarball)).digest('hex').slice(0, 16);
  const dir = path.join(os.tmpdir(), `vornet-user-${hash}`);
  if (!fs.existsSync(path.join(dir, 'node_modules', 'vornet', 'package.json'))) {
    fs.rmSync(dir, { recursive: true, force: true });
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(dir, 'package.json'), JSON.stringify({ name: 'a-user-project', version: '1.0.0', private: true }));
    npm(['install', '--no-audit', '--no-fund', '--loglevel=error', tarball], dir);
  }
  return dir;
}

// Copies the user programs next to the installed package.
function withPrograms(dir) {
  for (const file of fs.readdirSync(path.join(__dirname, 'programs'))) {
    fs.copyFileSync(path.join(__dirname, 'programs', file), path.join(dir, file));
  }
  return dir;
}

module.exports = { pack, install, withPrograms, root };
