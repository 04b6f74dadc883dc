// Logging in over HTTPS in headless chromium (run_browser_test.sh
// accounts_browser_test): a first admin made with nao_kinora_console_admin,
// the console off loopback with its own certificate pinned as in the TLS
// flow, the login page at a tablet's width, a wrong password told, the right
// one let in with a cookie chromium keeps HttpOnly, SameSite=Strict and
// Secure, and the admin's page listing the trail's entries of this login.
// Then a therapist added on that page is locked out by wrong passwords from
// another address (10.234.0.2); the admin's page shows the lock, Unlock ends
// it, New password sets one, and the therapist logs in with it from there.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const https = require('https');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { run, log, fail, until, start, stopAll, launchBrowser, closeBrowser, runFlow, openPage, allowError, checkView } =
  require('./kit');
const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const address = process.env.KINORA_CONSOLE_OFF_LOOPBACK;
const PASSWORD = 'correct horse 1';
const STEP_SECONDS = 30;
const OTHER_ADDRESS = '10.234.0.2'; // the far end of the veth pair: another machine, as the console sees it

// A login posted from another address, as a script there would: its status.
function loginFrom(url, name, password) {
  const body = JSON.stringify({ name, password });
  return new Promise((resolve, reject) => {
    // The certificate is the console's own, checked by the flow above; this
    // request is about the lock, not the connection.
    const req = https.request({
      host: url.hostname, port: url.port, path: '/api/login', method: 'POST', localAddress: OTHER_ADDRESS,
      rejectUnauthorized: false,
      headers: { Origin: url.origin, 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) },
    }, (res) => { res.resume(); res.on('end', () => resolve(res.statusCode)); });
    req.on('error', reject);
    req.end(body);
  });
}

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
  await until('the trail lists the login', async () => (await rows()).length >= 3, STEP_SECONDS);
  const listed = await rows();
  const want = ['maria | room-a | login | ', '(not logged in) | room-a | login failed | ',
    `admin tool on ${os.hostname()} |  | account added | `];
  if (JSON.stringify(listed) !== JSON.stringify(want)) fail(`the trail lists:\n${listed.join('\n')}`);
  const accounts = await page.$$eval('#accounts tr', (trs) => trs.map((tr) => tr.children[0].textContent));
  if (JSON.stringify(accounts) !== '["maria"]') fail(`the accounts listed: ${accounts}`);
  await checkView(page, 'on the admin page');
  log('ok: the admin page lists the trail, newest first: this login, the failed one before it');

  await page.type('#new-name', 'tom');
  await page.type('#new-password', 'tom\'s password');
  await page.click('#add-account button[type=submit]');
  const row = (name) => `#accounts tr[data-name="${name}"]`;
  await until('tom is listed', async () => (await page.$(row('tom'))) !== null, STEP_SECONDS);
  const statuses = [];
  for (let i = 0; i < 6; ++i) statuses.push(await loginFrom(url, 'tom', 'not his password'));
  if (JSON.stringify(statuses) !== '[401,401,401,401,429,429]') fail(`wrong passwords from afar: ${statuses}`);
  await page.reload({ waitUntil: 'load' });
  await until('the page shows tom locked', async () => (await text(`${row('tom')} td:nth-child(4)`))
    .startsWith('Locked after failed logins'), STEP_SECONDS);
  await checkView(page, 'with a locked account');
  await page.click(`${row('tom')} button[data-action=unlock]`);
  await until('the lock is gone from the page', async () => (await text(`${row('tom')} td:nth-child(4)`)) === '',
    STEP_SECONDS);
  await page.click(`${row('tom')} button[data-action=password]`);
  await page.type(`${row('tom')} input.new-password`, 'a brand new password');
  await page.click(`${row('tom')} button[data-action=save-password]`);
  await until('the page says the password is saved', async () => (await text('#admin-why')) ===
    'New password saved for tom.', STEP_SECONDS);
  const newest = (await rows()).slice(0, 5);
  const wantNewest = ['maria | room-a | password reset | ', 'maria | room-a | account unlocked | ',
    '(the console) | room-a | lock ended | ', '(the console) | room-a | login locked | ',
    '(not logged in) | room-a | login failed | '];
  if (JSON.stringify(newest) !== JSON.stringify(wantNewest)) fail(`the trail's newest entries:\n${newest.join('\n')}`);
  const tries = await page.$eval('#trail tr:nth-child(3) td:nth-child(7)', (td) => JSON.parse(td.textContent).tries);
  if (tries !== 1) fail(`the lock ended after ${tries} tries, not 1`);
  if (await loginFrom(url, 'tom', 'tom\'s password') !== 401) fail('the old password still lets tom in');
  if (await loginFrom(url, 'tom', 'a brand new password') !== 200) fail('the new password does not let tom in');
  log('ok: tom locked from another address, unlocked on the admin page, and in with the password it set');

  await closeBrowser();
  await stopAll();
  log('accounts browser test passed');
}

runFlow(main);
