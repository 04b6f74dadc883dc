// The clinical record in headless chromium at a tablet's size (800×1280),
// started by run_browser_test.sh record_browser_test: the console with a
// database of its own starts the node on the simulated peers. A plan of
// three exercises at 0.75×; the speed set to 1.25× on the running page
// after exercise 1; a check-in; End after exercise 2; the plan edited (an
// exercise removed); Resume, played to the end. Person tracking waits until
// skipped, so each click lands where it is meant to, however slow the machine. The first report still shows the
// plan as played, both speeds, the check-in and the chain; Resume is no
// longer offered on it; a reload after "Session over" offers no check-in.
// The report printed to PDF (A4) and read with pdftotext. No console error.
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const {
  run, log, fail, until: untilWithin, start, stopAll, chromium, launchBrowser, closeBrowser, runFlow, trackingWaitAfter,
} = require('./kit');

const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const SIM = process.env.KINORA_SIM_EXERCISES || '';
const STEP_SECONDS = 40;
const until = (what, cond, seconds = STEP_SECONDS) => untilWithin(what, cond, seconds);
const CODE = 'P-0077';
const EXERCISES = ['01_hands_on_waist_left.txt', '03_arms_to_the_side.txt', '08_right_wrist.txt'];
// As the pages write them.
const title = (file) => { const t = file.replace(/\.txt$/, '').replace(/^\d+_/, '').replace(/_/g, ' '); return t[0].toUpperCase() + t.slice(1); };

function library() {
  const dir = path.join(run, 'library');
  fs.mkdirSync(dir);
  for (const name of EXERCISES) {
    const rows = fs.readFileSync(path.join(SIM, name), 'utf8').split('\n').slice(0, 40);
    fs.writeFileSync(path.join(dir, name), rows.join('\n') + '\n');
  }
  return dir + '/';
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh record_browser_test');
  const lib = library();
  start('sim', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title', 'nao_kinora_console', 'clinic_sim.launch']);
  const con = start('console', [consoleProgram, '_port:=0', `_database:=${path.join(run, 'clinic.db')}`, `_recording_dir:=${lib}`]);
  const address = await until('the console prints its address', () => {
    const line = con.lines.find((l) => /^console: http:\/\/\S+\/$/.test(l));
    return (line && line.slice('console: '.length)) || (con.exited && fail('the console ended'));
  }, 20);
  const url = (page) => address + page;

  const browser = await launchBrowser('record');
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  page.on('dialog', (d) => d.accept());
  await page.setViewport({ width: 800, height: 1280 });
  const text = (s) => page.$eval(s, (e) => e.textContent.trim()).catch(() => '');
  const visible = (s) => page.$eval(s, (e) => !e.hidden && e.offsetParent !== null).catch(() => false);
  const api = (method, p, body) => page.evaluate((m, q, b) => fetch('/api/clinic' + q, {
    method: m, headers: { 'Content-Type': 'application/json' }, body: b === undefined ? undefined : JSON.stringify(b)
  }).then((r) => r.json()), method, p, body);

  // --- A patient and a plan of three at 0.75×; its timeline at that speed.
  await page.goto(url('index.html'), { waitUntil: 'load' });
  const patient = (await api('POST', '/patients', { code: CODE })).id;
  const plan = (await api('POST', `/patients/${patient}/plans`, { name: 'week 1', speed: 0.75, items: EXERCISES })).id;
  const atSpeed = (await api('GET', `/plans/${plan}/timeline`)).length;
  await api('PUT', `/plans/${plan}`, { name: 'week 1', speed: 1, items: EXERCISES });
  const atOne = (await api('GET', `/plans/${plan}/timeline`)).length;
  if (!(atSpeed > atOne)) fail(`the timeline at 0.75× (${atSpeed} s) is not longer than at 1× (${atOne} s)`);
  await api('PUT', `/plans/${plan}`, { name: 'week 1', speed: 0.75, items: EXERCISES });
  await page.goto(url(`patient.html?id=${patient}`), { waitUntil: 'load' });
  await until('the timeline shows three exercises', async () => (await page.$$('#timeline tr')).length === 3, 10);
  log(`ok: plan of three at 0.75× (${atSpeed.toFixed(1)} s; ${atOne.toFixed(1)} s at 1×)`);

  // --- Start; on the running page, in the wait for tracking after exercise 1 (it lasts until
  // skipped: clinic_sim.launch): 1.25× and a check-in; End in the wait after exercise 2.
  await page.click('#start');
  await until('Start is confirmed', async () => /Session started/.test(await text('#message')), 10);
  await Promise.all([page.waitForNavigation(), page.click('#running-link')]);
  const phase = () => text('#phase');
  const tracking = (after) => trackingWaitAfter(page, after);
  await tracking(1);
  await until('the speed can be set', () => visible('#speed-control'), 10);
  await page.select('#speed', '1.25');
  await page.click('#set-speed');
  await until('the speed is set', async () => /1\.25/.test(await text('#checkin-message')), 10);
  await until('the check-in after exercise 1', () => visible('#checkin'), 10);
  await page.click('#effort button[data-value="4"]');
  await page.click('#pain button[data-value="2"]');
  await page.type('#checkin-note', 'steady');
  await page.click('#checkin-save');
  await until('the answers are saved', async () => /Answers saved/.test(await text('#checkin-message')), 10);
  await page.click('#skip');
  await tracking(2);
  await page.click('#end');
  await page.click('#confirm-end');
  await until('the session is over', async () => (await phase()) === 'Session over', 30);
  const first = await until('the first session is stored as ended', async () => {
    const s = (await api('GET', `/patients/${patient}`)).sessions;
    return s.length === 1 && s[0].outcome === 'ended' && s[0];
  }, 20);
  await page.reload({ waitUntil: 'load' });
  await until('the page shows the session over again', async () => (await phase()) === 'Session over', 10);
  if (await visible('#checkin')) fail('the check-in is offered again after a reload');
  log(`ok: 1.25× set, check-in answered, ended; resume at exercise ${first.resumeAt}`);

  // --- The plan edited on the patient page: its first exercise removed.
  await until('the robot is free again', async () => !(await api('GET', '/now')).busy, 30);
  await page.goto(url(`patient.html?id=${patient}`), { waitUntil: 'load' });
  await until('the plan is shown', async () => (await page.$$('#items li')).length === 3, 10);
  await page.click('#items li button.danger');
  await page.click('#save-plan');
  await until('the edit is saved', async () => /saved/.test(await text('#message')), 10);
  const edited = (await api('GET', `/patients/${patient}`)).plans[0].items;
  if (JSON.stringify(edited) !== JSON.stringify(EXERCISES.slice(1))) fail(`plan after the edit: ${JSON.stringify(edited)}`);

  // --- Resume: the session's own plan, from exercise 3, at 1.25×; then finished.
  const resume = `button.resume[data-session="${first.id}"]`;
  await until('Resume is offered', () => page.$(resume), 10);
  await page.click(resume);
  await until('the resumed session starts', async () => /at exercise 3/.test(await text('#message')), 10);
  const second = await until('the resumed session completes', async () => {
    const s = (await api('GET', `/patients/${patient}`)).sessions;
    return s.length === 2 && s[1].outcome === 'completed' && s[1];
  }, 120);
  if (JSON.stringify(second.planItems) !== JSON.stringify(EXERCISES)) fail(`resumed with ${JSON.stringify(second.planItems)}`);
  if (second.planSpeed !== 1.25) fail(`resumed at ${second.planSpeed}×`);
  await page.goto(url(`patient.html?id=${patient}`), { waitUntil: 'load' });
  await until('both sessions listed', async () => (await page.$$('#sessions tr')).length === 2, 10);
  if (await page.$('button.resume')) fail('Resume is still offered after the chain completed');
  log('ok: resumed with the plan as played, at 1.25×, and completed; Resume no longer offered');

  // --- The first report: the plan as played, both speeds, the check-in, the chain.
  await page.goto(url(`report.html?session=${first.id}`), { waitUntil: 'load' });
  await until('the report is shown', () => page.$('body[data-ready]'), 10);
  // By title; the file's name on hover.
  const planShown = await page.$$eval('#plan li', (li) => li.map((e) => [e.textContent, e.title]));
  if (planShown.length !== 3 || !EXERCISES.every((x, k) => planShown[k][0] === title(x) && planShown[k][1] === x))
    fail(`plan: ${JSON.stringify(planShown)}`);
  const speeds = await page.$$eval('#exercises .speeds', (td) => td.map((e) => e.textContent));
  if (speeds[0] !== '0.75×' || speeds[1] !== '1.25×') fail(`speeds: ${JSON.stringify(speeds)}`);
  if (!/Changed the speed: 0\.75× → 1\.25×/.test(await text('#events'))) fail(`events: ${await text('#events')}`);
  if (/0:00 — Changed the speed/.test(await text('#events'))) fail('the plan\'s own speed is shown as an action');
  if (!(await text('#exercises')).includes('steady')) fail('the report lacks the check-in');
  if (!/Taken up by/.test(await text('#facts'))) fail(`facts: ${await text('#facts')}`);
  // Who did it, from the audit trail: with no accounts, whoever had the access link, in this console's room.
  const room = require('os').hostname();
  const runBy = await page.$$eval('#facts tr', (tr) => tr.map((r) => r.children[0].textContent + ': ' + r.children[1].textContent));
  if (!runBy.includes(`Run by: someone with the access link in ${room}`)) fail(`facts: ${JSON.stringify(runBy)}`);
  const did = await page.$$eval('#audit li', (li) => li.map((e) => e.textContent.replace(/^.* — /, '')));
  const wantDid = [`someone with the access link (${room}): Started the session`,
    `someone with the access link (${room}): speed 1.25× (was 0.75×)`,
    `someone with the access link (${room}): Recorded a check-in`,
    `someone with the access link (${room}): Skipped the exercise`,
    `someone with the access link (${room}): Ended the session`];
  if (JSON.stringify(did) !== JSON.stringify(wantDid)) fail(`who did what: ${JSON.stringify(did, null, 1)}`);
  await page.screenshot({ path: path.join(run, 'record-report.png'), fullPage: true });
  const pdf = path.join(run, 'report.pdf');
  execFileSync(chromium(), ['--headless', '--no-sandbox', '--disable-gpu', '--virtual-time-budget=10000',
    `--user-data-dir=${fs.mkdtempSync(path.join(os.tmpdir(), 'record-print-'))}`, '--no-pdf-header-footer', '--print-to-pdf-no-header',
    `--print-to-pdf=${pdf}`, url(`report.html?session=${first.id}`)], { stdio: 'ignore', timeout: 60000 });
  const size = execFileSync('pdfinfo', [pdf]).toString().match(/Page size:\s+([\d.]+) x ([\d.]+)/);
  if (!size || Math.round(size[1]) !== 595 || Math.round(size[2]) !== 842) fail(`not A4: ${size && size[0]}`);
  const printed = execFileSync('pdftotext', ['-layout', pdf, '-']).toString();
  for (const words of [CODE, ...EXERCISES.map(title), '0.75× → 1.25×', 'Taken up by', 'steady', 'Changed the speed'])
    if (!printed.includes(words)) fail(`the printed report lacks "${words}":\n${printed}`);
  log('ok: the first report, on screen and printed on A4: plan as played, both speeds, check-in, chain');

  // --- The second report: where it came from.
  await page.goto(url(`report.html?session=${second.id}`), { waitUntil: 'load' });
  await until('the second report is shown', () => page.$('body[data-ready]'), 10);
  if (!/Takes up/.test(await text('#facts'))) fail(`second facts: ${await text('#facts')}`);

  if (errors.length) fail(`errors on the page:\n${errors.join('\n')}`);
  await closeBrowser();
  await stopAll();
  log('record browser test passed');
}

runFlow(main);
