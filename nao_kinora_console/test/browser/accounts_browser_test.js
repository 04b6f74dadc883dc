// Logging in over HTTPS in headless chromium (run_browser_test.sh
// accounts_browser_test): a first admin made with nao_kinora_console_admin,
// the console off loopback with its own certificate pinned as in the TLS
// flow, the login page at a tablet's width, a wrong password told, the right
// one let in with a cookie chromium keeps HttpOnly, SameSite=Strict and
// Secure, and the admin's page listing the trail's entries of this login.
// Then a therapist added on that page is locked out by wrong passwords from
// another address (10.234.0.2); the admin's page shows the lock, Unlock ends
// it, New password sets one, and the therapist logs in with it from there.
// Then, on a console off loopback with accounts and no ~token at all: who is
// logged in on every page, My account (password, personal tokens), a
// therapist kept from the admin's forms, a therapist disabled mid-session
// told why with a login form in place, and the trail in words, with dates in
// the one format of every page.
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
  const want = ['maria | room-a | logged in | ', '(not logged in) | room-a | failed to log in as maria | ',
    `admin tool on ${os.hostname()} |  | added the account maria (admin) | `];
  if (JSON.stringify(listed) !== JSON.stringify(want)) fail(`the trail lists:\n${listed.join('\n')}`);
  const accounts = await page.$$eval('#accounts tr', (trs) => trs.map((tr) => tr.children[0].textContent));
  if (JSON.stringify(accounts) !== '["maria"]') fail(`the accounts listed: ${accounts}`);
  await checkView(page, 'on the admin page');
  log('ok: the admin page lists the trail, newest first: this login, the failed one, the admin tool\'s account');

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
  // The lock ended after one more try: the sixth, refused unchecked.
  const wantNewest = ['maria | room-a | gave tom a new password | ', 'maria | room-a | unlocked the account tom | ',
    '(the console) | room-a | the lock on tom (from 10.234.0.2) ended: unlocked by an admin, after 1 more try | ',
    '(the console) | room-a | locked the name tom after 5 failed logins (from 10.234.0.2) | ',
    '(not logged in) | room-a | failed to log in as tom | '];
  if (JSON.stringify(newest) !== JSON.stringify(wantNewest)) fail(`the trail's newest entries:\n${newest.join('\n')}`);
  if (await loginFrom(url, 'tom', 'tom\'s password') !== 401) fail('the old password still lets tom in');
  if (await loginFrom(url, 'tom', 'a brand new password') !== 200) fail('the new password does not let tom in');
  log('ok: tom locked from another address, unlocked on the admin page, and in with the password it set');

  await stopAll();
  await withoutToken(browser, db, admin, spki);
  await closeBrowser();
  await stopAll();
  log('accounts browser test passed');
}

// Off loopback with accounts: no ~token, and nothing says one.
async function withoutToken(browser, db, admin, spki) {
  // tom, added on the admin page above, given a password here.
  execFileSync(admin, ['reset-password', 'tom', '--database', db], { input: 'tom password 1\n' });
  const con = start('console-no-token', [consoleProgram, '_port:=0', `_bind:=${address}`, `_database:=${db}`,
    '_room:=room-a']);
  await until('the console starts off loopback without a token, with accounts',
    () => con.lines.some((l) => l.startsWith('certificate: ')) || (con.exited && fail(`the console ended:\n${con.lines.join('\n')}`)),
    20);
  const printed = con.lines.find((l) => l.startsWith('console: '));
  if (/token/.test(printed)) fail(`the console prints ${printed}`);
  const url = new URL(printed.slice('console: '.length));
  const plain = await new Promise((resolve, reject) => require('http').get(`http://${url.host}/`, (r) => {
    let body = '';
    r.on('data', (d) => { body += d; });
    r.on('end', () => resolve(body));
  }).on('error', reject));
  if (!/HTTPS only/.test(plain) || /token/i.test(plain)) fail(`plain HTTP is told: ${plain}`);
  log('ok: off loopback with accounts, no ~token is asked for, and plain HTTP is told of none');

  // Two people at once: the admin, and a therapist in a browser context of their own.
  const login = async (p, name, password, page = 'index.html') => {
    allowError(p, url.host, 'status of 401');
    await p.goto(`${url.origin}/${page}`, { waitUntil: 'load' });
    await p.type('#name', name);
    await p.type('#password', password);
    await Promise.all([p.waitForNavigation({ waitUntil: 'load' }), p.click('button[type=submit]')]);
    await until(`${name} is named on the page`, () => p.$eval('#who-name', (e) => e.textContent).catch(() => '')
      .then((t) => t === `Logged in as ${name}`), STEP_SECONDS);
  };
  // Each in a browser context of their own: the first console's cookie is not theirs.
  const maria = await openPage(await browser.createBrowserContext());
  await login(maria, 'maria', PASSWORD, 'clinic.html');
  if (!(await maria.$('#admin-link')) || !(await maria.$('#my-account-link')) || !(await maria.$('#logout-button')))
    fail('the admin has no Admin, My account or Log out');
  await checkView(maria, 'on the patients page with who is logged in');
  const tomContext = await browser.createBrowserContext();
  const tom = await openPage(tomContext);
  await login(tom, 'tom', 'tom password 1', 'index.html');
  if (await tom.$('#admin-link')) fail('a therapist is offered the admin page');
  await tom.goto(`${url.origin}/admin.html`, { waitUntil: 'load' });
  await until('the admin page tells a therapist it is for admins',
    () => tom.$eval('#admin-why', (e) => /for admins/.test(e.textContent)).catch(() => false), STEP_SECONDS);
  if (await tom.$eval('#add-account', (f) => f.getClientRects().length > 0)) fail('a therapist sees the admin\'s forms');
  await checkView(tom, 'on the admin page, as a therapist');
  log('ok: every page says who is logged in; Admin for the admin only; a therapist never sees its forms');

  // My account: the password with the present one, a token made and revoked.
  await tom.goto(`${url.origin}/account.html`, { waitUntil: 'load' });
  await until('My account is shown', () => tom.$eval('#password-section', (e) => !e.hidden), STEP_SECONDS);
  const tomText = (s) => tom.$eval(s, (e) => e.textContent.trim()).catch(() => '');
  allowError(tom, url.host, 'status of 409');  // the wrong present password, refused as asked
  await tom.type('#old-password', 'not my password');
  await tom.type('#new-password', 'tom password 2');
  await tom.type('#new-password-again', 'tom password 2');
  await tom.click('#password-form button');
  await until('a wrong present password is refused', async () => /not the one given/.test(await tomText('#password-message')), STEP_SECONDS);
  await tom.$eval('#old-password', (e) => { e.value = ''; });
  await tom.type('#old-password', 'tom password 1');
  await tom.click('#password-form button');
  await until('the password is changed', async () => (await tomText('#password-message')) === 'Password changed.', STEP_SECONDS);
  await tom.type('#token-label', 'nightly');
  await tom.click('#token-form button');
  await until('the token is shown once', async () => /^kin_/.test(await tomText('#token-value')), STEP_SECONDS);
  await until('the token is listed', () => tom.$('#tokens tr[data-token] button'), STEP_SECONDS);
  await checkView(tom, 'on My account');
  await tom.$eval('#tokens tr[data-token] button', (b) => b.click());
  await until('the token is revoked', async () => /^revoked /.test(await tom.$eval('#tokens tr[data-token] td:nth-child(3)',
    (e) => e.textContent).catch(() => '')), STEP_SECONDS);
  log('ok: My account changes the password with the present one, makes, lists and revokes a token');

  // Disabled while on the running page: Pause says why, with a login form in place.
  await tom.goto(`${url.origin}/index.html`, { waitUntil: 'load' });
  await until('the running page follows', async () => !/^Connecting/.test(await tomText('#phase')), STEP_SECONDS);
  await maria.goto(`${url.origin}/admin.html`, { waitUntil: 'load' });
  await until('the admin page lists tom', () => maria.$$eval('#accounts tr', (trs) => trs.length === 2), STEP_SECONDS);
  await maria.$$eval('#accounts tr', (trs) => trs.find((tr) => tr.children[0].textContent === 'tom').querySelector('button').click());
  await until('tom is disabled', () => maria.$$eval('#accounts tr', (trs) =>
    /disabled/.test(trs.find((tr) => tr.children[0].textContent === 'tom').textContent)), STEP_SECONDS);
  // Nothing runs on the robot here, so the controls are greyed: any request shows the same.
  await tom.evaluate(() => fetch('/api/pause', { method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: '{"pause": true}' }));
  await until('the page says the account was disabled, with a login form', async () =>
    /disabled your account/.test(await tomText('#login-ended-why')) &&
    (await tom.$eval('#login-ended', (e) => !e.hidden).catch(() => false)), STEP_SECONDS);
  if (!/Not following the session/.test(await tomText('#connection'))) fail(`the running page says: ${await tomText('#connection')}`);
  await checkView(tom, 'with the login ended');
  log('ok: a login disabled mid-session says why, with a login form in place, and stops following');

  // The trail in words, dates as every page writes them.
  await maria.reload({ waitUntil: 'load' });
  const trail = async () => maria.$$eval('#trail tr', (trs) => trs.map((tr) => [tr.children[0].textContent, tr.children[3].textContent]));
  await until('the trail lists the disable', async () => (await trail()).some((r) => r[1] === 'disabled the account tom'), STEP_SECONDS);
  const said = (await trail()).map((r) => r[1]);
  for (const words of ['disabled the account tom', 'revoked personal token 1', 'made a personal token “nightly”',
    'changed their password', 'logged in'])
    if (!said.includes(words)) fail(`the trail lacks "${words}":\n${said.join('\n')}`);
  const entries = await maria.evaluate(() => fetch('/api/audit').then((r) => r.json()));
  const format = await maria.evaluate((at) => Kinora.when(at), entries.entries[0].at);
  if ((await trail())[0][0] !== format) fail(`the trail's date "${(await trail())[0][0]}" is not the page's format "${format}"`);
  const rendered = await maria.evaluate(() => [
    { action: 'plan changed', detail: '{"from":"week 1","to":"week 2","speed":1,"speedWas":1,"exercises":["a.txt"],"exercisesWas":["a.txt"]}' },
    { action: 'export', patient: 'P-0101', patientId: 3, detail: '{"format":"JSON"}' },
    { action: 'speed', detail: '{"speed":0.75,"was":1}' },
    { action: 'patient deleted', patientId: 3, detail: '' },
    { action: 'login locked', detail: '{"name":"therapist2","failures":5,"address":"10.0.0.7"}' },
    { action: 'plan changed', detail: 'plan 1' },
    { action: 'resume', patient: 'P-0101', patientId: 3, detail: '{"takesUp":12,"at":3}' },
  ].map(KinoraTrail.words));
  const want = ['renamed plan week 1 → week 2', 'exported P-0101 (JSON)', 'speed 0.75× (was 1×)',
    'deleted a patient (code not kept)', 'locked the name therapist2 after 5 failed logins (from 10.0.0.7)',
    'plan changed — plan 1', 'Resume at exercise 3 for P-0101, taking up session 12'];
  if (JSON.stringify(rendered) !== JSON.stringify(want)) fail(`the trail's words:\n${rendered.join('\n')}`);
  await checkView(maria, 'on the admin page with the trail in words');
  log('ok: the trail in words, old entries as kept, dates in the format of every page');
}

runFlow(main);
