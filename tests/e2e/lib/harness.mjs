// Starts taloria2 on a temporary copy of the shipped app data and drives it
// through Debian's Chromium with playwright-core.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '../../..');
export const binDir = process.env.TALORIA_BIN_DIR || path.join(repoRoot, 'build/release/bin');
export const resultsDir = path.join(here, '..', 'test-results');

const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// A 16-bit mono PCM WAVE file of `seconds` of a quiet tone.
export function makeWav(file, seconds, rateHz = 11000) {
  const samples = Math.round(seconds * rateHz);
  const data = Buffer.alloc(samples * 2);
  for (let i = 0; i < samples; i++) data.writeInt16LE(Math.round(3000 * Math.sin((2 * Math.PI * 440 * i) / rateHz)), i * 2);
  const header = Buffer.alloc(44);
  header.write('RIFF', 0); header.writeUInt32LE(36 + data.length, 4); header.write('WAVE', 8);
  header.write('fmt ', 12); header.writeUInt32LE(16, 16); header.writeUInt16LE(1, 20); header.writeUInt16LE(1, 22);
  header.writeUInt32LE(rateHz, 24); header.writeUInt32LE(rateHz * 2, 28); header.writeUInt16LE(2, 32); header.writeUInt16LE(16, 34);
  header.write('data', 36); header.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([header, data]));
  return { dataBytes: data.length, byteRate: rateHz * 2 };
}

// Starts taloria2. `configs` adds configuration files ({name: text}),
// `files` adds other files of the app directory ({relative path: text or Buffer}),
// `settings` is the text of the settings file the program starts with.
export async function startTaloria({ configs = {}, files = {}, env = {}, settings } = {}) {
  const exe = path.join(binDir, 'taloria2');
  if (!fs.existsSync(exe)) throw new Error(`taloria2 not found in ${binDir} (set TALORIA_BIN_DIR)`);
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'taloria-e2e-'));
  const appDir = path.join(root, 'app');
  fs.cpSync(path.join(repoRoot, 'frontend/appdata'), appDir, { recursive: true });
  for (const [name, text] of Object.entries(configs)) fs.writeFileSync(path.join(appDir, 'config', name), text);
  for (const [name, content] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(appDir, name)), { recursive: true });
    fs.writeFileSync(path.join(appDir, name), content);
  }
  const configHome = path.join(root, 'config-home');
  fs.mkdirSync(configHome);
  if (settings !== undefined) {
    fs.mkdirSync(path.join(configHome, 'Taloria'));
    fs.writeFileSync(path.join(configHome, 'Taloria', 'Taloria 2.ini'), settings);
  }
  const capture = path.join(root, 'capture.pcm');
  const child = spawn(exe, ['--appdir', appDir, '--port', '0', '--no-browser'], {
    env: { ...process.env, XDG_CONFIG_HOME: configHome, TALORIA_WAVEOUT: `capture:${capture}`,
      TALORIA_WAVEOUT_SPEED: '0', ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stdout = '';
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no address from taloria2; stderr: ${stderr}`)), 15000);
    child.stdout.on('data', (d) => {
      stdout += d;
      const match = /Taloria is at (http:\/\/127\.0\.0\.1:(\d+)\/\S*\?token=([0-9a-f]+))/.exec(stdout);
      if (match) { clearTimeout(timer); resolve(match[1]); }
    });
    exited.then(({ code }) => reject(new Error(`taloria2 ended (${code}) before serving; stderr: ${stderr}`)));
  });
  const parsed = new URL(url);
  const app = {
    url, root, appDir, configHome, capture, child,
    port: Number(parsed.port), token: parsed.searchParams.get('token'), origin: parsed.origin,
    stderr: () => stderr,
    settingsFile: path.join(configHome, 'Taloria', 'Taloria 2.ini'),
    // Ends the program as Ctrl+C would and waits for it.
    async stop(signal = 'SIGTERM') {
      if (child.exitCode === null && child.signalCode === null) child.kill(signal);
      const timeout = new Promise((resolve) => setTimeout(() => resolve(null), 15000));
      const result = await Promise.race([exited, timeout]);
      if (result === null) { child.kill('SIGKILL'); throw new Error('taloria2 did not end within 15 s'); }
      return result;
    },
    cleanup() { fs.rmSync(root, { recursive: true, force: true }); },
  };
  return app;
}

export async function launchBrowser() {
  return chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_FLAGS });
}

// Opens the shell page in a fresh context and waits until the view shows a page.
export async function openShell(browser, app) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => console.error('page error:', e.message));
  await page.goto(app.url);
  await page.waitForFunction(() => {
    const view = document.getElementById('view');
    return view && view.contentWindow && view.contentWindow.location.pathname !== 'blank';
  });
  return page;
}

export function viewPath(page) {
  return page.evaluate(() => decodeURIComponent(document.getElementById('view').contentWindow.location.pathname));
}

export async function waitForViewPath(page, ending) {
  await page.waitForFunction((end) => {
    try {
      return decodeURIComponent(document.getElementById('view').contentWindow.location.pathname).endsWith(end)
        && document.getElementById('view').contentDocument.readyState === 'complete';
    } catch (e) { return false; }
  }, ending, { timeout: 15000 });
}

// The frame named `name` (LEFT or RIGHT) once it shows a path ending in `ending`.
export async function frameShowing(page, name, ending) {
  const deadline = Date.now() + 60000;
  for (;;) {
    const frame = page.frame({ name });
    if (frame) {
      try {
        const url = decodeURIComponent(new URL(frame.url()).pathname);
        if (url.endsWith(ending) && (await frame.evaluate(() => document.readyState)) === 'complete') return frame;
      } catch (e) { /* navigating */ }
    }
    if (Date.now() > deadline) throw new Error(`frame ${name} never showed ${ending}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

export async function menuCommand(page, menu, item) {
  await page.click(`.menu-title:has-text("${menu}")`);
  await page.click(`.menu.open [data-command="${item}"]`);
}

// Shows the synthesis page (File New after the start page).
export async function fileNew(page) {
  await menuCommand(page, 'File', 'new');
  await waitForViewPath(page, '/html/synthesis.htm');
  return frameShowing(page, 'LEFT', '/html/input.htm');
}

export async function screenshot(page, name) {
  fs.mkdirSync(resultsDir, { recursive: true });
  await page.screenshot({ path: path.join(resultsDir, `${name}.png`) });
}

// One raw HTTP request to the program, with full control of the headers.
export function rawRequest(app, { method = 'GET', pathName = '/~shell/', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const request = http.request({ host: '127.0.0.1', port: app.port, method, path: pathName, headers, setHost: false },
      (response) => {
        let data = '';
        response.on('data', (d) => { data += d; });
        response.on('end', () => resolve({ status: response.statusCode, headers: response.headers, body: data }));
      });
    request.on('error', reject);
    request.setTimeout(10000, () => request.destroy(new Error('timeout')));
    if (body !== undefined) request.write(body);
    request.end();
  });
}

// Waits until `check()` is true (polling), or fails after `ms`.
export async function eventually(check, ms = 20000, what = 'condition') {
  const deadline = Date.now() + ms;
  for (;;) {
    if (await check()) return;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// Starts taloria2 with `options`, runs `body(app)` and always ends and removes it.
export async function withApp(options, body) {
  const app = await startTaloria(options);
  try {
    await body(app);
  } finally {
    await app.stop().catch(() => {});
    app.cleanup();
  }
}

// Fills the input page in frame `left` (text, then the chosen configurations by
// label) and presses Run.
export async function chooseAndRun(left, choices, text) {
  if (text !== undefined) await left.fill('textarea[name=input]', text);
  for (const [field, value] of Object.entries(choices)) await left.selectOption(`select[name=${field}]`, { label: value });
  await left.click('input[name=run]');
}
