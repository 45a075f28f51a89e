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

// What the tests and the benchmark read.
const stats = { passes: 0, turns: 0, keyDelays: [], ended: false, syncs: 0, started: false };
window.vellomar = stats;

function say(text) { status.textContent = text; }

// --- the board --------------------------------------------------------------------

let image = null;

// Rows top..bottom of the game's screen onto the canvas.
function paint(rgba, w, h, top, bottom) {
  if (!image || image.width !== w || image.height !== h) {
    canvas.width = w;
    canvas.height = h;
    image = context.createImageData(w, h);
  }
  image.data.set(rgba.subarray(top * w * 4, (bottom + 1) * w * 4), top * w * 4);
  context.putImageData(image, 0, 0, 0, top, w, bottom - top + 1);
}

// The largest whole multiple of the board that fits the window: crisp, as
// the board's pixels are the picture.
function fit() {
  const room = document.documentElement.clientWidth - 16;
  const high = window.innerHeight - canvas.getBoundingClientRect().top - 8;
  const scale = Math.max(1, Math.floor(Math.min(room / canvas.width, high / canvas.height)));
  canvas.style.width = canvas.width * scale + 'px';
  canvas.style.height = canvas.height * scale + 'px';
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

async function turn(passes) {
  stats.passes += passes;
  stats.turns++;
  await new Promise(resolve => { wake = resolve; channel.port2.postMessage(0); });
  // A hidden page waits here, without a pass, until it is shown again.
  if (document.hidden) {
    releaseAll();
    await visible();
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
const held = new Set();
const pressedAs = new Map();  // event.code -> the scancode its press gave

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
  } else {
    held.delete(scancode);
    pressedAs.delete(event.code);
  }
  queue.push({ code: scancode | (pressed ? 256 : 0), at: event.timeStamp });
}
window.addEventListener('keydown', e => key(e, true));
window.addEventListener('keyup', e => key(e, false));

// A key held while the page loses the focus never sends its keyup.
function releaseAll() {
  for (const scancode of held) queue.push({ code: scancode, at: performance.now() });
  held.clear();
  pressedAs.clear();
}
window.addEventListener('blur', releaseAll);

function nextKey() {
  const e = queue.shift();
  if (!e) return -1;
  stats.keyDelays.push(performance.now() - e.at);
  if (stats.keyDelays.length > 1000) stats.keyDelays.shift();
  return e.code;
}

// --- load.bmp, kept in the browser -------------------------------------------------------

let kept = false;       // whether the browser keeps the folder
let syncing = false, again = false;

// One sync at a time, and at most one waiting behind it.
function sync() {
  if (!kept) return;
  if (syncing) { again = true; return; }
  syncing = true;
  FS.syncfs(false, error => {
    syncing = false;
    stats.syncs++;
    if (error) noStorage();
    if (again) { again = false; sync(); }
  });
}
window.addEventListener('pagehide', sync);

function noStorage() {
  kept = false;
  storageNote.textContent = 'This browser keeps nothing for this page (a private window, or storage ' +
    'turned off): load.bmp lasts until the page is closed. Use "Download load.bmp" to keep it.';
}

// Whether this browser lets the page keep anything at all: none in some
// private windows, and reading it throws where storage is refused.
function storageAllowed() {
  try { return !!window.indexedDB; } catch (e) { return false; }
}

function keepFolder() {
  FS.mkdir(FOLDER);
  FS.chdir(FOLDER);
  if (!storageAllowed()) {
    noStorage();
    return Promise.resolve();
  }
  return new Promise(resolve => {
    try {
      FS.mount(IDBFS, {}, FOLDER);
      FS.syncfs(true, error => {
        if (error) noStorage(); else kept = true;
        resolve();
      });
    } catch (e) {
      noStorage();
      resolve();
    }
  });
}

document.getElementById('download').addEventListener('click', () => {
  let bytes;
  try { bytes = FS.readFile(SNAPSHOT); } catch (e) { say('Nothing saved yet: F1 saves the board.'); return; }
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([bytes], { type: 'image/bmp' }));
  link.download = 'load.bmp';
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
});

// A picture dropped or picked becomes load.bmp: a new file renamed over the
// old one, so that the game sees it is another file; F2 then reads it with
// the same checks as any. Anything that is not a BMP at all leaves
// load.bmp as it was.
let dropped = 0;
async function take(file) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  if (bytes.length < 2 || bytes[0] !== 0x42 || bytes[1] !== 0x4d) {
    say(file.name + ' is not a BMP picture: load.bmp is left as it was.');
    return;
  }
  const tmp = FOLDER + '/.drop-' + (++dropped) + '.bmp';
  FS.writeFile(tmp, bytes);
  FS.rename(tmp, SNAPSHOT);
  sync();
  say(file.name + ' is now load.bmp: F2 reads it, P pastes it.');
}
document.getElementById('pick').addEventListener('change', e => {
  if (e.target.files[0]) take(e.target.files[0]);
  e.target.value = '';
  canvas.focus();
});
window.addEventListener('dragover', e => e.preventDefault());
window.addEventListener('drop', e => {
  e.preventDefault();
  if (e.dataTransfer.files[0]) take(e.dataTransfer.files[0]);
});

// --- the game -----------------------------------------------------------------------------

var Module = {
  noInitialRun: true,
  vellomarPaint: paint,
  vellomarYield: turn,
  vellomarNextKey: nextKey,
  vellomarSaved: sync,
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
    sync();
    say('The game has ended. Reload the page to play again.');
  },
};
