// load.bmp in and out of the page: the download, and a picture dropped on
// the page or picked, which the game checks before it becomes load.bmp.
import { focus } from './board.js';
import { say } from './notes.js';

let game = null;
let asked = 0;
const answers = new Map();  // request -> its answer's resolve

// The folder's load.bmp, as bytes, or null while there is none.
export function snapshot() {
  const id = ++asked;
  return new Promise(resolve => {
    answers.set(id, resolve);
    game.postMessage({ type: 'file', id });
  });
}

// The game's answer to a snapshot() request.
export function answered(m) {
  const resolve = answers.get(m.id);
  answers.delete(m.id);
  if (resolve) resolve(m.bytes);
}

export function watch(worker) {
  game = worker;
  for (const button of document.querySelectorAll('.download')) button.addEventListener('click', async () => {
    const bytes = await snapshot();
    if (!bytes) { say('Nothing saved yet: F1 saves the board.'); return; }
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([bytes], { type: 'image/bmp' }));
    link.download = 'load.bmp';
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  });
  const open = file => game.postMessage({ type: 'open', file });
  document.getElementById('pick').addEventListener('change', e => {
    if (e.target.files[0]) open(e.target.files[0]);
    e.target.value = '';
    focus();
  });
  window.addEventListener('dragover', e => e.preventDefault());
  window.addEventListener('drop', e => {
    e.preventDefault();
    if (e.dataTransfer.files[0]) open(e.dataTransfer.files[0]);
  });
}
