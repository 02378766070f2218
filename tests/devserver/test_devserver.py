"""The development web service: its HTTP behaviour against the service in this process, and
what only a whole process shows (memory, disk, descriptors, signals) against subprocesses."""

import hashlib
import http.client
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_process import (  # noqa: E402
    PYTHON, ROOT, SERVER, InProcess, peak_kib, start_server, stop_server)
BASE = "/Vortan/BackOffice/trunk/webservice/zunel/"
BOUNDARY = "------------------------abc123"
CONSOLE_TYPE = "application/x-www-form-urlencoded; boundary=" + BOUNDARY
MULTIPART_TYPE = "multipart/form-data; boundary=" + BOUNDARY


def setUpModule():
    global SERVICE, PORT
    SERVICE = InProcess()
    PORT = SERVICE.port


def tearDownModule():
    SERVICE.stop()


def multipart(parts, disposition="form-data", close=True):
    """parts: (name, filename or None, bytes) -> a body laid out the way libcurl writes it."""
    out = b""
    for name, filename, data in parts:
        out += ('--%s\r\nContent-Disposition: %s; name="%s"'
                % (BOUNDARY, disposition, name)).encode()
        out += (b'; filename="%s"\r\nContent-Type: image/jpeg' % filename.encode()
                if filename is not None else b"")
        out += b"\r\n\r\n" + data + b"\r\n"
    return out + (b"--%s--\r\n" % BOUNDARY.encode() if close else b"")


def post(endpoint, body, content_type, method="POST"):
    conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
    try:
        conn.request(method, BASE + endpoint, body,
                     {"Content-Type": content_type} if content_type else {})
        resp = conn.getresponse()
        return resp.status, resp.read().decode(), resp
    finally:
        conn.close()


def raw(data, give_up=False):
    """Send raw bytes, return all the server answers until it closes the connection; with
    give_up the client stops sending (a half-close) and the server answers nobody."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
        s.sendall(data)
        if give_up:
            s.shutdown(socket.SHUT_WR)
        return b"".join(iter(lambda: s.recv(65536), b"")).decode("utf-8", "replace")


def chunked_past_limit(head):
    """Send one chunk a byte past the 512 MiB limit, as long as the server reads; its answer."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
        s.sendall(head + b"Transfer-Encoding: chunked\r\n\r\n20000001\r\n")
        block = bytes(1 << 20)
        try:
            for _ in range(513):
                s.sendall(block)
        except OSError:
            pass  # refused and closed while sending
        return b"".join(iter(lambda: s.recv(65536), b"")).decode("utf-8", "replace")


def file_line(name, filename, data):
    return ('file field "%s": "%s", %d bytes, sha256 %s\n'
            % (name, filename, len(data), hashlib.sha256(data).hexdigest()))


class ReportTest(unittest.TestCase):
    def test_console_message_under_urlencoded_type_with_boundary(self):
        status, text, resp = post(
            "testMsg", multipart([("message", None, b'{"page":"unIDdepage"}')], "attachment"),
            CONSOLE_TYPE)
        self.assertEqual((status, resp.getheader("Content-Type")),
                         (200, "text/plain; charset=utf-8"))
        self.assertEqual(text, 'devserver: testMsg received 1 field\n'
                               'text field "message" (21 bytes): {"page":"unIDdepage"}\n')

    def test_file_parts_keep_names_sizes_and_bytes(self):
        samples = os.path.join(ROOT, "devserver", "samples")
        with open(os.path.join(samples, "6uD78iT-.jpeg"), "rb") as a, \
             open(os.path.join(samples, "th.jpg"), "rb") as b:
            jpeg, thumb = a.read(), b.read()
        # line breaks and a near-boundary in the data
        tricky = b"\r\n--" + BOUNDARY[:-1].encode() + b"\r\n\r"
        parts = [("file", r"C:\Users\Zunel\Pictures\6uD78iT-.jpeg", jpeg),
                 ("file2", r"C:\Users\Zunel\Pictures\th.jpg", thumb),
                 ("raw", "a%22b", tricky)]
        # A '"' in a quoted name stays %22 in the report, so that it cannot end the quotes.
        self.assertEqual(post("testImg", multipart(parts, "attachment"), CONSOLE_TYPE)[1],
                         "devserver: testImg received 3 fields\n"
                         + "".join(file_line(*p) for p in parts))

    def test_text_decoding(self):
        status, text, _ = post("testMsg", b"a=1&b=%20x&c=&d=x+y%C3%A9",
                               "application/x-www-form-urlencoded")
        self.assertEqual(text, 'devserver: testMsg received 4 fields\n'
                               'url-encoded field "a" (1 bytes): 1\n'
                               'url-encoded field "b" (2 bytes):  x\n'
                               'url-encoded field "c" (0 bytes): \n'
                               'url-encoded field "d" (5 bytes): x yé\n')
        # http.client sends an iterable body of unknown length as chunks
        self.assertEqual(post("testMsg", iter([b"a=1&", b"b=2"]),
                              "application/x-www-form-urlencoded")[1].splitlines()[0],
                         "devserver: testMsg received 2 fields")
        text = post("testMsg", multipart([("m", None, "é\nß\t\x01".encode() + b"\xff")]),
                    MULTIPART_TYPE)[1]
        self.assertEqual(text.splitlines()[1], 'text field "m" (8 bytes): é\\nß\\t\\x01\ufffd')
        # Every character some reader takes as a line break, and a '"' that would end a
        # name's quotes.
        breaks = "\x0b\x0c\x1c\x1d\x1e\x85\x9b\u2028\u2029"
        text = post("testMsg", multipart([("n%22" + breaks, None, breaks.encode())]),
                    MULTIPART_TYPE)[1]
        self.assertEqual(text.splitlines()[1],
                         'text field "n%22' + "\\x0b\\x0c\\x1c\\x1d\\x1e\\x85\\x9b\\u2028\\u2029"
                         + '" (15 bytes): \\x0b\\x0c\\x1c\\x1d\\x1e\\x85\\x9b\\u2028\\u2029')
        self.assertEqual(post("testMsg", b"a%22b=1",
                              "application/x-www-form-urlencoded")[1].splitlines()[1],
                         'url-encoded field "a%22b" (1 bytes): 1')
        # A name in a Windows client's code page is answered, its bytes that are not UTF-8 shown
        # as U+FFFD.
        latin1 = multipart([("fich\xe9", "\xe9t\xe9.jpg", b"x")]).replace("\xe9".encode(), b"\xe9")
        self.assertEqual(post("testImg", latin1, MULTIPART_TYPE)[1].splitlines()[1],
                         file_line("fich\ufffd", "\ufffdt\ufffd.jpg", b"x").rstrip("\n"))


class BadInputTest(unittest.TestCase):
    def test_bad_requests_get_one_line_and_server_keeps_serving(self):
        unclosed, body = ("bad request: multipart body has no closing boundary\n",
                          multipart([("a", None, b"x")]))
        cases = [  # (name, endpoint, body, content type, status, answer)
            ("truncated", "testMsg", body[:60], MULTIPART_TYPE, 400, unclosed),
            ("cut before --", "testMsg", body[:-4], MULTIPART_TYPE, 400, unclosed),
            ("no closing", "testMsg", multipart([("a", None, b"x")], close=False), MULTIPART_TYPE,
             400, unclosed),
            ("no boundary", "testMsg", body, "multipart/form-data", 400,
             "bad request: multipart Content-Type has no boundary\n"),
            ("empty", "testMsg", b"", MULTIPART_TYPE, 400, "bad request: empty multipart body\n"),
            ("garbage", "testMsg", b"\x00\xffjunk\r\n", MULTIPART_TYPE, 400,
             "bad request: multipart body has no opening boundary\n"),
            ("no type", "testMsg", b"a=1", None, 400, "bad request: no Content-Type\n"),
            ("other type", "testMsg", b"{}", "application/json", 400,
             'bad request: unsupported Content-Type "application/json"\n'),
            ("inline part", "testMsg", body.replace(b"form-data", b"inline"), MULTIPART_TYPE, 400,
             "bad request: part 1 has no form-data or attachment disposition\n"),
            ("unknown path", "nope", b"a=1", "application/x-www-form-urlencoded", 404,
             "not found: %snope\n" % BASE),
        ]
        for name, endpoint, body, ctype, status, answer in cases:
            with self.subTest(name):
                self.assertEqual(post(endpoint, body, ctype)[:2], (status, answer))
                self.assertEqual(post("testMsg", b"a=1",
                                      "application/x-www-form-urlencoded")[0], 200)
        status, _, resp = post("testImg", None, None, method="GET")
        self.assertEqual((status, resp.getheader("Allow")), (405, "POST"))

    def test_broken_transport(self):
        head = ("POST %stestMsg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" % BASE).encode()
        for expect in (b"", b"Expect: 100-continue\r\n"):  # refused before any body byte is read
            held = len(SERVICE.store.records())
            self.assertIn(" 413 ", raw(b"%s%sContent-Length: %d\r\n\r\n"
                                       % (head, expect, 600 << 20)).split("\r\n")[0])
            self.assertEqual(len(SERVICE.store.records()), held + 1)  # listed once
        self.assertIn(" 413 ", chunked_past_limit(head))
        self.assertIn(" 400 ", raw(head + b"Transfer-Encoding: chunked\r\n\r\nzz\r\n"))
        form = head + b"Content-Type: application/x-www-form-urlencoded\r\n"
        answer = 'url-encoded field "a" (1 bytes): 1\n'
        # A chunk-size line is read whole, however long its extension: no part of it is body.
        for extension in (b"x" * 3000, b"x" * 1022 + b"b=2"):
            reply = raw(form + b"Transfer-Encoding: chunked\r\n\r\n3;%s\r\na=1\r\n0\r\n\r\n"
                        % extension)
            self.assertTrue(reply.startswith("HTTP/1.1 200 ")
                            and reply.endswith("1 field\n" + answer), reply)
        # Conflicting framing is refused and the connection closed: the request behind is not
        # served.
        second = (b"POST %stestMsg HTTP/1.1\r\nHost: x\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\n"
                  b"Content-Length: 3\r\n\r\na=1" % BASE.encode())
        for framing in (b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                        b"Content-Length: 3\r\nContent-Length: 40\r\n\r\na=1"):
            reply = raw(form.replace(b"Connection: close\r\n", b"") + framing + second)
            self.assertEqual((reply.split(" ")[1], reply.count("HTTP/1.")), ("400", 1), reply)
        self.assertIn(" 400 ", raw(b"\x16\x03\x01garbage\r\n\r\n"))
        # client gave up: no answer
        self.assertEqual(raw(head + b"Content-Length: 1000\r\n\r\nshort", give_up=True), "")
        self.assertEqual(post("testMsg", b"a=1", "application/x-www-form-urlencoded")[0], 200)


class HostileInputTest(unittest.TestCase):
    """Input no client of this service sends: each gets an answer, and the server stays up."""

    def assertServing(self):
        self.assertTrue(SERVICE.thread.is_alive())
        self.assertEqual(post("testMsg", b"a=1", "application/x-www-form-urlencoded")[0], 200)

    def test_oversized_heads_are_refused(self):
        # Past the HTTP library's limits (8 KiB lines, 100 headers), each small enough to be read
        # whole, so that closing the connection sends the answer rather than a reset.
        head = ("POST %stestMsg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" % BASE).encode()
        cases = [  # (name, request)
            ("9 KB header line",
             head + b"X-Big: " + b"a" * 9000 + b"\r\nContent-Length: 0\r\n\r\n"),
            ("101 header lines", head + b"".join(b"X-%d: a\r\n" % i for i in range(101)) + b"\r\n"),
            ("9 KB request line",
             b"POST %stestMsg?%s HTTP/1.1\r\nHost: x\r\n\r\n" % (BASE.encode(), b"a" * 9000)),
        ]
        for name, request in cases:
            with self.subTest(name):
                self.assertRegex(raw(request), r"^HTTP/1\.[01] 400 ")
                self.assertServing()

    def test_requests_refused_before_routing(self):
        """Each refused whole, with the security headers that every answer carries."""
        post_head = b"POST %stestMsg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" % BASE.encode()
        form = b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=1"
        cases = [  # (name, request, status)
            ("absolute target naming another host",
             b"GET http://evil.example/api/requests HTTP/1.1\r\n"
             b"Host: localhost\r\nConnection: close\r\n\r\n", "403"),
            ("HTTP/1.1 without Host",
             b"POST %stestMsg HTTP/1.1\r\nConnection: close\r\n%s" % (BASE.encode(), form), "400"),
            ("HTTP/2.0", post_head.replace(b"HTTP/1.1", b"HTTP/2.0") + form, "505"),
            # aiohttp 3.11's own parser refuses this one first
            ("HTTP/1.9", post_head.replace(b"HTTP/1.1", b"HTTP/1.9") + form, "505 400"),
            ("space before a header's colon", post_head + b"X-Foo : bar\r\n" + form, "400"),
            ("gzip body", post_head + b"Content-Encoding: gzip\r\n" + form, "415"),
            ("unknown coding", post_head + b"Content-Encoding: x-squash\r\n" + form, "415"),
            ("page of another site", post_head.replace(b"testMsg", b"testMsg?from=evil")
             + b"Origin: https://evil.example\r\n" + form, "403"),
            ("origin null", post_head + b"Origin: null\r\n" + form, "403"),
            ("unknown path",
             b"POST /nope HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + form, "404"),
            ("GET on an endpoint",
             b"GET %stestMsg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % BASE.encode(),
             "405"),
            ("page served from loopback", post_head.replace(b"testMsg", b"testMsg?from=local")
             + b"Origin: http://localhost:3000\r\n" + form, "200"),
            ("a tunnel asked for", b"CONNECT @127.0.0.1:22 HTTP/1.1\r\nHost: x\r\n"
             b"Connection: close\r\n\r\n", "405"),
            ("the target *", b"OPTIONS * HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
             "400"),
            ("answer rules put by a page of another site",
             b"PUT /api/answers HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
             b"Origin: https://evil.example\r\nContent-Type: application/json\r\n"
             b"Content-Length: 17\r\n\r\n[{\"status\": 500}]", "403"),
        ]
        for name, request, status in cases:
            with self.subTest(name):
                head = raw(request).partition("\r\n\r\n")[0]
                self.assertIn(head[9:12], status.split(), head)
                self.assertIn("\r\nX-Content-Type-Options: nosniff", head)
                self.assertServing()
        # What a foreign page sent is not even kept; a page from loopback is served as any client.
        listed = json.loads(raw(b"GET /api/requests?limit=200 HTTP/1.1\r\nHost: localhost\r\n"
                                b"Connection: close\r\n\r\n").partition("\r\n\r\n")[2])
        paths = [r["path"] for r in listed["requests"]]
        self.assertEqual((BASE + "testMsg?from=evil" in paths,
                          BASE + "testMsg?from=local" in paths), (False, True))
        rules = raw(b"GET /api/answers HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        self.assertEqual(rules.partition("\r\n\r\n")[2], "[]")  # the foreign page's changed nothing

    def test_content_length_of_any_form_gets_an_answer(self):
        head = ("POST %stestMsg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\n" % BASE).encode()
        cases = [  # (name, Content-Length, statuses): str.isdigit() takes "²", int() refuses it
            ("superscript two", "\xb2".encode("latin-1"), {"400"}),
            ("5000 digits", b"9" * 5000, {"400", "413"}),  # the HTTP parser may refuse it first
            ("3 after 5000 zeros", b"0" * 5000 + b"3", {"200"}),
        ]
        for name, length, statuses in cases:
            for expect in (b"", b"Expect: 100-continue\r\n"):
                with self.subTest(name, expect=expect):
                    reply = raw(head + expect + b"Content-Length: " + length + b"\r\n\r\na=1")
                    self.assertIn(reply.removeprefix("HTTP/1.1 100 Continue\r\n\r\n").split(" ")[1],
                                  statuses)
                    self.assertServing()

    def test_malformed_multipart_gets_400(self):
        def body(*part_heads):
            return b"".join(b"--%s\r\n%s\r\n\r\nx\r\n" % (BOUNDARY.encode(), h)
                            for h in part_heads) + b"--%s--\r\n" % BOUNDARY.encode()
        nested = (b'Content-Disposition: form-data; name="a"\r\n'
                  b'Content-Type: multipart/mixed; boundary=zz\r\n\r\n'
                  b"--zz\r\n\r\nq\r\n--zz--")
        cases = [  # (name, body, content type, answer)
            ("part without a name", body(b"Content-Disposition: form-data"), MULTIPART_TYPE,
             "part 1 has no name"),
            ("second part without disposition",
             body(b'Content-Disposition: form-data; name="a"', b"X-Other: 1"), MULTIPART_TYPE,
             "part 2 has no form-data or attachment disposition"),
            ("nested multipart", body(nested), MULTIPART_TYPE, "part 1 is itself multipart"),
            ("closing delimiter only", b"--%s--\r\n" % BOUNDARY.encode(), MULTIPART_TYPE,
             "multipart body has no opening boundary"),
            ("boundary of 71 characters", body(b'Content-Disposition: form-data; name="a"'),
             "multipart/form-data; boundary=" + "b" * 71, "invalid multipart boundary"),
            ("boundary with a line break", body(b'Content-Disposition: form-data; name="a"'),
             'multipart/form-data; boundary="a%0D%0Ab"', "invalid multipart boundary"),
            ("empty boundary", body(b'Content-Disposition: form-data; name="a"'),
             'multipart/form-data; boundary=""', "invalid multipart boundary"),
            ("part head past 1 MiB",
             body(b'Content-Disposition: form-data; name="%s"' % (b"n" * (1 << 20))),
             MULTIPART_TYPE, "part 1 has a head of more than 1048576 bytes"),
            ("heads past 1 MiB in all",
             body(*[b'Content-Disposition: form-data; name="a"; filename="%s"'
                    % (b"f" * 4096)] * 300),
             MULTIPART_TYPE, "part heads of more than 1048576 bytes in all"),
            ("101 head lines", body(b'Content-Disposition: form-data; name="a"' + b"\r\na:" * 100),
             MULTIPART_TYPE, "part 1 has more than 100 head lines"),
            ("names past 1 MiB in all", b"&".join([b"n" * 4096 + b"=1"] * 300),
             "application/x-www-form-urlencoded", "field names of more than 1048576 bytes in all"),
            ("empty fields past the names' bound", b"=&" * (1 << 18),
             "application/x-www-form-urlencoded", "field names of more than 1048576 bytes in all"),
        ]
        for name, data, ctype, reason in cases:
            with self.subTest(name):
                self.assertEqual(post("testImg", data, ctype)[:2],
                                 (400, "bad request: %s\n" % reason))
                self.assertServing()

    def test_a_100_kb_part_header_is_read(self):
        name = "n" * 100000
        text = post("testMsg", multipart([(name, None, b"x")]), MULTIPART_TYPE)[1]
        self.assertEqual(text, 'devserver: testMsg received 1 field\n'
                               'text field "%s" (1 bytes): x\n' % name)

    def test_50_concurrent_uploads_good_bad_and_abandoned(self):
        answers = {}

        def client(i):
            data = os.urandom(20000 + i)
            good = multipart([("file", "f%d.jpg" % i, data)])
            try:
                if i % 5 == 0:  # the client goes away in the middle of its body
                    head = ("POST %stestImg HTTP/1.1\r\nHost: x\r\nContent-Type: %s\r\n"
                            "Content-Length: %d\r\n\r\n" % (BASE, MULTIPART_TYPE, len(good)))
                    answers[i] = raw(head.encode() + good[:len(good) // 2], give_up=True) == ""
                elif i % 5 == 1:  # truncated
                    answers[i] = (post("testImg", good[:len(good) // 2], MULTIPART_TYPE)[:2]
                                  == (400, "bad request: multipart body has no closing "
                                           "boundary\n"))
                elif i % 5 == 2:  # no boundary
                    answers[i] = post("testImg", good, "multipart/form-data")[0] == 400
                else:
                    answers[i] = (file_line("file", "f%d.jpg" % i, data)
                                  in post("testImg", good, CONSOLE_TYPE)[1])
            except OSError as e:
                answers[i] = e
        threads = [threading.Thread(target=client, args=(i,)) for i in range(50)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        self.assertEqual(answers, {i: True for i in range(50)})
        self.assertServing()


def post_to(port, endpoint, body, content_type, timeout=60):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("POST", BASE + endpoint, body, {"Content-Type": content_type})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def small_file_system(test, mib):
    """A tmpfs of `mib` MiB of the test's own (root only), removed when the test ends."""
    folder = tempfile.mkdtemp(prefix="wsdevserver-fs-")
    test.addCleanup(os.rmdir, folder)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % mib, "tmpfs", folder],
                      capture_output=True).returncode:
        test.skipTest("cannot mount a tmpfs here (root only)")
    test.addCleanup(subprocess.run, ["umount", "-l", folder])
    return folder


def used_bytes(folder):
    st = os.statvfs(folder)
    return (st.f_blocks - st.f_bfree) * st.f_frsize


class LoadTest(unittest.TestCase):
    @unittest.skipUnless(os.path.exists("/proc/self/status"), "needs /proc/PID/status")
    def test_a_64_mib_upload_is_read_as_it_arrives(self):
        proc, port, log = start_server()  # its own, so that no other test's peak counts
        self.addCleanup(stop_server, proc)
        block, blocks, digest = os.urandom(1 << 20), 64, hashlib.sha256()
        for _ in range(blocks):
            digest.update(block)
        head, tail = multipart([("file", "big.jpeg", b"<data>")]).split(b"<data>")
        idle = peak_kib(proc)
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                headers = {"Content-Type": CONSOLE_TYPE}
                if not chunked:
                    headers["Content-Length"] = str(len(head) + blocks * len(block) + len(tail))
                conn.request("POST", BASE + "testImg", iter([head, *[block] * blocks, tail]),
                             headers)
                text = conn.getresponse().read().decode()
                conn.close()
                self.assertTrue(text.endswith('"big.jpeg", %d bytes, sha256 %s\n'
                                              % (blocks << 20, digest.hexdigest())), text)
                # a service holding the body grows by 64 MiB and more
                self.assertLess(peak_kib(proc) - idle, 16 << 10)
        with self.subTest("url-encoded"):  # a long value, then many short fields
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            conn.request("POST", BASE + "testMsg",
                         iter([b"v=", *[b"x%41" * (1 << 18)] * 48, b"&a=1" * (1 << 16)]),
                         {"Content-Type": "application/x-www-form-urlencoded"})
            text = conn.getresponse().read().decode()
            conn.close()
            lines = text.split("\n")
            self.assertEqual((lines[0], len(lines[1]), lines[-2]),
                             ("devserver: testMsg received %d fields" % ((1 << 16) + 1),
                              len('url-encoded field "v" (25165824 bytes): ') + (24 << 20),
                              'url-encoded field "a" (1 bytes): 1'))
            # a service holding the body grows by 48 MiB and more
            self.assertLess(peak_kib(proc) - idle, 24 << 10)

    @unittest.skipUnless(os.path.exists("/proc/self/status"), "needs /proc/PID/status")
    def test_heads_of_many_lines_cost_bounded_memory(self):
        proc, port, log = start_server()
        self.addCleanup(stop_server, proc)
        head = b'Content-Disposition: form-data; name="p"' + b"\r\na:" * 262000
        body = (b"".join(b"--%s\r\n%s\r\n\r\nx\r\n" % (BOUNDARY.encode(), head) for _ in range(4))
                + b"--%s--\r\n" % BOUNDARY.encode())
        idle = peak_kib(proc)
        for _ in range(30):
            self.assertEqual(post_to(port, "testMsg", body, MULTIPART_TYPE)[0], 400)
        self.assertLess(peak_kib(proc) - idle, 128 << 10)
        small = {}
        thread = threading.Thread(
            target=lambda: small.update(answer=post_to(port, "testMsg", b"a=1",
                                                       "application/x-www-form-urlencoded"),
                                        seconds=time.monotonic() - started))
        started = time.monotonic()
        thread.start()
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/api/requests?limit=200", headers={"Host": "localhost"})
        listed = json.loads(conn.getresponse().read())
        conn.close()
        self.assertLess(time.monotonic() - started, 5)  # not behind 30 heads of 1 MiB lines
        thread.join(10)
        self.assertEqual((small["answer"][0], len(listed["requests"]) in (30, 31)), (200, True))
        self.assertLess(small["seconds"], 5)

    def test_an_answer_that_would_not_fit_in_memory_is_refused(self):
        # Random bytes, escaped, compress too little to fit an answer's 64 MiB: refused, not held.
        proc, port, log = start_server("--keep-bytes", "0")
        self.addCleanup(stop_server, proc)
        status, text = post_to(port, "testMsg", multipart([("v", None, os.urandom(72 << 20))]),
                               MULTIPART_TYPE, timeout=120)
        self.assertEqual((status, text.split(b":")[0]), (507, b"insufficient storage"))
        self.assertLess(peak_kib(proc), 256 << 10)
        self.assertEqual(post_to(port, "testMsg", b"a=1", "application/x-www-form-urlencoded")[0],
                         200)

    def test_the_store_never_passes_its_budget_nor_breaks_an_answer(self):
        value = b"x" * (12 << 20)
        text_form = lambda data: multipart([("v", None, data)])  # noqa: E731
        expected = 'devserver: testMsg received 1 field\ntext field "v" (%d bytes): %s\n'
        with self.subTest("three values at once against a 16 MiB budget"):
            folder = small_file_system(self, 64)
            proc, port, log = start_server("--keep-bytes", str(16 << 20),
                                           env=dict(os.environ, TMPDIR=folder))
            self.addCleanup(stop_server, proc)
            before, peak, answers, done = used_bytes(folder), [0], [], threading.Event()

            def watch():
                while not done.is_set():
                    peak[0] = max(peak[0], used_bytes(folder))
                    time.sleep(0.01)
            threads = [threading.Thread(target=watch)] + [threading.Thread(
                target=lambda: answers.append(post_to(port, "testMsg", text_form(value),
                                                      MULTIPART_TYPE))) for _ in range(3)]
            for t in threads:
                t.start()
            for t in threads[1:]:
                t.join(120)
            done.set()
            threads[0].join()
            self.assertEqual(answers,
                             [(200, (expected % (len(value), "x" * len(value))).encode())] * 3)
            self.assertLess(peak[0] - before, (16 + 4) << 20)
        with self.subTest("a 16 MiB file system"):
            folder = small_file_system(self, 16)
            proc, port, log = start_server(env=dict(os.environ, TMPDIR=folder))
            self.addCleanup(stop_server, proc)
            big = b"y" * (48 << 20)
            for data in (big, value[:1 << 20]):
                status, text = post_to(port, "testMsg", text_form(data), MULTIPART_TYPE)
                self.assertEqual((status, len(text), text[:60]),
                                 (200, len(expected % (len(data), data.decode())),
                                  (expected % (len(data), data.decode())).encode()[:60]))
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            self.addCleanup(conn.close)
            conn.request("GET", "/api/requests", headers={"Host": "localhost"})
            first = json.loads(conn.getresponse().read())["requests"][-1]["id"]
            conn.request("GET", "/api/requests/%d" % first, headers={"Host": "localhost"})
            part = json.loads(conn.getresponse().read())["parts"][0]
            self.assertEqual((part["has_file"], part["url"], part["not_kept"]),
                             (False, None, "cannot write it: No space left on device"))
            conn.request("GET", "/files/%d/0" % first, headers={"Host": "localhost"})
            self.assertEqual(conn.getresponse().status, 404)  # never a part of it

    @unittest.skipUnless(os.path.exists("/proc/self/stat"), "needs /proc/PID/stat")
    def test_idle_connections_cost_no_thread_and_no_spin(self):
        """Hundreds of idle connections, and more than the service has descriptors for: it neither
        spins nor starts a thread per connection, and it answers once they leave."""
        def cpu_and_threads(pid):
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(fields[17])
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))  # noqa: E731
        for descriptors, count in ((None, 300), (limit, 150)):
            with self.subTest(limited=descriptors is not None):
                proc, port, log = start_server(preexec_fn=descriptors)
                self.addCleanup(stop_server, proc)
                idle = [socket.socket() for _ in range(count)]
                for conn in idle:  # past the listen queue a connect would wait: these do not
                    conn.setblocking(False)
                    conn.connect_ex(("127.0.0.1", port))
                time.sleep(0.5)
                before, _ = cpu_and_threads(proc.pid)
                time.sleep(1)
                after, threads = cpu_and_threads(proc.pid)
                self.assertLess(after - before, 0.3)  # a spinning accept loop burns all of it
                self.assertLess(threads, 10)
                for conn in idle:
                    conn.close()
                # Out of descriptors, the service tries to accept again after a second: this
                # request waits in the listen queue until then.
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                conn.request("POST", BASE + "testMsg", b"a=1",
                             {"Content-Type": "application/x-www-form-urlencoded"})
                self.assertEqual(conn.getresponse().status, 200)
                conn.close()


@unittest.skipUnless(os.path.exists("/usr/bin/curl"), "curl not installed")
class CurlTest(unittest.TestCase):
    def test_what_libcurl_sends_is_understood(self):
        def curl(endpoint, *args):
            url = "http://127.0.0.1:%d%s%s" % (PORT, BASE, endpoint)
            return subprocess.run(["/usr/bin/curl", "-sS", "--max-time", "20", *args, url],
                                  capture_output=True, timeout=30).stdout.decode()
        form = ["-H", "Content-Type: application/x-www-form-urlencoded",
                "-F", 'message={"page":"p"}']
        self.assertEqual(curl("testMsg", *form),
                         'devserver: testMsg received 1 field\n'
                         'text field "message" (12 bytes): {"page":"p"}\n')
        with tempfile.TemporaryDirectory() as tmp:
            # big enough for curl to wait for "100 Continue"
            name, big = r"C:\Users\x.jpeg", os.urandom(3 << 20)
            # a plain file name on Linux: curl sends it whole
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(big)
            self.assertIn(file_line("file", name, big),
                          curl("testImg", "-F", "file=@" + os.path.join(tmp, name), *form[:2]))


class LifecycleTest(unittest.TestCase):
    def test_port_in_use_then_clean_stop(self):
        started = time.monotonic()
        second = subprocess.run([PYTHON, SERVER, "--port", str(PORT)], capture_output=True,
                                text=True, timeout=10)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual((second.returncode, second.stderr),
                         (1, "devserver: cannot listen on 127.0.0.1:%d: "
                             "address already in use\n" % PORT))
        for flags in (["--keep", "-1"], ["--port", "70000"], ["--keep-bytes", "x"],
                      ["--timeout", "0"]):
            with self.subTest(flags=flags):
                bad = subprocess.run([PYTHON, SERVER, *flags], capture_output=True, text=True,
                                     timeout=10)
                self.assertEqual((bad.returncode, bad.stderr.split("\n")[0][:26]),
                                 (2, "usage: wsconsole-devserver"))
                self.assertNotIn("Traceback", bad.stderr)
        with tempfile.NamedTemporaryFile("w", suffix=".toml") as rules:
            for rule, line in (('stauts = 500', 'unknown key "stauts"'),
                               ('status = 99', '"status" must be from 100 to 599, not 99'),
                               ('path = "/a["', '"path" is a bad glob')):
                with self.subTest(rule=rule):
                    rules.seek(0)
                    rules.truncate()
                    rules.write("[[answer]]\n%s\n" % rule)
                    rules.flush()
                    bad = subprocess.run([PYTHON, SERVER, "--answers", rules.name],
                                         capture_output=True, text=True, timeout=10)
                    self.assertEqual(bad.returncode, 2)
                    self.assertRegex(bad.stderr, r"\Adevserver: --answers \S+: rule 1: %s[^\n]*\n\Z"
                                     % re.escape(line))
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with tempfile.TemporaryDirectory() as tmp:  # where the service keeps what it received
                proc, port, log = start_server(env=dict(os.environ, TMPDIR=tmp))
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                conn.request("POST", BASE + "testImg", multipart([("file", "f.jpg", b"x" * 1000)]),
                             {"Content-Type": MULTIPART_TYPE})
                self.assertEqual(conn.getresponse().status, 200)
                conn.close()
                (folder,) = os.listdir(tmp)
                self.assertEqual((os.stat(os.path.join(tmp, folder)).st_mode & 0o777,
                                  len(os.listdir(os.path.join(tmp, folder)))), (0o700, 2))
                self.assertEqual((port is not None, stop_server(proc, sig), log[-1]),
                                 (True, 0, "devserver: stopped\n"))
                self.assertNotIn("Traceback", "".join(log))
                self.assertEqual(os.listdir(tmp), [])

    def test_a_killed_service_leaves_its_folder_to_the_next(self):
        with tempfile.TemporaryDirectory() as tmp:
            # no lock inside: not ours to take
            os.mkdir(os.path.join(tmp, "wsdevserver-not-a-store"))
            running, _, _ = start_server(env=dict(os.environ, TMPDIR=tmp))
            self.addCleanup(stop_server, running)
            killed, _, _ = start_server(env=dict(os.environ, TMPDIR=tmp))
            stop_server(killed, signal.SIGKILL)
            self.assertEqual(len(os.listdir(tmp)), 3)
            proc, port, log = start_server(env=dict(os.environ, TMPDIR=tmp))
            self.addCleanup(stop_server, proc)
            self.assertEqual(log[0], "devserver: removed 1 store folder that stopped services "
                                     "left behind\n")
            # the running service's, the new one's, the stranger
            self.assertEqual(len(os.listdir(tmp)), 3)


class StoreTest(unittest.TestCase):
    """The bounded store the inspector reads, on its own."""

    def setUp(self):
        sys.path.insert(0, os.path.join(ROOT, "devserver"))
        self.addCleanup(sys.path.remove, os.path.join(ROOT, "devserver"))
        from wsdevserver import records, store, views
        self.Part, self.views = records.Part, views
        self.store = store.RequestStore(keep=3, keep_bytes=100)
        self.addCleanup(self.store.close)

    def request(self, stored, status=200):
        """A finished request with one file part whose `stored` bytes were written."""
        record = self.store.begin("POST", "/p", "testImg", b"Host: x\r\n")
        part = self.Part(0, "file",
                         b'Content-Disposition: form-data; name="file"; filename="f.jpg"')
        self.store.add_part(record, part)
        self.store.file_for(record, part)
        room = self.store.reserve(part, stored)
        part.start = b"\x89PNG"  # the body reader keeps each part's first bytes
        if room:  # as a recording does: written whole, or answered and not stored
            with open(part.path, "wb") as f:
                f.write(b"\x89PNG" + bytes(stored - 4))
            part.kept = True
        self.store.finish(record, status)
        return record, room

    def test_keeps_the_newest_requests_and_drops_the_oldest_files_first(self):
        listed = []
        self.store.listeners.append(listed.append)
        first, _ = self.request(60)
        self.assertEqual((first.parts[0].path is not None, listed), (True, [first]))
        second, _ = self.request(60)  # no room for both: the older request's file goes
        self.assertEqual((first.parts[0].path, self.views.detail(second)["parts"][0]["has_file"]),
                         (None, True))
        self.assertEqual(self.views.detail(first)["parts"][0]["not_kept"],
                         "dropped for newer requests")
        # the start of a part outlives its file
        self.assertEqual(first.head_bytes(first.parts[0], 4), b"\x89PNG")
        third, room = self.request(200)  # more than the whole budget: answered, not stored
        self.assertEqual((room, third.parts[0].path, third.parts[0].lost),
                         (False, None, "the store keeps 100 bytes at most"))
        fourth, _ = self.request(10, status=400)
        self.assertEqual([r.id for r in self.store.records()], [fourth.id, third.id, second.id])
        self.assertIsNone(self.store.get(first.id))
        self.assertEqual(sorted(os.listdir(self.store.folder)),
                         sorted([os.path.basename(r.parts[0].path) for r in (second, fourth)]
                                + ["lock"]))
        self.assertEqual(self.views.detail(second)["parts"][0]["filename"], "f.jpg")


if __name__ == "__main__":
    unittest.main()
