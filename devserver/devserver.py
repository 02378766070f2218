#!/usr/bin/python3
"""Development web service for wsconsole: the launcher of the wsdevserver package beside it.

Usage: python3 devserver/devserver.py [--host 127.0.0.1] [--port 18080] [--keep 100]
                                      [--keep-bytes 536870912] [--timeout 15]
                                      [--upstream URL [--upstream-ca FILE] [--upstream-insecure]]

It needs aiohttp: on Debian python3-aiohttp (run it with /usr/bin/python3, the interpreter that
sees Debian's packages); elsewhere `pip install aiohttp`. `python3 -m wsdevserver` from this
folder does the same. Wrong options end with a usage message and exit status 2.

With --port 0 a free port is picked. Once listening, one line goes to stderr:
    devserver: listening on http://127.0.0.1:PORT
Each request is then logged on stderr as one line; SIGINT/SIGTERM/SIGHUP stop the service with
"devserver: stopped" and exit status 0. A port already taken gives
"devserver: cannot listen on HOST:PORT: address already in use" and exit status 1.
The last --keep requests, and their parts' bytes up to --keep-bytes, are kept for the
inspector at http://HOST:PORT/ in a private folder removed when the service stops.
"""

import os
import sys

# The real folder, so that a link to this file elsewhere (/usr/bin/...) still finds the package.
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))

try:
    import aiohttp  # noqa: F401
except ImportError as e:
    sys.exit("devserver: needs the %s package: on Debian python3-aiohttp, run with "
             "/usr/bin/python3; elsewhere pip install aiohttp" % e.name)

import wsdevserver  # noqa: E402

if __name__ == "__main__":
    sys.exit(wsdevserver.main())
