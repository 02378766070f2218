"""Hostile clients against the service's time limit and its cap on connections."""

import os
import resource
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_process import start_server, stop_server  # noqa: E402
LIMIT = 0.5  # under the second between two bytes of a trickle
LONG = b"v=" + b"x" * (8 << 20)  # a value whose report is more than the socket buffers hold


def serve(test, *args, **kwargs):
    proc, port, log = start_server(*args, **kwargs)
    test.addCleanup(stop_server, proc)
    test.assertIsNotNone(port, log)
    return proc, port


def form_head(length):
    return (b"POST /Vortan/BackOffice/trunk/webservice/zunel/testMsg HTTP/1.1\r\nHost: x\r\n"
            b"Connection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            b"Content-Length: %d\r\n\r\n" % length)


def connect(port, test):
    s = socket.socket()
    test.addCleanup(s.close)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # so an unread answer stalls
    s.settimeout(20)
    s.connect(("127.0.0.1", port))
    return s


def hostile(test, port, first, drip=b"", every=1.0, unread=0.0, limit=10.0):
    """Send `first`, read nothing for `unread` seconds, then read while sending `drip` a byte
    `every` seconds; return the answer and when the service closed (None: open at `limit`)."""
    s, started, got = connect(port, test), time.monotonic(), b""
    s.sendall(first)
    time.sleep(unread)
    s.settimeout(every)
    while time.monotonic() - started < limit:
        try:
            data = s.recv(1 << 16)
        except socket.timeout:
            s.send(drip[:1])
            drip = drip[1:]
            continue
        except ConnectionResetError:
            data = b""
        if not data:
            return got, time.monotonic() - started
        got += data
    return got, None


class ConnectionsTest(unittest.TestCase):
    def test_aiohttp_still_keeps_the_arguments_its_protocol_is_made_with(self):
        # connections.Handler is made as aiohttp's own protocol is, from web.Server's private
        # _kwargs: an upgrade that moves them must fail here, not in a service left running.
        import asyncio
        from aiohttp import web

        async def kept():  # made as a runner makes it, within its event loop
            return web.Server(lambda request: None, max_headers=7)._kwargs
        self.assertEqual(asyncio.run(kept()).get("max_headers"), 7)

    def test_slow_and_silent_clients_are_dropped(self):
        proc, port = serve(self, "--timeout", str(LIMIT))
        soon = (LIMIT, LIMIT + 1.5)
        cases = [  # (name, first, drip, every, seconds unread, answer's status, closed within)
            ("idle", b"", b"", 1, 0, "", soon),
            ("head at 1 byte a second", b"P", form_head(3)[1:], 1, 0, "408", soon),
            ("body at 1 byte a second", form_head(20) + b"a", b"=1&b=2&c=3&d=4", 1, 0, "", (0, 2)),
            ("answer never read", form_head(len(LONG)) + LONG, b"", 1, LIMIT + 2.5, "200", (0, 8)),
            ("malformed request", b"\x16\x03\x01garbage\r\n\r\n", b"", 1, 0, "400", (0, 1)),
            # a byte each 0.2 s never stalls, but comes under the least rate (256 bytes a second)
            ("a trickle", form_head(11) + b"a", b"=1&b=2&c=3", 0.2, 0, "", (2 * LIMIT, 2.5)),
        ]
        for name, first, drip, every, unread, status, (low, high) in cases:
            with self.subTest(name):
                got, closed = hostile(self, port, first, drip, every, unread)
                head = got.partition(b"\r\n\r\n")[0].decode("latin-1")
                self.assertTrue(closed is not None and low <= closed <= high, closed)
                self.assertEqual(head[9:12], status, head)
                if unread:
                    self.assertLess(len(got), len(LONG))  # cut short, not sent whole late
                if status in ("400", "408"):  # made by aiohttp or the watchdog, not a handler
                    self.assertIn("\r\nX-Frame-Options: DENY", head)
                if status == "408":
                    self.assertIn("\r\nConnection: close", head)

    def test_a_crowd_past_the_descriptor_limit_neither_locks_out_nor_holds_the_service(self):
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))  # noqa: E731
        proc, port = serve(self, "--timeout", "60", preexec_fn=limit)  # only the cap can help
        for _ in range(300):  # each one taken by the service or held in its listen queue
            connect(port, self).sendall(form_head(1000) + b"a")  # a request begun: none idle
        started = time.monotonic()
        self.assertEqual(hostile(self, port, form_head(3) + b"a=1", limit=30)[0][9:12], b"200")
        self.assertLess(time.monotonic() - started, 30)
        # Handlers waiting for a body and on an unread answer: stopping waits for neither.
        for data in (form_head(10) + b"a=", form_head(len(LONG)) + LONG):
            connect(port, self).sendall(data)
        time.sleep(1)
        proc.send_signal(signal.SIGHUP)  # as when its terminal closes
        self.assertEqual(proc.wait(15), 0)  # well before the 60 s that either could hold it
