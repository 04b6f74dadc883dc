// What the browser flows share: timed log lines, steps with a deadline in
// wall time, programs in process groups of their own (their output also in
// RUN/<name>.log), headless chromium, pages that keep their console errors,
// the checks of every view (no ROS or internal words, no horizontal scroll,
// no console error), and the ending on a failure (a screenshot of the page,
// every program stopped, the logs' folder named).
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

const run = process.env.KINORA_CONSOLE_RUN;
const started = Date.now();
const children = [];
const state = { browser: null, pages: [] };

const TABLET = { width: 800, height: 1280 };  // upright
const PHONE = { width: 390, height: 844 };
const ROS_WORDS = /\b(ros|topics?|services?|nodes?|publish\w*|subscri\w*|callbacks?|msgs?|rosmaster|roslaunch)\b/i;
// What a therapist should not have to read: cue files, joint names run
// together, row counts, the programs' inner names, folder paths.
const INTERNAL_WORDS =
  /\b\w+\.wav\b|\brows? \d+ of \d+|coaching program|motion executor|\b(left|right)(shoulder|elbow|hip|knee|ankle)|\bhead(yaw|pitch)\b|(^|\s)\/[\w.-]+\/[\w./-]*/i;

function log(line) {
  console.log(`[${((Date.now() - started) / 1000).toFixed(1).padStart(5)} s] ${line}`);
}

function fail(message) {
  throw new Error(message);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// cond's first true value, looked for every 50 ms until the deadline.
async function until(what, cond, seconds) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await cond();
    if (value) return value;
    if (Date.now() > end) fail(`not within ${seconds} s: ${what}`);
    await sleep(50);
  }
}

// The running page in the wait for person tracking after exercise `after`
// (it lasts until skipped in clinic_sim.launch), so a click then lands where
// it is meant to however slow the machine.
function trackingWaitAfter(page, after) {
  return until(`the wait for tracking after exercise ${after}`, async () =>
    /^Waiting for person tracking/.test(await page.$eval('#phase', (e) => e.textContent.trim()).catch(() => '')) &&
    (await page.$eval('tr.current td', (td) => td.textContent).catch(() => '')) === String(after), 60);
}

// A program in a process group of its own, its lines kept and passed to onLine.
function start(name, argv, onLine = () => {}, stdin = 'ignore') {
  const logFile = fs.createWriteStream(path.join(run, `${name}.log`), { flags: 'a' });
  const child = spawn(argv[0], argv.slice(1), { detached: true, stdio: [stdin, 'pipe', 'pipe'] });
  child.lines = [];
  child.exited = null;
  for (const stream of [child.stdout, child.stderr]) {
    let pending = '';
    stream.on('data', (data) => {
      logFile.write(data);
      pending += data.toString();
      let at;
      while ((at = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, at);
        pending = pending.slice(at + 1);
        child.lines.push(line);
        onLine(line);
      }
    });
  }
  child.on('exit', (code, signal) => { child.exited = { code, signal }; });
  children.push(child);
  return child;
}

// The simulated clock started in `launch`, held and let run on at once
// (sim_clock's ~hold, through clock_holder.py started beforehand): a step
// that must land inside a part of a session is taken with the clock held, so
// the session cannot run past it while a slow machine takes the step.
// hold(true | false) waits until the clock says the change holds.
async function clockHolder(launch, topic = '/sim_clock/hold') {
  const holder = start('clock-holder', ['/usr/bin/python3', path.join(__dirname, 'clock_holder.py'), topic],
    () => {}, 'pipe');
  await until('the clock holder is connected to the clock', () => holder.lines.includes('ready') ||
    (holder.exited && fail(`the clock holder ended: ${holder.lines.join('\n')}`)), 30);
  return {
    hold: async (on) => {
      const from = launch.lines.length;
      const said = on ? /^\[clock\] held at / : /^\[clock\] running again from /;
      holder.stdin.write(on ? 'hold\n' : 'run\n');
      await until(`the simulated clock ${on ? 'held' : 'running again'}`,
        () => launch.lines.slice(from).some((l) => said.test(l)), 10);
    },
  };
}

// roslaunch stops the nodes it started only when asked with SIGINT.
async function stop(child, what = child.spawnargs.join(' ')) {
  if (child.exited) return;
  try { process.kill(-child.pid, 'SIGINT'); } catch (e) { return; }
  const end = Date.now() + 15000;
  while (!child.exited && Date.now() < end) await sleep(50);
  if (!child.exited) {
    log(`${what} did not stop on SIGINT: killed`);
    try { process.kill(-child.pid, 'SIGKILL'); } catch (e) { /* gone */ }
  }
}

async function stopAll() {
  for (const child of children.slice().reverse()) await stop(child);
}

// The last resort: roslaunch's nodes, in process groups of their own, outlive it.
process.on('exit', () => {
  for (const child of children)
    if (!child.exited) try { process.kill(-child.pid, 'SIGKILL'); } catch (e) { /* gone */ }
});

// Debian's chromium program (the wrapper script also prints to the terminal).
function chromium() {
  const executable = ['/usr/lib/chromium/chromium', '/usr/bin/chromium'].find((p) => fs.existsSync(p));
  return executable || fail('no chromium (scripts/setup.sh installs it)');
}

// args: more switches, e.g. the one certificate chromium may take; options:
// more of puppeteer's, e.g. a longer protocolTimeout for a page whose own
// work (a pose model loading) holds its thread for long.
async function launchBrowser(name, args = [], options = {}) {
  state.browser = await puppeteer.launch({
    ...options,
    executablePath: chromium(),
    headless: true,
    userDataDir: fs.mkdtempSync(path.join(os.tmpdir(), `${name}-chromium-`)),
    // Without the background networking switches chromium keeps trying to
    // reach its services, and those attempts are refused here.
    // WebGL for the 3D view with no GPU: chromium's own software renderer
    // (SwiftShader, through ANGLE), which it no longer falls back to by itself.
    args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--disable-quic',
           '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-dev-shm-usage', '--disable-breakpad', ...args],
  });
  return state.browser;
}

// A page at size that keeps its uncaught and console errors, but for those
// chromium logs about answers or lost connections the flow provokes (allowError).
async function openPage(browser, size = TABLET) {
  const page = Object.assign(await browser.newPage(), { problems: [], allowed: [] });
  page.on('pageerror', (e) => page.problems.push(`error on ${page.url()}: ${e.message}`));
  page.on('console', (m) => {
    const at = (m.location() && m.location().url) || '';
    if (m.type() === 'error' && !page.allowed.some((a) => m.text().includes(a.words) && at.includes(a.path)))
      page.problems.push(`console error on ${page.url()}: ${m.text()} (${at})`);
  });
  await page.setViewport(size);
  state.pages.push(page);
  return page;
}

// Allowed until the function returned is called.
function allowError(page, path, words) {
  const allowed = { path, words };
  page.allowed.push(allowed);
  return () => { page.allowed = page.allowed.filter((a) => a !== allowed); };
}

function noConsoleErrors() {
  const problems = [].concat(...state.pages.map((p) => p.problems));
  if (problems.length) fail(`errors on the page:\n${problems.join('\n')}`);
}

// The page as wide as a phone and an upright tablet: no sideways scrolling at
// either, nor at the size it had (to which it goes back).
const WIDTHS = [PHONE.width, TABLET.width];
async function checkWidths(page, when) {
  const size = page.viewport();
  const widthNow = async () => page.evaluate(() => new Promise((resolve) =>
    requestAnimationFrame(() => requestAnimationFrame(() => resolve([document.documentElement.scrollWidth, innerWidth])))));
  try {
    for (const width of WIDTHS) {
      await page.setViewport({ width, height: width === PHONE.width ? PHONE.height : TABLET.height });
      const [wide, window] = await widthNow();
      if (wide > window) {
        const widest = await page.evaluate((w) => Array.from(document.querySelectorAll('body *'))
          .filter((e) => e.getBoundingClientRect().right > w + 0.5).slice(-3)
          .map((e) => `${e.tagName.toLowerCase()}${e.id ? '#' + e.id : ''}.${e.className}`).join(', '), window);
        fail(`the page is ${wide} px wide in a window of ${window} px ${when} (past its right edge: ${widest})`);
      }
    }
  } finally {
    await page.setViewport(size);
  }
}

// Every view: no ROS or internal words, no horizontal scroll (at its own
// size, a phone's and a tablet's), no console error so far.
async function checkView(page, when) {
  const [body, wide, window] = await page.evaluate(() => [document.body.innerText, document.documentElement.scrollWidth, innerWidth]);
  const m = body.match(ROS_WORDS) || body.match(INTERNAL_WORDS);
  if (m) fail(`the page shows "${m[0].trim()}" ${when}:\n${body}`);
  if (wide > window) fail(`the page is ${wide} px wide in a window of ${window} px ${when}`);
  await checkWidths(page, when);
  noConsoleErrors();
}

async function closeBrowser() {
  if (state.browser) await state.browser.close();
  state.browser = null;
}

// Runs the flow: exit 0 when it passes; otherwise FAIL and its reason, what
// the flow has to add (explain), the page as it was, and exit 1.
function runFlow(main, explain = async () => {}) {
  main().then(() => noConsoleErrors() || process.exit(0)).catch(async (error) => {
    console.log(`FAIL: ${error.message}`);
    try { await explain(); } catch (e) { /* nothing more to say */ }
    if (state.browser) {
      try {
        const pages = await state.browser.pages();
        if (pages.length) {
          await pages[pages.length - 1].screenshot({ path: path.join(run, 'failure.png') });
          console.log(`page at the failure: ${path.join(run, 'failure.png')}`);
        }
      } catch (e) { /* the browser is gone */ }
      try { await state.browser.close(); } catch (e) { /* gone */ }
    }
    await stopAll();
    console.log(`logs: ${run}`);
    process.exit(1);
  });
}

module.exports = {
  run, log, fail, sleep, until, start, stop, stopAll, clockHolder, chromium, launchBrowser, closeBrowser, runFlow,
  TABLET, PHONE, openPage, allowError, checkView, checkWidths, trackingWaitAfter, noConsoleErrors,
};
