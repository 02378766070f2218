"""What the service keeps of a request: plain records, owned by the event loop. The worker thread
never touches them but hands its results back through its futures; views.py makes the JSON."""

import contextlib
import dataclasses
import datetime

from . import report

TEXT_KEPT = 64 * 1024  # bytes of a text value kept in memory
RAW_KEPT = 64 * 1024  # bytes of a body as received kept in memory
HEAD_KEPT = 32  # first bytes of a part kept in memory, enough to tell an image's type
REQUEST_HEAD_KEPT = 256 * 1024  # of the request's own header lines
RECORD_COST = 1024  # what a record's objects cost beside the bytes it keeps
PART_COST = 512  # likewise for each part

FIELD, BODY, ANSWER = "field", "body", "answer"  # what a Part holds


@dataclasses.dataclass(eq=False)
class Part:
    """The bytes of one field (a multipart part or a url-encoded field), of a whole body, or of a
    proxied answer. A multipart part keeps its head as sent, parsed only to be shown."""

    index: int = 0  # the field's place in the body; 0 for a body or an answer
    kind: str = "file"  # "file" or "text": how its value is shown
    head: bytes = None  # a multipart part's head as sent
    name: str = None  # a url-encoded field's name
    role: str = FIELD
    size: int = 0
    sha256: str = None
    text: bytes = None  # the start of a text value
    start: bytes = b""  # the first HEAD_KEPT bytes
    path: str = None  # where its bytes are (being) written
    stored: int = 0  # bytes of it counted against the store's budget
    kept: bool = False  # whole: in `text`, or in the file at `path`, its end seen
    lost: str = None  # why its bytes are not kept

    def __post_init__(self):
        if self.kind == "text" and self.text is None:
            self.text = b""

    def cost(self):
        return (PART_COST + len(self.head or b"") + len(self.name or "") + len(self.text or b"")
                + len(self.start))

    def fields(self):
        """The part's head as the inspector shows it."""
        if self.head is None:
            return {"name": self.name, "disposition": None, "filename": None,
                    "disposition_as_sent": None, "content_type": None, "headers": []}
        return shown_head(self.head)


def shown_head(head):
    """A multipart part's head (bytes, as sent) as the inspector shows it."""
    fields = report.part_head_fields(head)
    # Reversed, so that the first field of a name is the one kept.
    first = {name.lower(): value for name, value in reversed(fields) if name is not None}
    sent = first.get("content-disposition", "")
    disposition, params = report.parse_header_value(sent)
    return {"name": params.get("name"), "disposition": disposition or None,
            "filename": report.file_name(params), "disposition_as_sent": sent,
            "content_type": first.get("content-type"),
            "headers": [[name, value] for name, value in fields if name is None
                        or name.lower() not in ("content-disposition", "content-type")]}


@dataclasses.dataclass(eq=False)
class Exchange:
    """The upstream's side of one proxied request."""

    upstream: str
    url: str
    insecure: bool
    status: int = None
    reason: str = None
    head: bytes = b""
    first_byte: float = None
    total: float = None
    error: str = None
    text: bytes = b""  # the answer's start, for the page to show as text
    answer: Part = dataclasses.field(default_factory=lambda: Part(role=ANSWER))

    def cost(self):
        return (len(self.url) + len(self.head) + len(self.error or "") + len(self.text)
                + self.answer.cost())


def now():
    return (datetime.datetime.now(datetime.timezone.utc)
            .isoformat(timespec="milliseconds").replace("+00:00", "Z"))


@dataclasses.dataclass(eq=False)
class Record:
    """One request: its line, its head, its answer and its parts."""

    id: int
    method: str
    path: str
    endpoint: str
    head: bytes  # its header lines as received
    version: str = "HTTP/1.1"
    time: str = dataclasses.field(default_factory=now)
    status: int = None
    error: str = None  # why it was refused, or what went wrong with its answer
    notes: list = dataclasses.field(default_factory=list)  # what a tester should know
    parts: list = dataclasses.field(default_factory=list)
    part_count: int = 0  # parts received, recorded or not
    size: int = 0  # body bytes received
    cut: bool = False  # its body ended before its framing said it would
    listed: bool = False
    raw: bytearray = dataclasses.field(default_factory=bytearray)  # the body's first RAW_KEPT
    body: Part = None  # the whole body, once longer than that
    upstream: Exchange = None
    answered_by: str = None  # "the report", "rule N", "playback entry N" or "the upstream"
    answer: dict = None  # what a scripted answer sent back: its status, headers, size and end
    report: bytes = None  # the start of the service's own report, when it answered one
    report_size: int = 0
    cost: int = 0

    def __post_init__(self):
        self.head = self.head[:REQUEST_HEAD_KEPT]
        self.cost = RECORD_COST + len(self.path) + len(self.head) + RAW_KEPT

    def headers(self):
        return [[name, value] for name, value in report.part_head_fields(self.head)]

    def content_type(self):
        return next((value for name, value in self.headers()
                     if name and name.lower() == "content-type"), None)

    def part(self, index):
        return self.parts[index] if 0 <= index < len(self.parts) else None

    def files(self):
        """The parts whose bytes may be in files: its fields, its body, a proxied answer."""
        return self.parts + [part for part in (self.body, self.upstream and self.upstream.answer)
                             if part is not None]

    def body_kept(self):
        """Whether the whole body can be served: in memory, or in a file written whole."""
        if self.cut:
            return False
        return self.body.kept if self.body is not None else len(self.raw) == self.size

    def body_lost(self):
        """Why the body cannot be sent again, or None."""
        if self.cut:
            return "the body was cut after %d bytes" % self.size
        if self.body_kept():
            return None
        return self.body.lost if self.body is not None and self.body.lost else "not kept"

    def head_bytes(self, part, n):
        """The first n bytes of `part` (fewer when it is shorter)."""
        if n > len(part.start) and part.path is not None:
            with contextlib.suppress(OSError), open(part.path, "rb") as f:
                return f.read(n)
        return part.start[:n]
