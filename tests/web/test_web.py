"""The browser build in headless Chromium, as a player uses it: real key
events through the DevTools protocol, pixels read back from the page.
    test_web.py SITE NATIVE_GAME
Needs an X display for the native game the board is compared with."""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from cdp import STARTED, Browser, Site  # noqa: E402

GREY, LIGHT_RED, BLACK, RED = (148, 149, 148), (255, 48, 49), (0, 0, 0), (255, 0, 0)
SNAPSHOT = '/vellomar/load.bmp'
passed = failed = 0


def check(name, ok, detail=''):
    global passed, failed
    if ok:
        passed += 1
        print('ok: ' + name)
    else:
        failed += 1
        print('FAILED: ' + name + (': ' + detail if detail else ''))


def bmp(w, h, colour_at):
    """A 24-bit BMP, bottom-up, of colour_at(x, y)."""
    row = (w * 3 + 3) & ~3
    pixels = b''.join(
        b''.join(bytes(reversed(colour_at(x, y))) for x in range(w)).ljust(row, b'\0') for y in reversed(range(h)))
    return (b'BM' + struct.pack('<IHHI', 54 + len(pixels), 0, 0, 54) +
            struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)


def native_board(game):
    """The native game's start screen, as its window shows it."""
    with tempfile.TemporaryDirectory() as folder:
        p = subprocess.Popen([os.path.abspath(game)], cwd=folder)
        try:
            window = subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--name', '^vellomar$'],
                                    capture_output=True, text=True, timeout=20).stdout.split()[0]
            # Mapped is not yet drawn: the start screen is there once the
            # grey dot is.
            shot = b''
            for _ in range(200):
                shot = subprocess.run(['import', '-window', window, '-depth', '8', 'rgb:-'], capture_output=True,
                                      timeout=20).stdout
                at = (15 * 640 + 15) * 3
                if len(shot) >= at + 3 and all(abs(a - b) <= 12 for a, b in zip(shot[at:at + 3], GREY)):
                    break
            return shot
        finally:
            p.kill()
            p.wait()


def drop(b, path, x=320, y=240):
    """A file dragged from the desktop and dropped on the page."""
    data = {'items': [], 'files': [path], 'dragOperationsMask': 1}
    for kind in ('dragEnter', 'dragOver', 'drop'):
        b.call('Input.dispatchDragEvent', type=kind, x=x, y=y, data=data)


def without_storage(b, site):
    """A browser that keeps nothing (a private window, storage refused)."""
    b.call('Page.addScriptToEvaluateOnNewDocument',
           source="Object.defineProperty(window, 'indexedDB', { get: () => undefined })")
    check('without storage the game still runs, and the page says so',
          b.open(site.url) and 'keeps nothing' in b.js("document.getElementById('storage').textContent"))
    b.tap('F1')
    check('without storage a save lasts for the visit',
          b.wait("(() => { try { return FS.stat('%s').size == 921654 } catch (e) { return false } })()" % SNAPSHOT))


NEWEST = 'JSON.stringify(window.vellomar.newest)'


def draw_and_save(b, arrow=None, wait=True):
    """Moves the grey dot, so that the board is new, and taps F1; the key of the save. A turn of the page
    runs a hundred passes or more, so a move may end at a limit and change nothing: the next direction is
    then tried."""
    for arrow in ([arrow] if arrow else []) + ['ArrowDown', 'ArrowRight', 'ArrowUp', 'ArrowLeft']:
        saves = b.js('window.vellomar.saves')
        b.press(arrow)
        b.wait('window.vellomar.passes > %d' % (b.js('window.vellomar.passes') + 100))
        b.release(arrow)
        b.tap('F1')
        if not wait:
            return None
        if b.wait('window.vellomar.saves > %d' % saves, 3):
            return b.js(NEWEST)
    return None


def fresh_visit(b, site):
    """The key of the load.bmp a new tab finds; the tab is closed again."""
    was = b.target, b.session
    tab = b.new_tab()
    try:
        return b.open(site.url) and b.js(NEWEST)
    finally:
        b.close_tab(tab)
        b.use(was)


def saves_kept(b, site):
    """Every save a pass made is kept: from the page's earlier versions, through a reload at once, other
    tabs, and a store that fails."""
    # A player's load.bmp from the version that kept the whole folder in the
    # file system library's own database is taken over, and that database goes.
    b.open(site.url)
    earlier = bmp(8, 8, lambda x, y: (0, 0, 255))
    b.js("new Promise(done => { const r = indexedDB.open('/vellomar', 21);"
         " r.onupgradeneeded = () => r.result.createObjectStore('FILE_DATA');"
         " r.onsuccess = () => { const tx = r.result.transaction('FILE_DATA', 'readwrite');"
         " tx.objectStore('FILE_DATA').put({ timestamp: new Date(), mode: 33206, contents: new Uint8Array(%s) },"
         " '%s'); tx.oncomplete = () => { r.result.close(); done(); }; }; })" % (list(earlier), SNAPSHOT))
    b.reload()
    check("an earlier version's load.bmp is taken over, and its database removed",
          b.file(SNAPSHOT) == earlier and b.wait("indexedDB.databases().then(d => !d.some(x => x.name == '/vellomar'))", 5)
          and fresh_visit(b, site) == b.js(NEWEST))
    for ms in (0, 20, 40, 60, 'crash'):
        reload = "setTimeout(() => location.reload(), %d);" % ms if ms != 'crash' else ''
        b.js("window.before = true; (() => { const saved = Module.vellomarSaved; Module.vellomarSaved = bytes => {"
             " saved(bytes); sessionStorage.setItem('made', %s); %s }; })()" % (NEWEST, reload))
        draw_and_save(b, wait=False)
        if ms == 'crash':  # the tab's process killed as soon as the save is made; a new tab looks
            b.wait("sessionStorage.getItem('made')", 5)
            made, crashed = b.js("sessionStorage.getItem('made')"), (b.target, b.session)
            renderers = lambda: {p['id'] for p in b.call('SystemInfo.getProcessInfo', session=False)['processInfo']
                                 if p['type'] == 'renderer'}
            killed = renderers()
            for pid in killed:
                os.kill(pid, signal.SIGKILL)
            end = time.monotonic() + 10
            while renderers() & killed and time.monotonic() < end:  # until the browser has seen it
                time.sleep(0.01)
            b.new_tab()
            b.close_tab(crashed)
            check('a crash of the tab once the save is made keeps it', b.open(site.url) and b.js(NEWEST) == made)
            continue
        reloaded = b.wait("!window.before && " + STARTED + " && sessionStorage.getItem('made')")
        check('a reload %d ms after the pass that saved keeps the save' % ms,
              reloaded and b.js(NEWEST) == b.js("sessionStorage.getItem('made')"),
              '%s, stored %s' % (b.js("sessionStorage.getItem('made')"), b.js(NEWEST)))
        b.js("sessionStorage.removeItem('made')")

    # Two tabs: whatever order they save, end, reload and close in, the
    # newest save is kept, and a tab shown again reads it before its next F2.
    a = b.target, b.session
    other = b.new_tab()
    b.open(site.url)
    newest = draw_and_save(b)
    b.use(a)
    b.tap('Escape', hold=0)
    b.wait('window.vellomar.ended')
    b.close_tab(other)
    check('a tab that never saved, ended after another saved, deletes nothing', fresh_visit(b, site) == newest)

    b.use(a)
    b.reload()
    draw_and_save(b, 'ArrowRight')  # A saves first, its grey line runs right
    other = b.new_tab()
    b.open(site.url)
    newest = draw_and_save(b, 'ArrowDown')  # then B: its line runs down
    b.use(a)
    read = b.js(NEWEST) == newest
    for code in ('Space', 'F2', 'KeyP'):
        b.tap(code)
    check('a tab shown again after another saved reads that save before its next F2',
          read and b.wait_pixel(15, 100, GREY))
    b.tap('Escape', hold=0)
    b.wait('window.vellomar.ended')
    b.close_tab(a)
    b.use(other)
    check('an older tab ended and closed after a newer save rolls nothing back', fresh_visit(b, site) == newest)
    b.reload()
    newest = draw_and_save(b)
    check('a reload, then a save in the same tab: that save is the newest', fresh_visit(b, site) == newest)

    # A store that fails is said; what was stored stays; the next save tries again.
    b.js("(() => { const put = IDBObjectStore.prototype.put; IDBObjectStore.prototype.put = function (...a) {"
         " const r = put.apply(this, a); if (window.failing) this.transaction.abort(); return r; }; })();"
         "window.failing = true")
    failures = b.js('window.vellomar.storeFailures')
    draw_and_save(b)
    storage = "document.getElementById('storage').textContent"
    check('a save the browser does not store is said, and "Download load.bmp" offered',
          b.wait('window.vellomar.storeFailures > %d' % failures) and
          'lasts only until the page is closed' in b.js(storage) and 'Download load.bmp' in b.js(storage) and
          b.js("!document.getElementById('storage').hidden"))
    check('a failed store leaves the save stored before it', fresh_visit(b, site) == newest)
    b.js('window.failing = false')
    newest = draw_and_save(b)
    check('the next save is stored, and the page says no more of the failure',
          b.wait('window.vellomar.stored > 0 && !window.vellomar.storing') and
          b.js("document.getElementById('storage').hidden") and fresh_visit(b, site) == newest)


def key_centre(b, code):
    """Where on the page the touch key for `code` has its middle."""
    return b.js("(() => { const r = document.querySelector('[data-key=%s]').getBoundingClientRect();"
                " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % code)


def touch_keys(b, site):
    """Phones and tablets: the whole board and the touch keys on screen, and the touch keys play as keys do."""
    def centre(code):
        return key_centre(b, code)

    def fingers(kind, *codes):  # one finger on each key named, or all lifted
        b.call('Input.dispatchTouchEvent', type=kind,
                touchPoints=[{'x': x, 'y': y, 'id': i} for i, (x, y) in enumerate(map(centre, codes))])

    def tap(code):
        fingers('touchStart', code)
        fingers('touchEnd')

    def lines(test):  # waits until the counts of grey and light-red pixels on the board pass `test`
        return b.wait("(() => { const d = document.getElementById('board').getContext('2d')"
                      ".getImageData(0, 0, 640, 480).data; let grey = 0, red = 0;"
                      " for (let i = 0; i < d.length; i += 4) { if (d[i] == 148 && d[i + 1] == 149) grey++;"
                      " else if (d[i] == 255 && d[i + 1] == 48) red++; } return %s; })()" % test)

    # The keyboard and fingers, in random orders, against a model: a key is
    # down for the game while anything holds it, and each change reaches the
    # game once. Run in one turn of the page, the game's queue put back after.
    b.open(site.url)
    diverged = b.js("""(() => {
      let seed = 1; const random = n => (seed = (seed * 1103515245 + 12345) % 2147483648) % n;
      const codes = ['KeyW', 'KeyA', 'ArrowUp', 'Space'], start = queue.length;
      const board = new Set(), keyboard = new Set(), touching = new Map();
      for (let step = 0; step < 5000; step++) {
        const code = codes[random(4)], other = codes[random(4)], id = random(3), op = random(10);
        if (op < 4) key({ code, key: code.startsWith('Key') ? code[3].toLowerCase() : code == 'Space' ? ' ' : code,
                          repeat: false, timeStamp: 0, preventDefault() {} }, op < 2);
        else if (op < 6 || op == 8) {  // a finger put down or slid, as the pads' handlers do
          if (!fingers.has(id)) fingers.set(id, []);
          touch(id, op < 6 ? [SCANCODES[code]] : [SCANCODES[code], SCANCODES[other]], 0);
        } else if (op < 8) {  // lifted
          if (fingers.has(id)) touch(id, [], 0);
          fingers.delete(id);
        }
        else releaseAll();
        if (op < 2) keyboard.add(code); else if (op < 4) keyboard.delete(code);
        else if (op < 9) touching.set(id, op < 6 ? [code] : op < 8 ? [] : [code, other]);
        else { keyboard.clear(); touching.clear(); }
        for (const e of queue.splice(start)) {
          const down = e.code >= 256, c = e.code & 255;
          if (down === board.has(c)) return 'step ' + step + ': a change the game had already seen';
          if (down) board.add(c); else board.delete(c);
        }
        const want = new Set([...keyboard, ...[...touching.values()].flat()].map(c => SCANCODES[c]));
        if (want.size != board.size || [...want].some(c => !board.has(c))) return 'step ' + step + ': the game sees other keys';
      }
      releaseAll();
      queue.splice(start);
      return '';
    })()""")
    check('keys from the keyboard and fingers together act as the model of holders says', diverged == '', diverged)
    b.call('Emulation.setTouchEmulationEnabled', enabled=True, maxTouchPoints=5)
    for device, w, h in (('a phone upright', 390, 844), ('a phone on its side', 844, 390), ('a tablet', 820, 1180)):
        b.call('Emulation.setDeviceMetricsOverride', width=w, height=h, deviceScaleFactor=2, mobile=True)
        b.open(site.url)
        check('on %s the whole board and the touch keys are on screen, nothing scrolls sideways' % device,
              b.js("(() => { const inside = e => { const r = e.getBoundingClientRect(); return r.left >= 0 &&"
                   " r.top >= 0 && r.right <= innerWidth && r.bottom <= innerHeight; };"
                   " return inside(document.getElementById('board')) && [...document.querySelectorAll('#pads [data-key]')]"
                   ".every(inside) && document.documentElement.scrollWidth <= innerWidth; })()"))
        fingers('touchStart', 'ArrowDown')
        check('on %s holding the touch Down key draws' % device, b.wait_pixel(15, 100, GREY))
        fingers('touchEnd')
        fingers('touchStart', 'KeyW')
        up = b.wait_pixel(625, 300, LIGHT_RED)
        b.call('Input.dispatchTouchEvent', type='touchMove', touchPoints=[dict(zip('xy', centre('KeyA')), id=0)])
        check('on %s a finger slid from W to A turns the light-red dot' % device,
              up and b.wait("(() => { const c = document.getElementById('board').getContext('2d');"
                            " for (let y = 0; y < 480; y++) { const d = c.getImageData(400, y, 1, 1).data;"
                            " if (d[0] == 255 && d[1] == 48) return true; } return false; })()"))
        fingers('touchEnd')
        tap('Space')
        cleared = lines('grey < 200 && red < 200')  # the dots alone
        fingers('touchStart', 'ArrowRight', 'KeyS')
        check('on %s two fingers move both dots' % device, cleared and lines('grey > 300 && red > 300'))
        fingers('touchEnd')
        saves = b.js('window.vellomar.saves')
        tap('F1')
        saved = b.wait('window.vellomar.saves > %d' % saves)
        tap('Space')
        cleared = lines('grey < 200 && red < 200')
        tap('F2')
        tap('KeyP')
        check('on %s the touch F1, Space, F2 and P bring the drawing back' % device,
              saved and cleared and lines('grey > 300 && red > 300'))
    # A touch the browser takes back (a system gesture) lets its keys go.
    fingers('touchStart', 'ArrowUp', 'KeyD')
    down = "document.querySelector('[data-key=%s]').classList.contains('down')"
    held = b.wait(down % 'ArrowUp') and b.wait(down % 'KeyD')
    b.call('Input.dispatchTouchEvent', type='touchCancel', touchPoints=[])
    check('a cancelled touch lets its keys go', held and b.wait('!(%s) && !(%s)' % (down % 'ArrowUp', down % 'KeyD')))
    b.call('Emulation.clearDeviceMetricsOverride')
    b.call('Emulation.setTouchEmulationEnabled', enabled=False)


def installed_offline(site_root):
    """The site as an app: installable, and after one visit it starts with no network."""
    site, b = Site(site_root), Browser()
    try:
        b.open(site.url)
        errors = b.call('Page.getInstallabilityErrors').get('installabilityErrors')
        check('the page can be installed as an app', errors == [], str(errors))
        kept = b.wait('navigator.serviceWorker.controller !== null')
        site.close()  # no network from here on
        check('after one visit the game starts with no network', kept and b.reload())
    finally:
        b.close()


def new_build(site_root):
    """A new build on the same address: the next visit takes it over while the
    game runs, and the visit after runs it, with only its files kept."""
    root = tempfile.mkdtemp(prefix='vellomar-site-')
    shutil.copytree(site_root, root, dirs_exist_ok=True)
    site, b = Site(root), Browser()
    caches = "caches.keys().then(k => k.join(' '))"
    try:
        b.open(site.url)
        b.wait(STARTED)
        b.wait('navigator.serviceWorker.controller !== null')
        old = b.js(caches)
        for name, change in (('page.js', lambda s: s + '\nwindow.newBuild = true;\n'),
                             ('sw.js', lambda s: s.replace("const CACHE = 'vellomar-", "const CACHE = 'vellomar-new"))):
            with open(os.path.join(root, name), 'r+') as f:
                text = change(f.read())
                f.seek(0)
                f.write(text)
        b.reload()
        took = b.wait('window.vellomar.updated', 40)
        after = b.js(caches)
        check('a new build takes over on the next visit, with the game running',
              took and after.startswith('vellomar-new') and ' ' not in after, '%s, then %s (%s)' % (old, after, took))
        b.reload()
        check('the visit after runs the new build', b.wait('window.newBuild === true', 5))
    finally:
        b.close()
        site.close()
        shutil.rmtree(root)


def full_disk(site):
    """The browser's profile on a full disk: the failure is said, and once room is back saves are stored."""
    if os.geteuid() != 0:
        print('skipped: the full-disk check mounts a small file system, which needs root')
        return
    folder = tempfile.mkdtemp(prefix='vellomar-full-')
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64m', 'tmpfs', folder], check=True)
    b = None
    try:
        b = Browser(folder)
        b.open(site.url)
        newest = draw_and_save(b)
        b.wait('window.vellomar.stored > 0 && !window.vellomar.storing')
        filler = os.path.join(folder, 'filler')
        subprocess.run(['dd', 'if=/dev/zero', 'of=' + filler, 'bs=1M'], stderr=subprocess.DEVNULL)
        draw_and_save(b)
        check('on a full disk the page says the save is not kept',
              b.wait('window.vellomar.storeFailures > 0', 20) and
              'lasts only until' in b.js("document.getElementById('storage').textContent"))
        os.remove(filler)
        newest = draw_and_save(b)
        b.wait('!window.vellomar.storing')
        check('room back, the next save is stored and kept', fresh_visit(b, site) == newest)
    finally:
        if b:
            b.close()
        subprocess.run(['umount', '-l', folder])
        os.rmdir(folder)


def main(site_root, native):
    site = Site(site_root)
    for test in (run, without_storage, saves_kept, touch_keys):
        b = Browser()
        try:
            test(b, site, native) if test is run else test(b, site)
        finally:
            b.close()
    full_disk(site)
    site.close()
    installed_offline(site_root)
    new_build(site_root)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


def run(b, site, native):
    check('the page starts the game', b.open(site.url))
    ours, theirs = b.board(), native_board(native)
    differ = sum(1 for i in range(0, min(len(ours), len(theirs)), 3) if ours[i:i + 3] != theirs[i:i + 3])
    check('board, dots and help text are the native game\'s, pixel for pixel',
          len(theirs) == len(ours) == 640 * 480 * 3 and differ == 0, '%d pixels differ' % differ)

    # Lines to the limits, and a dot at its limit holding back the keys after it.
    b.press('ArrowRight')
    check('Right draws a line to the limit', b.wait_pixel(634, 15, GREY) and b.pixel(300, 15) == list(GREY))
    b.press('KeyS')
    b.settle()
    check('a dot held at its limit holds back the keys after it', b.pixel(625, 474) == list(BLACK))
    b.release('ArrowRight')
    check('let go, the keys after it act again', b.wait_pixel(625, 474, LIGHT_RED))
    b.release('KeyS')

    b.tap('Space')
    check('Space clears the lines, not the dots',
          b.wait_pixel(300, 15, BLACK) and b.wait_pixel(629, 15, GREY) and b.wait_pixel(625, 469, LIGHT_RED))

    # Letter keys act by their label on any layout, and on one without Latin
    # letters by their US place; a release lets go of what its press pressed.
    left = lambda: b.js("(() => { const c = document.getElementById('board').getContext('2d');"
                        " for (let x = 0; x < 640; x++) { const d = c.getImageData(x, 11, 1, 1).data;"
                        " if (d[0] > 240 && d[1] > 30 && d[1] < 70) return x; } return -1; })()")
    passes = lambda: b.wait('window.vellomar.turns > %d' % (b.js('window.vellomar.turns') + 10))
    b.press('KeyZ', 'w')  # AZERTY's W
    check('AZERTY: the key labelled W acts as W', b.wait_pixel(625, 6, LIGHT_RED))  # the top limit
    b.release('KeyZ', 'w')
    b.press('KeyA', '\u0444')  # Russian: the key at A's place
    check('Russian: the key at A\'s US place acts as A', b.wait_pixel(450, 11, LIGHT_RED))
    b.release('KeyA', 'a')  # the layout switched while it was held
    stood = passes() and left()
    b.press('KeyS', 'o')  # Dvorak's O and E, at the US places of S and D
    b.press('KeyD', 'e')
    passes()
    b.release('KeyD', 'e')
    b.release('KeyS', 'o')
    check('a release lets go of its press\'s key, and unlabelled places do nothing',
          passes() and left() == stood and b.pixel(stood + 5, 30) == list(BLACK),
          'the dot moved from %s to %s' % (stood, left()))
    b.press('Semicolon', 's')  # Dvorak's S
    check('Dvorak: the key labelled S acts as S', b.wait_pixel(stood + 5, 100, LIGHT_RED))
    b.release('Semicolon', 's')

    # F1 opens no help tab, and no key scrolls the page, even a small one.
    b.call('Emulation.setDeviceMetricsOverride', width=700, height=360, deviceScaleFactor=1, mobile=False)
    pages = lambda: len([t for t in b.call('Target.getTargets', session=False)['targetInfos'] if t['type'] == 'page'])
    before = pages()
    for code in ('F1', 'ArrowDown', 'Space', 'PageDown', 'ArrowUp'):
        b.tap(code)
    b.settle()
    check('F1 opens no help tab', pages() == before)
    check('the game\'s keys do not scroll the page', b.js('window.scrollY') == 0,
          'scrolled to %s' % b.js('window.scrollY'))
    b.call('Emulation.clearDeviceMetricsOverride')

    # F1, F2 and P, and the snapshot kept through a reload. The grey dot
    # stands at the right edge now.
    b.press('ArrowDown')
    b.wait_pixel(629, 200, GREY)
    b.release('ArrowDown')
    b.tap('F1')
    check('F1 saves a 640 x 480 snapshot', b.wait("(() => { try { return FS.stat('%s').size == 921654 } "
                                                   "catch (e) { return false } })()" % SNAPSHOT))
    check('the first save asks the browser to keep it, and the page says what it answered',
          b.wait("document.getElementById('kept').textContent.includes('This browser')"))
    b.tap('Space')
    b.wait_pixel(629, 200, BLACK)
    b.tap('F2')
    b.tap('KeyP', key='\u0437')  # Russian: the key at P's place
    check('F2 and P bring the saved board back', b.wait_pixel(629, 200, GREY))
    saved = b.file(SNAPSHOT)
    b.wait('window.vellomar.stored > 0 && !window.vellomar.storing')
    check('a reload keeps load.bmp', b.reload() and b.file(SNAPSHOT) == saved)

    # The download gives the file's bytes.
    b.js("document.querySelector('.download').click()")
    path = os.path.join(b.downloads, 'load.bmp')
    end = time.monotonic() + 10
    while time.monotonic() < end and not (os.path.exists(path) and os.path.getsize(path) == len(saved)):
        time.sleep(0.05)
    check('"Download load.bmp" gives the file\'s bytes', os.path.exists(path) and open(path, 'rb').read() == saved)

    # A dropped picture becomes load.bmp only if F2 could read it, and pastes
    # with its magenta left out; anything else leaves load.bmp as it was, says
    # why, and the game runs on.
    with tempfile.TemporaryDirectory() as folder:
        good = bmp(100, 100, lambda x, y: (255, 0, 255) if x >= 50 and y >= 50 else (255, 0, 0))
        files = {'notes.txt': b'not a picture\n', 'zeros.bmp': b'BM' + bytes(1 << 20),
                 'cut.bmp': good[:len(good) // 2], 'picture.bmp': good}
        for name, data in files.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
        with open(os.path.join(folder, 'huge.bmp'), 'wb') as f:  # sparse: never read
            f.truncate(300 << 20)
        b.tap('Space')
        stored = b.js('JSON.stringify(window.vellomar.newest)')
        for name, why in (('notes.txt', 'not a picture this game can read'),
                          ('zeros.bmp', 'not a picture this game can read'),
                          ('cut.bmp', 'not a picture this game can read'), ('huge.bmp', 'too large')):
            drop(b, os.path.join(folder, name))
            check('a dropped %s is refused as %s, load.bmp kept' % (name, why),
                  b.wait("document.getElementById('status').textContent.startsWith('%s %s')" % (name, 'is ' + why)) and
                  b.file(SNAPSHOT) == saved and b.js('JSON.stringify(window.vellomar.newest)') == stored)
        drop(b, os.path.join(folder, 'picture.bmp'))
        check('a dropped BMP becomes load.bmp, and is stored',
              b.wait("document.getElementById('status').textContent.includes('is now load.bmp')") and
              b.file(SNAPSHOT) == good and b.wait('window.vellomar.stored > 0 && !window.vellomar.storing'))
        b.tap('F2')
        b.tap('KeyP')
        check('the dropped BMP is pasted', b.wait_pixel(25, 75, RED))
        check('its magenta leaves the board as it was', b.pixel(75, 75) == list(BLACK))
        b.js("FS.writeFile('/vellomar/.drop.bmp', new TextEncoder().encode('BM but no picture'));"
             "FS.rename('/vellomar/.drop.bmp', '%s')" % SNAPSHOT)
        b.tap('Space')
        b.wait_pixel(25, 75, BLACK)
        b.tap('F2')
        b.tap('KeyP')
        b.settle()
        nothing = b.pixel(25, 75) == list(BLACK)
        b.press('ArrowDown')  # the reload put the grey dot back at its start
        check('a load.bmp that is no picture gives nothing to paste, and the game runs on',
              nothing and b.wait_pixel(15, 300, GREY))
        b.release('ArrowDown')

    # A hidden page stops passing, and goes on when it is shown again.
    other = b.call('Target.createTarget', url='about:blank', session=False)['targetId']
    b.call('Target.activateTarget', targetId=other, session=False)
    hidden = b.wait('document.hidden', 5)
    turns = b.js('window.vellomar.turns')
    time.sleep(0.5)
    check('a hidden page does not pass', hidden and b.js('window.vellomar.turns') - turns <= 1)
    b.call('Target.activateTarget', targetId=b.target, session=False)
    check('shown again, it goes on', b.wait('!document.hidden && window.vellomar.turns > %d' % (turns + 5), 5))

    # A key held while the page loses the focus is let go.
    b.press('ArrowDown')
    held = b.wait_pixel(15, 474, GREY)
    b.call('Target.activateTarget', targetId=other, session=False)
    b.wait('document.hidden', 5)
    b.call('Target.activateTarget', targetId=b.target, session=False)
    b.wait('!document.hidden', 5)
    b.call('Target.closeTarget', targetId=other, session=False)
    b.tap('Space')
    check('losing the focus lets go of a held key', held and b.wait_pixel(15, 300, BLACK, timeout=5))

    # In a large window the board is shown at the largest whole multiple that fits.
    b.call('Emulation.setDeviceMetricsOverride', width=1500, height=1200, deviceScaleFactor=1, mobile=False)
    check('a large window shows the board twice as large, crisp',
          b.wait("document.getElementById('board').style.width == '1280px'", 5) and
          b.js("getComputedStyle(document.getElementById('board')).imageRendering") == 'pixelated')
    b.call('Emulation.clearDeviceMetricsOverride')

    b.tap('Escape', hold=0)
    check('Esc ends the game, and the page says so',
          b.wait('window.vellomar.ended') and 'has ended' in b.js("document.getElementById('status').textContent"))


if __name__ == '__main__':
    signal.alarm(300)  # a page that stops answering fails the run instead of stalling it
    sys.exit(main(sys.argv[1], sys.argv[2]))
