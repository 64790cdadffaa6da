// What every browser scenario needs: the program in server mode over its own
// temporary settings, a headless Chromium that answers the site's password
// prompt, a silent RADIUS port, and screenshots into the output folder.
//
// CTest passes VANTOR_BINARY (the program), VANTOR_RADIUS_DIR (the private
// FreeRADIUS of the fixture, with its "ports" file), VANTOR_E2E_OUT (where the
// screenshots go) and, for the monitoring scenario, VANTOR_SMTP_SINK_DIR.
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createSocket } from 'node:dgram';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { connect, createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const env = name => {
  if (!process.env[name]) throw new Error(`${name} is not set: run the browser tests through ctest`);
  return process.env[name];
};

export const password = 'Kestrel-77';
export const secret = 'testing123';

// The private FreeRADIUS's ports, as its start script wrote them.
export function radius() {
  const ports = readFileSync(join(env('VANTOR_RADIUS_DIR'), 'ports'), 'utf8');
  const port = key => Number(ports.match(new RegExp(`^${key}=(\\d+)$`, 'm'))[1]);
  return { auth: port('auth'), acct: port('acct') };
}

// The sink's recorded messages, as texts, oldest first.
export function sinkMessages() {
  const dir = env('VANTOR_SMTP_SINK_DIR');
  return readdirSync(dir).filter(f => f.endsWith('.eml')).sort()
    .map(f => readFileSync(join(dir, f), 'latin1'));
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer().once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A UDP port on 127.0.0.2 that takes requests and never answers.
export function silentPort(t) {
  return new Promise(resolve => {
    const socket = createSocket('udp4');
    socket.bind(0, '127.0.0.2', () => resolve(socket.address().port));
    t.after(() => socket.close());
  });
}

// The whole answer to a GET, read over a plain socket (the site ends header
// lines with a bare LF, which fetch() refuses), or null when none comes.
export function httpGet(url, headers = '') {
  const { hostname, port, pathname } = new URL(url);
  return new Promise(resolve => {
    let answer = '';
    const socket = connect(Number(port), hostname, () =>
      socket.end(`GET ${pathname} HTTP/1.0\r\n${headers}\r\n`));
    socket.setTimeout(5000, () => socket.destroy());
    socket.on('data', d => { answer += d; });
    socket.on('error', () => {});
    socket.on('close', () => resolve(answer || null));
  });
}

export async function eventually(what, condition, seconds = 20) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    if (await condition()) return;
    if (Date.now() > end) throw new Error(`not within ${seconds} s: ${what}`);
    await new Promise(r => setTimeout(r, 200));
  }
}

// Server mode over a temporary directory: settings file (with any extra
// lines), an empty common file, and, unless told otherwise, a data directory
// whose "server" file holds the given rows and whose "profile.dat" the given
// text (the engine makes its two sample profiles without one). Stopped when
// the test ends.
export async function startSite(t, { dataDirectory = true, servers = [], profiles, settings = '' } = {}) {
  const dir = mkdtempSync(join(tmpdir(), 'vantor-e2e-'));
  const data = join(dir, 'data');
  const port = await freePort();
  let ini = `[Tarnwell]\nvnport=${port}\nvnthreads=4\n${settings}`;
  if (dataDirectory) {
    mkdirSync(data);
    writeFileSync(join(data, 'server'), servers.map(row => row.join('\t') + '\n').join(''));
    if (profiles) writeFileSync(join(data, 'profile.dat'), profiles, 'latin1');
    ini += `vndir=${data}\n`;
  }
  writeFileSync(join(dir, 'radiusd.ini'), ini);
  writeFileSync(join(dir, 'common.ini'), '');
  let log = '';
  const program = spawn(env('VANTOR_BINARY'), ['-nofork', '-debug'], {
    env: { ...process.env, VANTOR_INI: join(dir, 'radiusd.ini'), VANTOR_COMMON_INI: join(dir, 'common.ini') },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  program.stdout.on('data', d => { log += d; });
  program.stderr.on('data', d => { log += d; });
  let exited = false, status = null;
  const ended = new Promise(resolve => program.once('close', (code, signal) => {
    exited = true;
    status = signal ?? code;
    resolve();
  }));
  program.once('error', e => { log += `${e.message}\n`; });
  // An orderly stop ends the program with status 1; anything else (a crash,
  // a sanitizer's report) fails the scenario.
  t.after(async () => {
    program.kill('SIGTERM');
    await Promise.race([ended, new Promise(r => setTimeout(r, 10000).unref())]);
    if (!exited) program.kill('SIGKILL');
    rmSync(dir, { recursive: true, force: true });
    assert.equal(status, 1, `the program's stop; its output:\n${log}`);
  });
  const url = `http://127.0.0.1:${port}/`;
  // The web server starts before the site registers its pages.
  await eventually(`the site at ${url} answers`, async () => {
    if (exited) throw new Error(`the program ended: ${log}`);
    const answer = await httpGet(url);
    return answer !== null && !/No process callbacks currently registered/.test(answer);
  });
  return { url, dir, data, output: () => log };
}

// A fresh browser profile whose password prompts are answered with the given
// password. Dialogs are recorded in `dialogs`; a confirm() takes the next of
// `answers` (true when none is queued).
export async function openBrowser(t, pass = password) {
  const profile = mkdtempSync(join(tmpdir(), 'vantor-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    httpCredentials: { username: 'admin', password: pass },
    viewport: { width: 1000, height: 480 },
    timeout: 30000,
  });
  t.after(async () => {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(15000);
  const dialogs = { seen: [], answers: [] };
  page.on('dialog', async dialog => {
    dialogs.seen.push(`${dialog.type()}: ${dialog.message()}`);
    const answer = dialogs.answers.length ? dialogs.answers.shift() : true;
    if (answer === false) await dialog.dismiss();
    else await dialog.accept(typeof answer === 'string' ? answer : undefined);
  });
  return { page, dialogs };
}

// Runs an action that makes the page load another document, and waits for it.
export async function loads(page, action) {
  await Promise.all([page.waitForNavigation(), action()]);
}

// The first-use form answered with a matching pair; the browser then meets
// the password prompt, which the context answers.
export async function chooseFirstPassword(page, url, pass = password) {
  await page.goto(url);
  await page.fill('input[name=pass1]', pass);
  await page.fill('input[name=pass2]', pass);
  await loads(page, () => page.click('input[type=submit]'));
}

export async function openPage(page, title) {
  await loads(page, () => page.click(`a:text-is("${title}")`));
}

// The page's form submitted with the footer's continue button.
export async function pressContinue(page) {
  await loads(page, () => page.click('input[name=continue]'));
}

export async function screenshot(page, name) {
  const out = env('VANTOR_E2E_OUT');
  mkdirSync(out, { recursive: true });
  await page.screenshot({ path: join(out, `${name}.png`), fullPage: true });
}
