// SPDX-License-Identifier: Apache-2.0
// The page in headless Chromium against the simulated receiver in the page,
// driven as a reader would, by roles and names: the guided update with its
// readouts, each servicing action, the outcome's details, the faults, the
// WCAG checks (axe-core), loading, offline use and a run cut off by a reload.
//   node web_tests.cjs --site URL [--update-docs DIR] [--only NAME]
//       [--receiver PATH --zelvar PATH [--baud N] [--wire-timing] [--keep-logs DIR]]
// Prints one line per case and "N passed, N failed"; exits 1 when any failed.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');
const srec = require('./srec.cjs');

const args = process.argv.slice(2);
const opt = (name) => { const i = args.indexOf(name); return i >= 0 ? args[i + 1] : undefined; };
const site = opt('--site');
const docsDir = opt('--update-docs');
const only = opt('--only');
// The bridge case: zelvar-receiver on a pseudo-terminal, once for the native
// program and once for the page through serial_bridge.py.
const receiverBin = opt('--receiver');
const zelvarBin = opt('--zelvar');
const bridgeBaud = opt('--baud');
const wireTiming = args.includes('--wire-timing');
// Where the bridge case leaves both receivers' logs, for timing them apart.
const keepDir = opt('--keep-logs');
const { spawn } = require('child_process');
const children = [];
process.on('exit', () => { for (const c of children) { try { c.kill(); } catch (e) {} } });
const RUN_MS = 90000;

const launchArgs = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  // A name other than localhost for the same server: plain http there is no secure context.
  '--host-resolver-rules=MAP zelvar.test 127.0.0.1'];

// Service workers off here: they would answer the requests that the cases
// block or throttle. The offline case has a browser of its own.
async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zelvar-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, acceptDownloads: true,
    viewport: { width: 900, height: 760 }, serviceWorkers: 'block', args: launchArgs,
  });
  return { context, profile };
}

const button = (page, name) => page.getByRole('button', { name, exact: typeof name === 'string' });
const mainAction = (page) => button(page, /^Update( to |$)/);

// A page at ?query, ready, recording every value the progress bar took, every
// phase and byte readout it showed, and whether Stop was off and the warning
// up whenever the flash was busy. The recorders find their elements by role
// and name, as a reader would.
async function openPage(context, query, ready = 'idle') {
  const page = await context.newPage();
  page.on('pageerror', (e) => console.log('  page error: ' + e.message));
  await page.addInitScript(() => {
    Object.assign(window, { seenProgress: [], busySeen: [], phasesSeen: [], amountsSeen: [] });
    document.addEventListener('DOMContentLoaded', () => {
      const bar = document.querySelector('progress[aria-label="Progress of the run"]');
      const phase = bar.closest('section').querySelector('[aria-live="polite"]');
      const amounts = bar.parentElement.nextElementSibling;
      const stop = [...document.querySelectorAll('button')].find((b) => b.textContent === 'Stop');
      const warning = document.querySelector('main [aria-live="assertive"]');
      // One call may carry several changes: each record holds the value before it.
      new MutationObserver((records) => {
        for (const r of records) window.seenProgress.push(Number(r.oldValue));
        window.seenProgress.push(Number(bar.getAttribute('value')));
      }).observe(bar, { attributes: true, attributeOldValue: true, attributeFilter: ['value'] });
      for (const [element, seen] of [[phase, window.phasesSeen], [amounts, window.amountsSeen]]) {
        new MutationObserver((records) => {
          for (const r of records) for (const n of r.addedNodes) seen.push(n.textContent);
        }).observe(element, { childList: true });
      }
      new MutationObserver(() => {
        if (document.body.dataset.flashBusy !== '1') return;
        window.busySeen.push({ stopDisabled: stop.disabled, warning: warning.textContent });
      }).observe(document.body, { attributes: true, attributeFilter: ['data-flash-busy'] });
    });
  });
  await page.goto(site + '/index.html' + query);
  await page.waitForSelector('body[data-state="' + ready + '"]', { timeout: 30000 });
  return page;
}

// The outcome dialog as a reader gets it: its name, the message it is
// described by, its details as term and definition, and its text.
async function readOutcome(page, timeout = RUN_MS) {
  const dialog = page.getByRole('dialog');
  await dialog.waitFor({ state: 'visible', timeout });
  const terms = await dialog.getByRole('term').allTextContents();
  const values = await dialog.getByRole('definition').allTextContents();
  return {
    title: await page.getByRole('dialog').getByRole('heading').textContent(),
    text: await dialog.evaluate((d) => document.getElementById(d.getAttribute('aria-describedby')).textContent),
    facts: Object.fromEntries(terms.map((t, i) => [t, values[i]])),
    all: await dialog.innerText(),
  };
}

async function runAction(page, name) {
  await button(page, name).click();
  const out = await readOutcome(page);
  out.status = Number(out.facts.Status);
  return out;
}

async function closeOutcome(page) {
  await page.getByRole('dialog').getByRole('button', { name: 'OK' }).click();
  await page.getByRole('dialog').waitFor({ state: 'hidden' });
}

function expect(condition, what) {
  if (!condition) throw new Error(what);
}

async function simFlash(page) {
  const bytes = await page.evaluate(() => Array.from(ZelvarPage.simFlash()));
  return Buffer.from(bytes);
}

const cases = [];
const test = (name, fn) => cases.push({ name, fn });

test('a first update from the steps, by keyboard: phases, bytes, outcome, focus, trace',
  async (context) => {
    const page = await openPage(context, '', 'waiting');
    const steps = page.getByRole('listitem').filter({ has: page.getByRole('heading', { level: 3 }) });
    expect((await steps.count()) === 3, 'three steps');
    expect(await button(page, 'Save the trace').isDisabled(), 'no trace before a run');
    await page.getByRole('radio', { name: /Simulated receiver/ }).check();
    await button(page, 'Connect the simulated receiver').click();
    await page.getByRole('status').filter({ hasText: 'Simulated receiver' }).waitFor();
    expect((await mainAction(page).textContent()) === 'Update to firmware 0xB73C (482,008 bytes)',
      'main action ' + await mainAction(page).textContent());
    if (docsDir) await page.screenshot({ path: path.join(docsDir, 'zelvar-web-connect.png'), fullPage: true });
    // A slower processor, so that the simulated update lasts long enough for a rate.
    const cdp = await context.newCDPSession(page);
    await cdp.send('Emulation.setCPUThrottlingRate', { rate: 8 });
    await mainAction(page).focus();
    await page.keyboard.press('Enter');
    const out = await readOutcome(page);
    await cdp.send('Emulation.setCPUThrottlingRate', { rate: 1 });
    expect(out.text === 'Download Finish' && out.facts.Status === '0', 'outcome ' + JSON.stringify(out));
    expect(out.facts['Bytes written'] === '482,008' &&
      out.facts.Image === '482,008 bytes, CRC-16 0xB73C' && out.facts["Receiver's CRC-16"] === '0xB73C' &&
      /boot [0-9.]+ s, erase [0-9.]+ s, write [0-9.]+ s/.test(out.facts.Times), 'facts ' + JSON.stringify(out.facts));
    const seen = await page.evaluate(() => ({ progress: window.seenProgress, busy: window.busySeen,
      phases: [...new Set(window.phasesSeen)], amounts: [...new Set(window.amountsSeen)] }));
    const between = seen.progress.filter((v) => v > 10 && v < 99);
    expect(seen.progress.includes(10) && between.length >= 3 && seen.progress.at(-1) >= 99,
      'progress values ' + JSON.stringify(seen.progress));
    expect(seen.busy.length > 0 && seen.busy.every((b) => b.stopDisabled && /being updated/.test(b.warning)),
      'busy states ' + JSON.stringify(seen.busy));
    for (const phase of ['Reaching the receiver', 'Erasing the flash', 'Writing the firmware']) {
      expect(seen.phases.some((p) => p.startsWith(phase)), phase + ' in ' + JSON.stringify(seen.phases));
    }
    const written = seen.amounts.map((a) => /^([0-9,]+) of 482,008 bytes written/.exec(a))
      .filter(Boolean).map((m) => Number(m[1].replace(/,/g, '')));
    expect(written.length >= 3 && written.every((v, i) => i === 0 || v >= written[i - 1]) && written.at(-1) > written[0] &&
      seen.amounts.some((a) => /KB\/s, about \d+ s left/.test(a)), 'amounts ' + JSON.stringify(seen.amounts));
    if (docsDir) await page.screenshot({ path: path.join(docsDir, 'zelvar-web-finish.png') });
    await page.keyboard.press('Escape');
    const focused = await page.evaluate(() => document.activeElement.textContent);
    expect(/^Update to /.test(focused), 'focus went back to "' + focused + '"');
    await page.getByText('Exchanges of the last run').click();
    expect(/EPWrite/.test(await page.getByRole('region', { name: 'Trace of the last run' }).textContent()),
      'trace has the exchanges');
    const [download] = await Promise.all([page.waitForEvent('download'), button(page, 'Save the trace').click()]);
    const trace = fs.readFileSync(await download.path(), 'utf8').split('\n');
    expect(/^# Zelvar \S+ \(the page\)$/.test(trace[0]) && /^# Date: \d{4}-/.test(trace[1]) &&
      trace[2] === '# Port: Simulated receiver' && /^# Outcome: .*Download Finish.*\(status 0\)$/.test(trace[4]) &&
      trace.some((l) => /CalculateFlashCRC16/.test(l)), 'trace header ' + trace.slice(0, 5).join(' | '));
  });

test('identify names the flash part', async (context) => {
  const page = await openPage(context, '?sim&part=AM29LV800BB');
  const out = await runAction(page, 'Identify');
  expect(out.status === 0, 'status ' + out.status);
  expect(/Flash part: AM29LV800BB/.test(out.all) && /Flash size: 1048576 bytes on a 16-bit bus/
    .test(out.all) && /^AM29LV800BB/.test(out.facts['Flash part']), 'outcome ' + out.all);
});

test('verify differs before the update and agrees after it', async (context) => {
  const page = await openPage(context, '?sim');
  let out = await runAction(page, 'Verify');
  expect(out.status === 3 && /Differs/.test(out.all), 'before: ' + JSON.stringify(out));
  await closeOutcome(page);
  await mainAction(page).click();
  out = await readOutcome(page);
  expect(out.text === 'Download Finish', 'update: ' + out.text);
  await closeOutcome(page);
  out = await runAction(page, 'Verify');
  expect(out.status === 0 && /Verified: the CRCs agree/.test(out.all), 'after: ' + out.all);
});

test('back-up downloads the simulated flash as S-records, its bytes counted', async (context) => {
  const page = await openPage(context, '?sim&flash-fill=0x5A');
  const out = await runAction(page, 'Back up');
  expect(out.status === 0 && /Backup: 524288 bytes of 524288/.test(out.all),
    'outcome ' + JSON.stringify(out));
  const amounts = await page.evaluate(() => window.amountsSeen);
  expect(amounts.some((a) => /^[0-9,]+ of 524,288 bytes read/.test(a)), 'amounts ' + JSON.stringify(amounts));
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('link', { name: /Save the back-up/ }).click()]);
  const data = srec.parse(fs.readFileSync(await download.path(), 'utf8'));
  const flash = await simFlash(page);
  expect(data.length === flash.length && data.equals(flash), 'back-up equals the flash');
  expect(flash.every((b) => b === 0x5a), 'the flash was not touched');
});

test('a file flashed lands in the simulated flash', async (context) => {
  const page = await openPage(context, '?sim');
  const image = Buffer.alloc(70000);
  for (let i = 0; i < image.length; ++i) image[i] = (i * 7 + (i >> 8)) & 0xff;
  const file = path.join(os.tmpdir(), 'zelvar-web-image-' + process.pid + '.s');
  fs.writeFileSync(file, srec.write(image));
  let out;
  try {
    await page.getByLabel('Firmware file (S-records, Intel HEX or binary)').setInputFiles(file);
    out = await runAction(page, 'Flash the file');
  } finally {
    fs.unlinkSync(file);
  }
  expect(out.text === 'Download Finish' && out.status === 0 && out.facts['Bytes written'] === '70,000',
    'outcome ' + JSON.stringify(out));
  const flash = await simFlash(page);
  expect(flash.subarray(0, image.length).equals(image), 'the file is in the flash');
});

const faults = [
  ['?sim&write-fail-address=0x1000', 'EPWrite Fail', 1],
  ['?sim&nak-frame=1', 'Please close the GPS application !', 2],
  ['?sim&crc-off-by-one', 'CalculateFlashCRC16 Fail!', 1],
];
for (const [query, message, status] of faults) {
  test('fault ' + query + ' gives "' + message + '"', async (context) => {
    const page = await openPage(context, query);
    await mainAction(page).click();
    const out = await readOutcome(page);
    expect(out.text === message && Number(out.facts.Status) === status, 'outcome ' + JSON.stringify(out));
  });
}

test('an unknown simulator setting is named', async (context) => {
  const page = await openPage(context, '?sim&nak-frames=3', 'waiting');
  const out = await readOutcome(page, 30000);
  expect(/no setting "nak-frames"/.test(out.text), out.text);
  expect(await mainAction(page).isDisabled(), 'nothing to update');
});

test('no WCAG 2 A/AA violations at 1280 and 360 px, light and dark, dialog open or not',
  async (context) => {
    const axe = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
    const page = await openPage(context, '?sim');
    await page.addScriptTag({ content: axe });
    const check = async (what) => {
      const result = await page.evaluate(() => axe.run(document, { runOnly: { type: 'tag',
        values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'wcag22aa'] } }));
      const found = result.violations.map((v) => v.id + ' (' + v.nodes.map((n) => n.target).join(' ') + ')');
      expect(found.length === 0, what + ': ' + found.join('; '));
    };
    for (const width of [1280, 360]) {
      for (const colorScheme of ['light', 'dark']) {
        await page.setViewportSize({ width, height: 800 });
        await page.emulateMedia({ colorScheme });
        await check(width + ' px ' + colorScheme);
        const overflow = await page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
        expect(overflow <= 0, width + ' px: ' + overflow + ' px wider than the window');
      }
    }
    await runAction(page, 'Identify');
    const box = await page.getByRole('dialog').boundingBox();
    expect(box.x >= 0 && box.x + box.width <= 360, 'the dialog fits 360 px: ' + JSON.stringify(box));
    await check('the dialog at 360 px dark');
    if (docsDir) await page.screenshot({ path: path.join(docsDir, 'zelvar-web-phone-dark.png') });
  });

test('the module loads visibly on a slow line, and a blocked one can be tried again', async (context) => {
  const page = await context.newPage();
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
  await cdp.send('Network.emulateNetworkConditions', { offline: false, latency: 40,
    downloadThroughput: 256 * 1024, uploadThroughput: 256 * 1024 });
  await page.goto(site + '/index.html?sim');
  const loading = page.getByRole('status').filter({ hasText: 'Loading the updater' });
  const amounts = new Set();
  for (let i = 0; i < 200 && !(await page.evaluate(() => document.body.dataset.state === 'idle')); ++i) {
    if (await loading.isVisible()) amounts.add(await loading.textContent());
    await page.waitForTimeout(50);
  }
  const counted = [...amounts].filter((a) => /[0-9,]+ (of [0-9,]+ )?KB/.test(a));
  expect(counted.length >= 3,
    'loading readouts ' + JSON.stringify([...amounts]));
  expect(!(await loading.isVisible()), 'the loading state goes once loaded');
  await cdp.send('Network.emulateNetworkConditions', { offline: false, latency: 0,
    downloadThroughput: -1, uploadThroughput: -1 });
  await page.route('**/zelvar.wasm', (route) => route.abort('connectionfailed'));
  await page.reload();
  const alert = page.getByRole('alert').filter({ hasText: 'could not be loaded' });
  await alert.waitFor({ timeout: 30000 });
  expect(await mainAction(page).isDisabled(), 'nothing runs without the module');
  await page.unroute('**/zelvar.wasm');
  await button(page, 'Try again').click();
  await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
  expect(!(await alert.isVisible()), 'the error goes once loaded');
});

test('a reload in the middle of an update is remembered until understood', async (context) => {
  const page = await openPage(context, '?sim');
  page.on('dialog', (d) => d.accept());
  // The simulated update ends within a second: a slower processor leaves
  // time to catch it writing.
  const cdp = await context.newCDPSession(page);
  await cdp.send('Emulation.setCPUThrottlingRate', { rate: 20 });
  await mainAction(page).click();
  await page.waitForFunction(() => document.body.dataset.flashBusy === '1', null,
    { polling: 10, timeout: RUN_MS });
  // Still slowed until the new page has replaced the old one: a run that
  // ended in between would rightly be forgotten.
  await page.reload({ waitUntil: 'commit' });
  await cdp.send('Emulation.setCPUThrottlingRate', { rate: 1 });
  const notice = page.getByRole('alert').filter({ has: page.getByRole('heading', { name: 'The last update was cut off' }) });
  await notice.waitFor({ timeout: 30000 });
  expect(/Power-cycle the receiver in its boot ROM, then update again/.test(await notice.textContent()),
    await notice.textContent());
  await button(page, 'Understood').click();
  await page.reload();
  await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
  expect(!(await notice.isVisible()), 'forgotten once understood');
});

test('plain http at another name is said to lack a secure context; a cancelled chooser is cleared',
  async (context) => {
    const insecure = await context.newPage();
    await insecure.goto(site.replace('127.0.0.1', 'zelvar.test') + '/index.html');
    const notice = insecure.getByText(/not a secure context/);
    await notice.waitFor({ timeout: 30000 });
    expect(!/browser has no Web Serial/.test(await notice.textContent()), 'blames the browser');
    const page = await context.newPage();
    await page.addInitScript(() => Object.defineProperty(navigator, 'serial', { configurable: true,
      value: { requestPort: async () => { throw new DOMException('No port selected by the user.', 'NotFoundError'); } } }));
    await page.goto(site + '/index.html');
    await page.waitForSelector('body[data-state="waiting"]', { timeout: 30000 });
    await button(page, 'Choose the port').click();
    const note = page.getByText('No port was chosen (NotFoundError).', { exact: false });
    await note.waitFor();
    await page.getByRole('radio', { name: /Simulated receiver/ }).check();
    expect(!(await note.isVisible()), 'the chooser\'s note stays after switching');
  });

test('after one visit the page opens and runs offline (service worker)', async () => {
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: launchArgs });
  try {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(site + '/index.html?sim');
    await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
    await page.waitForFunction(() => navigator.serviceWorker.controller !== null, null, { timeout: 30000 });
    await context.setOffline(true);
    await page.reload();
    await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
    const out = await runAction(page, 'Identify');
    expect(out.status === 0, 'identify offline: ' + JSON.stringify(out));
  } finally {
    await browser.close();
  }
});

function startReceiver(link, logFile) {
  const extra = wireTiming ? ['--wire-timing'] : [];
  const log = fs.openSync(logFile, 'w');
  const child = spawn(receiverBin, ['--link', link, '--once', '-v', ...extra],
    { stdio: ['ignore', 'ignore', log] });
  children.push(child);
  const ended = new Promise((resolve) => child.on('exit', resolve));
  return { child, ended };
}

async function waitForPath(file) {
  for (let i = 0; i < 200 && !fs.existsSync(file); ++i) await new Promise((r) => setTimeout(r, 50));
  if (!fs.existsSync(file)) throw new Error(file + ' did not appear');
}

// The receiver's account of the frames, without what depends on the clock.
function frames(logFile) {
  return fs.readFileSync(logFile, 'utf8').split('\n').filter((l) => l.trim() !== '')
    .map((l) => l.replace(/^\s*[0-9.]+\s*ms\s*/, ''));
}

if (receiverBin && zelvarBin) {
  test('through the bridge the receiver sees the frames of a native run', async (context) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zelvar-bridge-'));
    try {
      const baudArgs = bridgeBaud ? ['--baud', bridgeBaud] : [];
      const native = startReceiver(path.join(dir, 'native'), path.join(dir, 'native.log'));
      await waitForPath(path.join(dir, 'native'));
      let started = Date.now();
      const traceArgs = keepDir ? ['--trace', path.join(dir, 'native-trace.txt')] : [];
      const run = spawn(zelvarBin, ['--port', path.join(dir, 'native'), ...baudArgs, ...traceArgs],
        { stdio: ['ignore', 'pipe', 'pipe'] });
      children.push(run);
      let nativeOut = '';
      run.stdout.on('data', (d) => { nativeOut += d; });
      const nativeStatus = await new Promise((resolve) => run.on('exit', resolve));
      const nativeMs = Date.now() - started;
      await native.ended;
      expect(nativeStatus === 0 && /Download Finish/.test(nativeOut), 'native run: ' + nativeOut);

      const web = startReceiver(path.join(dir, 'web'), path.join(dir, 'web.log'));
      await waitForPath(path.join(dir, 'web'));
      const bridge = spawn('python3', [path.join(__dirname, 'serial_bridge.py'),
        path.join(dir, 'web')], { stdio: ['ignore', 'pipe', 'inherit'] });
      children.push(bridge);
      const bridgePort = await new Promise((resolve, reject) => {
        bridge.stdout.once('data', (d) => resolve(Number(String(d).trim())));
        bridge.on('exit', () => reject(new Error('the bridge ended')));
      });
      const page = await context.newPage();
      await page.addInitScript('window.ZELVAR_BRIDGE_URL = "ws://127.0.0.1:' + bridgePort + '";');
      await page.addInitScript({ path: path.join(__dirname, 'bridge_port.js') });
      await page.goto(site + '/index.html');
      await page.waitForSelector('body[data-state="waiting"]', { timeout: 30000 });
      await button(page, 'Choose the port').click();
      await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
      if (bridgeBaud) {
        await page.getByText('Rate after the boot stage').click();
        await page.getByLabel('Operating rate').selectOption(bridgeBaud);
      }
      if (docsDir) {
        await mainAction(page).click();
        await page.getByRole('progressbar', { name: 'Progress of the run' }).and(page.locator('[value]'))
          .evaluate(async (bar) => { while (Number(bar.getAttribute('value')) < 60) await new Promise((r) => setTimeout(r, 50)); });
        await page.getByRole('region', { name: 'Progress' }).evaluate((e) => e.scrollIntoView());
        await page.screenshot({ path: path.join(docsDir, 'zelvar-web-progress.png') });
      }
      started = Date.now();
      let out;
      if (docsDir) {
        out = await readOutcome(page, RUN_MS * 3);
      } else {
        await mainAction(page).click();
        out = await readOutcome(page, RUN_MS * 3);
      }
      const webMs = Date.now() - started;
      if (keepDir) {
        await page.getByText('Exchanges of the last run').click();
        fs.writeFileSync(path.join(dir, 'web-trace.txt'),
          await page.getByRole('region', { name: 'Trace of the last run' }).textContent());
      }
      expect(out.text === 'Download Finish', 'web run: ' + JSON.stringify(out));
      await web.ended;
      bridge.kill();
      const a = frames(path.join(dir, 'native.log'));
      const b = frames(path.join(dir, 'web.log'));
      const firstDiff = a.findIndex((line, i) => line !== b[i]);
      expect(a.length > 100 && a.length === b.length && firstDiff < 0,
        'frames differ: ' + a.length + ' vs ' + b.length + ' lines, first at ' + firstDiff +
        ': "' + a[firstDiff] + '" / "' + b[firstDiff] + '"');
      console.log('  ' + a.length + ' frame lines alike; native ' + nativeMs + ' ms, page ' +
        (docsDir ? 'n/a' : webMs) + ' ms');
    } finally {
      if (keepDir) {
        fs.mkdirSync(keepDir, { recursive: true });
        for (const log of ['native.log', 'web.log', 'native-trace.txt', 'web-trace.txt']) {
          if (fs.existsSync(path.join(dir, log))) fs.copyFileSync(path.join(dir, log), path.join(keepDir, log));
        }
      }
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
}

async function main() {
  if (!site) throw new Error('--site URL is needed');
  if (docsDir) fs.mkdirSync(docsDir, { recursive: true });
  const { context, profile } = await launch();
  let passed = 0;
  let failed = 0;
  try {
    for (const c of cases) {
      if (only && !c.name.includes(only)) continue;
      const started = Date.now();
      try {
        await c.fn(context);
        passed++;
        console.log('PASS ' + c.name + ' (' + (Date.now() - started) + ' ms)');
      } catch (error) {
        failed++;
        console.log('FAIL ' + c.name + ': ' + String(error.message).split('\n')[0]);
      }
      for (const p of context.pages()) await p.close();
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(passed + ' passed, ' + failed + ' failed');
  process.exitCode = failed === 0 ? 0 : 1;
}

main().catch((error) => { console.log('FAIL the run: ' + error.message); console.log('0 passed, 1 failed'); process.exitCode = 1; });
