// The clinic in headless chromium (started by run_browser_test.sh clinic):
// the console with a database of its own starts the node itself, on the
// simulated peers at twice wall speed, with three short recordings. Step by step,
// each with a deadline in wall time: add a patient, build a plan of three
// exercises, Start; pause, six pages at once, resume; answer one check-in; end early;
// Resume at the exercise it stopped in; finish; the patient page lists both
// sessions; the report prints to PDF with the code and every exercise
// (pdftotext); the CSV export's rows match the session logs; delete the
// patient, and nothing of theirs is left in the file. Screenshots of the
// patient page and the report. Every view passes kit.js's checkView.
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { run, log, fail, until: untilWithin, start, stopAll, chromium, launchBrowser, closeBrowser, runFlow, TABLET,
  openPage, allowError, checkView, trackingWaitAfter } = require('./kit');

const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const shots = process.env.KINORA_CONSOLE_SCREENSHOT_DIR || '';
const SIM = process.env.KINORA_SIM_EXERCISES || '';
const STEP_SECONDS = 40;
// Simulated seconds per wall second. The session runs on while the flow looks
// at the page: at 8x a loaded machine let exercise 2 play through before a
// pause could be pressed.
const SPEED = 2;
const until = (what, cond, seconds = STEP_SECONDS) => untilWithin(what, cond, seconds);
const CODE = 'P-0042';
// Arms forward has no cues of its own; the other two have those of their cue files.
const EXERCISES = ['10_arms_forward.txt', '03_arms_to_the_side.txt', '04_seated_elbows.txt'];
const TITLES = ['Arms forward', 'Arms to the side', 'Seated elbows'];
const OPENINGS = [[], ['kollaryana.wav'], ['oturabilirsiniz.wav', 'dirsekler.wav']];

const requests = [];  // failed or refused, shown with a failure
const pending = new Set();

// Short recordings (the first rows of three samples) and one that yields no row.
function library() {
  const dir = path.join(run, 'library');
  fs.mkdirSync(dir);
  for (const name of EXERCISES) {
    const rows = fs.readFileSync(path.join(SIM, name), 'utf8').split('\n').slice(0, 40);
    fs.writeFileSync(path.join(dir, name), rows.join('\n') + '\n');
    if (fs.existsSync(path.join(SIM, `${name}.cues`))) fs.copyFileSync(path.join(SIM, `${name}.cues`), path.join(dir, `${name}.cues`));
  }
  fs.writeFileSync(path.join(dir, '99_broken.txt'), 'not a row\n');
  return dir + '/';
}

function csvRows(text) {
  const lines = text.trim().split('\r\n');
  const head = lines[0].split(',');
  return lines.slice(1).map((l) => {
    const cells = l.match(/("([^"]|"")*"|[^,]*)(,|$)/g).map((c) => c.replace(/,$/, '').replace(/^"|"$/g, ''));
    return Object.fromEntries(head.map((h, k) => [h, cells[k]]));
  });
}

// Six pages at once, the session paused: a browser opens six connections to
// the console, so no page may hold two event streams. Each loads and hears of
// a change; a note saves. Ends with the session resumed, the others closed.
async function sixPagesAtOnce(browser, running, url, api) {
  const session = (await api('/now')).running[0];
  const pages = [];
  async function open(address, what, ready) {
    const p = await openPage(browser, TABLET);
    pages.push(p);
    p.goto(url(address), { waitUntil: 'load', timeout: 0 }).catch(() => {});
    await until(`the ${what} loads with ${pages.length} other pages open`, () => p.evaluate(ready).catch(() => false), 20);
    await checkView(p, `on the ${what} among six pages`);
    return p;
  }
  const phaseOf = (p) => p.$eval('#phase', (e) => e.textContent.trim()).catch(() => '');
  const second = await open('index.html', 'second running page', () => document.getElementById('phase').textContent === 'Paused');
  const patient = await open('patient.html?id=1', 'patient page', () => /Running/.test(document.getElementById('sessions').textContent));
  const patients = await open('clinic.html', 'patients page', () => /knee, after surgery/.test(document.getElementById('patients').textContent));
  await open(`report.html?session=${session.id}`, 'report', () => !!document.querySelector('body[data-ready]'));
  await open('library.html', 'library', () => document.querySelectorAll('#recordings tr').length === 4);

  await patient.bringToFront();
  await patient.$eval('#note', (e) => { e.value = ''; });
  await patient.type('#note', 'knee, week 2');
  await patient.click('#note-form button');
  await until('the note is saved with six pages open', () => patient.$eval('#message', (e) => e.textContent === 'Note saved.'), 10);
  await patients.bringToFront();
  await until('the patients page hears of the note', () => patients.$eval('#patients', (e) => /knee, week 2/.test(e.textContent)), 10);
  await running.bringToFront();
  await running.click('#pause');
  await second.bringToFront();  // exercise 1 may be over when read: whatever comes after the pause
  await until('the second running page hears the session go on', async () => !['', 'Paused'].includes(await phaseOf(second)), 10);
  for (const p of pages) await p.close();
  await running.bringToFront();
  log('ok: six pages open at once: each loaded and heard of the changes; a note saved');
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh clinic');
  const lib = library();
  const db = path.join(run, 'clinic.db');
  start('sim', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title', 'nao_kinora_console', 'clinic_sim.launch', `speed:=${SPEED}`]);
  const con = start('console', [consoleProgram, '_port:=0', `_database:=${db}`, `_recording_dir:=${lib}`]);
  const address = await until('the console prints its address', () => {
    const line = con.lines.find((l) => /^console: http:\/\/\S+\/$/.test(l));
    return (line && line.slice('console: '.length)) || (con.exited && fail('the console ended'));
  }, 20);
  const url = (page) => address + page;
  global.consoleAddress = address;
  log(`console on ${address}`);

  const browser = await launchBrowser('clinic');
  const page = await openPage(browser, TABLET);
  page.on('requestfailed', (r) => requests.push(`failed: ${r.url()} ${r.failure() && r.failure().errorText}`));
  page.on('response', (r) => { if (r.status() >= 400) requests.push(`${r.status()}: ${r.url()}`); });
  page.on('request', (r) => pending.add(r));
  page.on('requestfinished', (r) => pending.delete(r));
  page.on('requestfailed', (r) => pending.delete(r));
  const dialogs = [];  // each question the page asks, accepted unless the flow says
  let dismissNext = 0;
  page.on('dialog', (d) => dialogs.push(`${d.type()}: ${d.message()}`) && (dismissNext-- > 0 ? d.dismiss() : d.accept()));
  const text = (s) => page.$eval(s, (e) => e.textContent.trim()).catch(() => '');
  const visible = (s) => page.$eval(s, (e) => e.getClientRects().length > 0).catch(() => false);
  const seen = [];
  async function noRosWords(when) {
    await checkView(page, when);
    seen.push(when);
  }
  const api = (p) => page.evaluate((q) => fetch('/api/clinic' + q).then((r) => r.json()), p);

  // --- A patient (every open page hears of it: test_console_clinic).
  await page.goto(url('clinic.html'), { waitUntil: 'load' });
  if (!/never a name/.test(await text('.warning'))) fail('the page does not say that codes are not names');
  await page.type('#code', 'Jane Doe');
  await page.click('#add button');
  if (!(await page.$eval('#code', (e) => e.validity.patternMismatch))) fail('the browser takes a name as a code');
  await page.$eval('#code', (e) => { e.value = ''; });
  await page.type('#code', CODE);
  await page.type('#note', 'knee, after surgery');
  await page.click('#add button');
  await until('the patient is listed', async () => (await text('#patients')).includes(CODE), 5);
  await page.type('#code', 'P-0100');  // a second patient, without sessions
  await page.click('#add button');
  await until('the second patient is listed', async () => (await text('#patients')).includes('P-0100'), 5);
  await noRosWords('on the patients page');
  await Promise.all([page.waitForNavigation(), page.click(`.patient-link[data-code="${CODE}"]`)]);
  log(`ok: patient ${CODE} added (a name refused by the browser)`);

  // --- A plan of three exercises; the broken recording cannot be chosen.
  await until('the library is offered', async () => (await page.$$('#library option')).length === 4, 10);
  if (!(await page.$eval('#library option[value="99_broken.txt"]', (o) => o.disabled))) fail('an unplayable recording can be chosen');
  await page.click('#new-plan');
  for (const name of EXERCISES) {
    await page.select('#library', name);
    await page.click('#add-item');
  }
  const introductions = await page.$$eval('#items li select.introduction', (ss) => ss.map((s) => s.selectedOptions[0].textContent));
  const wanted = ['No introduction', 'Introduction: arms to the side', 'Please sit down, then Introduction: seated elbows'];
  if (JSON.stringify(introductions) !== JSON.stringify(wanted)) fail(`the plan's introductions: ${introductions}`);
  const items = await page.$$eval('#items li span.grow', (ss) => ss.map((s) => s.textContent));
  if (JSON.stringify(items) !== JSON.stringify(TITLES)) fail(`the plan's exercises read ${items}`);
  await page.select('#plan-speed', '0.75');
  await page.click('#save-plan');
  await until('the timeline shows three exercises', async () => (await page.$$('#timeline tr')).length === 3, 10);
  if (!/lasts about \d+:\d\d/.test(await text('#timeline-total'))) fail(`timeline: ${await text('#timeline-total')}`);
  const times = await page.$$eval('#timeline td.time', (tds) => tds.map((td) => td.textContent));
  if (!/^0:0\d of movement$/.test(times[0]) || !/^0:0\d of movement, 0:05 introduction$/.test(times[1]) ||
      !/^0:0\d of movement, 0:15 introduction$/.test(times[2])) fail(`the timeline's times: ${times}`);
  log(`ok: each exercise's own introduction in the plan editor; the timeline's times: ${times.join(' / ')}`);
  await noRosWords('on the patient page with a plan');
  log(`ok: plan saved; ${await text('#timeline-total')}`);

  // --- Start; in the wait for tracking after exercise 1 (it lasts until skipped: clinic_sim.launch):
  // the speed, pause and resume, a check-in.
  const pressed = await page.evaluate(async () => {
    document.getElementById('start').click();
    await new Promise((r) => setTimeout(r, 0));
    return [document.getElementById('start').disabled, document.getElementById('message').textContent];
  });
  if (!pressed[0] || pressed[1] !== 'Starting the robot…') fail(`Start at once: disabled ${pressed[0]}, "${pressed[1]}"`);
  await until('Start is confirmed', async () => /Session started/.test(await text('#message')), 10);
  log('ok: Start shows itself at once (disabled, "Starting the robot…"), then the answer');
  await Promise.all([page.waitForNavigation(), page.click('#running-link')]);
  const phase = () => text('#phase');
  const tracking = (after) => trackingWaitAfter(page, after);
  await tracking(1);
  if (!(await visible('#speed-control')) || (await page.$eval('#speed', (e) => e.value)) !== '0.75') {
    fail(`the speed shown: ${await page.$eval('#speed', (e) => e.value)}`);
  }
  await until('the running page names the patient', async () => (await text('#patient-name')) === CODE, 10);
  // The link to the console down: every control greyed, and the page says the robot goes on.
  // The console held still (SIGSTOP): the page hears nothing, as with a link that is down.
  const releaseOffline = allowError(page, '', 'net::ERR_');
  process.kill(con.pid, 'SIGSTOP');
  await until('every control greys out with the link down', () => page.evaluate(() =>
    ['pause', 'skip', 'end', 'set-speed', 'speed'].every((id) => document.getElementById(id).disabled) &&
    /The robot keeps moving meanwhile/.test(document.getElementById('connection').textContent)), 20);
  process.kill(con.pid, 'SIGCONT');
  await until('the controls come back with the link', () => page.$eval('#pause', (b) => !b.disabled), 20);
  releaseOffline();
  log('ok: the running page names the patient; with the link down every control greys out and says the robot goes on');
  await page.click('#pause');
  await until('the page says Paused', async () => (await phase()) === 'Paused', 10);
  if ((await text('#pause')) !== 'Continue') fail(`after a pause the button says "${await text('#pause')}"`);
  await sixPagesAtOnce(browser, page, url, api);
  await until('the session goes on', async () => (await phase()) !== 'Paused', 10);
  log('ok: paused and resumed');
  await until('the check-in after exercise 1', () => visible('#checkin'), 10);
  if (!/Borg|nothing at all/.test(await text('#checkin'))) fail('the check-in lacks the Borg words');
  await page.click('#effort button[data-value="3"]');
  await page.click('#pain button[data-value="1"]');
  await page.type('#checkin-note', 'a little tired');
  await page.click('#checkin-save');
  await until('the answers are saved', async () => /Answers saved/.test(await text('#checkin-message')), 10);
  await noRosWords('on the running page');
  log('ok: check-in answered');

  // --- End early, before exercise 2.
  await page.click('#end');
  await until('the question is asked', () => visible('#confirm'), 5);
  const question = await page.$eval('#confirm-text', (e) => e.innerText);  // what is shown, not what is hidden
  if (!/can be resumed later from the patient's page/.test(question) || /cannot/.test(question)) fail(`End asks: ${question}`);
  await page.click('#confirm-end');
  await until('the session is over', async () => (await phase()) === 'Session over', 30);
  if (await visible('#speed-control')) fail('a speed can be set after the session');
  const first = await until('the first session is stored as ended', async () => {
    const now = await api('/patients/1');
    return now.sessions.length === 1 && now.sessions[0].outcome === 'ended' && now.sessions[0];
  }, 20);
  log(`ok: ended early; resume at exercise ${first.resumeAt}`);

  // --- Resume, and play to the end, once the robot program has said its goodbye.
  await until('the robot is free again', async () => !(await api('/now')).busy, 30);
  await page.goto(url('patient.html?id=1'), { waitUntil: 'load' });
  const resume = `button.resume[data-session="${first.id}"]`;
  await until('Resume is offered', () => page.$(resume), 10);
  if ((await text(resume)) !== `Resume at exercise ${first.resumeAt}`) fail(`Resume says "${await text(resume)}"`);
  await page.$eval(resume, (b) => b.click());  // in one go: the table is drawn again on each change
  await until('the resumed session starts', async () => /at exercise 2/.test(await text('#message')), 10);
  await page.goto(url('index.html'), { waitUntil: 'load' });
  await tracking(2);
  const shownRows = await page.$$eval('#recordings tr', (trs) => trs.map((tr) => [tr.className, tr.children[1].textContent]));
  if (shownRows.length !== 3 || !/earlier/.test(shownRows[0][0]) || shownRows.map((l) => l[1]).join('|') !== TITLES.join('|'))
    fail(`the resumed session lists ${JSON.stringify(shownRows)}`);
  const second = await page.$eval('#recordings tr.current td:nth-child(3)', (td) => td.textContent);
  if (!/^0:0\d of movement, 0:05 introduction$/.test(second)) fail(`the running page's time of exercise 2: ${second}`);
  await checkView(page, 'on the running page of a resumed session');
  log('ok: a resumed session counts from exercise 2 of 3, all three listed, with one figure of time each');
  await page.click('#skip');
  await until('the second session completes', async () => {
    const now = await api('/patients/1');
    return now.sessions.length === 2 && now.sessions[1].outcome === 'completed';
  }, 90);
  await page.goto(url('patient.html?id=1'), { waitUntil: 'load' });
  await until('both sessions listed', async () => (await page.$$('#sessions tr')).length === 2, 10);
  const rows = await page.$$eval('#sessions tr', (trs) => trs.map((tr) => [tr.querySelector('.outcome').textContent, tr.querySelector('.played').textContent]));
  // Newest first.
  const expected = [['Completed', '2 of 2'], ['Ended early, resumed', '1 of 3']];
  if (JSON.stringify(rows) !== JSON.stringify(expected)) fail(`sessions listed: ${JSON.stringify(rows)}`);
  await until('the plot is drawn', () => page.$$eval('#plot circle', (c) => c.length >= 6));
  const day = (s, style) => page.evaluate((t, o) => new Date(t * 1000).toLocaleDateString([], o), s.started, style);
  const plotted = await page.$$eval('#plot text', (ts) => ts.map((t) => t.textContent));
  if (!plotted.includes(await day(first, { month: 'short', day: 'numeric' }))) fail(`the plot's dates: ${plotted}`);
  await noRosWords('on the patient page with sessions');
  await page.screenshot({ path: path.join(run, 'clinic-patient.png'), fullPage: true });
  log(`ok: both sessions listed: ${JSON.stringify(rows)}`);

  // --- The report, on screen and printed to PDF.
  await page.goto(url(`report.html?session=${first.id}`), { waitUntil: 'load' });
  await until('the report is shown', () => page.$('body[data-ready]'), 10);
  if (!(await text('#exercises')).includes('a little tired')) fail('the report lacks the check-in');
  if (!/Paused/.test(await text('#events')) || !/Ended the session/.test(await text('#events'))) fail(`events: ${await text('#events')}`);
  if (!/Continued after the pause/.test(await text('#events'))) fail(`events: ${await text('#events')}`);
  const resumedAt = await page.evaluate((t) => Kinora.when(t), (await api('/patients/1')).sessions[1].started);
  if (!(await text('#facts')).includes(`Taken up bythe session of ${resumedAt} (Resume at exercise 2)`)) fail(`facts: ${await text('#facts')}`);
  if (!/of movement/.test(await text('#exercises'))) fail(`the report's times: ${await text('#exercises')}`);
  await noRosWords('on the report');
  await page.screenshot({ path: path.join(run, 'clinic-report.png'), fullPage: true });
  const pdf = path.join(run, 'report.pdf');
  execFileSync(chromium(), ['--headless', '--no-sandbox', '--disable-gpu', '--virtual-time-budget=10000',
    `--user-data-dir=${fs.mkdtempSync(path.join(os.tmpdir(), 'clinic-print-'))}`, `--print-to-pdf=${pdf}`,
    url(`report.html?session=${first.id}`)], { stdio: 'ignore', timeout: 60000 });
  const printed = execFileSync('pdftotext', [pdf, '-']).toString();
  for (const word of [CODE, ...TITLES]) if (!printed.includes(word)) fail(`the printed report lacks ${word}:\n${printed}`);
  if (/\.txt/.test(printed)) fail(`the printed report names files:\n${printed}`);
  if (!printed.includes('Taken up by')) fail(`the printed report does not name the session that took it up:\n${printed}`);
  log('ok: the report prints with the code and every exercise by its title, and the date of the session that took it up');

  // --- The CSV export against the session logs.
  const csv = csvRows(await page.evaluate(() => fetch('/api/clinic/patients/1/export.csv').then((r) => r.text())));
  const logged = [];
  for (const s of [first.id, first.id + 1]) {
    const logFile = fs.readdirSync(path.join(run, 'sessions')).filter((f) => f.endsWith('.jsonl')).sort()[s - first.id];
    for (const line of fs.readFileSync(path.join(run, 'sessions', logFile), 'utf8').trim().split('\n')) {
      const e = JSON.parse(line);
      if (e.event === 'recording loaded') logged.push([String(s), String(e.recording), path.basename(e.path)]);
    }
  }
  const opened = {};
  for (const s of [first.id, first.id + 1]) {
    const logFile = fs.readdirSync(path.join(run, 'sessions')).filter((f) => f.endsWith('.jsonl')).sort()[s - first.id];
    let at = 0;
    for (const line of fs.readFileSync(path.join(run, 'sessions', logFile), 'utf8').trim().split('\n')) {
      const e = JSON.parse(line);
      if (e.event === 'start signal') opened[(at = e.recording)] = [];
      if (e.event === 'cue' && e.kind === 'opening') opened[at].push(e.file);
    }
  }
  if (JSON.stringify([opened[1], opened[2], opened[3]]) !== JSON.stringify(OPENINGS))
    fail(`the exercises were introduced by ${JSON.stringify(opened)}`);
  log(`ok: each exercise introduced by its own cues (session logs: ${JSON.stringify(opened)})`);
  const exported = csv.map((r) => [r.session, r.position, r.recording]);
  if (JSON.stringify(exported) !== JSON.stringify(logged)) fail(`CSV ${JSON.stringify(exported)} vs logs ${JSON.stringify(logged)}`);
  if (csv[0].effort !== '3' || csv[0].pain !== '1') fail(`CSV check-in: ${JSON.stringify(csv[0])}`);
  log(`ok: the CSV export's ${csv.length} rows match the session logs`);

  // --- The patients list: the last session's date, and a search.
  await page.goto(url('clinic.html'), { waitUntil: 'load' });
  const last = `${CODE}Last session ${await day((await api('/patients/1')).sessions[1], { year: 'numeric', month: 'short', day: 'numeric' })}`;
  const listed = () => page.$$eval('#patients li', (lis) => lis.filter((li) => li.getClientRects().length).map((li) => li.textContent));
  await until('each patient with their last session', async () => `${await listed()}`.startsWith(last) && `${await listed()}`.endsWith(',P-0100No session yet'), 10);
  await page.type('#search', '042');
  await until('the search finds the patient', async () => `${await listed()}`.startsWith(last) && (await listed()).length === 1, 5);
  await noRosWords('on the patients page with a search');
  log(`ok: the patients list gives the last session (${last}) and searches`);

  // --- A reload with unsaved plan edits, and Delete plan, ask first.
  await page.goto(url('patient.html?id=1'), { waitUntil: 'load' });
  await until('the page is loaded', async () => (await text('#title')).includes(CODE) && (await page.$$('#items li')).length === 3, 10);
  await page.$eval('#items li button.danger', (b) => b.click());  // in one go: the list is drawn again on each change
  await until('the edit is shown', async () => (await page.$$('#items li')).length === 2, 5);
  dismissNext = 1;
  await page.evaluate(() => { setTimeout(() => location.reload(), 0); });
  await until('a reload asks first', () => /^beforeunload/.test(dialogs[dialogs.length - 1]), 5);
  if ((await page.$$('#items li')).length !== 2) fail('the unsaved edit is gone after the question');
  await page.click('#delete-plan');
  await until('deleting the plan asks first', () => /^confirm: Delete the plan/.test(dialogs[dialogs.length - 1]), 5);
  await until('the plan is deleted once agreed to', async () => /Plan deleted/.test(await text('#message')), 10);
  if ((await api('/patients/1')).plans.length !== 0) fail('the plan is still there');
  log('ok: a reload asks before unsaved edits go; a plan is deleted only once agreed to');

  // --- Delete, by typing the code; the list says so; nothing of theirs left in the file.
  await page.type('#delete-code', CODE);
  await Promise.all([page.waitForNavigation(), page.click('#delete-form button')]);
  await until('the patient is gone from the list', async () => /P-0100/.test(await text('#patients')) && !(await text('#patients')).includes(CODE), 10);
  const said = await text('#message');
  if (said !== `Patient ${CODE} was deleted, with everything of theirs.`) fail(`after deleting, the list says "${said}"`);
  await noRosWords('after deleting a patient');
  const bytes = Buffer.concat(['', '-wal'].filter((x) => fs.existsSync(db + x)).map((x) => fs.readFileSync(db + x)));
  for (const word of [CODE, 'knee, after surgery', 'a little tired'])
    if (bytes.includes(word)) fail(`the database file still holds "${word}"`);
  log('ok: deleted; nothing of the patient is left in the file');

  if (shots) {
    fs.copyFileSync(path.join(run, 'clinic-patient.png'), path.join(shots, 'clinic-patient.png'));
    fs.copyFileSync(path.join(run, 'clinic-report.png'), path.join(shots, 'clinic-report.png'));
  }
  await closeBrowser();
  await stopAll();
  log(`clinic browser test passed (${seen.length} views checked for ROS words)`);
}

// A failure also shows the page's last refused requests, those still pending,
// the connections, and whether the console answers from outside the browser.
runFlow(main, async () => {
  // The console starts the robot program in a session of its own, which outlives the flow: it goes too.
  const sessions = path.join(run, 'sessions');
  for (const f of fs.existsSync(sessions) ? fs.readdirSync(sessions).filter((n) => n.endsWith('.pid')) : []) {
    const pid = Number(fs.readFileSync(path.join(sessions, f), 'utf8'));
    try {
      if (fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('nao_kinora')) process.kill(-pid, 'SIGKILL');
    } catch (e) { /* ended */ }
  }
  console.log(requests.slice(-20).join('\n'));
  for (const r of pending) console.log(`pending: ${r.method()} ${r.url()}`);
  try { console.log(execFileSync('ss', ['-tnpo']).toString()); } catch (e) { /* no ss */ }
  if (global.consoleAddress) {
    const http = require('http');
    await new Promise((resolve) => {
      const r = http.get(global.consoleAddress + 'api/clinic/patients', (res) => { console.log(`from outside: ${res.statusCode}`); resolve(); });
      r.on('error', (e) => { console.log(`from outside: ${e.message}`); resolve(); });
      r.setTimeout(3000, () => { console.log('from outside: no answer in 3 s'); r.destroy(); resolve(); });
    });
  }
});
