'use strict';
// Drives Debian's Chromium, headless, against the real vardex program: a test
// installation folder with its own certificates is made, the service runs in
// it on a loopback port with the dry-run power backend, and the browser logs
// in and presses the buttons a person would press.
//
//   node vardex_browser_test.js <case> <vardex program> <Web folder> <screenshot folder>
//
// Cases: "reboot" (a login and a reboot; no Shutdown button by default),
// "shutdown" (a wrong password, then a shutdown with AllowShutdown=True),
// "totp" (a user with a second factor: a wrong code, then the right one) and
// "frame" (a page of another origin cannot show the login page in a frame).
// The environment variable KELVANE_CHROMIUM names the browser
// (default /usr/bin/chromium).

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const tls = require('node:tls');
const { chromium } = require('playwright-core');

const [caseName, vardexProgram, webFolder, screenshotFolder] = process.argv.slice(2);
const chromiumProgram = process.env.KELVANE_CHROMIUM || '/usr/bin/chromium';
const loginRequest = 'Kx7_Login';
const userName = 'admin';
const password = 'p&ss w=rd%';

const startTime = Date.now();
const log = (text) => console.log(`[${((Date.now() - startTime) / 1000).toFixed(1)} s] ${text}`);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function readIfExists(file) {
  try {
    return fs.readFileSync(file, 'latin1');
  } catch {
    return '';
  }
}

function freeLoopbackPort(address = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, address, () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function run(program, args, cwd) {
  childProcess.execFileSync(program, args, { cwd, stdio: ['ignore', 'ignore', 'pipe'] });
}

// The installation folder: the program, the real page templates, a link to
// the openssl program, a root certificate and a server certificate for
// localhost signed by it, its key encrypted with the service's passphrase,
// and the configuration.
async function makeInstallation(folder, extraConfiguration) {
  fs.copyFileSync(vardexProgram, path.join(folder, 'vardex'));
  fs.chmodSync(path.join(folder, 'vardex'), 0o755);
  fs.cpSync(webFolder, path.join(folder, 'Web'), { recursive: true });
  fs.symlinkSync('/usr/bin/openssl', path.join(folder, 'openssl'));
  const cert = path.join(folder, 'Cert');
  fs.mkdirSync(cert, { mode: 0o700 });
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'CAkey.pem', '-out', 'CAcert.pem',
    '-days', '30', '-subj', '/O=Kelvane Test/CN=Kelvane Test Root'], cert);
  run('openssl', ['req', '-newkey', 'rsa:2048', '-passout', 'pass:plover', '-keyout', 'WSSkey.pem',
    '-out', 'WSSreq.pem', '-subj', '/O=Kelvane Test/CN=localhost'], cert);
  fs.writeFileSync(path.join(cert, 'san.ext'), 'subjectAltName = DNS:localhost, IP:127.0.0.1\n');
  run('openssl', ['x509', '-req', '-in', 'WSSreq.pem', '-CA', 'CAcert.pem', '-CAkey', 'CAkey.pem',
    '-CAcreateserial', '-days', '30', '-extfile', 'san.ext', '-out', 'WSScert.pem'], cert);
  const port = await freeLoopbackPort();
  fs.writeFileSync(path.join(folder, 'Vardex.cfg'),
    '[Configuration]\r\nCommonName=localhost\r\nThisServerIPNumber=127.0.0.1\r\n' +
    `VardexPort=${port}\r\nLoginRequest=${loginRequest}\r\n${extraConfiguration}` +
    `\r\n[UserList]\r\n${userName}=${password}\r\noperator=another\r\n`, { mode: 0o600 });
  return port;
}

// True once a TLS handshake with the service succeeds.
function handshake(port) {
  return new Promise((resolve) => {
    const socket = tls.connect({ host: '127.0.0.1', port, rejectUnauthorized: false, timeout: 2000 });
    const done = (ok) => { socket.destroy(); resolve(ok); };
    socket.once('secureConnect', () => done(true));
    socket.once('error', () => done(false));
    socket.once('timeout', () => done(false));
  });
}

class Service {
  constructor(folder) {
    this.folder = folder;
    this.record = path.join(folder, 'power.record');
    this.stderr = '';
    this.exit = null;
    this.child = childProcess.spawn(path.join(folder, 'vardex'), ['/SERVICE', `/DRYRUN=${this.record}`],
      { cwd: folder, stdio: ['ignore', 'ignore', 'pipe'] });
    this.child.stderr.on('data', (data) => { this.stderr += data; });
    this.exited = new Promise((resolve) => this.child.once('exit', (code, signal) => {
      this.exit = { code, signal };
      resolve(this.exit);
    }));
  }

  async waitUntilServing(port) {
    const deadline = Date.now() + 30000;
    while (Date.now() < deadline) {
      if (this.exit) throw new Error(`vardex ended at start (${JSON.stringify(this.exit)}): ${this.stderr}`);
      if (await handshake(port)) return;
      await sleep(100);
    }
    throw new Error(`vardex did not answer within 30 s: ${this.stderr}`);
  }

  powerRecord() { return readIfExists(this.record); }

  errorLog() {
    const now = new Date();
    const date = `${now.getFullYear()}-${String(now.getMonth() + 1).padStart(2, '0')}-` +
      `${String(now.getDate()).padStart(2, '0')}`;
    return readIfExists(path.join(this.folder, 'Logs', 'Errors', `Errors_${date}.log`));
  }

  async stop() {
    if (this.exit) return this.exit;
    this.child.kill('SIGTERM');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 15000);
    const exit = await this.exited;
    clearTimeout(timer);
    return exit;
  }
}

// Waits for the dry-run record to say `action` and answers how long after
// `since` it appeared.
async function waitForRecord(service, action, since) {
  const deadline = Date.now() + 15000;
  while (Date.now() < deadline) {
    const record = service.powerRecord();
    if (record !== '') {
      assert.equal(record, `${action}\n`, 'the dry-run record');
      return Date.now() - since;
    }
    await sleep(20);
  }
  throw new Error(`no "${action}" recorded within 15 s; stderr: ${service.stderr}`);
}

async function openLoginPage(page, port) {
  log('opening the login page');
  const response = await page.goto(`https://localhost:${port}/${loginRequest}`);
  assert.equal(response.status(), 200);
  assert.equal(await page.title(), 'KMX Login');
  await page.locator('input[name="UserName"]').waitFor();
}

// Types the name and the password and presses the button; answers the time
// the button was pressed.
async function logIn(page, name, secret, button) {
  await page.locator('input[name="UserName"]').pressSequentially(name);
  await page.locator('input[name="Password"]').pressSequentially(secret);
  const pressed = Date.now();
  log(`pressing ${button}`);
  await Promise.all([
    page.waitForURL(`**/Result_${loginRequest}`, { waitUntil: 'load' }),
    page.getByRole('button', { name: button, exact: true }).click(),
  ]);
  return pressed;
}

// The text in the cell right of a label cell ("Action taken:").
function rowText(page, label) {
  return page.locator(`xpath=//td[normalize-space(.)="${label}"]/following-sibling::td[1]`).innerText();
}

// ---- second factor: RFC 6238 codes made here with node's own HMAC-SHA-1

// A fixed secret for the test user: 20 bytes in base32.
const totpSecret = 'GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ';

function base32Bytes(text) {
  const alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ234567';
  let bits = '';
  for (const c of text.replace(/=+$/, '')) bits += alphabet.indexOf(c).toString(2).padStart(5, '0');
  const bytes = [];
  for (let i = 0; i + 8 <= bits.length; i += 8) bytes.push(parseInt(bits.slice(i, i + 8), 2));
  return Buffer.from(bytes);
}

// The 6-digit code of the 30-second step `step` steps after the current one.
function totpCode(secret, step = 0) {
  const counter = Buffer.alloc(8);
  counter.writeBigUInt64BE(BigInt(Math.floor(Date.now() / 30000) + step));
  const mac = crypto.createHmac('sha1', base32Bytes(secret)).update(counter).digest();
  const offset = mac[mac.length - 1] & 0x0f;
  const number = (mac.readUInt32BE(offset) & 0x7fffffff) % 1000000;
  return String(number).padStart(6, '0');
}

// The login page's Code field is what phones and password managers look for.
async function checkCodeField(page) {
  const code = page.locator('input[name="Code"]');
  assert.equal(await code.getAttribute('autocomplete'), 'one-time-code');
  assert.equal(await code.getAttribute('inputmode'), 'numeric');
}

// Types the one-time code, then logs in as logIn does.
async function logInWithCode(page, name, secret, code, button) {
  await page.locator('input[name="Code"]').pressSequentially(code);
  return logIn(page, name, secret, button);
}

// A code that is none of the accepted ones (this step and one either side).
function wrongCode(secret) {
  const accepted = new Set([-1, 0, 1].map((step) => totpCode(secret, step)));
  for (let n = 0; ; ++n) {
    const code = String(n).padStart(6, '0');
    if (!accepted.has(code)) return code;
  }
}

// ---- frames: another origin on loopback that frames the login page

// A page server on 127.0.0.2 (another origin than the service's
// https://localhost) with a page that frames the service's login page and a
// page of its own, so the test sees that frames as such are shown.
async function startFramingSite(servicePort) {
  const port = await freeLoopbackPort('127.0.0.2');
  const server = http.createServer((request, response) => {
    response.setHeader('Content-Type', 'text/html; charset=utf-8');
    if (request.url === '/own') {
      response.end('<!DOCTYPE html><title>own</title><p id="own">a page of this site</p>');
      return;
    }
    response.end('<!DOCTYPE html><title>framing</title>' +
      `<iframe name="vardex" src="https://localhost:${servicePort}/${loginRequest}"></iframe>` +
      '<iframe name="own" src="/own"></iframe>');
  });
  await new Promise((resolve) => server.listen(port, '127.0.0.2', resolve));
  // The browser keeps its connections open: they are cut, not waited for.
  const close = () => new Promise((resolve) => {
    server.close(resolve);
    server.closeAllConnections();
  });
  return { url: `http://127.0.0.2:${port}/`, close };
}

// True when the frame shows the login form; an error page the browser shows
// in place of a refused frame cannot be searched and counts as no form.
async function frameShowsLogin(frame) {
  try {
    return (await frame.locator('input[name="UserName"]').count()) > 0;
  } catch {
    return false;
  }
}

const cases = {
  // A person logs in and presses Reboot: the confirmation page with the
  // security note comes back, and the reboot follows about two seconds later.
  async reboot(page, port, service) {
    await openLoginPage(page, port);
    assert.equal(await page.getByRole('button', { name: 'Shutdown' }).count(), 0,
      'no Shutdown button without AllowShutdown=True');
    await page.screenshot({ path: path.join(screenshotFolder, 'login.png'), fullPage: true });

    const pressed = await logIn(page, userName, password, 'Reboot');
    assert.equal(await page.title(), 'KMX Confirmation');
    assert.equal(await rowText(page, 'Action taken:'), 'Server reboot initiated.');
    assert.equal(await rowText(page, 'Security note:'), `It was the first usage by ${userName}`);
    assert.equal(service.powerRecord(), '', 'the reboot waits for its timer');
    await page.screenshot({ path: path.join(screenshotFolder, 'confirm-reboot.png'), fullPage: true });

    const delay = await waitForRecord(service, 'reboot', pressed);
    console.log(`reboot recorded ${delay} ms after the button was pressed`);
    assert.ok(delay >= 1900 && delay <= 10000, `reboot after ${delay} ms, expected about 2000 ms`);
  },

  // A wrong password gets the error page and nothing happens; with
  // AllowShutdown=True the Shutdown button is there and shuts the server down.
  async shutdown(page, port, service) {
    await openLoginPage(page, port);
    await logIn(page, userName, 'not the password', 'Reboot');
    assert.equal(await page.title(), 'KMX Error');
    assert.equal(await rowText(page, 'Error:'), 'You are not authorized.');
    await page.screenshot({ path: path.join(screenshotFolder, 'error.png'), fullPage: true });
    assert.match(service.errorLog(), /\tUser 'admin' at ip 127\.0\.0\.1 was not authorized\.\r\n/);

    await openLoginPage(page, port);
    await page.getByRole('button', { name: 'Shutdown', exact: true }).waitFor();
    await page.screenshot({ path: path.join(screenshotFolder, 'login-shutdown.png'), fullPage: true });
    const pressed = await logIn(page, userName, password, 'Shutdown');
    assert.equal(await page.title(), 'KMX Confirmation');
    assert.equal(await rowText(page, 'Action taken:'), 'Server shutdown initiated.');
    assert.equal(await rowText(page, 'Security note:'), `It was the first usage by ${userName}`);
    await page.screenshot({ path: path.join(screenshotFolder, 'confirm-shutdown.png'), fullPage: true });

    const delay = await waitForRecord(service, 'shutdown', pressed);
    console.log(`shutdown recorded ${delay} ms after the button was pressed`);
    assert.ok(delay >= 1900 && delay <= 10000, `shutdown after ${delay} ms, expected about 2000 ms`);
  },

  // A user with an entry in [TOTP]: the right password with a wrong code is
  // refused like a wrong password; with the code of the current step the
  // reboot goes through.
  async totp(page, port, service) {
    await openLoginPage(page, port);
    await checkCodeField(page);
    await logInWithCode(page, userName, password, wrongCode(totpSecret), 'Reboot');
    assert.equal(await page.title(), 'KMX Error');
    assert.equal(await rowText(page, 'Error:'), 'You are not authorized.');
    assert.equal(service.powerRecord(), '', 'nothing happens with a wrong code');

    await openLoginPage(page, port);
    const pressed = await logInWithCode(page, userName, password, totpCode(totpSecret), 'Reboot');
    assert.equal(await page.title(), 'KMX Confirmation');
    assert.equal(await rowText(page, 'Action taken:'), 'Server reboot initiated.');
    await page.screenshot({ path: path.join(screenshotFolder, 'confirm-totp.png'), fullPage: true });
    await waitForRecord(service, 'reboot', pressed);
  },

  // The login page inside a frame of another origin: the service answers,
  // but the browser shows nothing of it (X-Frame-Options: DENY and
  // frame-ancestors 'none'), while the site's own frame is shown.
  async frame(page, port) {
    await openLoginPage(page, port);
    const site = await startFramingSite(port);
    try {
      let framedAnswer = null;
      page.on('response', (response) => {
        if (response.url().endsWith(`/${loginRequest}`) && response.frame() !== page.mainFrame()) {
          framedAnswer = response;
        }
      });
      log(`opening ${site.url}`);
      await page.goto(site.url, { waitUntil: 'load' });
      const own = page.frame({ name: 'own' });
      assert.ok(own, 'the site\'s own frame');
      await own.locator('#own').waitFor();
      assert.ok(framedAnswer, 'the browser asked the service for the framed page');
      const headers = await framedAnswer.allHeaders();
      assert.equal(headers['x-frame-options'], 'DENY');
      assert.match(headers['content-security-policy'] || '', /frame-ancestors 'none'/);
      const framed = page.frame({ name: 'vardex' });
      assert.ok(framed, 'the frame is there');
      assert.equal(await frameShowsLogin(framed), false, 'the login page must not show in a foreign frame');
      await page.screenshot({ path: path.join(screenshotFolder, 'foreign-frame.png'), fullPage: true });
    } finally {
      await site.close();
    }
  },
};

// The certificate case: the service starts without any certificate and
// obtains one from Debian's pebble on loopback; the browser trusts pebble's
// root through the NSS database of a HOME of its own (certutil), with
// certificate errors not ignored, logs in and reloads the configuration.
function httpsGet(url, ca) {
  return new Promise((resolve, reject) => {
    const request = require('node:https').get(url, { ca, rejectUnauthorized: !!ca, timeout: 5000 }, (response) => {
      let body = '';
      response.setEncoding('latin1');
      response.on('data', (chunk) => { body += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, body }));
    });
    request.once('timeout', () => request.destroy(new Error('time-out')));
    request.once('error', reject);
  });
}

async function pollUntil(what, seconds, attempt) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    try {
      const result = await attempt();
      if (result) return result;
    } catch { /* not yet */ }
    if (Date.now() > deadline) throw new Error(`${what} within ${seconds} s`);
    await sleep(200);
  }
}

async function startPebble(folder, validationPort) {
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'pebble-key.pem', '-out',
    'pebble-cert.pem', '-days', '2', '-subj', '/CN=pebble', '-addext', 'subjectAltName=IP:127.0.0.1'], folder);
  const [port, managementPort] = [await freeLoopbackPort(), await freeLoopbackPort()];
  fs.writeFileSync(path.join(folder, 'pebble.json'), JSON.stringify({ pebble: {
    listenAddress: `127.0.0.1:${port}`, managementListenAddress: `127.0.0.1:${managementPort}`,
    certificate: path.join(folder, 'pebble-cert.pem'), privateKey: path.join(folder, 'pebble-key.pem'),
    httpPort: await freeLoopbackPort(), tlsPort: validationPort, ocspResponderURL: '',
    externalAccountBindingRequired: false } }));
  const child = childProcess.spawn('pebble', ['-config', path.join(folder, 'pebble.json')],
    { cwd: folder, stdio: 'ignore', env: { ...process.env, PEBBLE_VA_NOSLEEP: '1' } });
  const httpsRoot = fs.readFileSync(path.join(folder, 'pebble-cert.pem'), 'latin1');
  const root = await pollUntil('pebble did not answer', 30, async () => {
    const reply = await httpsGet(`https://127.0.0.1:${managementPort}/roots/0`, httpsRoot);
    return reply.status === 200 && reply.body;
  });
  fs.writeFileSync(path.join(folder, 'root.pem'), root);
  fs.writeFileSync(path.join(folder, 'roots.pem'), httpsRoot + root);
  return { child, directory: `https://127.0.0.1:${port}/dir`, root: path.join(folder, 'root.pem'),
    roots: path.join(folder, 'roots.pem') };
}

async function acmeMain() {
  fs.mkdirSync(screenshotFolder, { recursive: true });
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvane-browser-acme-'));
  const home = path.join(folder, 'home');
  let service = null;
  let pebble = null;
  let context = null;
  try {
    fs.copyFileSync(vardexProgram, path.join(folder, 'vardex'));
    fs.chmodSync(path.join(folder, 'vardex'), 0o755);
    fs.cpSync(webFolder, path.join(folder, 'Web'), { recursive: true });
    fs.symlinkSync('/usr/bin/openssl', path.join(folder, 'openssl'));
    fs.mkdirSync(path.join(folder, 'Cert'), { mode: 0o700 });
    fs.mkdirSync(path.join(folder, 'pebble'));
    const port = await freeLoopbackPort();
    pebble = await startPebble(path.join(folder, 'pebble'), port);
    fs.writeFileSync(path.join(folder, 'Vardex.cfg'),
      '[Configuration]\r\nCommonName=localhost\r\nThisServerIPNumber=127.0.0.1\r\n' +
      `VardexPort=${port}\r\nLoginRequest=${loginRequest}\r\n[UserList]\r\n${userName}=${password}\r\n` +
      `[ACME]\r\nDirectory=${pebble.directory}\r\nCAFile=${pebble.roots}\r\n`, { mode: 0o600 });
    service = new Service(folder);
    await pollUntil(`vardex served no login page (${service.stderr})`, 100, async () => {
      if (service.exit) throw new Error(`vardex ended at start: ${service.stderr}`);
      return (await httpsGet(`https://localhost:${port}/${loginRequest}`, null)).status === 200;
    });
    log(`vardex serves its ACME certificate on port ${port}`);

    // Only pebble's issuing root is trusted, in the browser's own NSS database.
    const nssdb = path.join(home, '.pki', 'nssdb');
    fs.mkdirSync(nssdb, { recursive: true });
    run('certutil', ['-N', '-d', `sql:${nssdb}`, '--empty-password'], folder);
    run('certutil', ['-A', '-d', `sql:${nssdb}`, '-n', 'pebble test root', '-t', 'C,,', '-i', pebble.root], folder);

    context = await chromium.launchPersistentContext(path.join(home, 'profile'), {
      executablePath: chromiumProgram,
      headless: true,
      ignoreHTTPSErrors: false,
      timeout: 30000,
      env: { ...process.env, HOME: home },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    context.setDefaultTimeout(15000);
    const page = context.pages()[0] || await context.newPage();
    await openLoginPage(page, port);
    assert.match(await rowText(page, 'Secure Cert:'), /^Valid until \S/);
    await page.screenshot({ path: path.join(screenshotFolder, 'login-acme.png'), fullPage: true });
    await logIn(page, userName, password, 'Reload Configuration');
    assert.equal(await rowText(page, 'Action taken:'), 'Server configuration reloaded.');
    assert.match(service.errorLog(), /ACME: certificate for localhost written/);
    // Certificate errors are not ignored: the address the certificate does
    // not name is refused.
    const other = await context.newPage();
    await assert.rejects(other.goto(`https://127.0.0.1:${port}/${loginRequest}`), /ERR_CERT/);

    const exit = await service.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `vardex stopped badly: ${service.stderr}`);
    console.log('browser case "acme" passed');
  } finally {
    if (context) await context.close().catch(() => {});
    if (service) await service.stop();
    if (pebble) pebble.child.kill('SIGKILL');
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

const configurations = {
  reboot: '',
  shutdown: 'AllowShutdown=True\r\n',
  totp: `[TOTP]\r\n${userName}=${totpSecret}\r\n`,
  frame: '',
};

async function main() {
  if (caseName === 'acme') return acmeMain();
  if (!(caseName in cases) || !screenshotFolder) {
    throw new Error('usage: vardex_browser_test.js reboot|shutdown|totp|frame <vardex> <Web folder> <screenshot folder>');
  }
  fs.mkdirSync(screenshotFolder, { recursive: true });
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvane-browser-'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvane-chromium-profile-'));
  let service = null;
  let context = null;
  try {
    const port = await makeInstallation(folder, configurations[caseName]);
    service = new Service(folder);
    await service.waitUntilServing(port);
    log(`vardex serves on port ${port}`);

    // A new empty profile; the test's self-made certificate is accepted in
    // this profile only. The machine has no network, so everything that
    // would reach out is switched off.
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumProgram,
      headless: true,
      ignoreHTTPSErrors: true,
      timeout: 30000,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    log('chromium started');
    context.setDefaultTimeout(15000);
    const page = context.pages()[0] || await context.newPage();
    await cases[caseName](page, port, service);
    log('case done');

    const exit = await service.stop();
    log('vardex stopped');
    assert.deepEqual(exit, { code: 0, signal: null }, `vardex stopped badly: ${service.stderr}`);
    console.log(`browser case "${caseName}" passed; screenshots in ${screenshotFolder}`);
  } finally {
    if (context) await context.close().catch(() => {});
    if (service) await service.stop();
    fs.rmSync(folder, { recursive: true, force: true });
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
