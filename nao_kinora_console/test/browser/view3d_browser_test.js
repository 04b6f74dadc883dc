// The robot in 3D, in headless chromium drawing WebGL with its software
// renderer (run_browser_test.sh view3d_browser_test), on a console with a
// token: the library's marks in words; the preview of "arms forward" by the
// clock; the hands, read from the scene, below the shoulders before the raise
// and forward by the arm's length at the raised row; a screenshot; the page
// without WebGL; the plan editor's speed cap; the running page's pose.
'use strict';

const fs = require('fs');
const path = require('path');
const { run, log, fail, sleep, until: untilWithin, start, stopAll, launchBrowser, closeBrowser, runFlow } = require('./kit');
const until = (what, cond, seconds = 20) => untilWithin(what, cond, seconds);
const TOKEN = 'view3d-test-token';
// The robot's facts: with the arm stretched forward the hand's centre is the
// upper arm, forearm and hand (0.105 + 0.05595 + 0.05775) forward of the
// shoulder and 0.0123 below it.
const ARM_FORWARD = 0.105 + 0.05595 + 0.05775;
const HAND_BELOW = 0.0123;

// A row: the elbows a little bent (straight is past their range), the rest 0 but what is set.
function row(duration, set = {}) {
  const angles = Object.assign(new Array(22).fill(0), { 5: -0.5, 9: 0.5 }, set);
  return angles.map((a) => a.toFixed(4)).concat([duration.toFixed(2)]).join(' ');
}

// The library: the tenth sample; the left shoulder past its range (never
// playable); a jump of 2.4 rad in 0.2 s (playable up to 0.689x); and the
// running session's exercise, both arms raised forward over 2 s.
function writeLibrary(dir) {
  fs.mkdirSync(dir);
  fs.copyFileSync(path.join(process.env.KINORA_SIM_EXERCISES, '10_arms_forward.txt'), path.join(dir, '10_arms_forward.txt'));
  const write = (name, rows) => fs.writeFileSync(path.join(dir, name), rows.join('\n') + '\n');
  write('past_range.txt', [row(0.5), row(0.5, { 3: 0.6 }), row(0.5, { 3: 1.5 }), row(0.5, { 3: 0.6 })]);
  write('jumps.txt', [row(0.2), row(0.2, { 2: 1.2 }), row(0.2, { 2: -1.2 })]);
  const raise = [...Array(51).keys()].map((i) => row(i === 50 ? 1 : 0.04, { 2: 1.5 * (1 - i / 50), 6: 1.5 * (1 - i / 50) }));
  write('raise.txt', raise);
  return raise[50].split(' ').map(Number);
}

// The start of each row on the preview's clock, and the row whose start has come at t.
function startsOf(rows, firstRowSeconds) {
  let t = 0;
  const starts = rows.map((r, k) => { const s = t; t += k === 0 ? firstRowSeconds : Math.max(0, r[22]); return s; });
  return { starts, length: t };
}
const rowAt = (starts, t) => starts.filter((s) => s <= t).length - 1;

async function main() {
  const logs = [];
  const library = path.join(run, 'library');
  const lastRaise = writeLibrary(library);
  const con = start('console', [process.env.KINORA_CONSOLE_PROGRAM, '_port:=0', `_token:=${TOKEN}`,
    `_recording_dir:=${library}/`, `_database:=${path.join(run, 'clinic.db')}`]);
  const line = await until('the console prints its address',
    () => con.lines.find((l) => l.startsWith('console: http://')) || (con.exited && fail('the console ended')));
  const origin = new URL(line.slice('console: '.length)).origin;

  const browser = await launchBrowser('view3d');
  const page = await browser.newPage();
  page.on('pageerror', (e) => logs.push(e.message));
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(`${origin}/library.html?token=${TOKEN}`, { waitUntil: 'load' });
  const text = (selector, p = page) => p.$eval(selector, (e) => e.textContent.trim()).catch(() => '');
  const cells = (name) => page.$$eval(`#recordings tr[data-name="${name}"] td`, (tds) => tds.map((td) => td.textContent.trim()));

  // --- The library's marks: playing time and fastest speed, the problems' words.
  await until('the library lists the four exercises', async () => (await page.$$('#recordings tr')).length === 4);
  // The therapist's sentence in the row; the node's own words on hover (the span's title).
  const marks = {
    'past_range.txt': [/^0:04 of movement$/, 'Cannot be played. At 0:02.5 the left shoulder goes further than the robot can.',
      'row 2: LShoulderRoll at 1.5 rad is above its upper limit 1.3264 rad'],
    'jumps.txt': [/up to 0\.5×$/, 'At 0:02.2 the left shoulder moves faster than the robot can at the recorded pace: ' +
      'play it slower.', 'row 2: LShoulderPitch moves 2.4 rad in 0.2 s at speed 1: 12 rad/s, above its maximum 8.268 rad/s'],
    '10_arms_forward.txt': [/up to 2×$/, '', ''],
  };
  for (const [name, [time, problems, detail]] of Object.entries(marks)) {
    const c = await cells(name);
    const hover = await page.$eval(`#recordings tr[data-name="${name}"] td.problems span`, (e) => e.title);
    if (!time.test(c[2]) || c[5] !== problems || hover !== detail) fail(`${name} is shown as ${JSON.stringify(c)}, "${hover}" on hover`);
  }
  log('ok: the library marks the limits in words, with each exercise\'s fastest speed');

  await until('the 3D view is ready', async () => {
    const state = await page.evaluate(() => KinoraRobot.state());
    return state === 'unavailable' ? fail(`the 3D view says: ${await text('#robot-view')}`) : state === 'ready';
  });

  // --- The preview by the clock: at each frame sampled, the row whose start
  // has come by the frame's own time, from an anchor after the click.
  const lib = await page.evaluate((t) => fetch('/api/clinic/library/10_arms_forward.txt/rows',
    { headers: { 'X-Console-Token': t } }).then((r) => r.json()), TOKEN);
  const { starts, length } = startsOf(lib.rows, lib.firstRowSeconds);
  const clicked = await page.evaluate(() => performance.now());
  await page.$eval('#recordings tr[data-name="10_arms_forward.txt"] button', (b) => b.click());
  const frames = [];
  for (let seen = null; !seen || seen.playing; await sleep(1500)) {
    seen = await until('the preview shows its next frame', async () => {
      const f = await page.evaluate(() => KinoraPreview.lastFrame());
      return f && (!seen || f.frameTime > seen.frameTime) && f;
    }, 5);
    // A display frame's time is when the frame began, which may be a little
    // before the anchor taken when Play was pressed in it: that frame shows the start.
    const t = Math.min(length, Math.max(0, (seen.frameTime - seen.anchor) / 1000));
    if (seen.anchor < clicked || seen.row !== rowAt(starts, t)) fail(`at ${t} s the preview shows ${JSON.stringify(seen)}`);
    frames.push(seen);
  }
  const last = frames[frames.length - 1];
  if (last.row !== lib.rows.length - 1 || last.seconds !== length || last.frameTime - last.anchor < length * 1000) {
    fail(`the preview ended at ${JSON.stringify(last)}; ${lib.rows.length} rows last ${length} s`);
  }
  log(`ok: ${lib.rows.length} rows over ${length.toFixed(2)} s of the clock; ${frames.length} frames each at its row ` +
      `(${frames.map((f) => `${f.seconds.toFixed(1)} s: row ${f.row}`).join(', ')})`);

  // --- The hands from the scene, with the slider before the raise and at the raised row.
  const raised = lib.rows.reduce((best, r, k) => (Math.abs(r[2]) < Math.abs(lib.rows[best][2]) ? k : best), 0);
  const handsAt = (seconds) => page.evaluate((s) => {
    const input = document.getElementById('preview-time');
    input.value = String(s);
    input.dispatchEvent(new Event('input'));
    const at = (f) => KinoraRobot.framePosition(f);
    return { row: KinoraPreview.lastFrame().row, drawn: KinoraRobot.drawnAngles(), l: at('l_gripper'),
             ls: at('LShoulder'), r: at('r_gripper'), rs: at('RShoulder') };
  }, seconds);
  const before = await handsAt(1.0), up = await handsAt(starts[raised]);
  for (const [hand, shoulder] of [['l', 'ls'], ['r', 'rs']]) {
    const s = before[shoulder];
    if (before.row !== 0 || !(s[2] - before[hand][2] > 0.15) || !(Math.abs(before[hand][0] - s[0]) < 0.1)) {
      fail(`before the raise: hand ${before[hand]}, shoulder ${s}`);
    }
    if (up.row !== raised || Math.abs(up[hand][0] - s[0] - ARM_FORWARD) > 0.01 || Math.abs(s[2] - HAND_BELOW - up[hand][2]) > 0.02) {
      fail(`at row ${raised}: hand ${up[hand]}, shoulder ${s}: not ${ARM_FORWARD} forward and ${HAND_BELOW} below`);
    }
  }
  if (up.drawn.LShoulderPitch !== Math.fround(lib.rows[raised][2])) fail(`drawn ${JSON.stringify(up.drawn)}`);
  const f = (p) => `(${p.map((v) => v.toFixed(3)).join(', ')})`;
  log(`ok: left hand ${f(before.l)} before the raise, ${f(up.l)} at row ${raised}, shoulder ${f(up.ls)}: ` +
      `${(up.l[0] - up.ls[0]).toFixed(4)} m forward, the facts say ${ARM_FORWARD.toFixed(4)}`);
  const shot = path.join(run, 'robot-3d.png');
  await (await page.$('section.robot')).screenshot({ path: shot });
  if (process.env.KINORA_CONSOLE_SCREENSHOT) fs.copyFileSync(shot, process.env.KINORA_CONSOLE_SCREENSHOT);

  // --- Without WebGL: words in the view's place, the rest of the page as it was.
  const plain = await browser.newPage();
  await plain.evaluateOnNewDocument(() => {
    const getContext = HTMLCanvasElement.prototype.getContext;
    HTMLCanvasElement.prototype.getContext = function (kind, ...rest) {
      return /webgl/.test(kind) ? null : getContext.call(this, kind, ...rest);
    };
  });
  await plain.goto(`${origin}/library.html?token=${TOKEN}`, { waitUntil: 'load' });
  await until('the library is listed', async () => (await plain.$$('#recordings tr button')).length === 3);
  await plain.$eval('#recordings tr[data-name="10_arms_forward.txt"] button', (b) => b.click());
  await until('the preview counts its time', async () => {
    const m = (await text('#preview-progress', plain)).match(/^(\d+:\d\d\.\d) of \d+:\d\d of movement$/);
    return m && m[1] !== '0:00.0';
  });
  const words = await text('#robot-view', plain);
  if (words !== 'The robot cannot be shown in 3D here: this browser has no WebGL 2 (or it is switched off). ' +
      'Everything else on this page works.') fail(`without WebGL the view says: "${words}"`);
  await plain.close();
  log(`ok: without WebGL: "${words}"; the library and the preview's progress work`);

  // --- The plan editor offers no speed above what its exercises allow.
  await page.goto(`${origin}/clinic.html?token=${TOKEN}`, { waitUntil: 'load' });
  await page.type('#code', 'P-0026');
  await page.click('#add button');
  await until('the patient is listed', async () => (await text('#patients')).includes('P-0026'));
  await Promise.all([page.waitForNavigation(), page.click('.patient-link')]);
  await until('the library is offered', () => page.$('#library option[value="jumps.txt"]'));
  await page.click('#new-plan');
  for (const [select, value] of [['#library', '10_arms_forward.txt'], ['#plan-speed', '2'], ['#library', 'jumps.txt']]) {
    await page.select(select, value);
    if (select === '#library') await page.click('#add-item');
  }
  const offered = await page.$$eval('#plan-speed option', (os) => os.filter((o) => !o.disabled).map((o) => o.value));
  const note = await text('#speed-cap');
  if (offered.join() !== '0.25,0.5' || note !== 'At most 0.5×: faster, Jumps would move the robot faster than it can.') {
    fail(`with jumps.txt the speeds offered are ${offered}, and the page says "${note}"`);
  }
  await page.click('#save-plan');
  await until('the plan is saved', async () => /saved/.test(await text('#message')));
  const saved = await page.evaluate((id, t) => fetch(`/api/clinic/patients/${id}`, { headers: { 'X-Console-Token': t } })
    .then((r) => r.json()), new URL(page.url()).searchParams.get('id'), TOKEN);
  if (saved.plans.map((p) => p.speed).join() !== '0.5') fail(`the plans saved: ${JSON.stringify(saved.plans)}`);
  log('ok: the plan editor offers 0.25× and 0.5× once jumps.txt is in the plan, and saves 0.5×');

  // --- The running page draws the last row the node sent: the arms forward.
  await page.goto(`${origin}/?token=${TOKEN}`, { waitUntil: 'load' });
  const robot = start('robot', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'teach_robot.launch', 'speed:=5']);
  // One roslaunch at a time: the second checks the run id the first has set.
  await until('the simulated robot\'s four programs are started', () => robot.lines.filter((l) =>
    /^process\[.*\]: started with pid/.test(l.replace(/\x1b\[[0-9;]*m/g, ''))).length === 4, 30);
  const coach = start('coach', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'teach_session.launch', `recording_dir:=${library}/`, 'file:=raise.txt']);
  await until('the running page draws the last row sent', () => page.evaluate((sent) => {
    const d = KinoraRobot.drawnAngles();
    return !!d && [['LShoulderPitch', 2], ['LElbowRoll', 5], ['RShoulderPitch', 6]].every(([j, k]) => d[j] === Math.fround(sent[k]));
  }, lastRaise), 60);
  const [hand, shoulder] = await page.evaluate(() => ['l_gripper', 'LShoulder'].map((n) => KinoraRobot.framePosition(n)));
  if (!(hand[0] - shoulder[0] > 0.15) || Math.abs(hand[2] - shoulder[2]) > 0.05) fail(`the hand at ${hand}, shoulder ${shoulder}`);
  log(`ok: the running page draws the last row sent, the left hand forward ${f(hand)}`);
  await until('the session ends', () => coach.exited, 60);

  if (logs.length) fail(`errors on the page:\n${logs.join('\n')}`);
  await closeBrowser();
  await stopAll();
  log('3D view browser test passed');
}

runFlow(main);
