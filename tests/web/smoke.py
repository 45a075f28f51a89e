"""A short run of the page in another engine, as a player uses it: the board
appears, a held key draws, F1, Space, F2 and P bring the drawing back, a
reload keeps load.bmp, Esc ends it.
    smoke.py SITE firefox|webkit"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from cdp import STARTED, Site, wait  # noqa: E402
import tally  # noqa: E402
from tally import check, verdict  # noqa: E402

GREY = (148, 149, 148)


def pixel_is(x, y, colour):
    return ("(() => { const d = document.getElementById('board').getContext('2d').getImageData(%d, %d, 1, 1).data;"
            " return [0, 1, 2].every(i => Math.abs(d[i] - %s[i]) <= 12); })()" % (x, y, list(colour)))


def tap(b, code):
    b.key(code, True)
    time.sleep(0.05)
    b.key(code, False)


def smoke(b, site, engine):
    b.navigate(site.url)
    check('%s: the board appears' % engine, wait(b, STARTED) and wait(b, pixel_is(15, 15, GREY)))
    b.key('ArrowDown', True)
    check('%s: a held key draws' % engine, wait(b, pixel_is(15, 100, GREY)))
    b.key('ArrowDown', False)
    # The dot rests at row 95 or below (WebKit runs dozens of passes a
    # turn, so where is a matter of timing): the clear and the paste are
    # seen on the line well above it, where the dot never stamps.
    saves = b.js('window.vellomar.saves')
    tap(b, 'F1')
    saved = wait(b, 'window.vellomar.saves > %d && !window.vellomar.storing && window.vellomar.stored > 0' % saves)
    tap(b, 'Space')
    cleared = wait(b, pixel_is(15, 60, (0, 0, 0)))
    tap(b, 'F2')
    tap(b, 'KeyP')
    check('%s: F1, Space, F2 and P bring the drawing back' % engine,
          saved and cleared and wait(b, pixel_is(15, 60, GREY)))
    kept = b.js('JSON.stringify(window.vellomar.newest)')
    b.reload()
    check('%s: a reload keeps load.bmp' % engine,
          wait(b, STARTED) and b.js('JSON.stringify(window.vellomar.newest)') == kept != 'null')
    b.key('Escape', True)
    b.key('Escape', False)
    check('%s: Esc ends it' % engine, wait(b, 'window.vellomar.ended'))


def main(site_root, engine):
    if engine == 'firefox':
        from bidi import Firefox as Engine
    else:
        from webdriver import WebKit as Engine
    site = Site(site_root)
    b = Engine()
    try:
        smoke(b, site, engine)
    finally:
        b.close()
        if tally.failed and hasattr(b, 'said'):
            print('what %s said:\n%s' % (engine, b.said()))
        site.close()
    return verdict()


if __name__ == '__main__':
    import signal
    signal.alarm(180)
    sys.exit(main(sys.argv[1], sys.argv[2]))
