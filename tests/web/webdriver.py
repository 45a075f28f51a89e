"""WebKitGTK (the engine of Safari) driven over WebDriver by Debian's
WebKitWebDriver and its MiniBrowser, on the test X display: the page smoke
test's third engine. Plain HTTP from Python's own library."""

import glob
import json
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

from bidi import KEYS
from cdp import free_port


class WebKit:
    def __init__(self):
        port = free_port()
        # What the driver and the browser say, for a run that fails.
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(['WebKitWebDriver', '--port=%d' % port],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.base = 'http://127.0.0.1:%d' % port
        end = time.monotonic() + 30
        while True:
            try:
                urllib.request.urlopen(self.base + '/status', timeout=1)
                break
            except OSError:
                if time.monotonic() > end:
                    raise
                time.sleep(0.05)
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
