#!/usr/bin/python3
"""Development web service for wsconsole (Python 3 and Debian's python3-multipart).

Usage: /usr/bin/python3 devserver/devserver.py [--host 127.0.0.1] [--port 18080]

It needs the interpreter that sees Debian's packages (/usr/bin/python3), for python3-multipart.

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
A body is read as it arrives: each part's size and SHA-256 are computed on
the way, and a part larger than SPOOL_AT waits in a temporary file that is
deleted once the answer is sent, so an upload costs little memory whatever
its size. A part's head is limited to MAX_PART_HEAD bytes.

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
import codecs
import errno
import hashlib
import logging
import re
import signal
import socket
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

try:
    from multipart.exceptions import FormParserError
    from multipart.multipart import STATE_START_BOUNDARY, MultipartParser
except ImportError:
    sys.exit("devserver: needs the multipart package: on Debian python3-multipart, run with "
             "/usr/bin/python3; elsewhere pip install python-multipart==0.0.5")

ENDPOINT_PREFIX = "/Vortan/BackOffice/trunk/webservice/zunel/"
ENDPOINTS = {ENDPOINT_PREFIX + "testMsg", ENDPOINT_PREFIX + "testImg"}
MAX_BODY = 512 * 1024 * 1024
BLOCK = 64 * 1024  # how much of a body is read at a time
SPOOL_AT = 512 * 1024  # a part larger than this goes to a temporary file
LINGER_SECONDS, LINGER_BYTES = 2.0, 4 * 1024 * 1024  # what a closing connection may still drain
MAX_PART_HEAD = 1024 * 1024  # bytes of header names and values in one part
# Boundary characters allowed by RFC 2046, which also keeps quotes and line
# breaks out of it.
BOUNDARY_RE = re.compile(r"[0-9A-Za-z'()+_,\-./:=? ]{0,69}[0-9A-Za-z'()+_,\-./:=?]")
PARAM_RE = re.compile(r';\s*([^\s=;]+)\s*=\s*(?:"([^"]*)"|([^;]*))')
ESCAPED_RE = re.compile(r"%(22|0D|0A)", re.IGNORECASE)  # how libcurl and browsers write '"', CR, LF
CONTROL_RE = re.compile(r"[\x00-\x1f\x7f]")
ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}

_log_lock = threading.Lock()
# The parser warns on every malformed body; the answer already says what was wrong.
logging.getLogger("multipart").setLevel(logging.CRITICAL)


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


class Field:
    """One field as its bytes arrive: their count and SHA-256 are kept as they pass, the bytes
    themselves in memory up to SPOOL_AT and past that in a temporary file, deleted on close()."""

    def __init__(self, kind, name, filename=None):
        self.kind, self.name, self.filename = kind, name, filename
        self.size = 0
        self.sha256 = hashlib.sha256()
        self.spool = tempfile.SpooledTemporaryFile(max_size=SPOOL_AT)

    def write(self, data):
        self.size += len(data)
        self.sha256.update(data)
        self.spool.write(data)

    def text_blocks(self):
        """The value as a report line shows it, in blocks: decoded as UTF-8 (a sequence cut by
        the end of a block is completed by the next), control characters escaped."""
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.spool.seek(0)
        for block in iter(lambda: self.spool.read(BLOCK), b""):
            yield printable(decoder.decode(block)).encode("utf-8")
        yield printable(decoder.decode(b"", True)).encode("utf-8")

    def close(self):
        self.spool.close()


class MultipartBody:
    """Splits a multipart body into fields as it is fed. A fault is kept, not raised, so that
    the rest of the body is still read (the transport may yet fail, which answers first), and
    finish() raises the fault that the answer reports: a body that is not whole comes before
    a part that breaks a rule."""

    def __init__(self, boundary):
        if not BOUNDARY_RE.fullmatch(boundary):
            raise BadRequest("invalid multipart boundary")
        self.fields = []
        self.size = self.parts = 0
        self.ended = False
        self.fault = None  # the body cannot be split any further
        self.refusal = None  # the first part that breaks a rule
        self.sink = None
        self.parser = MultipartParser(boundary.encode("ascii"), {
            "on_part_begin": self.part_begin, "on_header_field": self.header_field,
            "on_header_value": self.header_value, "on_header_end": self.header_end,
            "on_headers_finished": self.headers_finished, "on_part_data": self.part_data,
            "on_end": self.end})

    def feed(self, data):
        self.size += len(data)
        if self.ended or self.fault:
            return  # an epilogue, or what follows a fault, is only read
        try:
            self.parser.write(data)
        except BadRequest as e:
            self.fault = str(e)
        except FormParserError as e:
            self.fault = ("malformed multipart body (%s)" % type(e).__name__ if self.parts
                          else "multipart body has no opening boundary")
        except Exception as e:  # odd input the parser trips on, or a temporary file that fails
            self.fault = "cannot parse body (%s)" % type(e).__name__

    def finish(self):
        if self.fault:
            raise BadRequest(self.fault)
        if not self.size:
            raise BadRequest("empty multipart body")
        if not self.parts and not self.opening_boundary_read():
            raise BadRequest("multipart body has no opening boundary")
        if not self.ended:
            raise BadRequest("multipart body has no closing boundary")
        if self.refusal:
            raise BadRequest(self.refusal)
        return self.fields

    def close(self):
        for field in self.fields:
            field.close()

    def opening_boundary_read(self):
        """Whether a body that ends before its first part had its whole opening "--BOUNDARY"."""
        # The parser matches "--BOUNDARY" against its delimiter "\r\n--BOUNDARY" from index 2.
        return (self.parser.state == STATE_START_BOUNDARY
                and self.parser.index >= len(self.parser.boundary) - 2)

    def part_begin(self):
        self.parts += 1
        self.headers, self.head_size, self.sink = {}, 0, None
        self.name, self.value = bytearray(), bytearray()

    def count_head(self, size):
        self.head_size += size
        if self.head_size > MAX_PART_HEAD:
            raise BadRequest("part %d has a head of more than %d bytes" % (self.parts, MAX_PART_HEAD))

    def header_field(self, data, start, end):
        self.count_head(end - start)
        self.name += data[start:end]

    def header_value(self, data, start, end):
        self.count_head(end - start)
        self.value += data[start:end]

    def header_end(self):
        # Header text is read raw, the way browsers and libcurl write it (no backslash escapes).
        self.headers[self.name.decode("latin-1").lower()] = self.value.decode("utf-8", "replace")
        self.name, self.value = bytearray(), bytearray()

    def headers_finished(self):
        if self.refusal:
            return
        disposition, params = parse_header_value(self.headers.get("content-disposition", ""))
        if disposition not in ("form-data", "attachment"):
            self.refusal = "part %d has no form-data or attachment disposition" % self.parts
        elif "name" not in params:
            self.refusal = "part %d has no name" % self.parts
        elif parse_header_value(self.headers.get("content-type", ""))[0].startswith("multipart/"):
            self.refusal = "part %d is itself multipart" % self.parts
        else:
            kind = "file" if "filename" in params else "text"
            self.sink = Field(kind, params["name"], params.get("filename"))
            self.fields.append(self.sink)

    def part_data(self, data, start, end):
        if self.sink:
            self.sink.write(memoryview(data)[start:end])

    def end(self):
        self.ended = True


class UrlencodedBody:
    """A url-encoded body, whose every value the report shows: it is kept whole."""

    def __init__(self):
        self.data = bytearray()
        self.fields = []

    def feed(self, data):
        self.data += data

    def finish(self):
        # latin-1 maps bytes 1:1 to code points, so the values come back as the
        # exact bytes the client percent-encoded.
        pairs = urllib.parse.parse_qsl(self.data.decode("latin-1"), keep_blank_values=True, encoding="latin-1")
        del self.data[:]
        for name, value in pairs:
            self.fields.append(Field("url-encoded", name.encode("latin-1").decode("utf-8", "replace")))
            self.fields[-1].write(value.encode("latin-1"))
        return self.fields

    def close(self):
        for field in self.fields:
            field.close()


def body_reader(content_type):
    """What reads a body of this Content-Type; raises BadRequest for one that is not understood."""
    if not content_type:
        raise BadRequest("no Content-Type")
    media, params = parse_header_value(content_type)
    if "boundary" in params:
        return MultipartBody(params["boundary"])
    if media == "application/x-www-form-urlencoded":
        return UrlencodedBody()
    if media.startswith("multipart/"):
        raise BadRequest("multipart Content-Type has no boundary")
    raise BadRequest('unsupported Content-Type "%s"' % printable(media))


def report_blocks(endpoint, fields):
    """The 200 answer in blocks of UTF-8. A text value comes back from where it waits a block
    at a time, so that the report of a large one is never in memory whole."""
    yield ("devserver: %s received %d field%s\n" % (endpoint, len(fields), "" if len(fields) == 1 else "s")).encode()
    for field in fields:
        name = printable(field.name)
        if field.kind == "file":
            yield ('file field "%s": "%s", %d bytes, sha256 %s\n'
                   % (name, printable(field.filename), field.size, field.sha256.hexdigest())).encode("utf-8")
        else:
            yield ('%s field "%s" (%d bytes): ' % (field.kind, name, field.size)).encode("utf-8")
            yield from field.text_blocks()
            yield b"\n"


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


class TooLarge(Exception):
    """The body is longer than MAX_BODY."""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devserver"
    default_request_version = "HTTP/1.0"  # answer garbage with a status line too
    timeout = 60  # a stalled client frees its thread after this many seconds
    body_size = 0

    def reply(self, status, text, extra_headers=()):
        data = text.encode("utf-8")
        self.reply_blocks(status, lambda: [data], extra_headers)

    def reply_blocks(self, status, blocks, extra_headers=()):
        """Answer with the body that `blocks()` gives, afresh at each call: once to count its
        bytes for Content-Length, once to send them."""
        length = sum(len(block) for block in blocks())
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(length))
        for key, value in extra_headers:
            self.send_header(key, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            pending = bytearray()  # few, large writes: many small ones would wait on each other
            for block in blocks():
                pending += block
                if len(pending) >= BLOCK:
                    self.wfile.write(pending)
                    pending.clear()
            self.wfile.write(pending)
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

    def read_blocks(self, size):
        """Yield the next `size` bytes of the request, a block at a time."""
        while size > 0:
            data = self.rfile.read(min(size, BLOCK))
            if not data:
                raise Disconnected()
            size -= len(data)
            yield data

    def read_chunked(self):
        total = 0
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
                raise TooLarge()
            if size == 0:
                break
            yield from self.read_blocks(size)
            if b"".join(self.read_blocks(2)) != b"\r\n":
                raise BadRequest("malformed chunk terminator")
        while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
            pass  # trailer fields are ignored

    def read_body(self):
        """Yield the request body a block at a time, as it arrives; raises TooLarge past MAX_BODY."""
        encoding = self.headers.get("Transfer-Encoding", "").strip().lower()
        if encoding == "chunked":
            return self.read_chunked()
        if encoding:
            raise BadRequest('unsupported Transfer-Encoding "%s"' % printable(encoding))
        length = content_length(self.headers.get("Content-Length", "0"))
        if length is None:
            raise BadRequest("invalid Content-Length")
        if length > MAX_BODY:
            raise TooLarge()
        return self.read_blocks(length)

    def do_POST(self):
        self.body_size = 0
        path = urllib.parse.urlsplit(self.path).path
        # The whole body is read before any answer, which may then depend on its transport.
        answer, body = None, None
        if path not in ENDPOINTS:
            answer = (404, "not found: %s\n" % printable(path))
        else:
            try:
                body = body_reader(self.headers.get("Content-Type"))
            except BadRequest as e:
                answer = (400, "bad request: %s\n" % e)
        try:
            try:
                for block in self.read_body():
                    self.body_size += len(block)
                    if body is not None:
                        body.feed(block)
            except BadRequest as e:
                self.close_connection = True
                return self.reply(400, "bad request: %s\n" % e)
            except TooLarge:
                self.close_connection = True
                return self.reply(413, "body too large: limit is %d bytes\n" % MAX_BODY)
            except (Disconnected, OSError):
                self.close_connection = True
                return log("%s %s dropped: body incomplete" % (self.command, printable(self.path)))
            if answer:
                return self.reply(*answer)
            try:
                fields = body.finish()
            except BadRequest as e:
                return self.reply(400, "bad request: %s\n" % e)
            endpoint = path.rsplit("/", 1)[-1]
            self.reply_blocks(200, lambda: report_blocks(endpoint, fields))
        finally:
            if body is not None:
                body.close()

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
    # On Windows SO_REUSEADDR lets a second server bind a port that one already listens on,
    # and a busy port would go unreported; there the port needs no such option to be reused.
    allow_reuse_address = sys.platform != "win32"
    request_queue_size = 128  # room for bursts of concurrent uploads

    def handle_error(self, request, client_address):
        log("%s connection error: %s" % (client_address[0], sys.exc_info()[1]))

    def shutdown_request(self, request):
        # A refused request (a head over its limits, a body not read) may still be arriving, and
        # closing a socket with unread input sends a reset that can destroy the answer before
        # the client reads it. So stop writing first, and drain what comes for a bounded while.
        try:
            request.shutdown(socket.SHUT_WR)
            deadline, drained = time.monotonic() + LINGER_SECONDS, 0
            while drained < LINGER_BYTES:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                request.settimeout(left)
                data = request.recv(BLOCK)
                if not data:
                    break
                drained += len(data)
        except OSError:
            pass
        self.close_request(request)


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
