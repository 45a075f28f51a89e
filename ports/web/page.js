// The page around the game: the board's canvas, the keys, load.bmp kept in
// the browser, and the game's start and end. Loaded before vellomar.js,
// which finds its Module here.
'use strict';

const FOLDER = '/vellomar';
const SNAPSHOT = FOLDER + '/load.bmp';
const canvas = document.getElementById('board');
const context = canvas.getContext('2d', { alpha: false });
const status = document.getElementById('status');
const storageNote = document.getElementById('storage');
// What the page says of where load.bmp is kept, above the board, with the
// download at hand; nothing while all is well.
function tell(text) {
  document.getElementById('storage-text').textContent = text;
  storageNote.hidden = !text;
  fit();
}

// What the tests and the benchmark read.
const stats = { passes: 0, turns: 0, updating: false, updateGap: 0, updated: false, keyDelays: [], ended: false, started: false, storing: 0, stored: 0,
  storeFailures: 0, storeTimes: [], storedBytes: 0, persisted: null, saves: 0, newest: null, boardAt: null };
window.vellomar = stats;

function say(text) { status.textContent = text; }

// --- the board --------------------------------------------------------------------

let image = null;

// Rows top..bottom of the game's screen onto the canvas.
function paint(rgba, w, h, top, bottom) {
  if (stats.boardAt === null) stats.boardAt = performance.now();  // since the page was asked for
  if (!image || image.width !== w || image.height !== h) {
    canvas.width = w;
    canvas.height = h;
    image = context.createImageData(w, h);
  }
  image.data.set(rgba.subarray(top * w * 4, (bottom + 1) * w * 4), top * w * 4);
  context.putImageData(image, 0, 0, 0, top, w, bottom - top + 1);
}

// The board as large as fits beside the touch keys, when they are shown:
// at 1x and above the largest whole multiple, crisp, as the board's pixels
// are the picture; below 1x (a phone) smoothly smaller.
function fit() {
  const play = document.getElementById('play'), pads = document.getElementById('pads');
  // The viewport's own size: the window's may count a board wider than it.
  const width = document.documentElement.clientWidth, height = document.documentElement.clientHeight;
  const shown = !pads.hidden, side = shown && width > height;
  play.classList.toggle('side', side);
  const key = Math.max(40, Math.min(64, Math.floor(Math.min(width, height) / 9)));
  play.style.setProperty('--key', key + 'px');
  const pad = 3 * key + 8, row = shown ? pads.querySelector('.row').offsetHeight + 8 : 0;
  const top = play.getBoundingClientRect().top + window.scrollY;
  const room = width - 16 - (side ? 2 * pad : 0);
  const high = height - top - 8 - (shown ? row + (side ? 0 : pad) : 0);
  let scale = Math.min(room / canvas.width, high / canvas.height);
  scale = scale >= 1 ? Math.floor(scale) : Math.max(scale, 0.2);
  canvas.classList.toggle('small', scale < 1);
  canvas.style.width = Math.floor(canvas.width * scale) + 'px';
  canvas.style.height = Math.floor(canvas.height * scale) + 'px';
}
window.addEventListener('resize', fit);

// --- the browser's turn -------------------------------------------------------------

// A message posted to ourselves comes back after the browser has handled
// what was waiting (keys, painting), far sooner than a timeout would.
const channel = new MessageChannel();
let wake = null;
channel.port1.onmessage = () => { const w = wake; wake = null; w(); };

function visible() {
  return new Promise(resolve => {
    const shown = () => {
      if (document.hidden) return;
      document.removeEventListener('visibilitychange', shown);
      resolve();
    };
    document.addEventListener('visibilitychange', shown);
  });
}

// Resolved at the game's first turn, once the library is up.
let gameUp;
const gameStarted = new Promise(resolve => { gameUp = resolve; });

async function turn(passes) {
  stats.passes += passes;
  stats.turns++;
  gameUp();
  // While a new build installs, the browser gets the idle time it needs.
  if (stats.updating) await new Promise(resolve => setTimeout(resolve, stats.updateGap));
  await new Promise(resolve => { wake = resolve; channel.port2.postMessage(0); });
  // A hidden page waits here, without a pass, until it is shown again; it
  // then reads the newest save, which another tab may have made meanwhile,
  // before its next F2.
  if (document.hidden) {
    releaseAll();
    await visible();
    await readNewest();
  }
}

// --- keys ---------------------------------------------------------------------------

// KeyboardEvent.code names the key's place, as the library's scancodes do.
const SCANCODES = (() => {
  const map = {};
  for (let i = 0; i < 26; i++) map['Key' + String.fromCharCode(65 + i)] = 1 + i;
  for (let i = 0; i < 10; i++) { map['Digit' + i] = 27 + i; map['Numpad' + i] = 37 + i; }
  for (let i = 1; i <= 12; i++) map['F' + i] = 46 + i;
  const rest = {
    Escape: 59, Backquote: 60, Minus: 61, Equal: 62, Backspace: 63, Tab: 64, BracketLeft: 65,
    BracketRight: 66, Enter: 67, Semicolon: 68, Quote: 69, Backslash: 70, IntlBackslash: 71, Comma: 72,
    Period: 73, Slash: 74, Space: 75, Insert: 76, Delete: 77, Home: 78, End: 79, PageUp: 80, PageDown: 81,
    ArrowLeft: 82, ArrowRight: 83, ArrowUp: 84, ArrowDown: 85, NumpadDivide: 86, NumpadMultiply: 87,
    NumpadSubtract: 88, NumpadAdd: 89, NumpadDecimal: 90, NumpadEnter: 91, PrintScreen: 92, Pause: 93,
    ShiftLeft: 115, ShiftRight: 116, ControlLeft: 117, ControlRight: 118, AltLeft: 119, AltRight: 120,
    MetaLeft: 121, MetaRight: 122, ContextMenu: 123, ScrollLock: 124, NumLock: 125, CapsLock: 126,
  };
  return Object.assign(map, rest);
})();
// What a key of the letters' rows gives on a US keyboard besides letters.
const PUNCTUATION = { '`': 'Backquote', '-': 'Minus', '=': 'Equal', '[': 'BracketLeft', ']': 'BracketRight',
  ';': 'Semicolon', "'": 'Quote', '\\': 'Backslash', ',': 'Comma', '.': 'Period', '/': 'Slash' };

// Letter keys act by their label, as on the desktop: the key that types W
// is W on any layout (AZERTY, Dvorak). On a layout without Latin letters
// (Russian, Greek, Hebrew, Arabic) a letter key acts as the one at its US
// place. Every other key acts by its place.
function scancodeOf(event) {
  const k = event.key;
  if (/^[a-z]$/i.test(k)) return SCANCODES['Key' + k.toUpperCase()];
  if (/^Key[A-Z]$/.test(event.code) && [...k].length == 1) {
    if (/\p{Script=Latin}/u.test(k)) return 0;  // a letter the game has no key for
    if (PUNCTUATION[k]) return SCANCODES[PUNCTUATION[k]];
  }
  return SCANCODES[event.code];
}

// The game's own keys: the browser's default for them (help on F1,
// scrolling on the arrows and Space) never happens.
const GAME_KEYS = new Set(['ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight', 'KeyW', 'KeyS', 'KeyA', 'KeyD',
  'Space', 'F1', 'F2', 'KeyP', 'Escape', 'PageUp', 'PageDown', 'Home', 'End'].map(c => SCANCODES[c]));
// Left to the browser: reload, full screen, its tools.
const BROWSER_KEYS = new Set(['F5', 'F11', 'F12']);

const queue = [];
const held = new Set();       // the keyboard's keys down, as scancodes
const pressedAs = new Map();  // event.code -> the scancode its press gave

// The keyboard and each finger on a touch key hold keys; the game sees a
// key go down with its first holder and up with its last.
const holders = new Map();
function hold(scancode, at) {
  const n = holders.get(scancode) || 0;
  holders.set(scancode, n + 1);
  if (n === 0) queue.push({ code: scancode | 256, at });
}
function letGo(scancode, at) {
  const n = holders.get(scancode) || 0;
  if (n > 1) holders.set(scancode, n - 1);
  else if (n === 1) {
    holders.delete(scancode);
    queue.push({ code: scancode, at });
  }
}

function key(event, pressed) {
  if (BROWSER_KEYS.has(event.code) || event.ctrlKey || event.metaKey) return;
  // A release lets go of what its press pressed, whatever the key gives now
  // (Shift let go first, a layout switched while it was held).
  const scancode = pressed ? (pressedAs.get(event.code) || scancodeOf(event)) : pressedAs.get(event.code);
  if (!scancode) return;
  if (GAME_KEYS.has(scancode)) event.preventDefault();
  if (event.repeat || stats.ended) return;  // the browser's autorepeat: the game sees keys held
  if (pressed === held.has(scancode)) return;
  if (pressed) {
    held.add(scancode);
    pressedAs.set(event.code, scancode);
    hold(scancode, event.timeStamp);
  } else {
    held.delete(scancode);
    pressedAs.delete(event.code);
    letGo(scancode, event.timeStamp);
  }
}
window.addEventListener('keydown', e => key(e, true));
window.addEventListener('keyup', e => key(e, false));

// A key held while the page loses the focus never sends its keyup, and a
// finger on a touch key may never lift where the page sees it.
function releaseAll() {
  const now = performance.now();
  for (const scancode of held) letGo(scancode, now);
  held.clear();
  pressedAs.clear();
  for (const id of [...fingers.keys()]) touch(id, [], now);
}
window.addEventListener('blur', releaseAll);
// Hidden (another tab, the app switcher) lets go at once, however soon the
// page is shown again: a key let go meanwhile went to someone else.
document.addEventListener('visibilitychange', () => { if (document.hidden) releaseAll(); });

// --- the touch keys -----------------------------------------------------------------

// Each finger holds the keys under it: a slide from one key to another
// lets the first go and presses the second; a corner of a pad holds both
// its keys. The game sees them exactly as keys of a keyboard.
const pads = document.getElementById('pads');
const fingers = new Map();  // pointerId -> the scancodes it holds

function keysAt(x, y) {
  const element = document.elementFromPoint(x, y);
  const target = element && element.closest('[data-key], [data-keys]');
  if (!target || !pads.contains(target)) return [];
  return (target.dataset.key || target.dataset.keys).split(' ').map(code => SCANCODES[code]);
}

function touch(id, keys, at) {
  const before = fingers.get(id) || [], scancodes = [...new Set(keys)];
  // A finger moving within its key, as most moves are, changes nothing.
  if (!stats.ended && scancodes.length === before.length && scancodes.every(s => before.includes(s))) return;
  for (const s of before) if (!scancodes.includes(s)) letGo(s, at);
  if (!stats.ended) for (const s of scancodes) if (!before.includes(s)) hold(s, at);
  if (fingers.has(id)) fingers.set(id, stats.ended ? [] : scancodes);
  for (const element of pads.querySelectorAll('[data-key]'))
    element.classList.toggle('down', holders.has(SCANCODES[element.dataset.key]));
}

pads.addEventListener('pointerdown', e => {
  e.preventDefault();
  // Captured, so that its moves and its lifting come here wherever it goes.
  try { pads.setPointerCapture(e.pointerId); } catch (ignored) { /* gone already */ }
  if (!fingers.has(e.pointerId)) fingers.set(e.pointerId, []);
  touch(e.pointerId, keysAt(e.clientX, e.clientY), e.timeStamp);
});
pads.addEventListener('pointermove', e => {
  if (fingers.has(e.pointerId)) touch(e.pointerId, keysAt(e.clientX, e.clientY), e.timeStamp);
});
for (const end of ['pointerup', 'pointercancel', 'lostpointercapture']) {
  pads.addEventListener(end, e => {
    if (!fingers.has(e.pointerId)) return;
    touch(e.pointerId, [], e.timeStamp);
    fingers.delete(e.pointerId);
  });
}
pads.addEventListener('contextmenu', e => e.preventDefault());

// Shown on a touch screen, or from the first touch; the button shows or
// hides them anywhere.
const touchButton = document.getElementById('touch-keys');
function showPads(shown) {
  if (!shown) releaseAll();
  pads.hidden = !shown;
  touchButton.setAttribute('aria-pressed', String(shown));
  fit();
}
touchButton.addEventListener('click', () => showPads(pads.hidden));
window.addEventListener('pointerdown', e => { if (e.pointerType === 'touch' && pads.hidden) showPads(true); });
if (window.matchMedia && window.matchMedia('(pointer: coarse)').matches) pads.hidden = false;
fit();

function nextKey() {
  const e = queue.shift();
  if (!e) return -1;
  stats.keyDelays.push(performance.now() - e.at);
  if (stats.keyDelays.length > 1000) stats.keyDelays.shift();
  return e.code;
}

// --- load.bmp, kept in the browser -------------------------------------------------------

// The game's folder lives in the page's memory. Each save is stored in
// IndexedDB by itself the moment the game makes it: one put in its own
// transaction, committed at once, so that the bytes have left the page
// before the game's pass ends and a reload, close or crash after it keeps
// them. Nothing copies a folder over another. Every save gets its own key,
// [time, tab], later than any this tab has seen, and its transaction
// deletes only the keys below it: a stale tab never deletes or replaces a
// newer save made elsewhere, whatever order the transactions land in, and
// the newest key is load.bmp. The bytes are kept packed (pack() below):
// F1 held stores a save on every pass that changed the board.
const DB = 'vellomar', STORE = 'saves';
const TAB = Math.random();
let db = null;          // the open database, or null
let opening = null;     // the promise of opening it
let newest = null;      // the key of the load.bmp in the folder, or null
let storageRefused = false;
let asked = false;      // whether persistent storage has been asked for
const tabs = 'BroadcastChannel' in window ? new BroadcastChannel('vellomar') : null;

// Keys are [time, tab]: the later time, or at the same time the larger tab.
function later(a, b) { return a[0] > b[0] || (a[0] === b[0] && a[1] > b[1]); }

// The row size of a BMP's pixels, or 0 if it is not a BMP with a
// 40-byte (or longer) header.
function rowBytes(b) {
  if (b.length < 54 || b[0] !== 0x42 || b[1] !== 0x4d) return 0;
  const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
  if (view.getUint32(14, true) < 40) return 0;
  const w = Math.abs(view.getInt32(18, true)), bits = view.getUint16(28, true);
  return Math.floor((w * bits + 31) / 32) * 4;
}

// A board is mostly black, with lines: runs of one pixel (a copy of the
// bytes 3 back) and rows like the one above (a copy of the bytes a row
// back). Tokens: varint 4n + 1 copies n bytes from 3 back, 4n + 2 from
// `row` back, 4n takes the next n bytes as they are. Never more than 5
// bytes longer than its input.
function pack(b, row) {
  const out = new Uint8Array(b.length + 16);
  let o = 0, literal = 0, i = 0;
  const varint = v => { while (v > 127) { out[o++] = (v % 128) | 128; v = Math.floor(v / 128); } out[o++] = v; };
  const flush = end => {
    if (end === literal) return;
    varint((end - literal) * 4);
    out.set(b.subarray(literal, end), o);
    o += end - literal;
  };
  while (i < b.length) {
    let best = 0, kind = 0;
    if (i >= 3) {
      let j = i;
      while (j < b.length && b[j] === b[j - 3]) j++;
      best = j - i;
      kind = 1;
    }
    if (row && i >= row && best < 64) {
      let j = i;
      while (j < b.length && b[j] === b[j - row]) j++;
      if (j - i > best) { best = j - i; kind = 2; }
    }
    if (best >= 8) {
      flush(i);
      varint(best * 4 + kind);
      i += best;
      literal = i;
    } else {
      i++;
    }
  }
  flush(b.length);
  return out.slice(0, o);
}

// The bytes of a record; throws if it is not what pack() made of `size` bytes.
function unpack(record) {
  const p = record.packed, out = new Uint8Array(record.size), row = record.row;
  let i = 0, o = 0;
  while (i < p.length) {
    let v = 0, scale = 1, c;
    do { c = p[i++]; v += (c & 127) * scale; scale *= 128; } while (c & 128 && i < p.length);
    const n = Math.floor(v / 4), kind = v % 4, back = kind === 1 ? 3 : row;
    if (o + n > out.length || kind === 3 || (kind === 0 ? i + n > p.length : !back || back > o)) throw new Error('damaged');
    if (kind === 0) {
      out.set(p.subarray(i, i + n), o);
      i += n;
    } else {
      for (let k = o; k < o + n; k++) out[k] = out[k - back];
    }
    o += n;
  }
  if (o !== out.length) throw new Error('damaged');
  return out;
}

// What the store keeps of `bytes`.
function recordOf(bytes) {
  const row = rowBytes(bytes);
  return { size: bytes.length, row, packed: pack(bytes, row) };
}

// The folder's load.bmp becomes `bytes`: a new file renamed over the old
// one, so that the game sees it is another file and F1 held saves again.
let written = 0;
function putInFolder(bytes) {
  const tmp = FOLDER + '/.page-' + (++written) + '.bmp';
  FS.writeFile(tmp, bytes);
  FS.rename(tmp, SNAPSHOT);
}

function openStore() {
  if (db) return Promise.resolve(db);
  if (!opening) {
    opening = new Promise(resolve => {
      let request;
      try { request = indexedDB.open(DB, 1); } catch (e) { resolve(null); return; }
      request.onupgradeneeded = () => request.result.createObjectStore(STORE);
      request.onsuccess = () => {
        const opened = request.result;
        // Another version of the page wants the database, or the browser
        // deleted it: the next save opens it again.
        opened.onversionchange = () => { opened.close(); if (db === opened) db = null; };
        opened.onclose = () => { if (db === opened) db = null; };
        db = opened;
        resolve(db);
      };
      request.onerror = () => { request.error && console.error(request.error); resolve(null); };
      request.onblocked = () => {};
    }).finally(() => { opening = null; });
  }
  return opening;
}

// The newest record in the store, as [key, record], or null.
function newestStored() {
  return openStore().then(opened => opened && new Promise(resolve => {
    try {
      const request = opened.transaction(STORE, 'readonly').objectStore(STORE).openCursor(null, 'prev');
      request.onsuccess = () => resolve(request.result ? [request.result.key, request.result.value] : null);
      request.onerror = () => resolve(null);
    } catch (e) { resolve(null); }
  }));
}

// A record newer than the folder's load.bmp, from the store or another tab,
// becomes load.bmp.
function take(key, record) {
  if (newest && !later(key, newest)) return;
  let bytes;
  try { bytes = unpack(record); } catch (e) { console.error('a damaged save in the store was left alone'); return; }
  putInFolder(bytes);
  newest = stats.newest = key;
}
if (tabs) tabs.onmessage = e => take(e.data.key, e.data.record);

// Before the next pass after the page was hidden (another tab may have
// saved), and at the start.
function readNewest() {
  return newestStored().then(found => { if (found) take(found[0], found[1]); });
}

// A save the game just made (or a picture taken as load.bmp): stored now.
function store(bytes) {
  const now = Date.now();
  const key = [newest && newest[0] >= now ? newest[0] + 1 : now, TAB];
  const record = recordOf(bytes);
  const made = performance.now();
  newest = stats.newest = key;
  if (tabs) tabs.postMessage({ key, record });
  if (storageRefused) return;
  if (db) put(db, key, record, made);
  else openStore().then(opened => opened ? put(opened, key, record, made) : notStored(key, 'the browser would not open its storage'));
  if (!asked) askToKeep();
}

function put(opened, key, record, made) {
  let tx;
  try {
    // Relaxed: written to the disk by the browser, as the desktop game's
    // saves are, without waiting for the disk to flush.
    tx = opened.transaction(STORE, 'readwrite', { durability: 'relaxed' });
  } catch (e) {
    // Closed under us (the browser deleted the site's data): the next save
    // opens it again.
    if (opened === db) db = null;
    notStored(key, e.message || e.name);
    return;
  }
  stats.storing++;
  tx.oncomplete = () => {
    stats.storing--;
    stats.stored++;
    stats.storeTimes.push(performance.now() - made);
    if (stats.storeTimes.length > 1000) stats.storeTimes.shift();
    stats.storedBytes += record.packed.length;
    stored(key);
  };
  tx.onabort = () => {
    stats.storing--;
    const error = tx.error;
    notStored(key, error && error.name === 'QuotaExceededError' ? 'there is no room left for it'
                   : (error && (error.message || error.name)) || 'the browser gave it up');
  };
  try {
    const saves = tx.objectStore(STORE);
    saves.put(record, key);
    saves.delete(IDBKeyRange.upperBound(key, true));
    if (tx.commit) tx.commit();
  } catch (e) {
    // Its abort event says so; one that is not aborted yet is.
    try { tx.abort(); } catch (ignored) { /* aborted already */ }
  }
}

let failedKey = null;
function notStored(key, why) {
  stats.storeFailures++;
  failedKey = key;
  tell('This save could not be kept in the browser (' + why + '): it lasts only until ' +
    'the page is closed. Download it to keep it; the next save tries again.');
}

function stored(key) {
  // An older save stored after a newer one failed says nothing.
  if (failedKey && later(failedKey, key)) return;
  failedKey = null;
  tell('');
}

// Once the player first saves, the browser is asked to keep the site's
// storage rather than clear it when short of room.
function askToKeep() {
  asked = true;
  if (!navigator.storage || !navigator.storage.persist) return;
  navigator.storage.persist().then(granted => {
    document.getElementById('kept').textContent = granted
      ? 'This browser has agreed to keep it until this site\'s data is cleared.'
      : 'This browser may still clear it when it runs short of room: download a copy of a drawing you want to keep.';
    stats.persisted = granted;
  }, () => {});
}

function noStorage() {
  storageRefused = true;
  tell('This browser keeps nothing for this page (a private window, or storage ' +
    'turned off): load.bmp lasts until the page is closed. Download it to keep it.');
}

// Whether this browser lets the page keep anything at all: none in some
// private windows, and reading it throws where storage is refused.
function storageAllowed() {
  try { return !!window.indexedDB; } catch (e) { return false; }
}

// Earlier versions of this page kept the folder in a database of the
// file system library's ('/vellomar'): its load.bmp is taken over once,
// when there is none of ours, and that database deleted.
function takeOver() {
  return new Promise(resolve => {
    let request;
    try { request = indexedDB.open(FOLDER); } catch (e) { resolve(); return; }
    // None there: opening would make one, so the opening is abandoned.
    request.onupgradeneeded = () => request.transaction.abort();
    request.onerror = () => resolve();
    request.onsuccess = () => {
      const old = request.result;
      const done = () => { old.close(); resolve(); };
      try {
        const get = old.transaction('FILE_DATA', 'readonly').objectStore('FILE_DATA').get(SNAPSHOT);
        get.onsuccess = () => {
          const entry = get.result;
          if (!entry || !entry.contents) { done(); return; }
          const bytes = new Uint8Array(entry.contents);
          putInFolder(bytes);
          const time = entry.timestamp instanceof Date ? entry.timestamp.getTime() : 0;
          newest = stats.newest = [Math.min(time, Date.now()), TAB];
          const record = recordOf(bytes);
          openStore().then(opened => {
            if (!opened) { done(); return; }
            const tx = opened.transaction(STORE, 'readwrite');
            tx.objectStore(STORE).put(record, newest);
            tx.oncomplete = () => { done(); indexedDB.deleteDatabase(FOLDER); };
            tx.onabort = done;
          });
        };
        get.onerror = done;
      } catch (e) { done(); }
    };
  });
}

async function keepFolder() {
  FS.mkdir(FOLDER);
  FS.chdir(FOLDER);
  if (!storageAllowed()) {
    noStorage();
    return;
  }
  if (!await openStore()) {
    tell('The browser would not open its storage for this page: a save lasts until ' +
      'the page is closed, unless a later one can be stored. Download it to keep it.');
    return;
  }
  const found = await newestStored();
  if (found) take(found[0], found[1]);
  else await takeOver();
}

for (const button of document.querySelectorAll('.download')) button.addEventListener('click', () => {
  let bytes;
  try { bytes = FS.readFile(SNAPSHOT); } catch (e) { say('Nothing saved yet: F1 saves the board.'); return; }
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([bytes], { type: 'image/bmp' }));
  link.download = 'load.bmp';
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
});

// A picture dropped or picked becomes load.bmp only if F2 could read it:
// the game's own check runs on it first. A file over the game's bound is
// refused by its size, without reading it.
async function openPicture(file) {
  const refuse = why => say(file.name + ' ' + why + ': load.bmp is left as it was.');
  if (stats.ended) { refuse('was not opened, as the game has ended (reload the page to play)'); return; }
  await gameStarted;
  const max = Module._vellomar_max_file();
  if (file.size > max) { refuse('is too large (the game reads pictures up to ' + max / 1048576 + ' MB)'); return; }
  let bytes;
  try { bytes = new Uint8Array(await file.arrayBuffer()); } catch (e) { refuse('could not be read'); return; }
  if (!readable(bytes)) { refuse('is not a picture this game can read'); return; }
  putInFolder(bytes);
  store(bytes);
  say(file.name + ' is now load.bmp: F2 reads it, P pastes it.');
}

function readable(bytes) {
  const at = Module._malloc(Math.max(1, bytes.length));
  if (!at) return false;
  try {
    Module.HEAPU8.set(bytes, at);
    return Module._vellomar_readable(at, bytes.length) !== 0;
  } finally {
    Module._free(at);
  }
}

document.getElementById('pick').addEventListener('change', e => {
  if (e.target.files[0]) openPicture(e.target.files[0]);
  e.target.value = '';
  canvas.focus();
});
window.addEventListener('dragover', e => e.preventDefault());
window.addEventListener('drop', e => {
  e.preventDefault();
  if (e.dataTransfer.files[0]) openPicture(e.dataTransfer.files[0]);
});

// --- the game -----------------------------------------------------------------------------

// The site's files kept for offline play (a secure origin only: https or
// this machine).
const keptOffline = 'serviceWorker' in navigator && window.isSecureContext;
if (keptOffline) navigator.serviceWorker.register('sw.js').catch(() => {});

// A new build, once the host has one. Chromium neither starts a service
// worker's update nor lets a new worker take over while a page it controls
// keeps the main thread busy, and the game's turns always do: a player would
// keep the old build for good. Measured: with 40 ms of idle time between
// turns they still never happen, with 60 ms they take about 3 s (the
// renderer's long idle periods are those of 50 ms or more). So once the
// game runs, the page reads sw.js from the host itself and, if it names
// another build than the worker keeps, asks for the update and leaves the
// browser 60 ms between turns until the new worker has taken over (the next
// visit runs the new build), for at most 20 s; where that fails, the next
// visit tries again. Two busy loops on a two-core machine make 60 ms take
// 8 to 19 s, and 150 ms about 3 s.
const UPDATE_GAP = 60, UPDATE_MOST = 20000;
async function lookForNewBuild() {
  const worker = navigator.serviceWorker.controller;
  if (!worker) return;
  const kept = await new Promise(resolve => {
    const answer = event => { if (event.data && event.data.build) resolve(event.data.build); };
    navigator.serviceWorker.addEventListener('message', answer, { once: true });
    worker.postMessage('build');
    setTimeout(() => resolve(null), 2000);
  });
  let hosted;
  try {
    const text = await (await fetch('sw.js', { cache: 'no-cache' })).text();
    hosted = (text.match(/const CACHE = '([^']+)'/) || [])[1];
  } catch (e) { return; }  // offline
  if (!kept || !hosted || hosted === kept) return;
  stats.updating = true;
  // On a busy machine 60 ms can fall short: the gap doubles every 3 s
  // until the new worker has taken over, up to half a second.
  stats.updateGap = UPDATE_GAP;
  const longer = setInterval(() => { stats.updateGap = Math.min(2 * stats.updateGap, 500); }, 3000);
  // The new worker controls the page as soon as it is activating; it has
  // taken over once its activation (which deletes the old files) is done.
  const taken = new Promise(resolve => navigator.serviceWorker.addEventListener('controllerchange', () => {
    const now = navigator.serviceWorker.controller;
    if (!now || now.state === 'activated') resolve();
    else now.addEventListener('statechange', () => { if (now.state !== 'activating') resolve(); });
  }, { once: true }));
  navigator.serviceWorker.getRegistration().then(r => r && r.update()).catch(() => {});
  await Promise.race([taken, new Promise(resolve => setTimeout(resolve, UPDATE_MOST))]);
  clearInterval(longer);
  stats.updating = false;
  const now = navigator.serviceWorker.controller;
  stats.updated = !!now && now !== worker && now.state === 'activated';
}
if (keptOffline) gameStarted.then(lookForNewBuild);

var Module = {
  noInitialRun: true,
  vellomarPaint: paint,
  vellomarYield: turn,
  vellomarNextKey: nextKey,
  vellomarSaved: bytes => { stats.saves++; store(bytes); },
  vellomarCannotStart: text => say(text),
  print: text => console.log(text),
  printErr: text => console.error(text),
  onRuntimeInitialized: async () => {
    await keepFolder();
    fit();
    canvas.focus();
    say('Playing: the keys are below. Esc ends the game.');
    stats.started = true;
    await Module.ccall('main', 'number', [], [], { async: true });
    // Esc: the library's shutdown, the last frame kept.
    Module._allegro_exit();
    stats.ended = true;
    say('The game has ended. Reload the page to play again.');
  },
};
