// The site's files kept for offline play (a secure origin only: https or
// this machine), and a new build taken over. The service worker keeps each
// build's files under a name of their own; the browser looks for a new one
// at each visit, installs it beside the old, and the new worker takes
// over and deletes the old files, so the next visit runs the new build.
// The page's own thread is never kept busy by the game (it runs in a
// worker), which the browser needs for both.
export function keepOffline(counters) {
  if (!('serviceWorker' in navigator) || !window.isSecureContext) return;
  const first = navigator.serviceWorker.controller;
  navigator.serviceWorker.register('sw.js').catch(() => {});
  navigator.serviceWorker.addEventListener('controllerchange', () => {
    const now = navigator.serviceWorker.controller;
    // It controls the page as soon as it is activating; it has taken over
    // once its activation, which deletes the old files, is done.
    const taken = () => { counters.updated = !!first && now !== first && now.state === 'activated'; };
    if (!now || now.state === 'activated') taken();
    else now.addEventListener('statechange', taken);
  });
}
