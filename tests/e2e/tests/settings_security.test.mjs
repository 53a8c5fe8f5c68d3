// The Configuration dialog's setting reaches the settings file at exit, and
// requests without the token, with a foreign Host or a foreign Origin are refused.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { launchBrowser, menuCommand, openShell, rawRequest, screenshot, startTaloria } from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe('settings and security', () => {
  test('the Configuration check box is saved to the settings file at exit', async () => {
    const app = await startTaloria();
    try {
      const page = await openShell(browser, app);
      await menuCommand(page, 'View', 'configuration');
      const dialog = page.locator('dialog[data-kind=configuration]');
      await dialog.waitFor();
      assert.equal(await dialog.locator('h2').textContent(), 'Configuration');
      assert.match(await dialog.textContent(), /Windows Compatibility/);
      const box = dialog.locator('input[type=checkbox]');
      assert.equal(await box.isChecked(), false);
      await box.check();
      await screenshot(page, 'configuration-dialog');
      await dialog.locator('button:has-text("OK")').click();
      await dialog.waitFor({ state: 'detached' });

      // Cancel keeps the setting.
      await menuCommand(page, 'View', 'configuration');
      await dialog.waitFor();
      assert.equal(await dialog.locator('input[type=checkbox]').isChecked(), true);
      await dialog.locator('input[type=checkbox]').uncheck();
      await dialog.locator('button:has-text("Cancel")').click();
      await dialog.waitFor({ state: 'detached' });

      const result = await app.stop('SIGINT');
      assert.equal(result.code, 0, app.stderr());
      const settings = fs.readFileSync(app.settingsFile, 'utf8');
      assert.match(settings, /\[Config\]/);
      assert.match(settings, /OldConsole=1/);
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });

  test('requests without the token, with a foreign Host or a foreign Origin are refused', async () => {
    const app = await startTaloria();
    try {
      const host = `127.0.0.1:${app.port}`;
      const page = `${app.appDir}/help/index.html`;
      const withToken = { Host: host, 'X-Taloria-Token': app.token };
      assert.equal((await rawRequest(app, { pathName: page, headers: withToken })).status, 200);
      assert.equal((await rawRequest(app, { pathName: page, headers: { Host: host } })).status, 403);
      assert.equal((await rawRequest(app, { pathName: `/~shell/?token=${'0'.repeat(32)}`, headers: { Host: host } })).status, 403);
      assert.equal((await rawRequest(app, { pathName: page, headers: { ...withToken, Host: `evil.example:${app.port}` } })).status, 403);
      assert.equal((await rawRequest(app, { pathName: page, headers: { 'X-Taloria-Token': app.token } })).status, 403);
      const post = (origin) => rawRequest(app, {
        method: 'POST', pathName: `${app.appDir}/html/input.htm`,
        headers: { ...withToken, Origin: origin, 'Content-Type': 'application/x-www-form-urlencoded' },
        body: 'input=x&help1=Help',
      });
      assert.equal((await post('http://evil.example')).status, 403);
      assert.equal((await post(app.origin)).status, 204);

      // A browser on another site cannot reach the program either: no cookie
      // travels with a cross-site request and the token is not in its URL.
      const context = await browser.newContext();
      const tab = await context.newPage();
      const response = await tab.goto(`http://localhost:${app.port}/~shell/`);
      assert.equal(response.status(), 403);
      await context.close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });
});
