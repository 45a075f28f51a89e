"""Firefox ESR driven over WebDriver BiDi (its --remote-debugging-port), on
a WebSocket of Python's own library: the page smoke test's second engine."""

import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile

from cdp import free_port, until

# WebDriver's codes for the keys the smoke test presses.
KEYS = {'ArrowDown': '\ue015', 'ArrowRight': '\ue014', 'Space': ' ', 'F1': '\ue031', 'F2': '\ue032',
        'KeyP': 'p', 'Escape': '\ue00c'}


class Firefox:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix='vellomar-firefox-')
        port = free_port()
        self.process = subprocess.Popen(['firefox-esr', '--headless', '--no-remote', '--profile', self.profile,
                                         '--remote-debugging-port', str(port), 'about:blank'],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        def connect():
            try:
                return socket.create_connection(('127.0.0.1', port), timeout=120)
            except OSError:
                return None
        self.sock = until(connect, 60, 0.1)
        if not self.sock:
            raise RuntimeError('Firefox did not listen on its port')
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(('GET /session HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n'
                           'Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n'
                           % (port, key)).encode())
        head = b''
        while b'\r\n\r\n' not in head:
            head += self.sock.recv(1)
        if b' 101 ' not in head.split(b'\r\n')[0]:
            raise RuntimeError('no WebSocket: %r' % head)
        self.next_id = 0
        self.call('session.new', capabilities={})
        self.context = self.call('browsingContext.getTree')['contexts'][0]['context']

    def close(self):
        try:
            self.call('session.end')
        except Exception:
            pass
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    # --- WebSocket frames ---------------------------------------------------------

    def _send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        head = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                bytes([0x80 | 126]) + struct.pack('>H', n) if n < 65536 else
                                bytes([0x80 | 127]) + struct.pack('>Q', n))
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _exact(self, n):
        out = b''
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise RuntimeError('the browser went away')
            out += chunk
        return out

    def _receive(self):
        message = b''
        while True:
            b0, b1 = self._exact(2)
            n = b1 & 0x7f
            if n == 126:
                n = struct.unpack('>H', self._exact(2))[0]
            elif n == 127:
                n = struct.unpack('>Q', self._exact(8))[0]
            payload = self._exact(n)
            if b0 & 0x0f == 0x8:
                raise RuntimeError('the browser closed the connection')
            message += payload
            if b0 & 0x80:
                return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        self._send(json.dumps({'id': self.next_id, 'method': method, 'params': params}))
        while True:
            answer = self._receive()
            if answer.get('id') == self.next_id:
                if answer.get('type') == 'error':
                    raise RuntimeError('%s: %s' % (method, answer.get('message') or answer.get('error')))
                return answer['result']

    # --- what the smoke test uses ------------------------------------------------------

    def js(self, expression):
        result = self.call('script.evaluate', expression=expression, awaitPromise=True,
                           target={'context': self.context})
        if result.get('type') == 'exception':
            raise RuntimeError('%s: %s' % (expression, result['exceptionDetails'].get('text')))
        value = result['result']
        return value.get('value') if value['type'] not in ('null', 'undefined') else None

    def navigate(self, url):
        self.call('browsingContext.navigate', context=self.context, url=url, wait='complete')

    def reload(self):
        self.call('browsingContext.reload', context=self.context, wait='complete')

    def key(self, code, down):
        self.call('input.performActions', context=self.context, actions=[{
            'type': 'key', 'id': 'keyboard',
            'actions': [{'type': 'keyDown' if down else 'keyUp', 'value': KEYS[code]}]}])
