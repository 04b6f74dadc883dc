// The pages in Turkish (run_browser_test.sh lang_browser_test): a console
// with accounts and a clinic of its own, the simulated peers; an admin logs
// in (the browser's language English), chooses Türkçe on My account, and
// from then on every page is drawn in Turkish. With a patient, a plan of two
// exercises, a session running (the running page in the wait for tracking,
// the check-in shown), then finished, its report: every page is walked, and
// any visible text with letters that is no Turkish text of the catalogue
// (outside the therapist's own data) fails the flow, naming the page and the
// text; so does a text T() did not find. Each page at 390 and 800 px; the
// report printed to PDF holds Turkish words. KINORA_LANG_SCREENSHOT_DIR:
// where patient-tr.png and running-tr.png go (docs/ when refreshing them).
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { run, log, fail, until: untilWithin, start, stopAll, launchBrowser, closeBrowser, runFlow, PHONE, TABLET,
  openPage, allowError, checkWidths, noConsoleErrors } = require('./kit');

const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const SIM = process.env.KINORA_SIM_EXERCISES || '';
const shots = process.env.KINORA_LANG_SCREENSHOT_DIR || '';
const STEP_SECONDS = 40;
const until = (what, cond, seconds = STEP_SECONDS) => untilWithin(what, cond, seconds);
const PASSWORD = 'correct horse 1';
const CODE = 'P-0107';
const EXERCISES = ['03_arms_to_the_side.txt', '04_seated_elbows.txt'];

// Short recordings: the first rows of two samples, with their cue files.
function library() {
  const dir = path.join(run, 'library');
  fs.mkdirSync(dir);
  for (const name of EXERCISES) {
    const rows = fs.readFileSync(path.join(SIM, name), 'utf8').split('\n').slice(0, 30);
    fs.writeFileSync(path.join(dir, name), rows.join('\n') + '\n');
    if (fs.existsSync(path.join(SIM, `${name}.cues`))) fs.copyFileSync(path.join(SIM, `${name}.cues`), path.join(dir, `${name}.cues`));
  }
  return dir + '/';
}

// In the page: each visible text with letters that is not a Turkish text of
// the catalogue (its placeholders standing for anything), outside the
// therapist's data ([data-data], [translate=no]). Dates are the locale's.
function untranslatedInPage() {
  const values = Object.values(window.KinoraLang.tr);
  const escape = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  const alternatives = values.map((v) => escape(v).replace(/\\\{\w+\\\}/g, '.+?')).join('|');
  const whole = new RegExp('^(?:' + alternatives + ')$', 'u');
  // Texts side by side in one node, between numbers and marks: "3 — orta", "Egzersiz 2 · 0:04".
  const MARKS = '[\\s\\d·,—–:;()/|.%×°+-]*';
  const joined = new RegExp('^(?:' + MARKS + '(?:' + alternatives + '))+' + MARKS + '$', 'u');
  const names = [];
  for (let m = 0; m < 12; ++m) {
    for (const month of ['short', 'long']) names.push(new Date(2026, m, 15).toLocaleDateString('tr-TR', { month }));
  }
  for (let d = 0; d < 7; ++d) names.push(new Date(2026, 0, 4 + d).toLocaleDateString('tr-TR', { weekday: 'long' }));
  const dates = new RegExp('(?:^|[\\s,])(?:' + names.map(escape).join('|') + ')(?=$|[\\s,.])', 'gu');
  const letters = /\p{L}/u;
  // The data the page shows, wherever else it is written too (a title, an
  // attribute); a file's name only on hover, for an engineer.
  const shownData = Array.from(document.querySelectorAll('[data-data]')).map((e) => e.textContent.trim())
    .filter(Boolean).sort((a, b) => b.length - a.length);
  const FILE = /^[\w.-]+\.(txt|cues|wav)$/;
  const ok = (text) => {
    let t = text.replace(/\s+/g, ' ').trim();
    if (FILE.test(t)) return true;
    if (!whole.test(t)) for (const d of shownData) t = t.split(d).join(' ');
    if (!letters.test(t) || whole.test(t)) return true;
    const rest = t.replace(dates, ' ').replace(/\s+/g, ' ').trim();
    return !letters.test(rest) || whole.test(rest) || joined.test(rest);
  };
  const data = '[data-data], [translate=no], script, style, noscript';
  const shown = (e) => e && e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden';
  const bad = [];
  if (!ok(document.title)) bad.push(`title: ${document.title}`);
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  for (let n = walker.nextNode(); n; n = walker.nextNode()) {
    const e = n.parentElement;
    if (!letters.test(n.nodeValue) || e.closest(data) || !shown(e)) continue;
    // Words around data ("{name} olarak giriş yapıldı"): the element's whole text, the data in its placeholders.
    const text = e.querySelector('[data-data]') ? e.textContent : n.nodeValue;
    if (!ok(text)) bad.push(`${e.tagName.toLowerCase()}${e.id ? '#' + e.id : ''}: "${text.trim()}"`);
  }
  for (const e of document.body.querySelectorAll('[placeholder], [title], [aria-label], [alt]')) {
    if (e.closest(data) || !shown(e)) continue;
    for (const a of ['placeholder', 'title', 'aria-label', 'alt'])
      if (e.hasAttribute(a) && !ok(e.getAttribute(a))) bad.push(`${e.tagName.toLowerCase()}[${a}]: "${e.getAttribute(a)}"`);
  }
  const missed = window.KinoraI18n.misses();
  return { bad, missed, lang: document.documentElement.lang };
}

async function checkTurkish(page, what) {
  const found = await page.evaluate(untranslatedInPage);
  if (found.lang !== 'tr') fail(`${what} is drawn in "${found.lang}", not Turkish`);
  if (found.bad.length) fail(`${what} shows text that is not in the Turkish catalogue:\n${found.bad.join('\n')}`);
  if (found.missed.length) fail(`${what}: T() found no Turkish for:\n${found.missed.join('\n')}`);
  await checkWidths(page, `on ${what}, in Turkish`);
  noConsoleErrors();
  log(`ok: ${what}: every text Turkish, at 390 and 800 px`);
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh lang_browser_test');
  const lib = library();
  const db = path.join(run, 'clinic.db');
  const admin = path.join(path.dirname(consoleProgram), 'nao_kinora_console_admin');
  execFileSync(admin, ['add', 'ayse', '--admin', '--database', db], { input: `${PASSWORD}\n` });
  start('sim', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title', 'nao_kinora_console',
    'clinic_sim.launch', 'speed:=4']);
  const con = start('console', [consoleProgram, '_port:=0', `_database:=${db}`, `_recording_dir:=${lib}`, '_room:=oda-1']);
  const address = await until('the console prints its address', () => {
    const line = con.lines.find((l) => /^console: http:\/\/\S+\/$/.test(l));
    return (line && line.slice('console: '.length)) || (con.exited && fail('the console ended'));
  }, 20);
  const url = (p) => address + p;

  const browser = await launchBrowser('lang', ['--lang=en-US']);
  const page = await openPage(browser, PHONE);
  allowError(page, '', 'status of 401');  // the login page, before logging in
  page.on('dialog', (d) => d.accept());
  await page.goto(url('account.html'), { waitUntil: 'load' });
  await page.type('#name', 'ayse');
  await page.type('#password', PASSWORD);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('button[type=submit]')]);
  await until('My account, in English', () => page.$eval('#language option', () => document.documentElement.lang === 'en')
    .catch(() => false));
  const options = await page.$$eval('#language option', (os) => os.map((o) => o.textContent));
  if (JSON.stringify(options) !== JSON.stringify(['The browser\'s (English)', 'English', 'Türkçe']))
    fail(`the languages offered: ${options}`);

  // Türkçe chosen: stored with the account, the page drawn again in it.
  await page.select('#language', 'tr');
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('#language-form button')]);
  await until('My account in Turkish', async () => (await page.$eval('h1', (e) => e.textContent)) === 'Hesabım');
  const api = (method, p, body) => page.evaluate((m, q, b) => fetch(q, {
    method: m, headers: { 'Content-Type': 'application/json' }, body: b === undefined ? undefined : JSON.stringify(b),
  }).then(async (r) => ({ status: r.status, body: await r.json() })), method, p, body);
  const me = await api('GET', '/api/me');
  if (me.body.language !== 'tr') fail(`/api/me says the language is ${JSON.stringify(me.body.language)}`);
  const allowed = allowError(page, '/api/language', 'status of 400');  // refused, as asked
  const refused = await api('POST', '/api/language', { language: 'fr' });
  allowed();
  if (refused.status !== 400 || !/^language: /.test(refused.body.message)) fail(`French: ${JSON.stringify(refused)}`);
  log('ok: Türkçe chosen on My account, kept with the account; another language refused naming the field');

  // A fresh browser context whose browser asks for Turkish: the login page in
  // it; then the account's language comes with the login.
  const other = await openPage(await browser.createBrowserContext(), TABLET);
  await other.evaluateOnNewDocument(() => Object.defineProperty(navigator, 'languages', { get: () => ['tr-TR', 'tr'] }));
  allowError(other, '', 'status of 401');
  await other.goto(url('clinic.html'), { waitUntil: 'load' });
  await checkTurkish(other, 'the login page');
  await other.type('#name', 'ayse');
  await other.type('#password', PASSWORD);
  await Promise.all([other.waitForNavigation({ waitUntil: 'load' }), other.click('button[type=submit]')]);
  await until('the patients page in Turkish in another browser', () => other.evaluate(() =>
    document.documentElement.lang === 'tr' && document.querySelector('h1').textContent === 'Hastalar').catch(() => false));
  await other.close();
  log('ok: logged in elsewhere, the pages come in the account\'s language');

  // The clinic: a patient, a plan of two exercises, a session.
  const patient = await api('POST', '/api/clinic/patients', { code: CODE, note: 'diz ameliyatı sonrası' });
  if (patient.status !== 201) fail(`the patient: ${JSON.stringify(patient)}`);
  const id = patient.body.id;
  const plan = await api('POST', `/api/clinic/patients/${id}/plans`, { name: 'hafta 1', speed: 1, items: EXERCISES, mirror: true });
  if (plan.status !== 201) fail(`the plan: ${JSON.stringify(plan)}`);
  const started = await api('POST', `/api/clinic/plans/${plan.body.id}/start`, {});
  if (started.status !== 201) fail(`the start: ${JSON.stringify(started)}`);
  await page.goto(url('index.html'), { waitUntil: 'load' });
  await until('the wait for tracking after exercise 1, with the check-in', () => page.evaluate(() =>
    /^Kişi takibi bekleniyor/.test(document.getElementById('phase').textContent) &&
    !document.getElementById('checkin').hidden).catch(() => false), 90);
  await until('the running page names the patient', async () =>
    (await page.$eval('#patient-name', (e) => e.textContent)) === CODE);
  await checkTurkish(page, 'the running page');
  if (shots) await page.screenshot({ path: path.join(shots, 'running-tr.png'), fullPage: true });
  await page.click('#effort button[data-value="3"]');
  await page.click('#checkin-save');
  await until('the answers are saved', () => page.$eval('#checkin-message', (e) => e.textContent === 'Yanıtlar kaydedildi.'));
  await page.click('#skip');
  await until('the session completes', async () => {
    const now = await api('GET', `/api/clinic/patients/${id}`);
    return now.body.sessions.length === 1 && now.body.sessions[0].outcome === 'completed' && now.body.sessions[0];
  }, 90);
  const session = (await api('GET', `/api/clinic/patients/${id}`)).body.sessions[0];
  await until('the running page says the session is over', () => page.$eval('#phase', (e) => e.textContent === 'Seans bitti'));
  await checkTurkish(page, 'the running page after the session');

  await page.goto(url(`patient.html?id=${id}`), { waitUntil: 'load' });
  await until('the patient page lists the session', () => page.$eval('#sessions', (e) => /Tamamlandı/.test(e.textContent)));
  await until('the timeline is drawn', () => page.$$eval('#timeline tr', (trs) => trs.length === 2));
  await checkTurkish(page, 'the patient page');
  if (shots) await page.screenshot({ path: path.join(shots, 'patient-tr.png'), fullPage: true });

  await page.goto(url(`report.html?session=${session.id}`), { waitUntil: 'load' });
  await until('the report is shown', () => page.$('body[data-ready]'));
  await checkTurkish(page, 'the report');
  // Printed as --print-to-pdf prints (DevTools' printToPDF), with the login this browser holds.
  const pdf = path.join(run, 'report-tr.pdf');
  await page.pdf({ path: pdf, format: 'A4' });
  const printed = execFileSync('pdftotext', [pdf, '-']).toString();
  for (const word of [CODE, 'Hasta', 'Egzersiz', 'Tamamlandı'])
    if (!printed.includes(word)) fail(`the printed report lacks "${word}":\n${printed}`);
  log('ok: the report prints in Turkish');

  for (const [file, ready] of [
    ['clinic.html', () => /P-0107/.test(document.getElementById('patients').textContent)],
    ['library.html', () => document.querySelectorAll('#recordings tr').length === 2],
    ['rooms.html', () => /oda-1/.test(document.body.textContent)],
    ['account.html', () => !document.getElementById('tokens-section').hidden],
    ['admin.html', () => document.querySelectorAll('#trail tr').length > 3],
    ['about.html', () => document.getElementById('about-connection').textContent !== ''],
    ['teach.html', () => document.readyState === 'complete'],
    ['camera.html', () => document.readyState === 'complete'],
  ]) {
    await page.goto(url(file), { waitUntil: 'load' });
    await until(`${file} is drawn`, () => page.evaluate(ready).catch(() => false));
    await checkTurkish(page, file);
  }
  await withoutAccounts(browser, lib);
  await closeBrowser();
  await stopAll();
  log('lang browser test passed');
}

// A console with no accounts: the choice is kept in this browser alone.
async function withoutAccounts(browser, lib) {
  const con = start('console-no-accounts', [consoleProgram, '__name:=lang_console_no_accounts', '_port:=0',
    `_database:=${path.join(run, 'no-accounts.db')}`, `_recording_dir:=${lib}`, '_room:=oda-2']);
  const address = await until('the console without accounts prints its address', () => {
    const line = con.lines.find((l) => /^console: http:\/\/\S+\/$/.test(l));
    return (line && line.slice('console: '.length)) || (con.exited && fail('the console without accounts ended'));
  }, 20);
  const page = await openPage(browser, PHONE);
  await page.goto(`${address}account.html`, { waitUntil: 'load' });
  await until('My account without accounts, in English', () => page.evaluate(() =>
    document.documentElement.lang === 'en' && document.querySelectorAll('#language option').length === 3));
  await page.select('#language', 'tr');
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('#language-form button')]);
  await until('My account in Turkish, the choice kept in the browser', () => page.evaluate(() =>
    document.documentElement.lang === 'tr' && localStorage.getItem('kinoraLanguage') === 'tr' &&
    /hesap yok/.test(document.getElementById('account-why').textContent)));
  await checkTurkish(page, 'My account without accounts');
  await page.goto(`${address}clinic.html`, { waitUntil: 'load' });
  await until('the patients page in Turkish', () => page.evaluate(() =>
    document.documentElement.lang === 'tr' && document.querySelector('h1').textContent === 'Hastalar'));
  log('ok: without accounts, the language chosen is kept in the browser');
}

runFlow(main);
