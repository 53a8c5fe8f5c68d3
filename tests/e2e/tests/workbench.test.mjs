// The main window in the browser: start page, File New, a real run of the
// shipped English configurations, a failing command, configuration help, and
// the File Needed dialog of "$ASK(".
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  chooseAndRun, eventually, fileNew, frameShowing, launchBrowser, openShell, screenshot, waitForViewPath, withApp,
} from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe('workbench', () => {
  test('first start shows the help index, File New the synthesis page', async () => {
    await withApp({}, async (app) => {
      const page = await openShell(browser, app);
      await waitForViewPath(page, path.join(app.appDir, 'help/index.html'));
      assert.equal(await page.locator('#status-message').textContent(), 'Ready');
      // The ten buttons of the main window, then the signal panel's own.
      assert.equal(await page.locator('#toolbar button').count(), 11);
      assert.equal(await page.locator('#toolbar button').last().getAttribute('data-command'), 'toggleSignal');
      assert.equal(await page.locator('#toolbar .sep').count(), 4);
      assert.equal(await page.locator('#toolbar [data-command=play]').getAttribute('title'), 'Play');
      assert.ok(await page.locator('#toolbar [data-command=play]').isDisabled());
      await screenshot(page, 'start-page');

      // The status bar shows a command's prompt while the pointer is over it.
      await page.hover('#toolbar [data-command=new]');
      assert.equal(await page.locator('#status-message').textContent(), 'Create a new synthesis');

      const left = await fileNew(page);
      assert.equal(await left.locator('textarea[name=input]').inputValue(), '`type your `text `here');
      assert.ok(await left.locator('select[name=config1] option').count() >= 1);
      await frameShowing(page, 'RIGHT', '/html/welcome.htm');
      await screenshot(page, 'synthesis-page');
      await page.context().close();
    });
  });

  test('a run of the English configurations shows its rows and writes a real WAV file', async () => {
    await withApp({}, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await chooseAndRun(left, { config1: 'Typed text', config2: 'English to MBROLA phonemes', config3: 'MBROLA en1 voice' },
        'Hello world, this is a test.');
      const results = await frameShowing(page, 'LEFT', '/html/system.htm');
      const rows = await results.locator('table tr td').evaluateAll((cells) => cells.map((td) => ({
        colour: td.getAttribute('bgcolor'), html: td.innerHTML,
      })));
      // Input (an input row gets no output row), espeak-ng and its text icon,
      // phorender with its link, Output.
      assert.equal(rows.length, 5, JSON.stringify(rows));
      assert.match(rows[0].html, /synthesis\.htm.*Input/);
      assert.equal(rows[0].colour, '#D0FFD0');
      assert.match(rows[1].html, /espeak-ng -v mb-en1 -q --pho --stdin/);
      assert.equal(rows[1].colour, '#FFFFD0');
      assert.match(rows[2].html, /output1-0\.txt.*text\.gif/);
      assert.match(rows[3].html, /html\/speech\.wav.*phorender/);
      assert.match(rows[4].html, /html\/speech\.wav.*Output/);
      assert.ok(!rows.some((r) => r.colour === '#FFD0D0'), 'no error row');

      const wav = fs.readFileSync(path.join(app.appDir, 'html/speech.wav'));
      assert.equal(wav.toString('latin1', 0, 4), 'RIFF');
      assert.equal(wav.toString('latin1', 8, 12), 'WAVE');
      assert.ok(wav.length > 8000, `speech.wav has ${wav.length} bytes`);
      assert.equal(fs.readFileSync(path.join(app.appDir, 'html/output0-0.txt'), 'utf8'), 'Hello world, this is a test.');
      await eventually(async () => !(await page.locator('#toolbar [data-command=play]').isDisabled()), 5000, 'Play enabled');
      // The input page was rewritten with the selection the run used.
      const input = fs.readFileSync(path.join(app.appDir, 'html/input.htm'), 'utf8');
      assert.match(input, /<option selected>MBROLA en1 voice<\/option>/);
      await screenshot(page, 'results');

      // A reloaded shell shows the same pages again: the frameset, results on the left.
      await page.reload();
      await waitForViewPath(page, '/html/synthesis.htm');
      await frameShowing(page, 'LEFT', '/html/system.htm');
      const shown = page.frame({ name: 'LEFT' });

      // The text icon opens the phonemes in the right frame.
      await shown.click('a[href="output1-0.txt"]');
      const right = await frameShowing(page, 'RIGHT', '/html/output1-0.txt');
      assert.match(await right.locator('body').textContent(), /_\s+\d+/);

      // The Input row's link (target _top) shows the synthesis page in the view
      // and leaves the shell in place.
      await shown.click('text=Input');
      await frameShowing(page, 'LEFT', '/html/input.htm');
      assert.ok(new URL(page.url()).pathname.startsWith('/~shell/'));
      assert.equal(await page.locator('#toolbar').count(), 1);
      await page.context().close();
    });
  });

  test('a failing command shows its message box and a red row linking its output', async () => {
    const configs = { '3Broken.txt': '?Always fails.\nsh -c "echo broken tool; exit 3"\n' };
    await withApp({ configs }, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await chooseAndRun(left, { config1: 'Typed text', config2: 'No processing', config3: 'Broken' }, 'abc');
      const box = page.locator('dialog[data-kind=messageBox]');
      await box.waitFor({ timeout: 30000 });
      assert.match(await box.locator('.text').textContent(), /^Command 'sh -c .*' fails$/);
      await screenshot(page, 'command-fails');
      await box.locator('button:has-text("OK")').click();
      const results = await frameShowing(page, 'LEFT', '/html/system.htm');
      const errorRow = results.locator('td[bgcolor="#FFD0D0"]');
      assert.equal(await errorRow.count(), 1);
      assert.equal(await errorRow.locator('a').getAttribute('href'), 'output2-0.txt');
      assert.equal(await errorRow.locator('img').getAttribute('src'), 'error.gif');
      await errorRow.locator('a').click();
      const right = await frameShowing(page, 'RIGHT', '/html/output2-0.txt');
      assert.match(await right.locator('body').textContent(), /broken tool/);
      await screenshot(page, 'error-row');
      await page.context().close();
    });
  });

  test('a running command can be stopped and then counts as failed', async () => {
    const configs = { '3Slow.txt': '?Takes its time.\nsh -c "echo started; sleep 60; echo never"\n' };
    await withApp({ configs }, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await chooseAndRun(left, { config1: 'Typed text', config2: 'No processing', config3: 'Slow' }, 'abc');
      await page.locator('#runbar').waitFor({ state: 'visible' });
      await eventually(async () => /Stage 3, command 1: sh -c/.test(await page.locator('#run-text').textContent()),
        10000, 'progress of stage 3');
      assert.ok(await page.evaluate(() => document.body.classList.contains('busy')));
      await screenshot(page, 'running');
      const started = Date.now();
      await page.click('#run-stop');
      const box = page.locator('dialog[data-kind=messageBox]');
      await box.waitFor({ timeout: 15000 });
      assert.ok(Date.now() - started < 15000, 'the stop ended the command long before its sleep');
      assert.match(await box.locator('.text').textContent(), /^Command 'sh -c .*' fails$/);
      await box.locator('button:has-text("OK")').click();
      const results = await frameShowing(page, 'LEFT', '/html/system.htm');
      assert.equal(await results.locator('td[bgcolor="#FFD0D0"] a').getAttribute('href'), 'output2-0.txt');
      const output = fs.readFileSync(path.join(app.appDir, 'html/output2-0.txt'), 'utf8');
      assert.match(output, /started/);
      assert.doesNotMatch(output, /never/);
      await page.locator('#runbar').waitFor({ state: 'hidden' });
      await page.context().close();
    });
  });

  test('a help button shows the configuration help in the right frame', async () => {
    await withApp({}, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await left.selectOption('select[name=config3]', { label: 'MBROLA en1 voice' });
      await left.click('input[name=help3]');
      const right = await frameShowing(page, 'RIGHT', '/html/cfghelp.htm');
      assert.match(await right.locator('h1').textContent(), /MBROLA en1 voice/);
      assert.match(await right.locator('pre').textContent(), /Speaks the phonemes of stage 2/);
      // A help request runs nothing: the left frame still shows the input page.
      assert.ok(decodeURIComponent(new URL(page.frame({ name: 'LEFT' }).url()).pathname).endsWith('/html/input.htm'));
      await screenshot(page, 'config-help');
      await page.context().close();
    });
  });

  test('"$ASK(" opens File Needed and its answer reaches the command line', async () => {
    const configs = {
      '1Asking.txt': '?Echoes a chosen file name.\necho $ASK(Choose_a_file) $TEXT\n',
      '3Nothing.txt': '?No commands at all.\n',
    };
    await withApp({ configs, files: { 'data/chosen.txt': 'x' } }, async (app) => {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await chooseAndRun(left, { config1: 'Asking', config2: 'No processing', config3: 'Nothing' });
      const dialog = page.locator('dialog[data-kind=fileNeeded]');
      await dialog.waitFor({ timeout: 15000 });
      assert.match(await dialog.locator('.centred').textContent(), /Choose_a_file/);
      // Browse over the served file system, then confirm the chosen file.
      await dialog.locator('button:has-text("Browse")').click();
      const chooser = page.locator('dialog[data-kind=chooser]');
      await chooser.waitFor();
      await chooser.locator('input[name=fileName]').fill(path.join(app.appDir, 'data/chosen.txt'));
      await screenshot(page, 'file-needed-browse');
      await chooser.locator('button:has-text("Open")').click();
      await chooser.waitFor({ state: 'detached' });
      const chosen = path.join(app.appDir, 'data/chosen.txt');
      assert.equal(await dialog.locator('input[name=path]').inputValue(), chosen);
      await screenshot(page, 'file-needed');
      await dialog.locator('button:has-text("OK")').click();
      await eventually(() => fs.existsSync(path.join(app.appDir, 'html/output0-0.txt')), 30000, 'output0-0.txt');
      assert.equal(fs.readFileSync(path.join(app.appDir, 'html/output0-0.txt'), 'utf8').trim(), chosen);
      await page.context().close();
    });
  });
});
