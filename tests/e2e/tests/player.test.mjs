// Audio links and the Play, Pause and Stop commands, heard through the
// capture backend of the wave-output device.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  eventually, fileNew, frameShowing, launchBrowser, makeWav, openShell, screenshot, startTaloria,
} from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const LINKS_PAGE = `<!DOCTYPE html><html><body>
<p><a id="from15" href="tone.wav#1.5">from 1.5 s</a></p>
<p><a id="upper" href="tone.WAV">upper case</a></p>
<p><a id="query" href="tone.wav?v=1">with a query</a></p>
<p><a id="missing" href="no%zzfile.wav#2">a file that is not there</a></p>
<form method="post" action="links.htm?again=1"><input type="submit" id="empty" value="A form without fields"></form>
</body></html>`;

// A stage-3 configuration whose $OUTPUT makes html/tone.wav the Play file.
const TONE_CONFIG = '?Plays the test tone.\n$OUTPUT $ARG(html/tone.wav)\n';

async function prepare(app, seconds) {
  return makeWav(path.join(app.appDir, 'html/tone.wav'), seconds);
}

function captured(app) {
  return fs.existsSync(app.capture) ? fs.statSync(app.capture).size : 0;
}

const playState = (page) => page.evaluate(() => JSON.parse(document.body.dataset.commands || '{}'));

describe('player', () => {
  test('an audio link with "#1.5" plays from 1.5 s and the page stays', async () => {
    // The template beside it makes links.htm one of the app's own pages, which the shell hooks.
    const app = await startTaloria({ files: { 'html/links.htm': LINKS_PAGE, 'html/links.htt': '%1\n' } });
    try {
      const tone = await prepare(app, 3);
      const page = await openShell(browser, app);
      await fileNew(page);
      const right = page.frame({ name: 'RIGHT' });
      await right.goto(new URL(path.join(app.appDir, 'html/links.htm'), app.origin).href);
      const links = await frameShowing(page, 'RIGHT', '/html/links.htm');
      await links.click('#from15');
      // Replay completes at once (speed 0): the capture holds the PCM from 1.5 s on.
      const expected = tone.dataBytes - 1.5 * tone.byteRate;
      await eventually(() => captured(app) >= expected, 10000, 'captured audio');
      await new Promise((r) => setTimeout(r, 300));
      assert.equal(captured(app), expected);
      // The navigation was cancelled: the frame still shows the links page.
      assert.ok(decodeURIComponent(new URL(links.url()).pathname).endsWith('/html/links.htm'));

      // A link to a file the player cannot open shows its message, then is
      // followed like any other link (a "%" without digits is part of the name).
      await links.click('#missing');
      const box = page.locator('dialog[data-kind=messageBox]');
      await box.waitFor({ timeout: 10000 });
      assert.equal(await box.locator('.text').textContent(),
        `Could not open '${path.join(app.appDir, 'html/no%zzfile.wav')}'`);
      await box.locator('button:has-text("OK")').click();
      await eventually(() => page.frame({ name: 'RIGHT' }).url().includes('/html/no%zzfile.wav'), 10000,
        'the missing file followed in RIGHT');
      await right.goto(new URL(path.join(app.appDir, 'html/links.htm'), app.origin).href);
      await frameShowing(page, 'RIGHT', '/html/links.htm');

      // A form without fields posts nothing: it is an ordinary navigation.
      await links.click('#empty');
      await eventually(() => page.frame({ name: 'RIGHT' }).url().endsWith('/html/links.htm?again=1'), 10000,
        'the form address in RIGHT');
      // A link with a query does not end in ".wav": it is followed, not played.
      const again = await frameShowing(page, 'RIGHT', '/html/links.htm');
      await again.click('#query');
      await eventually(() => page.frame({ name: 'RIGHT' }).url().endsWith('/html/tone.wav?v=1'), 10000,
        'the linked file in RIGHT');
      assert.equal(captured(app), expected, 'nothing more was played');
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });

  test('Play, Pause and Stop follow the player', async () => {
    // Real-time replay so that there is time to pause and stop.
    const app = await startTaloria({ configs: { '3Tone.txt': TONE_CONFIG }, env: { TALORIA_WAVEOUT_SPEED: '1' } });
    try {
      await prepare(app, 6);
      const page = await openShell(browser, app);
      const button = (name) => page.locator(`#toolbar [data-command=${name}]`);
      const left = await fileNew(page);
      assert.deepEqual(await playState(page), { play: false, pause: false, stop: false, paused: false });
      await left.selectOption('select[name=config3]', { label: 'Tone' });
      await left.selectOption('select[name=config2]', { label: 'No processing' });
      await left.click('input[name=run]');
      await frameShowing(page, 'LEFT', '/html/system.htm');
      await eventually(async () => !(await button('play').isDisabled()), 10000, 'Play enabled');
      assert.ok(await button('pause').isDisabled());
      assert.ok(await button('stop').isDisabled());

      await button('play').click();
      await eventually(async () => (await playState(page)).stop === true, 5000, 'Stop enabled');
      assert.deepEqual(await playState(page), { play: true, pause: true, stop: true, paused: false });
      assert.equal(await button('pause').getAttribute('aria-pressed'), 'false');
      await screenshot(page, 'playing');

      await button('pause').click();
      await new Promise((r) => setTimeout(r, 300));
      const pausedAt = captured(app);
      await new Promise((r) => setTimeout(r, 700));
      assert.ok((await playState(page)).pause, 'Pause stays enabled to resume');
      assert.ok(captured(app) - pausedAt < 11000 * 2 * 0.5, 'replay holds while paused');
      // The Pause button shows itself pressed while paused.
      assert.ok((await playState(page)).paused);
      assert.ok(await button('pause').evaluate((b) => b.classList.contains('pressed')));
      assert.equal(await button('pause').getAttribute('aria-pressed'), 'true');

      await button('pause').click();  // resume
      await eventually(async () => !(await button('pause').evaluate((b) => b.classList.contains('pressed'))), 5000,
        'Pause released on resume');
      await button('stop').click();
      await eventually(async () => {
        const s = await playState(page);
        return !s.pause && !s.stop;
      }, 5000, 'Pause and Stop disabled after Stop');
      assert.ok((await playState(page)).play);

      // A replay that ends by itself disables Pause and Stop too.
      fs.rmSync(app.capture, { force: true });
      await makeWav(path.join(app.appDir, 'html/tone.wav'), 0.5);
      await button('play').click();
      await eventually(async () => {
        const s = await playState(page);
        return s.play && !s.pause && !s.stop && captured(app) > 0;
      }, 10000, 'replay ended by itself');
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });
});
