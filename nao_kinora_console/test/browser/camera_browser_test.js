// The tablet's camera and the range of motion in the record, in headless
// chromium (started by run_browser_test.sh camera_browser_test), against the
// console on a master of the flow's own:
// 1. The camera: a photograph of a person (python3-skimage's astronaut.png,
//    written as a Y4M video here) is chromium's camera. On the running page,
//    "Watch the patient" runs the pose model from the console's own files;
//    the page says the person is only partly in view and which parts are
//    missing, draws the skeleton, and the landmarks come out on /person_pose
//    (heard by pose_listener.py) with a plausible body: shoulders above the
//    hips, the wrists low and on the sides where the photograph has them.
// 2. The record: two sessions of a plan, each played by a stand-in for the
//    coaching node that writes a session log with the tracker's results; the
//    report shows "Left shoulder flexion 128° (robot 160°) · follow 82", the
//    patient's page plots a point per session for that joint.
// Screenshots of the three views go to KINORA_CAMERA_SCREENSHOT_DIR when set.
'use strict';

const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { run, log, fail, until, start, stopAll, launchBrowser, closeBrowser, runFlow, TABLET, openPage, checkView } =
  require('./kit');

const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const shots = process.env.KINORA_CAMERA_SCREENSHOT_DIR || '';
const PHOTO = '/usr/lib/python3/dist-packages/skimage/data/astronaut.png';
// The pose model's first frame loads its WASM and model first: about 10 s on
// a loaded 2-core machine; ten minutes were seen with a load average of 30.
const FIRST_FRAME_SECONDS = 300;
const STEP_SECONDS = 40;

// The coaching node's stand-in: its session log is the flow's next.jsonl,
// written whole, and it ends as the node does after a session.
const NODE = `#!/bin/sh
for a in "$@"; do case "$a" in _session_log:=*) log=\${a#_session_log:=};; esac; done
cp "$(dirname "$0")/next.jsonl" "$log.tmp" && mv "$log.tmp" "$log"
exit 255
`;

// A session of one exercise: played, followed by the tracker, closed.
function sessionLog(person, follow) {
  const events = [
    { event: 'recording loaded', recording: 1, path: '/lib/a.txt' },
    { event: 'start signal', recording: 1 },
    { event: 'last row sent', row: 4 },
    { event: 'report', recording: 1, 'moving joints': [2] },
    { event: 'stop signal', recording: 1 },
    { event: 'trackingfinished', value: 1 },
    { event: 'tracking result', recording: 1, file: 'a.txt', 'ended by': 'completed', seen: true, seconds: 6.5,
      follow, joints: [{ joint: 'left shoulder flexion', seen: true, person, robot: 160.0 },
                       { joint: 'left elbow flexion', seen: false, person: 0, robot: 35.0 }] },
    { event: 'cue', kind: 'closing', file: 'bitis.wav' },
  ];
  return events.map((e, k) => JSON.stringify(Object.assign({ time: 100 + k }, e))).join('\n') + '\n';
}

// Landmarks heard on the topic, by the model's numbering.
const L = { LEFT_SHOULDER: 11, RIGHT_SHOULDER: 12, LEFT_WRIST: 15, RIGHT_WRIST: 16, LEFT_HIP: 23, RIGHT_HIP: 24 };

function plausibleBody(pose) {
  const p = (k) => ({ x: pose.landmarks[k][0], y: pose.landmarks[k][1], z: pose.landmarks[k][2] });
  const shoulders = (p(L.LEFT_SHOULDER).z + p(L.RIGHT_SHOULDER).z) / 2;
  const hips = (p(L.LEFT_HIP).z + p(L.RIGHT_HIP).z) / 2;
  const problems = [];
  if (!(shoulders > hips + 0.25)) problems.push(`shoulders (z ${shoulders.toFixed(2)}) not above the hips (${hips.toFixed(2)})`);
  // Facing the camera: the person's left is +y.
  if (!(p(L.LEFT_SHOULDER).y > p(L.RIGHT_SHOULDER).y + 0.15)) problems.push('the left shoulder is not on the left');
  // In the photograph both hands are low, at the sides of the body.
  for (const [name, k] of [['left', L.LEFT_WRIST], ['right', L.RIGHT_WRIST]])
    if (!(p(k).z < shoulders - 0.2)) problems.push(`the ${name} wrist (z ${p(k).z.toFixed(2)}) is not well below the shoulders`);
  if (!(p(L.LEFT_WRIST).y > p(L.RIGHT_WRIST).y + 0.15)) problems.push('the wrists are not on their own sides');
  return problems;
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh camera_browser_test');
  const video = path.join(run, 'astronaut.y4m');
  execFileSync('/usr/bin/python3', [path.join(__dirname, 'photo_to_y4m.py'), PHOTO, video]);
  const lib = path.join(run, 'library');
  fs.mkdirSync(lib);
  // Five rows of a pose within the robot's joint limits (the elbows bent a little).
  fs.writeFileSync(path.join(lib, 'a.txt'), '0 0 0 0 0 -0.1 0 0 0 0.1 0 0 0 0 0 0 0 0 0 0 0 0 0.1\n'.repeat(5));
  const node = path.join(run, 'node.sh');
  fs.writeFileSync(node, NODE, { mode: 0o700 });

  const listener = start('pose-listener', ['/usr/bin/python3', path.join(__dirname, 'pose_listener.py')]);
  await until('the pose listener is subscribed', () => listener.lines.includes('ready') ||
    (listener.exited && fail(`the pose listener ended: ${listener.lines.join('\n')}`)), 30);
  const con = start('console', [consoleProgram, '_port:=0', `_database:=${path.join(run, 'clinic.db')}`,
    `_recording_dir:=${lib}/`, `_node_program:=${node}`]);
  const address = await until('the console prints its address', () => {
    const line = con.lines.find((l) => /^console: http:\/\/\S+\/$/.test(l));
    return (line && line.slice('console: '.length)) || (con.exited && fail('the console ended'));
  }, 30);

  const browser = await launchBrowser('camera', ['--use-fake-device-for-media-stream', '--use-fake-ui-for-media-stream',
    `--use-file-for-fake-video-capture=${video}`], { protocolTimeout: FIRST_FRAME_SECONDS * 2000 });
  const page = await openPage(browser, TABLET);

  // 1. Watching the patient from the running page.
  await page.goto(address + 'index.html?model=lite', { waitUntil: 'load' });
  await checkView(page, 'on the running page before watching');
  const privacy = await page.$eval('section.watch .privacy', (e) => e.textContent.replace(/\s+/g, ' '));
  if (!/^No image leaves this tablet: only the positions of 33 points of the body are sent/.test(privacy))
    fail(`the running page's word on privacy: ${privacy}`);
  await page.click('#watch');
  log('watching: the pose model loads');
  const started = Date.now();
  await until('the first frame is looked at', () => page.evaluate(() =>
    document.body.getAttribute('data-camera') === 'watching' ||
    (document.body.getAttribute('data-camera') === 'failed' && document.getElementById('watch-status').textContent)),
  FIRST_FRAME_SECONDS).then((v) => v === true || fail(`the camera failed: ${v}`));
  log(`ok: the first frame after ${((Date.now() - started) / 1000).toFixed(1)} s`);
  const status = await page.$eval('#watch-status', (e) => e.textContent);
  // The photograph shows the upper body only: the legs are not seen.
  if (!/^Partly in view\. Not seen: .*knees, ankles\.$/.test(status)) fail(`the page says: ${status}`);
  log(`ok: ${status}`);
  const pose = await until('a pose with someone in view on the topic', () => listener.lines
    .filter((l) => l.startsWith('{')).map((l) => JSON.parse(l)).find((p) => p.in_view), STEP_SECONDS);
  if (pose.frame !== 'person' || pose.source !== 'tablet camera' || pose.landmarks.length !== 33)
    fail(`the pose: ${JSON.stringify(pose).slice(0, 300)}`);
  const problems = plausibleBody(pose);
  if (problems.length) fail(`not a plausible body: ${problems.join('; ')}\n${JSON.stringify(pose.landmarks)}`);
  log('ok: the landmarks reach the topic with shoulders above the hips and the wrists where the photograph has them');
  // The skeleton is drawn: lines and points of its colour on the canvas.
  const drawn = await page.evaluate(() => {
    const c = document.getElementById('watch-skeleton');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let k = 0; k < d.length; k += 4) if (d[k + 3] > 0) n += 1;
    return n;
  });
  if (drawn < 500) fail(`the skeleton is not drawn (${drawn} pixels)`);
  await checkView(page, 'while watching');
  if (shots) await (await page.$('section.watch')).screenshot({ path: path.join(shots, 'camera.png') });
  await page.click('#watch');
  await until('the camera is off', () => page.evaluate(() => document.body.getAttribute('data-camera') === 'stopped'),
    STEP_SECONDS);
  log('ok: watching turned off');

  // The camera page for a second tablet says the same before it starts.
  await page.goto(address + 'camera.html', { waitUntil: 'load' });
  const words = await page.$eval('main', (e) => e.innerText.replace(/\s+/g, ' '));
  if (!/No image leaves this tablet\./.test(words) || !/Not watching: the camera is off\./.test(words))
    fail(`the camera page says: ${words}`);
  await checkView(page, 'on the camera page');

  // 2. The record: two sessions with the tracker's results.
  const api = (method, p, body) => page.evaluate((m, q, b) => fetch('/api/clinic' + q, {
    method: m, headers: { 'Content-Type': 'application/json' }, body: b === undefined ? undefined : JSON.stringify(b),
  }).then((r) => r.json().then((j) => ({ status: r.status, body: j }))), method, p, body);
  const patient = await api('POST', '/patients', { code: 'P-0033' });
  const plan = await api('POST', `/patients/${patient.body.id}/plans`,
    { name: 'arms', speed: 1, items: ['a.txt'], mirror: false });
  if (plan.status !== 201) fail(`the plan: ${JSON.stringify(plan)}`);
  const sessions = [];
  for (const [person, follow] of [[110.4, 71], [128.0, 82]]) {
    fs.writeFileSync(path.join(run, 'next.jsonl'), sessionLog(person, follow));
    const begun = await until('a session starts', async () => {
      const r = await api('POST', `/plans/${plan.body.id}/start`, {});
      return r.status === 201 ? r.body : r.status === 409 ? false : fail(`start: ${JSON.stringify(r)}`);
    }, STEP_SECONDS);
    sessions.push(begun.session);
    await until(`session ${begun.session} is read to its end`, async () =>
      (await api('GET', `/sessions/${begun.session}`)).body.session.outcome === 'completed', STEP_SECONDS);
  }
  log(`ok: sessions ${sessions.join(' and ')} played and recorded`);

  await page.goto(address + `report.html?session=${sessions[1]}`, { waitUntil: 'load' });
  await until('the report', () => page.evaluate(() => !!document.querySelector('body[data-ready]')), STEP_SECONDS);
  const ranges = await page.$$eval('#ranges tr', (rows) => rows.map((r) => r.innerText.replace(/\s+/g, ' ').trim()));
  const want = '1 A Left shoulder flexion 128° (robot 160°) · Left elbow flexion not seen (robot 35°) · follow 82';
  if (ranges.length !== 1 || ranges[0] !== want) fail(`the report's ranges: ${JSON.stringify(ranges)}`);
  log(`ok: the report shows "${ranges[0]}"`);
  await checkView(page, 'on the report');
  if (shots) await page.screenshot({ path: path.join(shots, 'camera-report.png'), fullPage: true });

  await page.goto(address + `patient.html?id=${patient.body.id}`, { waitUntil: 'load' });
  const points = await until('the range plot has a point per session', () => page.evaluate(() => {
    const circles = document.querySelectorAll('#range-plot circle[data-joint="left shoulder flexion"]');
    return circles.length >= 2 &&
      Array.from(circles).map((c) => [Number(c.getAttribute('data-session')), Number(c.getAttribute('data-degrees'))]);
  }), STEP_SECONDS);
  if (JSON.stringify(points) !== JSON.stringify([[sessions[0], 110.4], [sessions[1], 128]]))
    fail(`the plot's points: ${JSON.stringify(points)}`);
  if (await page.$('#range-plot circle[data-joint="left elbow flexion"]')) fail('a joint never seen is plotted');
  if (await page.$eval('#plan-mirror', (e) => e.checked)) fail('the plan\'s side matching is not shown as saved');
  log('ok: the patient page plots left shoulder flexion for each session');
  await checkView(page, 'on the patient page');
  if (shots) await (await page.$('section[aria-label="Range of motion"]')).screenshot({ path: path.join(shots, 'camera-plot.png') });

  await closeBrowser();
  await stopAll();
  log('PASS');
}

runFlow(main);
