"""The plain-text report that answers a call, and how request text is shown on one line.

The 200 answer is text/plain; charset=utf-8, one line per field in body order, every line
ending in "\\n":
    devserver: ENDPOINT received N field|fields
    text field "NAME" (LEN bytes): TEXT
    file field "NAME": "FILENAME", LEN bytes, sha256 HEX
    url-encoded field "NAME" (LEN bytes): TEXT
ENDPOINT is the last path segment (testMsg or testImg); LEN is the byte count of the value as
received ("bytes" even for 1); HEX is 64 lower-case hex digits. TEXT, NAME and FILENAME are
decoded as UTF-8 (invalid bytes become U+FFFD) with every character that some reader takes as a
line break or a terminal control escaped (\\n, \\r, \\t, \\xNN, \\uNNNN), so that each field stays
on one line whoever splits it. Inside the quotes a '"' is shown as %22, the way browsers and
libcurl write it, so that a name cannot fake the end of its quotes.
"""

import codecs
import re

# Quoted header parameters are read the way browsers and libcurl write them: backslashes are
# literal (a file name "C:\Users\x.jpeg" stays as sent) and %22, %0D, %0A stand for '"', CR, LF.
PARAM_RE = re.compile(r';\s*([^\s=;]+)\s*=\s*(?:"([^"]*)"|([^;]*))')
ESCAPED_RE = re.compile(r"%(22|0D|0A)", re.IGNORECASE)
# C0 and C1 controls, DEL, and the two Unicode separators: together every character that
# str.splitlines() or a terminal treats as a line break or the start of a control sequence.
UNSAFE_RE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
BLOCK = 64 * 1024


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


def _escape(match):
    char = match.group()
    return ESCAPES.get(char) or ("\\x%02x" % ord(char) if char < "\u0100" else "\\u%04x" % ord(char))


def printable(text):
    return UNSAFE_RE.sub(_escape, text)


def quoted(text):
    return printable(text).replace('"', "%22")


def first_line(endpoint, count):
    return ("devserver: %s received %d field%s\n" % (endpoint, count, "" if count == 1 else "s")).encode()


def file_line(name, filename, size, hexdigest):
    return ('file field "%s": "%s", %d bytes, sha256 %s\n'
            % (quoted(name), quoted(filename), size, hexdigest)).encode("utf-8")


def text_line(kind, name, value):
    """The whole line of a text value held in memory (bytes)."""
    return ('%s field "%s" (%d bytes): %s\n'
            % (kind, quoted(name), len(value), printable(value.decode("utf-8", "replace")))).encode("utf-8")


def write_text_line(out, kind, name, size, source):
    """Write the line of a text value read back from the binary file `source`, a block at a
    time, so that the report of a large value is never in memory whole."""
    out.write(('%s field "%s" (%d bytes): ' % (kind, quoted(name), size)).encode("utf-8"))
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    for block in iter(lambda: source.read(BLOCK), b""):
        out.write(printable(decoder.decode(block)).encode("utf-8"))
    out.write(printable(decoder.decode(b"", True)).encode("utf-8") + b"\n")


def answer_line(reason):
    """One line of a refusal: what went wrong, escaped like the report."""
    return printable(reason)
