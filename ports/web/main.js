// The page around the game: it starts the game in a worker (game.js) and
// wires the page to it. Keys and touches go to the game as they come; the
// board, the game's words and its saves come back.
import * as board from './board.js';
import * as files from './files.js';
import * as keys from './keys.js';
import { askToKeep, say, tell } from './notes.js';
import { keepOffline } from './update.js';

// What the tests and the benchmark read: the game's counters as it last
// sent them, and the page's own.
const counters = { passes: 0, turns: 0, saves: 0, resting: false, taken: 0, sent: 0, keyDelays: [], newest: null,
  storing: 0, stored: 0, storeFailures: 0, storeTimes: [], storedBytes: 0, started: false, ended: false,
  boardAt: null, updated: false, file: files.snapshot };
window.vellomar = counters;

const game = new Worker('game.js', { type: 'module' });

keys.listen((code, at) => {
  counters.sent++;
  game.postMessage({ type: 'key', code, at });
});
keys.watch(board.fit);
files.watch(game);
board.fit();

// Hidden (another tab, the app switcher) lets go at once, however soon the
// page is shown again: a key let go meanwhile went to someone else. Shown
// again, the game reads the newest save, which another tab may have made.
document.addEventListener('visibilitychange', () => {
  if (document.hidden) keys.releaseAll();
  game.postMessage({ type: 'shown', hidden: document.hidden });
});
if (document.hidden) game.postMessage({ type: 'shown', hidden: true });

const handlers = {
  frame(m) {
    if (board.paint(new Uint8Array(m.buffer, 0, m.length), m.w, m.h, m.top))
      counters.boardAt = performance.now();  // since the page was asked for
    game.postMessage({ type: 'frame', buffer: m.buffer }, [m.buffer]);
  },
  tally(m) {
    // Delays and store times come as those since the last tally; the page keeps the last 1000.
    const recent = k => counters[k].concat(m.tally[k]).slice(-1000);
    Object.assign(counters, m.tally, { keyDelays: recent('keyDelays'), storeTimes: recent('storeTimes') });
  },
  status(m) { say(m.text); },
  storage(m) { tell(m.text); },
  file(m) { files.answered(m); },
  saved(m) {
    counters.newest = m.key;
    if (m.first) askToKeep();
    window.dispatchEvent(new CustomEvent('vellomar-saved', { detail: m.key }));
  },
  started() {
    board.fit();
    board.focus();
    say('Playing: the keys are below. Esc ends the game.');
    counters.started = true;
  },
  ended() {
    keys.end();
    counters.ended = true;
    say('The game has ended. Reload the page to play again.');
  },
};
game.onmessage = e => handlers[e.data.type](e.data);
game.onerror = e => say('Vellomar cannot start: ' + (e.message || 'this browser cannot run its game'));

keepOffline(counters);
