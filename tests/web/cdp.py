"""Headless Chromium driven over the DevTools protocol on a pipe, and the
site served on loopback: what the web tests and the benchmark share. No
npm and no browser download: Debian's chromium and Python's own library."""

import base64
import fcntl
import functools
import http.server
import json
import os
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time


# True once the page's game has started and its board is on the canvas.
STARTED = 'window.vellomar && window.vellomar.started && window.vellomar.boardAt !== null'


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def until(probe, timeout=15, every=0.01):
    """Calls probe() until it gives something true, and gives that; False once `timeout` s have passed. A
    probe that raises RuntimeError (a page going away under it) counts as not yet. The tests' one wait."""
    end = time.monotonic() + timeout
    while True:
        try:
            got = probe()
            if got:
                return got
        except RuntimeError:
            pass
        if time.monotonic() >= end:
            return False
        time.sleep(every)


def wait(browser, expression, timeout=15):
    """Waits until the expression is true in the browser's page (through its js()); False on timeout."""
    return bool(until(lambda: browser.js(expression), timeout))


class Site:
    """build/web served on 127.0.0.1, on a free port, from a thread. With
    `precompressed`, as a host that serves the .br and .gz copies beside each
    file to browsers that take them; `sent` counts the bytes of the bodies."""

    def __init__(self, root, port=0, precompressed=False):
        self.root = root
        handler = functools.partial(Handler, directory=root)
        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', port), handler)
        self.server.precompressed, self.server.sent = precompressed, 0
        self.url = 'http://127.0.0.1:%d/' % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    @property
    def sent(self):
        return self.server.sent

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Handler(http.server.SimpleHTTPRequestHandler):
    # The type browsers need to compile WebAssembly as it streams in.
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, '.wasm': 'application/wasm'}

    def send_head(self):
        path = self.translate_path(self.path)
        if os.path.isdir(path):
            path = os.path.join(path, 'index.html')
        accepted = self.headers.get('Accept-Encoding', '')
        if 'If-Modified-Since' in self.headers:  # the plain server's "not modified"
            accepted = ''
        for encoding, suffix in (('br', '.br'), ('gzip', '.gz')):
            if self.server.precompressed and encoding in accepted and os.path.isfile(path + suffix):
                f = open(path + suffix, 'rb')
                self.send_response(200)
                self.send_header('Content-Type', self.guess_type(path))
                self.send_header('Content-Encoding', encoding)
                self.send_header('Content-Length', str(os.fstat(f.fileno()).st_size))
                self.send_header('Last-Modified', self.date_time_string(int(os.stat(path).st_mtime)))
                self.end_headers()
                return f
        return super().send_head()

    def copyfile(self, source, outputfile):
        while data := source.read(1 << 16):
            self.server.sent += len(data)
            outputfile.write(data)

    def log_message(self, *args):
        pass


class Browser:
    """One headless Chromium, and one page in it to drive."""

    def __init__(self, folder=None):
        self.profile = tempfile.mkdtemp(prefix='vellomar-chromium-', dir=folder)
        self.downloads = os.path.join(self.profile, 'downloads')
        # Above fd 4, so that putting them in place in the child clobbers none.
        high = lambda fd: (fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10), os.close(fd))[0]
        to_chrome_r, self.to_chrome = map(high, os.pipe())
        self.from_chrome, from_chrome_w = map(high, os.pipe())

        def pipes():  # the browser reads commands on fd 3 and answers on fd 4
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        args = ['chromium', '--headless', '--remote-debugging-pipe', '--user-data-dir=' + self.profile,
                '--no-first-run', '--disable-gpu', '--disable-quic', '--disable-background-networking',
                '--disable-component-update', '--disable-sync', '--disable-features=Translate',
                '--window-size=1280,1024', 'about:blank']
        if os.geteuid() == 0:
            args.insert(1, '--no-sandbox')
        self.process = subprocess.Popen(args, pass_fds=(3, 4), preexec_fn=pipes,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer = b''
        self.next_id = 0
        self.events = []
        self.session = None
        page = [t for t in self.call('Target.getTargets')['targetInfos'] if t['type'] == 'page'][0]
        self.use(self._attach(page['targetId']))
        self.call('Browser.setDownloadBehavior', behavior='allow', downloadPath=self.downloads, session=False)

    def close(self):
        try:
            self.call('Browser.close', session=False)
            self.process.wait(10)
        except Exception:
            self.process.kill()
        shutil.rmtree(self.profile, ignore_errors=True)

    # --- tabs -----------------------------------------------------------------------

    def _attach(self, target):
        session = self.call('Target.attachToTarget', targetId=target, flatten=True, session=False)['sessionId']
        for domain in ('Page', 'Runtime'):
            self.call(domain + '.enable', session=session)
        # The page's workers (the game runs in one), attached as they start.
        self.call('Target.setAutoAttach', autoAttach=True, waitForDebuggerOnStart=False, flatten=True,
                  session=session)
        return target, session

    def new_tab(self):
        """Another tab of the same browser (same storage), brought to the front and driven from now on."""
        tab = self._attach(self.call('Target.createTarget', url='about:blank', session=False)['targetId'])
        self.use(tab)
        return tab

    def use(self, tab):
        """Drives `tab` from now on, brought to the front as a player's click on it does."""
        self.target, self.session = tab
        self.call('Target.activateTarget', targetId=self.target, session=False)
        self.wait('!document.hidden', 5)

    def close_tab(self, tab):
        self.call('Target.closeTarget', targetId=tab[0], session=False)

    # --- the protocol ---------------------------------------------------------------

    ANSWER_WITHIN = 120  # s; every call the tests make is answered within a few

    def _read(self, method):
        while b'\0' not in self.buffer:
            # A target that never answers (held at its start, or gone with
            # its process) fails the case that asked, not the whole run.
            if not select.select([self.from_chrome], [], [], self.ANSWER_WITHIN)[0]:
                raise RuntimeError('%s: no answer in %d s' % (method, self.ANSWER_WITHIN))
            chunk = os.read(self.from_chrome, 1 << 20)
            if not chunk:
                raise RuntimeError('the browser went away')
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b'\0', 1)
        return json.loads(message)

    def call(self, method, session=True, **params):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params}
        session = self.session if session is True else session
        if session:
            message['sessionId'] = session
        os.write(self.to_chrome, json.dumps(message).encode() + b'\0')
        while True:
            answer = self._read(method)
            if answer.get('id') == self.next_id:
                if 'error' in answer:
                    raise RuntimeError('%s: %s' % (method, answer['error']))
                return answer.get('result', {})
            self.events.append(answer)

    def js(self, expression):
        """The value of a JavaScript expression in the page (awaited)."""
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True, awaitPromise=True)
        if 'exceptionDetails' in result:
            raise RuntimeError('%s: %s' % (expression, result['exceptionDetails']))
        return result['result'].get('value')

    def game_session(self):
        """The session of the worker the game runs in."""
        self.call('Runtime.evaluate', expression='0')  # takes in the events so far
        workers = {}
        for e in self.events:
            p = e.get('params', {})
            if e.get('method') == 'Target.attachedToTarget' and e.get('sessionId') == self.session:
                workers[p['sessionId']] = p['targetInfo']['type']
            elif e.get('method') == 'Target.detachedFromTarget':
                workers.pop(p.get('sessionId'), None)
        return [s for s, kind in workers.items() if kind == 'worker'][-1]

    def game_js(self, expression):
        """The value of a JavaScript expression in the worker the game runs in (awaited): `game` is the
        game's module there."""
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True, awaitPromise=True,
                           session=self.game_session())
        if 'exceptionDetails' in result:
            raise RuntimeError('%s: %s' % (expression, result['exceptionDetails']))
        return result['result'].get('value')

    def wait(self, expression, timeout=15):
        return wait(self, expression, timeout)

    def settle(self, turns=3):
        """Waits until the game has taken every key sent so far and then rested, or run `turns` more turns
        (F1 or a key held), so that a check that nothing changed is made after the game had its chance to
        change it."""
        sent, done = self.js('window.vellomar.sent'), self.js('window.vellomar.turns') + turns
        return self.wait('window.vellomar.taken >= %d && (window.vellomar.resting || window.vellomar.turns >= %d)'
                         % (sent, done))

    # --- the page -------------------------------------------------------------------

    def open(self, url):
        self.call('Page.navigate', url=url)
        return self.wait(STARTED)

    def reload(self):
        """Reloads the page and waits for the new one's game (never the old page's)."""
        self.js('window.reloading = true')
        self.call('Page.reload')
        return self.wait('!window.reloading && ' + STARTED)

    KEYS = {  # code: (key, Windows virtual key code)
        'ArrowUp': ('ArrowUp', 38), 'ArrowDown': ('ArrowDown', 40), 'ArrowLeft': ('ArrowLeft', 37),
        'ArrowRight': ('ArrowRight', 39), 'KeyW': ('w', 87), 'KeyS': ('s', 83), 'KeyA': ('a', 65),
        'KeyD': ('d', 68), 'KeyP': ('p', 80), 'Space': (' ', 32), 'F1': ('F1', 112), 'F2': ('F2', 113),
        'Escape': ('Escape', 27), 'PageDown': ('PageDown', 34), 'KeyQ': ('q', 81), 'KeyZ': ('z', 90),
        'Comma': (',', 188), 'Semicolon': (';', 186), 'KeyO': ('o', 79),
    }

    def key(self, code, down, key=None):
        """The key at place `code`; `key` is what the layout gives it (the US one if None)."""
        us, vk = self.KEYS.get(code, (None, 0))
        key = key or us
        params = {'type': 'keyDown' if down else 'keyUp', 'code': code, 'key': key,
                  'windowsVirtualKeyCode': vk, 'nativeVirtualKeyCode': vk}
        if down and len(key) == 1:
            params['text'] = key
        self.call('Input.dispatchKeyEvent', **params)

    def press(self, code, key=None):
        self.key(code, True, key)

    def release(self, code, key=None):
        self.key(code, False, key)

    def tap(self, code, hold=0.06, key=None):
        self.press(code, key)
        time.sleep(hold)
        self.release(code, key)

    def pixel(self, x, y):
        return self.js("Array.from(document.getElementById('board').getContext('2d')"
                       ".getImageData(%d, %d, 1, 1).data.slice(0, 3))" % (x, y))

    def board(self):
        """The whole board as RGB bytes, row by row."""
        data = self.js("(() => { const d = document.getElementById('board').getContext('2d')"
                       ".getImageData(0, 0, 640, 480).data; let s = '';"
                       " for (let i = 0; i < d.length; i += 4) s += String.fromCharCode(d[i], d[i+1], d[i+2]);"
                       " return btoa(s); })()")
        return base64.b64decode(data)

    def wait_pixel(self, x, y, want, tol=12, timeout=10):
        return self.wait("(() => { const d = document.getElementById('board').getContext('2d')"
                         ".getImageData(%d, %d, 1, 1).data; const w = %s;"
                         " return [0, 1, 2].every(i => Math.abs(d[i] - w[i]) <= %d); })()" % (x, y, list(want), tol),
                         timeout)

    def file(self):
        """The game's load.bmp in the browser, or None."""
        data = self.js("window.vellomar.file().then(b => { if (!b) return null; let s = '';"
                       " for (let i = 0; i < b.length; i += 32768) s += String.fromCharCode.apply(null, b.subarray(i, i + 32768));"
                       " return btoa(s); })")
        return None if data is None else base64.b64decode(data)
