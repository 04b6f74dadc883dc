// The robot in 3D, in headless chromium drawing WebGL with its software
// renderer (started by run_browser_test.sh view3d_browser_test). Against a
// console with an access token, step by step, each with a deadline in wall time:
//
//   the library marks what breaks the robot's joint limits, in words, and
//   gives the fastest speed of each exercise; the preview of "arms forward"
//   plays by the clock (the row shown at each frame is the one whose start
//   has come, read at several moments, and it ends at the recording's length);
//   the hands, read from the 3D scene, hang below the shoulders before the
//   raise and are forward by the arm's length at the raised rows; a
//   screenshot of the view; without WebGL the page says so and still lists
//   the exercises; the plan editor offers no speed above what its exercises
//   allow; the running page draws the last row the node sent.
'use strict';

const fs = require('fs');
const path = require('path');
const { run, log, fail, sleep, until: untilWithin, start, stopAll, launchBrowser, closeBrowser, runFlow } = require('./kit');
const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const screenshotCopy = process.env.KINORA_CONSOLE_SCREENSHOT || '';
const STEP_SECONDS = 20;   // wall deadline of a step
const until = (what, cond, seconds = STEP_SECONDS) => untilWithin(what, cond, seconds);
const TOKEN = 'view3d-test-token';
const SPEED = 5;           // simulated seconds per wall second, for the session

// The robot's facts: the hand's centre is the upper arm (0.105), the forearm
// to the wrist (0.05595) and the hand (0.05775) forward of the shoulder with
// the arm stretched forward, and 0.0123 below it.
const ARM_FORWARD = 0.105 + 0.05595 + 0.05775;
const HAND_BELOW = 0.0123;
const LEFT_SHOULDER_PITCH = 2;

// A row of 22 angles and a duration: the elbows a little bent (straight is
// past their range), the rest 0 but what is given.
function row(duration, set = {}) {
  const angles = new Array(22).fill(0);
  angles[5] = -0.5;
  angles[9] = 0.5;
  Object.entries(set).forEach(([k, v]) => { angles[Number(k)] = v; });
  return angles.map((a) => a.toFixed(4)).concat([duration.toFixed(2)]).join(' ');
}

// The library: the tenth sample, a recording whose left shoulder goes past
// its range (never playable), one that jumps too fast at its own pace
// (playable slower), and the running session's small exercise: both arms
// down, raised forward over 2 s, held 1 s at the last row.
function writeLibrary(dir) {
  fs.mkdirSync(dir);
  fs.copyFileSync(path.join(process.env.KINORA_SIM_EXERCISES, '10_arms_forward.txt'),
    path.join(dir, '10_arms_forward.txt'));
  fs.writeFileSync(path.join(dir, 'past_range.txt'),
    [row(0.5), row(0.5, { 3: 0.6 }), row(0.5, { 3: 1.5 }), row(0.5, { 3: 0.6 })].join('\n') + '\n');
  // 1.2 rad in 0.2 s is 6 rad/s: within 8.268 up to 1.378x; 2.4 rad at once is 12 rad/s: only up to 0.689x.
  fs.writeFileSync(path.join(dir, 'jumps.txt'),
    [row(0.2), row(0.2, { 2: 1.2 }), row(0.2, { 2: -1.2 })].join('\n') + '\n');
  const raise = [];
  for (let i = 0; i <= 50; ++i) {
    const pitch = 1.5 * (1 - i / 50);
    raise.push(row(i === 50 ? 1.0 : 0.04, { 2: pitch, 6: pitch }));
  }
  fs.writeFileSync(path.join(dir, 'raise.txt'), raise.join('\n') + '\n');
  return raise.map((line) => line.split(' ').map(Number));
}

// The start of each row on the preview's clock: row 0 held firstRowSeconds,
// every later row its own duration.
function startsOf(rows, firstRowSeconds) {
  const starts = [];
  let t = 0;
  rows.forEach((r, k) => { starts.push(t); t += k === 0 ? firstRowSeconds : Math.max(0, r[22]); });
  return { starts, length: t };
}
function rowAt(starts, t) {
  let k = 0;
  while (k + 1 < starts.length && starts[k + 1] <= t) ++k;
  return k;
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh view3d_browser_test');
  const logs = [];
  const library = path.join(run, 'library');
  const raiseRows = writeLibrary(library);

  const con = start('console', [consoleProgram, '_port:=0', `_token:=${TOKEN}`, `_recording_dir:=${library}/`,
    `_database:=${path.join(run, 'clinic.db')}`]);
  const line = await until('the console prints its address',
    () => con.lines.find((l) => l.startsWith('console: http://')) || (con.exited && fail('the console ended')), 15);
  const origin = new URL(line.slice('console: '.length)).origin;
  log(`console on ${origin} (with a token)`);

  const browser = await launchBrowser('view3d');
  const page = await browser.newPage();
  page.on('console', (m) => logs.push(`page: ${m.text()}`));
  page.on('pageerror', (e) => logs.push(`page error: ${e.message}`));
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(`${origin}/library.html?token=${TOKEN}`, { waitUntil: 'load' });
  const text = (selector) => page.$eval(selector, (e) => e.textContent.trim()).catch(() => '');
  const entry = (name) => page.$$eval(`#recordings tr[data-name="${name}"] td`, (tds) => tds.map((td) => td.textContent.trim()));

  // --- The library's marks.
  await until('the library lists the four exercises', async () => (await page.$$('#recordings tr')).length === 4);
  const far = await entry('past_range.txt');
  if (far[4] !== 'Cannot be played: At 0:02.5 the left shoulder goes further than the robot can.' +
      'row 2: LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad' || far[5] !== '') {
    fail(`past_range.txt is shown as: ${JSON.stringify(far)}`);
  }
  const jumps = await entry('jumps.txt');
  if (!/up to 0\.5×$/.test(jumps[2]) || !jumps[4].startsWith(
    'At 0:02.2 the left shoulder moves faster than the robot can at the recorded pace: play it slower.row 2: ' +
      'LShoulderPitch moves 2.4 rad in 0.2 s at speed 1')) {
    fail(`jumps.txt is shown as: ${JSON.stringify(jumps)}`);
  }
  const forward = await entry('10_arms_forward.txt');
  if (!/up to 2×$/.test(forward[2]) || forward[4] !== '') fail(`10_arms_forward.txt is shown as: ${JSON.stringify(forward)}`);
  log('ok: the library marks the limits in words, with each exercise\'s fastest speed');

  // --- The 3D view is drawn with WebGL.
  await until('the 3D view is ready', async () => {
    const state = await page.evaluate(() => KinoraRobot.state());
    if (state === 'unavailable') fail(`the 3D view is unavailable: ${await text('#robot-view')}`);
    return state === 'ready';
  });
  if ((await text('#robot-view')) !== 'Choose Preview on an exercise') fail(`before a preview: "${await text('#robot-view')}"`);

  // --- The preview plays by the clock.
  const lib = await page.evaluate((t) => fetch('/api/clinic/library/10_arms_forward.txt/rows',
    { headers: { 'X-Console-Token': t } }).then((r) => r.json()), TOKEN);
  const { starts, length } = startsOf(lib.rows, lib.firstRowSeconds);
  const clicked = await page.evaluate(() => performance.now());
  await page.$eval('#recordings tr[data-name="10_arms_forward.txt"] button', (b) => b.click());
  const frames = [];
  let seen = null;
  for (;;) {
    // The next frame the page shows: its row, and its time by the frame's own clock.
    seen = await until('the preview shows its next frame', async () => {
      const f = await page.evaluate(() => KinoraPreview.lastFrame());
      return f && (!seen || f.frameTime > seen.frameTime) && f;
    }, 5);
    if (seen.anchor < clicked) fail(`the preview's clock began before Preview was pressed: ${JSON.stringify(seen)}`);
    const shown = rowAt(starts, (seen.frameTime - seen.anchor) / 1000);
    if (seen.row !== shown) fail(`at ${((seen.frameTime - seen.anchor) / 1000).toFixed(3)} s the preview shows row ${seen.row}, not row ${shown} (${JSON.stringify(seen)})`);
    frames.push(seen);
    if (!seen.playing) break;
    await sleep(1500);
  }
  const last = frames[frames.length - 1];
  if (last.row !== lib.rows.length - 1 || last.seconds !== length || last.frameTime - last.anchor < length * 1000) {
    fail(`the preview ended at ${JSON.stringify(last)}; ${lib.rows.length} rows last ${length} s`);
  }
  log(`ok: ${lib.rows.length} rows shown over ${length.toFixed(2)} s of the clock; at each of ${frames.length} ` +
      `frames the row whose time had come (${frames.map((f) => `${f.seconds.toFixed(1)} s: row ${f.row}`).join(', ')})`);

  // --- The hands, read from the scene, at a moment before the raise and at the raised row.
  const raised = lib.rows.reduce((best, r, k) => (Math.abs(r[LEFT_SHOULDER_PITCH]) <
    Math.abs(lib.rows[best][LEFT_SHOULDER_PITCH]) ? k : best), 0);
  async function handsAt(seconds) {
    await page.$eval('#preview-time', (input, s) => {
      input.value = String(s);
      input.dispatchEvent(new Event('input'));
    }, seconds);
    return page.evaluate(() => ({
      frame: KinoraPreview.lastFrame(),
      drawn: KinoraRobot.drawnAngles(),
      ...Object.fromEntries(['l_gripper', 'LShoulder', 'r_gripper', 'RShoulder'].map((f) => [f, KinoraRobot.framePosition(f)]))
    }));
  }
  const before = await handsAt(1.0);
  const at = await handsAt(starts[raised]);
  for (const [hand, shoulder] of [['l_gripper', 'LShoulder'], ['r_gripper', 'RShoulder']]) {
    const b = before[hand], s = before[shoulder], a = at[hand];
    if (before.frame.row !== 0 || !(s[2] - b[2] > 0.15) || !(Math.abs(b[0] - s[0]) < 0.1)) {
      fail(`before the raise ${hand} is at ${JSON.stringify(b)}, the shoulder at ${JSON.stringify(s)}`);
    }
    if (at.frame.row !== raised || Math.abs(a[0] - s[0] - ARM_FORWARD) > 0.01 || Math.abs(s[2] - HAND_BELOW - a[2]) > 0.02) {
      fail(`at the raised row ${raised} ${hand} is at ${JSON.stringify(a)}, the shoulder at ${JSON.stringify(s)}: ` +
           `not ${ARM_FORWARD} forward and ${HAND_BELOW} below it`);
    }
  }
  if (Math.abs(at.drawn.LShoulderPitch - lib.rows[raised][LEFT_SHOULDER_PITCH]) > 1e-6) {
    fail(`the raised row's shoulder pitch ${lib.rows[raised][LEFT_SHOULDER_PITCH]} is drawn as ${at.drawn.LShoulderPitch}`);
  }
  const f = (p) => `(${p.map((v) => v.toFixed(3)).join(', ')})`;
  log(`ok: left hand ${f(before.l_gripper)} before the raise, ${f(at.l_gripper)} at row ${raised} ` +
      `(shoulder ${f(at.LShoulder)}): ${(at.l_gripper[0] - at.LShoulder[0]).toFixed(4)} m forward, facts say ${ARM_FORWARD.toFixed(4)}`);

  const shot = path.join(run, 'robot-3d.png');
  const section = await page.$('section.robot');
  await section.screenshot({ path: shot });
  if (screenshotCopy) fs.copyFileSync(shot, screenshotCopy);
  log(`ok: screenshot ${shot}${screenshotCopy ? ` (and ${screenshotCopy})` : ''}`);

  // --- Without WebGL: words in its place, the rest of the page as it was.
  const plain = await browser.newPage();
  await plain.evaluateOnNewDocument(() => {
    const getContext = HTMLCanvasElement.prototype.getContext;
    HTMLCanvasElement.prototype.getContext = function (kind, ...rest) {
      return /webgl/.test(kind) ? null : getContext.call(this, kind, ...rest);
    };
  });
  await plain.goto(`${origin}/library.html?token=${TOKEN}`, { waitUntil: 'load' });
  await until('the page says it cannot show the robot in 3D', () => plain.evaluate(() => KinoraRobot.state() === 'unavailable'));
  const words = await plain.$eval('#robot-view', (e) => e.textContent.trim());
  if (words !== 'The robot cannot be shown in 3D here: this browser has no WebGL 2 (or it is switched off). ' +
      'Everything else on this page works.') fail(`without WebGL the view says: "${words}"`);
  await until('the library is listed all the same', async () => (await plain.$$('#recordings tr')).length === 4);
  await plain.$eval('#recordings tr[data-name="10_arms_forward.txt"] button', (b) => b.click());
  await until('the preview still counts its rows', async () =>
    /^0:\d\d\.\d of 0:13\.9 · row \d+ of 300$/.test(await plain.$eval('#preview-progress', (e) => e.textContent)));
  await plain.close();
  log(`ok: without WebGL: "${words}"; the library and the preview's progress work`);

  // --- The plan editor offers no speed above what its exercises allow.
  await page.goto(`${origin}/clinic.html?token=${TOKEN}`, { waitUntil: 'load' });
  await page.type('#code', 'P-0026');
  await page.click('#add button');
  await until('the patient is listed', async () => (await text('#patients')).includes('P-0026'));
  await Promise.all([page.waitForNavigation(), page.click('.patient-link')]);
  await until('the library is offered', () => page.$('#library option[value="jumps.txt"]'));
  if (!(await page.$eval('#library option[value="past_range.txt"]', (o) => o.disabled))) fail('past_range.txt can be chosen');
  await page.click('#new-plan');
  await page.select('#library', '10_arms_forward.txt');
  await page.click('#add-item');
  await page.select('#plan-speed', '2');
  await page.select('#library', 'jumps.txt');
  await page.click('#add-item');
  const offered = await page.$$eval('#plan-speed option', (os) => os.filter((o) => !o.disabled).map((o) => o.value));
  if (JSON.stringify(offered) !== JSON.stringify(['0.25', '0.5']) || (await page.$eval('#plan-speed', (e) => e.value)) !== '0.5') {
    fail(`with jumps.txt the speeds offered are ${JSON.stringify(offered)}, chosen ${await page.$eval('#plan-speed', (e) => e.value)}`);
  }
  if ((await text('#speed-cap')) !== 'At most 0.5×: faster, Jumps would move the robot faster than it can.') {
    fail(`the speed's note: "${await text('#speed-cap')}"`);
  }
  await page.click('#save-plan');
  await until('the plan is saved', async () => /saved/.test(await text('#message')));
  const patientId = new URL(page.url()).searchParams.get('id');
  const plans = await page.evaluate((id, t) => fetch(`/api/clinic/patients/${id}`, { headers: { 'X-Console-Token': t } })
    .then((r) => r.json()), patientId, TOKEN);
  if (plans.plans.length !== 1 || plans.plans[0].speed !== 0.5) fail(`the plans saved: ${JSON.stringify(plans.plans)}`);
  log(`ok: the plan editor offers ${offered.join('× and ')}× with jumps.txt in the plan, and saves 0.5×`);

  // --- The running page draws the rows the node sends: the last one, arms forward.
  await page.goto(`${origin}/?token=${TOKEN}`, { waitUntil: 'load' });
  await until('the running page\'s 3D view is ready', () => page.evaluate(() => KinoraRobot.state() === 'ready'));
  const robot = start('robot', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'teach_robot.launch', `speed:=${SPEED}`]);
  // One roslaunch at a time: the second checks the run id the first has set.
  await until('the simulated robot\'s four programs are started', () =>
    robot.lines.filter((l) => /^process\[.*\]: started with pid/.test(l.replace(/\x1b\[[0-9;]*m/g, ''))).length === 4 ||
    (robot.exited && fail('the simulated robot ended')), 30);
  const coach = start('coach', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'teach_session.launch', `recording_dir:=${library}/`, 'file:=raise.txt']);
  const lastSent = raiseRows[raiseRows.length - 1];
  const drawn = await until('the running page draws the last row sent', async () => {
    const d = await page.evaluate(() => KinoraRobot.drawnAngles());
    return d && Math.abs(d.LShoulderPitch - lastSent[2]) < 1e-6 && Math.abs(d.RShoulderPitch - lastSent[6]) < 1e-6 &&
      Math.abs(d.LElbowRoll - lastSent[5]) < 1e-6 && d;
  }, 60);
  const hand = await page.evaluate(() => KinoraRobot.framePosition('l_gripper'));
  const shoulder = await page.evaluate(() => KinoraRobot.framePosition('LShoulder'));
  if (!(hand[0] - shoulder[0] > 0.15) || Math.abs(hand[2] - shoulder[2]) > 0.05) {
    fail(`with the last row sent, the left hand is at ${JSON.stringify(hand)}, the shoulder at ${JSON.stringify(shoulder)}`);
  }
  log(`ok: the running page draws the last row sent (shoulder pitch ${drawn.LShoulderPitch}), the hand forward ${f(hand)}`);
  await until('the session ends', () => coach.exited, 60);

  const errors = logs.filter((l) => l.startsWith('page error'));
  if (errors.length) fail(`errors on the page:\n${errors.join('\n')}`);
  await closeBrowser();
  await stopAll();
  log('3D view browser test passed');
}

runFlow(main, async () => {
  console.log('page lines:');
});
