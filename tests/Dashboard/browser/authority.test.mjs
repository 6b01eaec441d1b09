// The dashboard's certificate authority in headless Chromium that trusts
// it: a certificate for localhost signed with its key is accepted, one for
// another site signed with the same key is refused, while that site's
// certificate from an authority without name constraints, trusted the same
// way, is accepted; so the refusal is the constraints' doing.
//
// usage: node authority.test.mjs ZRL_DASHBOARD
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import https from 'node:https';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const [dashboardPath] = process.argv.slice(2);
const patience = 30000;

function withTimeout(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), patience);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

function openssl(...args) {
  execFileSync('openssl', args, { stdio: ['ignore', 'ignore', 'pipe'] });
}

// A key and a certificate for the DNS name, signed by the authority.
function leaf(folder, name, authority, authorityKey) {
  const key = join(folder, `${name}-key.pem`);
  const request = join(folder, `${name}.csr`);
  const certificate = join(folder, `${name}.pem`);
  const extensions = join(folder, `${name}.ext`);
  writeFileSync(extensions, `subjectAltName=DNS:${name}\nextendedKeyUsage=serverAuth\n`);
  openssl('req', '-new', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
          '-keyout', key, '-out', request, '-subj', `/CN=${name}`);
  openssl('x509', '-req', '-in', request, '-CA', authority, '-CAkey', authorityKey,
          '-set_serial', `${Date.now()}`, '-days', '30', '-sha256', '-extfile', extensions,
          '-out', certificate);
  return { key: readFileSync(key), cert: readFileSync(certificate) };
}

// An HTTPS server on 127.0.0.1 that answers "served" with the certificate.
function serve(credentials) {
  const server = https.createServer(credentials, (req, res) => res.end('served'));
  return withTimeout(new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve(server));
  }), 'a server to listen');
}

// The page's text, or the navigation's error.
async function visit(page, url) {
  try {
    await page.goto(url);
    return await page.textContent('body');
  } catch (error) {
    return error.message;
  }
}

const work = mkdtempSync(join(tmpdir(), 'zrl-dashboard-authority-'));
const servers = [];
let dashboard;
let browser;
try {
  const data = join(work, 'data');
  dashboard = spawn(dashboardPath, ['--port', '0', '--data', data],
                    { stdio: ['ignore', 'pipe', 'inherit'] });
  const firstLine = withTimeout(new Promise((resolve) => {
    readline.createInterface({ input: dashboard.stdout }).once('line', resolve);
  }), 'the dashboard to print its authority');
  const caFile = (await firstLine).replace(/^ca: /, '');
  const caKey = join(data, 'ca-key.pem');

  // An authority without constraints, as a user might have made one.
  const open = join(work, 'open-ca.pem');
  const openKey = join(work, 'open-ca-key.pem');
  openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
          '-keyout', openKey, '-out', open, '-days', '30', '-subj', '/CN=open authority',
          '-addext', 'basicConstraints=critical,CA:TRUE',
          '-addext', 'keyUsage=critical,keyCertSign');

  const local = await serve(leaf(work, 'localhost', caFile, caKey));
  const forged = await serve(leaf(work, 'bank.example', caFile, caKey));
  const honest = await serve(leaf(work, 'shop.example', open, openKey));
  servers.push(local, forged, honest);

  // Both authorities trusted through the browser's own NSS database.
  const home = join(work, 'home');
  const nssdb = join(home, '.pki', 'nssdb');
  execFileSync('mkdir', ['-p', nssdb]);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-N', '--empty-password']);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-A', '-n', 'zrl-dashboard', '-t', 'C,,',
                            '-i', caFile]);
  execFileSync('certutil', ['-d', `sql:${nssdb}`, '-A', '-n', 'open', '-t', 'C,,', '-i', open]);
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--host-resolver-rules=MAP bank.example 127.0.0.1, MAP shop.example 127.0.0.1'],
    env: { ...process.env, HOME: home },
    timeout: patience,
  });
  const page = await browser.newPage();
  page.setDefaultTimeout(patience);

  assert.equal(await visit(page, `https://localhost:${local.address().port}/`), 'served');
  assert.equal(await visit(page, `https://shop.example:${honest.address().port}/`), 'served');
  const refused = await visit(page, `https://bank.example:${forged.address().port}/`);
  assert.match(refused, /net::ERR_CERT_/, refused);

  await browser.close();
  browser = undefined;
  dashboard.kill('SIGTERM');
  console.log(`authority browser test passed (${refused.match(/net::ERR_CERT_\w+/)[0]})`);
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const server of servers) server.close();
  if (dashboard && dashboard.exitCode === null && dashboard.signalCode === null) {
    dashboard.kill('SIGKILL');
  }
  rmSync(work, { recursive: true, force: true });
}
