// The shell's commands around the input page: Save and Save As take the text
// box as shown, Ctrl+Enter runs, Reload configurations, the workbench during a
// run, "Show output" of a failed command, the Open dialog's error and the
// project's web site.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  eventually, fileNew, frameShowing, launchBrowser, menuCommand, openShell, rawRequest, screenshot, withApp,
} from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const NOTHING = { '3Nothing.txt': '?No commands.\n' };

// Save As into the app directory under `name`, through the file chooser.
async function saveAs(page, app, name) {
  await menuCommand(page, 'File', 'saveAs');
  const save = page.locator('dialog[data-kind=fileSave]');
  await save.waitFor();
  await save.locator('input[name=fileName]').fill(path.join(app.appDir, name));
  await save.locator('button:has-text("Save")').click();
  await save.waitFor({ state: 'detached' });
}

async function fileHolds(app, name, text) {
  const file = path.join(app.appDir, name);
  await eventually(() => fs.existsSync(file) && fs.readFileSync(file, 'utf8') === text, 10000,
    `${name} holding ${JSON.stringify(text)}`);
}

describe('commands', () => {
  test('Save takes the text box as shown; Ctrl+Enter runs; Reload configurations', async () => {
    await withApp({ configs: NOTHING }, async (app) => {
      const page = await openShell(browser, app);
      let left = await fileNew(page);
      // Typed and saved without any run: the file holds what the box shows.
      await left.fill('textarea[name=input]', 'typed, never run\nsecond line + 100%');
      await saveAs(page, app, 'typed.txt');
      await fileHolds(app, 'typed.txt', 'typed, never run\nsecond line + 100%\n');

      // Ctrl+Enter in the text box is the Run button.
      await left.selectOption('select[name=config2]', { label: 'No processing' });
      await left.selectOption('select[name=config3]', { label: 'Nothing' });
      await left.locator('textarea[name=input]').press('Control+Enter');
      const results = await frameShowing(page, 'LEFT', '/html/system.htm');
      await eventually(() => fs.existsSync(path.join(app.appDir, 'html/output0-0.txt')), 10000, 'the run');

      // Edited after the run: Save (Ctrl+S) writes the new text.
      await results.click('text=Input');
      left = await frameShowing(page, 'LEFT', '/html/input.htm');
      await left.fill('textarea[name=input]', 'edited after the run');
      await left.locator('textarea[name=input]').press('Control+s');
      await fileHolds(app, 'typed.txt', 'edited after the run\n');

      // The results page shown: Save keeps the document's text.
      await left.fill('textarea[name=input]', 'run again');
      await left.click('input[name=run]');
      await frameShowing(page, 'LEFT', '/html/system.htm');
      await menuCommand(page, 'File', 'save');
      await fileHolds(app, 'typed.txt', 'run again\n');

      // A configuration added while the program runs appears after Reload
      // configurations, with the text and selection on the screen kept.
      await page.frame({ name: 'LEFT' }).click('text=Input');
      left = await frameShowing(page, 'LEFT', '/html/input.htm');
      await left.fill('textarea[name=input]', 'kept across the reload');
      await left.selectOption('select[name=config3]', { label: 'Nothing' });
      fs.writeFileSync(path.join(app.appDir, 'config/3Added_later.txt'), '?Added while running.\n');
      await menuCommand(page, 'View', 'reloadConfigurations');
      await eventually(async () => {
        try {
          const frame = await frameShowing(page, 'LEFT', '/html/input.htm');
          return (await frame.locator('select[name=config3] option', { hasText: 'Added later' }).count()) === 1;
        } catch (e) { return false; }
      }, 15000, 'the new configuration listed');
      left = await frameShowing(page, 'LEFT', '/html/input.htm');
      assert.equal(await left.locator('textarea[name=input]').inputValue(), 'kept across the reload');
      assert.equal(await left.locator('select[name=config3] option:checked').textContent(), 'Nothing');
      await page.context().close();
    });
  });

  test('during a run only Stop run acts; a failed command offers its output', async () => {
    const configs = { '3Slow_failure.txt': '?Fails after a while.\nsh -c "echo partial result; sleep 2; exit 3"\n' };
    await withApp({ configs }, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await left.selectOption('select[name=config2]', { label: 'No processing' });
      await left.selectOption('select[name=config3]', { label: 'Slow failure' });
      await left.click('input[name=run]');
      await eventually(async () => /^Stage 3, command 1: sh -c/.test(await page.locator('#status-message').textContent()),
        10000, 'the running command in the status pane');
      assert.ok(await page.locator('#toolbar [data-command=new]').isDisabled());
      assert.ok(await page.locator('.menu-title:has-text("Help")').isDisabled());
      assert.ok(await page.locator('[data-command=about]').isDisabled());
      assert.ok(!(await page.locator('#run-stop').isDisabled()));
      // Shortcuts are ignored, and the program itself takes no command now.
      await page.keyboard.press('Control+o');
      const refused = await rawRequest(app, {
        method: 'POST', pathName: '/~shell/command',
        headers: { Host: `127.0.0.1:${app.port}`, 'X-Taloria-Token': app.token, 'Content-Type': 'application/json' },
        body: JSON.stringify({ command: 'about' }),
      });
      assert.equal(refused.status, 409);
      await screenshot(page, 'run-state');

      const box = page.locator('dialog[data-kind=messageBox]');
      await box.waitFor({ timeout: 15000 });
      assert.match(await box.locator('.text').textContent(), /^Command 'sh -c .*' fails$/);
      await box.locator('button:has-text("Show output")').click();
      const right = await frameShowing(page, 'RIGHT', '/html/output2-0.txt');
      assert.match(await right.locator('body').textContent(), /partial result/);
      await eventually(async () => (await page.locator('#status-message').textContent()) === 'Ready', 5000, 'Ready');
      assert.ok(!(await page.locator('#toolbar [data-command=new]').isDisabled()));
      // Nothing queued pops up after the run.
      await new Promise((r) => setTimeout(r, 500));
      assert.equal(await page.locator('dialog').count(), 0);
      await page.context().close();
    });
  });

  test('the Open error names the folder typed; Web Site and About name the help pages', async () => {
    await withApp({}, async (app) => {
      const page = await openShell(browser, app);
      await menuCommand(page, 'File', 'open');
      const open = page.locator('dialog[data-kind=fileOpen]');
      await open.waitFor();
      await open.locator('input[name=fileName]').fill('/no-such-folder-4711/missing.txt');
      await open.locator('button:has-text("Open")').click();
      await eventually(async () => /^\/no-such-folder-4711 .*missing\.txt/.test(await open.locator('.chooser-path').textContent()),
        5000, 'the error naming the typed folder');
      await open.locator('button:has-text("Cancel")').click();

      const help = `${app.origin}${encodeURI(path.join(app.appDir, 'help/index.html'))}`;
      const opened = page.context().waitForEvent('page');
      await menuCommand(page, 'Help', 'website');
      const site = await opened;
      await site.waitForLoadState();
      assert.equal(site.url(), help);
      assert.match(await site.title(), /Taloria/);
      await menuCommand(page, 'Help', 'about');
      const about = page.locator('dialog[data-kind=about]');
      await about.waitFor();
      assert.equal(await about.locator('a').getAttribute('href'), help);
      assert.equal(await about.locator('a').textContent(), help);
      await page.context().close();
    });
  });
});
