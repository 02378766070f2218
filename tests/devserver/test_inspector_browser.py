"""The request inspector: its page in Debian's headless Chromium, and its guard over plain HTTP.

The Browser* classes drive a real Chromium through Selenium against the real service; they run
when WSDEVSERVER_BROWSER=1 (the devserver_browser test sets it), and fail then if Chromium,
chromedriver or Selenium is missing. BrowserConsole* runs only with WSCONSOLE_BIN and
WSCONSOLE_BASE_URL naming the console, in a network namespace of its own
(tests/support/own-loopback.sh), since the console calls the fixed port it was built with. The
other classes need no browser.
"""

import base64
import io
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import inspector_browser as browser  # noqa: E402
from server_process import DevServer, start_server, stop_server  # noqa: E402

sys.path.insert(0, os.path.join(browser.ROOT, "devserver"))
from wsdevserver import inspector, security, views  # noqa: E402

try:
    import PIL.Image as PIL
except ImportError:  # python3-pil: the service then tells only the web's pictures apart
    PIL = None

CONSOLE = os.environ.get("WSCONSOLE_BIN")
BASE_URL = os.environ.get("WSCONSOLE_BASE_URL", "http://localhost:18080")
PATH1 = "C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg"
PATH2 = "C:\\Users\\Zunel\\Pictures\\th.jpg"
MESSAGE = '{"page":"unIDdepage"}'

INSPECTOR_PATHS = ["/", "/static/inspector.js", "/static/inspector.css", "/api/requests",
                   "/api/requests/{id}", "/files/{id}/0", "/events"]  # {id}: a request kept

# Markup and script in every text a request can carry. None of it may become an element or run.
HOSTILE_NAME = "<img src=x onerror=window.ran=1><b id=injected-name>name</b>"
HOSTILE_FILENAME = "<script>window.ran=2</script><b id=injected-file>f</b>.html"
HOSTILE_VALUE = "<script>window.ran=3</script><b id=injected-value>v</b>&amp;"
HOSTILE_HEADER = "<b id=injected-header>h</b><script>window.ran=4</script>"

# Finds part arguments[1] of request arguments[0] on the page.
PART_JS = """const part = document.querySelector(
    `article[data-id="${arguments[0]}"] section.part[data-index="${arguments[1]}"]`);"""


def picture(kind):
    """A small picture in Pillow's `kind` format; bytes that are none without Pillow."""
    if PIL is None:
        return b"no Pillow here"
    out = io.BytesIO()
    PIL.new("RGB", (4, 3), (200, 10, 10)).save(out, kind)
    return out.getvalue()


def huge_png():
    """A PNG whose header says 9900 x 9900 pixels, with a few bytes of data."""
    header = struct.pack(">IIBBBBB", 9900, 9900, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + b"".join(
        struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        for kind, data in ((b"IHDR", header), (b"IDAT", bytes(100)), (b"IEND", b"")))


def portrait_jpeg():
    """A photo stored landscape, 60 x 40, that its EXIF orientation (6) turns portrait."""
    from PIL import Image
    exif, out = Image.Exif(), io.BytesIO()
    exif[0x0112] = 6
    Image.new("RGB", (60, 40), "red").save(out, "JPEG", exif=exif)
    return out.getvalue()


def browser_skip_reason():
    """Why the browser tests skip; asked for (WSDEVSERVER_BROWSER=1), they fail without one."""
    if os.environ.get("WSDEVSERVER_BROWSER") != "1":
        return "browser tests run with WSDEVSERVER_BROWSER=1 (ctest -R devserver_browser)"
    missing = browser.browser_missing()
    if missing:
        raise RuntimeError("cannot run the browser tests: " + missing)
    return None


def start_service(test, port=0):
    server = DevServer(port=port)
    test.addClassCleanup(server.stop)
    return server


def listed(port, wanted=lambda record: True):
    """The newest request the service lists that is `wanted`, whole."""
    _, _, body = browser.request(port, "GET", "/api/requests")
    summary = next(r for r in json.loads(body)["requests"] if wanted(r))
    return json.loads(browser.request(port, "GET", "/api/requests/%d" % summary["id"])[2])


class HostCheckTest(unittest.TestCase):
    def test_only_loopback_names_pass(self):
        for host, passes in [("localhost", True), ("localhost:18080", True),
                             ("127.0.0.1", True), ("127.0.0.1:1", True), ("[::1]", True),
                             ("[::1]:18080", True), ("LocalHost:80", True),
                             ("evil.example", False), ("evil.example:18080", False),
                             ("localhost.evil.example", False), ("127.0.0.1.nip.io", False),
                             ("localhost:", False), ("localhost:port", False),
                             ("localhost:18080 ", False), ("::1", False), ("[::1]x", False),
                             ("0.0.0.0:18080", False), ("127.0.0.2", False), ("", False)]:
            with self.subTest(host=host):
                self.assertEqual(security.loopback_host([host]), passes)
        self.assertFalse(security.loopback_host([]))
        self.assertFalse(security.loopback_host(["localhost", "evil.example"]))

    def test_only_this_machine_passes(self):
        for remote, passes in [("127.0.0.1", True), ("127.3.4.5", True), ("::1", True),
                               ("::ffff:127.0.0.1", True), (None, True), ("192.168.1.20", False),
                               ("10.0.0.1", False), ("::ffff:192.168.1.20", False),
                               ("fe80::1%eth0", False), ("not an address", False)]:
            with self.subTest(remote=remote):
                self.assertEqual(security.local_peer(remote), passes)

    def test_images_are_told_by_their_first_bytes(self):
        for head, kind in [(b"\xff\xd8\xff\xe0", "jpeg"), (browser.png(1, 1), "png"),
                           (b"GIF87a\1\0", "gif"), (b"GIF89a\1\0", "gif"),
                           (b"RIFF\x10\0\0\0WEBPVP8 ", "webp"), (b"RIFF\x10\0\0\0WAVEfmt ", None),
                           (b"<svg xmlns='http://www.w3.org/2000/svg'/>", None),
                           (b"\xff\xd8", None), (b"", None)]:
            with self.subTest(head=head[:12]):
                self.assertEqual(views.image_kind(head[:12]), kind)


class InspectorHttpTest(unittest.TestCase):
    """The real service over plain HTTP: what a foreign Host gets, and the headers and types
    the inspector's answers carry."""

    @classmethod
    def setUpClass(cls):
        cls.port = start_service(cls).port
        status, _ = browser.post_form(cls.port, "testImg", [
            browser.form_part("file", b"<svg xmlns='http://www.w3.org/2000/svg'>"
                                      b"<script>alert(1)</script></svg>",
                              "C:\\pictures\\drawing.svg", "image/svg+xml"),
            browser.form_part("file2", browser.png(3, 2), "grey.png", "application/octet-stream"),
            browser.form_part("file3", browser.png(900, 600), "big.png", "image/png"),
            browser.form_part("bmp", picture("BMP"), "a.bmp", "image/bmp"),
            browser.form_part("tiff", picture("TIFF"), "a.tiff", "image/tiff"),
            browser.form_part("png", browser.png(2, 2), "a.jpg", "image/jpeg"),
            browser.form_part("text", b"P1 is no picture", "a.bmp", "image/bmp"),
            # 98 Mpixel by its header, 200 bytes in all: refused before a pixel is decoded
            browser.form_part("file4", huge_png(), "huge.png", "image/png"),
            browser.form_part("file5", portrait_jpeg(), "portrait.jpg", "image/jpeg")])
        if status != 200:
            raise AssertionError("the upload was answered %d" % status)
        cls.upload = listed(cls.port)["id"]

    def assertGuarded(self, headers):
        self.assertEqual(headers["Content-Security-Policy"], security.CONTENT_SECURITY_POLICY)
        self.assertEqual(headers["X-Content-Type-Options"], "nosniff")

    def test_a_foreign_host_is_refused_and_loopback_answered(self):
        kept = json.loads(browser.request(self.port, "GET", "/api/requests")[2])["requests"]
        for path in (path.format(id=kept[-1]["id"]) for path in INSPECTOR_PATHS):
            for host in ("evil.example", "evil.example:%d" % self.port, "127.0.0.1.nip.io"):
                with self.subTest(path=path, host=host):
                    status, headers, _ = browser.request(self.port, "GET", path, host=host)
                    self.assertEqual(status, 403)
                    self.assertGuarded(headers)
            for host in ("localhost:%d" % self.port, "127.0.0.1:%d" % self.port, "[::1]"):
                with self.subTest(path=path, host=host):
                    status, headers, _ = browser.request(self.port, "GET", path, host=host)
                    self.assertEqual(status, 200)
                    self.assertGuarded(headers)

    def test_an_id_that_is_no_number_is_not_found(self):
        for id in ("%C2%B2", "%D9%A3", "1e3", "%201", "+1", "1" * 19):
            for method, path in (("GET", "/api/requests/%s"), ("GET", "/api/requests/%s/curl"),
                                 ("GET", "/api/requests/%s/raw"), ("GET", "/files/%s/body"),
                                 ("GET", "/files/%s/0"), ("GET", "/thumbs/%s/0"),
                                 ("DELETE", "/api/requests/%s")):
                with self.subTest(method=method, path=path % id):
                    self.assertEqual(browser.request(self.port, method, path % id)[0], 404)

    def test_every_open_page_hears_each_request_once_and_a_closed_one_frees_its_place(self):
        def open_stream():
            conn = socket.create_connection(("127.0.0.1", self.port), timeout=10)
            conn.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            return conn, conn.recv(12, socket.MSG_WAITALL)

        def post(n):
            browser.post_form(self.port, "testMsg", [browser.form_part("message", b"%d" % n)])
            return listed(self.port)["id"]

        pages = [open_stream() for _ in range(inspector.MAX_EVENT_STREAMS + 1)]
        try:
            self.assertEqual([head for _, head in pages], [b"HTTP/1.1 200"] * (
                len(pages) - 1) + [b"HTTP/1.1 503"])
            sent = [post(n) for n in range(3)]
            for conn, _ in pages[:2]:
                heard, data = [], b""
                while len(heard) < len(sent):
                    more = conn.recv(65536)
                    self.assertTrue(more, "the stream ended after %r" % data)
                    data += more
                    heard = re.findall(rb'data: \{"record": \{"id": (\d+)', data)
                self.assertEqual([int(id) for id in heard], sent)
        finally:
            for conn, _ in pages:
                conn.close()
        # A stream learns that its page left when it next writes: a request makes it write.
        deadline = time.monotonic() + 30
        while post(0):
            conn, head = open_stream()
            conn.close()
            if head == b"HTTP/1.1 200":
                break
            self.assertLess(time.monotonic(), deadline, "the closed pages still hold their places")

    def test_the_endpoints_still_answer_any_host(self):
        status, body = browser.post_form(self.port, "testMsg",
                                         [browser.form_part("message", b"{}")],
                                         headers={"Host": "evil.example"})
        self.assertEqual(status, 200, body)

    def test_files_go_out_as_their_bytes_say(self):
        record = json.loads(browser.request(self.port, "GET", "/api/requests/%d" % self.upload)[2])
        svg, grey = record["parts"][:2]
        self.assertEqual((svg["image"], grey["image"]), (None, "png"))
        # A note only where the bytes contradict the declared type; an SVG is XML text.
        notes = [[], ["Its bytes are a PNG picture, but it was declared application/octet-stream."],
                 [], [], [], ["Its bytes are a PNG picture, but it was declared image/jpeg."]]
        if PIL is not None:  # without Pillow, a BMP's bytes cannot be told from others
            notes.append(["Its bytes are a PPM picture, but it was declared image/bmp."])
        self.assertEqual([p["notes"] for p in record["parts"]][:len(notes)], notes)
        status, headers, data = browser.request(self.port, "GET", svg["url"])
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/octet-stream")
        self.assertEqual(headers["Content-Disposition"],
                         "attachment; filename=\"part-0\"; filename*=UTF-8''drawing.svg")
        self.assertTrue(data.startswith(b"<svg"))
        status, headers, data = browser.request(self.port, "GET", grey["url"])
        self.assertEqual((status, headers["Content-Type"], data),
                         (200, "image/png", browser.png(3, 2)))
        self.assertIsNone(headers["Content-Disposition"])
        # A picture's preview is small, and made of it, upright; one past the bound is refused.
        for index, status, size in ((2, 200, (320, 213)), (7, 413, None), (8, 200, (40, 60))):
            with self.subTest(part=index):
                got, headers, data = browser.request(self.port, "GET",
                                                     record["parts"][index]["thumb"])
                self.assertEqual(got, status)
                if size is not None:
                    self.assertEqual(browser.jpeg_size(data), size)

    def test_copy_as_curl_sends_the_same_request_to_another_service(self):
        """Run in bash against a second service, in a folder that holds the body saved from
        the page, an .curlrc and the file a hostile type names: the second service gets the
        same method, target, end-to-end headers and body, and nothing read from here."""
        other = DevServer()
        self.addCleanup(other.stop)
        folder = tempfile.mkdtemp(prefix="wsdevserver-curl-")
        self.addCleanup(shutil.rmtree, folder)
        with open(os.path.join(folder, "canary"), "wb") as f:
            f.write(b"X-Canary: read\r\n")
        with open(os.path.join(folder, ".curlrc"), "w") as f:
            f.write('header = "X-Curlrc: read"\n')
        hostile = [
            browser.form_part("typed", b"{}", "a.json", "text/plain;headers=@canary"),
            browser.form_part("renamed", b"x", "a.txt", 'text/plain;filename="evil.sh"'),
            browser.form_part("a=b", b"cut"), browser.form_part("", b"empty name"),
            browser.form_part("q%22'$(touch pwned)`id`", b"quotes", 'f"\';x.txt'),
            "Content-Disposition: form-data; name=\"n\xe9\"; filename=\"caf\xe9.txt\"\r\n"
            "\r\n".encode("latin-1") + bytes(range(256)),
            browser.form_part("file", b"no type", "untyped.bin")]
        boundary = "hostile-b"
        multipart = b"".join(b"--%s\r\n%s\r\n" % (boundary.encode(), part) for part in hostile)
        multipart += b"--%s--\r\n" % boundary.encode()
        calls = [
            ("POST", browser.ENDPOINT + "testImg?a={1}[2]&q='\"", multipart, {
                "Content-Type": "multipart/form-data; boundary=" + boundary,
                "Authorization": "Basic dXNlcjpwYXNz", "Cookie": 'a=1; b="2"',
                "X-Request-Id": "42", "X-Shell": "'$(touch pwned)'`id`", "x-shell": "again",
                "Connection": "keep-alive, X-Hop", "X-Hop": "dropped", "X-Empty": "",
                "X-Latin": b"caf\xe9"}),
            ("POST", "/nope/{a}[b]", b'{"a": 1}', {"Content-Type": "application/json"}),
            ("PUT", "/big", os.urandom(100000), {"Content-Type": "application/octet-stream",
                                                 "Expect": "100-continue"}),
            ("POST", browser.ENDPOINT + "testMsg", b"a%E9=1&=&b=%FF",
             {"Content-Type": "application/x-www-form-urlencoded"}),
            ("GET", "/x'\"$(id)", None, {"Accept": "*/*"}),
        ]
        hop = {"host", "content-length", "connection", "keep-alive", "transfer-encoding", "te",
               "trailer", "upgrade"}

        def end_to_end(record):
            named = {token.strip().lower() for name, value in record["headers"]
                     if name.lower() == "connection" for token in value.split(",")}
            return [[name, value] for name, value in record["headers"]
                    if name.lower() not in hop | named]

        env = {"HOME": folder, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        for method, path, body, headers in calls:
            with self.subTest(method=method, path=path):
                browser.request(self.port, method, path, body, headers)
                sent = listed(self.port)
                self.assertEqual(sent["path"], path)
                if body:
                    data = browser.request(self.port, "GET", sent["body_url"])[2]
                    with open(os.path.join(folder, "request-%d-body" % sent["id"]), "wb") as f:
                        f.write(data)
                _, _, command = browser.request(self.port, "GET", "/api/requests/%d/curl"
                                                % sent["id"], host="127.0.0.1:%d" % other.port)
                done = subprocess.run(["bash", "-c", command], cwd=folder, env=env,
                                      capture_output=True, timeout=30)
                self.assertEqual(done.returncode, 0, (command, done))
                again = listed(other.port)
                self.assertEqual((again["method"], again["path"], end_to_end(again)),
                                 (method, path, end_to_end(sent)))
                if body:
                    self.assertEqual(browser.request(other.port, "GET", again["body_url"])[2],
                                     body)
                else:
                    self.assertEqual((again["size"], again["body_url"]), (0, None))
                # Nothing ran, nothing was written: only what the test put there.
                self.assertEqual({name for name in os.listdir(folder)
                                  if not name.startswith("request-")}, {"canary", ".curlrc"})
                if method == "POST" and "testImg" in path:
                    # A name that is not UTF-8 keeps its bytes, as escapes beside its decoded form.
                    names = [(p["name"], p["name_escaped"], p["filename_escaped"])
                             for p in again["parts"]]
                    self.assertEqual(names[5], ("n\ufffd", "n\\xe9", "caf\\xe9.txt"))
                    self.assertEqual(names[0], ("typed", None, None))

    def test_the_search_says_where_it_matched_and_pages(self):
        for n in range(2):
            browser.post_form(self.port, "testMsg",
                              [browser.form_part("message", b'{"page":"unIDdepage-%d"}' % n)],
                              headers={"Authorization": "Bearer tok-%d" % n})

        def search(words, limit=50, before=None):
            query = {"q": words, "limit": limit}
            if before is not None:
                query["before"] = before
            status, _, body = browser.request(
                self.port, "GET", "/api/requests?" + urllib.parse.urlencode(query))
            self.assertEqual(status, 200, body)
            return json.loads(body)
        for words, found in [
                ("bearer TOK-1", [[("header", "Authorization", "Authorization: Bearer tok-1")]]),
                ("header:authorization unIDdepage-0",
                 [[("header", "Authorization", "Authorization: Bearer tok-0"),
                   ("part 1 text", "message", '{"page":"unIDdepage-0"}')]]),
                ("part:drawing.svg", [[("part 1 file name", "file", "C:\\pictures\\drawing.svg")]]),
                ("status:2xx method:get", []),
                ('"bearer tok" status:200',
                 [[("header", "Authorization", "Authorization: Bearer tok-%d" % n),
                   ("status", None, "200")] for n in (1, 0)]),
                ("page%22%3A%22unIDdepage", [])]:
            with self.subTest(words=words):
                shown = [[(w["in"], w["name"], w["text"]) for w in r["matched"]]
                         for r in search(words)["requests"]]
                self.assertEqual(shown, found)
        # A page of one, then the next from where it said, and no further.
        first = search("bearer tok", limit=1)
        self.assertEqual(first["requests"][0]["label"], "testMsg")
        rest = json.loads(browser.request(self.port, "GET", first["next"])[2])
        self.assertEqual(len(rest["requests"]), 1)
        self.assertLess(rest["requests"][0]["id"], first["requests"][0]["id"])
        self.assertGreaterEqual(rest["requests"][0]["id"], rest["first"])
        self.assertEqual(search("bearer tok", before=rest["requests"][0]["id"])["requests"], [])


class BrowserTest(unittest.TestCase):
    """One browser for the class; each test opens the page anew."""

    @classmethod
    def setUpClass(cls):
        reason = browser_skip_reason()
        if reason:
            raise unittest.SkipTest(reason)
        cls.driver = browser.start_browser()
        cls.addClassCleanup(cls.driver.quit)

    def open_page(self, port, requests):
        """Opens the page and waits until it lists `requests` requests; returns their ids,
        newest first."""
        self.driver.get("http://localhost:%d/" % port)
        browser.wait_for(self.driver, "return document.body.dataset.loaded === 'true' && "
                                      "document.querySelectorAll('article.request').length "
                                      "=== arguments[0]", requests)
        return self.driver.execute_script(
            "return [...document.querySelectorAll('article.request')].map(a => a.dataset.id)")

    def whole(self, request_id):
        """Brings a request's card into view and waits until it is read whole."""
        browser.wait_for(self.driver, """
            const card = document.querySelector(`article[data-id="${arguments[0]}"]`);
            if (card && !card.dataset.filled) card.scrollIntoView();
            return card && card.dataset.filled === "true";""", request_id)

    def part_facts(self, request_id, index):
        """What the page shows of a part: its facts by label, its body's text, whether it
        shows an image, its download link and its note."""
        self.whole(request_id)
        return self.driver.execute_script(PART_JS + """
            const facts = {};
            for (const dt of part.querySelectorAll("dl.facts dt")) {
                facts[dt.textContent] = dt.nextElementSibling.textContent;
            }
            const link = part.querySelector("a.download");
            const pre = part.querySelector("pre");
            const image = part.querySelector("img");
            const note = part.querySelector(".truncated");
            const notes = [...part.querySelectorAll(".note")].map(n => n.textContent);
            return {facts, text: pre && pre.textContent, json: !!part.querySelector("pre.json"),
                    images: part.querySelectorAll("img").length, alt: image && image.alt,
                    link: link && link.getAttribute("href"), note: note && note.textContent,
                    notes};
        """, request_id, index)

    def image_size(self, request_id, index):
        """The natural size of a part's image, once loaded."""
        self.whole(request_id)
        return tuple(browser.wait_for(self.driver, PART_JS + """
            const image = part.querySelector("img");
            return image && image.complete && image.naturalWidth > 0 &&
                [image.naturalWidth, image.naturalHeight];""", request_id, index))

    def headers_shown(self, request_id):
        self.whole(request_id)
        return self.driver.execute_script("""
            const card = document.querySelector(`article[data-id="${arguments[0]}"]`);
            return [...card.querySelectorAll(".request-headers tr")].map(
                row => [row.cells[0].textContent, row.cells[1].textContent]);""", request_id)


class BrowserConsoleTest(BrowserTest):
    """Both calls made by the console, then shown by the page."""

    @classmethod
    def setUpClass(cls):
        if not CONSOLE:
            raise unittest.SkipTest("WSCONSOLE_BIN names no console")
        super().setUpClass()
        cls.port = urllib.parse.urlsplit(BASE_URL).port
        start_service(cls, cls.port)
        folder = tempfile.mkdtemp(prefix="wsdevserver-console-")
        cls.addClassCleanup(shutil.rmtree, folder)
        shutil.copy(os.path.join(browser.SAMPLES, "6uD78iT-.jpeg"), os.path.join(folder, PATH1))
        shutil.copy(os.path.join(browser.SAMPLES, "th.jpg"), os.path.join(folder, PATH2))
        env = {name: value for name, value in os.environ.items()
               if name.lower() not in browser.PROXY_VARIABLES}
        done = subprocess.run([CONSOLE], input=b"1 1 n 2 1 y", cwd=folder, env=env,
                              capture_output=True, timeout=30)
        if done.returncode != 0 or done.stderr:
            raise AssertionError("the console failed: %r" % (done,))

    def test_both_calls_are_listed_with_their_pictures_and_message(self):
        image_id, message_id = self.open_page(self.port, 2)
        endpoints = self.driver.execute_script(
            "return [...document.querySelectorAll('article.request .endpoint')]"
            ".map(e => e.textContent)")
        self.assertEqual(endpoints, ["testImg", "testMsg"])
        rows = self.driver.execute_script(
            "return [...document.querySelectorAll('#rows li')].map(li => li.textContent)")
        self.assertRegex(rows[0], r"^POSTtestImg2002 parts\d+\.\d KiB\d\d:\d\d:\d\d$")
        self.assertRegex(rows[1], r"^POSTtestMsg2001 part\d+ B\d\d:\d\d:\d\d$")

        for index, (path, name) in enumerate([(PATH1, "6uD78iT-.jpeg"), (PATH2, "th.jpg")]):
            data = browser.sample(name)
            with self.subTest(image=name):
                shown = self.part_facts(image_id, index)
                self.assertEqual(shown["facts"]["file name"], path)
                self.assertEqual(shown["alt"], "image sent in part %d, %s" % (index + 1, name))
                self.assertEqual(shown["facts"]["SHA-256"], browser.sha256(data))
                self.assertEqual(self.image_size(image_id, index), browser.jpeg_size(data))
                # The preview opens the whole picture.
                whole = self.driver.execute_script(
                    PART_JS + "return part.querySelector('a.whole').getAttribute('href')",
                    image_id, index)
                self.assertEqual(browser.request(self.port, "GET", whole)[2], data)

        shown = self.part_facts(message_id, 0)
        self.assertEqual(shown["facts"]["name"], "message")
        self.assertTrue(shown["json"])
        self.assertEqual(shown["text"], json.dumps(json.loads(MESSAGE), indent=2))
        content_type = [value for name, value in self.headers_shown(message_id)
                        if name.lower() == "content-type"]
        self.assertRegex(content_type[0], r"^application/x-www-form-urlencoded; boundary=\S+$")

    def test_the_page_reads_well_to_assistive_technology(self):
        """As Chromium's own accessibility tree gives it to a screen reader."""
        image_id, message_id = self.open_page(self.port, 2)
        self.whole(image_id)
        self.whole(message_id)
        self.driver.execute_cdp_cmd("Accessibility.enable", {})
        nodes = self.driver.execute_cdp_cmd("Accessibility.getFullAXTree", {})["nodes"]

        def named(role):
            return [n.get("name", {}).get("value", "") for n in nodes
                    if n.get("role", {}).get("value") == role and not n.get("ignored")]
        headings = named("heading")
        for request_id in (image_id, message_id):
            self.assertTrue(any(h.startswith("#%s " % request_id) for h in headings), headings)
        self.assertIn("Part 1", headings)
        self.assertNotIn("Part 0", headings)
        images = named("image")
        self.assertEqual(sorted(images), ["image sent in part 1, 6uD78iT-.jpeg",
                                          "image sent in part 2, th.jpg"])
        disclosures = named("DisclosureTriangle")
        self.assertEqual(len(disclosures), len(set(disclosures)), disclosures)  # each says what
        live = [n for n in nodes for p in n.get("properties", [])
                if p["name"] == "live" and p["value"]["value"] == "polite"]
        self.assertTrue(live)


class BrowserPageTest(BrowserTest):
    """Requests made here by hand, on a service of the class's own."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.port = start_service(cls).port

    def post(self, parts, headers=None, endpoint="testImg"):
        status, body = browser.post_form(self.port, endpoint, parts, headers)
        self.assertEqual(status, 200, body)

    def newest(self):
        return listed(self.port)

    def show_newest(self):
        """Opens the page and waits until it shows the newest request; returns its record."""
        record = self.newest()
        self.driver.get("http://localhost:%d/" % self.port)
        browser.wait_for(self.driver, "return !!document.querySelector("
                                      "`article[data-id='${arguments[0]}']`)", record["id"])
        return record

    def test_a_rule_added_on_the_page_answers_the_next_call(self):
        self.addCleanup(browser.request, self.port, "PUT", "/api/answers", b"[]",
                        {"Content-Type": "application/json"})
        self.driver.get("http://localhost:%d/" % self.port)
        for button, then in (("answers-toggle", "0 rules"), ("answer-add", "not saved"),
                             ("answer-save", "saved: 1 rule")):
            self.driver.execute_script("document.getElementById(arguments[0]).click()", button)
            browser.wait_for(self.driver, "return document.getElementById('answer-status')"
                                          ".textContent === arguments[0]", then)
        status, body = browser.post_form(self.port, "testMsg", [browser.form_part("m", b"x")])
        self.assertEqual((status, body), (503, b"maintenance\n"))

    def test_markup_from_a_request_shows_as_text_and_runs_nothing(self):
        self.post([browser.form_part(HOSTILE_NAME, HOSTILE_VALUE.encode()),
                   browser.form_part("file", b"<html><script>window.ran=5</script></html>",
                                     HOSTILE_FILENAME, "text/html")],
                  headers={"X-Note": HOSTILE_HEADER})
        record = self.show_newest()
        value = self.part_facts(record["id"], 0)
        self.assertEqual(value["facts"]["name"], HOSTILE_NAME)
        self.assertEqual(value["text"], HOSTILE_VALUE)
        upload = self.part_facts(record["id"], 1)
        self.assertEqual(upload["facts"]["file name"], HOSTILE_FILENAME)
        self.assertEqual(upload["images"], 0)
        self.assertIsNotNone(upload["link"])
        self.assertIn(["X-Note", HOSTILE_HEADER], self.headers_shown(record["id"]))
        self.assertEqual(self.driver.execute_script("""
            return {injected: document.querySelectorAll('[id^="injected"], img[src="x"]').length,
                    scripts: document.scripts.length, ran: window.ran === undefined || window.ran};
            """), {"injected": 0, "scripts": 1, "ran": True})

    def test_each_part_shows_as_its_bytes_are(self):
        long_value = b"0123456789" * 10000
        self.post([browser.form_part("file", b"not a picture", "fake.jpg", "image/jpeg"),
                   browser.form_part("file2", browser.png(3, 2), "grey", "text/plain"),
                   browser.form_part("long", long_value),
                   browser.form_part("controls", b"tab\tnul\0escape\x1bdel\x7f"),
                   browser.form_part("a\u200bb\u202etxt.exe", "x\u2066y\ufeff".encode()),
                   b"Content-Disposition: form-data; name=\"cv\"; "
                   b"filename*=UTF-8''r%C3%A9sum%C3%A9.pdf\r\n\r\n%PDF-1.4"])
        record = self.show_newest()
        star = self.part_facts(record["id"], 5)
        self.assertEqual((star["facts"]["file name"], star["facts"]["as sent"],
                          star["link"] is not None),
                         ("r\u00e9sum\u00e9.pdf", "Content-Disposition: form-data; name=\"cv\"; "
                          "filename*=UTF-8''r%C3%A9sum%C3%A9.pdf", True))
        self.assertEqual(self.part_facts(record["id"], 1)["notes"],
                         ["Its bytes are a PNG picture, but it was declared text/plain."])
        self.assertEqual(self.part_facts(record["id"], 3)["text"],
                         "tab\tnul<U+0000>escape<U+001B>del<U+007F>")
        hidden = self.part_facts(record["id"], 4)
        self.assertEqual((hidden["facts"]["name"], hidden["text"]),
                         ("a<U+200B>b<U+202E>txt.exe", "x<U+2066>y<U+FEFF>"))
        cut = self.part_facts(record["id"], 2)
        self.assertTrue(long_value.decode().startswith(cut["text"]))
        self.assertTrue(1000 <= len(cut["text"]) < len(long_value), len(cut["text"]))
        self.assertEqual(cut["facts"]["size"], "100,000 bytes (97.7 KiB)")
        self.assertIn("100,000 bytes", cut["note"])

        fake = self.part_facts(record["id"], 0)
        self.assertEqual((fake["facts"]["type"], fake["images"]), ("image/jpeg", 0))
        self.assertEqual(fake["link"], record["parts"][0]["url"])
        self.assertEqual(self.image_size(record["id"], 1), (3, 2))

    def test_a_new_request_appears_without_a_reload(self):
        # Through the event stream, and by polling where a browser has no EventSource.
        for state in ("live", "polling"):
            with self.subTest(state=state):
                if state == "polling":
                    script = self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                                         {"source": "delete window.EventSource"})
                    self.addCleanup(self.driver.execute_cdp_cmd,
                                    "Page.removeScriptToEvaluateOnNewDocument", script)
                self.driver.get("http://localhost:%d/" % self.port)
                browser.wait_for(self.driver, "return document.body.dataset.loaded === 'true' && "
                                              "document.getElementById('live').dataset.state "
                                              "=== arguments[0]", state)
                self.driver.execute_script("window.sameDocument = true")
                before = self.driver.execute_script(
                    "return document.querySelectorAll('article.request').length")
                self.post([browser.form_part("message", b'{"arrived": "%s"}' % state.encode())],
                          endpoint="testMsg")
                record = self.newest()
                browser.wait_for(self.driver, """
                    const top = document.querySelector('article.request');
                    return top && top.dataset.id === String(arguments[0]);""", record["id"])
                self.assertEqual(self.driver.execute_script(
                    "return [window.sameDocument, "
                    "document.querySelectorAll('article.request').length]"), [True, before + 1])

    def visible_rows(self):
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#rows li')].filter(li => !li.hidden)"
            ".map(li => li.dataset.id)")

    def search(self, words):
        """Types `words` in the search box and waits for the service's answer; returns the ids
        of the rows shown and the places each says it matched."""
        box = self.driver.find_element("id", "filter")
        box.clear()
        box.send_keys(words)
        browser.wait_for(self.driver, "return document.body.dataset.searched === arguments[0]",
                         words)
        return self.driver.execute_script(
            "return [...document.querySelectorAll('#rows li')].map(li => [li.dataset.id, "
            "[...li.querySelectorAll('.where-in')].map(w => w.textContent)])")

    def test_the_search_finds_moves_and_opens_by_address(self):
        from selenium.webdriver.common.keys import Keys
        for i in range(45):
            self.post([browser.form_part("field-%d" % i, b"x")], endpoint="testMsg",
                      headers={"X-Trace": "req-%d" % i, "Authorization": "Bearer tok-%d" % i})
        self.post([browser.form_part("message", b'{"page":"unIDdepage"}')], endpoint="testMsg")
        for i in range(4):  # a wrong path and a wrong method are listed too
            browser.request(self.port, "POST", "/nope-%d" % i, b"a=1",
                            {"Content-Type": "application/x-www-form-urlencoded"})
        browser.request(self.port, "GET", "/Vortan/BackOffice/trunk/webservice/zunel/testMsg")
        self.driver.get("http://localhost:%d/" % self.port)
        browser.wait_for(self.driver, "return document.querySelectorAll('#rows li').length >= 50")
        for words, found, where in [
                ("nope", 4, "path"),
                ("status:405", 1, "status"),
                ("status:4xx method:post nope", 4, "status"),
                ("field-4", 6, "part 1 name"),  # field-4 and field-40..44
                ("tok-23", 1, "header"),  # a header's value
                ('header:"x-trace: req-17"', 1, "header"),
                ("unIDdepage", 1, "part 1 text (message)"),  # a text value
                ("no-such-word", 0, None)]:
            with self.subTest(words=words):
                rows = self.search(words)
                self.assertEqual(len(rows), found, rows)
                self.assertTrue(all(places[0] == where for _, places in rows), rows)
        statuses = self.driver.execute_script(
            "return [...document.querySelectorAll('article.request .status')]"
            ".map(s => s.textContent)")
        self.assertEqual(statuses, [])
        rows = [id for id, _ in self.search("field-4")]
        # Up and down move through the rows from the search box itself; Escape clears it.
        self.driver.find_element("id", "filter").send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN)
        self.assertEqual(self.driver.execute_script("return location.hash"), "#" + rows[1])
        self.driver.find_element("id", "filter").send_keys(Keys.ESCAPE)
        browser.wait_for(self.driver, "return document.body.dataset.searched === ''")
        self.driver.refresh()  # the address opens the request it names
        browser.wait_for(self.driver, "const card = document.querySelector("
                                      "'article.request.selected'); return card && "
                                      "card.dataset.id === arguments[0] && "
                                      "card.getBoundingClientRect().top < innerHeight", rows[1])

    def test_no_width_scrolls_the_page(self):
        self.addCleanup(self.driver.set_window_size, 1200, 1400)
        browser.request(self.port, "GET", "/" + "long-segment" * 40 + "?q=" + "v" * 300,
                        headers={"X-Long": "ab" * 300})
        self.post([browser.form_part("file", browser.png(3, 2), "f" * 300 + ".png", "image/png"),
                   browser.form_part("message", b"w" * 3000)])
        record = self.newest()
        for width in (1366, 400, 320):
            with self.subTest(width=width):
                self.driver.set_window_size(width, 900)
                self.driver.get("http://localhost:%d/#%d" % (self.port, record["id"]))
                self.whole(record["id"])
                self.assertLessEqual(*self.driver.execute_script(
                    "return [document.documentElement.scrollWidth, innerWidth]"))

    def test_copy_as_curl_sends_the_same_parts_again(self):
        picture = os.urandom(70000)
        self.post([browser.form_part("file", picture, 'C:\\x\\a%22b;c.jpg', "image/jpeg"),
                   browser.form_part("long", b"0123456789" * 9000),
                   browser.form_part("message", '{"page": "\u00e9t\u00e9"}'.encode())])
        record = self.show_newest()
        self.whole(record["id"])
        self.driver.execute_script(
            "document.querySelector(`article[data-id='${arguments[0]}'] .tools button`).click()",
            record["id"])
        command, link, name = browser.wait_for(self.driver, """
            const card = document.querySelector(`article[data-id='${arguments[0]}']`);
            const pre = card.querySelector(".command");
            const link = card.querySelector(".curl-body-file");
            return pre && !pre.hidden && link && !link.closest("p").hidden &&
                [pre.textContent, link.getAttribute("href"), link.download];""", record["id"])
        # The body saved from the page, under the name the page gives it, beside the command.
        folder = tempfile.mkdtemp(prefix="wsdevserver-curl-")
        self.addCleanup(shutil.rmtree, folder)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(browser.request(self.port, "GET", link)[2])
        done = subprocess.run(["bash", "-c", command], cwd=folder, capture_output=True,
                              timeout=30)
        self.assertEqual(done.returncode, 0, done)
        again = self.newest()
        self.assertNotEqual(again["id"], record["id"])
        sent = lambda r: [(p["name"], p["filename"], p["content_type"], p["sha256"])  # noqa: E731
                          for p in r["parts"]]
        self.assertEqual(sent(again), sent(record))

    def test_every_request_held_opens_by_address_and_none_after_a_restart(self):
        proc, port, log = start_server("--keep", "300")
        self.assertIsNotNone(port, log)
        self.addCleanup(lambda: stop_server(proc))
        for n in range(1, 251):
            browser.post_form(port, "testMsg", [browser.form_part("n", b"request %03d" % n)])
        _, _, page = browser.request(port, "GET", "/api/requests?q=%22request+005%22")
        fifth = json.loads(page)["requests"][0]["id"]
        # Beyond the first page the list loads, and on a page opened before a restart.
        self.driver.get("http://localhost:%d/#%d" % (port, fifth))
        self.assertEqual(self.part_facts(fifth, 0)["text"], "request 005")
        browser.wait_for(self.driver, "return document.getElementById('live').dataset.state "
                                      "=== 'live' && document.body.dataset.loaded === 'true'")
        stop_server(proc)
        proc, again, log = start_server("--keep", "300", port=port)
        self.assertEqual(again, port, log)
        browser.wait_for(self.driver, "return !document.getElementById('restarted').hidden && "
                                      "!document.getElementById('empty').hidden")
        browser.post_form(port, "testMsg", [browser.form_part("n", b"after")])
        for opened in ("another page", "the same page"):
            with self.subTest(opened=opened):
                if opened == "another page":
                    self.driver.get("about:blank")
                    self.driver.get("http://localhost:%d/#%d" % (port, fifth))
                else:
                    self.driver.execute_script("location.hash = ''")
                    self.driver.execute_script("location.hash = arguments[0]", "#%d" % fifth)
                note = browser.wait_for(self.driver, "const note = document.querySelector("
                                                     "'.gone-note'); return note && "
                                                     "note.textContent")
                self.assertEqual(note, "Request #%d is from before the service restarted: "
                                       "it is gone." % fifth)
                self.assertEqual(self.driver.execute_script(
                    "return document.querySelectorAll('article.selected').length"), 0)

    def test_the_raw_view_shows_a_refused_body_as_it_came(self):
        body = (b"--b0\r\nContent-Disposition: form-data; name=\"bin\"; filename=\"x.bin\"\r\n"
                b"X-Extra: 1\r\n\r\n" + bytes(range(40)) + b"\r\n--b0\r\n"
                b"Content-Disposition: form-data; name=\"t\"\r\n\r\nline one\r\nline two")
        status, _, _ = browser.request(self.port, "POST", browser.ENDPOINT + "testMsg", body,
                                       {"Content-Type": "multipart/form-data; boundary=b0"})
        self.assertEqual(status, 400)  # no closing delimiter
        record = self.show_newest()
        self.whole(record["id"])
        shown = self.driver.execute_script("""
            const raw = document.querySelector(`article[data-id="${arguments[0]}"] details.raw`);
            raw.open = true;""", record["id"])
        shown = browser.wait_for(self.driver, """
            const raw = document.querySelector(`article[data-id="${arguments[0]}"] details.raw`);
            const link = raw.querySelector("a.download");
            return link && {pre: [...raw.querySelectorAll("pre")].map(
                                p => [p.className, p.textContent]),
                            link: link.getAttribute("href")};""", record["id"])
        self.assertEqual(shown["pre"][0][1].split("\n")[0],
                         "POST %stestMsg HTTP/1.1" % browser.ENDPOINT)
        self.assertEqual(shown["pre"][1:], [
            ["raw-boundary", "--b0"],
            ["raw-part-head",
             'Content-Disposition: form-data; name="bin"; filename="x.bin"\nX-Extra: 1'],
            ["raw-hex",
             "00000000  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f  ................\n"
             "00000010  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f  ................\n"
             "00000020  20 21 22 23 24 25 26 27                           !\"#$%&'"],
            ["raw-boundary", "--b0"], ["raw-part-head", 'Content-Disposition: form-data; name="t"'],
            ["raw-text", "line one\\r\\n\nline two"]])
        self.assertEqual(browser.request(self.port, "GET", shown["link"])[2], body)

    def test_clear_and_export(self):
        status, answer = browser.post_form(self.port, "testImg", [
            browser.form_part("file", browser.png(2, 2), "dot.png", "image/png"),
            browser.form_part("message", b'{"a": 1}')])
        _, _, har = browser.request(self.port, "GET", "/api/requests.har")
        log = json.loads(har)["log"]
        _, _, listed = browser.request(self.port, "GET", "/api/requests?limit=200")
        self.assertEqual((log["version"], len(log["entries"])), ("1.2", json.loads(listed)["held"]))
        posted = log["entries"][-1]["request"]["postData"]
        record = self.newest()
        self.assertEqual((posted["mimeType"], posted["_encoding"]),
                         ("multipart/form-data; boundary=inspector-test-7c1e", "base64"))
        self.assertEqual(base64.b64decode(posted["text"]),
                         browser.request(self.port, "GET", record["body_url"])[2])
        content = log["entries"][-1]["response"]["content"]  # the service's own report
        self.assertEqual((status, content["text"].encode(), content["size"]),
                         (200, answer, len(answer)))
        status, _, _ = browser.request(self.port, "DELETE", "/api/requests",
                                       headers={"Origin": "https://evil.example"})
        self.assertEqual(status, 403)
        self.assertEqual(json.loads(browser.request(self.port, "GET", "/api/requests")[2])["held"],
                         json.loads(listed)["held"])
        self.driver.get("http://localhost:%d/" % self.port)
        browser.wait_for(self.driver, "return document.body.dataset.loaded === 'true'")
        self.driver.execute_script("window.confirm = () => true")
        self.driver.find_element("id", "clear-all").click()
        browser.wait_for(self.driver, "return !document.getElementById('empty').hidden && "
                                      "!document.querySelector('article.request')")
        self.assertIn("curl -F 'message={\"page\":\"unIDdepage\"}' http://localhost:%d/"
                      % self.port,
                      self.driver.find_element("id", "try").text)


class BrowserUpstreamTest(BrowserTest):
    """With --upstream (a second service as the upstream): a request and the upstream's answer
    are both shown on the proxy's page."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.upstream_port = start_service(cls).port
        proc, cls.port, log = start_server("--upstream", "http://127.0.0.1:%d" % cls.upstream_port)
        cls.addClassCleanup(stop_server, proc)
        if cls.port is None:
            raise RuntimeError("the proxy did not start: %r" % log)

    def held(self):
        return json.loads(browser.request(self.port, "GET", "/api/requests")[2])["held"]

    def test_both_sides_are_shown(self):
        picture = browser.sample("th.jpg")
        status, answer = browser.post_form(self.port, "testImg",
                                           [browser.form_part("file", picture, "th.jpg")])
        self.assertEqual(status, 200)
        record_id = self.open_page(self.port, self.held())[0]
        self.whole(record_id)
        self.assertEqual(self.part_facts(record_id, 0)["facts"]["SHA-256"],
                         browser.sha256(picture))
        shown = self.driver.execute_script("""
            const up = document.querySelector(
                `article[data-id="${arguments[0]}"] section.upstream`);
            const facts = {};
            for (const dt of up.querySelectorAll("dl.facts dt")) {
                facts[dt.textContent] = dt.nextElementSibling.textContent;
            }
            return {facts, text: up.querySelector("pre").textContent,
                    headers: up.querySelectorAll(".answer-headers tr").length};""", record_id)
        self.assertEqual(shown["facts"]["status"], "200 OK")
        self.assertEqual(shown["facts"]["SHA-256"], browser.sha256(answer))
        self.assertEqual(shown["facts"]["upstream"], "http://127.0.0.1:%d" % self.upstream_port)
        self.assertTrue(shown["facts"]["first byte"].endswith(" ms"))
        self.assertEqual(shown["text"].encode(), answer)
        self.assertGreater(shown["headers"], 0)

    def test_a_request_is_sent_again_from_the_page(self):
        browser.post_form(self.port, "testMsg", [browser.form_part("message", b"again")])
        newest = self.open_page(self.port, self.held())[0]
        self.whole(newest)
        self.driver.execute_script(
            "document.querySelector(`article[data-id='${arguments[0]}'] button.resend-upstream`)"
            ".click()", newest)
        browser.wait_for(self.driver, "return !!document.querySelector("
                                      "`article[data-id='${arguments[0]}']`)",
                         str(int(newest) + 1))
        browser.wait_for(self.driver, "return !!document.querySelector("
                                      "`article[data-id='${arguments[0]}'] .resend-outcome a`)",
                         newest)
        outcome = self.driver.execute_script(
            "const outcome = document.querySelector("
            "`article[data-id='${arguments[0]}'] .resend-outcome`);"
            "return [outcome.textContent, outcome.querySelector('a').getAttribute('href')]",
            newest)
        self.assertEqual(outcome, ["sent again as #%d: answered 200, %s" % (
            int(newest) + 1, outcome[0].rsplit(", ", 1)[1]), "#%d" % (int(newest) + 1)])


if __name__ == "__main__":
    unittest.main()
