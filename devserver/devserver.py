#!/usr/bin/env python3
"""Development web service for wsconsole (Python standard library only).

Usage: python3 devserver/devserver.py [--host 127.0.0.1] [--port 18080]

With --port 0 a free port is picked. Once listening, one line goes to stderr:
    devserver: listening on http://127.0.0.1:PORT
Each request is then logged on stderr as one line; SIGINT/SIGTERM stop the
server with "devserver: stopped" and exit status 0. A port already taken
gives "devserver: cannot listen on HOST:PORT: address already in use" and
exit status 1.

Endpoints (POST only; GET/HEAD answer 405, other paths 404):
    /Vortan/BackOffice/trunk/webservice/zunel/testMsg
    /Vortan/BackOffice/trunk/webservice/zunel/testImg

Bodies understood:
  * any Content-Type carrying a boundary parameter is read as multipart,
    whatever its media type; parts may use the "form-data" or "attachment"
    disposition (libcurl uses "attachment" when the request's media type is
    not multipart/form-data);
  * application/x-www-form-urlencoded without a boundary.
Everything else is answered 400 with one plain-text line "bad request: ...".
Content-Length and chunked bodies are accepted, up to 512 MiB (then 413).

The 200 answer is text/plain; charset=utf-8, one line per field in body
order, every line ending in "\\n":
    devserver: ENDPOINT received N field|fields
    text field "NAME" (LEN bytes): TEXT
    file field "NAME": "FILENAME", LEN bytes, sha256 HEX
    url-encoded field "NAME" (LEN bytes): TEXT
ENDPOINT is the last path segment (testMsg or testImg); LEN is the byte
count of the value as received ("bytes" even for 1); HEX is 64 lower-case
hex digits. TEXT, NAME and FILENAME are decoded as UTF-8 (invalid bytes
become U+FFFD) with control characters escaped (\\n, \\r, \\t, \\xNN) so that
each field stays on one line. Quoted header parameters are read the way
browsers and libcurl write them: backslashes are literal (so a file name
"C:\\Users\\x.jpeg" is shown as sent) and %22, %0D, %0A stand for '"', CR, LF.
"""

import argparse
import email.parser
import email.policy
import errno
import hashlib
import re
import signal
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ENDPOINT_PREFIX = "/Vortan/BackOffice/trunk/webservice/zunel/"
ENDPOINTS = {ENDPOINT_PREFIX + "testMsg", ENDPOINT_PREFIX + "testImg"}
MAX_BODY = 512 * 1024 * 1024
# Boundary characters allowed by RFC 2046; anything else could smuggle
# quotes or line breaks into the header we hand to the email parser.
BOUNDARY_RE = re.compile(r"[0-9A-Za-z'()+_,\-./:=? ]{0,69}[0-9A-Za-z'()+_,\-./:=?]")
PARAM_RE = re.compile(r';\s*([^\s=;]+)\s*=\s*(?:"([^"]*)"|([^;]*))')
ESCAPED_RE = re.compile(r"%(22|0D|0A)", re.IGNORECASE)  # how libcurl and browsers write '"', CR, LF
CONTROL_RE = re.compile(r"[\x00-\x1f\x7f]")
ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}

_log_lock = threading.Lock()


def log(line):
    with _log_lock:
        sys.stderr.write("devserver: " + line + "\n")
        sys.stderr.flush()


class BadRequest(Exception):
    """Raised with the reason that ends up after "bad request: "."""


def parse_header_value(value):
    """Split 'type; a=1; b="x"' into ('type', {'a': '1', 'b': 'x'})."""
    main, _, rest = value.partition(";")
    params = {}
    for m in PARAM_RE.finditer(";" + rest):
        if m.group(2) is not None:
            text = ESCAPED_RE.sub(lambda e: chr(int(e.group(1), 16)), m.group(2))
        else:
            text = m.group(3).strip()
        params.setdefault(m.group(1).lower(), text)
    return main.strip().lower(), params


def printable(text):
    return CONTROL_RE.sub(lambda m: ESCAPES.get(m.group(), "\\x%02x" % ord(m.group())), text)


def as_text(data):
    return printable(data.decode("utf-8", "replace"))


def parse_multipart(body, boundary):
    """Return [(kind, name, filename, data)] for each part, in body order."""
    if not BOUNDARY_RE.fullmatch(boundary):
        raise BadRequest("invalid multipart boundary")
    if not body:
        raise BadRequest("empty multipart body")
    head = b'Content-Type: multipart/form-data; boundary="%s"\r\n\r\n' % boundary.encode()
    msg = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(head + body)
    for defect in msg.defects:
        name = type(defect).__name__
        if name == "CloseBoundaryNotFoundDefect":
            raise BadRequest("multipart body has no closing boundary")
        if name in ("StartBoundaryNotFoundDefect", "MultipartInvariantViolationDefect"):
            raise BadRequest("multipart body has no opening boundary")
        raise BadRequest("malformed multipart body (%s)" % name)
    if not msg.is_multipart() or not msg.get_payload():
        raise BadRequest("multipart body has no parts")
    fields = []
    for number, part in enumerate(msg.get_payload(), 1):
        # The header is read raw: the email package's own parameter parsing
        # treats backslashes as escapes and would turn C:\Users into C:Users.
        headers = {k.lower(): v for k, v in part.raw_items()}
        raw = headers.get("content-disposition", "")
        # Header text arrives as ASCII with surrogate escapes; recover UTF-8.
        raw = raw.encode("ascii", "surrogateescape").decode("utf-8", "replace")
        disposition, params = parse_header_value(re.sub(r"\r?\n", "", raw))
        if disposition not in ("form-data", "attachment"):
            raise BadRequest("part %d has no form-data or attachment disposition" % number)
        if "name" not in params:
            raise BadRequest("part %d has no name" % number)
        data = part.get_payload(decode=True)
        if data is None:
            raise BadRequest("part %d is itself multipart" % number)
        kind = "file" if "filename" in params else "text"
        fields.append((kind, params["name"], params.get("filename"), data))
    return fields


def parse_urlencoded(body):
    # latin-1 maps bytes 1:1 to code points, so the values come back as the
    # exact bytes the client percent-encoded.
    pairs = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True, encoding="latin-1")
    return [("url-encoded", k.encode("latin-1").decode("utf-8", "replace"), None, v.encode("latin-1"))
            for k, v in pairs]


def parse_body(content_type, body):
    if not content_type:
        raise BadRequest("no Content-Type")
    media, params = parse_header_value(content_type)
    if "boundary" in params:
        return parse_multipart(body, params["boundary"])
    if media == "application/x-www-form-urlencoded":
        return parse_urlencoded(body)
    if media.startswith("multipart/"):
        raise BadRequest("multipart Content-Type has no boundary")
    raise BadRequest('unsupported Content-Type "%s"' % printable(media))


def format_report(endpoint, fields):
    lines = ["devserver: %s received %d field%s" % (endpoint, len(fields), "" if len(fields) == 1 else "s")]
    for kind, name, filename, data in fields:
        name = printable(name)
        if kind == "file":
            lines.append('file field "%s": "%s", %d bytes, sha256 %s'
                         % (name, printable(filename), len(data), hashlib.sha256(data).hexdigest()))
        else:
            lines.append('%s field "%s" (%d bytes): %s' % (kind, name, len(data), as_text(data)))
    return "".join(line + "\n" for line in lines)


def content_length(value):
    """The byte count that a Content-Length value declares, or None when it is not decimal
    digits. Any count past MAX_BODY comes back as MAX_BODY + 1: digit strings of any length
    are accepted without converting them whole (int() refuses more than 4300 digits)."""
    value = value.strip()
    if not re.fullmatch(r"[0-9]+", value):  # ASCII only: str.isdigit() also takes "²"
        return None
    significant = value.lstrip("0")
    if len(significant) > len(str(MAX_BODY)):
        return MAX_BODY + 1
    return int(significant or "0")


class Disconnected(Exception):
    """The client went away before sending the whole body."""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devserver"
    default_request_version = "HTTP/1.0"  # answer garbage with a status line too
    timeout = 60  # a stalled client frees its thread after this many seconds
    body_size = 0

    def reply(self, status, text, extra_headers=()):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        for key, value in extra_headers:
            self.send_header(key, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        log("%s %s %d, %d body bytes" % (self.command, printable(self.path), status, self.body_size))

    def send_error(self, code, message=None, explain=None):
        # Errors found by http.server itself (bad request line, unknown
        # method, ...) get the same one-line plain-text answer.
        self.command = self.command or "-"
        self.path = getattr(self, "path", "-")
        self.close_connection = True
        self.reply(code, "%s\n" % printable(message or self.responses.get(code, ("error",))[0]))

    def log_request(self, code="-", size="-"):
        pass  # reply() logs its own, shorter line

    def log_message(self, format, *args):
        log("%s %s" % (self.client_address[0], format % args))

    def handle_expect_100(self):
        # Refuse an oversized upload before the client starts sending it.
        length = content_length(self.headers.get("Content-Length", "0"))
        if length is not None and length > MAX_BODY:
            self.close_connection = True
            self.reply(413, "body too large: limit is %d bytes\n" % MAX_BODY)
            return False
        return super().handle_expect_100()

    def read_exact(self, size):
        data = self.rfile.read(size)
        if len(data) < size:
            raise Disconnected()
        return data

    def read_chunked(self):
        chunks, total = [], 0
        while True:
            line = self.rfile.readline(1024)
            if not line:
                raise Disconnected()
            digits = line.split(b";")[0].strip()
            if not re.fullmatch(rb"[0-9A-Fa-f]{1,16}", digits):
                raise BadRequest("malformed chunk size")
            size = int(digits, 16)
            total += size
            if total > MAX_BODY:
                return None
            if size == 0:
                break
            chunks.append(self.read_exact(size))
            if self.read_exact(2) != b"\r\n":
                raise BadRequest("malformed chunk terminator")
        while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
            pass  # trailer fields are ignored
        return b"".join(chunks)

    def read_body(self):
        """Return the request body, or None when it exceeds MAX_BODY."""
        encoding = self.headers.get("Transfer-Encoding", "").strip().lower()
        if encoding == "chunked":
            return self.read_chunked()
        if encoding:
            raise BadRequest('unsupported Transfer-Encoding "%s"' % printable(encoding))
        length = content_length(self.headers.get("Content-Length", "0"))
        if length is None:
            raise BadRequest("invalid Content-Length")
        if length > MAX_BODY:
            return None
        return self.read_exact(length)

    def do_POST(self):
        try:
            body = self.read_body()
        except BadRequest as e:
            self.close_connection = True
            return self.reply(400, "bad request: %s\n" % e)
        except (Disconnected, OSError):
            self.close_connection = True
            return log("%s %s dropped: body incomplete" % (self.command, printable(self.path)))
        if body is None:
            self.close_connection = True
            return self.reply(413, "body too large: limit is %d bytes\n" % MAX_BODY)
        self.body_size = len(body)
        path = urllib.parse.urlsplit(self.path).path
        if path not in ENDPOINTS:
            return self.reply(404, "not found: %s\n" % printable(path))
        try:
            fields = parse_body(self.headers.get("Content-Type"), body)
        except BadRequest as e:
            return self.reply(400, "bad request: %s\n" % e)
        except Exception as e:  # the email package may trip on odd input
            return self.reply(400, "bad request: cannot parse body (%s)\n" % type(e).__name__)
        self.reply(200, format_report(path.rsplit("/", 1)[-1], fields))

    def do_GET(self):
        self.body_size = 0
        # These methods never read a body, so one sent along ends the connection.
        if self.headers.get("Content-Length", "0").strip() != "0" or "Transfer-Encoding" in self.headers:
            self.close_connection = True
        path = urllib.parse.urlsplit(self.path).path
        if path in ENDPOINTS:
            return self.reply(405, "method not allowed: use POST\n", [("Allow", "POST")])
        self.reply(404, "not found: %s\n" % printable(path))

    do_HEAD = do_GET


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128  # room for bursts of concurrent uploads

    def handle_error(self, request, client_address):
        log("%s connection error: %s" % (client_address[0], sys.exc_info()[1]))


def main(argv=None):
    parser = argparse.ArgumentParser(description="wsconsole development web service")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=18080)
    args = parser.parse_args(argv)

    def stop(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server = None
    try:
        try:
            server = Server((args.host, args.port), Handler)
        except OSError as e:
            reason = "address already in use" if e.errno == errno.EADDRINUSE else (e.strerror or str(e)).lower()
            log("cannot listen on %s:%d: %s" % (args.host, args.port, reason))
            return 1
        host, port = server.server_address[:2]
        log("listening on http://%s:%d" % (host, port))
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if server is not None:
            server.server_close()
    log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
