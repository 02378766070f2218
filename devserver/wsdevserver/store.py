"""The requests the service received, kept for the inspector.

It keeps the last `keep` requests, and the bytes of their parts in a private folder up to
`keep_bytes` in all; the oldest go first. A record's metadata stays in memory (bounded per
record) after its files are dropped for room. Everything here runs on the event loop's thread:
the files themselves are written by the body reader's worker thread, into paths taken here.
"""

import asyncio
import collections
import datetime
import os
import shutil
import tempfile

TEXT_KEPT = 64 * 1024  # characters of a text value kept in a record
HEAD_KEPT = 32  # first bytes of a part kept in memory, enough to tell an image's type
MAX_RECORDED_PARTS = 1000  # a request may carry more; they are counted, not kept
RECORD_BYTES = 1024 * 1024  # names, file names, part headers and text of one record
QUEUE_SIZE = 256  # records a slow subscriber may have pending before the oldest is dropped


class Part:
    """One part of a request (a multipart part or a url-encoded field) as kept."""

    def __init__(self, index, name, disposition=None, filename=None, content_type=None,
                 headers=(), kind="text"):
        self.index, self.name, self.disposition = index, name, disposition
        self.filename, self.content_type, self.headers = filename, content_type, list(headers)
        self.kind = kind
        self.size = 0
        self.sha256 = None
        self.text = None if kind == "file" else ""
        self.truncated = False
        self.start = b""  # the first HEAD_KEPT bytes
        self.path = None  # set while its bytes are (being) stored
        self.stored = 0  # bytes of it counted against the store's budget

    def cost(self):
        """What this part's strings weigh in its record's memory, text aside."""
        return (len(self.name) + len(self.filename or "") + len(self.disposition or "")
                + len(self.content_type or "") + sum(len(n) + len(v) for n, v in self.headers))

    def to_json(self):
        return {"index": self.index, "name": self.name, "disposition": self.disposition,
                "filename": self.filename, "content_type": self.content_type,
                "headers": [[n, v] for n, v in self.headers], "size": self.size,
                "sha256": self.sha256, "kind": self.kind, "text": self.text,
                "truncated": self.truncated, "has_file": self.path is not None}


class Record:
    """One request: its line, headers, answer and parts."""

    def __init__(self, id, method, path, endpoint, headers):
        self.id, self.method, self.path, self.endpoint = id, method, path, endpoint
        self.time = (datetime.datetime.now(datetime.timezone.utc)
                     .isoformat(timespec="milliseconds").replace("+00:00", "Z"))
        self.headers = [(n, v) for n, v in headers]
        self.status = None
        self.error = None
        self.parts = []
        self.part_count = 0  # parts received, recorded or not
        self.text_room = RECORD_BYTES

    def to_json(self):
        return {"id": self.id, "time": self.time, "method": self.method, "path": self.path,
                "endpoint": self.endpoint, "status": self.status,
                "headers": [[n, v] for n, v in self.headers], "error": self.error,
                "parts": [part.to_json() for part in self.parts], "part_count": self.part_count}

    def part(self, index):
        return self.parts[index] if 0 <= index < len(self.parts) else None

    def file_path(self, index):
        part = self.part(index)
        return part.path if part is not None else None

    def head(self, index, n):
        """The first n bytes of part `index` (fewer when it is shorter, or b"" when unknown)."""
        part = self.part(index)
        if part is None:
            return b""
        if n <= len(part.start) or part.path is None:
            return part.start[:n]
        try:
            with open(part.path, "rb") as f:
                return f.read(n)
        except OSError:
            return part.start[:n]


class RequestStore:
    def __init__(self, keep=100, keep_bytes=512 * 1024 * 1024):
        self.keep, self.keep_bytes = keep, keep_bytes
        self.folder = tempfile.mkdtemp(prefix="wsdevserver-")  # mode 0700
        self._records = collections.deque()  # oldest first
        self._by_id = {}
        self._next_id = 1
        self._kept_bytes = 0  # stored bytes of finished records
        self._pending_bytes = 0  # stored bytes of requests still being read
        self._queues = set()

    # What the inspector reads.

    def records(self):
        return list(reversed(self._records))

    def get(self, id):
        return self._by_id.get(id)

    def subscribe(self):
        queue = asyncio.Queue(QUEUE_SIZE)
        self._queues.add(queue)
        return queue

    def unsubscribe(self, queue):
        self._queues.discard(queue)

    # What the server writes.

    def begin(self, method, path, endpoint, headers):
        """A record for a request being read; it is listed once finish() gives its answer."""
        record = Record(self._next_id, method, path, endpoint, headers)
        self._next_id += 1
        return record

    def add_part(self, record, part):
        """Record `part` when its record has room; returns whether it was recorded. A recorded
        part gets the path its bytes may be stored at."""
        record.part_count += 1
        cost = part.cost()
        if len(record.parts) >= MAX_RECORDED_PARTS or cost > record.text_room:
            return False
        record.text_room -= cost
        record.parts.append(part)
        part.path = os.path.join(self.folder, "%d-%d" % (record.id, part.index))
        return True

    def text_room(self, record):
        """How many characters of text the record may still keep."""
        return min(TEXT_KEPT, record.text_room)

    def take_text(self, record, n):
        record.text_room -= n

    def reserve(self, part, size, force=False):
        """Room for `size` more stored bytes of `part`, of a request being read, made by dropping
        the files of the oldest finished records. Without room it returns False, unless `force`
        (bytes the answer itself needs), when they are counted all the same."""
        if self._pending_bytes + size > self.keep_bytes and not force:
            return False  # would not fit with every kept file gone: keep them
        while self._kept_bytes + self._pending_bytes + size > self.keep_bytes and self._drop_oldest_files():
            pass
        if self._kept_bytes + self._pending_bytes + size > self.keep_bytes and not force:
            return False
        self._pending_bytes += size
        part.stored += size
        return True

    def drop_part(self, part):
        """Give up storing a part of a request being read (its sink removes the file)."""
        self._pending_bytes -= part.stored
        part.path, part.stored = None, 0

    def finish(self, record, status, error=None):
        """List `record` with its answer; the bytes its parts stored are kept from now on."""
        record.status, record.error = status, error
        stored = sum(part.stored for part in record.parts if part.path)
        self._pending_bytes -= stored
        self._kept_bytes += stored
        self._records.append(record)
        self._by_id[record.id] = record
        while len(self._records) > self.keep:
            old = self._records.popleft()
            del self._by_id[old.id]
            self._drop_files(old)
        while self._kept_bytes + self._pending_bytes > self.keep_bytes and self._drop_oldest_files():
            pass
        for queue in list(self._queues):
            if queue.full():
                queue.get_nowait()
            queue.put_nowait(record)

    def discard(self, record):
        """Remove the files of a record that will never be listed."""
        self._drop_files(record, kept=False)

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def _drop_oldest_files(self):
        for record in self._records:
            if any(part.path for part in record.parts):
                self._drop_files(record)
                return True
        return False

    def _drop_files(self, record, kept=True):
        for part in record.parts:
            if part.path is None:
                continue
            try:
                os.unlink(part.path)
            except OSError:
                pass  # never written, or (on Windows) still open for a reader
            if kept:
                self._kept_bytes -= part.stored
            else:
                self._pending_bytes -= part.stored
            part.path, part.stored = None, 0
