// The signal panel: shown after Play with a cursor that follows replay, a
// selection that plays from its start, a file that cannot be shown, a file
// pinned for comparison, and the control tracks of a parvox run over the
// spectrogram; its state kept in the settings file.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  eventually, fileNew, frameShowing, launchBrowser, makeWav, menuCommand, openShell, screenshot, startTaloria,
} from '../lib/harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const TONE_CONFIG = '?Plays the test tone.\n$OUTPUT $ARG(html/tone.wav)\n';
// Stage 3 that runs parvox on the control frames typed on the input page.
const PARVOX_CONFIG = '?parvox on typed control frames.\n'
  + 'parvox -o html/frames.wav $ARG(html/frames.wav)\n$OUTPUT $ARG(html/frames.wav)\n';
const LINKS_PAGE = `<!DOCTYPE html><html><body>
<p><a id="tone" href="tone.wav">tone</a> <a id="other" href="other.wav">other</a> <a id="bad" href="bad.wav">bad</a></p>
</body></html>`;

const track = (page, n = 0) => page.locator('.signal-track').nth(n);
const cursorTime = (page) => page.evaluate(() => {
  const cursor = document.querySelector('.signal-cursor');
  return cursor && !cursor.hidden ? Number(cursor.dataset.time) : null;
});

// Runs stage 1 "Typed text" with `text`, stage 2 "No processing" and the
// stage-3 configuration labelled `stage3`.
async function run(page, stage3, text = 'x') {
  const left = await fileNew(page);
  await left.fill('textarea[name=input]', text);
  await left.selectOption('select[name=config2]', { label: 'No processing' });
  await left.selectOption('select[name=config3]', { label: stage3 });
  await left.click('input[name=run]');
  await frameShowing(page, 'LEFT', '/html/system.htm');
  await eventually(async () => !(await page.locator('#toolbar [data-command=play]').isDisabled()), 20000, 'Play enabled');
}

describe('signal panel', () => {
  test('shows the file after Play, with a cursor that follows replay, and keeps its state', async () => {
    const app = await startTaloria({ configs: { '3Tone.txt': TONE_CONFIG }, env: { TALORIA_WAVEOUT_SPEED: '1' } });
    try {
      makeWav(path.join(app.appDir, 'html/tone.wav'), 8, 16000);
      const page = await openShell(browser, app);
      assert.ok(await page.locator('#signal').isHidden(), 'hidden until asked for');
      await menuCommand(page, 'View', 'toggleSignal');
      await page.locator('#signal').waitFor({ state: 'visible' });
      await run(page, 'Tone');
      await page.click('#toolbar [data-command=play]');
      await track(page).locator('canvas').waitFor();
      await eventually(async () => (await track(page).getAttribute('data-state')) === 'ready', 15000, 'the view drawn');
      assert.match(await page.locator('#signal-title').textContent(), /tone\.wav/);

      // The cursor moves while the file plays, holds while paused, goes with Stop.
      await eventually(async () => (await cursorTime(page)) !== null, 5000, 'the cursor');
      const first = await cursorTime(page);
      await new Promise((r) => setTimeout(r, 600));
      const second = await cursorTime(page);
      assert.ok(second > first + 0.3, `the cursor moved from ${first} to ${second}`);
      await screenshot(page, 'signal-playing');
      await page.click('#toolbar [data-command=pause]');
      await eventually(async () => (await page.evaluate(() => JSON.parse(document.body.dataset.commands).stop)), 5000, 'paused');
      await new Promise((r) => setTimeout(r, 300));
      const held = await cursorTime(page);
      await new Promise((r) => setTimeout(r, 500));
      assert.equal(await cursorTime(page), held, 'the cursor holds while paused');
      await page.click('#toolbar [data-command=stop]');
      await eventually(async () => (await cursorTime(page)) === null, 5000, 'the cursor gone after Stop');

      // Zooming asks for the shown stretch only.
      await page.click('#signal-zoom-in');
      await eventually(async () => page.locator('#signal-scroll').isVisible(), 5000, 'the scroll bar when zoomed');
      await page.context().close();
      await app.stop();
      const settings = fs.readFileSync(app.settingsFile, 'utf8');
      assert.match(settings, /\[Signal\][^[]*Shown=1/);
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });

  test('a selection plays from its start; a file that cannot be read shows why; Compare pins a file', async () => {
    // The template beside it makes links.htm one of the app's own pages, which the shell hooks.
    const app = await startTaloria({
      files: { 'html/links.htm': LINKS_PAGE, 'html/links.htt': '%1\n', 'html/bad.wav': 'not samples at all' },
    });
    try {
      const tone = makeWav(path.join(app.appDir, 'html/tone.wav'), 4, 11000);
      makeWav(path.join(app.appDir, 'html/other.wav'), 2, 11000);
      const page = await openShell(browser, app);
      await menuCommand(page, 'View', 'toggleSignal');
      await fileNew(page);
      const right = page.frame({ name: 'RIGHT' });
      await right.goto(new URL(path.join(app.appDir, 'html/links.htm'), app.origin).href);
      const links = await frameShowing(page, 'RIGHT', '/html/links.htm');
      await links.click('#tone');
      await eventually(async () => (await track(page).getAttribute('data-state')) === 'ready', 15000, 'the view drawn');
      await eventually(() => fs.existsSync(app.capture) && fs.statSync(app.capture).size === tone.dataBytes, 10000, 'the whole file played');
      fs.rmSync(app.capture);

      // Drag over the middle of the panel: the status pane tells the selection.
      const box = await track(page).locator('canvas').boundingBox();
      const plotLeft = box.x + 44;
      const plotWidth = box.width - 44;
      await page.mouse.move(plotLeft + plotWidth * 0.25, box.y + 100);
      await page.mouse.down();
      await page.mouse.move(plotLeft + plotWidth * 0.5, box.y + 100, { steps: 5 });
      await page.mouse.up();
      const status = await page.locator('#status-message').textContent();
      const match = /Selection: start ([\d.]+) s, length ([\d.]+) s/.exec(status);
      assert.ok(match, status);
      const start = Number(match[1]);
      assert.ok(Math.abs(start - 1.0) < 0.1, `start ${start}`);
      assert.ok(Math.abs(Number(match[2]) - 1.0) < 0.1, `length ${match[2]}`);
      await screenshot(page, 'signal-selection');
      await page.click('#signal-play');
      // Replay completes at once (speed 0): the capture holds the PCM from the start on.
      const expected = tone.dataBytes - Math.round(start * 11000) * 2;
      await eventually(() => fs.existsSync(app.capture) && Math.abs(fs.statSync(app.capture).size - expected) <= 4, 10000,
        `captured audio from ${start} s`);

      // Compare pins this file; the next one opens beneath it.
      await page.click('#signal-compare');
      await links.click('#other');
      await eventually(async () => (await page.locator('.signal-track').count()) === 2, 10000, 'two tracks');
      await eventually(async () => (await track(page, 1).getAttribute('data-state')) === 'ready', 15000, 'the second view');
      assert.match(await page.locator('#signal-title').textContent(), /tone\.wav.*other\.wav/);
      await screenshot(page, 'signal-compare');

      // A file the player cannot read: the player's message, then one line in the panel.
      await page.click('#signal-compare');
      await links.click('#bad');
      const message = page.locator('dialog[data-kind=messageBox]');
      await message.waitFor({ timeout: 10000 }).then(() => message.locator('button').click()).catch(() => {});
      await eventually(async () => (await track(page).getAttribute('data-state')) === 'error', 10000, 'the error line');
      assert.match(await track(page).locator('.signal-message').textContent(), /^Cannot show 'bad\.wav': /);
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });

  test('the control tracks of a parvox run lie over its spectrogram', async () => {
    const app = await startTaloria({ configs: { '3Parvox_frames.txt': PARVOX_CONFIG, '3Tone.txt': TONE_CONFIG } });
    try {
      makeWav(path.join(app.appDir, 'html/tone.wav'), 1, 11000);
      const frames = fs.readFileSync(path.join(app.appDir, 'config/demo.ctl'), 'utf8');
      const page = await openShell(browser, app);
      await menuCommand(page, 'View', 'toggleSignal');
      await run(page, 'Parvox frames', frames);
      await page.click('#toolbar [data-command=play]');
      await eventually(async () => (await track(page).getAttribute('data-state')) === 'ready', 15000, 'the view drawn');
      await eventually(async () => !(await page.locator('#signal-controls').isDisabled()), 10000, 'Control tracks offered');
      assert.ok(await page.locator('#signal-controls').isChecked());
      // Hovering a frame of the glide shows its twelve values and its comment.
      const box = await track(page).locator('canvas').boundingBox();
      await page.mouse.move(box.x + 44 + (box.width - 44) * 0.2, box.y + 120);
      const tip = page.locator('#signal-tip');
      await tip.waitFor({ state: 'visible', timeout: 5000 });
      assert.match(await tip.textContent(), /F0 \d+ {2}F1 \d+ {2}A1 \d+/);
      assert.match(await tip.textContent(), /^\* /);
      await screenshot(page, 'signal-control-tracks');

      // A text output that is not in the control-frame format is not offered.
      await run(page, 'Tone', 'hello world');
      await page.click('#toolbar [data-command=play]');
      await eventually(async () => (await page.locator('#signal-title').textContent()).includes('tone.wav'), 10000, 'the tone shown');
      assert.ok(await page.locator('#signal-controls').isDisabled());
      await page.context().close();
    } finally {
      await app.stop().catch(() => {});
      app.cleanup();
    }
  });
});
