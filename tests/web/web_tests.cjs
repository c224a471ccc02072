// SPDX-License-Identifier: Apache-2.0
// The page in headless Chromium against the simulated receiver in the page:
// whole runs, their outcome dialogs, the back-up download and the faults.
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

async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zelvar-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, acceptDownloads: true,
    viewport: { width: 900, height: 760 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  return { context, profile };
}

// A page at ?query, ready, with every value the progress bar took recorded,
// and whether Stop was off and the reason shown whenever the flash was busy.
async function openPage(context, query) {
  const page = await context.newPage();
  page.on('pageerror', (e) => console.log('  page error: ' + e.message));
  await page.addInitScript(() => {
    window.seenProgress = [];
    window.busySeen = [];
    document.addEventListener('DOMContentLoaded', () => {
      const bar = document.getElementById('progress');
      // One call may carry several changes: each record holds the value before it.
      new MutationObserver((records) => {
        for (const r of records) window.seenProgress.push(Number(r.oldValue));
        window.seenProgress.push(Number(bar.getAttribute('value')));
      }).observe(bar, { attributes: true, attributeOldValue: true, attributeFilter: ['value'] });
      new MutationObserver(() => {
        if (document.body.dataset.flashBusy !== '1') return;
        window.busySeen.push({ stopDisabled: document.getElementById('stop').disabled,
          reasonShown: !document.getElementById('busy-reason').hidden });
      }).observe(document.body, { attributes: true, attributeFilter: ['data-flash-busy'] });
    });
  });
  await page.goto(site + '/index.html' + query);
  await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
  return page;
}

// Clicks an action and waits for its outcome dialog: its text and status.
async function runAction(page, id) {
  await page.click('#' + id);
  await page.waitForSelector('#outcome[open][data-status]', { timeout: RUN_MS });
  const outcome = {
    status: Number(await page.getAttribute('#outcome', 'data-status')),
    text: await page.textContent('#outcome-text'),
    caption: await page.textContent('#outcome-caption'),
    cause: await page.textContent('#outcome-cause'),
    lines: await page.textContent('#outcome-lines'),
  };
  return outcome;
}

async function closeOutcome(page) {
  await page.click('#outcome-ok');
  await page.evaluate(() => document.getElementById('outcome').removeAttribute('data-status'));
  await page.waitForSelector('#outcome:not([open])', { state: 'attached' });
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

test('connect shows the simulated receiver and the controls', async (context) => {
  const page = await openPage(context, '?sim');
  expect((await page.textContent('#port-label')) === 'Simulated receiver', 'port label');
  expect(!(await page.isDisabled('#update')), 'Update is enabled');
  if (docsDir) await page.screenshot({ path: path.join(docsDir, 'zelvar-web-connect.png') });
});

test('update to "Download Finish" with the bar moving and Stop held off while flashing',
  async (context) => {
    const page = await openPage(context, '?sim');
    const out = await runAction(page, 'update');
    expect(out.text === 'Download Finish' && out.caption === 'Done' && out.status === 0,
      'outcome ' + JSON.stringify(out));
    const seen = await page.evaluate(() => window.seenProgress);
    const between = seen.filter((v) => v > 10 && v < 99);
    expect(seen.includes(10) && between.length >= 3 && seen[seen.length - 1] >= 99,
      'progress values ' + JSON.stringify(seen));
    const busy = await page.evaluate(() => window.busySeen);
    expect(busy.length > 0 && busy.every((b) => b.stopDisabled && b.reasonShown),
      'busy states ' + JSON.stringify(busy));
    const trace = await page.textContent('#trace');
    expect(/EPWrite/.test(trace) && /CalculateFlashCRC16/.test(trace), 'trace has the exchanges');
    if (docsDir) await page.screenshot({ path: path.join(docsDir, 'zelvar-web-finish.png') });
  });

test('identify names the flash part', async (context) => {
  const page = await openPage(context, '?sim&part=AM29LV800BB');
  const out = await runAction(page, 'identify');
  expect(out.status === 0, 'status ' + out.status);
  expect(/Flash part: AM29LV800BB/.test(out.lines) && /Flash size: 1048576 bytes on a 16-bit bus/
    .test(out.lines), 'lines ' + out.lines);
});

test('verify differs before the update and agrees after it', async (context) => {
  const page = await openPage(context, '?sim');
  let out = await runAction(page, 'verify');
  expect(out.status === 3 && /Differs/.test(out.lines), 'before: ' + JSON.stringify(out));
  await closeOutcome(page);
  out = await runAction(page, 'update');
  expect(out.text === 'Download Finish', 'update: ' + out.text);
  await closeOutcome(page);
  out = await runAction(page, 'verify');
  expect(out.status === 0 && /Verified: the CRCs agree/.test(out.lines), 'after: ' + out.lines);
});

test('back-up downloads the simulated flash as S-records', async (context) => {
  const page = await openPage(context, '?sim&flash-fill=0x5A');
  const out = await runAction(page, 'backup');
  expect(out.status === 0 && /Backup: 524288 bytes of 524288/.test(out.lines),
    'outcome ' + JSON.stringify(out));
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.click('#backup-link')]);
  const file = await download.path();
  const data = srec.parse(fs.readFileSync(file, 'utf8'));
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
  await page.setInputFiles('#file', file);
  let out;
  try {
    out = await runAction(page, 'flash-file');
  } finally {
    fs.unlinkSync(file);
  }
  expect(out.text === 'Download Finish' && out.status === 0, 'outcome ' + JSON.stringify(out));
  const flash = await simFlash(page);
  expect(flash.subarray(0, image.length).equals(image), 'the file is in the flash');
});

const faults = [
  ['?sim&write-fail-address=0x1000', 'EPWrite Fail', 1],
  ['?sim&nak-frame=1', 'Please close the GPS application !', 1],
  ['?sim&crc-off-by-one', 'CalculateFlashCRC16 Fail!', 1],
];
for (const [query, message, status] of faults) {
  test('fault ' + query + ' gives "' + message + '"', async (context) => {
    const page = await openPage(context, query);
    const out = await runAction(page, 'update');
    expect(out.text === message && out.caption === 'Fail' && out.status === status,
      'outcome ' + JSON.stringify(out));
  });
}

test('an unknown simulator setting is named', async (context) => {
  const page = await context.newPage();
  await page.goto(site + '/index.html?sim&nak-frames=3');
  await page.waitForSelector('#outcome[open]', { timeout: 30000 });
  const text = await page.textContent('#outcome-text');
  expect(/no setting "nak-frames"/.test(text), text);
  expect(await page.isDisabled('#update'), 'nothing to update');
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
      await page.click('#connect');
      await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
      if (bridgeBaud) await page.selectOption('#baud', bridgeBaud);
      if (docsDir) {
        await page.click('#update');
        await page.waitForFunction(() => Number(document.getElementById('progress')
          .getAttribute('value')) >= 40, null, { timeout: RUN_MS });
        await page.screenshot({ path: path.join(docsDir, 'zelvar-web-progress.png') });
      }
      started = Date.now();
      const out = docsDir ? await (async () => {
        await page.waitForSelector('#outcome[open][data-status]', { timeout: RUN_MS * 3 });
        return { text: await page.textContent('#outcome-text') };
      })() : await runAction(page, 'update');
      const webMs = Date.now() - started;
      if (keepDir) fs.writeFileSync(path.join(dir, 'web-trace.txt'), await page.textContent('#trace'));
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
