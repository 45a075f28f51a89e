// The game itself, in a worker of the page: the page's own thread stays
// free for the player's keys and touches, which come here as messages, and
// the board goes back to it as rows of pixels. The game's folder lives in
// this worker's memory; store.js keeps load.bmp in the browser's storage.
import createGame from './vellomar.js';
import { createStore } from './store.js';

const FOLDER = '/vellomar', SNAPSHOT = FOLDER + '/load.bmp';

// What the tests and the benchmark read, sent to the page as it changes.
const tally = { passes: 0, turns: 0, saves: 0, resting: false, taken: 0, keyDelays: [], newest: null,
  storing: 0, stored: 0, storeFailures: 0, storeTimes: [], storedBytes: 0 };
let tallySent = 0;
function sendTally() {
  tallySent = performance.now();
  postMessage({ type: 'tally', tally });
  tally.keyDelays = [];
  tally.storeTimes = [];
}

const tell = (kind, text) => postMessage({ type: kind, text });

let game = null;        // the game's module, once it runs
let most = 0, headerMost = 0;  // the largest file F2 reads; how much of its start the header check needs
let ended = false;
let hidden = false;      // the game waits: the page is hidden, or shown but the newest save not yet read
let pageHidden = false;
const keys = [];        // key events from the page, not yet taken by the game
let rouse = null;       // ends the game's rest, or its wait while the page is hidden

function wake() {
  const r = rouse;
  rouse = null;
  if (r) r();
}

// A message posted to ourselves comes back after what was waiting (the
// page's keys) has been handled.
const turnChannel = new MessageChannel();
let turnDone = null;
turnChannel.port1.onmessage = () => turnDone();

// The game's turn, every few milliseconds while it runs passes.
async function turn(passes) {
  tally.passes += passes;
  tally.turns++;
  await new Promise(resolve => { turnDone = resolve; turnChannel.port2.postMessage(0); });
  // A hidden page runs no passes until it is shown again; it then reads
  // the newest save, which another tab may have made meanwhile, before its
  // next F2.
  if (hidden) {
    tally.resting = true;
    sendTally();
    while (hidden) await new Promise(resolve => { rouse = resolve; });
    tally.resting = false;
  }
  if (performance.now() - tallySent > 50) sendTally();
}

// The game's rest: nothing happens until a key comes or the page is shown.
async function rest(passes) {
  tally.passes += passes;
  tally.resting = true;
  sendTally();
  while (!keys.length || hidden) await new Promise(resolve => { rouse = resolve; });
  tally.resting = false;
}

function nextKey() {
  const e = keys.shift();
  if (!e) return -1;
  // The page's clock and this worker's start at different times.
  tally.keyDelays.push(performance.timeOrigin + performance.now() - e.at);
  tally.taken++;
  return e.code;
}

// Rows of the board to the page, in a buffer it hands back once painted.
const spare = [];
function paint(rows, w, h, top) {
  let buffer = spare.pop();
  if (!buffer || buffer.byteLength < rows.length) buffer = new ArrayBuffer(w * h * 4);
  new Uint8Array(buffer).set(rows);
  postMessage({ type: 'frame', buffer, length: rows.length, w, h, top }, [buffer]);
}

// --- the checks of what becomes load.bmp ----------------------------------------

// `bytes` copied into the game's memory for `check`, if it can be.
function inGame(bytes, check) {
  const at = game._malloc(Math.max(1, bytes.length));
  if (!at) return false;
  try {
    game.HEAPU8.set(bytes, at);
    return check(at) !== 0;
  } finally {
    game._free(at);
  }
}

function headerReads(head, size) {
  const first = head.subarray(0, headerMost);
  return inGame(first, at => game._vellomar_header_readable(at, first.length, size));
}

// Whether F2 reads `bytes`: the header first, so that nothing more of a
// file that fails there is copied into the game's memory.
function reads(bytes) {
  return bytes.length <= most && headerReads(bytes, bytes.length) &&
    inGame(bytes, at => game._vellomar_readable(at, bytes.length));
}

// The folder's load.bmp becomes `bytes`: a new file in place of the old
// one, so that the game sees it is another file (F1 held saves again), and
// the old one's bytes are let go.
function adopt(bytes) {
  try { game.FS.unlink(SNAPSHOT); } catch (e) { /* none yet */ }
  game.FS.writeFile(SNAPSHOT, bytes);
}

// The store, once load.bmp has been read from it.
let store = null;
let storeRead;
const ready = new Promise(resolve => { storeRead = resolve; });

// A picture dropped or picked becomes load.bmp only if F2 could read it. A
// file over the game's bound is refused by its size, unread, and one whose
// header fails is read no further.
async function openPicture(file) {
  const refuse = why => tell('status', file.name + ' ' + why + ': load.bmp is left as it was.');
  if (ended) { refuse('was not opened, as the game has ended (reload the page to play)'); return; }
  if (file.size > most) { refuse('is too large (the game reads pictures up to ' + most / 1048576 + ' MB)'); return; }
  // F1 held (or tapped) saves the board over load.bmp in its next pass.
  const saving = () => game._vellomar_saving() !== 0;
  const busy = 'was not opened while F1 is held, as its next save would replace it at once (let F1 go, then drop it again)';
  if (saving()) { refuse(busy); return; }
  let bytes;
  try {
    const head = new Uint8Array(await file.slice(0, headerMost).arrayBuffer());
    if (!headerReads(head, file.size)) { refuse('is not a picture this game can read'); return; }
    bytes = new Uint8Array(await file.arrayBuffer());
  } catch (e) { refuse('could not be read'); return; }
  if (bytes.length !== file.size || !reads(bytes)) { refuse('is not a picture this game can read'); return; }
  if (saving()) { refuse(busy); return; }
  adopt(bytes);
  store.save(bytes);
  tell('status', file.name + ' is now load.bmp: F2 reads it, P pastes it.');
}

onmessage = e => {
  const m = e.data;
  if (m.type === 'key') {
    if (ended) return;
    keys.push(m);
    wake();
  } else if (m.type === 'shown') {
    // Shown again, the game goes on once it has read the newest save.
    pageHidden = m.hidden;
    if (pageHidden) hidden = true;
    else ready.then(() => store.refresh()).then(() => { if (!pageHidden) { hidden = false; sendTally(); wake(); } });
  } else if (m.type === 'frame') {
    spare.push(m.buffer);
  } else if (m.type === 'open') {
    ready.then(() => openPicture(m.file));
  } else if (m.type === 'file') {
    let bytes = null;
    try { bytes = game.FS.readFile(SNAPSHOT); } catch (err) { /* nothing saved yet */ }
    postMessage({ type: 'file', id: m.id, bytes }, bytes ? [bytes.buffer] : []);
  }
};

async function start() {
  let firstSave = true;
  game = await createGame({
    noInitialRun: true,
    vellomarPaint: paint,
    vellomarYield: turn,
    vellomarRest: rest,
    vellomarNextKey: nextKey,
    // The bytes are stored before the pass goes on: a reload, close or
    // crash of the tab after this pass keeps the save.
    vellomarSaved: bytes => { tally.saves++; store.save(bytes); },
    vellomarCannotStart: text => tell('status', text),
    print: text => console.log(text),
    printErr: text => console.error(text),
  });
  self.game = game;  // for the browser's console, and the tests
  game.FS.mkdir(FOLDER);
  game.FS.chdir(FOLDER);
  most = game._vellomar_max_file();
  headerMost = game._vellomar_header_most();
  store = createStore({
    most, headerMost, headerReads, reads, adopt, tell, tally, changed: sendTally,
    onSaved: key => { postMessage({ type: 'saved', key, first: firstSave }); firstSave = false; },
  });
  await store.start();
  storeRead();
  postMessage({ type: 'started' });
  await game.ccall('main', 'number', [], [], { async: true });
  // Esc: the library's shutdown, the last frame kept.
  game._allegro_exit();
  ended = true;
  sendTally();
  postMessage({ type: 'ended' });
}

start().catch(e => tell('status', 'Vellomar cannot start: ' + (e && e.message || e)));
