"""The browser build's benchmark, in headless Chromium on this machine.
    bench_web.py SITE NATIVE_BENCH_PASS
- idle passes per second, against the native game's (bench_pass), in
  alternating rounds of one run;
- the time from a key event to the game's key state;
- the time from the pass that saved to the save being stored, and what
  5 s of F1 held while drawing writes (what the page stores, and what the
  browser's processes write to the disk);
- the size of the WebAssembly."""

import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from cdp import Browser, Site  # noqa: E402
from test_web import draw_and_save  # noqa: E402

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


def main(site_root, bench_pass):
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
    sys.exit(main(sys.argv[1], sys.argv[2]))
