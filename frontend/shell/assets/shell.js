// The shell page's script: builds the toolbar, follows the program's event
// stream, shows its dialogs, and hooks the view's frames so that form posts and
// audio links reach the program.
'use strict';

// Command strings: the status-bar prompt and the tooltip of every command.
const COMMANDS = {
  new: ['Create a new synthesis', 'New'],
  open: ['Open an existing synthesis', 'Open'],
  save: ['Save the active synthesis', 'Save'],
  saveAs: ['Save the active synthesis with a new name', 'Save As'],
  print: ['Print the active document', 'Print'],
  printSetup: ['Change the printer and printing options', 'Print Setup'],
  recent: ['Open this document', ''],
  exit: ['Quit the application; prompts to save documents', 'Exit'],
  restart: ['Restart Application', 'Restart'],
  back: ['Go to last page', 'Go Back'],
  forward: ['Go forward to later page', 'Go Forward'],
  toggleToolbar: ['Show or hide the toolbar', 'Toggle ToolBar'],
  toggleStatusBar: ['Show or hide the status bar', 'Toggle StatusBar'],
  configuration: ['View Configuration Options', 'Configuration'],
  reloadConfigurations: ['Scan the configuration folders again and show the input page', 'Reload Configurations'],
  help: ['Display Help', 'Help'],
  website: ['Display Taloria Project Web Site', 'Web Site'],
  about: ['Display program information, version number and copyright', 'About'],
  play: ['Play signal', 'Play'],
  pause: ['Pause signal', 'Pause'],
  stop: ['Stop signal', 'Stop'],
};

// Toolbar entries in order; null is a separator.
const TOOLBAR = ['new', 'open', 'save', null, 'print', null, 'back', 'restart', 'forward', null, 'play', 'pause', 'stop'];

const ICONS = {
  new: '<path d="M6 3h8l4 4v14H6z"/><path d="M14 3v4h4"/>',
  open: '<path d="M3 7h6l2 2h9v10H3z"/><path d="M3 11h18"/>',
  save: '<path d="M5 4h11l3 3v13H5z"/><path d="M8 4v5h7V4M8 20v-6h8v6"/>',
  print: '<path d="M7 9V4h10v5"/><rect x="4" y="9" width="16" height="7" rx="1"/><path d="M7 14h10v6H7z"/>',
  back: '<path d="M19 12H5M11 6l-6 6 6 6"/>',
  restart: '<path d="M4 11l8-7 8 7"/><path d="M6 10v10h12V10"/>',
  forward: '<path d="M5 12h14M13 6l6 6-6 6"/>',
  play: '<path d="M7 5l12 7-12 7z" fill="currentColor"/>',
  pause: '<path d="M8 5v14M16 5v14" stroke-width="3.2"/>',
  stop: '<rect x="6" y="6" width="12" height="12" fill="currentColor"/>',
};

// Links with one of these endings are reported to the program before they are
// followed; the program itself decides exactly which ones it plays.
const AUDIO_ENDING = /\.(wav|mp3)$/i;

const $ = (id) => document.getElementById(id);
const view = $('view');
const statusMessage = $('status-message');
let hello = { title: 'Taloria 2', version: '', appDir: '' };
let ended = false;
const openModals = new Map();

// While a run goes on the status pane shows the running command.
function setStatus(text) { statusMessage.textContent = runInProgress() ? runStatusText() : text; }

// ---- Talking to the program -------------------------------------------------

async function post(path, body) {
  const response = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  if (!response.ok && response.status !== 204) throw new Error(`${path}: ${response.status}`);
  return response.status === 204 ? null : response.json();
}

function runCommand(name) {
  closeMenus();
  if (runInProgress()) return;
  switch (name) {
    case 'back': try { view.contentWindow.history.back(); } catch (e) { /* nothing to go back to */ } return;
    case 'forward': try { view.contentWindow.history.forward(); } catch (e) { /* nothing ahead */ } return;
    case 'print': case 'printSetup': try { view.contentWindow.focus(); view.contentWindow.print(); } catch (e) { /* not printable */ } return;
    case 'toggleToolbar': toggleBar('toolbar', name); return;
    case 'toggleStatusBar': toggleBar('statusbar', name); return;
    case 'website': window.open(webSiteAddress(), '_blank', 'noopener'); return;
    case 'recent': return;
    case 'save': case 'saveAs': case 'reloadConfigurations':
      post('/~shell/command', withInputPageFields(name)).catch((e) => console.warn(e));
      return;
    default:
      post('/~shell/command', { command: name }).catch((e) => console.warn(e));
  }
}

function toggleBar(id, command) {
  const bar = $(id);
  bar.hidden = !bar.hidden;
  bar.style.display = bar.hidden ? 'none' : '';
  document.querySelector(`[data-command="${command}"]`).classList.toggle('checked', !bar.hidden);
}

// ---- Menus, toolbar, status bar ---------------------------------------------

function buildToolbar() {
  const bar = $('toolbar');
  for (const name of TOOLBAR) {
    if (name === null) {
      const sep = document.createElement('span');
      sep.className = 'sep';
      bar.append(sep);
      continue;
    }
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.command = name;
    button.title = COMMANDS[name][1];
    button.setAttribute('aria-label', COMMANDS[name][1]);
    button.innerHTML = `<svg viewBox="0 0 24 24" aria-hidden="true">${ICONS[name]}</svg>`;
    if (name === 'play' || name === 'pause' || name === 'stop') button.disabled = true;
    bar.append(button);
  }
}

function closeMenus() {
  for (const menu of document.querySelectorAll('.menu.open')) menu.classList.remove('open');
}

function wireCommands() {
  document.addEventListener('click', (event) => {
    const title = event.target.closest('.menu-title');
    if (title) {
      const menu = title.parentElement;
      const wasOpen = menu.classList.contains('open');
      closeMenus();
      if (!wasOpen) menu.classList.add('open');
      return;
    }
    const item = event.target.closest('[data-command]');
    if (item && !item.disabled) { runCommand(item.dataset.command); return; }
    if (!event.target.closest('.menu')) closeMenus();
  });
  // Moving over another menu title while one is open opens that one instead.
  for (const title of document.querySelectorAll('.menu-title')) {
    title.addEventListener('mouseenter', () => {
      if (document.querySelector('.menu.open') && !title.parentElement.classList.contains('open')) {
        closeMenus();
        title.parentElement.classList.add('open');
      }
    });
  }
  // The status bar shows the prompt of the command under the pointer.
  document.addEventListener('mouseover', (event) => {
    const item = event.target.closest('[data-command]');
    const name = item && (item.dataset.command.startsWith('recent') ? 'recent' : item.dataset.command);
    setStatus(name && COMMANDS[name] ? COMMANDS[name][0] : 'Ready');
  });
  $('run-stop').addEventListener('click', () => {
    $('run-stop').disabled = true;
    $('run-text').textContent = 'Stopping...';
    post('/~shell/stop', {}).catch((e) => console.warn(e));
  });
}

// Keyboard accelerators, in the shell and in every frame of the view.
function onKey(event) {
  updateIndicators(event);
  if (event.key === 'Escape') closeMenus();
  // Alt and the underlined letter opens a menu. Alt+N is New, because web
  // browsers keep Ctrl+N (a new window) for themselves; Ctrl+N still works
  // where a browser lets the page have it.
  if (runShortcut(event)) return;
  if (event.altKey && !event.ctrlKey && !event.shiftKey && openModals.size === 0 && event.key.toLowerCase() === 'n') {
    event.preventDefault();
    runCommand('new');
    return;
  }
  if (event.altKey && !event.ctrlKey && openModals.size === 0) {
    const index = { f: 0, g: 1, v: 2, h: 3 }[event.key.toLowerCase()];
    if (index !== undefined) {
      event.preventDefault();
      closeMenus();
      const menu = document.querySelectorAll('.menu')[index];
      menu.classList.add('open');
      const first = menu.querySelector('.menu-items button:not(:disabled)');
      if (first) first.focus();
      return;
    }
  }
  if (!(event.ctrlKey && !event.altKey && !event.shiftKey)) return;
  const key = event.key.toLowerCase();
  const command = { n: 'new', o: 'open', s: 'save', p: 'print' }[key];
  if (!command) return;
  event.preventDefault();
  if (openModals.size === 0 && !runInProgress()) runCommand(command);
}

function updateIndicators(event) {
  if (!event.getModifierState) return;
  $('ind-cap').classList.toggle('on', event.getModifierState('CapsLock'));
  $('ind-num').classList.toggle('on', event.getModifierState('NumLock'));
  $('ind-scrl').classList.toggle('on', event.getModifierState('ScrollLock'));
}

// ---- The view and its frames ------------------------------------------------

function urlForPath(path) {
  return encodeURI(path).replace(/#/g, '%23').replace(/\?/g, '%3F');
}

// The frame with this name anywhere inside the view, or null. Names are read
// from the frame elements of the program's own pages: a frame that shows a
// data file (sandboxed, of an opaque origin) cannot be asked its name.
function findFrame(win, name) {
  let elements;
  try { elements = win.document.querySelectorAll('frame, iframe'); } catch (e) { return null; }
  for (const element of elements) {
    if (element.name === name && element.contentWindow) return element.contentWindow;
    const inner = element.contentWindow && findFrame(element.contentWindow, name);
    if (inner) return inner;
  }
  return null;
}

// Frame navigations that arrive while the whole view is still loading its
// page wait for it: the named frames exist only once the frameset has loaded.
let viewLoading = false;
let pendingFrames = [];

function navigate(path, frame) {
  const url = urlForPath(path);
  if (frame && viewLoading) { pendingFrames.push([path, frame]); return; }
  if (frame) {
    const target = findFrame(view.contentWindow, frame);
    // Without such a frame on the page shown, the page goes to the whole view.
    if (target) { target.location.href = url; return; }
  }
  viewLoading = true;
  pendingFrames = [];
  view.src = url;
}

function viewLoaded() {
  hookDocument(view.contentWindow);
  if (!viewLoading) return;
  viewLoading = false;
  const waiting = pendingFrames;
  pendingFrames = [];
  for (const [path, frame] of waiting) navigate(path, frame);
}

// The target of a link, with the document's <base target> as default.
function linkTarget(anchor) {
  if (anchor.target) return anchor.target;
  const base = anchor.ownerDocument.querySelector('base[target]');
  return base ? base.target : '';
}

// True when following the link would replace the shell page itself.
function leavesView(anchor, sourceWin) {
  const target = linkTarget(anchor);
  return target === '_top' || (target === '_parent' && sourceWin.parent === window);
}

// Follows a link the program let through, in the window its target names.
function followLink(anchor, href, sourceWin) {
  const target = linkTarget(anchor);
  let win = sourceWin;
  if (target === '_top') win = view.contentWindow;
  else if (target === '_parent') win = sourceWin.parent === window ? view.contentWindow : sourceWin.parent;
  else if (target === '_blank') { window.open(href, '_blank', 'noopener'); return; }
  else if (target && target !== '_self') win = findFrame(view.contentWindow, target) || sourceWin;
  win.location.href = href;
}

// What the program is told a link is: for its own pages the file path with the
// query and the fragment (the path is the name the player opens; a query
// keeps the link from counting as audio), otherwise the address as it stands.
function linkForProgram(url) {
  if (url.origin !== location.origin) return url.href;
  return decodePath(url.pathname) + url.search + url.hash;
}

// Percent-decodes a URL path as the server does: every "%" with two
// hexadecimal digits is a byte, any other "%" is itself (decodeURIComponent
// would refuse the whole path).
function decodePath(path) {
  const bytes = [];
  for (let i = 0; i < path.length; i++) {
    const hex = path.slice(i + 1, i + 3);
    if (path[i] === '%' && /^[0-9a-fA-F]{2}$/.test(hex)) {
      bytes.push(parseInt(hex, 16));
      i += 2;
    } else {
      bytes.push(...new TextEncoder().encode(path[i]));
    }
  }
  return new TextDecoder().decode(new Uint8Array(bytes));
}

function hookDocument(win) {
  let doc;
  try { doc = win.document; } catch (e) { return; }
  if (!doc || doc.__taloriaHooked) return;
  doc.__taloriaHooked = true;

  doc.addEventListener('submit', (event) => {
    const form = event.target;
    if (!(form instanceof win.HTMLFormElement)) return;
    if ((form.method || '').toLowerCase() !== 'post') {
      // A GET form aimed at the top window would replace the shell: keep it in the view.
      if (form.target === '_top' || (form.target === '_parent' && win.parent === window)) {
        event.preventDefault();
        const query = new URLSearchParams(new win.FormData(form, event.submitter || null));
        const action = new URL(form.action || win.location.href);
        action.search = query.toString();
        view.contentWindow.location.href = action.href;
      }
      return;
    }
    const data = new win.FormData(form, event.submitter || null);
    const body = new URLSearchParams();
    for (const [key, value] of data) body.append(key, typeof value === 'string' ? value : value.name);
    // A post without any field is no request: the program lets it go ahead as
    // an ordinary navigation, which the browser then makes itself (the answer
    // sends it to the form's address). Only a post aimed at the top window is
    // kept inside the view.
    if (body.toString() === '') {
      if (form.target === '_top' || (form.target === '_parent' && win.parent === window)) {
        event.preventDefault();
        view.contentWindow.location.href = new URL(form.action || win.location.href).href;
      }
      return;
    }
    event.preventDefault();
    formStarted();
    fetch(form.action || win.location.href, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: body.toString(),
    }).catch((e) => console.warn(e)).finally(formEnded);
  }, true);

  doc.addEventListener('click', (event) => {
    if (event.defaultPrevented || event.button !== 0) return;
    // Links of image maps (area) are links like any other.
    const anchor = event.target.closest && event.target.closest('a[href], area[href]');
    if (!anchor) return;
    const url = new URL(anchor.href, doc.baseURI);
    if (!AUDIO_ENDING.test(url.pathname) && !AUDIO_ENDING.test(url.href.split('#')[0])) {
      // The pages' "_top" means the whole view: the shell page itself is the
      // browser's top window and must stay.
      if (leavesView(anchor, win)) {
        event.preventDefault();
        followLink(anchor, url.href, win);
      }
      return;
    }
    event.preventDefault();
    post('/~shell/link', { url: linkForProgram(url) })
      .then((answer) => {
        window.dispatchEvent(new CustomEvent('taloria:link', { detail: { url: linkForProgram(url), cancel: !!(answer && answer.cancel) } }));
        if (!answer || !answer.cancel) followLink(anchor, url.href, win);
      })
      .catch((e) => console.warn(e));
  }, true);

  doc.addEventListener('keydown', onKey, true);
  doc.addEventListener('mouseover', () => setStatus('Ready'));
  doc.addEventListener('keydown', runOnCtrlEnter, true);
  doc.addEventListener('mousedown', closeMenus);

  // Frames of a frameset load later; each new document of a frame is hooked.
  for (const element of doc.querySelectorAll('frame, iframe')) hookFrameElement(element);
  new win.MutationObserver(() => {
    for (const element of doc.querySelectorAll('frame, iframe')) hookFrameElement(element);
  }).observe(doc, { childList: true, subtree: true });
}

function hookFrameElement(element) {
  if (element.__taloriaHooked) return;
  element.__taloriaHooked = true;
  element.addEventListener('load', () => hookDocument(element.contentWindow));
  if (element.contentWindow) hookDocument(element.contentWindow);
}

// ---- Dialogs ----------------------------------------------------------------

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props);
  node.append(...children);
  return node;
}

function makeDialog(caption, id) {
  const dialog = el('dialog');
  if (id !== undefined) dialog.dataset.modalId = id;
  dialog.append(el('h2', { textContent: caption }));
  const body = el('div', { className: 'body' });
  const buttons = el('div', { className: 'buttons' });
  dialog.append(body, buttons);
  document.body.append(dialog);
  return { dialog, body, buttons };
}

function addButton(buttons, label, handler, isDefault) {
  const button = el('button', { type: 'button', textContent: label, className: isDefault ? 'default' : '' });
  button.addEventListener('click', handler);
  buttons.append(button);
  return button;
}

function answer(id, reply) {
  const dialog = openModals.get(id);
  if (dialog) { openModals.delete(id); dialog.close(); dialog.remove(); }
  // Notices are local dialogs: answering them tells the program nothing.
  if (typeof id === 'string') return;
  post('/~shell/reply', { id, ...reply }).catch((e) => console.warn(e));
}

function showModal(event) {
  if (openModals.has(event.id)) return;
  let parts;
  switch (event.kind) {
    case 'messageBox': parts = messageBox(event); break;
    case 'about': parts = about(event); break;
    case 'fileOpen': case 'fileSave': parts = documentChooser(event); break;
    default:
      if (!Array.isArray(event.fields)) { answer(event.id, { ok: false }); return; }
      parts = form(event);
  }
  const { dialog } = parts;
  dialog.dataset.kind = event.kind;
  // Escape is Cancel (OK for a message box, which has nothing else).
  dialog.addEventListener('cancel', (e) => {
    e.preventDefault();
    if (event.kind === 'messageBox' || event.kind === 'about' || event.cancel === false) answer(event.id, { ok: true });
    else answer(event.id, { ok: false });
  });
  openModals.set(event.id, dialog);
  closeMenus();
  dialog.showModal();
  const focus = dialog.querySelector('[autofocus]') || dialog.querySelector('.default');
  if (focus) focus.focus();
}

function messageBox(event) {
  const parts = makeDialog(hello.title || 'Taloria 2', event.id);
  parts.body.append(el('div', { className: 'message' },
    el('span', { className: 'icon', textContent: '!' }), el('span', { className: 'text', textContent: event.text })));
  addButton(parts.buttons, 'OK', () => answer(event.id, { ok: true }), true);
  // A failed command's box: its output opens in the frame RIGHT once stored.
  if (event.output) addButton(parts.buttons, 'Show output', () => answer(event.id, { ok: true, showOutput: true }));
  return parts;
}

function about(event) {
  const parts = makeDialog('About Taloria', event.id);
  const link = el('a', { href: webSiteAddress(), target: '_blank', rel: 'noopener', textContent: webSiteAddress() });
  parts.body.append(
    el('div', { className: 'message' },
      el('img', { src: '/~shell/icons.svg', width: 48, height: 48, alt: '' }),
      el('div', {},
        el('strong', { textContent: `Taloria Version ${event.version || hello.version}` }),
        el('div', { textContent: 'A speech-synthesis workbench.' }),
        el('div', { textContent: 'Copyright \u00a9 the Taloria developers' }),
        el('div', {}, link))));
  addButton(parts.buttons, 'OK', () => answer(event.id, { ok: true }), true);
  return parts;
}

// A dialog of the program (File Needed, Configuration, ...): its caption,
// message and fields (text, file with Browse, check box), each answered under
// its name; Enter in a text field is OK.
function form(event) {
  const parts = makeDialog(event.caption || hello.title || 'Taloria 2', event.id);
  if (event.fields.some((field) => field.type === 'file')) parts.dialog.classList.add('wide');
  if (event.message) parts.body.append(el('div', { className: 'centred', textContent: event.message }));
  const readers = [];
  const holder = event.group ? el('fieldset', {}, el('legend', { textContent: event.group })) : parts.body;
  for (const field of event.fields) {
    if (field.type === 'check') {
      const box = el('input', { type: 'checkbox', checked: !!event[field.name], id: `${field.name}-${event.id}`, name: field.name });
      holder.append(el('div', {}, box, el('label', { htmlFor: box.id, textContent: ` ${field.label || ''}` })));
      readers.push(() => [field.name, box.checked]);
      continue;
    }
    const input = el('input', { type: 'text', value: event[field.name] || '', name: field.name, autofocus: !readers.length });
    input.addEventListener('keydown', (e) => { if (e.key === 'Enter') ok(); });
    input.setAttribute('aria-label', field.label || field.name);
    const row = el('div', { className: 'row' }, input);
    if (field.type === 'file') {
      const browse = el('button', { type: 'button', textContent: 'Browse' });
      browse.addEventListener('click', async () => {
        const chosen = await chooseFile('Open', input.value, false);
        if (chosen !== null) input.value = chosen;
      });
      row.append(browse);
    }
    if (field.label) holder.append(el('div', { textContent: field.label }));
    holder.append(row);
    readers.push(() => [field.name, input.value]);
  }
  if (holder !== parts.body) parts.body.append(holder);
  const ok = () => answer(event.id, { ok: true, ...Object.fromEntries(readers.map((read) => read())) });
  addButton(parts.buttons, 'OK', ok, true);
  if (event.cancel !== false) addButton(parts.buttons, 'Cancel', () => answer(event.id, { ok: false }));
  return parts;
}

// A document chooser: the program asked for a path to open or to save.
function documentChooser(event) {
  const parts = makeDialog(event.kind === 'fileOpen' ? 'Open' : 'Save As', event.id);
  parts.dialog.classList.add('wide');
  const chooser = buildChooser(parts, event.path || '', event.kind === 'fileSave',
    (path) => answer(event.id, { ok: true, path }), () => answer(event.id, { ok: false }));
  chooser.load(event.path || '');
  return parts;
}

// The Browse chooser of the File Needed dialog: resolves to a path or null.
function chooseFile(caption, start, saving) {
  return new Promise((resolve) => {
    const parts = makeDialog(caption);
    parts.dialog.dataset.kind = 'chooser';
    parts.dialog.classList.add('wide');
    const finish = (value) => { parts.dialog.close(); parts.dialog.remove(); resolve(value); };
    const chooser = buildChooser(parts, start, saving, finish, () => finish(null));
    parts.dialog.addEventListener('cancel', (e) => { e.preventDefault(); finish(null); });
    parts.dialog.showModal();
    chooser.load(start);
  });
}

// A file list over the local file system as the bridge lists it, a name
// field and OK/Cancel. Only existing files can be chosen unless `saving`.
function buildChooser(parts, start, saving, onOk, onCancel) {
  const where = el('div', { className: 'chooser-path' });
  const list = el('div', { className: 'chooser-list', role: 'listbox' });
  const name = el('input', { type: 'text', name: 'fileName', autofocus: true });
  name.setAttribute('aria-label', 'File name');
  const up = el('button', { type: 'button', textContent: 'Up' });
  parts.body.append(el('div', { className: 'row' }, where, up), list, el('div', { className: 'row' }, name));
  let current = '';
  let parent = '';
  const full = () => (name.value.startsWith('/') ? name.value : `${current === '/' ? '' : current}/${name.value}`);
  async function load(path) {
    const response = await fetch(`/~shell/fs?path=${encodeURIComponent(path)}`);
    if (!response.ok) { where.textContent = 'This folder cannot be shown.'; return; }
    const listing = await response.json();
    current = listing.path;
    parent = listing.parent;
    where.textContent = current;
    list.replaceChildren();
    for (const entry of listing.entries) {
      const item = el('button', { type: 'button', textContent: entry.name, className: entry.dir ? 'dir' : '' });
      item.addEventListener('click', () => {
        if (entry.dir) { load(`${current === '/' ? '' : current}/${entry.name}`); return; }
        for (const other of list.querySelectorAll('.selected')) other.classList.remove('selected');
        item.classList.add('selected');
        name.value = entry.name;
      });
      item.addEventListener('dblclick', () => { if (!entry.dir) confirm(); });
      list.append(item);
    }
    if (path && !path.endsWith('/') && path !== current) {
      const base = path.split('/').pop();
      if (saving || listing.entries.some((e) => e.name === base && !e.dir)) name.value = base;
    }
  }
  // Open takes only an existing file: its folder is listed to check it.
  async function exists(path) {
    const base = path.split('/').pop();
    const dir = path.slice(0, path.length - base.length - 1) || '/';
    const response = await fetch(`/~shell/fs?path=${encodeURIComponent(path)}`);
    if (!response.ok) return false;
    const listing = await response.json();
    return listing.path === dir && listing.entries.some((e) => e.name === base && !e.dir);
  }
  async function confirm() {
    if (!name.value) return;
    const path = full();
    if (!saving && !(await exists(path))) {
      // The folder of the path as typed, which need not be the one listed.
      const folder = path.slice(0, path.lastIndexOf('/')) || '/';
      where.textContent = `${folder} \u2014 no file named "${path.split('/').pop()}"`;
      return;
    }
    onOk(path);
  }
  up.addEventListener('click', () => { if (parent) load(parent); });
  name.addEventListener('keydown', (e) => { if (e.key === 'Enter') confirm(); });
  addButton(parts.buttons, saving ? 'Save' : 'Open', confirm, true);
  addButton(parts.buttons, 'Cancel', onCancel);
  return { load };
}

// The File menu's recent-file entries, "1 name" to "4 name"; one grayed
// "Recent File" entry while the list is empty.
function showRecent(files) {
  const holder = $('recent-files');
  holder.replaceChildren();
  if (!files.length) {
    holder.append(el('button', { type: 'button', disabled: true, innerHTML: '<span>Recent File</span>' }));
    holder.lastChild.dataset.command = 'recent';
    return;
  }
  files.slice(0, 4).forEach((file, i) => {
    const item = el('button', { type: 'button' }, el('span', { textContent: `${i + 1} ${file.split('/').pop()}` }));
    item.setAttribute('role', 'menuitem');
    item.title = file;
    item.dataset.command = `recent${i + 1}`;
    holder.append(item);
  });
}

function showNotice(text) {
  // A message the program showed before this page was connected.
  showModal({ id: `notice-${Math.random()}`, kind: 'messageBox', text, local: true });
}

// ---- Event stream ------------------------------------------------------------

// The run bar: shown while the program is busy or a run is in progress, with
// the command that runs now (progress and busy events come in either order).
let progress = { text: '' };
let busy = false;

function updateRunBar() {
  document.body.classList.toggle('busy', busy);
  const running = !!progress.text;
  const bar = $('runbar');
  const wasHidden = bar.hidden;
  bar.hidden = !busy && !running;
  if (bar.hidden) return;
  if (wasHidden) $('run-stop').disabled = false;
  if ($('run-stop').disabled) return;  // keeps "Stopping..." until the run ends
  $('run-text').textContent = running ? progress.text : 'Working...';
}

function setBusy(value) { busy = value; updateRunBar(); updateRunState(); }

function showProgress(p) {
  progress = p;
  if (p.text) $('run-stop').disabled = false;
  updateRunBar();
  updateRunState();
}

// ---- The workbench during a run ---------------------------------------------
// From the post of a form until its answer, and while a stage command runs,
// every command but Stop run is disabled: menus and toolbar are greyed and
// shortcuts ignored, so nothing waits to pop up after the run.

let formsPending = 0;
let playerCommands = { play: false, pause: false, stop: false, paused: false };

function runInProgress() { return formsPending > 0 || busy || !!progress.text; }

function runStatusText() { return progress.text || 'Working...'; }

function formStarted() { formsPending++; updateRunState(); }
function formEnded() { formsPending = Math.max(0, formsPending - 1); updateRunState(); }

function updateRunState() {
  const running = runInProgress();
  document.body.classList.toggle('running', running);
  if (running) closeMenus();
  for (const button of document.querySelectorAll('#menubar [data-command], #toolbar [data-command]')) {
    const name = button.dataset.command;
    const ownRule = name in playerCommands && name !== 'paused' ? !playerCommands[name] : name === 'recent';
    button.disabled = running || ownRule;
  }
  for (const title of document.querySelectorAll('.menu-title')) title.disabled = running;
  statusMessage.textContent = running ? runStatusText() : 'Ready';
}

// Shortcuts of commands are ignored during a run (the browser's own meaning
// of the keys is kept from it too).
function runShortcut(event) {
  if (!runInProgress() || !(event.ctrlKey || event.altKey)) return false;
  if (event.key === 'Control' || event.key === 'Alt' || event.key === 'Shift') return true;
  event.preventDefault();
  return true;
}

function showPausePressed(paused) {
  const button = document.querySelector('#toolbar [data-command="pause"]');
  button.classList.toggle('pressed', paused);
  button.setAttribute('aria-pressed', String(paused));
}

// ---- The input page's fields for Save, Save As and Reload configurations ----

// The input page, wherever the view shows it, or null.
function inputPageForm(win) {
  try {
    const path = decodePath(win.location.pathname);
    const form = win.document.querySelector('form textarea[name=input]')?.form;
    if (form && path === `${hello.appDir}/html/input.htm`) return form;
  } catch (e) { return null; }
  for (const element of win.document.querySelectorAll('frame, iframe')) {
    const form = element.contentWindow && inputPageForm(element.contentWindow);
    if (form) return form;
  }
  return null;
}

// The command with the input page's fields, encoded as its form posts them
// (no button), so the program takes the text box as it is on the screen.
function withInputPageFields(name) {
  const form = inputPageForm(view.contentWindow);
  if (!form) return { command: name };
  const fields = new URLSearchParams();
  for (const [key, value] of new form.ownerDocument.defaultView.FormData(form)) {
    if (typeof value === 'string') fields.append(key, value);
  }
  return { command: name, form: fields.toString() };
}

// Ctrl+Enter in the input page is its Run button.
function runOnCtrlEnter(event) {
  if (event.key !== 'Enter' || !event.ctrlKey || event.altKey || event.shiftKey) return;
  const form = event.target && event.target.form;
  const run = form && form.elements.namedItem('run');
  if (!run) return;
  event.preventDefault();
  if (!runInProgress() && openModals.size === 0) form.requestSubmit(run);
}

// The project's documentation pages, served by the program itself.
function webSiteAddress() {
  return `${location.origin}${urlForPath(`${hello.appDir}/help/index.html`)}`;
}

function connect() {
  const events = new EventSource('/~shell/events');
  const on = (type, handler) => events.addEventListener(type, (e) => handler(JSON.parse(e.data)));
  on('hello', (data) => { hello = data; document.title = data.title || 'Taloria 2'; });
  on('navigate', (data) => navigate(data.path, data.frame));
  on('commands', (data) => {
    playerCommands = data;
    document.body.dataset.commands = JSON.stringify(data);
    showPausePressed(!!data.paused);
    updateRunState();
  });
  on('busy', (data) => setBusy(data.busy));
  on('recent', (data) => showRecent(data.files));
  // The player's file and state, for the signal panel (signal.js).
  on('replay', (data) => window.dispatchEvent(new CustomEvent('taloria:replay', { detail: data })));
  on('progress', showProgress);
  on('modal', showModal);
  on('modalClosed', (data) => {
    const dialog = openModals.get(data.id);
    if (dialog) { openModals.delete(data.id); dialog.close(); dialog.remove(); }
  });
  on('notice', (data) => showNotice(data.text));
  on('quit', () => { ended = true; events.close(); $('ended').hidden = false; setBusy(false); });
  events.addEventListener('error', () => { if (ended) events.close(); });
}

// ---- Start ---------------------------------------------------------------------

// Back and Forward walk the browser's history of the view. The shell page
// keeps one entry of its own below the view's pages, so that going back past
// the first page of the view lands on it and goes forward again instead of
// leaving the workbench. (The browser's own back button skips entries that a
// page adds by itself, so it is not held.)
function guardHistory() {
  history.replaceState({ taloria: 'base' }, '');
  history.pushState({ taloria: 'shell' }, '');
  window.addEventListener('popstate', (event) => {
    if (event.state && event.state.taloria === 'base') history.forward();
  });
}

guardHistory();
buildToolbar();
wireCommands();
document.addEventListener('keydown', onKey, true);
view.addEventListener('load', viewLoaded);
connect();
