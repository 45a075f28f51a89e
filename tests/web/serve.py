"""Serves the web build on 127.0.0.1 for playing it locally, until Ctrl+C.
    serve.py SITE [PORT]"""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(__file__))
from cdp import Site  # noqa: E402

site = Site(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 8640)
print(site.url, flush=True)
try:
    threading.Event().wait()
except KeyboardInterrupt:
    site.close()
