"""The plain-text report that answers a call, a line per field in body order, and how request
text is shown on one line: decoded as UTF-8 (invalid bytes as U+FFFD), with every character that
some reader takes as a line break or a terminal control escaped, so that each field stays on one
line whoever splits it. Inside quotes a '"' is shown as %22, as browsers and libcurl write it, so
that a name cannot fake its closing quote.
"""

import codecs
import re
import sys
import threading
import urllib.parse
import zlib

# Quoted header parameters are read the way browsers and libcurl write them: backslashes are
# literal (a file name "C:\Users\x.jpeg" stays as sent) and %22, %0D, %0A stand for '"', CR, LF.
PARAM_RE = re.compile(r';\s*([^\s=;]+)\s*=\s*(?:"([^"]*)"|([^;]*))')
ESCAPED_RE = re.compile(r"%(22|0D|0A)", re.IGNORECASE)
# Every character that str.splitlines() or a terminal treats as a line break or the start of a
# control sequence, escaped in one pass of str.translate (a regex calling a function per match
# made a text of control characters cost fifty times what letters do).
UNSAFE = [*range(0x20), *range(0x7f, 0xa0), 0x2028, 0x2029]
ESCAPES = {code: "\\x%02x" % code if code < 0x100 else "\\u%04x" % code for code in UNSAFE}
ESCAPES.update({ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t"})
BLOCK = 64 * 1024
REPORT_PLAIN = 256 * 1024  # bytes of an answer held as they are; the rest is compressed
REPORT_MEMORY = 64 * 1024 * 1024  # bytes one answer may hold, compressed
REPORTS_MEMORY = 256 * 1024 * 1024  # bytes all answers being written may hold together


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


def file_name(params):
    """The file name in a part's Content-Disposition parameters, or None: filename* (RFC 8187,
    which RFC 7578 allows) takes the place of filename."""
    extended = params.get("filename*")
    if extended is not None and extended.count("'") >= 2:
        charset, _, rest = extended.partition("'")
        encoded = rest.partition("'")[2]
        try:
            return urllib.parse.unquote(encoded, encoding=charset or "utf-8", errors="replace")
        except LookupError:  # a charset Python does not know: its bytes are shown as UTF-8
            return urllib.parse.unquote(encoded, errors="replace")
    return params.get("filename")


def printable(text):
    return text.translate(ESCAPES)


def quoted(text):
    return printable(text).replace('"', "%22")


def log(line):
    sys.stderr.write("devserver: " + line + "\n")
    sys.stderr.flush()


def log_request(request, status, size):
    log("%s %s %s, %d body bytes" % (request.method, printable(request.raw_path), status, size))


def first_line(endpoint, count):
    return ("devserver: %s received %d field%s\n"
            % (endpoint, count, "" if count == 1 else "s")).encode()


def file_line(name, filename, size, hexdigest):
    return ('file field "%s": "%s", %d bytes, sha256 %s\n'
            % (quoted(name), quoted(filename), size, hexdigest)).encode("utf-8")


def text_start(kind, name, size):
    """The start of a text value's line, before the value itself."""
    return ('%s field "%s" (%d bytes): ' % (kind, quoted(name), size)).encode("utf-8")


def text_line(kind, name, value):
    """The whole line of a text value held in memory (bytes)."""
    escaped = printable(value.decode("utf-8", "replace")) + "\n"
    return text_start(kind, name, len(value)) + escaped.encode("utf-8")


class Escaper:
    """A text value escaped as its bytes come, a character cut between two blocks included."""

    def __init__(self):
        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")

    def feed(self, data, final=False):
        return printable(self.decoder.decode(data, final)).encode("utf-8")


def part_head_fields(head):
    """[(name, value)] of a part's head as sent (bytes), unfolded and decoded for showing; a
    line without a colon comes back with the name None."""
    text = re.sub(rb"\r\n[ \t]+", b" ", head).decode("utf-8", "replace")
    fields = []
    for line in filter(None, text.split("\r\n")):
        name, colon, value = line.partition(":")
        fields.append((name.strip(), value.strip()) if colon else (None, line))
    return fields


class ReportTooLarge(Exception):
    """The answer being written would hold more memory than the service allows it."""


class Report:
    """The answer's lines after the first (which counts the fields), held until the body has
    been read. It lives in memory, never on disk, so that a full disk or store cannot break an
    answer: the first REPORT_PLAIN bytes as they are, the rest compressed. A slot, filled on the
    event loop, holds a line known only later (a value's size, a file's hash). A stream has one
    writer: the loop, or the worker while a long value is escaped into it. The bytes held are
    bounded per answer and for all answers together: past either, ReportTooLarge."""

    held = 0  # bytes of every answer being written, together
    held_lock = threading.Lock()

    def __init__(self):
        self.segments = []  # Slot and Stream, in answer order
        self.plain = bytearray()  # the plain bytes not yet made a segment
        self.plain_room = REPORT_PLAIN
        self.tail = None  # the stream that lines go to once the plain room is used
        self.size = 0  # bytes held by this answer, counted by both threads (under the lock)

    def count(self, n):
        with Report.held_lock:
            if self.size + n > REPORT_MEMORY or Report.held + n > REPORTS_MEMORY:
                raise ReportTooLarge("an answer may hold %d bytes of memory, all answers %d"
                                     % (REPORT_MEMORY, REPORTS_MEMORY))
            self.size += n
            Report.held += n

    def release(self):
        with Report.held_lock:
            Report.held -= self.size
            self.size = 0
        self.segments = []

    def _close_plain(self):
        if self.plain:
            self.segments.append(Slot(self, bytes(self.plain)))
            self.plain.clear()

    def line(self, data):
        """Bytes whose place is now (on the event loop)."""
        if self.tail is None and len(data) <= self.plain_room:
            self.count(len(data))
            self.plain_room -= len(data)
            self.plain += data
        else:
            if self.tail is None:
                self.tail = self.stream()
            self.tail.write(data)

    def slot(self):
        """A place for bytes known later; the lines after it go after them."""
        return self._add(Slot(self))

    def stream(self):
        """A place for a long run of bytes written later, by one writer."""
        return self._add(Stream(self))

    def _add(self, segment):
        self._close_plain()
        self.tail = None
        self.segments.append(segment)
        return segment

    @property
    def length(self):
        """Bytes of the answer, once uncompressed (after finish())."""
        return sum(segment.length for segment in self.segments)

    def finish(self):
        self._close_plain()
        for segment in self.segments:
            if isinstance(segment, Stream):
                segment.finish()

    def chunks(self):
        """The answer's bytes, a block at a time (after finish())."""
        for segment in self.segments:
            yield from segment.chunks()


class Slot:
    """Bytes held as they are: the plain lines, or one filled in later."""

    def __init__(self, report, data=b""):
        self.report, self.data = report, data

    def fill(self, data):
        self.report.count(len(data))
        self.data = data

    @property
    def length(self):
        return len(self.data)

    def chunks(self):
        yield self.data


class Stream:
    """Bytes kept compressed: a long text value compresses well, and keeps the answer small."""

    def __init__(self, report):
        self.report = report
        self.compressor = zlib.compressobj(1)
        self.pieces = []
        self.length = 0

    def write(self, data):
        self.length += len(data)
        out = self.compressor.compress(data)
        if out:
            self.report.count(len(out))
            self.pieces.append(out)

    def finish(self):
        if self.compressor is not None:
            out = self.compressor.flush()
            self.report.count(len(out))
            self.pieces.append(out)
            self.compressor = None

    def chunks(self):
        inflate = zlib.decompressobj()
        for piece in self.pieces:
            while piece:
                out = inflate.decompress(piece, BLOCK)
                piece = inflate.unconsumed_tail
                if out:
                    yield out
        rest = inflate.flush()
        if rest:
            yield rest
