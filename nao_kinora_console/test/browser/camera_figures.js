// The tablet camera's figures, run by hand (scripts/camera_figures.sh), not
// a test: in headless chromium with a photograph as its camera, for each of
// the pose model's sizes, the time to its first frame, the frames it looks
// at per second once running, the model's own time per frame, and the
// latency to /person_pose: from the frame's time (its stamp) to the listener
// hearing it, in wall time on this machine; less the model's time, what the
// landmarks take from the page to the topic. Prints a Markdown table for
// docs/benchmarks.md.
//
//   KINORA_CAMERA_FIGURE_SECONDS: the window measured per model (default 30)
'use strict';

const { execFileSync } = require('child_process');
const os = require('os');
const path = require('path');
const { run, log, fail, until, start, stopAll, launchBrowser, closeBrowser, runFlow, TABLET, openPage } =
  require('./kit');

const consoleProgram = process.env.KINORA_CONSOLE_PROGRAM;
const WINDOW = Number(process.env.KINORA_CAMERA_FIGURE_SECONDS || 30);
const PHOTO = '/usr/lib/python3/dist-packages/skimage/data/astronaut.png';

function quantile(sorted, q) {
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))] : NaN;
}

async function measure(browser, address, listener, model) {
  const page = await openPage(browser, TABLET);
  await page.goto(`${address}camera.html?model=${model}`, { waitUntil: 'load' });
  const clicked = Date.now();
  await page.click('#watch');
  await until(`the first frame with the ${model} model`, () => page.evaluate(() =>
    document.body.getAttribute('data-camera') === 'watching'), 600);
  const first = (Date.now() - clicked) / 1000;
  const from = await page.evaluate(() => window.kinoraCamera.state.frames);
  const heardFrom = listener.lines.length;
  const t0 = Date.now();
  await new Promise((resolve) => setTimeout(resolve, WINDOW * 1000));
  const frames = (await page.evaluate(() => window.kinoraCamera.state.frames)) - from;
  const modelMs = (await page.evaluate((n) => window.kinoraCamera.state.modelMs.slice(-n), frames))
    .sort((a, b) => a - b);
  const seconds = (Date.now() - t0) / 1000;
  const latencies = listener.lines.slice(heardFrom).filter((l) => l.startsWith('{')).map((l) => JSON.parse(l))
    .map((p) => p.heard - p.stamp).sort((a, b) => a - b);
  await page.click('#watch');
  await page.close();
  return { model, first, fps: frames / seconds, latencies, modelMs };
}

async function main() {
  if (!run || !consoleProgram) fail('run through scripts/camera_figures.sh');
  const video = path.join(run, 'astronaut.y4m');
  execFileSync('/usr/bin/python3', [path.join(__dirname, 'photo_to_y4m.py'), PHOTO, video]);
  const listener = start('pose-listener', ['/usr/bin/python3', path.join(__dirname, 'pose_listener.py')]);
  await until('the pose listener', () => listener.lines.includes('ready'), 30);
  const con = start('console', [consoleProgram, '_port:=0', '_database:=']);
  const address = await until('the console', () => {
    const line = con.lines.find((l) => /^console: http:\/\/\S+\/$/.test(l));
    return line && line.slice('console: '.length);
  }, 30);
  const browser = await launchBrowser('camera-figures', ['--use-fake-device-for-media-stream',
    '--use-fake-ui-for-media-stream', `--use-file-for-fake-video-capture=${video}`], { protocolTimeout: 1200000 });
  const rows = [];
  for (const model of ['lite', 'full', 'heavy']) {
    log(`measuring the ${model} model for ${WINDOW} s`);
    const r = await measure(browser, address, listener, model);
    log(JSON.stringify({ model: r.model, first: r.first, fps: r.fps, heard: r.latencies.length }));
    const ms = (v) => `${Math.round(v * 1000)} ms`;
    const modelTime = quantile(r.modelMs, 0.5);
    rows.push(`| ${model} | ${r.first.toFixed(1)} s | ${r.fps.toFixed(2)} | ${r.latencies.length} | ` +
      `${Math.round(modelTime)} ms | ${ms(quantile(r.latencies, 0.5))} | ${ms(quantile(r.latencies, 0.95))} | ` +
      `${ms(r.latencies[r.latencies.length - 1])} | ${Math.round(quantile(r.latencies, 0.5) * 1000 - modelTime)} ms |`);
  }
  await closeBrowser();
  await stopAll();
  console.log(`\nOn ${os.cpus().length} cores, load average ${os.loadavg().map((v) => v.toFixed(1)).join(' ')}, ` +
    `${WINDOW} s per model:\n`);
  console.log('| model | first frame | frames per second | frames heard | model time (median) | frame to topic median | ' +
    '95th percentile | largest | landmarks to topic (median less model time) |');
  console.log('|---|---|---|---|---|---|---|---|---|');
  rows.forEach((r) => console.log(r));
}

runFlow(main);
