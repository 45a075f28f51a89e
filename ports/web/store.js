// load.bmp kept in the browser's storage (IndexedDB), shared by the tabs of
// the site. Each save is stored by itself the moment the game has made it:
// one put in its own transaction, committed at once, so that the bytes have
// left the game before its pass ends, and a reload, close or crash after it
// keeps them. Every save gets its own key, [time, tab], later than any good
// one this tab has seen, and its transaction deletes only what is older or
// of no use: a stale tab never deletes or replaces a newer save made
// elsewhere, whatever order the transactions land in. The newest record
// that holds a picture the game reads is load.bmp; nothing read back, from
// the store or another tab, is trusted before that check.
import { recordOf, unpack } from './codec.js';

const DB = 'vellomar', STORE = 'saves';
const DAY = 24 * 60 * 60 * 1000;

// Keys are made by the page: two finite numbers, a time and the tab's own,
// the time no later than a day ahead of the clock. Anything else (a key
// some other code wrote, or the clock far ahead once) takes no part.
export function keyShaped(key) {
  return Array.isArray(key) && key.length === 2 && Number.isFinite(key[0]) && Number.isFinite(key[1]) &&
    key[0] <= Date.now() + DAY;
}

// The later time, or at the same time the larger tab.
function later(a, b) { return a[0] > b[0] || (a[0] === b[0] && a[1] > b[1]); }

// `most`: the largest file the game reads. `headerReads(head, size)`: whether
// a file of `size` bytes that starts with `head` could be read, as far as
// its header tells; `reads(bytes)`: whether the game reads them as a
// picture. `adopt(bytes)`: they become the folder's load.bmp. `tell(kind,
// text)`: what the page should say ('status' or 'storage'); `tally`: the
// counters the tests read, and `changed()` sends them; `onSaved(key)`: a
// save is made.
export function createStore({ most, headerMost, headerReads, reads, adopt, tell: tellPage, tally, changed, onSaved }) {
  // The page hears only a change: a save stored after a stored one says nothing.
  let told = '';
  const tell = (kind, text) => { if (text !== told) { told = text; tellPage(kind, text); } };
  const TAB = Math.random();
  let db = null, opening = null;
  let newest = null;      // the key of the folder's load.bmp, or null
  let latest = null;      // the latest good key seen
  let refused = false;    // the browser keeps nothing for this page
  // Keys of records that take no part (of another shape, or damaged), to be
  // deleted with the next good save.
  const useless = new Map();
  let toldDamaged = false, failedKey = null, offered = null, offerTimer = 0;
  const tabs = typeof BroadcastChannel === 'function' ? new BroadcastChannel('vellomar') : null;

  function noteUseless(key) { useless.set(JSON.stringify(key), key); }

  // The file a record holds, if the game reads it; else null.
  function picture(record) {
    const bytes = unpack(record, most, headerReads, headerMost);
    return bytes && reads(bytes) ? bytes : null;
  }

  function take(key, bytes) {
    adopt(bytes);
    newest = tally.newest = key;
    if (!latest || later(key, latest)) latest = key;
    changed();
  }

  function damaged(found) {
    if (toldDamaged) return;
    toldDamaged = true;
    const when = found ? new Date(found[0]).toLocaleString() : null;
    tell('storage', when ? 'A damaged save was skipped; the one from ' + when + ' is load.bmp.'
                        : 'A damaged save was skipped; no other save was found.');
  }

  function open() {
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
        request.onerror = () => resolve(null);
        request.onblocked = () => {};
      }).finally(() => { opening = null; });
    }
    return opening;
  }

  // The newest good record in the store newer than the folder's load.bmp
  // becomes load.bmp; the records above it go with the next good save.
  async function readNewest() {
    const opened = await open();
    if (!opened) return;
    let skipped = false;
    const found = await new Promise(resolve => {
      let request;
      try {
        request = opened.transaction(STORE, 'readonly').objectStore(STORE).openCursor(null, 'prev');
      } catch (e) { resolve(null); return; }
      request.onerror = () => resolve(null);
      request.onsuccess = () => {
        const cursor = request.result;
        if (!cursor) { resolve(null); return; }
        const key = cursor.key;
        if (!keyShaped(key)) { noteUseless(key); cursor.continue(); return; }
        if (newest && !later(key, newest)) { resolve(null); return; }
        const bytes = picture(cursor.value);
        if (bytes) { take(key, bytes); resolve(key); return; }
        skipped = true;
        noteUseless(key);
        cursor.continue();
      };
    });
    if (skipped) damaged(found || newest);
  }

  // Earlier versions of this page kept the folder in a database of the
  // file system library's ('/vellomar'): its load.bmp is taken over, when
  // the game reads it, and that database deleted.
  function takeOver() {
    return new Promise(resolve => {
      let request;
      try { request = indexedDB.open('/vellomar'); } catch (e) { resolve(); return; }
      // None there: opening would make one, so the opening is abandoned.
      request.onupgradeneeded = () => request.transaction.abort();
      request.onerror = () => resolve();
      request.onsuccess = () => {
        const old = request.result;
        const done = () => { old.close(); resolve(); };
        try {
          const get = old.transaction('FILE_DATA', 'readonly').objectStore('FILE_DATA').get('/vellomar/load.bmp');
          get.onerror = done;
          get.onsuccess = () => {
            const entry = get.result, contents = entry && entry.contents;
            const bytes = contents instanceof Uint8Array && contents.length <= most ? new Uint8Array(contents) : null;
            if (!entry) { done(); return; }
            if (!bytes || !reads(bytes)) { damaged(null); done(); return; }
            const time = entry.timestamp instanceof Date ? entry.timestamp.getTime() : 0;
            take([Number.isFinite(time) ? Math.min(time, Date.now()) : 0, TAB], bytes);
            put(newest, recordOf(bytes), performance.now(), () => { indexedDB.deleteDatabase('/vellomar'); done(); }, done);
          };
        } catch (e) { done(); }
      };
    });
  }

  // Stores `record` under `key`, and deletes what is older and what takes
  // no part: in one transaction, so that the store always holds a good save
  // once it held one.
  function put(key, record, made, then = () => {}, failed = () => {}) {
    if (!db) {
      open().then(opened => opened ? put(key, record, made, then, failed)
                                   : (notStored(key, 'the browser would not open its storage'), failed()));
      return;
    }
    let tx;
    try {
      // Relaxed: written to the disk by the browser, as the desktop game's
      // saves are, without waiting for the disk to flush.
      tx = db.transaction(STORE, 'readwrite', { durability: 'relaxed' });
    } catch (e) {
      // Closed under us (the browser deleted the site's data): the next
      // save opens it again.
      db = null;
      notStored(key, e.message || e.name);
      failed();
      return;
    }
    const gone = [...useless.values()];
    tally.storing++;
    tx.oncomplete = () => {
      tally.storing--;
      tally.stored++;
      tally.storeTimes.push(performance.now() - made);
      tally.storedBytes += record.packed.length;
      for (const k of gone) useless.delete(JSON.stringify(k));
      stored(key);
      changed();
      then();
    };
    tx.onabort = () => {
      tally.storing--;
      const error = tx.error;
      notStored(key, error && error.name === 'QuotaExceededError' ? 'there is no room left for it'
                     : (error && (error.message || error.name)) || 'the browser gave it up');
      changed();
      failed();
    };
    try {
      const saves = tx.objectStore(STORE);
      saves.put(record, key);
      saves.delete(IDBKeyRange.upperBound(key, true));
      for (const k of gone) saves.delete(k);
      if (tx.commit) tx.commit();
    } catch (e) {
      // Its abort event says so; one that is not aborted yet is.
      try { tx.abort(); } catch (ignored) { /* aborted already */ }
    }
  }

  function notStored(key, why) {
    tally.storeFailures++;
    failedKey = key;
    tell('storage', 'This save could not be kept in the browser (' + why + '): it lasts only until ' +
      'the page is closed. Download it to keep it; the next save tries again.');
  }

  function stored(key) {
    // An older save stored after a newer one failed says nothing.
    if (failedKey && later(failedKey, key)) return;
    failedKey = null;
    tell('storage', '');
  }

  // A record another tab offers: the newest is looked at once the tab has
  // had a moment, so that one holding F1 does not make every other tab
  // check each of its saves.
  function offer(data) {
    if (!data || typeof data !== 'object' || !keyShaped(data.key)) return;
    if (!offered || later(data.key, offered.key)) offered = data;
    if (!offerTimer) offerTimer = setTimeout(takeOffered, 50);
  }
  function takeOffered() {
    offerTimer = 0;
    const o = offered;
    offered = null;
    if (!o || (newest && !later(o.key, newest))) return;
    const bytes = picture(o.record);
    if (bytes) take(o.key, bytes);
    else damaged(newest);
  }
  if (tabs) tabs.onmessage = e => offer(e.data);

  return {
    // At the start: load.bmp from the store, or from an earlier version's.
    async start() {
      let allowed;
      try { allowed = !!self.indexedDB; } catch (e) { allowed = false; }
      if (!allowed) {
        refused = true;
        tell('storage', 'This browser keeps nothing for this page (a private window, or storage ' +
          'turned off): load.bmp lasts until the page is closed. Download it to keep it.');
        return;
      }
      if (!await open()) {
        tell('storage', 'The browser would not open its storage for this page: a save lasts until ' +
          'the page is closed, unless a later one can be stored. Download it to keep it.');
        return;
      }
      await readNewest();
      if (!newest) await takeOver();
    },

    // Shown again: another tab may have saved meanwhile.
    refresh() { return refused ? Promise.resolve() : readNewest(); },

    // A save the game just made, or a picture taken as load.bmp: stored now.
    save(bytes) {
      const now = Date.now();
      // `latest` is never older than `newest` (take() and save() keep it so).
      const key = [latest && latest[0] >= now ? latest[0] + 1 : now, TAB];
      const record = recordOf(bytes);
      newest = latest = tally.newest = key;
      if (tabs) tabs.postMessage({ key, record });
      onSaved(key);
      if (!refused) put(key, record, performance.now());
    },
  };
}
