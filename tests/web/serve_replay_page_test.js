// The browser view of a replay in headless Chromium: `tellivar-host serve`
// over the test library of replay controls (the stand-in feed underneath,
// its clock the replay clock), started at 10:31 on a recording of 10:01 to
// 11:01. Play, pause, speed, a step and a jump with the slider, as a person
// would use them; the jump must move the clock, the quote table and the chart.
//   node serve_replay_page_test.js HOST_PROGRAM PLUGIN REPLAY_LIBRARY SCREENSHOT.png [CHROMIUM]
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require(path.join(__dirname, '../../hostapp/web/node_modules/playwright-core'));

const [hostProgram, pluginPath, replayLibrary, screenshotPath, chromiumPath = '/usr/bin/chromium'] =
  process.argv.slice(2);
const kStep = 15000; // ms allowed for each thing to happen
const callsPath = path.join(os.tmpdir(), `tellivar-replay-page-${process.pid}`);
const jumpTo = Date.UTC(2026, 11, 8, 10, 10, 0) / 1000; // seconds

function startServer() {
  const env = { ...process.env, TELLIVAR_FAKE_REPLAY_LOG: callsPath };
  const args = ['--plugin', pluginPath, '--feed', replayLibrary, '--replay-from', '2026-12-08T10:31:00Z',
    '--replay-speed', '1', 'serve', '--port', '0', '--symbols', 'ACME,GLOBEX'];
  const server = spawn(hostProgram, args, { env });
  server.stderr.on('data', () => {});
  const url = new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', (chunk) => {
      out += chunk;
      const found = out.match(/serving (http:\/\/127\.0\.0\.1:\d+\/)/);
      if (found) resolve(found[1]);
    });
    server.on('exit', (code) => reject(new Error(`server exited with ${code} before serving`)));
    setTimeout(() => reject(new Error('server did not start in 15 s')), kStep);
  });
  return { server, url };
}

const calls = () => (fs.existsSync(callsPath) ? fs.readFileSync(callsPath, 'utf8') : '');
const bar = (page, name) => page.$eval('#replay-bar', (el, n) => el.dataset[n], name);

async function check(name, body, results) {
  const started = Date.now();
  try {
    await body();
    results.passed += 1;
    console.log(`ok   ${name} (${Date.now() - started} ms)`);
  } catch (error) {
    results.failed += 1;
    console.log(`FAIL ${name}: ${error.message.split('\n')[0]}`);
  }
}

async function main() {
  const results = { passed: 0, failed: 0 };
  const { server, url } = startServer();
  const browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox'] });
  const errors = [];
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 860 } });
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto(`${await url}?symbol=ACME&interval=1&count=30`);

    await check('the page shows REPLAY and the replay clock', async () => {
      await page.waitForSelector('#replay-bar:not([hidden])', { timeout: kStep });
      await page.waitForFunction(() => /^2026-12-08 10:3\d:\d\d UTC$/.test(
        document.getElementById('replay-clock').textContent), null, { timeout: kStep });
      const badge = await page.$eval('#replay-bar .replay-badge', (el) => el.textContent);
      if (badge !== 'REPLAY') throw new Error(`badge "${badge}"`);
      if (!(await page.title()).startsWith('REPLAY')) throw new Error(`title "${await page.title()}"`);
    }, results);
    await check('the quote table shows the replay clock\'s times', async () => {
      await page.waitForFunction(() => /^2026-12-08 10:3\d/.test(
        document.querySelector('#quotes tbody tr td:nth-child(2)').textContent), null, { timeout: kStep });
    }, results);
    await check('pause stops the clock and the button offers play', async () => {
      await page.waitForSelector('#replay-bar[data-playing="true"]', { timeout: kStep });
      await page.click('#replay-play');
      await page.waitForSelector('#replay-bar[data-playing="false"]', { timeout: kStep });
      const label = await page.$eval('#replay-play', (el) => el.textContent);
      if (label !== 'Play') throw new Error(`button "${label}"`);
      if (!calls().endsWith('pause\n')) throw new Error(`calls: ${JSON.stringify(calls())}`);
    }, results);
    await check('a step moves the paused clock by one bar of the chart\'s interval', async () => {
      const before = Number(await bar(page, 'clockMs'));
      await page.click('#replay-step');
      await page.waitForFunction((b) => Number(document.getElementById('replay-bar').dataset.clockMs) !== b, before,
                                 { timeout: kStep });
      const after = Number(await bar(page, 'clockMs'));
      if (after - before !== 60000) throw new Error(`moved ${after - before} ms`);
      if (!calls().endsWith('step 60\n')) throw new Error(`calls: ${JSON.stringify(calls())}`);
    }, results);
    await check('the speed menu sets the speed', async () => {
      await page.selectOption('#replay-speed', '8');
      const deadline = Date.now() + kStep;
      while (!calls().endsWith('speed 8\n') && Date.now() < deadline) await page.waitForTimeout(100);
      if (!calls().endsWith('speed 8\n')) throw new Error(`calls: ${JSON.stringify(calls())}`);
    }, results);
    await check('a jump with the slider moves the clock, the quote table and the chart', async () => {
      await page.waitForSelector('#chart[data-history-candles="30"]', { timeout: kStep });
      const lastBefore = Number(await page.$eval('#chart', (el) => el.dataset.lastTime));
      if (lastBefore < jumpTo + 15 * 60) throw new Error(`the chart ended at ${lastBefore} before the jump`);
      await page.$eval('#replay-slider', (el, value) => {
        el.value = String(value);
        el.dispatchEvent(new Event('input'));
        el.dispatchEvent(new Event('change'));
      }, jumpTo);
      await page.waitForSelector('#replay-bar[data-jumps="1"]', { timeout: kStep });
      const clock = await page.$eval('#replay-clock', (el) => el.textContent);
      if (clock !== '2026-12-08 10:10:00 UTC') throw new Error(`clock "${clock}"`);
      await page.waitForFunction(() => /^2026-12-08 10:10/.test(
        document.querySelector('#quotes tbody tr td:nth-child(2)').textContent), null, { timeout: kStep });
      // The chart's history again, as of the new time: its newest bar is the one at 10:10.
      await page.waitForFunction((t) => Number(document.getElementById('chart').dataset.lastTime) === t, jumpTo,
                                 { timeout: kStep });
    }, results);
    await check('play starts the clock again', async () => {
      await page.click('#replay-play');
      await page.waitForSelector('#replay-bar[data-playing="true"]', { timeout: kStep });
      const before = Number(await bar(page, 'clockMs'));
      await page.waitForFunction((b) => Number(document.getElementById('replay-bar').dataset.clockMs) > b, before,
                                 { timeout: kStep });
    }, results);
    await page.screenshot({ path: screenshotPath });
    console.log(`screenshot: ${screenshotPath}`);
    await check('a jump outside the recording is refused with the replay\'s reason', async () => {
      const answer = await page.evaluate(async () => {
        const response = await fetch('/api/replay/seek?time=2026-12-09T00:00:00Z', { method: 'POST' });
        return { status: response.status, body: await response.json() };
      });
      if (answer.status !== 409 || !answer.body.error.includes('outside the recording')) {
        throw new Error(JSON.stringify(answer));
      }
    }, results);
    await check('no script error on the page', async () => {
      if (errors.length > 0) throw new Error(errors.join('; '));
    }, results);
  } finally {
    await browser.close();
    server.kill('SIGINT');
  }
  const code = await new Promise((resolve) => {
    const timer = setTimeout(() => { server.kill('SIGKILL'); resolve('killed'); }, kStep);
    server.on('exit', (c) => { clearTimeout(timer); resolve(c); });
    if (server.exitCode !== null) resolve(server.exitCode);
  });
  await check('the server stops cleanly on Ctrl-C', async () => {
    if (code !== 0) throw new Error(`exit ${code}`);
  }, results);
  fs.rmSync(callsPath, { force: true });
  console.log(`${results.passed} passed, ${results.failed} failed`);
  process.exit(results.failed === 0 ? 0 : 1);
}

main().catch((error) => {
  console.log(`FAIL ${error.message}`);
  process.exit(1);
});
