// The running page beside a robot that publishes its own joint states (the
// simulated robot behind its driver, standing where it starts:
// browser_robot.launch), in headless chromium that may play sound without a
// click (run_browser_test.sh robot_browser_test): the cue folder served read
// only (.wav files, no listing); the robot's words played on the tablet as
// the node names them, each file asked for and played to its end, a cue
// without a sound said so in words; the 3D view switched to the robot's own
// joints showing where the robot stands, before any row and while rows are
// sent, and the pose being sent again when switched back.
'use strict';

const fs = require('fs');
const path = require('path');
const { run, log, fail, until: untilWithin, start, launchBrowser, runFlow, TABLET, openPage, allowError,
  checkView } = require('./kit');
const until = (what, cond, seconds = 30) => untilWithin(what, cond, seconds);
const TOKEN = 'robot-browser-test-token';
const SPEED = 2;  // simulated seconds per wall second: each cue's pause lasts seconds
// Played on the tablet; the first exercise's opening cue has no sound in the folder.
const SOUNDS = ['merhaba.wav', 'aciklama.wav', 'bitis.wav'];
const SILENT_CUE = 'ellerbeldesol.wav';

// A short tone as a 16-bit mono WAV file.
function wav(seconds = 0.3, rate = 8000) {
  const samples = Math.round(seconds * rate);
  const data = Buffer.alloc(44 + 2 * samples);
  data.write('RIFF', 0); data.writeUInt32LE(36 + 2 * samples, 4); data.write('WAVEfmt ', 8);
  data.writeUInt32LE(16, 16); data.writeUInt16LE(1, 20); data.writeUInt16LE(1, 22); data.writeUInt32LE(rate, 24);
  data.writeUInt32LE(2 * rate, 28); data.writeUInt16LE(2, 32); data.writeUInt16LE(16, 34);
  data.write('data', 36); data.writeUInt32LE(2 * samples, 40);
  for (let i = 0; i < samples; ++i) data.writeInt16LE(Math.round(8000 * Math.sin(2 * Math.PI * 440 * i / rate)), 44 + 2 * i);
  return data;
}

async function main() {
  const cueDir = path.join(run, 'cues');
  fs.mkdirSync(cueDir);
  for (const name of SOUNDS) fs.writeFileSync(path.join(cueDir, name), wav());
  fs.writeFileSync(path.join(cueDir, 'notes.txt'), 'not a sound');
  fs.writeFileSync(path.join(run, 'secret.wav'), wav());  // beside the folder

  const con = start('console', [process.env.KINORA_CONSOLE_PROGRAM, '_port:=0', `_token:=${TOKEN}`,
    `_cue_dir:=${cueDir}`]);
  const line = await until('the console prints its address',
    () => con.lines.find((l) => l.startsWith('console: http://')) || (con.exited && fail('the console ended')));
  const origin = new URL(line.slice('console: '.length)).origin;
  const browser = await launchBrowser('robot', ['--autoplay-policy=no-user-gesture-required']);
  const page = await openPage(browser, TABLET);
  // The refusals asked for below, and the cue without a sound.
  allowError(page, '/cues/', 'status of 404');
  allowError(page, '/cues/', 'status of 405');
  await page.goto(`${origin}/?token=${TOKEN}`, { waitUntil: 'load' });
  const text = (selector) => page.$eval(selector, (e) => e.textContent.trim()).catch(() => '');

  // The clock and the node, which waits for its audio player; then (one
  // roslaunch at a time on a master) the robot.
  start('coach', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'browser_coach.launch', `speed:=${SPEED}`]);
  await until('the node waits for its audio player', async () => await text('#phase') === 'Waiting for the robot\'s voice');
  const robot = start('robot', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'browser_robot.launch']);
  await until('the simulated robot publishes its joints', () => robot.lines.some((l) => l.startsWith('[driver] ')));

  // --- The cue folder: its .wav files, read only; nothing else, no listing.
  const asked = await page.evaluate(async (token) => {
    const answers = {};
    for (const target of ['/cues/merhaba.wav', '/cues/notes.txt', '/cues/', '/cues/secret.wav', '/cues/nothing.wav']) {
      const r = await fetch(target + '?token=' + token);
      answers[target] = [r.status, r.headers.get('Content-Type')];
    }
    const put = await fetch('/cues/merhaba.wav?token=' + token, { method: 'PUT', body: 'x' });
    answers.put = [put.status];
    return answers;
  }, TOKEN);
  const served = asked['/cues/merhaba.wav'];
  if (served[0] !== 200 || served[1] !== 'audio/wav') fail(`the cue is served as ${JSON.stringify(served)}`);
  // (A path out of the folder, which a browser would not even send, is refused in test_request_rules.)
  for (const target of ['/cues/notes.txt', '/cues/', '/cues/secret.wav', '/cues/nothing.wav'])
    if (asked[target][0] !== 404) fail(`${target} answered ${asked[target][0]}`);
  if (asked.put[0] !== 405) fail(`a PUT of a cue answered ${asked.put[0]}`);
  log('ok: /cues/ serves the .wav files of the folder and nothing else, without a listing, read only');

  // --- The 3D view before any row: switched to the robot, it shows where the robot stands.
  await until('the 3D view is ready', async () => {
    const state = await page.evaluate(() => KinoraRobot.state());
    return state === 'unavailable' ? fail(`the 3D view says: ${await text('#robot-view')}`) : state === 'ready';
  });
  if (await page.evaluate(() => KinoraRobot.drawnAngles()) !== null) fail('a pose is drawn before any row');
  await page.click('#view-robot');
  const standing = await until('the robot where it stands', () => page.evaluate(() => KinoraRobot.drawnAngles()));
  // The simulated robot starts at 0, the elbow rolls at the end of their ranges nearest 0.
  if (standing.LShoulderPitch !== 0 || standing.LElbowRoll !== -0.0349 || standing.RElbowRoll !== 0.0349)
    fail(`the robot is drawn as ${JSON.stringify(standing)}`);
  if (await text('#robot-view-title') !== 'The robot as it moves') fail('the view\'s title is not the robot\'s');
  await page.click('#view-robot');
  await checkView(page, 'with the robot drawn where it stands');
  log('ok: before any row, the view switched to the robot shows it where it stands');

  // --- The robot's words on the tablet: the switch, then the audio player, and the greeting.
  await page.click('#cues-here');
  start('audio', ['rosrun', 'nao_kinora_sim', 'audio_player', '_player:=none']);
  const cueEvents = () => page.evaluate(() => KinoraCues.events());
  const src = (name) => `/cues/${name}?token=${TOKEN}`;
  const expected = [['playing', src('merhaba.wav')], ['ended', src('merhaba.wav')],
    ['playing', src('aciklama.wav')], ['ended', src('aciklama.wav')], ['error', src(SILENT_CUE)]];
  await until('the greeting and the first opening cue through the tablet\'s player', async () =>
    (await cueEvents()).length >= expected.length, 60);
  const events = (await cueEvents()).slice(0, expected.length).map((e) => [e.type, e.src]);
  if (JSON.stringify(events) !== JSON.stringify(expected)) fail(`the player did: ${JSON.stringify(events)}`);
  const said = await text('#cue-playing');
  if (!/^This tablet could not play “.+”: the console has no sound for it\.$/.test(said)) fail(`the page says "${said}"`);
  await checkView(page, 'after a cue without a sound');
  log(`ok: the page played ${SOUNDS.slice(0, 2).join(', ')} to their end and said "${said}"`);

  // --- The 3D view while rows are sent: the rows' pose, then where the robot stands.
  await until('exercise 1 plays', async () => /^Exercise 1 of 9/.test(await text('#phase')), 30);
  const sent = await until('the pose being sent drawn', async () => {
    const drawn = await page.evaluate(() => KinoraRobot.drawnAngles());
    return drawn && drawn.RShoulderPitch !== 0 && drawn;
  });
  // What is drawn after each pose the page hands the view, by its source.
  await page.evaluate(() => {
    const show = KinoraRobot.show;
    window.shown = [];
    KinoraRobot.show = function (angles, from) {
      show.call(KinoraRobot, angles, from);
      window.shown.push({ from, drawn: JSON.stringify(KinoraRobot.drawnAngles()) });
    };
  });
  await page.click('#view-robot');
  await page.evaluate(() => { window.shown = []; });  // from the switch on
  const robotPose = await page.evaluate((token) => fetch('/api/teach', { headers: { 'X-Console-Token': token } })
    .then((r) => r.json()).then((v) => v.pose), TOKEN);
  if (JSON.stringify(robotPose.slice(0, 22)) !== JSON.stringify(Object.values(standing)))
    fail(`the console has the robot at ${JSON.stringify(robotPose)}, not where it stands`);
  // Rows keep coming meanwhile: after each, the robot is still drawn where it stands.
  const shown = await until('rows sent while the robot is drawn', async () => {
    const all = await page.evaluate(() => window.shown);
    return all.filter((s) => s.from === 'rows').length >= 10 && all;
  });
  const wrong = shown.filter((s) => s.from && s.drawn !== JSON.stringify(standing));
  if (wrong.length) fail(`drawn after a pose from ${wrong[0].from}: ${wrong[0].drawn}`);
  await page.click('#view-robot');
  await until('the pose being sent drawn again', async () =>
    await text('#robot-view-title') === 'Pose being sent' && (await page.evaluate(() => KinoraRobot.drawnAngles())).RShoulderPitch !== 0);
  log(`ok: while rows are sent the view shows the robot where it stands (right shoulder pitch 0), then the ` +
      `pose being sent again (right shoulder pitch ${sent.RShoulderPitch.toFixed(3)})`);

  // --- End: the closing words played on the tablet too.
  await until('End can be pressed', () => page.$eval('#end', (b) => !b.disabled));
  await page.click('#end');
  await page.click('#confirm-end');
  await until('the closing cue played to its end', async () => {
    const all = await cueEvents();
    return all.some((e) => e.type === 'ended' && e.src === src('bitis.wav'));
  }, 30);
  await checkView(page, 'after the closing words');
  log('ok: the closing words played on the tablet');
}

runFlow(main);
