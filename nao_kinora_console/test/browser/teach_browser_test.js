// "Add an exercise" in headless chromium (started by run_browser_test.sh
// teach_browser_test, which sets up the master and the environment). Step by
// step, each with a deadline in wall time:
//
//   a small generated exercise played by the node under a session: the
//   robot's live pose drawn, and Record refused on the page with the reason;
//   after the session, Record while another tool moves the robot, Stop: the
//   result's length, rows and moving joints; Preview plays in the 3D view;
//   Save under an existing exercise's name asks first and keeps it when told;
//   Save under a new name writes a recording that the check tool plays, and
//   the page lists it; the clinic's library lists it as playable and it goes
//   into a patient's plan. At every step, on a tablet (800 px): no ROS or
//   internal words, no horizontal scroll, no console error.
'use strict';

const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { run, log, fail, sleep, until: untilWithin, start, stopAll, launchBrowser, closeBrowser, runFlow, TABLET, openPage,
  allowError, checkView } = require('./kit');
const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const screenshotDir = process.env.KINORA_CONSOLE_SCREENSHOT_DIR || '';
const SPEED = 5;           // simulated seconds per wall second
const STEP_SECONDS = 20;   // wall deadline of a step
const until = (what, cond, seconds = STEP_SECONDS) => untilWithin(what, cond, seconds);
const MOVE_SECONDS = 4;    // simulated seconds of the taught motion


// A small exercise for the session: the right arm out and back, 60 rows.
function writeExercise(file) {
  const lines = [];
  for (let i = 0; i < 60; ++i) {
    const angles = new Array(22).fill(0);
    angles[2] = 1.5;  // both arms down at the ends, as teach_mover.py starts
    angles[6] = 1.5 - 0.5 * Math.sin(Math.PI * i / 59);
    angles[5] = -0.5;  // the elbows a little bent: a straight one is past its range
    angles[9] = 0.5;
    lines.push(angles.map((a) => a.toFixed(4)).concat(['0.04']).join(' '));
  }
  fs.writeFileSync(file, lines.join('\n') + '\n');
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh teach_browser_test');
  const library = path.join(run, 'library');
  fs.mkdirSync(library);
  writeExercise(path.join(library, 'small.txt'));
  // small's own introduction: the one the teaching page offers for the new exercise.
  fs.writeFileSync(path.join(library, 'small.txt.cues'), '{"introduction": [{"cue": "kollaryana.wav", "pause": 5}]}\n');
  const smallBefore = fs.readFileSync(path.join(library, 'small.txt'), 'utf8');

  // --- The simulated robot, then the console with the exercise folder.
  start('robot', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'teach_robot.launch', `speed:=${SPEED}`]);
  const con = start('console', [consoleProgram, '_port:=0', `_recording_dir:=${library}/`,
    `_database:=${path.join(run, 'clinic.db')}`]);
  const line = await until('the console prints its address',
    () => con.lines.find((l) => l.startsWith('console: http://')) || (con.exited && fail('the console ended')), 15);
  const url = line.slice('console: '.length);
  log(`console on ${url}`);

  const browser = await launchBrowser('teach');
  const page = await openPage(browser, TABLET);
  allowError(page, '/api/teach/', 'status of 409');  // Record refused while a session plays; Save asks before replacing
  await page.goto(url, { waitUntil: 'load' });
  await page.click('#teach-link');
  await page.waitForSelector('#record');
  if (!page.url().endsWith('/teach.html')) fail(`the session page's link leads to ${page.url()}`);

  const text = (selector) => page.$eval(selector, (e) => e.textContent.trim()).catch(() => '');
  const apiGet = (target) => page.evaluate((t) => fetch(t).then((r) => r.json()), target);
  const apiPost = (target, body) => page.evaluate((t, b) => fetch(t, { method: 'POST',
    headers: { 'Content-Type': 'application/json' }, body: b }).then((r) => r.json()), target, JSON.stringify(body));
  const seen = new Set();
  async function noRosWords(when) {
    await checkView(page, when);
    seen.add(when);
  }
  async function setName(name) {
    await page.$eval('#name', (e) => { e.value = ''; });
    await page.type('#name', name);
  }

  await noRosWords('before the robot moves');

  // --- A session plays the small exercise: Record is refused, with the reason.
  const coach = start('coach', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'teach_session.launch', `recording_dir:=${library}/`, 'file:=small.txt']);
  await until('the session is under way', async () => {
    const s = await apiGet('/api/status');
    return s.coach === 'running' && !s.over && s.phase !== 'none';
  }, 30);
  // Paused while Record is tried: at 5x the whole session lasts some 5 s of
  // wall time, which a slow step here would let run out.
  const paused = await apiPost('/api/pause', { pause: true });
  if (!paused.ok) fail(`the session was not paused: ${JSON.stringify(paused)}`);
  await setName('taught_arm');
  await page.click('#record');
  const refusal = await until('the refusal shows the reason', async () => {
    const m = await text('#message');
    return /^Not done: A session is playing on the robot/.test(m) && m;
  }, 5);
  if ((await apiGet('/api/teach')).state !== 'idle') fail('a recording began while the session played');
  await noRosWords('while the session plays');
  log(`ok: Record refused while the session plays: "${refusal}"`);
  const resumed = await apiPost('/api/pause', { pause: false });
  if (!resumed.ok) fail(`the session was not resumed: ${JSON.stringify(resumed)}`);
  // The simulated robot tells its pose once it is given one.
  await until('the robot\'s pose is drawn in 3D', () => page.evaluate(() => KinoraRobot.drawnAngles() !== null), 30);
  log('ok: the live 3D view shows the robot');

  await until('the session ends', () => coach.exited, 60);
  log('ok: the session is over');

  // --- Record while the robot is moved another way; Stop.
  await page.click('#record');
  await until('the page says it records', async () => /^Recording taught_arm\.txt/.test(await text('#teach-state')), 5);
  const mover = start('mover', ['/usr/bin/python3', path.join(__dirname, 'teach_mover.py'), String(MOVE_SECONDS)]);
  await until('the motion is sent', () => mover.exited, 30);
  if (mover.exited.code !== 0) fail(`the mover failed: ${mover.lines.join('\n')}`);
  // A still end after the motion, in recorded (simulated) seconds.
  const movedUntil = (await apiGet('/api/teach')).recorded;
  await until('a still second recorded after the motion', async () => (await apiGet('/api/teach')).recorded > movedUntil + 1, 15);
  await noRosWords('while recording');
  await page.click('#stop');
  await until('the result is shown', () => page.$eval('#result', (e) => !e.hidden), 5);
  const rows = Number(await text('#result-rows'));
  const length = await text('#result-length');
  const moving = await text('#result-moving');
  // The motion's rows as the robot took them in (a busy machine bunches them
  // up, and the slow start and end count as still): more than a second's
  // worth, whatever the pacing.
  if (!(rows > 25)) fail(`rows: ${rows}`);
  if (length !== `${(rows * 0.04).toFixed(1)} s`) fail(`length "${length}" for ${rows} rows`);
  if (moving !== 'left shoulder pitch') fail(`moving joints: "${moving}"`);
  await noRosWords('with the result');
  log(`ok: recorded ${rows} rows, ${length}, moving: ${moving}`);

  if (screenshotDir) {
    await page.screenshot({ path: path.join(screenshotDir, 'teach.png'), fullPage: true });
    log(`ok: screenshot ${path.join(screenshotDir, 'teach.png')}`);
  }

  // --- Preview: the draft's rows in the 3D view, then the live pose again.
  await page.click('#preview');
  await until('the preview plays', async () => /^Preview/.test(await text('#figure-title')), 5);
  await until('the preview ends', async () => (await text('#figure-title')) === 'The robot now', rows * 0.04 + 10);
  log('ok: the preview played');

  // --- Save under the session's exercise name: asked first, kept when told.
  await setName('small');
  await page.click('#save');
  await until('Save asks before replacing', () => page.$eval('#confirm', (e) => !e.hidden), 5);
  if (!/small\.txt exists already/.test(await text('#confirm-text'))) fail(`the question: ${await text('#confirm-text')}`);
  await noRosWords('while asking to replace');
  await page.click('#confirm-keep');
  await sleep(300);
  if (fs.readFileSync(path.join(library, 'small.txt'), 'utf8') !== smallBefore) fail('small.txt was replaced');
  log('ok: an existing exercise is kept when told');

  // --- Save under a new name: written, playable, listed.
  await setName('taught_arm');
  const offered = await page.$$eval('#introduction option', (os) => os.map((o) => o.textContent));
  if (JSON.stringify(offered) !== JSON.stringify(['No introduction', 'Introduction: arms to the side']))
    fail(`the introductions offered: ${offered}`);
  await page.select('#introduction', '0');
  await page.click('#save');
  await until('the page says it is saved with its introduction', async () =>
    /introduced by “Introduction: arms to the side”/.test(await text('#message')), 10);
  const cues = JSON.parse(fs.readFileSync(path.join(library, 'taught_arm.txt.cues'), 'utf8'));
  if (JSON.stringify(cues.introduction) !== '[{"cue":"kollaryana.wav","pause":5}]') fail(`its cue file: ${JSON.stringify(cues)}`);
  log('ok: the new exercise saved with the introduction chosen, in its cue file');
  await until('the page lists it', async () => /taught_arm\.txt/.test(await text('#saved')), 5);
  const saved = path.join(library, 'taught_arm.txt');
  // The console writes the file before it answers the Save.
  const written = fs.readFileSync(saved, 'utf8').trim().split('\n');
  if (written.length !== rows) fail(`${written.length} rows written, ${rows} shown`);
  const check = spawnSync('rosrun', ['nao_kinora', 'nao_kinora_check', '1', 'taught_arm.txt', `_recording_dir:=${library}/`],
    { encoding: 'utf8' });
  if (check.status !== 0) fail(`the check tool refuses it (${check.status}):\n${check.stdout}\n${check.stderr}`);
  const listed = await apiGet('/api/teach');
  if (listed.state !== 'idle' || !listed.saved.includes('taught_arm.txt')) fail(`after Save: ${JSON.stringify(listed)}`);
  await noRosWords('after saving');
  log(`ok: saved ${saved} (${written.length} rows), the check tool plays it`);

  await page.click('#back');
  await until('back on the session page', async () => (await text('#phase')).length > 0 && !page.url().includes('teach'), 10);

  // --- The clinic's library lists it as playable; it goes into a plan.
  const origin = new URL(page.url()).origin;
  await page.goto(`${origin}/library.html`, { waitUntil: 'load' });
  // By its title; the file's name only on hover.
  const entry = await until('the library lists the taught exercise', () => page.$$eval('#recordings tr[data-name="taught_arm.txt"]',
    (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent.trim()))[0]), 10);
  if (entry[0] !== 'Taught arm' || Number(entry[1]) !== rows || /Cannot be played/.test(entry[5]) ||
      entry[4] !== 'left shoulder pitch') {
    fail(`the library shows it as: ${JSON.stringify(entry)}`);
  }
  await noRosWords('in the library');
  await page.goto(`${origin}/clinic.html`, { waitUntil: 'load' });
  await page.type('#code', 'P-0019');
  await page.click('#add button');
  await until('the patient is listed', async () => (await text('#patients')).includes('P-0019'), 5);
  await Promise.all([page.waitForNavigation(), page.click('.patient-link')]);
  await until('the taught exercise is offered', () => page.$('#library option[value="taught_arm.txt"]'), 10);
  await page.click('#new-plan');
  await page.select('#library', 'taught_arm.txt');
  await page.click('#add-item');
  await page.click('#save-plan');
  await until('the plan\'s timeline shows it', async () => (await page.$$('#timeline tr')).length === 1 &&
    /taught arm/i.test(await text('#timeline')), 10);
  const plans = await apiGet('/api/clinic/patients/1');
  if (JSON.stringify(plans.plans.map((p) => p.items)) !== JSON.stringify([['taught_arm.txt']])) {
    fail(`the patient's plans: ${JSON.stringify(plans.plans)}`);
  }
  await noRosWords('with the taught exercise in a plan');
  log('ok: listed in the library as playable, and put in a plan');

  await closeBrowser();
  await stopAll();
  log(`teach browser test passed (${seen.size} views checked for ROS words)`);
}

runFlow(main);
