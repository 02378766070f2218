"""The body splitters, fed bytes: cut anywhere, a body splits as it does whole."""

import os
import sys
import unittest
import urllib.parse

from hypothesis import assume, given, settings, strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../devserver"))
from wsdevserver.multipart import (  # noqa: E402
    NEED_DATA, Data, End, Fault, FieldName, MultipartSplitter, PartEnd, PartHead,
    UrlencodedSplitter)

FAST = settings(max_examples=200, deadline=None, derandomize=True, database=None)
BCHARS = "0123456789AZaz'()+_,-./:=? "


def split(splitter, body, cuts=()):
    """The events, data joined per part; `cuts` are where the body's blocks end."""
    events, bounds = [], sorted({min(c, len(body)) for c in cuts} | {0, len(body)})
    for block in [body[a:b] for a, b in zip(bounds, bounds[1:])] + [None]:
        splitter.receive_data(block)
        while (event := splitter.next_event()) is not NEED_DATA:
            if isinstance(event, Data):
                assert event.data, "an empty Data"
                if isinstance(events[-1], Data):
                    event = Data(events.pop().data + bytes(event.data))
                event = Data(bytes(event.data))
            events.append(event)
    return events


def reference(body, boundary):  # of a well-formed body
    events = []
    for piece in (b"\r\n" + body).split(b"\r\n--" + boundary)[1:]:
        if piece.startswith(b"--"):
            return events + [End()]
        rest = piece.lstrip(b" \t")[2:]
        head, data = (b"", rest[2:]) if rest[:2] == b"\r\n" else rest.split(b"\r\n\r\n", 1)
        events += [PartHead(head)] + [Data(data)] * bool(data) + [PartEnd()]


# Values of bytes and near-delimiters: an int k stands for the delimiter less its last k bytes.
CHUNKS = st.lists(st.sampled_from([b"\r", b"\n", b"-", b"x", b"\0\xff", 1, 2, 3, 4, 9]), max_size=8)
LINES = st.lists(st.binary(max_size=10), max_size=3)


@st.composite
def multipart(draw):
    boundary = "".join(draw(st.lists(st.sampled_from(BCHARS), min_size=1, max_size=6))).strip()
    boundary = boundary or "b"
    delim = b"\r\n--" + boundary.encode()

    def data():
        return b"".join(c if isinstance(c, bytes) else delim[:-c] for c in draw(CHUNKS))
    preamble = data()
    assume(delim not in b"\r\n" + preamble)
    body = preamble + b"\r\n" * (bool(preamble) or draw(st.booleans())) + delim[2:]
    for _ in range(draw(st.integers(1, 3))):
        head = b"\r\n".join(b"h" + line.translate(None, b"\r\n") for line in draw(LINES))
        part = draw(st.sampled_from([b"", b" ", b"\t "])) + b"\r\n" + head
        part += (b"\r\n\r\n" if head else b"\r\n") + data()
        assume(delim not in part)
        body += part + delim
    return boundary, body + b"--" + data()


class SplitterTest(unittest.TestCase):
    @FAST
    @given(multipart(), st.randoms(use_true_random=False))
    def test_multipart_cut_anywhere(self, case, rand):
        boundary, body = case
        cuts = rand.sample(range(len(body)), rand.randrange(min(len(body), 8)))
        whole = split(MultipartSplitter(boundary), body)
        self.assertEqual(whole, reference(body, boundary.encode()))
        self.assertEqual(split(MultipartSplitter(boundary), body, cuts), whole)
        self.assertEqual(split(MultipartSplitter(boundary), body, range(1, len(body))), whole)
        # A body cut short fails the same way in blocks as whole.
        short = body[:rand.randrange(len(body))]
        self.assertEqual(split(MultipartSplitter(boundary, 8), short, cuts),
                         split(MultipartSplitter(boundary, 8), short))

    @FAST
    @given(st.lists(st.sampled_from([b"a", b"=", b"&", b"+", b"%", b"4", b"1", b"\xff"])),
           st.lists(st.integers(0, 40)))
    def test_urlencoded_as_parse_qsl(self, pieces, cuts):
        body = b"".join(pieces)
        expected = [[n.encode("latin-1"), v.encode("latin-1")] for n, v in urllib.parse.parse_qsl(
            body.decode("latin-1"), keep_blank_values=True, encoding="latin-1")]
        for cuts in (cuts, range(len(body))):
            fields = []
            for event in split(UrlencodedSplitter(), body, cuts):
                if isinstance(event, FieldName):
                    name = urllib.parse.unquote_to_bytes(event.raw.replace(b"+", b" "))
                    fields.append([name, b""])
                elif isinstance(event, Data):
                    fields[-1][1] = event.data
            self.assertEqual(fields, expected)

    def test_faults(self):
        for boundary in ("ends in a space ", 'a"quote', "x" * 71, ""):
            self.assertRaisesRegex(ValueError, "^invalid multipart boundary$",
                                   MultipartSplitter, boundary)
        head, m, u = b"--b\r\nname: a\r\n\r\nx", MultipartSplitter, UrlencodedSplitter
        for kind, args, body, reason in [
                (m, ("b",), b"", "empty multipart body"),
                (m, ("b",), b"preamble only\r\n--", "multipart body has no opening boundary"),
                (m, ("b",), b"--b--\r\n", "multipart body has no opening boundary"),
                (m, ("b",), head + b"\r\n--b", "multipart body has no closing boundary"),
                (m, ("b",), head + b"\r\n--b--", None),
                (m, ("b",), head + b"\r\n--b-x", "malformed multipart body (after part 1)"),
                (m, ("b",), b"--b" + b" " * 1025 + b"\r\n\r\n\r\n--b--",
                 "malformed multipart body (after part 0)"),
                (m, ("b", 6), head, "part 1 has a head of more than 6 bytes"),
                (m, ("b", 7), head + b"\r\n--b\r\n12345678901",
                 "part 2 has a head of more than 7 bytes"),
                (u, (3,), b"abc&d=1&abcd=", "field 3 has a name of more than 3 bytes"),
                (u, (3,), b"a=1&abcd", "field 2 has a name of more than 3 bytes")]:
            for cuts in ((), range(len(body))):
                with self.subTest(body=body, cuts=len(cuts)):
                    splitter = kind(*args)
                    events = split(splitter, body, cuts)
                    self.assertEqual(events[-1], Fault(reason) if reason else End())
                    splitter.receive_data(b"--b--")  # after a fault or the end, nothing
                    self.assertIs(splitter.next_event(), NEED_DATA)

    def test_long_value_not_copied(self):
        splitter, body = MultipartSplitter("b"), b"--b\r\n\r\n" + b"v" * 100000 + b"\r\n--b--"
        splitter.receive_data(body)
        self.assertEqual(splitter.next_event(), PartHead(b""))
        self.assertIs(splitter.next_event().data.obj, body)
