"""The browser build's benchmark, in headless Chromium on this machine.
    bench_web.py SITE NATIVE_BENCH_PASS
- idle passes per second, against the native game's (bench_pass), in
  alternating rounds of one run;
- the time from a key event to the game's key state;
- the size of the WebAssembly."""

import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from cdp import Browser, Site  # noqa: E402

ROUNDS = 8


def native_rate(bench_pass):
    out = subprocess.run([bench_pass, '1', '2000'], capture_output=True, text=True, check=True).stdout
    return float(re.search(r'real (\d+)', out).group(1))


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
    finally:
        b.close()
        site.close()
    print('vellomar.wasm: %d bytes (%.0f KB; target <= 600 KB)'
          % (os.path.getsize(os.path.join(site_root, 'vellomar.wasm')),
             os.path.getsize(os.path.join(site_root, 'vellomar.wasm')) / 1000))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))
