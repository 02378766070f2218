"""A request as received, for the inspector's raw view: its request line and header lines in
their order, case and number, then the start of its body cut where a tester looks: each
delimiter, each part's header lines, and each part's data, as text or else as a hex dump.
"""

import re

from . import report

HEX_SHOWN = 1024  # bytes of binary data shown as a hex dump
TEXT_SHOWN = 4096  # characters of text data shown
PRINTABLE_RE = re.compile(rb"[\t\n\r\x20-\x7e\x80-\xff]*\Z")


def hex_dump(data):
    lines = []
    for offset in range(0, len(data), 16):
        row = data[offset:offset + 16]
        text = "".join(chr(b) if 0x20 <= b < 0x7f else "." for b in row)
        lines.append("%08x  %-47s  %s" % (offset, " ".join("%02x" % b for b in row), text))
    return "\n".join(lines)


def data_segment(data):
    """Data shown as text when it decodes as UTF-8 and prints, else as a hex dump."""
    text = data.decode("utf-8", "replace")
    if PRINTABLE_RE.match(data) and "\ufffd" not in text[:-3]:  # its last character may be cut
        return {"kind": "data", "size": len(data),
                "text": report.printable(text[:TEXT_SHOWN]).replace("\\n", "\\n\n"),
                "cut": len(text) > TEXT_SHOWN}
    return {"kind": "data", "size": len(data), "hex": hex_dump(data[:HEX_SHOWN]),
            "cut": len(data) > HEX_SHOWN}


def segments(raw, content_type):
    """The body's start `raw`, cut at the boundary that `content_type` names, if any."""
    boundary = report.parse_header_value(content_type or "")[1].get("boundary")
    if not boundary:
        return [data_segment(raw)] if raw else []
    delimiter = b"--" + boundary.encode("utf-8", "replace")
    out, pos = [], 0
    while pos < len(raw):
        found = raw.find(delimiter, pos)
        if found < 0:
            break
        stop = found - 2 if raw[found - 2:found] == b"\r\n" and found >= 2 else found
        if stop > pos:
            out.append(data_segment(raw[pos:stop]))
        line_end = raw.find(b"\r\n", found)
        line_end = len(raw) if line_end < 0 else line_end
        out.append({"kind": "boundary", "text": report.printable(
            raw[found:line_end].decode("utf-8", "replace"))})
        pos = line_end + 2
        head_end = raw.find(b"\r\n\r\n", pos - 2)
        if raw[found + len(delimiter):found + len(delimiter) + 2] == b"--" or head_end < 0:
            break  # an epilogue, or a head cut short, is shown as data
        out.append({"kind": "head", "lines": [report.printable(line.decode("utf-8", "replace"))
                                              for line in raw[pos:head_end].split(b"\r\n")
                                              if line]})
        pos = head_end + 4
    if pos < len(raw):
        out.append(data_segment(raw[pos:]))
    return out


def raw_view(record):
    return {"request_line": "%s %s %s" % (record.method, report.printable(record.path),
                                          record.version),
            "headers": record.headers(), "size": record.size, "shown": len(record.raw),
            "url": "/files/%d/body" % record.id if record.body_kept() else None,
            "segments": segments(bytes(record.raw), record.content_type())}
