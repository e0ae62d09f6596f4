'use strict';
// Every JavaScript block of README.md and docs/api.md runs as written, or is marked a fragment and at least parses.
// A block to run is marked by an HTML comment just above it, which the reader of the rendered page does not see:
//   <!-- run: {"devices": {"COM3": {...}}, "prints": "..."} -->   run over these virtual devices (as-windows.js),
//                                                                  exit 0 and print exactly this, if given
//   <!-- fragment -->                                               part of a program: checked to parse only
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { runAsWindows, root } = require('./run');

// Inside the package, so that the samples' 'vornet/testing' resolves to it as an installed package would.
const scratch = path.join(root, 'build', 'docs-samples');

function blocks(file) {
  const text = fs.readFileSync(path.join(root, file), 'utf8');
  const found = [];
  const fence = /(?:<!--\s*(run:[\s\S]*?|fragment)\s*-->\s*\n)?```(\w*)\n([\s\S]*?)\n```/g;
  for (let match; (match = fence.exec(text)) !== null;) {
    const [, mark, lang, code] = match;
    const line = text.slice(0, match.index).split('\n').length + (mark ? mark.split('\n').length : 0);
    if (['js', 'javascript', 'mjs', 'cjs'].includes(lang)) found.push({ file, line, mark, code });
  }
  return found;
}

const samples = ['README.md', 'docs/api.md'].flatMap(blocks);
const isModule = (code) => /^\s*(import|export)\s/m.test(code);

test('every JavaScript block is marked to run or as a fragment, and most run', () => {
  const unmarked = samples.filter((s) => !s.mark).map((s) => `${s.file}:${s.line}`);
  assert.deepEqual(unmarked, []);
  const run = samples.filter((s) => s.mark.startsWith('run:')).length;
  assert.ok(run >= samples.length / 2, `${run} of ${samples.length} run`);
});

fs.mkdirSync(scratch, { recursive: true });
for (const sample of samples.filter((s) => s.mark)) {
  const where = `${sample.file}:${sample.line}`;
  const name = path.join(scratch, `${sample.file.replace(/\W/g, '-')}-${sample.line}${isModule(sample.code) ? '.mjs' : '.cjs'}`);
  if (sample.mark === 'fragment') {
    test(`${where} parses`, () => {
      // A fragment of a CommonJS program may await: it is checked as an async function's body.
      fs.writeFileSync(name, isModule(sample.code) ? sample.code : `(async () => {\n${sample.code}\n});\n`);
      const check = spawnSync(process.execPath, ['--check', name], { encoding: 'utf8' });
      assert.equal(check.status, 0, check.stderr);
    });
    continue;
  }
  test(`${where} runs as written`, async () => {
    const { devices = {}, prints, status = 0 } = JSON.parse(sample.mark.slice('run:'.length));
    fs.writeFileSync(name, sample.code);
    const run = await runAsWindows(name, [], { devices });
    const shown = `status ${run.status} ${run.signal ?? ''}\nstdout:\n${run.stdout}\nstderr:\n${run.stderr}`;
    assert.equal(run.status, status, shown);
    if (prints !== undefined) assert.equal(run.stdout, prints, shown);
  });
}

// GitHub's anchor of a heading: lower case, punctuation dropped, spaces as hyphens.
const slug = (heading) => heading.trim().toLowerCase().replace(/[^\p{L}\p{N} _-]/gu, '').replace(/ /g, '-');

test('every link between the documents leads to a file and a heading that are there', () => {
  const anchors = (file) => new Set([...fs.readFileSync(path.join(root, file), 'utf8').matchAll(/^#+ (.*)$/gm)].map((m) => slug(m[1])));
  const broken = [];
  for (const file of ['README.md', 'docs/api.md', 'CONTRIBUTING.md']) {
    const text = fs.readFileSync(path.join(root, file), 'utf8').replace(/```[\s\S]*?```/g, '');
    for (const [, target] of text.matchAll(/\]\(([^)\s]+)\)/g)) {
      if (/^[a-z]+:/.test(target)) continue;
      const [where, anchor] = target.split('#');
      const linked = where === '' ? file : path.posix.join(path.posix.dirname(file), where);
      if (!fs.existsSync(path.join(root, linked))) broken.push(`${file}: ${target}`);
      else if (anchor !== undefined && !anchors(linked).has(anchor)) broken.push(`${file}: ${target} (no such heading)`);
    }
  }
  assert.deepEqual(broken, []);
});
