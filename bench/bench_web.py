"""The browser build's benchmark, in headless Chromium (and Firefox and WebKit) on this machine:
- passes per second while a key keeps the game running, against the native game's (bench_pass);
- the time from a key event, and from a touch on a touch key in the phone view, to the game's key
  state, from rest and while another key is held;
- the processor time the browser's processes use over 10 s at rest, in each engine;
- the renderer's memory after 2,000 saves made with F1 held while drawing;
- the time from opening the page to the board with 1, 100 and 10,000 damaged records stored;
- first visits, to the board and the bytes sent; a second visit with no network;
- the pass that saved to the save being stored, and the size of the WebAssembly.
With OLD_SITE (an earlier build of the site), the rest, memory and latency measures run on both, in turn.
    bench_web.py SITE NATIVE_BENCH_PASS NATIVE_BENCH_LATENCY [OLD_SITE]"""

import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'tests', 'web'))
from cdp import STARTED, Browser, Site, wait  # noqa: E402
from test_web import STORE_HELPERS, draw_and_save, in_store, key_centre, renderer_kb, sweep_saving  # noqa: E402

# The counters an earlier build of the page kept too: it ran turns all the time.
OLD_STARTED = 'window.vellomar && window.vellomar.started && window.vellomar.turns > 2'


def opened(b, site, old):
    b.call('Page.navigate', url=site.url)
    return b.wait(OLD_STARTED if old else STARTED)


def native_rate(bench_pass):
    out = subprocess.run([bench_pass, '1', '2000'], capture_output=True, text=True, check=True).stdout
    return float(re.search(r'real (\d+)', out).group(1))


def process_ticks(pids):
    total = 0
    for pid in pids:
        try:
            with open('/proc/%d/stat' % pid) as f:
                fields = f.read().rsplit(')', 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, IndexError):
            pass
    return total


def descendants(root):
    """`root` and every process under it."""
    parents = {}
    for name in os.listdir('/proc'):
        if name.isdigit():
            try:
                with open('/proc/%s/stat' % name) as f:
                    parents[int(name)] = int(f.read().rsplit(')', 1)[1].split()[1])
            except (OSError, IndexError):
                pass
    found, todo = {root}, [root]
    while todo:
        p = todo.pop()
        for child, parent in parents.items():
            if parent == p and child not in found:
                found.add(child)
                todo.append(child)
    return found


def cpu_at_rest(root_pid, seconds=10):
    """A core's share that the processes under `root_pid` use over `seconds`."""
    pids = descendants(root_pid)
    t0, ticks = time.monotonic(), process_ticks(pids)
    time.sleep(seconds)
    return 100 * (process_ticks(pids) - ticks) / os.sysconf('SC_CLK_TCK') / (time.monotonic() - t0)


def engines_at_rest(sites):
    from bidi import Firefox
    from webdriver import WebKit
    for name, Engine in (('Chromium', Browser), ('Firefox', Firefox), ('WebKit', WebKit)):
        for label, site, old in sites:
            b = Engine()
            try:
                if name == 'Chromium':
                    opened(b, site, old)
                else:
                    b.navigate(site.url)
                    wait(b, OLD_STARTED if old else STARTED)
                time.sleep(2)
                print('%s at rest, %s: %.1f %% of a core over 10 s, all its processes'
                      % (name, label, cpu_at_rest(b.process.pid)), flush=True)
            finally:
                b.close()


def latencies(b, site, old, label):
    """Keys and touches to the game's key state, in the phone view, from rest and while a key is held."""
    b.call('Emulation.setTouchEmulationEnabled', enabled=True, maxTouchPoints=5)
    b.call('Emulation.setDeviceMetricsOverride', width=390, height=844, deviceScaleFactor=2, mobile=True)
    opened(b, site, old)
    x, y = key_centre(b, 'ArrowDown')
    for running in (False, True):
        if running:  # dot 1 against the top edge, Up held: passes run, nothing moves
            b.press('ArrowUp')
            time.sleep(0.5)
        for kind in ('touch', 'key'):
            b.js('window.vellomar.keyDelays.length = 0')
            for i in range(60):
                # At random moments, as a finger comes: a touch sent as soon as the last one is seen would
                # come at the same point of the game's turn each time.
                time.sleep(0.2 + (i * 7919 % 100) / 2000)
                count = b.js('window.vellomar.keyDelays.length')
                if kind == 'touch':
                    b.call('Input.dispatchTouchEvent', type='touchStart', touchPoints=[{'x': x, 'y': y, 'id': 0}])
                    b.wait('window.vellomar.keyDelays.length > %d' % count)
                    b.call('Input.dispatchTouchEvent', type='touchEnd', touchPoints=[])
                else:
                    b.tap('KeyQ', hold=0.02)
                b.wait('window.vellomar.keyDelays.length > %d' % (count + 1))
            delays = b.js('window.vellomar.keyDelays')
            print('%s, %s to key state, phone view, %s: median %.1f ms, max %.1f ms over %d events'
                  % (label, kind, 'while a key is held' if running else 'from rest', statistics.median(delays),
                     max(delays), len(delays)), flush=True)
    b.release('ArrowUp')
    b.call('Emulation.clearDeviceMetricsOverride')
    b.call('Emulation.setTouchEmulationEnabled', enabled=False)


def memory_after_saves(b, site, old, label, saves=2000):
    opened(b, site, old)
    before = renderer_kb(b)
    first, t0 = b.js('window.vellomar.saves'), time.monotonic()
    sweep_saving(b, lambda: b.js('window.vellomar.saves') - first < saves and time.monotonic() - t0 < 600)
    b.wait('!window.vellomar.storing', 60)
    after = renderer_kb(b)
    print('%s: renderer memory %.0f MB, then %.0f MB after %d saves made with F1 held while drawing (%.0f s)'
          % (label, before / 1000, after / 1000, b.js('window.vellomar.saves') - first, time.monotonic() - t0),
          flush=True)


def damaged_starts(site):
    for n in (1, 100, 10000):
        b = Browser()
        try:
            b.open(site.url)
            key = draw_and_save(b)
            b.wait('window.vellomar.stored > 0 && !window.vellomar.storing')
            in_store(b, site, STORE_HELPERS + " const key = %s, good = await ask(tx('readonly').get(key));"
                     " const t = tx('readwrite'); for (let i = 1; i <= %d; i++)"
                     " t.put({ ...good, size: good.size + 1000 }, [key[0] + i, 0.5]);"
                     " await new Promise(d => { t.transaction.oncomplete = d; });" % (key, n))
            times = []
            for _ in range(3):
                b.call('Page.navigate', url=site.url)
                b.wait(STARTED, 60)
                times.append(b.js('window.vellomar.boardAt'))
            print('page opened to the board with %d damaged records above the good one: median %.0f ms'
                  % (n, statistics.median(times)), flush=True)
        finally:
            b.close()


def first_visits(site_root, bench_latency, runs=5):
    print(subprocess.run([bench_latency, 'start', str(runs)], capture_output=True, text=True, check=True)
          .stdout.strip().replace('start to board', 'native game: start to board'))
    times, to_board, in_all, offline = [], [], [], []
    for _ in range(runs):
        site, b = Site(site_root), Browser()
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
    print('first visit: to the board median %.0f ms, max %.0f ms over %d new profiles; %.0f KB sent to the board,'
          ' %.0f KB with the offline copy; second visit, no network: to the board median %.0f ms'
          % (statistics.median(times), max(times), runs, statistics.median(to_board) / 1000,
             statistics.median(in_all) / 1000, statistics.median(offline)), flush=True)


def in_new_browser(measure, *args):
    b = Browser()
    try:
        measure(b, *args)
    finally:
        b.close()


def rates(b, site, bench_pass):
    opened(b, site, False)
    b.press('ArrowUp')  # dot 1 against the top edge: passes run, nothing moves
    time.sleep(0.5)
    web, native = [], []
    for _ in range(8):
        native.append(native_rate(bench_pass))
        start, t0 = b.js('window.vellomar.passes'), time.monotonic()
        time.sleep(1.5)
        web.append((b.js('window.vellomar.passes') - start) / (time.monotonic() - t0))
    b.release('ArrowUp')
    print('passes per second with a key held: browser %.0f, native %.0f (8 rounds, alternating): ratio %.3f'
          % (statistics.median(web), statistics.median(native), sum(web) / sum(native)), flush=True)
    for _ in range(30):
        draw_and_save(b)
    times = b.js('window.vellomar.storeTimes')[-30:]
    print('pass that saved to the save stored: median %.1f ms, max %.1f ms over %d saves'
          % (statistics.median(times), max(times), len(times)), flush=True)


def main(site_root, bench_pass, bench_latency, old_root=None):
    site = Site(site_root)
    old = Site(old_root) if old_root else None
    sites = [('this build', site, False)] + ([('the earlier build', old, True)] if old else [])
    engines_at_rest(sites)
    for label, s, is_old in sites:
        in_new_browser(latencies, s, is_old, label)
    in_new_browser(rates, site, bench_pass)
    for label, s, is_old in sites:
        in_new_browser(memory_after_saves, s, is_old, label)
    damaged_starts(site)
    first_visits(site_root, bench_latency)
    site.close()
    if old:
        old.close()
    print('vellomar.wasm: %d bytes' % os.path.getsize(os.path.join(site_root, 'vellomar.wasm')))
    return 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:5]))
