"""The browser build in headless Chromium, as a player uses it: real key
events and touches through the DevTools protocol, pixels read back from the
page. Each case starts a browser of its own and runs alone:
    test_web.py SITE NATIVE_GAME [CASE...]
Needs an X display for the native game the board is compared with."""

import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from cdp import STARTED, Browser, Site, until  # noqa: E402
from tally import check, verdict  # noqa: E402

GREY, LIGHT_RED, BLACK, RED = (148, 149, 148), (255, 48, 49), (0, 0, 0), (255, 0, 0)
NEWEST = 'JSON.stringify(window.vellomar.newest)'
STATUS = "document.getElementById('status').textContent"
STORAGE = "document.getElementById('storage').textContent"


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
            # Mapped is not yet drawn: the start screen is there once the grey dot is.
            at = (15 * 640 + 15) * 3
            shot = lambda: subprocess.run(['import', '-window', window, '-depth', '8', 'rgb:-'],
                                          capture_output=True, timeout=20).stdout
            return until(lambda: (lambda s: s if len(s) >= at + 3 and all(
                abs(a - b) <= 12 for a, b in zip(s[at:at + 3], GREY)) else None)(shot()), 20) or b''
        finally:
            p.kill()
            p.wait()


def drop(b, path, x=320, y=240):
    """A file dragged from the desktop and dropped on the page."""
    data = {'items': [], 'files': [path], 'dragOperationsMask': 1}
    for kind in ('dragEnter', 'dragOver', 'drop'):
        b.call('Input.dispatchDragEvent', type=kind, x=x, y=y, data=data)


def draw_and_save(b, arrow=None, wait=True):
    """Moves the grey dot, so that the board is new, and taps F1; the key of the save. A move may end at a
    limit and change nothing: the next direction is then tried."""
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


def stored(b):
    return b.wait('window.vellomar.stored > 0 && !window.vellomar.storing')


def fresh_visit(b, site):
    """The key of the load.bmp a new tab finds; the tab is closed again."""
    was = b.target, b.session
    tab = b.new_tab()
    try:
        return b.open(site.url) and b.js(NEWEST)
    finally:
        b.close_tab(tab)
        b.use(was)


def in_store(b, site, script):
    """Runs `script` (its IndexedDB database open as `db`, awaited) in a page of the site's origin that is
    not the game; the game's page comes back after."""
    b.call('Page.navigate', url=site.url + 'LICENSE.txt')
    b.wait("document.readyState == 'complete' && location.pathname.endsWith('LICENSE.txt')")
    result = b.js("new Promise((done, fail) => { const r = indexedDB.open('vellomar', 1);"
                  " r.onupgradeneeded = () => r.result.createObjectStore('saves');"
                  " r.onsuccess = async () => { const db = r.result;"
                  " try { done(await (async () => { %s })()); } catch (e) { fail(e); } finally { db.close(); } }; })"
                  % script)
    return result


# What a script in the store's page can use: `put(key, record)` and `all()` (the keys, JSON).
STORE_HELPERS = ("const tx = m => db.transaction('saves', m).objectStore('saves');"
                 " const ask = r => new Promise(d => { r.onsuccess = () => d(r.result); });"
                 " const put = (k, v) => ask(tx('readwrite').put(v, k));"
                 " const all = async () => JSON.stringify(await ask(tx('readonly').getAllKeys()));")


def renderer_kb(b):
    """What the browser's page processes hold in memory, in kB, once the page's garbage (and its game's worker's,
    where it has one) is collected."""
    b.call('HeapProfiler.collectGarbage')
    try:
        b.call('HeapProfiler.collectGarbage', session=b.game_session())
    except (IndexError, RuntimeError):
        pass  # an earlier page, with its game on the page's own thread
    total = 0
    for p in b.call('SystemInfo.getProcessInfo', session=False)['processInfo']:
        if p['type'] == 'renderer':
            try:
                with open('/proc/%d/status' % p['id']) as f:
                    total += int(re.search(r'^VmRSS:\s+(\d+)', f.read(), re.M).group(1))
            except OSError:
                pass
    return total


# --- the cases ----------------------------------------------------------------------

def board_and_keys(b, site, native):
    """The board is the native game's, the keys act as on the desktop, on every layout, and Esc ends it."""
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
    b.press('KeyZ', 'w')  # AZERTY's W
    check('AZERTY: the key labelled W acts as W', b.wait_pixel(625, 6, LIGHT_RED))  # the top limit
    b.release('KeyZ', 'w')
    b.press('KeyA', '\u0444')  # Russian: the key at A's place
    check('Russian: the key at A\'s US place acts as A', b.wait_pixel(450, 11, LIGHT_RED))
    b.release('KeyA', 'a')  # the layout switched while it was held
    stood = b.settle() and left()
    b.press('KeyS', 'o')  # Dvorak's O and E, at the US places of S and D
    b.press('KeyD', 'e')
    b.settle()
    b.release('KeyD', 'e')
    b.release('KeyS', 'o')
    check('a release lets go of its press\'s key, and unlabelled places do nothing',
          b.settle() and left() == stood and b.pixel(stood + 5, 30) == list(BLACK),
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
    # In a large window the board is shown at the largest whole multiple that fits.
    b.call('Emulation.setDeviceMetricsOverride', width=1500, height=1200, deviceScaleFactor=1, mobile=False)
    check('a large window shows the board twice as large, crisp',
          b.wait("document.getElementById('board').style.width == '1280px'", 5) and
          b.js("getComputedStyle(document.getElementById('board')).imageRendering") == 'pixelated')
    b.call('Emulation.clearDeviceMetricsOverride')

    b.tap('Escape', hold=0)
    check('Esc ends the game, and the page says so',
          b.wait('window.vellomar.ended') and 'has ended' in b.js(STATUS))


def rest(b, site, native):
    """With no key held the game runs no turns; it wakes for a key, and for the page shown again."""
    b.open(site.url)
    turns = b.wait('window.vellomar.resting') and b.js('window.vellomar.turns')
    time.sleep(1)  # the second the game is to spend without a turn
    check('at rest the page counts no turns for a second', b.js('window.vellomar.turns') == turns)
    b.press('ArrowDown')
    check('from rest a held key draws', b.wait_pixel(15, 100, GREY))

    # A hidden page lets its keys go and rests; shown again it goes on.
    other = b.call('Target.createTarget', url='about:blank', session=False)['targetId']
    b.call('Target.activateTarget', targetId=other, session=False)
    hidden = b.wait('document.hidden', 5) and b.wait('window.vellomar.resting')
    passes = b.js('window.vellomar.passes')
    time.sleep(0.5)
    check('a hidden page lets its keys go and runs no passes', hidden and b.js('window.vellomar.passes') == passes)
    b.call('Target.activateTarget', targetId=b.target, session=False)
    b.call('Target.closeTarget', targetId=other, session=False)
    b.press('KeyA')
    check('shown again, it goes on', b.wait('!document.hidden', 5) and b.wait_pixel(500, 465, LIGHT_RED))
    b.release('KeyA')
    b.release('ArrowDown')


def snapshots(b, site, native):
    """F1, F2 and P; load.bmp kept through a reload; the download."""
    b.open(site.url)
    b.press('ArrowDown')
    b.wait_pixel(15, 200, GREY)
    b.release('ArrowDown')
    b.tap('F1')
    check('F1 saves a 640 x 480 snapshot', until(lambda: len(b.file() or b'') == 921654))
    check('the first save asks the browser to keep it, and the page says what it answered',
          b.wait("document.getElementById('kept').textContent.includes('This browser')"))
    b.tap('Space')
    b.wait_pixel(15, 150, BLACK)
    b.tap('F2')
    b.tap('KeyP', key='\u0437')  # Russian: the key at P's place
    check('F2 and P bring the saved board back', b.wait_pixel(15, 150, GREY))
    saved = b.file()
    stored(b)
    check('a reload keeps load.bmp', b.reload() and b.file() == saved)
    b.js("document.querySelector('.download').click()")
    path = os.path.join(b.downloads, 'load.bmp')
    check('"Download load.bmp" gives the file\'s bytes',
          until(lambda: os.path.exists(path) and open(path, 'rb').read() == saved, 10))


def drops(b, site, native):
    """A dropped picture becomes load.bmp only if F2 could read it, and pastes with its magenta left out;
    anything else, or a drop that a held F1 would overwrite, leaves load.bmp as it was and says why."""
    b.open(site.url)
    draw_and_save(b)
    stored(b)
    saved = b.file()
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
        stored_key = b.js(NEWEST)
        memory = b.game_js('game.HEAPU8.length')
        for name, why in (('notes.txt', 'not a picture this game can read'),
                          ('zeros.bmp', 'not a picture this game can read'),
                          ('cut.bmp', 'not a picture this game can read'), ('huge.bmp', 'too large')):
            drop(b, os.path.join(folder, name))
            check('a dropped %s is refused as %s, load.bmp kept' % (name, why),
                  b.wait("%s.startsWith('%s is %s')" % (STATUS, name, why)) and
                  b.file() == saved and b.js(NEWEST) == stored_key)
        check('a refused drop is not copied into the game\'s memory', b.game_js('game.HEAPU8.length') == memory)
        b.press('F1')
        drop(b, os.path.join(folder, 'picture.bmp'))
        check('a drop while F1 is held is refused, as F1 would save over it',
              b.wait("%s.includes('while F1 is held')" % STATUS) and b.file() != good)
        b.release('F1')
        # Until a pass has taken F1 its press still saves over load.bmp, and a
        # drop is refused: so does a player's, let go of F1 and dropped at once.
        b.settle()
        drop(b, os.path.join(folder, 'picture.bmp'))
        check('a dropped BMP becomes load.bmp, and is stored',
              b.wait("%s.includes('is now load.bmp')" % STATUS) and b.file() == good and stored(b), b.js(STATUS))
        b.tap('F2')
        b.tap('KeyP')
        check('the dropped BMP is pasted', b.wait_pixel(25, 75, RED))
        check('its magenta leaves the board as it was', b.pixel(75, 75) == list(BLACK))
    # F2 of a file that is no picture (no page puts one there; the game
    # itself is what is tested here) holds nothing to paste.
    b.game_js("game.FS.unlink('load.bmp'), game.FS.writeFile('load.bmp', new TextEncoder().encode('BM no picture'))")
    b.tap('Space')
    b.wait_pixel(25, 75, BLACK)
    b.tap('F2')
    b.tap('KeyP')
    b.settle()
    nothing = b.pixel(25, 75) == list(BLACK)
    b.press('KeyW')
    check('a load.bmp that is no picture gives nothing to paste, and the game runs on',
          nothing and b.wait_pixel(625, 100, LIGHT_RED))
    b.release('KeyW')


def without_storage(b, site, native):
    """A browser that keeps nothing (a private window, storage refused)."""
    b.call('Page.addScriptToEvaluateOnNewDocument',
           source="Object.defineProperty(window, 'indexedDB', { get: () => undefined })")
    b.call('Target.setAutoAttach', autoAttach=True, waitForDebuggerOnStart=True, flatten=True)
    b.call('Page.navigate', url=site.url)
    # The game's worker is held at its start until storage is gone there too.
    # The service worker is held as well, and may start first: it answers
    # nothing while held, so the game's is picked by its type, and both go on.
    attached = lambda: {e['params']['sessionId']: e['params']['targetInfo']['type'] for e in b.events
                        if e.get('method') == 'Target.attachedToTarget' and e.get('sessionId') == b.session}
    worker = until(lambda: b.js('1') and [s for s, kind in attached().items() if kind == 'worker'])
    b.call('Runtime.evaluate', expression="Object.defineProperty(self, 'indexedDB', { get: () => undefined })",
           session=worker[0])
    b.call('Target.setAutoAttach', autoAttach=True, waitForDebuggerOnStart=False, flatten=True)
    b.js('1')  # takes in what attached meanwhile
    for held in attached():
        b.call('Runtime.runIfWaitingForDebugger', session=held)
    check('without storage the game still runs, and the page says so',
          b.wait(STARTED) and 'keeps nothing' in b.js(STORAGE))
    b.tap('F1')
    check('without storage a save lasts for the visit', until(lambda: len(b.file() or b'') == 921654))


def saves_kept(b, site, native):
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
         " '/vellomar/load.bmp'); tx.oncomplete = () => { r.result.close(); done(); }; }; })" % list(earlier))
    b.reload()
    check("an earlier version's load.bmp is taken over, and its database removed",
          b.file() == earlier and b.wait("indexedDB.databases().then(d => !d.some(x => x.name == '/vellomar'))", 5)
          and fresh_visit(b, site) == b.js(NEWEST))
    for ms in (0, 20, 40, 60, 'crash'):
        reload = "setTimeout(() => location.reload(), %d);" % ms if ms != 'crash' else ''
        b.js("window.before = true; addEventListener('vellomar-saved', e => {"
             " sessionStorage.setItem('made', JSON.stringify(e.detail)); %s }, { once: true })" % reload)
        draw_and_save(b, wait=False)
        if ms == 'crash':  # the tab's process killed as soon as the save is made; a new tab looks
            b.wait("sessionStorage.getItem('made')", 5)
            made, crashed = b.js("sessionStorage.getItem('made')"), (b.target, b.session)
            renderers = lambda: {p['id'] for p in b.call('SystemInfo.getProcessInfo', session=False)['processInfo']
                                 if p['type'] == 'renderer'}
            killed = renderers()
            for pid in killed:
                os.kill(pid, signal.SIGKILL)
            until(lambda: not renderers() & killed, 10)  # until the browser has seen it
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
    read = b.wait('%s == %r' % (NEWEST, newest), 5)
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
    b.game_js("(() => { const put = IDBObjectStore.prototype.put; IDBObjectStore.prototype.put = function (...a) {"
              " const r = put.apply(this, a); if (self.failing) this.transaction.abort(); return r; }; })();"
              "self.failing = true")
    failures = b.js('window.vellomar.storeFailures')
    draw_and_save(b)
    check('a save the browser does not store is said, and "Download load.bmp" offered',
          b.wait('window.vellomar.storeFailures > %d' % failures) and
          'lasts only until the page is closed' in b.js(STORAGE) and 'Download load.bmp' in b.js(STORAGE) and
          b.js("!document.getElementById('storage').hidden"))
    check('a failed store leaves the save stored before it', fresh_visit(b, site) == newest)
    b.game_js('self.failing = false')
    newest = draw_and_save(b)
    check('the next save is stored, and the page says no more of the failure',
          stored(b) and b.js("document.getElementById('storage').hidden") and fresh_visit(b, site) == newest)


def varint(v):
    out = []
    while v > 127:
        out.append(v % 128 | 128)
        v //= 128
    return out + [v]


# Records that are not what a save of the game's makes, from `good` (a record of it): each stored above
# it, or offered by another tab, must be passed over.
DAMAGED = {
    'cut short': "({ ...good, packed: good.packed.slice(0, good.packed.length >> 1) })",
    'longer than it holds': "({ ...good, size: good.size + 1000 })",
    'shorter than it holds': "({ ...good, size: good.size - 1000 })",
    'with no row': "({ ...good, row: 0 })",
    'a string': "'hello'",
    'null': "null",
    'an Array for bytes': "({ ...good, packed: Array.from(good.packed) })",
    'a Blob for bytes': "({ ...good, packed: new Blob([good.packed]) })",
    'of size -5': "({ ...good, size: -5 })",
    'of size 1e12': "({ ...good, size: 1e12 })",
    'holding no picture': "({ size: 5, row: 0, packed: new Uint8Array(%s) })" % ([20] + list(b'hello')),
    'of 12 bytes claiming 1e9': "({ size: 1e9, row: 0, packed: new Uint8Array(%s) })"
                                % ([12] + list(b'BM\0') + varint(4 * (10 ** 9 - 3) + 1) + [0, 0, 0])[:12],
    'of 9 bytes unpacking to 250 MB': "({ size: 250e6, row: 0, packed: new Uint8Array(%s) })"
                                      % ([12] + list(b'BM\0') + varint(4 * (250 * 10 ** 6 - 3) + 1)),
}


def damaged_store(b, site, native):
    """Whatever the store holds, the newest good save is load.bmp: damaged records and keys of another shape
    are passed over (the page says so), cost no time for what they claim, and go with the next good save."""
    b.open(site.url)
    good_key = draw_and_save(b)
    stored(b)
    good = b.file()
    with_good = STORE_HELPERS + " const key = %s, good = await ask(tx('readonly').get(key));" % good_key
    for n, (kind, record) in enumerate(DAMAGED.items()):
        in_store(b, site, with_good + " await put([key[0] + %d, 0.5], %s);" % (n + 1, record))
        t0 = time.monotonic()
        started = b.open(site.url)
        check('a record %s above a good save: the game starts at once, load.bmp is the good save, and the page'
              ' says one was skipped' % kind,
              started and time.monotonic() - t0 < 5 and b.file() == good and
              'damaged save was skipped' in b.js(STORAGE), '%.1f s, %s' % (time.monotonic() - t0, b.js(STORAGE)))
    # Keys no page of the game makes take no part, and later saves win over them.
    in_store(b, site, with_good + " for (const k of [['zzz', 0], [[1], 0], [Date.now() + 1e11, 0], [Infinity, 0]])"
             " await put(k, good);")
    b.open(site.url)
    newest = draw_and_save(b)
    check('keys of another shape (a string, arrays, Infinity, a time far ahead): a later save still wins',
          fresh_visit(b, site) == newest and b.reload() and b.js(NEWEST) == newest)
    check('a new key is finite, and no later than the clock allows',
          0 < b.js('window.vellomar.newest[0]') <= time.time() * 1000 + 60000)
    stored(b)
    check('the next good save stores away every record that takes no part',
          in_store(b, site, STORE_HELPERS + " return all();") == '[%s]' % newest.replace(' ', ''))


def tabs_checked(b, site, native):
    """What another tab sends is checked as the store's records are: junk and bombs over the tabs' channel
    are passed over, with no freeze and no memory kept."""
    b.open(site.url)
    good_key = draw_and_save(b)
    stored(b)
    good, before = b.file(), renderer_kb(b)
    game = b.target, b.session
    sender = b.new_tab()
    b.call('Page.navigate', url=site.url + 'LICENSE.txt')
    b.wait("document.readyState == 'complete'")
    b.js("window.tabs = new BroadcastChannel('vellomar'); window.good = new Promise(d => {"
         " const r = indexedDB.open('vellomar'); r.onsuccess = () => { const g = r.result.transaction('saves')"
         ".objectStore('saves').get(%s); g.onsuccess = () => { d(g.result); r.result.close(); }; }; })" % good_key)
    b.use(game)
    for n, (kind, record) in enumerate(list(DAMAGED.items()) + [('of no shape at all', None)]):
        message = "'junk'" if record is None else "{ key: [Date.now() + %d, 0.5], record: %s }" % (n + 1, record)
        b.call('Runtime.evaluate', expression="window.good.then(good => window.tabs.postMessage(%s))" % message,
               awaitPromise=True, session=sender[1])
        b.press('ArrowDown')
        turns = b.js('window.vellomar.turns')
        going = b.wait('window.vellomar.turns > %d' % (turns + 5), 1)
        b.release('ArrowDown')
        check('a record %s from another tab: load.bmp is kept, and the game goes on within a second' % kind,
              going and b.settle() and b.file() == good)
    b.close_tab(sender)
    grown = renderer_kb(b) - before
    check('and memory stays flat', grown < 50000, '%d MB more' % (grown // 1000))


def sweep_saving(b, going):
    """F1 held while both dots sweep the board, a key pair for a few turns at a time, while going()."""
    b.press('F1')
    sweep = [('ArrowRight', 'KeyA'), ('ArrowDown', 'KeyW'), ('ArrowLeft', 'KeyD'), ('ArrowDown', 'KeyW'),
             ('ArrowUp', 'KeyS')]
    while going():
        for keys in sweep:
            for k in keys:
                b.press(k)
            b.wait('window.vellomar.turns > %d' % (b.js('window.vellomar.turns') + 4))
            for k in keys:
                b.release(k)
    b.release('F1')


def memory(b, site, native):
    """F1 held while both dots sweep the board: every save replaces load.bmp's bytes, keeping no old ones."""
    b.open(site.url)
    # What the first saves make once (the game's buffers grown to hold a
    # picture, the store's first transactions) is not growth: a second first.
    t0 = time.monotonic()
    sweep_saving(b, lambda: time.monotonic() - t0 < 1)
    b.wait('window.vellomar.resting && !window.vellomar.storing', 30)
    before, saves, t0 = renderer_kb(b), b.js('window.vellomar.saves'), time.monotonic()
    sweep_saving(b, lambda: time.monotonic() - t0 < 5)
    b.wait('window.vellomar.resting && !window.vellomar.storing', 30)
    grown, made = renderer_kb(b) - before, b.js('window.vellomar.saves') - saves
    files = b.game_js("(() => { let n = 0; for (let node of game.FS.nameTable) for (; node; node = node.name_next)"
                      " n += node.name == 'load.bmp'; return n; })()")
    check('5 s of F1 held while drawing: memory grows by less than 50 MB over %d saves' % made,
          made > 50 and grown < 50000, '%d MB more' % (grown // 1000))
    check('and the page\'s files hold one load.bmp', files == 1, '%d of them' % files)
def key_centre(b, code):
    """Where on the page the touch key for `code` has its middle."""
    return b.js("(() => { const r = document.querySelector('[data-key=%s]').getBoundingClientRect();"
                " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % code)


def touch_keys(b, site, native):
    """Phones and tablets: the whole board and the touch keys on screen, and the touch keys play as keys do."""
    def fingers(kind, *codes):  # one finger on each key named, or all lifted
        b.call('Input.dispatchTouchEvent', type=kind,
               touchPoints=[{'x': x, 'y': y, 'id': i} for i, (x, y) in enumerate(key_centre(b, c) for c in codes)])

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
    # game once. The changes are caught on their way to the game.
    b.open(site.url)
    diverged = b.js("""import('./keys.js').then(({ key, touch, releaseAll, fingers, listen, SCANCODES }) => {
      let seed = 1; const random = n => (seed = (seed * 1103515245 + 12345) % 2147483648) % n;
      const codes = ['KeyW', 'KeyA', 'ArrowUp', 'Space'], seen = [], game = listen(code => seen.push(code));
      const board = new Set(), keyboard = new Set(), touching = new Map();
      try {
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
          for (const e of seen.splice(0)) {
            const down = e >= 256, c = e & 255;
            if (down === board.has(c)) return 'step ' + step + ': a change the game had already seen';
            if (down) board.add(c); else board.delete(c);
          }
          const want = new Set([...keyboard, ...[...touching.values()].flat()].map(c => SCANCODES[c]));
          if (want.size != board.size || [...want].some(c => !board.has(c))) return 'step ' + step + ': the game sees other keys';
        }
        return '';
      } finally {
        releaseAll();
        listen(game);
      }
    })""")
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
        b.wait('window.vellomar.resting')
        fingers('touchStart', 'ArrowDown')
        check('on %s holding the touch Down key draws, from rest' % device, b.wait_pixel(15, 100, GREY))
        fingers('touchEnd')
        fingers('touchStart', 'KeyW')
        up = b.wait_pixel(625, 300, LIGHT_RED)
        b.call('Input.dispatchTouchEvent', type='touchMove', touchPoints=[dict(zip('xy', key_centre(b, 'KeyA')), id=0)])
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


def full_disk(b, site, native):
    """The browser's profile on a full disk: the failure is said, and once room is back saves are stored."""
    if os.geteuid() != 0:
        print('skipped: the full-disk check mounts a small file system, which needs root')
        return
    b.close()
    folder = tempfile.mkdtemp(prefix='vellomar-full-')
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64m', 'tmpfs', folder], check=True)
    b = None
    try:
        b = Browser(folder)
        b.open(site.url)
        draw_and_save(b)
        stored(b)
        filler = os.path.join(folder, 'filler')
        subprocess.run(['dd', 'if=/dev/zero', 'of=' + filler, 'bs=1M'], stderr=subprocess.DEVNULL)
        draw_and_save(b)
        check('on a full disk the page says the save is not kept',
              b.wait('window.vellomar.storeFailures > 0', 20) and 'lasts only until' in b.js(STORAGE))
        os.remove(filler)
        newest = draw_and_save(b)
        b.wait('!window.vellomar.storing')
        check('room back, the next save is stored and kept', fresh_visit(b, site) == newest)
    finally:
        if b:
            b.close()
        subprocess.run(['umount', '-l', folder])
        os.rmdir(folder)


def installed_offline(b, site, native):
    """The site as an app: installable, and after one visit it starts with no network."""
    site = Site(site.root)
    b.open(site.url)
    errors = b.call('Page.getInstallabilityErrors').get('installabilityErrors')
    check('the page can be installed as an app', errors == [], str(errors))
    kept = b.wait('navigator.serviceWorker.controller !== null')
    site.close()  # no network from here on
    check('after one visit the game starts with no network', kept and b.reload())


def new_build(b, site, native):
    """A new build on the same address: the next visit takes it over while the game rests, and the visit
    after runs it, with only its files kept."""
    root = tempfile.mkdtemp(prefix='vellomar-site-')
    shutil.copytree(site.root, root, dirs_exist_ok=True)
    site = Site(root)
    caches = "caches.keys().then(k => k.join(' '))"
    try:
        b.open(site.url)
        b.wait('navigator.serviceWorker.controller !== null')
        old = b.js(caches)
        for name, change in (('main.js', lambda s: s + '\nwindow.newBuild = true;\n'),
                             ('sw.js', lambda s: s.replace("const CACHE = 'vellomar-", "const CACHE = 'vellomar-new"))):
            with open(os.path.join(root, name), 'r+') as f:
                text = change(f.read())
                f.seek(0)
                f.write(text)
        b.reload()
        took = b.wait('window.vellomar.updated', 20)
        after = b.js(caches)
        check('a new build takes over on the next visit, while the game rests',
              took and b.js('window.vellomar.resting') and after.startswith('vellomar-new') and ' ' not in after,
              '%s, then %s (%s)' % (old, after, took))
        b.reload()
        check('the visit after runs the new build', b.wait('window.newBuild === true', 5))
    finally:
        site.close()
        shutil.rmtree(root)


CASES = [board_and_keys, rest, snapshots, drops, without_storage, saves_kept, damaged_store, tabs_checked, memory,
         touch_keys, full_disk, installed_offline, new_build]


def main(site_root, native, names):
    site = Site(site_root)
    for case in [c for c in CASES if not names or c.__name__ in names]:
        b = Browser()
        try:
            case(b, site, native)
        except Exception as e:  # a case that breaks fails, and the others still run
            check(case.__name__ + ' ran to its end', False, repr(e))
        finally:
            b.close()
    site.close()
    return verdict()


if __name__ == '__main__':
    signal.alarm(900)  # a page that stops answering fails the run instead of stalling it
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
