// taloria2 --run writes the same files as the same run in the browser.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  binDir, fileNew, frameShowing, launchBrowser, openShell, repoRoot, startTaloria,
} from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const stages = { config1: 'Typed text', config2: 'English to MBROLA phonemes', config3: 'MBROLA en1 voice' };
const files = ['html/output0-0.txt', 'html/output1-0.txt', 'html/speech.wav', 'html/system.htm', 'html/input.htm'];

// The file's bytes with the app directory's path taken out, since pages name it.
function contents(appDir, name) {
  return fs.readFileSync(path.join(appDir, name)).toString('latin1').replaceAll(appDir, 'APP');
}

describe('headless run', () => {
  test('taloria2 --run writes the same files as the browser run', async () => {
    const text = 'Hello world';
    const app = await startTaloria({});
    const fromBrowser = {};
    try {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await left.fill('textarea[name=input]', text);
      for (const [field, label] of Object.entries(stages)) await left.selectOption(`select[name=${field}]`, { label });
      await left.click('input[name=run]');
      await frameShowing(page, 'LEFT', '/html/system.htm');
      for (const name of files) fromBrowser[name] = contents(app.appDir, name);
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }

    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'taloria-headless-'));
    try {
      const appDir = path.join(root, 'app');
      fs.cpSync(path.join(repoRoot, 'frontend/appdata'), appDir, { recursive: true });
      execFileSync(path.join(binDir, 'taloria2'), ['--run', '--appdir', appDir, '--stage1', stages.config1,
        '--stage2', stages.config2, '--stage3', stages.config3, '--text', text],
      { env: { ...process.env, XDG_CONFIG_HOME: path.join(root, 'home') } });
      for (const name of files) assert.equal(contents(appDir, name), fromBrowser[name], name);
      // Stage programs may keep their own things there; the settings file is not written.
      assert.ok(!fs.existsSync(path.join(root, 'home', 'Taloria')), 'the settings are not touched');
    } finally {
      fs.rmSync(root, { recursive: true, force: true });
    }
  });
});
