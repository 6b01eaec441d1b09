// Takes a picture of the dashboard's page with one capture open: starts
// zrl-dashboard on an existing data folder, opens the page in Debian's
// headless Chromium (through playwright-core, which never downloads a
// browser), shows the application's newest capture of SCREEN with its
// layout tree, selects the box of its first button, composes a coach mark
// on it (drawn over the screenshot as the device will draw it) and writes
// the page as a PNG.
//
// usage: node page-screenshot.mjs ZRL_DASHBOARD DATA_DIR APP_ID SCREEN OUT.png
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const [dashboardPath, dataDir, appId, screen, out] = process.argv.slice(2);
if (!out) {
  console.error('usage: node page-screenshot.mjs ZRL_DASHBOARD DATA_DIR APP_ID SCREEN OUT.png');
  process.exit(2);
}
const patience = 60000;

function firstLines(child, count) {
  return new Promise((resolve, reject) => {
    const lines = [];
    const timer = setTimeout(() => reject(new Error('zrl-dashboard did not start')), patience);
    readline.createInterface({ input: child.stdout }).on('line', (line) => {
      lines.push(line);
      if (lines.length === count) {
        clearTimeout(timer);
        resolve(lines);
      }
    });
    child.once('exit', (code) => reject(new Error(`zrl-dashboard ended with status ${code}`)));
  });
}

const home = mkdtempSync(join(tmpdir(), 'zrl-page-screenshot-'));
const dashboard = spawn(dashboardPath, ['--port', '0', '--data', dataDir],
                        { stdio: ['ignore', 'pipe', 'inherit'] });
let browser;
let status = 0;
try {
  const [caLine, , openLine] = await firstLines(dashboard, 3);
  // The browser trusts the dashboard's authority through an NSS database
  // in a home folder of its own.
  const nssdb = join(home, '.pki', 'nssdb');
  execFileSync('mkdir', ['-p', nssdb]);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-N', '--empty-password']);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-A', '-n', 'zrl-dashboard', '-t', 'C,,',
                            '-i', caLine.replace(/^ca: /, '')]);
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--hide-scrollbars'],
    env: { ...process.env, HOME: home },
    timeout: patience,
  });
  const page = await browser.newPage({ viewport: { width: 1280, height: 860 } });
  page.setDefaultTimeout(patience);
  await page.goto(openLine.replace(/^open: /, ''));
  await page.fill('#app-id', appId);
  await page.click('#app-form button[type=submit]');
  await page.locator('#captures li button', { hasText: screen }).first().click();
  await page.waitForFunction(() => document.getElementById('screenshot').naturalWidth > 0);
  await page.waitForSelector('.box');
  // The first button's box, hovered and selected, as a marketer picks a view.
  const ids = await page.$$eval('.box', (boxes) => boxes.map((box) => box.dataset.id));
  const id = ids.find((value) => /Button/.test(value)) ?? ids[0];
  const box = page.locator(`.box[data-id="${id}"]`);
  const bounds = await box.boundingBox();
  await page.mouse.click(bounds.x + bounds.width / 2, bounds.y + bounds.height / 2);
  await page.waitForFunction((value) => document.getElementById('info-id').textContent === value,
                             id);
  await page.selectOption('#display-type', 'coach_mark');
  await page.fill('#preview-title', 'Tap here to log in');
  await page.fill('#preview-text', 'Your account is one tap away.');
  await page.waitForFunction(() => {
    const shown = document.getElementById('preview').dataset.preview;
    return shown && JSON.parse(shown).spotlight !== null;
  });
  await page.screenshot({ path: out });
  console.log(`page-screenshot: wrote ${out} (capture of ${screen}, a coach mark on ${id})`);
} catch (error) {
  console.error(`page-screenshot: ${error.message}`);
  status = 1;
} finally {
  if (browser) await browser.close();
  dashboard.kill('SIGTERM');
  rmSync(home, { recursive: true, force: true });
}
process.exitCode = status;
