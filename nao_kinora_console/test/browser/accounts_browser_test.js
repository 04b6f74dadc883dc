// Logging in over HTTPS in headless chromium (run_browser_test.sh
// accounts_browser_test): a first admin made with nao_kinora_console_admin,
// the console off loopback with its own certificate pinned as in the TLS
// flow, the login page at a tablet's width, a wrong password told, the right
// one let in with a cookie chromium keeps HttpOnly, SameSite=Strict and
// Secure, and the admin's page listing the trail's entries of this login.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { run, log, fail, until, start, stopAll, launchBrowser, closeBrowser, runFlow, openPage, allowError, checkView } =
  require('./kit');
const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const address = process.env.KINORA_CONSOLE_OFF_LOOPBACK;
const PASSWORD = 'correct horse 1';
const STEP_SECONDS = 30;

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh accounts_browser_test');
  if (!address) {
    console.log('SKIP: no network namespace with an address other than loopback here');
    process.exit(77);
  }
  const db = path.join(run, 'clinic.db');
  const admin = path.join(path.dirname(consoleProgram), 'nao_kinora_console_admin');
  const made = execFileSync(admin, ['add', 'maria', '--admin', '--database', db], { input: `${PASSWORD}\n` });
  if (made.toString() !== 'added admin maria\n') fail(`the admin program said: ${made}`);

  const con = start('console', [consoleProgram, '_port:=0', `_bind:=${address}`,
    `_token:=${crypto.randomBytes(16).toString('hex')}`, `_database:=${db}`, '_room:=room-a']);
  await until('the console prints its address and fingerprint',
    () => con.lines.some((l) => l.startsWith('certificate: ')) || (con.exited && fail('the console ended')), 20);
  const url = new URL(con.lines.find((l) => l.startsWith('console: ')).slice('console: '.length));
  const cert = new crypto.X509Certificate(fs.readFileSync(path.join(run, 'console-certificate.pem')));
  const spki = crypto.createHash('sha256').update(cert.publicKey.export({ type: 'spki', format: 'der' }))
    .digest('base64');
  const browser = await launchBrowser('accounts', [`--ignore-certificate-errors-spki-list=${spki}`]);
  const page = await openPage(browser);
  // The login page and a refused login answer 401, which chromium logs.
  allowError(page, url.host, 'status of 401');
  const text = (s) => page.$eval(s, (e) => e.textContent.trim()).catch(() => '');

  // The address without its token: the login page, and nothing else.
  await page.goto(`${url.origin}/`, { waitUntil: 'load' });
  if ((await text('button[type=submit]')) !== 'Log in') fail('no login page');
  await checkView(page, 'on the login page');
  log('ok: the login page at a tablet\'s width');

  await page.type('#name', 'maria');
  await page.type('#password', 'correct horse 2');
  await page.click('button[type=submit]');
  await until('the page says the password is wrong', async () => (await text('#why')) === 'Wrong name or password.',
    STEP_SECONDS);
  await page.$eval('#password', (e) => { e.value = ''; });
  await page.type('#password', PASSWORD);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('button[type=submit]')]);
  await until('the session page once logged in', async () => (await page.$('#phase')) !== null, STEP_SECONDS);
  const cookie = (await page.cookies()).find((c) => c.name === 'kinora_session');
  if (!cookie || !cookie.httpOnly || cookie.sameSite !== 'Strict' || !cookie.secure)
    fail(`the login cookie is ${JSON.stringify(cookie)}`);
  log('ok: logged in over https; the cookie is HttpOnly, SameSite=Strict and Secure');

  await page.goto(`${url.origin}/admin.html`, { waitUntil: 'load' });
  const rows = async () => page.$$eval('#trail tr', (trs) => trs.map((tr) =>
    Array.from(tr.children).slice(1, 5).map((td) => td.textContent).join(' | ')));
  await until('the trail lists the login', async () => (await rows()).length >= 2, STEP_SECONDS);
  const listed = await rows();
  const want = ['maria | room-a | login | ', '(not logged in) | room-a | login failed | '];
  if (JSON.stringify(listed) !== JSON.stringify(want)) fail(`the trail lists:\n${listed.join('\n')}`);
  const accounts = await page.$$eval('#accounts tr', (trs) => trs.map((tr) => tr.children[0].textContent));
  if (JSON.stringify(accounts) !== '["maria"]') fail(`the accounts listed: ${accounts}`);
  await checkView(page, 'on the admin page');
  log('ok: the admin page lists the trail, newest first: this login, the failed one before it');

  await closeBrowser();
  await stopAll();
  log('accounts browser test passed');
}

runFlow(main);
