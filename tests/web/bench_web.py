"""The browser build's benchmark, in headless Chromium on this machine.
- idle passes per second, against the native game's (bench_pass), in
  alternating rounds of one run;
- the time from a key event to the game's key state;
- the time from the pass that saved to the save being stored, and what
  5 s of F1 held while drawing writes (what the page stores, and what the
  browser's processes write to the disk);
- the time from a touch on a touch key to the game's key state, on a phone;
- first visits (a new profile each), to the board and the bytes sent, as
  the files are and precompressed, beside the native game's start; a
  second visit with no network;
- turns and idle passes a second in Firefox and WebKit;
- the size of the WebAssembly.
    bench_web.py SITE NATIVE_BENCH_PASS NATIVE_BENCH_LATENCY"""

import os
import random
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from cdp import STARTED, Browser, Site, wait  # noqa: E402
from test_web import draw_and_save, key_centre  # noqa: E402

ROUNDS = 8


def native_rate(bench_pass):
    out = subprocess.run([bench_pass, '1', '2000'], capture_output=True, text=True, check=True).stdout
    return float(re.search(r'real (\d+)', out).group(1))


def disk_written(b):
    """Bytes the browser's processes have written to the disk so far."""
    total = 0
    for process in b.call('SystemInfo.getProcessInfo', session=False)['processInfo']:
        try:
            with open('/proc/%d/io' % process['id']) as f:
                total += int(re.search(r'^write_bytes: (\d+)', f.read(), re.M).group(1))
        except OSError:
            pass
    return total


def touches(b, site):
    b.call('Emulation.setTouchEmulationEnabled', enabled=True, maxTouchPoints=5)
    b.call('Emulation.setDeviceMetricsOverride', width=390, height=844, deviceScaleFactor=2, mobile=True)
    b.open(site.url)
    x, y = key_centre(b, 'ArrowDown')
    b.js('window.vellomar.keyDelays.length = 0')
    # At random moments, as a finger comes: a touch sent as soon as the last
    # one is seen would come at the same point of the game's turn each time.
    pause = random.Random(1)
    for _ in range(100):
        b.call('Input.dispatchTouchEvent', type='touchStart', touchPoints=[{'x': x, 'y': y, 'id': 0}])
        b.wait('window.vellomar.keyDelays.length % 2 == 1')
        time.sleep(pause.uniform(0, 0.05))
        b.call('Input.dispatchTouchEvent', type='touchEnd', touchPoints=[])
        b.wait('window.vellomar.keyDelays.length % 2 == 0')
        time.sleep(pause.uniform(0, 0.05))
    delays = b.js('window.vellomar.keyDelays')
    print('touch to key state, on a phone: median %.1f ms, max %.1f ms over %d touches and lifts (target: median <= 20 ms)'
          % (statistics.median(delays), max(delays), len(delays)))
    b.call('Emulation.clearDeviceMetricsOverride')
    b.call('Emulation.setTouchEmulationEnabled', enabled=False)


def first_visits(site_root, bench_latency, runs=5):
    print(subprocess.run([bench_latency, 'start', str(runs)], capture_output=True, text=True, check=True)
          .stdout.strip().replace('start to board', 'native game: start to board'))
    for precompressed in (False, True):
        times, to_board, in_all, offline = [], [], [], []
        for _ in range(runs):
            site, b = Site(site_root, precompressed=precompressed), Browser()
            try:
                b.open(site.url)
                times.append(b.js('window.vellomar.boardAt'))
                to_board.append(site.sent)
                b.wait('navigator.serviceWorker.controller !== null')
                in_all.append(site.sent)
                site.close()
                if b.reload():
                    offline.append(b.js('window.vellomar.boardAt'))
            finally:
                b.close()
        print('first visit%s: to the board median %.0f ms, max %.0f ms over %d new profiles; %.0f KB sent to the '
              'board, %.0f KB with the offline copy'
              % (', precompressed' if precompressed else '', statistics.median(times), max(times), runs,
                 statistics.median(to_board) / 1000, statistics.median(in_all) / 1000))
        if not precompressed:
            print('second visit, no network: to the board median %.0f ms over %d' % (statistics.median(offline),
                                                                                   len(offline)))


def other_engines(site_root):
    from bidi import Firefox
    from webdriver import WebKit
    for name, Engine in (('Firefox', Firefox), ('WebKit', WebKit)):
        site, b = Site(site_root), Engine()
        try:
            b.navigate(site.url)
            wait(b, STARTED)
            turns, passes, t0 = b.js('window.vellomar.turns'), b.js('window.vellomar.passes'), time.monotonic()
            time.sleep(3)
            elapsed = time.monotonic() - t0
            print('%s: %.0f turns a second, %.0f idle passes a second; board %.0f ms after a new profile asked'
                  % (name, (b.js('window.vellomar.turns') - turns) / elapsed,
                     (b.js('window.vellomar.passes') - passes) / elapsed, b.js('window.vellomar.boardAt')))
        finally:
            b.close()
            site.close()


def main(site_root, bench_pass, bench_latency):
    first_visits(site_root, bench_latency)
    other_engines(site_root)
    site = Site(site_root)
    b = Browser()
    try:
        if not b.open(site.url):
            print('the page did not start the game')
            return 1
        web, native = [], []
        for _ in range(ROUNDS):
            native.append(native_rate(bench_pass))
            start, t0 = b.js('window.vellomar.passes'), time.monotonic()
            time.sleep(1.5)
            web.append((b.js('window.vellomar.passes') - start) / (time.monotonic() - t0))
        ratios = [w / n for w, n in zip(web, native)]
        print('idle passes per second: browser %.0f, native %.0f (%d rounds, alternating)'
              % (statistics.median(web), statistics.median(native), ROUNDS))
        print('  ratio browser/native: %.3f overall, %.3f median of rounds (target >= 0.95)'
              % (sum(web) / sum(native), statistics.median(ratios)))

        b.js('window.vellomar.keyDelays.length = 0')
        for _ in range(50):
            b.tap('KeyQ', hold=0.02)
            time.sleep(0.03)
        time.sleep(0.2)
        delays = b.js('window.vellomar.keyDelays')
        print('key event to key state: median %.1f ms, max %.1f ms over %d events (target: median <= 20 ms)'
              % (statistics.median(delays), max(delays), len(delays)))
        turns, t0 = b.js('window.vellomar.turns'), time.monotonic()
        time.sleep(3)
        print('Chromium: %.0f turns a second' % ((b.js('window.vellomar.turns') - turns) / (time.monotonic() - t0)))
        touches(b, site)

        for _ in range(50):
            b.tap('Space')
            stored = b.js('window.vellomar.stored')
            draw_and_save(b)
            b.wait('window.vellomar.stored > %d' % stored, 10)
        times = b.js('window.vellomar.storeTimes')[-50:]
        print('pass that saved to the save stored: median %.1f ms, max %.1f ms over %d saves'
              % (statistics.median(times), max(times), len(times)))

        # F1 held while both dots sweep the board, a row at a time: each key is
        # held for one browser turn, a hundred passes or more.
        bytes_before, disk_before = b.js('window.vellomar.storedBytes'), disk_written(b)
        saves, passes, t0 = b.js('window.vellomar.saves'), b.js('window.vellomar.passes'), time.monotonic()
        b.press('F1')
        sweep = [('ArrowRight', 'KeyA'), ('ArrowDown', 'KeyW'), ('ArrowLeft', 'KeyD'), ('ArrowDown', 'KeyW'),
                 ('ArrowUp', 'KeyS')]
        while time.monotonic() - t0 < 5:
            for keys in sweep:
                for k in keys:
                    b.press(k)
                b.wait('window.vellomar.turns > %d' % b.js('window.vellomar.turns'))
                for k in keys:
                    b.release(k)
        b.release('F1')
        elapsed = time.monotonic() - t0
        b.wait('!window.vellomar.storing', 30)
        print('5 s of F1 held while drawing: %d saves in %d passes (%.0f passes a second); stored %.1f MB packed, '
              'the browser wrote %.1f MB to the disk'
              % (b.js('window.vellomar.saves') - saves, b.js('window.vellomar.passes') - passes,
                 (b.js('window.vellomar.passes') - passes) / elapsed,
                 (b.js('window.vellomar.storedBytes') - bytes_before) / 1e6, (disk_written(b) - disk_before) / 1e6))
    finally:
        b.close()
        site.close()
    print('vellomar.wasm: %d bytes (%.0f KB; target <= 600 KB)'
          % (os.path.getsize(os.path.join(site_root, 'vellomar.wasm')),
             os.path.getsize(os.path.join(site_root, 'vellomar.wasm')) / 1000))
    return 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:4]))
