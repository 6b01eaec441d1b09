// Lays PNG pictures side by side, each scaled to one width with a caption
// under it, and writes the row as one PNG: Debian's headless Chromium
// (through playwright-core, which never downloads a browser) draws it.
//
// usage: node side-by-side.mjs OUT.png WIDTH CAPTION=FILE.png...
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [out, widthText, ...pictures] = process.argv.slice(2);
const width = Number(widthText);
if (!out || !Number.isInteger(width) || width <= 0 || pictures.length === 0 ||
    pictures.some((picture) => !/^[^=]+=.+$/.test(picture))) {
  console.error('usage: node side-by-side.mjs OUT.png WIDTH CAPTION=FILE.png...');
  process.exit(2);
}

const escaped = (text) => text.replace(/[&<>"]/g, (c) => `&#${c.charCodeAt(0)};`);
let figures = '';
try {
  for (const picture of pictures) {
    const at = picture.indexOf('=');
    const data = readFileSync(picture.slice(at + 1)).toString('base64');
    figures += `<figure><img src="data:image/png;base64,${data}">` +
               `<figcaption>${escaped(picture.slice(0, at))}</figcaption></figure>`;
  }
} catch (error) {
  console.error(`side-by-side: ${error.message}`);
  process.exit(1);
}

const home = mkdtempSync(join(tmpdir(), 'zrl-side-by-side-'));
let browser;
let status = 0;
try {
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--hide-scrollbars'],
    env: { ...process.env, HOME: home },
    timeout: 60000,
  });
  const page = await browser.newPage({ viewport: { width: 400, height: 300 } });
  await page.setContent(
    '<style>body{margin:0;background:#fff;font:14px "DejaVu Sans",sans-serif;color:#1f2328}' +
    `#row{display:inline-flex;gap:12px;padding:12px}figure{margin:0;width:${width}px}` +
    'img{width:100%;display:block;border:1px solid #d0d7de;box-sizing:border-box}' +
    'figcaption{text-align:center;padding-top:6px}</style>' +
    `<div id="row">${figures}</div>`);
  await page.waitForFunction(() => [...document.images].every((image) => image.complete));
  await page.locator('#row').screenshot({ path: out });
  console.log(`side-by-side: wrote ${out} (${pictures.length} pictures)`);
} catch (error) {
  console.error(`side-by-side: ${error.message}`);
  status = 1;
} finally {
  if (browser) await browser.close();
  rmSync(home, { recursive: true, force: true });
}
process.exitCode = status;
