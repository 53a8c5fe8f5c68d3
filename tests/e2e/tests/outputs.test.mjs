// Outputs in the workbench: data files are shown sandboxed (a hostile XHTML
// output runs no script, XML shows as its source), the shipped configurations
// work with the OldConsole option on, and a failed command's message box opens
// its output.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chooseAndRun, fileNew, frameShowing, launchBrowser, openShell, withApp } from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

// A script that, wherever it runs with the workbench's rights, marks the shell
// page and asks the program for its About box.
const HOSTILE = '<html xmlns="http://www.w3.org/1999/xhtml"><body><p>hostile</p><script>'
  + 'top.document.title = "pwned"; top.document.body.dataset.pwned = "1";'
  + 'fetch("/~shell/command", {method: "POST", headers: {"Content-Type": "application/json"},'
  + ' body: JSON.stringify({command: "about"})});'
  + '</script></body></html>';

describe('outputs', () => {
  test('a hostile XHTML output runs no script and XML shows as its source', async () => {
    const configs = {
      '2Copy_as_XML.txt': '?Copies the text.\ncat $XML $TEE(html/hostile.htm)\n',
      '3Nothing.txt': '?No commands.\n',
    };
    await withApp({ configs }, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await chooseAndRun(left, { config1: 'Typed text', config2: 'Copy as XML', config3: 'Nothing' }, HOSTILE);
      const results = await frameShowing(page, 'LEFT', '/html/system.htm');
      await results.click('a[href="output1-0.xml"]');
      const right = await frameShowing(page, 'RIGHT', '/html/output1-0.xml');
      // The markup is shown as text, tags and script included.
      assert.match(await right.evaluate(() => document.body.textContent), /<script>top\.document\.title/);
      // The same text as an HTML page written by the run: sandboxed too.
      await right.goto(`${app.origin}${encodeURI(path.join(app.appDir, 'html/hostile.htm'))}`);
      await frameShowing(page, 'RIGHT', '/html/hostile.htm');
      await new Promise((r) => setTimeout(r, 1000));
      assert.equal(await page.title(), 'Taloria 2');
      assert.equal(await page.evaluate(() => document.body.dataset.pwned), undefined);
      assert.equal(await page.locator('dialog[data-kind=about]').count(), 0);
      // The program's own pages keep their scripts: the input page's script
      // takes off the line feed the page writer adds after the text.
      const input = await frameShowing(page, 'LEFT', '/html/system.htm');
      await input.click('text=Input');
      const again = await frameShowing(page, 'LEFT', '/html/input.htm');
      assert.equal(await again.locator('textarea[name=input]').inputValue(), HOSTILE);
      await page.context().close();
    });
  });

  test('the shipped configurations run with the OldConsole option on', async () => {
    const phonemes = '_ 100\nh 70\n@ 80 50 120\nl 65\n@U 150 0 117 100 109\n_ 100\n';
    await withApp({ settings: '[Config]\nOldConsole=1\n' }, async (app) => {
      const page = await openShell(browser, app);
      for (const voice of ['MBROLA en1 voice', 'parvox formant demo']) {
        const left = await fileNew(page);
        await chooseAndRun(left, { config1: 'Typed text', config2: 'No processing', config3: voice }, phonemes);
        const results = await frameShowing(page, 'LEFT', '/html/system.htm');
        assert.equal(await results.locator('td[bgcolor="#FFD0D0"]').count(), 0, `${voice} ran without an error row`);
        assert.equal(await page.locator('dialog[data-kind=messageBox]').count(), 0);
      }
      for (const wav of ['html/speech.wav', 'html/demo.wav']) {
        const data = fs.readFileSync(path.join(app.appDir, wav));
        assert.equal(data.toString('latin1', 0, 4), 'RIFF');
        assert.ok(data.length > 4000, `${wav} has ${data.length} bytes`);
      }
      await page.context().close();
    });
  });
});
