"""The service as a proxy (--upstream): what each way an upstream answers, or fails to, becomes
for the client and in the record. The upstreams are sockets of this test, over HTTP and over
HTTPS with an authority made here (python3-trustme)."""

import base64
import hashlib
import http.client
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_process import PYTHON, SERVER, peak_kib, start_server, stop_server  # noqa: E402

try:
    import trustme
except ImportError:  # python3-trustme
    trustme = None

TIMEOUT = 1.5  # the proxies' --timeout
MULTIPART = {"Content-Type": "multipart/form-data; boundary=b"}


def receive(conn, size=65536):
    """The next bytes from `conn`; an error once its peer has closed, where a loop would spin."""
    more = conn.recv(size)
    if not more:
        raise ConnectionResetError("closed by the peer")
    return more


def read_request(conn):
    """Reads one request (Content-Length or chunked body; a path ending in /early, its head
    only); returns (head, body)."""
    data = b""
    while b"\r\n\r\n" not in data:
        more = conn.recv(65536)
        if not more:
            return None, None
        data += more
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    fields = {line.split(":", 1)[0].strip().lower(): line.split(":", 1)[1].strip()
              for line in lines[1:]}
    if lines[0].split()[1].endswith("/early"):
        return lines, body
    if "content-length" in fields:
        body = bytearray(body)
        while len(body) < int(fields["content-length"]):
            body += receive(conn, 1 << 20)
        body = bytes(body)
    elif fields.get("transfer-encoding") == "chunked":
        while not body.endswith(b"0\r\n\r\n"):
            body += receive(conn)
    return lines, body


class FakeUpstream:
    """An upstream that behaves as its request's path says: /ok, /fail, /reset (cut after a few
    bytes of its answer), /stall (never answers), /stall-midway (stops after a few bytes), /html."""

    def __init__(self, tls=None):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port, self.tls, self.seen = self.sock.getsockname()[1], tls, []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.one, args=(conn,), daemon=True).start()

    def one(self, conn):
        try:
            if self.tls is not None:
                conn = self.tls.wrap_socket(conn, server_side=True)
            lines, body = read_request(conn)
            if lines is None:
                return
            self.seen.append((lines, body))
            path = lines[0].split()[1].split("?")[0]
            if path.endswith("/ok"):
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nX-Upstream: yes\r\n"
                             b"Connection: close\r\n\r\n"
                             b"saw %d bytes"
                             % (len("saw %d bytes" % len(body)), len(body)))
            elif path.endswith(("/early", "/missing")):  # as a service that refuses or has none
                status = b"413 Payload Too Large" if path.endswith("/early") else b"404 Not Found"
                conn.sendall(b"HTTP/1.1 %s\r\nContent-Length: 3\r\nConnection: close\r\n\r\nno!"
                             % status)
            elif path.endswith("/json"):
                answer = b'{"saw": %d}' % len(body)
                conn.sendall(b"HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n"
                             b"Set-Cookie: s=1; Path=/\r\nContent-Length: %d\r\n"
                             b"Connection: close\r\n\r\n%s" % (len(answer), answer))
            elif path.endswith("/fail"):
                conn.sendall(b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n"
                             b"Connection: close\r\n\r\n"
                             b"broke")
            elif path.endswith("/html"):
                page = b"<html><script>fetch('/api/requests')</script></html>"
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                             b"Content-Length: %d\r\nConnection: close\r\n\r\n%s"
                             % (len(page), page))
            elif path.endswith("/reset"):
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 1000)
                time.sleep(0.2)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif "/big/" in path:  # an answer of as many bytes as the path says, sent as it is read
                size = int(path.rsplit("/", 1)[1])
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                             % size)
                block = b"b" * (1 << 20)
                for start in range(0, size, len(block)):
                    conn.sendall(block[:size - start])
            elif path.endswith("/stall-midway"):
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 1000)
                time.sleep(TIMEOUT * 4)
            elif path.endswith("/stall"):
                time.sleep(TIMEOUT * 4)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def close(self):
        self.sock.close()


def proxy(upstream, *args):
    proc, port, log = start_server("--timeout", str(TIMEOUT), "--upstream", upstream, *args)
    if port is None:
        stop_server(proc)
        raise RuntimeError("proxy did not start: %r" % log)
    return proc, port, log


def call(port, path, body=b"", method="POST", headers=None):
    """(status, body or the exception that cut it, seconds taken)."""
    started = time.monotonic()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT * 6)
    try:
        conn.request(method, path, body, headers or {})
        resp = conn.getresponse()
        try:
            data = resp.read()
        except (http.client.IncompleteRead, ConnectionError) as e:
            data = e
        return resp.status, data, time.monotonic() - started, resp
    finally:
        conn.close()


def record(port, id=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        if id is None:
            conn.request("GET", "/api/requests?limit=1")
            id = json.loads(conn.getresponse().read())["requests"][0]["id"]
            conn.close()
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/api/requests/%d" % id)
        return json.loads(conn.getresponse().read())
    finally:
        conn.close()


class UpstreamBehaviourTest(unittest.TestCase):
    """One row per way an upstream behaves: what the client gets, how soon, and the record."""

    @classmethod
    def setUpClass(cls):
        cls.plain = FakeUpstream()
        cls.proc, cls.port, cls.log = proxy("http://127.0.0.1:%d/base/" % cls.plain.port)
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        cls.closed = closed
        cls.refused, cls.refused_port, _ = proxy("http://127.0.0.1:%d" % closed.getsockname()[1])

    @classmethod
    def tearDownClass(cls):
        for proc in (cls.proc, cls.refused):
            stop_server(proc)
        cls.plain.close()
        cls.closed.close()

    def test_table(self):
        body = (b"--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\n"
                + b"z" * 300000 + b"\r\n--b--\r\n")
        digest = hashlib.sha256(b"z" * 300000).hexdigest()
        rows = [
            # port, path, client sees (status, body or a cut), record (upstream status, error
            # start); the parts are read on the way whatever the upstream did with them, once it
            # took them
            ("answers 200", self.port, "/ok", 200, b"saw %d bytes" % len(body), 200, None),
            ("answers 500", self.port, "/fail", 500, b"broke", 500, None),
            ("answers 404 where the service has no route", self.port, "/missing", 404, b"no!",
             404, None),
            ("refuses", self.refused_port, "/ok", 502,
             b"bad gateway: cannot connect to 127.0.0.1:%d: connection refused\n"
             % self.closed.getsockname()[1],
             None, "bad gateway: cannot connect"),
            ("resets mid-answer", self.port, "/reset", 200, "cut",
             200, "the answer was cut after 1000 bytes"),
            ("stalls", self.port, "/stall", 504,
             b"gateway timeout: 127.0.0.1:%d stalled for %g seconds\n" % (self.plain.port, TIMEOUT),
             None, "gateway timeout"),
            ("stalls mid-answer", self.port, "/stall-midway", 200, "cut",
             200, "the answer was cut after 1000 bytes: gateway timeout"),
        ]
        for name, port, path, status, answer, up_status, error in rows:
            with self.subTest(name):
                got, data, seconds, resp = call(port, "/p" + path, body, headers=MULTIPART)
                self.assertEqual(got, status)
                if answer == "cut":
                    self.assertIsInstance(data, Exception)  # never taken for a whole answer
                else:
                    self.assertEqual(data, answer)
                self.assertLess(seconds, TIMEOUT * 3)  # nothing hangs past the timeout
                rec = record(port)
                self.assertEqual((rec["path"], rec["upstream"]["status"]), ("/p" + path, up_status))
                self.assertEqual(rec["status"], status)  # what the client got, cut or not
                if error is None:
                    self.assertIsNone(rec["upstream"]["error"])
                    self.assertIsNone(rec["error"])
                else:
                    self.assertTrue(rec["upstream"]["error"].startswith(error),
                                    rec["upstream"]["error"])
                if port != self.refused_port:  # what came before the refusal, if any, is kept
                    self.assertEqual([p["sha256"] for p in rec["parts"]], [digest])
        self.assertNotIn("Error handling request", "".join(self.log))

    def test_an_answer_before_the_body_came_leaves_the_record_cut(self):
        head, tail = (b"--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n",
                      b"z" * 300000)
        with socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT * 6) as s:
            s.sendall(b"POST /p/early HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
                      b"boundary=b\r\nContent-Length: 10000000\r\n\r\n" + head + tail)
            answer = b""
            while not answer.endswith(b"no!"):
                answer += receive(s)
        self.assertTrue(answer.startswith(b"HTTP/1.1 413 "), answer)
        rec = record(self.port)
        self.assertEqual((rec["path"], rec["status"], rec["cut"]), ("/p/early", 413, True))
        self.assertLess(rec["size"], 10000000)
        self.assertEqual([p["has_file"] for p in rec["parts"]], [False])  # never kept as whole
        self.assertIn("the body was cut after %d bytes" % rec["size"], rec["resend"])

    def test_what_the_upstream_receives(self):
        status, data, _, _ = call(self.port, "/p/ok?q=1&r=%20", b"abc", headers={
            "Content-Type": "text/plain", "Connection": "keep-alive, X-Drop", "X-Drop": "1",
            "X-Keep": "2", "X-Forwarded-For": "10.0.0.1", "Content-Encoding": "gzip"})
        self.assertEqual((status, data), (200, b"saw 3 bytes"))
        lines, body = self.plain.seen[-1]
        self.assertEqual((lines[0], body), ("POST /base/p/ok?q=1&r=%20 HTTP/1.1", b"abc"))
        names = {line.split(":", 1)[0].lower(): line.split(":", 1)[1].strip() for line in lines[1:]}
        self.assertEqual(names["host"], "127.0.0.1:%d" % self.plain.port)
        self.assertEqual(names["x-forwarded-for"], "10.0.0.1, 127.0.0.1")
        self.assertEqual(names["x-forwarded-host"], "127.0.0.1:%d" % self.port)
        self.assertEqual(names["x-forwarded-proto"], "http")
        self.assertEqual((names["x-keep"], names["content-encoding"]), ("2", "gzip"))
        for hop in ("x-drop", "user-agent"):
            self.assertNotIn(hop, names)
        # The client's Connection is not sent on; the proxy's own HTTP client may send its own.
        self.assertIn(names.get("connection", "keep-alive"), ("keep-alive", "close"))
        rec = record(self.port)
        self.assertIn(["X-Upstream", "yes"], rec["upstream"]["headers"])
        self.assertEqual(rec["upstream"]["sha256"], hashlib.sha256(b"saw 3 bytes").hexdigest())
        self.assertIn("gzip", rec["notes"][0])  # its parts are not read, and it says why

    def test_the_har_carries_the_request_as_named_and_the_answer(self):
        rows = [
            # method, body, Host sent (None: 127.0.0.1:PORT), the url exported
            ("POST", b"\xff\xfe binary", "example.org", "http://example.org/p/json?a=1"),
            ("GET", None, None, "http://127.0.0.1:%d/p/json?a=1" % self.port),
        ]
        for method, body, host, url in rows:
            with self.subTest(method=method, host=host):
                headers = {"Cookie": "a=1; b=2"}
                if host is not None:
                    headers["Host"] = host
                status, _, _, _ = call(self.port, "/p/json?a=1", body, method, headers)
                self.assertEqual(status, 201)
                _, log, _, _ = call(self.port, "/api/requests.har", method="GET")
                entry = json.loads(log)["log"]["entries"][-1]
                request, response = entry["request"], entry["response"]
                self.assertEqual((request["method"], request["url"], request["cookies"]),
                                 (method, url, [{"name": "a", "value": "1"},
                                                {"name": "b", "value": "2"}]))
                answer = b'{"saw": %d}' % len(body or b"")
                self.assertEqual((response["status"], response["statusText"],
                                  response["content"], response["cookies"]),
                                 (201, "Created", {"size": len(answer), "text": answer.decode(),
                                                   "mimeType": "application/json"},
                                  [{"name": "s", "value": "1"}]))
                self.assertIn({"name": "Content-Type", "value": "application/json"},
                              response["headers"])
                self.assertGreater(entry["time"], 0)
                self.assertAlmostEqual(entry["time"], sum(
                    value for value in entry["timings"].values() if value > 0))
                if body is None:
                    self.assertNotIn("postData", request)
                else:  # bytes that are not text go in base64, and it says so
                    self.assertEqual((request["postData"]["_encoding"],
                                      base64.b64decode(request["postData"]["text"])),
                                     ("base64", body))

    def test_an_html_answer_never_runs_in_the_inspectors_origin(self):
        status, data, _, resp = call(self.port, "/p/html", method="GET")
        self.assertEqual(status, 200)
        self.assertIn("sandbox", resp.getheader("Content-Security-Policy"))
        rec = record(self.port)
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("GET", rec["upstream"]["url_file"])
        kept = conn.getresponse()
        self.assertEqual((kept.status, kept.getheader("Content-Type")),
                         (200, "application/octet-stream"))
        self.assertTrue(kept.getheader("Content-Disposition").startswith("attachment"))
        self.assertEqual(kept.read(), data)
        conn.close()

    def test_the_inspector_stays_the_inspectors_on_loopback_only(self):
        count = len(self.plain.seen)
        for path in ("/", "/static/inspector.js", "/api/requests", "/files/999/0",
                     "/files/999/answer", "/thumbs/999/0"):
            with self.subTest(path):
                status, _, _, resp = call(self.port, path, method="GET")
                self.assertIn(status, (200, 404))
                self.assertNotIn("sandbox", resp.getheader("Content-Security-Policy"))
        self.assertEqual(len(self.plain.seen), count)
        status, _, _, _ = call(self.port, "/api/requests", method="GET",
                               headers={"Host": "service.example"})
        self.assertEqual(status, 502)  # the fake upstream closes on a path it does not know
        # aiohttp 3.11's client tries a GET again once on a connection closed under it.
        self.assertIn(len(self.plain.seen), (count + 1, count + 2))
        self.assertEqual(self.plain.seen[-1][0][0], "GET /base/api/requests HTTP/1.1")


class UpstreamBoundsTest(unittest.TestCase):
    """What a hostile client or upstream tries, the proxy's bounds hold."""

    def setUp(self):
        self.upstream = FakeUpstream()
        self.addCleanup(self.upstream.close)

    def start(self, *args):
        proc, port, _ = proxy("http://127.0.0.1:%d" % self.upstream.port, *args)
        self.addCleanup(stop_server, proc)
        return proc, port

    def test_stalled_upstreams_hold_nothing_else(self):
        # The stalled calls are held until the upstream closes them, the service's time limit
        # being longer still: a call answered while any is held was not queued behind them,
        # however slow the machine.
        _, port = self.start("--timeout", str(TIMEOUT * 8))
        stalled = [threading.Thread(target=call, args=(port, "/stall")) for _ in range(20)]
        for thread in stalled:
            thread.start()
        time.sleep(0.3)
        for path in ("/api/requests", "/p/ok"):
            self.assertEqual(call(port, path, method="GET")[0], 200)
            self.assertTrue(any(thread.is_alive() for thread in stalled))
        for thread in stalled:
            thread.join()

    def test_a_client_that_leaves_midway_is_told_apart_from_a_failed_upstream(self):
        # A time limit that no busy machine reaches: the upstream never stalls here.
        _, port = self.start("--timeout", str(TIMEOUT * 8))
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT * 8) as conn:
            conn.sendall(b"GET /big/%d HTTP/1.1\r\nHost: localhost\r\n\r\n" % (256 << 20))
            got = 0
            while got < 1 << 20:
                got += len(receive(conn))
        for _ in range(50):  # listed once the service has seen the client go
            time.sleep(0.1)
            try:
                rec = record(port)
                break
            except IndexError:
                continue
        self.assertEqual(rec["upstream"]["status"], 200)
        self.assertTrue(rec["upstream"]["error"].startswith("the client went away after "),
                        rec["upstream"]["error"])
        self.assertEqual(call(port, "/p/ok", method="GET")[0], 200)

    def test_a_long_upload_that_keeps_moving_is_no_stall(self):
        _, port = self.start()
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        conn.putrequest("POST", "/p/ok")
        conn.putheader("Content-Type", "text/plain")
        conn.putheader("Content-Length", "8")
        conn.endheaders()
        for _ in range(8):  # twice the time limit in all, never a stall as long as it
            conn.send(b"x")
            time.sleep(TIMEOUT / 4)
        self.assertEqual((conn.getresponse().status), 200)
        conn.close()

    def test_an_answer_that_comes_as_the_body_ends_is_never_waited_for(self):
        # The upstream answers once it has the last byte, often while the service's worker is
        # still behind on the body (a long value goes escaped into the report): each time, the
        # answer comes at once and the record is whole.
        _, port = self.start()
        body = b"v=" + b"%00" * (1 << 20)
        for _ in range(5):
            status, answer, seconds, _ = call(
                port, "/p/ok", body, headers={"Content-Type": "application/x-www-form-urlencoded"})
            self.assertEqual((status, answer), (200, b"saw %d bytes" % len(body)))
            self.assertLess(seconds, TIMEOUT * 3)
            self.assertEqual(record(port)["size"], len(body))

    def test_answers_count_against_the_store_budget(self):
        _, port = self.start("--keep-bytes", "300000")
        status, data, _, _ = call(port, "/big/400000", method="GET")
        self.assertEqual((status, len(data)), (200, 400000))  # answered whole all the same
        big = record(port)["upstream"]
        self.assertEqual((big["has_file"], big["size"]), (False, 400000))
        self.assertIn("300000", big["not_kept"])
        self.assertEqual(big["sha256"], hashlib.sha256(b"b" * 400000).hexdigest())
        for _ in range(3):  # each one drops the one before to stay within the budget
            self.assertEqual(call(port, "/big/200000", method="GET")[0], 200)
            self.assertTrue(record(port)["upstream"]["has_file"])

    def test_a_64_mib_upload_and_answer_keep_memory_bounded(self):
        proc, port = self.start("--timeout", "60")  # no stall on a slow machine
        before = peak_kib(proc)
        size = 64 << 20
        part = b"--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n"
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        conn.putrequest("POST", "/p/ok")
        conn.putheader("Content-Type", "multipart/form-data; boundary=b")
        conn.putheader("Content-Length", str(len(part) + size + 9))
        conn.endheaders()
        conn.send(part)
        block = bytes(1 << 20)
        for _ in range(64):
            conn.send(block)
        conn.send(b"\r\n--b--\r\n")
        self.assertEqual(conn.getresponse().read(), b"saw %d bytes" % (len(part) + size + 9))
        conn.close()
        status, data, _, _ = call(port, "/big/%d" % size, method="GET")
        self.assertEqual((status, len(data)), (200, size))
        self.assertLess(peak_kib(proc) - before, 32 * 1024)
        upload = record(port)["id"] - 1  # the one before the answer's GET
        self.assertEqual([p["size"] for p in record(port, upload)["parts"]], [size])


def resend(port, id, query="", headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("POST", "/api/requests/%s/resend%s" % (id, query), b"", headers or {})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


class ResendTest(unittest.TestCase):
    def setUp(self):
        self.upstream = FakeUpstream()
        self.addCleanup(self.upstream.close)
        proc, self.port, _ = proxy("http://127.0.0.1:%d" % self.upstream.port,
                                   "--keep-bytes", "200000")
        self.addCleanup(stop_server, proc)

    def test_a_kept_request_is_sent_again_and_listed_anew(self):
        body = (b"--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n"
                + b"q" * 5000 + b"\r\n--b--\r\n")
        call(self.port, "/p/ok?x=1", body, headers={**MULTIPART, "X-Mine": "1"})
        first = record(self.port)
        self.assertIsNone(first["resend"])
        status, data = resend(self.port, first["id"])
        self.assertEqual((status, json.loads(data)["status"]), (200, 200))
        again = record(self.port)
        self.assertEqual((again["id"], json.loads(data)["id"]), (first["id"] + 1, again["id"]))
        self.assertEqual((again["method"], again["path"]), ("POST", "/p/ok?x=1"))
        self.assertEqual([p["sha256"] for p in again["parts"]],
                         [p["sha256"] for p in first["parts"]])
        (one, sent), (two, resent) = self.upstream.seen[-2:]
        self.assertEqual((one[0], sent), (two[0], resent))
        self.assertIn("X-Mine: 1", two)
        self.assertFalse([line for line in two if line.lower().startswith("x-wsdevserver")])

        # To the service itself: its own report, and the upstream never asked.
        call(self.port, "/Vortan/BackOffice/trunk/webservice/zunel/testMsg", body,
             headers={"Content-Type": "multipart/form-data; boundary=b"})
        asked = len(self.upstream.seen)
        status, data = resend(self.port, record(self.port)["id"], "?to=service")
        self.assertEqual((status, json.loads(data)["status"]), (200, 200))
        self.assertEqual(len(self.upstream.seen), asked)
        own = record(self.port)
        self.assertEqual(json.loads(data)["id"], own["id"])
        self.assertNotIn("upstream", own)
        self.assertEqual([p["sha256"] for p in own["parts"]], [p["sha256"] for p in first["parts"]])

    def test_refusals(self):
        call(self.port, "/p/ok", b"z" * 300000, headers={"Content-Type": "text/plain"})
        big = record(self.port)
        self.assertIn("not kept whole", big["resend"])
        call(self.port, "/p/ok", b"small", headers={"Content-Type": "text/plain"})
        small = record(self.port)["id"]
        asked = len(self.upstream.seen)
        for name, id, query, headers, status, words in [
                ("a body not kept whole", big["id"], "", {}, 409,
                 b"cannot be sent again: its body was not kept whole"),
                ("a foreign origin", small, "", {"Origin": "http://evil.example"}, 403,
                 b"forbidden"),
                ("no such request", 999, "", {}, 404, b"no such request"),
                ("an id that is no number", "%C2%B2", "", {}, 404, b"not found"),
                ("a bad target", small, "?to=elsewhere", {}, 400, b"to is upstream or service")]:
            with self.subTest(name):
                got, data = resend(self.port, id, query, headers)
                self.assertEqual(got, status)
                self.assertIn(words, data)
        self.assertEqual(len(self.upstream.seen), asked)


@unittest.skipIf(trustme is None, "python3-trustme is not installed")
class UpstreamTlsTest(unittest.TestCase):
    """--upstream-insecure: no certificate checked, and said so in the log and the record. (A
    private authority, and the failure without it, are checked through the console.)"""

    def test_an_unchecked_upstream_is_said_so(self):
        server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        trustme.CA().issue_cert("127.0.0.1").configure_cert(server)
        upstream = FakeUpstream(server)
        self.addCleanup(upstream.close)
        proc, port, log = proxy("https://127.0.0.1:%d" % upstream.port, "--upstream-insecure")
        self.addCleanup(stop_server, proc)
        self.assertEqual(call(port, "/ok", b"hi")[:2], (200, b"saw 2 bytes"))
        self.assertTrue(record(port)["upstream"]["insecure"])
        self.assertTrue(any("WARNING" in line and "NOT checked" in line for line in log))


class UpstreamOptionsTest(unittest.TestCase):
    def test_bad_options_are_usage_errors(self):
        rows = [(["--upstream", url], words) for url, words in [
            ("ftp://host/", "scheme must be http or https"), ("http:///path", "has no host"),
            ("service.example", "scheme must be http or https"),
            ("http://host:99999/", "not a URL"), ("http://user@host/", "give only")]] + [
            (["--upstream", "http://h", "--host", "0.0.0.0"], "loopback only"),
            (["--upstream-insecure"], "need --upstream"),
            (["--upstream", "https://h", "--upstream-ca", "/nonexistent"], "--upstream-ca")]
        for args, words in rows:
            with self.subTest(args):
                done = subprocess.run([PYTHON, SERVER, "--port", "0", *args],
                                      capture_output=True, text=True, timeout=10)
                self.assertEqual(done.returncode, 2)
                self.assertIn(words, done.stderr)


if __name__ == "__main__":
    unittest.main()
