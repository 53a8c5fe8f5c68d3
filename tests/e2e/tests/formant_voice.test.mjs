// The shipped formant voice: typed text through espeak-ng, phonframes and
// parvox in a real run, with the phonemes, the control frames and the speech
// linked from the results table.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { eventually, fileNew, frameShowing, launchBrowser, openShell, screenshot, startTaloria } from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

describe('parvox formant voice', () => {
  test('speaks the typed text through parvox and links every step', async () => {
    const app = await startTaloria({});
    try {
      const page = await openShell(browser, app);
      const left = await fileNew(page);
      await left.fill('textarea[name=input]', 'The juice of lemons makes fine punch.');
      await left.selectOption('select[name=config1]', { label: 'Typed text' });
      await left.selectOption('select[name=config2]', { label: 'English to MBROLA phonemes' });
      await left.selectOption('select[name=config3]', { label: 'parvox formant voice' });
      await left.click('input[name=run]');
      const results = await frameShowing(page, 'LEFT', '/html/system.htm');
      const cells = await results.locator('table tr td').evaluateAll((tds) => tds.map((td) => ({
        colour: td.getAttribute('bgcolor'), html: td.innerHTML,
      })));
      assert.ok(!cells.some((c) => c.colour === '#FFD0D0'), JSON.stringify(cells));
      const html = cells.map((c) => c.html).join('\n');
      assert.match(html, /output1-0\.txt/, 'the phonemes are linked');
      assert.match(html, /output2-0\.txt/, 'the control frames are linked');
      assert.match(html, /html\/formant\.wav.*parvox/, 'the speech is linked from the parvox row');
      await screenshot(page, 'formant-voice-results');

      // The control frames: a comment line per phoneme and twelve values a frame.
      const frames = fs.readFileSync(path.join(app.appDir, 'html/output2-0.txt'), 'utf8');
      assert.match(frames, /^\* \S+ \d+ ms$/m);
      assert.match(frames, /^(\d+ ){11}\d+$/m);
      const wav = fs.readFileSync(path.join(app.appDir, 'html/formant.wav'));
      assert.equal(wav.toString('latin1', 0, 4), 'RIFF');
      assert.equal(wav.readUInt32LE(24), 11000);
      const frameCount = frames.split('\n').filter((line) => /^\d/.test(line)).length;
      assert.equal(wav.readUInt32LE(40), frameCount * 110 * 2, 'one 10 ms frame of speech per control line');
      await eventually(async () => !(await page.locator('#toolbar [data-command=play]').isDisabled()), 5000, 'Play enabled');
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });
});
