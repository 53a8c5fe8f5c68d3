// Documents through the shell's file choosers: Save As, Open, the recent-file
// list; and the About box, Back and Restart.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  eventually, fileNew, frameShowing, launchBrowser, menuCommand, openShell, screenshot, startTaloria, waitForViewPath,
} from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

// Waits until the input page in LEFT shows `text` in its text field.
async function inputPageShows(page, text) {
  await eventually(async () => {
    try {
      const frame = await frameShowing(page, 'LEFT', '/html/input.htm');
      return (await frame.locator('textarea[name=input]').inputValue({ timeout: 1000 })) === text;
    } catch (e) { return false; }
  }, 15000, `the input page showing ${JSON.stringify(text)}`);
}

describe('documents and navigation', () => {
  test('Save As and Open go through the file chooser and fill the recent-file list', async () => {
    const app = await startTaloria({ files: { 'docs/keep.txt': 'first line\r\nsecond line\r\n' } });
    try {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await left.fill('textarea[name=input]', 'saved words');
      // The text reaches the document with the next form post (here a help request).
      await left.click('input[name=help1]');
      await frameShowing(page, 'RIGHT', '/html/cfghelp.htm');

      await menuCommand(page, 'File', 'saveAs');
      const save = page.locator('dialog[data-kind=fileSave]');
      await save.waitFor();
      await save.locator('.chooser-list button:has-text("docs")').click();
      await page.waitForFunction(() => /\/docs$/.test(document.querySelector('dialog[data-kind=fileSave] .chooser-path').textContent));
      await save.locator('input[name=fileName]').fill('new.talor');
      await screenshot(page, 'save-as');
      await save.locator('button:has-text("Save")').click();
      await save.waitFor({ state: 'detached' });
      // The dialog closes at the click; the program saves once the answer reached it.
      await eventually(() => fs.existsSync(path.join(app.appDir, 'docs/new.talor')), 10000, 'the saved file');
      assert.equal(fs.readFileSync(path.join(app.appDir, 'docs/new.talor'), 'utf8'), 'saved words\n');

      await menuCommand(page, 'File', 'open');
      const open = page.locator('dialog[data-kind=fileOpen]');
      await open.waitFor();
      // Only existing files can be opened.
      await open.locator('input[name=fileName]').fill(path.join(app.appDir, 'docs/missing.txt'));
      await open.locator('button:has-text("Open")').click();
      await page.waitForTimeout(300);
      assert.equal(await open.count(), 1);
      await open.locator('input[name=fileName]').fill(path.join(app.appDir, 'docs/keep.txt'));
      await open.locator('button:has-text("Open")').click();
      await open.waitFor({ state: 'detached' });
      // The view showed the synthesis page before already, so wait for the
      // opened text itself: the frames are reloaded under the test's feet.
      await inputPageShows(page, 'first line\nsecond line\n');

      await page.click('.menu-title:has-text("File")');
      const recent = page.locator('#recent-files [data-command^=recent]');
      assert.equal(await recent.count(), 2);
      assert.equal(await recent.first().getAttribute('title'), path.join(app.appDir, 'docs/keep.txt'));
      await page.click('#recent-files [data-command=recent2]');
      // The view reloads the same pages; wait for the opened text to appear.
      await inputPageShows(page, 'saved words\n');
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });

  test('About, Restart and Back', async () => {
    const app = await startTaloria();
    try {
      const page = await openShell(browser, app);
      await menuCommand(page, 'Help', 'about');
      const about = page.locator('dialog[data-kind=about]');
      await about.waitFor();
      assert.match(await about.textContent(), /Taloria Version \d+\.\d+/);
      await screenshot(page, 'about');
      await about.locator('button:has-text("OK")').click();
      await about.waitFor({ state: 'detached' });

      await fileNew(page);
      await page.click('.menu-title:has-text("View")');
      await page.hover('.menu.open [data-command=configuration]');
      assert.equal(await page.locator('#status-message').textContent(), 'View Configuration Options');
      await screenshot(page, 'view-menu');
      await page.keyboard.press('Escape');
      await page.click('#toolbar [data-command=restart]');
      await waitForViewPath(page, path.join(app.appDir, 'help/index.html'));
      await page.click('#toolbar [data-command=back]');
      await waitForViewPath(page, '/html/synthesis.htm');
      // Alt+N is New (browsers keep Ctrl+N), also from inside the view.
      await page.click('#toolbar [data-command=restart]');
      await waitForViewPath(page, path.join(app.appDir, 'help/index.html'));
      await page.frameLocator('#view').locator('body').click({ position: { x: 5, y: 5 } });
      await page.keyboard.press('Alt+n');
      await waitForViewPath(page, '/html/synthesis.htm');
      // Going back past the view's first page keeps the workbench.
      for (let i = 0; i < 6; i++) {
        await page.click('#toolbar [data-command=back]');
        await page.waitForTimeout(250);
      }
      assert.ok(new URL(page.url()).pathname.startsWith('/~shell/'), page.url());
      await waitForViewPath(page, path.join(app.appDir, 'help/index.html'));
      // The ten buttons of the main window, then the signal panel's own.
      assert.equal(await page.locator('#toolbar button').count(), 11);
      assert.equal(await page.locator('#toolbar button').last().getAttribute('data-command'), 'toggleSignal');
      await page.setViewportSize({ width: 1920, height: 1080 });
      await screenshot(page, 'large-screen');
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });
});
