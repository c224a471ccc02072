const { chromium } = require('playwright-core');
(async () => {
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  const page = await browser.newPage();
  page.on('console', m => console.log('console:', m.text()));
  page.on('pageerror', e => console.log('pageerror:', e.message));
  await page.goto('http://127.0.0.1:' + process.argv[2] + '/index.html' + (process.argv[3] || '?sim'));
  await page.waitForSelector('body[data-state="idle"]', { timeout: 30000 });
  const t0 = Date.now();
  await page.click('#update');
  await page.waitForSelector('#outcome[open]', { timeout: 120000 });
  console.log(Date.now() - t0, 'ms', await page.textContent('#outcome'));
  console.log((await page.textContent('#trace')).slice(0, 500));
  await browser.close();
})();
