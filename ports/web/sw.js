// Keeps the site's files in the browser, so that after one visit the game
// starts with no network. The cache is named after the build's content
// (scripts/web.sh fills in the name and the files): a new build installs
// beside the old one, takes over, and deletes the old files, so the next
// visit runs the new one.
'use strict';

const CACHE = 'vellomar-@HASH@';
const FILES = [@FILES@];

// Each file asked of the host again, not taken from the browser's HTTP
// cache, which may still hold the last build's: the host answers "not
// modified", without the body, for what the page has just loaded.
self.addEventListener('install', event => {
  event.waitUntil(caches.open(CACHE)
    .then(cache => cache.addAll(FILES.map(file => new Request(file, { cache: 'no-cache' }))))
    .then(() => self.skipWaiting()));
});

self.addEventListener('activate', event => {
  event.waitUntil(caches.keys()
    .then(names => Promise.all(names.filter(n => n.startsWith('vellomar-') && n !== CACHE).map(n => caches.delete(n))))
    .then(() => self.clients.claim()));
});

// The site's own files from the cache; anything else, or a file it lacks,
// from the network.
self.addEventListener('fetch', event => {
  if (event.request.method !== 'GET') return;
  event.respondWith(caches.open(CACHE)
    .then(cache => cache.match(event.request, { ignoreSearch: true }))
    .then(hit => hit || fetch(event.request)));
});
