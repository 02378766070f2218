"""Request bodies split into events, and nothing else: no store, thread or event loop, so that a
test of the splitting only feeds bytes, cut anywhere.

A splitter is fed the body's blocks (receive_data, None at its end) and hands out events
(next_event) until it needs more (NEED_DATA). A multipart part is PartHead, Data..., PartEnd; a
url-encoded field is FieldName, Data..., PartEnd; a whole body ends with End; a Fault, the last
event, says why it cannot be split further. A long value comes out as views of the blocks
received, not copies: a splitter holds back only what it cannot judge yet (a delimiter's start,
a part's head up to max_head bytes, a field's name up to max_name bytes).
"""

import collections
import re
import urllib.parse
from dataclasses import make_dataclass

MAX_PADDING = 1024  # spaces and tabs allowed after a delimiter
UNQUOTE = 32 * 1024  # bytes of a url-encoded value decoded at once: one object per escape
# Boundary characters allowed by RFC 2046, which also keeps quotes and line breaks out of it.
BOUNDARY_RE = re.compile(r"[0-9A-Za-z'()+_,\-./:=? ]{0,69}[0-9A-Za-z'()+_,\-./:=?]")


# The events. Unlike tuples', their equality tells an End from a PartEnd.
PartHead = make_dataclass("PartHead", [("raw", bytes)], frozen=True)  # without its blank line
FieldName = make_dataclass("FieldName", [("raw", bytes)], frozen=True)  # still percent-encoded
Data = make_dataclass("Data", [("data", bytes)], frozen=True)  # or a view of a block received
PartEnd = make_dataclass("PartEnd", [], frozen=True)
End = make_dataclass("End", [], frozen=True)  # the body ended whole
Fault = make_dataclass("Fault", [("reason", str)], frozen=True)  # the last event
NEED_DATA = type("NeedData", (), {"__repr__": lambda self: "NEED_DATA"})()


class _Splitter:
    """Keeps the block being split, and the events found but not yet taken."""

    def __init__(self):
        self._block, self._view, self._pos = b"", memoryview(b""), 0
        self._ended = self._done = False
        self._events = collections.deque()
        self._size = 0  # bytes received

    def receive_data(self, data):
        """Feeds a block of the body (kept, not copied, when it is bytes); None at its end."""
        if data is None or self._done or self._ended:
            self._ended = True  # takes no more
            return
        self._size += len(data)
        if self._pos < len(self._block):  # fed again before NEED_DATA: rare, so a copy will do
            data = self._block[self._pos:] + bytes(data)
        elif not isinstance(data, bytes):
            data = bytes(data)  # a caller's buffer may change under the views handed out
        self._block, self._view, self._pos = data, memoryview(data), 0

    def next_event(self):
        while not self._events:
            if self._done:
                return NEED_DATA
            if self._pos < len(self._block):
                self._step()
            elif self._ended:
                self._finish()
                self._done = True
            else:
                return NEED_DATA
        return self._events.popleft()

    def _fault(self, reason):
        self._events.append(Fault(reason))
        self._done = True


class MultipartSplitter(_Splitter):
    """A multipart body split at its delimiters. The line break before the first delimiter may
    be left out; the preamble and the epilogue are ignored."""

    def __init__(self, boundary, max_head=1024 * 1024):
        super().__init__()
        if not BOUNDARY_RE.fullmatch(boundary):
            raise ValueError("invalid multipart boundary")
        self._delimiter = b"\r\n--" + boundary.encode("ascii")
        self._max_head = max_head
        # Bytes not judged yet: a delimiter's start, the padding after one, a part's head. It
        # begins with the line break that a body may leave out before its first delimiter.
        self._buf = bytearray(b"\r\n")
        self._state = "preamble"  # then "after" a delimiter, "head", "data", and "epilogue"
        self._parts = 0

    def _pull(self, limit):
        """Moves up to `limit` bytes of the block to the buffer; returns how many. The last ones
        go back with `self._pos -= n`."""
        n = max(0, min(limit, len(self._block) - self._pos))
        self._buf += self._view[self._pos:self._pos + n]
        self._pos += n
        return n

    def _step(self):
        getattr(self, "_" + self._state)()

    def _epilogue(self):
        self._pos = len(self._block)

    def _held_from(self, data, start):
        """Where the end of `data` may begin a delimiter: there the bytes must wait."""
        held = max(start, len(data) - len(self._delimiter) + 1)
        cr = data.find(b"\r", held)
        return len(data) if cr < 0 else cr

    def _data_or_preamble(self):
        buf, size = self._buf, len(self._delimiter)
        if buf:  # a delimiter's start, perhaps: joined with enough of the block to tell
            moved = self._pull(size - 1)
            found = buf.find(self._delimiter)
            if found >= 0:
                self._pos -= len(buf) - found - size
                out = bytes(buf[:found])
                buf.clear()
            else:
                held = self._held_from(buf, 0)
                out = bytes(buf[:held])
                if len(buf) - held <= moved:  # back to the block, which is then split in place
                    self._pos -= len(buf) - held
                    buf.clear()
                else:
                    del buf[:held]
        else:
            found = self._block.find(self._delimiter, self._pos)
            stop = found if found >= 0 else self._held_from(self._block, self._pos)
            out = self._view[self._pos:stop]
            if found >= 0:
                self._pos = found + size
            else:
                buf += self._view[stop:]
                self._pos = len(self._block)
        if self._state == "data":
            if out:
                self._events.append(Data(out))
            if found >= 0:
                self._events.append(PartEnd())
        if found >= 0:
            self._state = "after"

    _data = _preamble = _data_or_preamble  # split the same way, a preamble's data ignored

    def _after(self):
        buf = self._buf
        self._pull(MAX_PADDING + 2 - len(buf))
        if len(buf) < 2:
            return
        if buf[:2] == b"--":
            self._state = "epilogue"
            buf.clear()
            return
        padding = len(buf) - len(buf.lstrip(b" \t"))
        whole = len(buf) >= padding + 2
        if padding > MAX_PADDING or (whole and buf[padding:padding + 2] != b"\r\n"):
            self._fault("malformed multipart body (after part %d)" % self._parts)
        elif whole:
            self._pos -= len(buf) - padding - 2
            buf.clear()
            self._state = "head"

    def _head(self):
        buf, limit = self._buf, self._max_head + 4  # a head that long with no blank line: too long
        if not buf:  # the whole head in this block, most likely: found in place
            pos = self._pos
            end = pos if self._block.startswith(b"\r\n", pos) else \
                self._block.find(b"\r\n\r\n", pos, pos + limit)
            if end >= 0:
                self._begin(bytes(self._view[pos:end]), end + (2 if end == pos else 4))
                return
        start = max(0, len(buf) - 3)
        self._pull(limit - len(buf))
        end = 0 if buf[:2] == b"\r\n" else buf.find(b"\r\n\r\n", start)
        if end >= 0:
            self._pos -= len(buf) - end - (2 if end == 0 else 4)
            self._begin(bytes(buf[:end]), self._pos)
            buf.clear()
        elif len(buf) >= limit:
            self._fault("part %d has a head of more than %d bytes" % (
                self._parts + 1, self._max_head))

    def _begin(self, head, pos):
        self._parts += 1
        self._events.append(PartHead(head))
        self._pos, self._state = pos, "data"

    def _finish(self):
        if not self._size:
            self._fault("empty multipart body")
        elif self._state == "preamble" or (self._state == "epilogue" and not self._parts):
            self._fault("multipart body has no opening boundary")
        elif self._state != "epilogue":
            self._fault("multipart body has no closing boundary")
        else:
            self._events.append(End())


class UrlencodedSplitter(_Splitter):
    """An application/x-www-form-urlencoded body split at '&' and '=', with the same fields
    that urllib.parse.parse_qsl(keep_blank_values=True) reads in it whole. A value comes out
    decoded ('+' as a space); a name comes out as sent, for the reader to decode."""

    def __init__(self, max_name=1024 * 1024):
        super().__init__()
        self._max_name = max_name
        self._name = bytearray()
        self._in_value = False
        self._held = b""  # an escape cut by the end of a block
        self._fields = 0

    def _step(self):
        data, pos = self._block, self._pos
        if self._in_value:  # a long value a slice at a time
            amp = data.find(b"&", pos, pos + UNQUOTE)
            cut = min(len(data), pos + UNQUOTE) if amp < 0 else amp
            self._value(data[pos:cut])
            self._pos = cut + (amp >= 0)
            if amp >= 0:
                self._end_value()
            return
        amp = data.find(b"&", pos)
        stop = len(data) if amp < 0 else amp
        eq = data.find(b"=", pos, stop)
        end = stop if eq < 0 else eq
        if len(self._name) + end - pos > self._max_name:
            self._fault("field %d has a name of more than %d bytes" % (
                self._fields + 1, self._max_name))
            return
        self._name += self._view[pos:end]
        self._pos = end + (end < len(data))
        if eq >= 0:
            self._new_field()
            self._in_value = True
        elif amp >= 0 and self._name:  # a field without '='; an empty segment is no field
            self._new_field(PartEnd())

    def _new_field(self, *end):
        self._fields += 1
        self._events.extend((FieldName(bytes(self._name)),) + end)
        self._name.clear()

    def _value(self, raw):
        piece = self._held + raw.replace(b"+", b" ")
        cut = len(piece) - (1 if piece[-1:] == b"%" else 2 if piece[-2:-1] == b"%" else 0)
        self._held = piece[cut:]
        if cut:
            self._events.append(Data(urllib.parse.unquote_to_bytes(piece[:cut])))

    def _end_value(self):
        if self._held:
            self._events.append(Data(urllib.parse.unquote_to_bytes(self._held)))
            self._held = b""
        self._events.append(PartEnd())
        self._in_value = False

    def _finish(self):
        if self._in_value:
            self._end_value()
        elif self._name:
            self._new_field(PartEnd())
        self._events.append(End())
