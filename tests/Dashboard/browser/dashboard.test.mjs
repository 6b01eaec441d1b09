// The dashboard's page in headless Chromium, as a marketer uses it: the
// application list, a capture's boxes and tree (hover and click both ways,
// the filter), the counters that move as device streams open and close
// (zrl-events, the command-line client on the plug-in's event-stream
// client), the history with a push again, deletions, and the live preview,
// whose rectangles must equal those that a zrl-sim device reports in its
// dump for the same capture and configuration.
//
// usage: node dashboard.test.mjs ZRL_DASHBOARD ZRL_EVENTS [ZRL_SIM SCENE]
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import https from 'node:https';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const [dashboardPath, eventsPath, simPath, scenePath] = process.argv.slice(2);
const patience = 30000;
const appId = 'demo app';
const pluginKey = '7C4D19E2A05B3F86D1E7420C9B5A6F13';

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

// The lines that a child prints on one of its outputs, one at a time.
function lines(stream) {
  const queue = [];
  const waiting = [];
  readline.createInterface({ input: stream }).on('line', (line) => {
    const next = waiting.shift();
    if (next) next(line); else queue.push(line);
  });
  return () => withTimeout(new Promise((resolve) => {
    if (queue.length) resolve(queue.shift()); else waiting.push(resolve);
  }), 'a line from a child process');
}

async function lineMatching(next, pattern) {
  for (;;) {
    const line = await next();
    if (pattern.test(line)) return line;
  }
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve(child.exitCode);
  }
  return withTimeout(new Promise((resolve) => child.once('exit', (code) => resolve(code))),
                     'a child process to end');
}

const work = mkdtempSync(join(tmpdir(), 'zrl-dashboard-browser-'));
const children = [];
let browser;
try {
  const dashboard = spawn(dashboardPath, ['--port', '0', '--data', join(work, 'data')],
                          { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(dashboard);
  const dashboardLine = lines(dashboard.stdout);
  const caFile = (await dashboardLine()).replace(/^ca: /, '');
  const origin = (await dashboardLine()).replace(/^listening: /, '');
  const openURL = (await dashboardLine()).replace(/^open: /, '');
  assert.match(openURL, /^https:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{64}$/);
  const token = new URL(openURL).searchParams.get('token');
  const ca = readFileSync(caFile);

  const request = (method, target, body, headers = {}) => withTimeout(new Promise((resolve, reject) => {
    const req = https.request(`${origin}${target}`, {
      method, ca, headers: { 'Content-Type': 'application/json', ...headers },
    }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => { text += chunk; });
      res.on('end', () => resolve({ status: res.statusCode, text }));
    });
    req.on('error', reject);
    req.end(body);
  }), `${method} ${target}`);
  const apiJSON = async (target) => {
    const answer = await request('GET', target, undefined, { Authorization: `Bearer ${token}` });
    assert.equal(answer.status, 200, answer.text);
    return JSON.parse(answer.text);
  };
  const upload = async (app, body) => {
    const answer = await request('POST', `/v1/api/layout?appId=${encodeURIComponent(app)}`,
                                 JSON.stringify(body));
    assert.equal(answer.status, 200, answer.text);
    return JSON.parse(answer.text).id;
  };

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
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(error));
  let confirmations = 0;
  page.on('dialog', (dialog) => {
    confirmations += 1;
    dialog.accept();
  });

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
  const label = { id: 'ZRL:Root:0:Label:1', view: 'Label',
                  bounds: { top: 300, left: 20, right: 180, bottom: 330 } };
  const layout = [{ id: 'ZRL:Root:0', naf: false, view: 'Root',
                    bounds: { top: 0, left: 0, right: 200, bottom: 400 },
                    views: [{ ...button, naf: false, views: [] },
                            { ...label, naf: false, views: [] }] }];
  const captureBody = (screen) => ({
    screen: { image: screenshot.toString('base64').match(/.{1,64}/g).join('\r\n'),
              orientation: 'portrait', navigation: screen },
    layout,
    device_info: { os: 'iOS', width: 200, height: 400 },
  });
  await upload('other app', captureBody('Home'));
  const firstCapture = await upload(appId, captureBody('Checkout'));

  // The printed address sets the cookie and leads to the page, which lists
  // the applications and opens the most recent one and its newest capture.
  await page.goto(openURL);
  assert.equal(new URL(page.url()).search, '', 'the token leaves the address');
  await page.waitForSelector('body[data-live="open"]');
  await page.waitForFunction(() => document.querySelectorAll('#apps li').length === 2);
  assert.deepEqual(await page.$$eval('#apps li', (items) => items.map((i) => i.dataset.appId)),
                   [appId, 'other app']);
  assert.equal(await page.inputValue('#app-id'), appId);
  await page.waitForSelector(`#tree .row[data-id="${button.id}"]`);
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
    return { image: rect(image), clientWidth: image.clientWidth,
             naturalWidth: image.naturalWidth, box: rect(document.querySelector(`.box[data-id="${id}"]`)) };
  }, button.id);
  const scale = geometry.clientWidth / geometry.naturalWidth;
  const border = (geometry.image.width - geometry.clientWidth) / 2;
  const near = (actual, expected, what) =>
    assert.ok(Math.abs(actual - expected) <= 1, `${what}: ${actual} is not ${expected}`);
  near(geometry.box.left, geometry.image.left + border + button.bounds.left * scale, 'box left');
  near(geometry.box.top, geometry.image.top + border + button.bounds.top * scale, 'box top');
  near(geometry.box.width, (button.bounds.right - button.bounds.left) * scale, 'box width');
  const centreX = geometry.box.left + geometry.box.width / 2;
  const centreY = geometry.box.top + geometry.box.height / 2;

  // Tree and boxes answer each other: a hovered box lights its row, a
  // hovered row its box; a click on either selects both.
  const classes = (selector) => page.$eval(selector, (e) => [...e.classList].sort().join(' '));
  const buttonRow = `#tree .row[data-id="${button.id}"]`;
  const labelRow = `#tree .row[data-id="${label.id}"]`;
  await page.mouse.move(centreX, centreY);
  await page.waitForFunction((s) => document.querySelector(s).classList.contains('hover'), buttonRow);
  assert.equal(await page.textContent('#info-view'), 'Button');
  await page.hover(labelRow);
  assert.match(await classes(`.box[data-id="${label.id}"]`), /hover/);
  assert.doesNotMatch(await classes(`.box[data-id="${button.id}"]`), /hover/);
  await page.click(labelRow);
  assert.equal(await page.inputValue('#target-view'), label.id);
  assert.match(await classes(`.box[data-id="${label.id}"]`), /selected/);
  await page.mouse.click(centreX, centreY);
  assert.equal(await page.inputValue('#target-view'), button.id);
  assert.match(await classes(buttonRow), /selected/);
  assert.doesNotMatch(await classes(labelRow), /selected/);
  // The root's row folds its children away and opens them again.
  await page.click('#tree .row[data-id="ZRL:Root:0"] .twisty');
  assert.equal(await page.isVisible(buttonRow), false);
  await page.click('#tree .row[data-id="ZRL:Root:0"] .twisty');
  assert.equal(await page.isVisible(buttonRow), true);

  // The filter keeps the rows that match, by identifier or view name, and
  // their ancestors.
  const shownRows = () => page.$$eval('#tree .row', (rows) =>
    rows.filter((row) => row.offsetParent !== null).map((row) => row.dataset.id));
  await page.fill('#tree-filter', 'label');
  assert.deepEqual(await shownRows(), ['ZRL:Root:0', label.id]);
  await page.fill('#tree-filter', 'root:0:button');
  assert.deepEqual(await shownRows(), ['ZRL:Root:0', button.id]);
  await page.fill('#tree-filter', '');
  assert.equal((await shownRows()).length, 3);

  // A device's stream opens: the counter beside "Push to devices" moves
  // without a reload, and so does the application list.
  const counter = () => page.$eval('#open-streams', (e) => Number(e.dataset.count));
  assert.equal(await counter(), 0);
  const streamURL = `${origin}/v1/api/sse-ui-config?appId=${encodeURIComponent(appId)}`;
  const device = spawn(eventsPath, ['--max', '1', '--ca-file', caFile, streamURL],
                       { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(device);
  const deviceLine = lines(device.stdout);
  await lineMatching(deviceLine, /"type":"open"/);
  await page.waitForFunction(() => document.getElementById('open-streams').dataset.count === '1');
  await page.waitForFunction((app) => /1 stream$/.test(
    document.querySelector(`#apps li[data-app-id="${app}"] .meta`).textContent), appId);

  // A coach mark for the selected view reaches the device's stream; the
  // stream ends after it (--max 1) and the counter goes back.
  await page.selectOption('#display-type', 'coach_mark');
  await page.fill('#preview-title', 'Try this');
  await page.fill('#preview-text', 'Tap to pay');
  await page.click('#push');
  await page.waitForFunction(() => document.getElementById('push-result').dataset.delivered);
  assert.match(await page.textContent('#push-result'), /went to 1 open stream\./);
  const message = JSON.parse(await lineMatching(deviceLine, /"type":"message"/));
  assert.deepEqual(JSON.parse(message.data), { ui: { display_type: 'coach_mark',
    view_id: button.id, title: 'Try this', text: 'Tap to pay' } });
  assert.equal(await exited(device), 0);
  await page.waitForFunction(() => document.getElementById('open-streams').dataset.count === '0');

  // The history holds the push; loaded back, it refills the form; pushed
  // again it goes out once more, to no stream now.
  await page.waitForSelector('#history li[data-preview-id="1"]');
  assert.match(await page.textContent('#history li[data-preview-id="1"]'),
               /coach_mark · ZRL:Root:0:Button:0.*to 1 stream/);
  await page.selectOption('#display-type', 'passive_nudge');
  await page.fill('#preview-title', 'changed');
  await page.click('#history li[data-preview-id="1"] .load');
  assert.equal(await page.inputValue('#display-type'), 'coach_mark');
  assert.equal(await page.inputValue('#preview-title'), 'Try this');
  await page.click('#history li[data-preview-id="1"] .again');
  await page.waitForSelector('#history li[data-preview-id="2"]');
  assert.match(await page.textContent('#history li[data-preview-id="2"]'), /to 0 streams/);

  // A new capture and a test device show up without a reload; each is
  // deleted after one confirmation.
  const secondCapture = await upload(appId, captureBody('Receipt'));
  await page.waitForSelector(`#captures li[data-capture-id="${secondCapture}"]`);
  const added = await request('POST', `/v2/frontendapi/ios/test-devices?appId=${encodeURIComponent(appId)}`,
                              JSON.stringify({ id: 'D 1', model: 'iPhone15,2' }),
                              { zrl_ios_key: pluginKey });
  assert.equal(added.status, 200, added.text);
  await page.waitForSelector('#devices li[data-device-id="D 1"]');
  await page.click('#devices li[data-device-id="D 1"] .delete');
  await page.waitForSelector('#devices li[data-device-id="D 1"]', { state: 'detached' });
  await page.click(`#captures li[data-capture-id="${firstCapture}"] .delete`);
  await page.waitForSelector(`#captures li[data-capture-id="${firstCapture}"]`, { state: 'detached' });
  assert.equal(confirmations, 2);
  assert.deepEqual(await apiJSON(`/api/test-devices?appId=${encodeURIComponent(appId)}`), []);
  assert.deepEqual((await apiJSON(`/api/captures?appId=${encodeURIComponent(appId)}`))
    .map((c) => c.id), [secondCapture]);
  assert.equal(await page.isVisible('#capture'), false, 'the deleted capture was the open one');

  if (simPath) await compareWithDevice(page, { origin, caFile, apiJSON, work });
  if (process.env.ZRL_DASHBOARD_PAGE_SHOT) {
    await page.screenshot({ path: process.env.ZRL_DASHBOARD_PAGE_SHOT });
  }
  assert.deepEqual(pageErrors, []);

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

// A zrl-sim device captures its login screen through the plug-in's "Select
// Screen"; for each configuration the page's preview of that capture is
// compared with what the device shows once the page has pushed it.
async function compareWithDevice(page, { origin, caFile, apiJSON, work }) {
  const simApp = 'sim app';
  const sim = spawn(simPath, ['run', '--scene', scenePath, '--dashboard', new URL(origin).host,
                              '--ca-file', caFile, '--app-id', simApp, '--device-id', 'sim-device',
                              '--defaults', join(work, 'sim-defaults.json')],
                    { stdio: ['pipe', 'pipe', 'pipe'] });
  children.push(sim);
  const simOut = lines(sim.stdout);
  const simErr = lines(sim.stderr);
  const command = (text) => sim.stdin.write(`${text}\n`);
  const dump = async () => {
    command('dump');
    return JSON.parse(await simOut());
  };
  await lineMatching(simErr, /^stream: open/);
  const tapCentre = (frame) => command(`tap ${frame[0] + frame[2] / 2} ${frame[1] + frame[3] / 2}`);
  tapCentre((await dump()).button.frame);
  tapCentre((await dump()).selectScreen.frame);
  const uploaded = await lineMatching(simErr, /^request: POST \/v1\/api\/layout/);
  assert.match(uploaded, /-> 200$/);

  // The page hears of the new application and its stream; opened, it shows
  // the capture.
  await page.waitForSelector(`#apps li[data-app-id="${simApp}"]`);
  await page.click(`#apps li[data-app-id="${simApp}"] .open`);
  await page.waitForFunction(() => document.getElementById('open-streams').dataset.count === '1');
  await page.waitForSelector('#capture:not([hidden]) .box');
  const [newest] = await apiJSON(`/api/captures?appId=${encodeURIComponent(simApp)}`);
  const capture = await apiJSON(`/api/captures/${newest.id}`);
  const nodes = [];
  const walk = (list) => list.forEach((node) => { nodes.push(node); walk(node.views || []); });
  walk(capture.layout);
  const idOf = (view) => nodes.find((n) => n.view === view).id;
  const login = idOf('LoginButton');
  const header = idOf('Header');

  if (!('preview' in await dump())) {
    console.log('SKIPPED: the page against the device: this zrl-sim\'s dump has no "preview" key');
    command('quit');
    await exited(sim);
    return;
  }
  const long = 'Tap the button below to log in with the address and the password that you ' +
      'chose, or ask for a new password when you have forgotten the old one. '.repeat(3);
  const cases = [
    { display_type: 'coach_mark', view_id: login, title: 'Log in here', text: 'One tap and you are in.' },
    { display_type: 'inline', view_id: login, title: 'Tooltip', text: long },
    { display_type: 'coach_mark', view_id: header, title: 'A very long title that will not fit on two lines of the card at all', text: 'Top.' },
    { display_type: 'inline', view_id: header, title: '', text: 'Below the header' },
    { display_type: 'coach_mark', view_id: 'no such view', title: 'Centred', text: 'No target.' },
    { display_type: 'passive_nudge', view_id: login, title: 'Nudge', text: long },
    { display_type: 'in_app', view_id: login, title: 'In-app', text: 'A message with a Close button.' },
  ];
  for (const ui of cases) {
    await page.selectOption('#display-type', ui.display_type);
    await page.fill('#target-view', ui.view_id);
    await page.fill('#preview-title', ui.title);
    await page.fill('#preview-text', ui.text);
    const onPage = JSON.parse(await page.$eval('#preview', (canvas) => canvas.dataset.preview));
    await page.click('#push');
    await lineMatching(simErr, /^builder: /);
    let shown = (await dump()).preview;
    for (let tries = 0; (!shown || shown.title !== onPage.title) && tries < 50; tries += 1) {
      command('wait 0.1');
      shown = (await dump()).preview;
    }
    const what = `${ui.display_type} on ${ui.view_id}`;
    assert.ok(shown, `the device shows no preview for ${what}`);
    assert.equal(shown.display_type, onPage.display_type, what);
    assert.equal(shown.view_id, onPage.view_id, what);
    for (const key of ['target', 'spotlight', 'card']) {
      assert.equal(shown[key] === null, onPage[key] === null,
                   `${what}: ${key} ${JSON.stringify(shown[key])} on the device, ` +
                   `${JSON.stringify(onPage[key])} on the page`);
      if (!shown[key]) continue;
      for (const edge of ['top', 'left', 'bottom', 'right']) {
        assert.ok(Math.abs(shown[key][edge] - onPage[key][edge]) <= 1,
                  `${what}: ${key}.${edge} is ${shown[key][edge]} on the device, ` +
                  `${onPage[key][edge]} on the page`);
      }
    }
  }
  command('quit');
  assert.equal(await exited(sim), 0);
}
