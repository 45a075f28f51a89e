// What the page says: the status line beside the title, and what it says
// of where load.bmp is kept, above the board with the download at hand
// (nothing while all is well).
import { fit } from './board.js';

export function say(text) {
  document.getElementById('status').textContent = text;
}

export function tell(text) {
  document.getElementById('storage-text').textContent = text;
  document.getElementById('storage').hidden = !text;
  fit();
}

// Once the player first saves, the browser is asked to keep the site's
// storage rather than clear it when short of room; the page says what it
// answered.
export function askToKeep() {
  if (!navigator.storage || !navigator.storage.persist) return;
  navigator.storage.persist().then(granted => {
    document.getElementById('kept').textContent = granted
      ? 'This browser has agreed to keep it until this site\'s data is cleared.'
      : 'This browser may still clear it when it runs short of room: download a copy of a drawing you want to keep.';
  }, () => {});
}
