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
import unittest

try:
    import trustme
except ImportError:  # python3-trustme
    trustme = None

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_console import (  # noqa: E402
    BANNER, ECHO, IMG_URL, MENU, MSG_URL, MESSAGE_REPORT, PORT, QUIT, TIMEOUT, ConsoleTest,
    image_report, question, run_console)
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
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
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

    def test_both_calls_go_through_both_sides_are_recorded_and_play_back_offline(self):
        self.provide_images()
        session = (BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT + MENU
                   + question(IMG_URL) + ECHO + image_report() + QUIT)
        self.assertSession(b"1 1 n 2 1 y\n", session)
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

        # Played back offline from the proxy's HAR: the same two answers, byte for byte.
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
        conn.request("GET", "/api/requests.har")
        har = os.path.join(self.folder, "recorded.har")
        with open(har, "wb") as f:
            f.write(conn.getresponse().read())
        conn.close()
        for proc in (self.proxy, self.upstream):
            stop_server(proc)
        replay, _ = started("--replay", har, port=PORT)
        self.addCleanup(stop_server, replay)
        self.assertSession(b"1 1 n 2 1 y\n", session)
        self.assertEqual([r["answered_by"] for r in records(PORT)],
                         ["playback entry 1", "playback entry 2"])


class FailingUpstream(ConsoleTest):
    """Each way an upstream fails is one line that the console prints as any answer. The
    stalled upstream's line names the service's own time limit; the console's run is bounded by
    TIMEOUT, which a machine's load does not reach."""

    def test_table(self):
        silent = socket.create_server(("127.0.0.1", 0))  # takes connections, never answers
        self.addCleanup(silent.close)
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        self.addCleanup(closed.close)
        down, still = closed.getsockname()[1], silent.getsockname()[1]
        rows = [("down", "http://127.0.0.1:%d" % down, 502,
                 b"bad gateway: cannot connect to 127.0.0.1:%d: connection refused\n" % down),
                ("stalled", "http://127.0.0.1:%d" % still, 504,
                 b"gateway timeout: 127.0.0.1:%d stalled for 2 seconds\n" % still)]
        if trustme is not None:  # an authority of its own, not given to the service
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            trustme.CA().issue_cert("127.0.0.1").configure_cert(context)
            front = TlsFront(closed.getsockname()[1], context)
            self.addCleanup(front.close)
            rows.append(("certificate not trusted", "https://127.0.0.1:%d" % front.port, 502,
                         b"bad gateway: the certificate of 127.0.0.1:%d is not trusted: "
                         % front.port))
        for name, url, status, line in rows:
            with self.subTest(name):
                proc, _ = started("--upstream", url, "--timeout", "2", port=PORT)
                try:
                    code, out, _ = run_console(b"1 1 y\n", self.folder)
                    self.assertTrue(out.startswith(BANNER + MENU + question(MSG_URL) + line), out)
                    self.assertTrue(out.endswith(b"\n" + QUIT), out)
                    self.assertEqual(code, 0)
                    self.assertEqual(records(PORT)[-1]["status"], status)
                finally:
                    stop_server(proc)


@unittest.skipIf(trustme is None, "python3-trustme is not installed")
class OverHttps(ConsoleTest):
    """The upstream over HTTPS, its certificate from an authority made here and given to the
    service."""

    def test_with_the_private_authority_both_calls_go_through(self):
        upstream, upstream_port = started()
        self.addCleanup(stop_server, upstream)
        authority = trustme.CA()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        authority.issue_cert("127.0.0.1").configure_cert(context)
        front = TlsFront(upstream_port, context)
        self.addCleanup(front.close)
        ca = os.path.join(self.folder, "ca.pem")
        authority.cert_pem.write_to_path(ca)
        proc, _ = started("--upstream", "https://127.0.0.1:%d" % front.port, "--upstream-ca", ca,
                          port=PORT)
        self.addCleanup(stop_server, proc)
        self.provide_images()
        session = (BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT + MENU
                   + question(IMG_URL) + ECHO + image_report() + QUIT)
        self.assertSession(b"1 1 n 2 1 y\n", session)
        hashes = [[p["sha256"] for p in r["parts"]] for r in records(PORT)]
        self.assertEqual(hashes, [[p["sha256"] for p in r["parts"]]
                                  for r in records(upstream_port)])


if __name__ == "__main__":
    unittest.main()
