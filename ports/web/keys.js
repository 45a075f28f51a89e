// The keys: the keyboard's and the touch keys', as the game's scancodes.
// The keyboard and each finger on a touch key hold keys; the game sees a
// key go down with its first holder and up with its last, each change once.

// KeyboardEvent.code names the key's place, as the library's scancodes do.
export const SCANCODES = (() => {
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

// Where each change goes: sink(scancode | pressed << 8, time in ms since 1970).
let sink = () => {};
let ended = false;
const held = new Set();       // the keyboard's keys down, as scancodes
const pressedAs = new Map();  // event.code -> the scancode its press gave
const holders = new Map();    // scancode -> how many hold it
export const fingers = new Map();  // pointerId -> the scancodes it holds

// Sends the key changes to `to` from now on; what they went to before.
export function listen(to) {
  const was = sink;
  sink = to;
  return was;
}

const at = timeStamp => performance.timeOrigin + timeStamp;

function hold(scancode, time) {
  const n = holders.get(scancode) || 0;
  holders.set(scancode, n + 1);
  if (n === 0) sink(scancode | 256, at(time));
}

function letGo(scancode, time) {
  const n = holders.get(scancode) || 0;
  if (n > 1) holders.set(scancode, n - 1);
  else if (n === 1) {
    holders.delete(scancode);
    sink(scancode, at(time));
  }
}

export function key(event, pressed) {
  if (BROWSER_KEYS.has(event.code) || event.ctrlKey || event.metaKey) return;
  // A release lets go of what its press pressed, whatever the key gives now
  // (Shift let go first, a layout switched while it was held).
  const scancode = pressed ? (pressedAs.get(event.code) || scancodeOf(event)) : pressedAs.get(event.code);
  if (!scancode) return;
  if (GAME_KEYS.has(scancode)) event.preventDefault();
  if (event.repeat || ended) return;  // the browser's autorepeat: the game sees keys held
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

// A key held while the page loses the focus never sends its keyup, and a
// finger on a touch key may never lift where the page sees it.
export function releaseAll() {
  const now = performance.now();
  for (const scancode of held) letGo(scancode, now);
  held.clear();
  pressedAs.clear();
  for (const id of [...fingers.keys()]) touch(id, [], now);
}

// The game has ended: nothing is held any more, and nothing reaches it.
export function end() {
  releaseAll();
  ended = true;
}

// --- the touch keys -----------------------------------------------------------------

// Each finger holds the keys under it: a slide from one key to another lets
// the first go and presses the second; a corner of a pad holds both its
// keys. The game sees them exactly as keys of a keyboard.
const pads = document.getElementById('pads');
// Each touch key and its scancode, for lighting those held.
const padKeys = [...pads.querySelectorAll('[data-key]')].map(element => [element, SCANCODES[element.dataset.key]]);

function keysAt(x, y) {
  const element = document.elementFromPoint(x, y);
  const target = element && element.closest('[data-key], [data-keys]');
  if (!target || !pads.contains(target)) return [];
  return (target.dataset.key || target.dataset.keys).split(' ').map(code => SCANCODES[code]);
}

export function touch(id, keys, time) {
  const before = fingers.get(id) || [], scancodes = [...new Set(keys)];
  // A finger moving within its key, as most moves are, changes nothing.
  if (!ended && scancodes.length === before.length && scancodes.every(s => before.includes(s))) return;
  for (const s of before) if (!scancodes.includes(s)) letGo(s, time);
  if (!ended) for (const s of scancodes) if (!before.includes(s)) hold(s, time);
  if (fingers.has(id)) fingers.set(id, ended ? [] : scancodes);
  for (const [element, scancode] of padKeys) element.classList.toggle('down', holders.has(scancode));
}

// `fit`: lays the board out again once the pads are shown or hidden.
export function watch(fit) {
  window.addEventListener('keydown', e => key(e, true));
  window.addEventListener('keyup', e => key(e, false));
  window.addEventListener('blur', releaseAll);

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
  const button = document.getElementById('touch-keys');
  const show = shown => {
    if (!shown) releaseAll();
    pads.hidden = !shown;
    button.setAttribute('aria-pressed', String(shown));
    fit();
  };
  button.addEventListener('click', () => show(pads.hidden));
  window.addEventListener('pointerdown', e => { if (e.pointerType === 'touch' && pads.hidden) show(true); });
  if (window.matchMedia && window.matchMedia('(pointer: coarse)').matches) show(true);
}
