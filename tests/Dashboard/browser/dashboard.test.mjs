// The dashboard's page in headless Chromium: a capture opened, its boxes
// over the screenshot where the layout puts them, a view selected, and a
// coach mark with that view's identifier pushed to a device's event stream
// (zrl-events, the command-line client on the plug-in's event-stream client).
//
// usage: node dashboard.test.mjs ZRL_DASHBOARD ZRL_EVENTS
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import https from 'node:https';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const [dashboardPath, eventsPath] = process.argv.slice(2);
const patience = 30000;
const appId = 'demo app';

// Chromium's flags for this machine: no sandbox as root, and no network of
// its own beyond the page.
const chromiumFlags = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

function withTimeout(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), patience);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// The lines that a child prints, one at a time.
function lines(child) {
  const queue = [];
  const waiting = [];
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    const next = waiting.shift();
    if (next) next(line); else queue.push(line);
  });
  return () => withTimeout(new Promise((resolve) => {
    if (queue.length) resolve(queue.shift()); else waiting.push(resolve);
  }), 'a line from a child process');
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve(child.exitCode);
  }
  return withTimeout(new Promise((resolve) => child.once('exit', (code) => resolve(code))),
                     'a child process to end');
}

function request(url, ca, method, body) {
  return withTimeout(new Promise((resolve, reject) => {
    const req = https.request(url, { method, ca, headers: { 'Content-Type': 'application/json' } },
                              (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => { text += chunk; });
      res.on('end', () => resolve({ status: res.statusCode, text }));
    });
    req.on('error', reject);
    req.end(body);
  }), `${method} ${url}`);
}

const work = mkdtempSync(join(tmpdir(), 'zrl-dashboard-browser-'));
const children = [];
let browser;
try {
  const dashboard = spawn(dashboardPath, ['--port', '0', '--data', join(work, 'data')],
                          { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(dashboard);
  const dashboardLine = lines(dashboard);
  const caFile = (await dashboardLine()).replace(/^ca: /, '');
  const origin = (await dashboardLine()).replace(/^listening: /, '');
  const openURL = (await dashboardLine()).replace(/^open: /, '');
  assert.match(openURL, /^https:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{64}$/);
  const ca = readFileSync(caFile);

  // The browser trusts the dashboard's authority through its own NSS
  // database, in a home folder of this test's.
  const home = join(work, 'home');
  const nssdb = join(home, '.pki', 'nssdb');
  execFileSync('mkdir', ['-p', nssdb]);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-N', '--empty-password']);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-A', '-n', 'zrl-dashboard', '-t', 'C,,',
                            '-i', caFile]);
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: chromiumFlags,  // playwright gives it a new, empty profile
    env: { ...process.env, HOME: home },
    timeout: patience,
  });
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  page.setDefaultTimeout(patience);
  page.on('pageerror', (error) => { throw error; });

  // A screenshot as a device would send it: 200 x 400 points at one pixel
  // per point, with a button where the layout says.
  await page.setViewportSize({ width: 200, height: 400 });
  await page.setContent('<body style="margin:0;background:#eee">' +
      '<div style="position:absolute;left:20px;top:100px;width:160px;height:50px;' +
      'background:#36c"></div></body>');
  const screenshot = await page.screenshot({ type: 'png' });
  await page.setViewportSize({ width: 1280, height: 900 });
  const button = { id: 'ZRL:Root:0:Button:0', view: 'Button',
                   bounds: { top: 100, left: 20, right: 180, bottom: 150 } };
  const layout = [{ id: 'ZRL:Root:0', naf: false, view: 'Root',
                    bounds: { top: 0, left: 0, right: 200, bottom: 400 },
                    views: [{ ...button, naf: false, views: [] }] }];
  const base64 = screenshot.toString('base64').match(/.{1,64}/g).join('\r\n');
  const upload = await request(`${origin}/v1/api/layout?appId=${encodeURIComponent(appId)}`, ca,
                               'POST', JSON.stringify({
    screen: { image: base64, orientation: 'portrait', navigation: 'Checkout' },
    layout,
    device_info: { os: 'iOS', width: 200, height: 400 },
  }));
  assert.equal(upload.status, 200, upload.text);

  // A device's stream, through the plug-in's event-stream client.
  const streamURL = `${origin}/v1/api/sse-ui-config?appId=${encodeURIComponent(appId)}`;
  const device = spawn(eventsPath, ['--max', '1', '--ca-file', caFile, streamURL],
                       { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(device);
  const deviceLine = lines(device);
  const deviceRecords = [];
  for (;;) {
    const record = JSON.parse(await deviceLine());
    deviceRecords.push(record);
    if (record.type === 'open') break;
  }

  // The printed address sets the cookie and leads to the page.
  await page.goto(openURL);
  assert.equal(new URL(page.url()).search, '', 'the token leaves the address');
  await page.fill('#app-id', appId);
  await page.click('#app-form button[type=submit]');
  await page.click('#captures li button');
  await page.waitForSelector(`.box[data-id="${button.id}"]`);
  await page.waitForFunction(() => document.getElementById('screenshot').naturalWidth > 0);

  // Each box sits over the screenshot where the layout puts it, at the
  // scale at which the screenshot is shown.
  const geometry = await page.evaluate((id) => {
    const image = document.getElementById('screenshot');
    const rect = (element) => {
      const r = element.getBoundingClientRect();
      return { left: r.left, top: r.top, width: r.width, height: r.height };
    };
    return {
      image: rect(image),
      clientWidth: image.clientWidth,
      naturalWidth: image.naturalWidth,
      naturalHeight: image.naturalHeight,
      box: rect(document.querySelector(`.box[data-id="${id}"]`)),
      root: rect(document.querySelector('.box[data-id="ZRL:Root:0"]')),
    };
  }, button.id);
  assert.equal(geometry.naturalWidth, 200);
  assert.equal(geometry.naturalHeight, 400);
  const scale = geometry.clientWidth / geometry.naturalWidth;
  const border = (geometry.image.width - geometry.clientWidth) / 2;
  const near = (actual, expected, what) =>
    assert.ok(Math.abs(actual - expected) <= 1, `${what}: ${actual} is not ${expected}`);
  const imageLeft = geometry.image.left + border;
  const imageTop = geometry.image.top + border;
  near(geometry.box.left, imageLeft + button.bounds.left * scale, 'box left');
  near(geometry.box.top, imageTop + button.bounds.top * scale, 'box top');
  near(geometry.box.width, (button.bounds.right - button.bounds.left) * scale, 'box width');
  near(geometry.box.height, (button.bounds.bottom - button.bounds.top) * scale, 'box height');
  near(geometry.root.width, 200 * scale, 'root width');

  // What the screenshot shows under the box's centre is the button's blue.
  const centreX = geometry.box.left + geometry.box.width / 2;
  const centreY = geometry.box.top + geometry.box.height / 2;
  const pixel = await page.evaluate(({ x, y }) => {
    const image = document.getElementById('screenshot');
    const canvas = document.createElement('canvas');
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    return Array.from(context.getImageData(Math.floor(x), Math.floor(y), 1, 1).data);
  }, { x: (centreX - imageLeft) / scale, y: (centreY - imageTop) / scale });
  assert.deepEqual(pixel, [0x33, 0x66, 0xcc, 255]);

  // The box under the pointer is described; a click selects it.
  await page.mouse.move(centreX, centreY);
  await page.waitForFunction((id) => document.getElementById('info-id').textContent === id,
                             button.id);
  assert.equal(await page.textContent('#info-view'), 'Button');
  assert.equal(await page.textContent('#info-bounds'), 'top 100, left 20, right 180, bottom 150');
  await page.mouse.click(centreX, centreY);
  assert.equal(await page.inputValue('#target-view'), button.id);
  assert.ok(await page.$eval(`.box[data-id="${button.id}"]`,
                             (box) => box.classList.contains('selected')));

  // A coach mark for the selected view reaches the device's stream.
  await page.selectOption('#display-type', 'coach_mark');
  await page.fill('#preview-title', 'Try this');
  await page.fill('#preview-text', 'Tap to pay');
  await page.click('#push');
  await page.waitForFunction(() => document.getElementById('push-result').dataset.delivered);
  assert.match(await page.textContent('#push-result'), /went to 1 open stream\./);
  if (process.env.ZRL_DASHBOARD_PAGE_SHOT) await page.screenshot({ path: process.env.ZRL_DASHBOARD_PAGE_SHOT });

  let message;
  while (!message) {
    const record = JSON.parse(await deviceLine());
    if (record.type === 'message') message = record;
  }
  assert.equal(await exited(device), 0);
  const config = JSON.parse(message.data);
  assert.deepEqual(config, { ui: { display_type: 'coach_mark', view_id: button.id,
                                   title: 'Try this', text: 'Tap to pay' } });
  assert.match(message.id, /^\d+$/);

  await browser.close();
  browser = undefined;
  dashboard.kill('SIGTERM');
  assert.equal(await exited(dashboard), 0);
  console.log('dashboard browser test passed');
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const child of children) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  }
  rmSync(work, { recursive: true, force: true });
}
