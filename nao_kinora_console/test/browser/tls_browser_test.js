// The session console over HTTPS in headless chromium (started by
// run_browser_test.sh tls_browser_test, which sets up the master, the
// environment and an address other machines could reach). Chromium takes
// exactly the certificate the console made (its public key's hash), no
// other: a second console with a certificate of its own is refused. Over
// HTTPS the page loads with nothing fetched in plain, its event stream follows
// the session, the footer and the about page show the fingerprint the console
// printed, and Pause goes through and reaches the node.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { run, log, fail, until, start, stop, stopAll, launchBrowser, closeBrowser, runFlow } = require('./kit');
const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const address = process.env.KINORA_CONSOLE_OFF_LOOPBACK;
const TOKEN = crypto.randomBytes(16).toString('hex');
const STEP_SECONDS = 30;

async function startConsole(name, params) {
  const con = start(name, [consoleProgram, '_port:=0', `_bind:=${address}`, `_token:=${TOKEN}`, `__name:=${name}`,
    ...params]);
  await until(`${name} prints its address and fingerprint`,
    () => con.lines.some((l) => l.startsWith('certificate: ')) || (con.exited && fail(`${name} ended`)), 20);
  const url = con.lines.find((l) => l.startsWith('console: ')).slice('console: '.length);
  const fingerprint = con.lines.find((l) => l.startsWith('certificate: SHA-256 ')).slice('certificate: SHA-256 '.length);
  if (!url.startsWith(`https://${address}:`)) fail(`${name} printed ${url}`);
  return { con, url, fingerprint };
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh tls_browser_test');
  if (!address) {
    console.log('SKIP: no network namespace with an address other than loopback here');
    process.exit(77);
  }
  const served = await startConsole('console', [`_database:=${path.join(run, 'clinic.db')}`]);
  const made = new crypto.X509Certificate(fs.readFileSync(path.join(run, 'console-certificate.pem')));
  if (made.fingerprint256 !== served.fingerprint) fail(`printed ${served.fingerprint}, kept ${made.fingerprint256}`);
  const spki = crypto.createHash('sha256').update(made.publicKey.export({ type: 'spki', format: 'der' }))
    .digest('base64');
  log(`console on ${served.url}, certificate ${served.fingerprint}`);

  const browser = await launchBrowser('tls', [`--ignore-certificate-errors-spki-list=${spki}`]);
  const page = await browser.newPage();
  const plain = [];
  const errors = [];
  page.on('request', (r) => { if (!/^(https|data):/.test(r.url())) plain.push(r.url()); });
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => { if (/mixed content|insecure/i.test(m.text())) errors.push(m.text()); });
  const text = (s) => page.$eval(s, (e) => e.textContent.trim()).catch(() => '');

  // Only this certificate: another console's own is refused.
  fs.mkdirSync(path.join(run, 'other'));
  const other = await startConsole('other', [`_database:=${path.join(run, 'other', 'clinic.db')}`]);
  const refused = await page.goto(other.url).then(() => '', (e) => e.message);
  if (!/ERR_CERT/.test(refused)) fail(`another certificate was taken (${refused || 'the page loaded'})`);
  await stop(other.con, 'the other console');
  log(`ok: another console's certificate refused (${refused.split(' ')[0]})`);

  await page.goto(served.url, { waitUntil: 'load' });
  if (!(await page.evaluate(() => location.protocol === 'https:'))) fail('the page is not on https');
  // The peers once the node waits for them: two launches at once race for the master's run id.
  start('coach', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title', 'nao_kinora_console',
    'browser_coach.launch', 'speed:=5']);
  await until('the node waits for its audio player', async () => (await text('#phase')) === "Waiting for the robot's voice",
    STEP_SECONDS);
  start('peers', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'browser_peers.launch']);
  const playing = /^Exercise 1 of 9: Hands on waist left — \d+\s%$/;
  await until('the event stream shows recording 1 playing', async () => playing.test(await text('#phase')),
    STEP_SECONDS);
  await until('the footer says the connection is encrypted',
    async () => (await text('#about-connection')) === `Encrypted connection to https://${new URL(served.url).host}/.`,
    STEP_SECONDS);
  log('ok: the page and its event stream over https');

  await page.click('#pause');
  await until('the page says Paused', async () => (await text('#phase')) === 'Paused', STEP_SECONDS);
  log('ok: Pause went through: the node says it is paused');

  await page.click('#about-link');
  await until('the about page shows the printed fingerprint', async () =>
    (await text('#about-fingerprint')).replace(/\s+/g, ':') === served.fingerprint, 10);
  if (plain.length) fail(`fetched without TLS: ${plain.join(' ')}`);
  if (errors.length) fail(`errors on the page:\n${errors.join('\n')}`);
  log('ok: the about page shows the fingerprint; nothing fetched in plain');

  await closeBrowser();
  await stopAll();
  log('tls browser test passed');
}

runFlow(main);
