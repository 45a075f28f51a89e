"""WebKitGTK (the engine of Safari) driven over WebDriver by Debian's
WebKitWebDriver and its MiniBrowser, on the test X display: the page smoke
test's third engine. Plain HTTP from Python's own library."""

import glob
import json
import os
import subprocess
import tempfile
import urllib.error
import urllib.request

from bidi import KEYS
from cdp import free_port, until


class WebKit:
    def __init__(self):
        port = free_port()
        # What the driver and the browser say, for a run that fails.
        self.log = tempfile.TemporaryFile()
        # Without WebKit's optimizing WebAssembly tier (OMG). WebKitGTK 2.52
        # (Debian 13) spends about 10 s of CPU on it for the library's BMP
        # reader (F2), 20 times 2.50's, nearly all in one step of it
        # (allocateStackByGraphColoring); a reload does not stop that
        # compile, and on two cores WebKit has one compiler thread, so the
        # new page's game waits behind it: over 60 s on a busy machine. The
        # page runs the same in the lower tiers. The variable reaches the
        # browser's web process through the driver.
        env = dict(os.environ, JSC_useOMGJIT='false')
        self.process = subprocess.Popen(['WebKitWebDriver', '--port=%d' % port],
                                        stdout=self.log, stderr=subprocess.STDOUT, env=env)
        self.base = 'http://127.0.0.1:%d' % port
        def listening():
            try:
                return urllib.request.urlopen(self.base + '/status', timeout=1)
            except OSError:
                return None
        if not until(listening, 30, 0.05):
            raise RuntimeError('WebKitWebDriver did not listen on its port')
        browser = sorted(glob.glob('/usr/lib/*/webkit*gtk-*/MiniBrowser'))[-1]
        options = {'binary': browser, 'args': ['--automation']}
        self.session = '/session/' + self._call('POST', '/session', {
            'capabilities': {'alwaysMatch': {'webkitgtk:browserOptions': options}}})['sessionId']

    def close(self):
        try:
            self._call('DELETE', self.session)
        except Exception:
            pass
        self.process.kill()
        self.process.wait()

    def said(self):
        self.log.seek(0)
        return self.log.read().decode(errors='replace')[-3000:]

    def _call(self, method, path, body=None):
        request = urllib.request.Request(self.base + path, method=method,
                                         data=None if body is None else json.dumps(body).encode(),
                                         headers={'Content-Type': 'application/json'})
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return json.loads(answer.read())['value']
        except urllib.error.HTTPError as e:
            raise RuntimeError('%s %s: %s' % (method, path, e.read().decode(errors='replace')[:300]))

    def js(self, expression):
        return self._call('POST', self.session + '/execute/sync', {'script': 'return (%s);' % expression, 'args': []})

    def navigate(self, url):
        self._call('POST', self.session + '/url', {'url': url})

    def reload(self):
        self._call('POST', self.session + '/refresh', {})

    def key(self, code, down):
        self._call('POST', self.session + '/actions', {'actions': [{
            'type': 'key', 'id': 'keyboard',
            'actions': [{'type': 'keyDown' if down else 'keyUp', 'value': KEYS[code]}]}]})
