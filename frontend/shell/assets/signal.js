// The signal panel of the shell page: waveform, wideband spectrogram and
// pitch of the file the player has open, a replay cursor, selections that
// play, zoom and scroll on the time axis, the control-frame tracks of a
// parvox run over the spectrogram, and a second file pinned for comparison.
// It talks to the program over /~shell/signal and /~shell/panel and hears of
// replay through events that shell.js passes on ("taloria:replay",
// "taloria:link").
'use strict';

const Signal = (() => {
  const WAVE_SHARE = 0.2;   // the waveform strip's share of a track's height
  const PITCH_SHARE = 0.18; // the pitch strip's share
  const AXIS_PX = 18;       // height of the time axis
  const LEFT_PX = 44;       // width of the frequency axis
  const PITCH_TOP_HZ = 500; // top of the pitch strip
  const RANGE_DB = 70;      // levels shown below the loudest of the view
  const FRAME_S = 0.01;     // control frames are 10 ms apart
  // Columns of a control-frame line, and the colours of the drawn tracks.
  const CONTROL_TRACKS = [
    { column: 1, name: 'F1', colour: '#e0452b' },
    { column: 3, name: 'F2', colour: '#2b8ae0' },
    { column: 5, name: 'F3', colour: '#25a244' },
    { column: 9, name: 'FN', colour: '#b040c0' },
  ];
  const CONTROL_NAMES = ['F0', 'F1', 'A1', 'F2', 'A2', 'F3', 'A3', '-', 'AH', 'FN', 'AN', 'AV'];

  const $ = (id) => document.getElementById(id);
  const panel = $('signal');
  const tracksBox = $('signal-tracks');
  const title = $('signal-title');
  const scroll = $('signal-scroll');
  const tip = $('signal-tip');

  const state = { shown: false, height: 340, controlTracks: true };
  const range = { from: 0, to: 0, duration: 0 };
  const replay = { file: '', playing: false, paused: false, start: 0, startedAt: 0, pausedAt: 0, stopAt: null };
  let selection = null; // {track, from, to}
  let pinned = null;    // a track kept for comparison
  let current = null;   // the track of the player's file
  let fetchTimer = 0;

  // ---- Settings kept by the program -----------------------------------------

  async function loadState() {
    try {
      const response = await fetch('/~shell/panel');
      if (response.ok) Object.assign(state, await response.json());
    } catch (e) { /* the defaults stay */ }
    applyState();
  }

  function saveState(change) {
    Object.assign(state, change);
    fetch('/~shell/panel', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(change),
    }).catch((e) => console.warn(e));
  }

  function applyState() {
    panel.hidden = !state.shown;
    panel.style.height = `${state.height}px`;
    $('signal-controls').checked = state.controlTracks;
    for (const item of document.querySelectorAll('[data-command="toggleSignal"]')) {
      item.classList.toggle('checked', state.shown);
      item.setAttribute('aria-pressed', String(state.shown));
    }
    redraw();
  }

  function toggle() {
    saveState({ shown: !state.shown });
    applyState();
    if (state.shown && current) requestAll();
  }

  // ---- Tracks ---------------------------------------------------------------

  function makeTrack(path, name) {
    const box = document.createElement('div');
    box.className = 'signal-track';
    const canvas = document.createElement('canvas');
    const message = document.createElement('div');
    message.className = 'signal-message';
    box.append(canvas, message);
    const track = { path, name, box, canvas, message, data: null, error: '', controller: null, frames: null };
    attachPointer(track);
    return track;
  }

  function layoutTracks() {
    const list = [pinned, current].filter(Boolean);
    tracksBox.replaceChildren(...list.map((t) => t.box));
    for (const t of list) t.box.classList.toggle('pinned', t === pinned);
    title.textContent = list.map((t) => t.path.split('/').pop()).join('  /  ') || 'No file';
  }

  // Shows the player's file; the same file again is asked for anew when a
  // replay starts, since a run may have written it again (the program's
  // cache answers at once when it has not changed).
  function showFile(path, replayStarted) {
    if (current && current.path === path) {
      if (replayStarted) { request(current); findControlFrames(current); }
      return;
    }
    current = makeTrack(path, 'main');
    selection = null;
    if (!pinned) { range.from = 0; range.to = 0; range.duration = 0; }
    layoutTracks();
    findControlFrames(current);
    requestAll();
  }

  function requestAll() {
    for (const t of [pinned, current]) if (t) request(t);
  }

  // Asks for the view of one track at the panel's width and height; a newer
  // request of the same track aborts the older one (the program abandons it).
  function request(track) {
    if (!state.shown) return;
    const size = plotSize(track);
    if (size.width <= 0) return;
    if (track.controller) track.controller.abort();
    track.controller = new AbortController();
    const params = new URLSearchParams({
      path: track.path,
      from: String(range.from),
      to: String(range.to > range.from ? range.to : -1),
      columns: String(Math.max(1, Math.min(8192, Math.round(size.width * devicePixelRatio)))),
      rows: String(Math.max(1, Math.min(1024, Math.round(size.spectrogram * devicePixelRatio)))),
      panel: track === pinned ? 'pinned' : 'main',
    });
    fetch(`/~shell/signal?${params}`, { signal: track.controller.signal })
      .then(async (response) => {
        const body = await response.json();
        if (response.status === 409) return;
        if (!response.ok) throw new Error(body.error || `Cannot show '${track.path.split('/').pop()}'`);
        track.data = body;
        track.error = '';
        if (!range.duration || body.duration > range.duration) range.duration = body.duration;
        if (range.to <= range.from) { range.from = 0; range.to = range.duration; }
        updateScroll();
        draw(track);
      })
      .catch((e) => {
        if (e.name === 'AbortError') return;
        track.data = null;
        track.error = e.message.startsWith('Cannot show') ? e.message : `Cannot show '${track.path.split('/').pop()}': ${e.message}`;
        draw(track);
      });
  }

  function scheduleRequests() {
    clearTimeout(fetchTimer);
    fetchTimer = setTimeout(requestAll, 60);
  }

  // ---- Drawing --------------------------------------------------------------

  // The plot's width and the heights of its strips, top to bottom.
  function plotSize(track) {
    const width = track.box.clientWidth - LEFT_PX;
    const height = track.box.clientHeight;
    const wave = Math.max(20, Math.round(height * WAVE_SHARE));
    const pitch = Math.max(18, Math.round(height * PITCH_SHARE));
    return { width, height, wave, pitch, spectrogram: Math.max(20, height - wave - pitch - AXIS_PX) };
  }

  const timeToX = (t, width) => LEFT_PX + ((t - range.from) / (range.to - range.from)) * width;
  const xToTime = (x, width) => range.from + ((x - LEFT_PX) / width) * (range.to - range.from);

  function redraw() { for (const t of [pinned, current]) if (t) draw(t); }

  function draw(track) {
    const size = plotSize(track);
    const { width, height, spectrogram } = size;
    const canvas = track.canvas;
    const ratio = devicePixelRatio;
    canvas.width = Math.max(1, Math.round((width + LEFT_PX) * ratio));
    canvas.height = Math.max(1, Math.round(height * ratio));
    canvas.style.width = `${width + LEFT_PX}px`;
    canvas.style.height = `${height}px`;
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.fillStyle = '#fff';
    g.fillRect(0, 0, width + LEFT_PX, height);
    track.message.textContent = track.error;
    track.message.hidden = !track.error;
    track.box.dataset.state = track.error ? 'error' : track.data ? 'ready' : 'loading';
    const d = track.data;
    if (!d || track.error || range.to <= range.from) return;
    // The data may cover another stretch than the one now asked for (a zoom
    // in flight): it is placed by its own times.
    const x0 = timeToX(d.from, width);
    const x1 = timeToX(d.to, width);
    const top = { wave: 0, spectrogram: size.wave, pitch: size.wave + spectrogram, axis: size.wave + spectrogram + size.pitch,
      waveHeight: size.wave, pitchHeight: size.pitch };
    g.save();
    g.beginPath();
    g.rect(LEFT_PX, 0, width, height);
    g.clip();
    drawWave(g, d, x0, x1, top.wave, top.waveHeight);
    drawSpectrogram(g, d, x0, x1, top.spectrogram, spectrogram);
    drawPitch(g, d, width, top.pitch, top.pitchHeight);
    if (track.frames && state.controlTracks) drawControlTracks(g, track.frames, width, top, spectrogram, d.rate / 2);
    drawSelection(g, track, width, height - AXIS_PX);
    g.restore();
    drawAxes(g, d, width, top, spectrogram);
    drawCursor(track);
  }

  function drawWave(g, d, x0, x1, y, height) {
    const mid = y + height / 2;
    const scale = height / 2 / 32767;
    const step = (x1 - x0) / d.columns;
    g.fillStyle = '#f7f8fa';
    g.fillRect(x0, y, x1 - x0, height);
    g.strokeStyle = '#27415e';
    g.lineWidth = Math.max(1, step);
    g.beginPath();
    for (let c = 0; c < d.columns; c++) {
      const x = x0 + (c + 0.5) * step;
      g.moveTo(x, mid - d.waveMax[c] * scale);
      g.lineTo(x, mid - d.waveMin[c] * scale + 0.5);
    }
    g.stroke();
  }

  function drawSpectrogram(g, d, x0, x1, y, height) {
    const bytes = Uint8Array.from(atob(d.spectrogram), (ch) => ch.charCodeAt(0));
    let loudest = 0;
    for (const b of bytes) if (b > loudest) loudest = b;
    const toDb = (b) => d.floorDb + (b * -d.floorDb) / 255;
    const topDb = toDb(loudest);
    const image = new ImageData(d.columns, d.rows);
    for (let c = 0; c < d.columns; c++) {
      for (let r = 0; r < d.rows; r++) {
        const level = Math.min(1, Math.max(0, (toDb(bytes[c * d.rows + r]) - (topDb - RANGE_DB)) / RANGE_DB));
        const grey = Math.round(255 * (1 - level));
        const i = ((d.rows - 1 - r) * d.columns + c) * 4;
        image.data[i] = image.data[i + 1] = image.data[i + 2] = grey;
        image.data[i + 3] = 255;
      }
    }
    const bitmap = document.createElement('canvas');
    bitmap.width = d.columns;
    bitmap.height = d.rows;
    bitmap.getContext('2d').putImageData(image, 0, 0);
    g.imageSmoothingEnabled = true;
    g.drawImage(bitmap, x0, y, x1 - x0, height);
  }

  function drawPitch(g, d, width, y, height) {
    g.fillStyle = '#fbfbf4';
    g.fillRect(LEFT_PX, y, width, height);
    const hzToY = (hz) => y + height - (Math.min(hz, PITCH_TOP_HZ) / PITCH_TOP_HZ) * height;
    g.strokeStyle = '#1565c0';
    g.lineWidth = 2;
    g.beginPath();
    let drawing = false;
    d.pitch.hz.forEach((hz, k) => {
      // Unvoiced frames have no track: the line breaks there.
      if (!(hz > 0)) { drawing = false; return; }
      const x = timeToX(d.pitch.start + k * d.pitch.step, width);
      if (drawing) g.lineTo(x, hzToY(hz)); else g.moveTo(x, hzToY(hz));
      drawing = true;
    });
    g.stroke();
  }

  function drawControlTracks(g, frames, width, top, spectrogram, nyquist) {
    const freqToY = (hz) => top.spectrogram + spectrogram - (Math.min(hz, nyquist) / nyquist) * spectrogram;
    const hzToY = (hz) => top.pitch + top.pitchHeight - (Math.min(hz, PITCH_TOP_HZ) / PITCH_TOP_HZ) * top.pitchHeight;
    const frameX = (k) => timeToX((k + 0.5) * FRAME_S, width);
    // Voicing as a band at the foot of the pitch strip.
    g.fillStyle = 'rgba(255, 152, 0, 0.35)';
    frames.forEach((f, k) => {
      const h = (f.values[11] / 255) * 6;
      if (h > 0) g.fillRect(frameX(k) - 0.5 * (frameX(1) - frameX(0)), top.pitch + top.pitchHeight - h, frameX(1) - frameX(0) + 0.5, h);
    });
    const line = (colour, dash, yOf, voicedOnly) => {
      g.strokeStyle = colour;
      g.setLineDash(dash);
      g.lineWidth = 2;
      g.beginPath();
      let drawing = false;
      frames.forEach((f, k) => {
        const value = yOf(f);
        if (value === null || (voicedOnly && !(f.values[0] > 0))) { drawing = false; return; }
        if (drawing) g.lineTo(frameX(k), value); else g.moveTo(frameX(k), value);
        drawing = true;
      });
      g.stroke();
      g.setLineDash([]);
    };
    for (const t of CONTROL_TRACKS) line(t.colour, [], (f) => freqToY(f.values[t.column]), false);
    line('#ff9800', [5, 3], (f) => (f.values[0] > 0 ? hzToY(f.values[0]) : null), true);
  }

  function drawSelection(g, track, width, height) {
    if (!selection || selection.track !== track) return;
    const a = timeToX(Math.min(selection.from, selection.to), width);
    const b = timeToX(Math.max(selection.from, selection.to), width);
    g.fillStyle = 'rgba(47, 111, 168, 0.22)';
    g.fillRect(a, 0, Math.max(1, b - a), height);
    g.fillStyle = '#2f6fa8';
    g.fillRect(a, 0, 1, height);
  }

  function drawAxes(g, d, width, top, spectrogram) {
    g.fillStyle = '#f3f4f6';
    g.fillRect(0, 0, LEFT_PX, top.axis + AXIS_PX);
    g.fillRect(LEFT_PX, top.axis, width, AXIS_PX);
    g.fillStyle = '#39424e';
    g.strokeStyle = '#8a929c';
    g.lineWidth = 1;
    g.font = '10px system-ui, sans-serif';
    g.textAlign = 'right';
    g.textBaseline = 'middle';
    // Frequency axis in kHz, 0 to the Nyquist frequency.
    const nyquistKhz = d.rate / 2000;
    const stepKhz = niceStep(nyquistKhz / Math.max(2, spectrogram / 28));
    for (let k = 0; k <= nyquistKhz + 1e-9; k += stepKhz) {
      const y = top.spectrogram + spectrogram - (k / nyquistKhz) * spectrogram;
      g.fillText(`${+k.toFixed(2)}`, LEFT_PX - 6, Math.min(Math.max(y, top.spectrogram + 5), top.pitch - 5));
      g.beginPath(); g.moveTo(LEFT_PX - 4, y); g.lineTo(LEFT_PX, y); g.stroke();
    }
    g.save();
    g.translate(9, top.spectrogram + spectrogram / 2);
    g.rotate(-Math.PI / 2);
    g.textAlign = 'center';
    g.fillText('kHz', 0, 0);
    g.restore();
    g.fillText(`${PITCH_TOP_HZ} Hz`, LEFT_PX - 3, top.pitch + 6);
    g.fillText('F0', LEFT_PX - 6, top.pitch + top.pitchHeight / 2 + 4);
    // Time axis in seconds.
    g.textAlign = 'center';
    const span = range.to - range.from;
    const stepS = niceStep(span / Math.max(2, width / 80));
    for (let t = Math.ceil(range.from / stepS) * stepS; t <= range.to + 1e-9; t += stepS) {
      const x = timeToX(t, width);
      g.beginPath(); g.moveTo(x, top.axis); g.lineTo(x, top.axis + 4); g.stroke();
      g.fillText(`${+t.toFixed(3)} s`, Math.min(Math.max(x, LEFT_PX + 16), LEFT_PX + width - 16), top.axis + 11);
    }
  }

  function niceStep(raw) {
    const power = 10 ** Math.floor(Math.log10(raw));
    for (const m of [1, 2, 5, 10]) if (raw <= m * power) return m * power;
    return 10 * power;
  }

  // ---- Replay cursor --------------------------------------------------------

  function replayTime() {
    if (!replay.playing && !replay.paused) return null;
    if (replay.paused) return replay.pausedAt;
    return replay.start + (performance.now() - replay.startedAt) / 1000;
  }

  function drawCursor(track) {
    let cursor = track.box.querySelector('.signal-cursor');
    const t = replayTime();
    const shown = track.data && t !== null && track.path === replay.file && t >= range.from && t <= range.to;
    if (!shown) { if (cursor) cursor.hidden = true; return; }
    if (!cursor) {
      cursor = document.createElement('div');
      cursor.className = 'signal-cursor';
      track.box.append(cursor);
    }
    cursor.hidden = false;
    cursor.style.left = `${timeToX(t, plotSize(track).width)}px`;
    cursor.dataset.time = t.toFixed(3);
  }

  function tick() {
    const t = replayTime();
    // A played selection stops at its end.
    if (replay.playing && replay.stopAt !== null && t !== null && t >= replay.stopAt) {
      replay.stopAt = null;
      post('/~shell/command', { command: 'stop' }).catch((e) => console.warn(e));
    }
    for (const track of [pinned, current]) if (track) drawCursor(track);
    requestAnimationFrame(tick);
  }

  function startCursor(start) {
    replay.start = start;
    replay.startedAt = performance.now();
  }

  function onReplay(data) {
    const wasPlaying = replay.playing;
    const wasPaused = replay.paused;
    if (data.paused && !wasPaused) replay.pausedAt = replayTime() ?? replay.start;
    if (data.playing && wasPaused) startCursor(replay.pausedAt);
    else if (data.playing && !wasPlaying) replay.startedAt = performance.now();
    if (!data.playing && !data.paused) replay.stopAt = null;
    Object.assign(replay, { file: data.file, playing: data.playing, paused: data.paused });
    if (data.file) showFile(data.file, data.playing && !wasPlaying && !wasPaused);
  }

  // A link of the pages or Play asked for replay from a start time.
  function onLink(detail) {
    if (!detail.cancel) return;
    const hash = detail.url.lastIndexOf('#');
    const start = hash >= 0 ? parseFloat(detail.url.slice(hash + 1)) || 0 : 0;
    replay.stopAt = detail.stopAt ?? null;
    startCursor(Math.max(0, start));
  }

  // ---- Selection, zoom and scrolling ----------------------------------------

  function attachPointer(track) {
    const canvas = track.canvas;
    let dragging = false;
    const timeAt = (event) => {
      const box = canvas.getBoundingClientRect();
      const t = xToTime(event.clientX - box.left, plotSize(track).width);
      return Math.min(Math.max(t, range.from), range.to);
    };
    canvas.addEventListener('mousedown', (event) => {
      if (event.button !== 0 || !track.data) return;
      dragging = true;
      selection = { track, from: timeAt(event), to: timeAt(event) };
      showSelection();
    });
    window.addEventListener('mousemove', (event) => {
      if (!dragging) return;
      selection.to = timeAt(event);
      showSelection();
    });
    window.addEventListener('mouseup', () => { dragging = false; });
    canvas.addEventListener('mousemove', (event) => hover(track, event));
    canvas.addEventListener('mouseleave', () => { tip.hidden = true; });
    canvas.addEventListener('wheel', (event) => wheel(track, event), { passive: false });
  }

  function showSelection() {
    const start = Math.min(selection.from, selection.to);
    const length = Math.abs(selection.to - selection.from);
    setStatus(`Selection: start ${start.toFixed(3)} s, length ${length.toFixed(3)} s`);
    $('signal-play').disabled = false;
    redraw();
  }

  function playSelection() {
    if (!selection) return;
    const start = Math.min(selection.from, selection.to);
    const end = Math.max(selection.from, selection.to);
    const url = `${selection.track.path}#${start.toFixed(3)}`;
    post('/~shell/link', { url })
      .then((answer) => onLink({ url, cancel: answer && answer.cancel, stopAt: end > start ? end : null }))
      .catch((e) => console.warn(e));
  }

  function zoom(factor, centre) {
    if (!range.duration) return;
    const span = Math.min(range.duration, Math.max(0.01, (range.to - range.from) * factor));
    const at = centre ?? (range.from + range.to) / 2;
    const share = (at - range.from) / (range.to - range.from || 1);
    range.from = Math.min(Math.max(0, at - share * span), range.duration - span);
    range.to = range.from + span;
    updateScroll();
    redraw();
    scheduleRequests();
  }

  function wheel(track, event) {
    if (!range.duration) return;
    event.preventDefault();
    if (event.ctrlKey) {
      const box = track.canvas.getBoundingClientRect();
      zoom(event.deltaY > 0 ? 1.25 : 0.8, xToTime(event.clientX - box.left, plotSize(track).width));
      return;
    }
    const span = range.to - range.from;
    moveTo(range.from + (Math.sign(event.deltaY || event.deltaX) * span) / 8);
  }

  function moveTo(from) {
    const span = range.to - range.from;
    range.from = Math.min(Math.max(0, from), Math.max(0, range.duration - span));
    range.to = range.from + span;
    updateScroll();
    redraw();
    scheduleRequests();
  }

  function updateScroll() {
    const span = range.to - range.from;
    scroll.hidden = !(range.duration && span < range.duration - 1e-6);
    scroll.max = String(Math.max(0, range.duration - span));
    scroll.step = String(span / 100 || 0.001);
    scroll.value = String(range.from);
  }

  // ---- Control frames of the run --------------------------------------------

  // A text output in the control-frame format: decimal numbers, twelve a
  // line, "*" comment lines between them. Anything else gives null.
  function parseControlFrames(text) {
    const frames = [];
    let comment = '';
    for (const raw of text.split(/\r?\n/)) {
      const line = raw.trim();
      if (line === '') continue;
      if (line.startsWith('*')) { comment = line.slice(1).trim(); continue; }
      const fields = line.split(/\s+/);
      if (fields.length !== 12 || !fields.every((f) => /^[-+]?\d+(\.\d+)?$/.test(f))) return null;
      frames.push({ values: fields.map(Number), comment });
    }
    return frames.length ? frames : null;
  }

  // The last text output of the run that holds control frames is offered
  // for the overlay.
  async function findControlFrames(track) {
    track.frames = null;
    updateControlToggle();
    let files = [];
    try {
      const response = await fetch('/~shell/outputs');
      const outputs = response.ok ? await response.json() : { text: [], audio: [] };
      // Only audio that the run made has the run's control frames.
      if (outputs.audio.includes(track.path)) files = outputs.text;
    } catch (e) { files = []; }
    for (const file of files.reverse()) {
      if (track !== current && track !== pinned) return;
      try {
        const response = await fetch(urlForPath(file));
        if (!response.ok) continue;
        const frames = parseControlFrames(await response.text());
        if (frames) {
          track.frames = frames;
          updateControlToggle();
          draw(track);
          return;
        }
      } catch (e) { /* not readable: not offered */ }
    }
  }

  function updateControlToggle() {
    $('signal-controls').disabled = ![pinned, current].some((t) => t && t.frames);
  }

  function hover(track, event) {
    if (!track.frames || !state.controlTracks || !track.data) { tip.hidden = true; return; }
    const box = track.canvas.getBoundingClientRect();
    const t = xToTime(event.clientX - box.left, plotSize(track).width);
    const frame = track.frames[Math.floor(t / FRAME_S)];
    if (!frame) { tip.hidden = true; return; }
    tip.textContent = `${frame.comment ? `* ${frame.comment}\n` : ''}${frame.values.map((v, i) => `${CONTROL_NAMES[i]} ${v}`).join('  ')}`;
    tip.hidden = false;
    const own = panel.getBoundingClientRect();
    tip.style.left = `${Math.min(event.clientX - own.left + 12, own.width - 260)}px`;
    tip.style.top = `${event.clientY - own.top + 12}px`;
  }

  // ---- Compare ---------------------------------------------------------------

  function compare() {
    const button = $('signal-compare');
    if (pinned) { pinned = null; button.classList.remove('checked'); }
    else if (current) {
      pinned = current;
      current = null;
      button.classList.add('checked');
    }
    layoutTracks();
    updateControlToggle();
    requestAll();
  }

  // ---- Start ----------------------------------------------------------------

  function resizeHandle() {
    const handle = $('signal-resize');
    handle.addEventListener('mousedown', (event) => {
      event.preventDefault();
      const startY = event.clientY;
      const startHeight = panel.offsetHeight;
      const move = (e) => { panel.style.height = `${Math.max(120, startHeight - (e.clientY - startY))}px`; redraw(); };
      const up = () => {
        window.removeEventListener('mousemove', move);
        window.removeEventListener('mouseup', up);
        saveState({ height: panel.offsetHeight });
        requestAll();
      };
      window.addEventListener('mousemove', move);
      window.addEventListener('mouseup', up);
    });
  }

  function start() {
    COMMANDS.toggleSignal = ['Show or hide the signal panel', 'Signal'];
    const bar = $('toolbar');
    const sep = document.createElement('span');
    sep.className = 'sep';
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.command = 'toggleSignal';
    button.title = 'Signal';
    button.setAttribute('aria-label', 'Signal');
    button.innerHTML = '<svg viewBox="0 0 24 24" aria-hidden="true"><path d="M2 12h3l2-6 3 12 3-9 2 6 2-3h5"/></svg>';
    bar.append(sep, button);
    // The command belongs to the page: it is taken before shell.js would
    // send it to the program.
    document.addEventListener('click', (event) => {
      const item = event.target.closest('[data-command="toggleSignal"]');
      if (!item) return;
      event.stopPropagation();
      closeMenus();
      toggle();
    }, true);
    document.addEventListener('click', (event) => {
      if (event.target.closest('[data-command="play"]:not(:disabled)')) startCursor(0);
    }, true);
    $('signal-zoom-in').addEventListener('click', () => zoom(0.5));
    $('signal-zoom-out').addEventListener('click', () => zoom(2));
    $('signal-whole').addEventListener('click', () => { range.from = 0; range.to = range.duration; updateScroll(); redraw(); scheduleRequests(); });
    $('signal-play').addEventListener('click', playSelection);
    $('signal-compare').addEventListener('click', compare);
    $('signal-controls').addEventListener('change', (e) => { saveState({ controlTracks: e.target.checked }); redraw(); });
    scroll.addEventListener('input', () => moveTo(parseFloat(scroll.value)));
    window.addEventListener('taloria:replay', (e) => onReplay(e.detail));
    window.addEventListener('taloria:link', (e) => onLink(e.detail));
    window.addEventListener('resize', () => { redraw(); scheduleRequests(); });
    resizeHandle();
    loadState();
    requestAnimationFrame(tick);
  }

  return { start, parseControlFrames };
})();

Signal.start();
