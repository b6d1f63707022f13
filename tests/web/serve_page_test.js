// The live view in headless Chromium: `tellivar-host serve` against the
// stand-in feed with a fast clock (a one-minute bar every 2 s) and a dropped
// connection every few seconds, at most two pages at once. Checks the page as
// a person would see it and saves a screenshot.
//   node serve_page_test.js HOST_PROGRAM PLUGIN SCREENSHOT.png [CHROMIUM]
// Needs playwright-core (hostapp/web, `npm ci`) and Debian's chromium; no
// browser is downloaded.
'use strict';
const { spawn } = require('child_process');
const path = require('path');
const { chromium } = require(path.join(__dirname, '../../hostapp/web/node_modules/playwright-core'));

const [hostProgram, pluginPath, screenshotPath, chromiumPath = '/usr/bin/chromium'] = process.argv.slice(2);
const kCandles = 40;
const kStep = 15000; // ms allowed for each thing to happen

function startServer(extraArgs = []) {
  const env = { ...process.env, SIMFEED_SPEED: '30', SIMFEED_DROP_EVERY: '8', SIMFEED_RECONNECT_MS: '1500' };
  const args = ['--plugin', pluginPath, 'serve', '--port', '0', '--max-pages', '2', ...extraArgs];
  const server = spawn(hostProgram, args, { env });
  server.stderr.on('data', () => {}); // the plug-in's log lines
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

// The first quote row changes.
async function quotesMove(page) {
  await page.waitForFunction(() => document.querySelectorAll('#quotes tbody tr').length === 3, null, { timeout: kStep });
  const before = await page.$eval('#quotes tbody tr', (row) => row.textContent);
  await page.waitForFunction((old) => document.querySelector('#quotes tbody tr').textContent !== old, before,
                             { timeout: kStep });
}

const attr = (page, selector, name) => page.$eval(selector, (el, n) => el.dataset[n], name);

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
    const page = await browser.newPage({ viewport: { width: 1280, height: 760 } });
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto(`${await url}?symbol=ACME&interval=1&count=${kCandles}`);

    await check('the page loads and shows online', async () => {
      await page.waitForSelector('#state[data-state="online"]', { timeout: kStep });
    }, results);
    await check('no replay bar and no REPLAY without the replay client', async () => {
      const hidden = await page.$eval('#replay-bar', (el) => el.hidden);
      if (!hidden || (await page.title()).includes('REPLAY')) throw new Error('the page shows a replay');
    }, results);
    await check('the quote table changes within a few seconds', () => quotesMove(page), results);
    await check('quote and message times show their date and UTC', async () => {
      await page.waitForSelector('#messages li', { timeout: kStep });
      const stamp = /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$/;
      const quoteTime = await page.$eval('#quotes tbody tr td:nth-child(2)', (cell) => cell.textContent);
      const messageTime = (await page.$eval('#messages li', (item) => item.textContent)).split(' ').slice(0, 3).join(' ');
      for (const time of [quoteTime, messageTime]) {
        if (!stamp.test(time)) throw new Error(`time shown as "${time}"`);
      }
    }, results);
    await check(`the chart has the requested ${kCandles} candles`, async () => {
      // A live bar may already have added one more: the history's count is exact.
      await page.waitForSelector(`#chart[data-history-candles="${kCandles}"]`, { timeout: kStep });
      const candles = Number(await attr(page, '#chart', 'candles'));
      if (candles < kCandles || candles > kCandles + 1) throw new Error(`${candles} candles drawn`);
    }, results);
    await check('no logo lies over the drawn chart', async () => {
      const links = await page.$$eval('#chart a', (found) => found.map((a) => a.href));
      if (links.length > 0) throw new Error(`links over the chart: ${links.join(', ')}`);
    }, results);
    await check('a new candle appears when the clock crosses a bar', async () => {
      await page.waitForFunction((n) => Number(document.getElementById('chart').dataset.candles) > n, kCandles,
                                 { timeout: kStep });
    }, results);
    await check('a dropped connection shows offline, then online', async () => {
      await page.waitForSelector('#state[data-state="offline"]', { timeout: kStep });
      await page.waitForSelector('#state[data-state="online"]', { timeout: kStep });
    }, results);
    await check('the chart goes on updating after the reconnect', async () => {
      const updates = Number(await attr(page, '#chart', 'updates'));
      await page.waitForFunction((n) => Number(document.getElementById('chart').dataset.updates) > n, updates,
                                 { timeout: kStep });
    }, results);
    await page.screenshot({ path: screenshotPath });
    console.log(`screenshot: ${screenshotPath}`);
    await check('a refused symbol empties the chart with the reason, and the quotes go on', async () => {
      await page.selectOption('#interval', '5');
      await page.fill('#symbol', 'acme');
      await page.click('#chart-form button');
      await page.waitForFunction(() => document.getElementById('chart-note').textContent.includes("'acme' rejected"),
                                 null, { timeout: kStep });
      await page.waitForSelector('#chart[data-candles="0"]', { timeout: kStep });
      await quotesMove(page);
      await page.waitForSelector('#state[data-state="online"]', { timeout: kStep });
    }, results);
    await check('a page opened on a refused symbol still shows the quotes and the state', async () => {
      const fresh = await browser.newPage();
      fresh.on('pageerror', (error) => errors.push(error.message));
      await fresh.goto(`${await url}?symbol=acme&interval=5`);
      await fresh.waitForSelector('#state[data-state="online"]', { timeout: kStep });
      await quotesMove(fresh);
      await fresh.waitForFunction(() => document.getElementById('chart-note').textContent.includes('rejected'), null,
                                  { timeout: kStep });
      await fresh.close();
      // Its slot is free again before the next page comes (two at most).
      await page.waitForFunction(async () => (await (await fetch('/api/status')).json()).pages === 1, null,
                                 { timeout: kStep, polling: 200 });
    }, results);
    await check('the chart comes back for a known symbol', async () => {
      await page.fill('#symbol', 'ACME');
      await page.click('#chart-form button');
      await page.waitForFunction(() => Number(document.getElementById('chart').dataset.candles) >= 40, null,
                                 { timeout: kStep });
      // Live bars arrive, so its chart's stream is open, and the stream without a chart is gone.
      await page.waitForFunction(() => Number(document.getElementById('chart').dataset.updates) > 0, null,
                                 { timeout: kStep });
      await page.waitForFunction(async () => (await (await fetch('/api/status')).json()).pages === 1, null,
                                 { timeout: kStep, polling: 200 });
    }, results);
    await check('a page turned away while all are taken gets in once one closes', async () => {
      const second = await browser.newPage();
      await second.goto(await url);
      await second.waitForSelector('#state[data-state="online"]', { timeout: kStep });
      const third = await browser.newPage();
      third.on('pageerror', (error) => errors.push(error.message));
      await third.goto(await url);
      await third.waitForSelector('#state[data-state="busy"]', { timeout: kStep });
      await second.close();
      await third.waitForSelector('#state[data-state="online"]', { timeout: kStep });
      await third.close();
    }, results);
    await check('a page served without a logon says why its chart is empty', async () => {
      const refused = startServer(['--password', 'wrong', '--connect-timeout', '1']);
      try {
        const alone = await browser.newPage();
        alone.on('pageerror', (error) => errors.push(error.message));
        await alone.goto(await refused.url);
        await alone.waitForSelector('#state[data-state="rejected"]', { timeout: kStep });
        await alone.waitForSelector('#chart[data-candles="0"]', { timeout: kStep });
        // The event stream's opening comes after the refused history, and must not blank its reason.
        const reason = 'not online: the feed rejected the logon';
        await alone.waitForFunction((text) => document.getElementById('chart-note').textContent === text, reason,
                                    { timeout: kStep });
        await alone.close();
      } finally {
        refused.server.kill('SIGINT');
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
  console.log(`${results.passed} passed, ${results.failed} failed`);
  process.exit(results.failed === 0 ? 0 : 1);
}

main().catch((error) => {
  console.log(`FAIL ${error.message}`);
  process.exit(1);
});
