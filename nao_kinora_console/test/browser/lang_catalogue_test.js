// The catalogues against the pages' scripts, without a browser: every text
// the scripts pass to T() as a literal is in each catalogue, and each
// catalogue's text has the same placeholders as its English key.
//   node lang_catalogue_test.js [WWW]   (default: the package's www/)
'use strict';

const fs = require('fs');
const path = require('path');
const vm = require('vm');

const www = process.argv[2] || path.join(__dirname, '..', '..', 'www');

// T('...'), T('...' + '...'): the English texts a script uses, with where.
function keysOf(source, file) {
  const keys = [];
  const call = /\bT\(\s*((?:'(?:[^'\\]|\\.)*'\s*\+?\s*)+)/g;
  for (let m; (m = call.exec(source));) {
    const text = (m[1].match(/'((?:[^'\\]|\\.)*)'/g) || []).map((s) => s.slice(1, -1)).join('')
      .replace(/\\(.)/g, '$1');
    keys.push({ text, at: `${file}:${source.slice(0, m.index).split('\n').length}` });
  }
  return keys;
}

function placeholders(text) {
  return (text.match(/\{\w+\}/g) || []).sort().join(' ');
}

function catalogues() {
  const sandbox = { window: {} };
  vm.createContext(sandbox);
  for (const file of fs.readdirSync(path.join(www, 'lang')).filter((f) => f.endsWith('.js')).sort())
    vm.runInContext(fs.readFileSync(path.join(www, 'lang', file), 'utf8'), sandbox, { filename: file });
  return sandbox.window.KinoraLang;
}

function main() {
  const langs = catalogues();
  const problems = [];
  const scripts = fs.readdirSync(www).filter((f) => f.endsWith('.js')).sort();
  const used = [].concat(...scripts.map((f) => keysOf(fs.readFileSync(path.join(www, f), 'utf8'), f)));
  if (used.length < 100) problems.push(`only ${used.length} texts found in T() calls: the reading of the scripts is wrong`);
  for (const [lang, catalogue] of Object.entries(langs)) {
    if (lang === 'en') continue;
    for (const { text, at } of used)
      if (!Object.prototype.hasOwnProperty.call(catalogue, text)) problems.push(`${lang}: "${text}" (${at}) is missing`);
    for (const [key, value] of Object.entries(catalogue)) {
      if (typeof value !== 'string' || !value.trim()) problems.push(`${lang}: "${key}" has no text`);
      else if (placeholders(key) !== placeholders(value))
        problems.push(`${lang}: "${key}" has the placeholders [${placeholders(key)}], its text [${placeholders(value)}]`);
    }
  }
  if (!langs.tr) problems.push('no Turkish catalogue');
  if (problems.length) {
    console.log(`FAIL: ${problems.length} problems\n${problems.join('\n')}`);
    process.exit(1);
  }
  console.log(`ok: ${used.length} texts in T() calls, every one in each catalogue, placeholders alike`);
}

main();
