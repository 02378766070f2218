"""The console unchanged, through the service as a proxy (--upstream) on its built-in port, to a
second service acting as the web service: the console prints the upstream's reports, and both
services' inspectors list the same parts."""

import hashlib
import http.client
import json
import os
import socket
import ssl
import sys
import threading
import time
import unittest

try:
    import trustme
except ImportError:  # python3-trustme
    trustme = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_console import (  # noqa: E402
    BANNER, ECHO, IMG_URL, MENU, MSG_URL, MESSAGE_REPORT, PORT, QUIT, ConsoleTest, image_report,
    question, run_console)
from server_process import start_server, stop_server  # noqa: E402


def started(*args, port=0):
    proc, bound, log = start_server(*args, port=port)
    if bound is None:
        stop_server(proc)
        raise RuntimeError("service did not start: %r" % log)
    return proc, bound


def records(port):
    """Every record a service lists, oldest first, whole."""
    def get(path):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            conn.request("GET", path)
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()
    listed = get("/api/requests?limit=200")["requests"]
    return [get("/api/requests/%d" % summary["id"]) for summary in reversed(listed)]


class TlsFront:
    """HTTPS in front of a plain service: each TLS connection relayed to 127.0.0.1:port."""

    def __init__(self, port, context):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port, self.target, self.context = self.listener.getsockname()[1], port, context
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.relay, args=(conn,), daemon=True).start()

    def relay(self, conn):
        try:
            secure = self.context.wrap_socket(conn, server_side=True)
        except (OSError, ssl.SSLError):
            conn.close()
            return
        plain = socket.create_connection(("127.0.0.1", self.target))

        def pump(source, sink):
            try:
                for data in iter(lambda: source.recv(65536), b""):
                    sink.sendall(data)
            except OSError:
                pass
            finally:
                for end in (source, sink):
                    try:
                        end.close()
                    except OSError:
                        pass
        threading.Thread(target=pump, args=(plain, secure), daemon=True).start()
        pump(secure, plain)

    def close(self):
        self.listener.close()


class ThroughTheProxy(ConsoleTest):
    def setUp(self):
        super().setUp()
        self.upstream, self.upstream_port = started()
        self.addCleanup(stop_server, self.upstream)
        self.proxy, _ = started("--upstream", "http://127.0.0.1:%d/" % self.upstream_port,
                                "--timeout", "3", port=PORT)
        self.addCleanup(stop_server, self.proxy)

    def test_both_calls_go_through_and_both_sides_are_recorded(self):
        self.provide_images()
        self.assertSession(b"1 1 n 2 1 y\n",
                           BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT +
                           MENU + question(IMG_URL) + ECHO + image_report() + QUIT)
        mine, theirs = records(PORT), records(self.upstream_port)
        self.assertEqual([r["path"] for r in mine], [r["path"] for r in theirs])
        self.assertEqual(len(mine), 2)
        for proxied, received, report in zip(mine, theirs, (MESSAGE_REPORT, image_report())):
            hashes = [p["sha256"] for p in proxied["parts"]]
            self.assertEqual(hashes, [p["sha256"] for p in received["parts"]])
            self.assertTrue(all(hashes))
            self.assertEqual((proxied["status"], proxied["upstream"]["status"]), (200, 200))
            self.assertEqual(proxied["upstream"]["sha256"], hashlib.sha256(report).hexdigest())
            self.assertEqual(proxied["upstream"]["size"], len(report))
            self.assertLessEqual(proxied["upstream"]["first_byte_seconds"],
                                 proxied["upstream"]["total_seconds"])
            forwarded = dict((name.lower(), value) for name, value in received["headers"])
            self.assertEqual(forwarded["x-forwarded-host"], "localhost:%d" % PORT)

    def test_an_upstream_down_is_one_line_the_console_prints(self):
        stop_server(self.upstream)
        code, out, err = run_console(b"1 1 y\n", self.folder)
        self.assertEqual(out, BANNER + MENU + question(MSG_URL)
                         + b"bad gateway: cannot connect to 127.0.0.1: connection refused\n" + QUIT)
        self.assertEqual(code, 0)
        self.assertEqual(records(PORT)[-1]["status"], 502)


class StalledUpstream(ConsoleTest):
    def test_a_stall_is_one_line_the_console_prints_in_time(self):
        silent = socket.create_server(("127.0.0.1", 0))  # takes connections, never answers
        self.addCleanup(silent.close)
        proc, _ = started("--upstream", "http://127.0.0.1:%d" % silent.getsockname()[1],
                          "--timeout", "2", port=PORT)
        self.addCleanup(stop_server, proc)
        started_at = time.monotonic()
        code, out, _ = run_console(b"1 1 y\n", self.folder)
        self.assertLess(time.monotonic() - started_at, 6)
        self.assertEqual(out, BANNER + MENU + question(MSG_URL)
                         + b"gateway timeout: 127.0.0.1 stalled for 2 seconds\n" + QUIT)
        self.assertEqual(code, 0)


@unittest.skipIf(trustme is None, "python3-trustme is not installed")
class OverHttps(ConsoleTest):
    """The upstream over HTTPS, its certificate from an authority made here."""

    def setUp(self):
        super().setUp()
        self.upstream, self.upstream_port = started()
        self.addCleanup(stop_server, self.upstream)
        authority = trustme.CA()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        authority.issue_cert("127.0.0.1").configure_cert(context)
        self.front = TlsFront(self.upstream_port, context)
        self.addCleanup(self.front.close)
        self.ca = os.path.join(self.folder, "ca.pem")
        authority.cert_pem.write_to_path(self.ca)

    def proxy(self, *args):
        proc, _ = started("--upstream", "https://127.0.0.1:%d" % self.front.port, *args, port=PORT)
        self.addCleanup(stop_server, proc)

    def test_with_the_private_authority_both_calls_go_through(self):
        self.proxy("--upstream-ca", self.ca)
        self.provide_images()
        self.assertSession(b"1 1 n 2 1 y\n",
                           BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT +
                           MENU + question(IMG_URL) + ECHO + image_report() + QUIT)
        hashes = [[p["sha256"] for p in r["parts"]] for r in records(PORT)]
        self.assertEqual(hashes, [[p["sha256"] for p in r["parts"]]
                                  for r in records(self.upstream_port)])

    def test_without_it_the_console_prints_the_certificate_failure(self):
        self.proxy()
        code, out, _ = run_console(b"1 1 y\n", self.folder)
        failure = b"bad gateway: the certificate of 127.0.0.1 is not trusted: "
        self.assertTrue(out.startswith(BANNER + MENU + question(MSG_URL) + failure), out)
        self.assertTrue(out.endswith(b"\n" + QUIT))
        self.assertEqual(records(self.upstream_port), [])


if __name__ == "__main__":
    unittest.main()
