// The session console in headless chromium during a short simulated session
// (started by run_browser_test.sh, which sets up the master and the
// environment). Step by step, each with a deadline in wall time:
//
//   the page before there is a session, and while the node waits for its
//   audio player (a refused Skip shows the node's reason); recording 1 and its
//   progress advancing; Pause: the page says Paused and no row reaches the
//   simulated motion executor while the clock runs; Resume; Skip exercise:
//   recording 1 cut short, recording 2 starts and its rows go out (the
//   simulated clock held wherever a step must land inside recording 1, so a
//   slow machine cannot let the session run past it); the console stops and starts again: the page says it is
//   disconnected, then reconnects by itself; a screenshot; a phone; End session
//   and its confirmation: the closing cue goes out and the page says the session
//   is over. Every view passes kit.js's checkView, on a tablet and a phone.
'use strict';

const fs = require('fs');
const path = require('path');
const { run, log, fail, sleep, clockHolder, until: untilWithin, start, stop, launchBrowser, closeBrowser, runFlow, PHONE, TABLET,
  openPage, allowError, checkView } = require('./kit');
const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const screenshotCopy = process.env.KINORA_CONSOLE_SCREENSHOT || '';
const SPEED = 5;           // simulated seconds per wall second
const STEP_SECONDS = 20;   // wall deadline of a step
const until = (what, cond, seconds = STEP_SECONDS) => untilWithin(what, cond, seconds);
const PAUSE_HOLD_MS = 1500;  // 7.5 simulated seconds: about 190 rows if nothing held them
const sessionLogPath = path.join(run || '', 'session.jsonl');


// What the simulated peers report: rows received per recording, start
// signals, cues.
const peers = { rows: {}, starts: [], cues: [] };
function peerLine(line) {
  let m = line.match(/^\[motion\] recording (\d+): (?:over: )?(\d+) rows/);
  if (m) peers.rows[m[1]] = Math.max(peers.rows[m[1]] || 0, Number(m[2]));
  m = line.match(/^\[motion\] recording (\d+): start signal/);
  if (m) peers.starts.push(Number(m[1]));
  m = line.match(/^\[audio\] .* cue (\S+)/);
  if (m) peers.cues.push(m[1]);
}

// The node's session log: one event per line; a line still being written is left out.
function sessionLog() {
  const text = fs.existsSync(sessionLogPath) ? fs.readFileSync(sessionLogPath, 'utf8') : '';
  return text.split('\n').slice(0, -1).map((line) => JSON.parse(line));
}

async function startConsole(port) {
  const child = start('console', [consoleProgram, `_port:=${port}`]);
  const line = await until('the console prints its address',
    () => child.lines.find((l) => l.startsWith('console: http://')) || (child.exited && fail('the console ended')), 15);
  return { child, url: line.slice('console: '.length) };
}

async function main() {
  if (!run || !consoleProgram) fail('run through run_browser_test.sh');

  // --- The console and the page, before there is any session.
  let con = await startConsole(0);
  const port = Number(new URL(con.url).port);
  log(`console on ${con.url}`);

  const browser = await launchBrowser('console');
  const page = await openPage(browser, TABLET);
  allowError(page, '/api/skip', 'status of 409');  // the refused Skip below
  await page.goto(con.url, { waitUntil: 'load' });

  const text = (selector) => page.$eval(selector, (e) => e.textContent.trim()).catch(() => '');
  const phase = () => text('#phase');
  const seen = new Set();
  async function noRosWords(when) {
    await checkView(page, when);
    seen.add(when);
  }
  async function phaseMatches(re, what, seconds) {
    return until(`${what} (the page says "${await phase()}")`, async () => {
      const words = await phase();
      return re.test(words) && words;
    }, seconds);
  }

  await phaseMatches(/^Waiting for a session to start$/, 'the page waits for a session');
  await until('a banner says so', async () => /Waiting for a session to start/.test(await text('#connection')));
  await noRosWords('before the session');
  log('ok: the page waits for a session');

  // --- The node alone: it waits for its audio player; Skip is refused.
  const coach = start('coach', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'browser_coach.launch', `speed:=${SPEED}`, `session_log:=${sessionLogPath}`],
    peerLine);
  await phaseMatches(/^Waiting for the robot's voice$/, 'the node waits for its audio player', 30);
  const clock = await clockHolder(coach);
  const peersShown = await page.$$eval('#peers li', (items) => items.map((li) => li.textContent));
  if (peersShown.length !== 3 || peersShown.some((p) => !/not connected$/.test(p)))
    fail(`peers before they start: ${JSON.stringify(peersShown)}`);
  await until('Skip can be pressed', () => page.$eval('#skip', (b) => !b.disabled));
  await page.click('#skip');
  const refusal = await until('the refusal shows the node\'s reason', async () => {
    const m = await text('#message');
    return /^Not done: .{10,}/.test(m) && m;
  }, 5);
  if ((await page.$eval('#message', (e) => e.className)) !== 'message refused') fail('the refusal is not shown as one');
  await noRosWords('while the node waits for its audio player');
  log(`ok: refused Skip shows the reason: "${refusal}"`);

  // --- The peers: greeting, then recording 1 and its progress.
  const peersLaunch = start('peers', ['roslaunch', '--skip-log-check', '--no-summary', '--disable-title',
    'nao_kinora_console', 'browser_peers.launch'], peerLine);
  await until('all three peers shown connected', async () => {
    const items = await page.$$eval('#peers li', (lis) => lis.map((li) => li.className));
    return items.length === 3 && items.every((c) => c === 'connected');
  }, 30);
  const recording1 = /^Exercise 1 of 9: Hands on waist left — (\d+)\s%$/;
  const first = Number((await phaseMatches(recording1, 'recording 1 plays', 30)).match(recording1)[1]);
  const playedOf = async () => ((await text('#recording-text')).match(/\d+:\d\d(?= played)/) || [''])[0];
  const firstPlayed = await playedOf();
  const current = await page.$$eval('#recordings tr', (rows) => rows.map((r) => r.className));
  if (current.length !== 9 || current[0] !== 'current') fail(`table rows: ${JSON.stringify(current)}`);
  await until('the progress of recording 1 advances', async () => {
    const m = (await phase()).match(recording1);
    return m && Number(m[1]) > first && (await playedOf()) > firstPlayed;  // "0:10" > "0:09": the same length
  }, 10);
  // From here to the skip the clock is held wherever a step must land inside recording 1.
  await clock.hold(true);
  await until('the pose is drawn in 3D', () => page.evaluate(() => KinoraRobot.drawnAngles() !== null));
  await noRosWords('while recording 1 plays');
  log(`ok: recording 1 advances (from ${first} %, ${firstPlayed} played); the pose is drawn`);

  // --- Pause: nothing reaches the motion executor, the clock running; Resume.
  await page.click('#pause');
  await phaseMatches(/^Paused$/, 'the page says Paused', 5);
  if ((await text('#pause')) !== 'Continue') fail('the Pause button does not offer Continue');
  if (!/^Stopped at: Exercise 1 of 9: Hands on waist left — \d+ %$/.test(await text('#phase-detail')))
    fail(`the pause does not say where: "${await text('#phase-detail')}"`);
  // The node logs the pause, with the last row it sent, before it answers;
  // the rows up to that one may still be on their way: they are waited for.
  const pausedRow = (await until('the session log has the pause', () => {
    const pause = sessionLog().find((e) => e.event === 'pause');
    return pause && { rows: pause.row + 1 };
  })).rows;
  const heldAt = await until(`the motion executor has rows 0..${pausedRow - 1}, sent before the pause`,
    () => (peers.rows['1'] || 0) >= pausedRow && peers.rows['1']);
  await clock.hold(false);
  await sleep(PAUSE_HOLD_MS);
  await clock.hold(true);
  const afterHold = peers.rows['1'] || 0;
  if (heldAt !== pausedRow || afterHold !== heldAt)
    fail(`rows reached the motion executor while paused: ${pausedRow} sent, ${heldAt} -> ${afterHold} received`);
  if ((await phase()) !== 'Paused') fail('the page no longer says Paused');
  await noRosWords('while paused');
  log(`ok: paused at ${heldAt} rows, none for ${PAUSE_HOLD_MS} ms of a running clock`);

  await page.click('#pause');
  await phaseMatches(recording1, 'recording 1 plays again', 5);
  log('ok: resumed');

  // --- Skip: recording 1 cut short, recording 2 starts and its rows go out.
  await page.click('#skip');
  await phaseMatches(/^Waiting for person tracking/, 'the wait for tracking after recording 1', 15);
  await clock.hold(false);
  const recording2 = /^Exercise 2 of 9: Hands on waist right — /;
  await phaseMatches(recording2, 'recording 2 starts', 15);
  await until('the motion executor gets the start signal of recording 2', () => peers.starts.includes(2), 10);
  await until('rows of recording 2 go out', () => (peers.rows['2'] || 0) > 0, 10);
  const rows1 = peers.rows['1'];
  // A row whose time had just come when the pause began may go out at the resume.
  if (rows1 > afterHold + 1) fail(`recording 1 went on after Skip: ${rows1} rows, ${afterHold} when skipped`);
  log(`ok: skipped recording 1 after ${rows1} rows; recording 2 starts`);

  // --- The console goes away and comes back: the page reconnects by itself.
  // The stream breaks off, and the page's attempts are refused until the console is back.
  const lost = [allowError(page, '/events', 'net::ERR_INCOMPLETE_CHUNKED_ENCODING'),
    allowError(page, '/events', 'net::ERR_CONNECTION_REFUSED'), allowError(page, '/events', 'net::ERR_EMPTY_RESPONSE')];
  await stop(con.child, 'the console');
  await until('the page says it is disconnected', async () => /No connection to the console/.test(await text('#connection')), 10);
  if (await page.$eval('#skip', (b) => !b.disabled)) fail('Skip can be pressed while disconnected');
  con = await startConsole(port);
  await until('the page reconnects', async () => page.$eval('#connection', (e) => e.hidden), 10);
  log('ok: the page reconnects after the console restarted');

  // --- Mid-session screenshot, a recording well under way (recording 2
  // unless the machine was slow).
  const playing = /^Exercise [2-9] of 9: .* — (\d+)\s%$/;
  await until('a recording a quarter played', async () => {
    const m = (await phase()).match(playing);
    return m && Number(m[1]) >= 25;
  }, 30);
  lost.forEach((allowedNoMore) => allowedNoMore());  // reconnected well before: any such error now is a fault
  await sleep(200);
  const shot = path.join(run, 'console.png');
  await page.screenshot({ path: shot, fullPage: true });
  if (screenshotCopy) fs.copyFileSync(shot, screenshotCopy);
  log(`ok: screenshot ${shot}${screenshotCopy ? ` (and ${screenshotCopy})` : ''}`);

  // --- On a phone: everything fits, the three actions within reach.
  await page.setViewport(PHONE);
  await noRosWords('on a phone');
  const actions = await page.$$eval('#pause, #skip, #end', (bs) => bs.map((b) => b.getBoundingClientRect()));
  if (actions.some((r) => r.left < 0 || r.right > PHONE.width || r.height < 44)) fail(`the actions on a phone: ${JSON.stringify(actions)}`);
  await page.setViewport(TABLET);

  // --- End, after confirming: the closing cue, then the session is over.
  await page.click('#end');
  await until('the confirmation opens', () => page.$eval('#confirm', (e) => !e.hidden), 5);
  if (peers.cues.includes('bitis.wav')) fail('the closing cue went out before the confirmation');
  await noRosWords('while asking to confirm');
  await page.click('#confirm-end');
  await until('the closing cue reaches the audio player', () => peers.cues.includes('bitis.wav'), 15);
  await phaseMatches(/^Session over$/, 'the page says the session is over', 15);
  for (const button of ['#pause', '#skip', '#end'])
    if (await page.$eval(button, (b) => !b.disabled)) fail(`${button} can still be pressed`);
  await noRosWords('after the session');
  log(`ok: ended; cues ${peers.cues.join(' ')}`);

  await until('the node ends the launch', () => coach.exited, 15);
  await closeBrowser();  // first: a console stopped under an open page breaks its stream off
  await stop(peersLaunch, 'the peers');
  await stop(con.child, 'the console');
  log(`browser test passed (${seen.size} views checked for ROS words)`);
}

runFlow(main);
