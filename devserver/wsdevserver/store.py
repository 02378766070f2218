"""The requests the service received, kept for the inspector, within bounds of memory and disk.

Memory: a record costs a fixed amount, and so does each part it keeps, beside the bytes it
keeps: the request's head, each part's head as it was sent, the start of each text value. One
record holds at most RECORD_MEMORY; all records together at most `keep_memory`; the store keeps
the last `keep` requests: past any of these the oldest records go.

Disk: every byte written into the store's private folder is counted against `keep_bytes`,
reserved before it is written. Without room, or when a write fails (a full disk), a part's bytes
are not kept, and its record says why; the request is answered all the same, since its answer
is held apart (report.Report). A part's bytes are served only once they were kept whole.

Everything here runs on the event loop's thread, except the file writes themselves, which the
body reader's worker thread makes into paths taken here.
"""

import codecs
import datetime
import errno
import os
import shutil
import sys
import tempfile

from . import report

TEXT_KEPT = 64 * 1024  # bytes of a text value kept in memory
RAW_KEPT = 64 * 1024  # bytes of a body as received kept in memory
HEAD_KEPT = 32  # first bytes of a part kept in memory, enough to tell an image's type
MAX_RECORDED_PARTS = 1000  # a request may carry more; they are counted, not kept
RECORD_MEMORY = 1024 * 1024  # one record: its head, its parts' heads and text
REQUEST_HEAD_KEPT = 256 * 1024  # of the request's own header lines
RECORD_COST = 1024  # what a record's objects cost beside the bytes it keeps
PART_COST = 512  # likewise for each part
LOCK_NAME = "lock"  # held by the service that owns the folder, for as long as it runs


class Part:
    """One part of a request (a multipart part or a url-encoded field) as kept. A multipart
    part keeps its head as sent, parsed only to be shown."""

    __slots__ = ("index", "kind", "head", "name", "size", "sha256", "text", "start", "path",
                 "stored", "kept", "lost")

    def __init__(self, index, kind="text", head=None, name=None):
        self.index, self.kind, self.head, self.name = index, kind, head, name
        self.size = 0
        self.sha256 = None
        self.text = b"" if kind != "file" else None  # the start of a text value
        self.start = b""  # the first HEAD_KEPT bytes
        self.path = None  # where its bytes are (being) written
        self.stored = 0  # bytes of it counted against the store's budget
        self.kept = False  # its bytes are whole: in `text`, or in the file at `path`
        self.lost = None  # why its bytes are not kept

    def cost(self):
        return (PART_COST + len(self.head or b"") + len(self.name or "") + len(self.text or b"")
                + len(self.start))

    def fields(self):
        """What the inspector shows of the part's head."""
        if self.head is None:
            return {"name": self.name, "disposition": None, "filename": None,
                    "disposition_as_sent": None, "content_type": None, "headers": []}
        fields = report.part_head_fields(self.head)
        by_name = {}
        for name, value in fields:
            if name is not None:
                by_name.setdefault(name.lower(), value)
        raw_disposition = by_name.get("content-disposition", "")
        disposition, params = report.parse_header_value(raw_disposition)
        return {"name": params.get("name"), "disposition": disposition or None,
                "filename": report.file_name(params), "disposition_as_sent": raw_disposition,
                "content_type": by_name.get("content-type"),
                "headers": [[name, value] for name, value in fields
                            if name is None or name.lower() not in ("content-disposition",
                                                                    "content-type")]}

    def to_json(self):
        data = self.fields()
        text = None
        if self.text is not None:  # a character cut at the end of a value's start is left out
            whole = self.size == len(self.text)
            text = codecs.getincrementaldecoder("utf-8")("replace").decode(self.text, whole)
        data.update({"index": self.index, "size": self.size, "sha256": self.sha256,
                     "kind": self.kind, "text": text,
                     "truncated": self.text is not None and self.size > len(self.text),
                     "has_file": self.kept, "not_kept": self.lost})
        return data


class Record:
    """One request: its line, its head, its answer and its parts."""

    __slots__ = ("id", "time", "method", "path", "endpoint", "head", "status", "error", "parts",
                 "part_count", "size", "cost", "listed", "raw", "body", "version", "upstream")

    def __init__(self, id, method, path, endpoint, head, version="HTTP/1.1"):
        self.id, self.method, self.path, self.endpoint = id, method, path, endpoint
        self.version = version
        self.time = (datetime.datetime.now(datetime.timezone.utc)
                     .isoformat(timespec="milliseconds").replace("+00:00", "Z"))
        self.head = head[:REQUEST_HEAD_KEPT]  # its header lines as received
        self.status = None
        self.error = None
        self.parts = []
        self.part_count = 0  # parts received, recorded or not
        self.size = 0  # body bytes received
        self.cost = RECORD_COST + len(self.path) + len(self.head) + RAW_KEPT
        self.listed = False
        self.raw = bytearray()  # the body's first RAW_KEPT bytes, as received
        self.body = None  # the whole body, a Part of its own, once longer than that
        self.upstream = None  # what the upstream answered, when the service is a proxy

    def headers(self):
        return [[name, value] for name, value in report.part_head_fields(self.head)]

    def content_type(self):
        return next((value for name, value in self.headers()
                     if name and name.lower() == "content-type"), None)

    def summary(self):
        data = {"id": self.id, "time": self.time, "method": self.method, "path": self.path,
                "endpoint": self.endpoint, "status": self.status, "error": self.error,
                "part_count": self.part_count, "size": self.size}
        if self.upstream is not None:
            data["upstream"] = self.upstream.summary()
        return data

    def to_json(self):
        data = self.summary()
        data["headers"] = self.headers()
        data["parts"] = [part.to_json() for part in self.parts]
        if self.upstream is not None:
            data["upstream"] = self.upstream.to_json(self.id)
            data["resend"] = None if self.body_kept() else (
                "its body was not kept whole: %s" % (self.body.lost if self.body is not None
                                                     and self.body.lost else "not kept"))
        return data

    def part(self, index):
        return self.parts[index] if 0 <= index < len(self.parts) else None

    def files(self):
        """The parts whose bytes may be in files: its parts, its body, and a proxied answer."""
        answer = [self.upstream.answer] if self.upstream is not None else []
        return self.parts + ([self.body] if self.body is not None else []) + answer

    def body_kept(self):
        """Whether the whole body can be served: in memory, or in a file written whole."""
        return self.body.kept if self.body is not None else len(self.raw) == self.size

    def file_path(self, index):
        """Where part `index`'s bytes are, once kept whole in a file."""
        part = self.part(index)
        return part.path if part is not None and part.kept else None

    def head_bytes(self, index, n):
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
    def __init__(self, keep=100, keep_bytes=512 * 1024 * 1024, keep_memory=64 * 1024 * 1024):
        self.keep, self.keep_bytes, self.keep_memory = keep, keep_bytes, keep_memory
        self.reclaimed = reclaim_folders()
        self.folder = tempfile.mkdtemp(prefix=FOLDER_PREFIX)  # mode 0700
        self._lock = hold_lock(os.path.join(self.folder, LOCK_NAME))
        self._records = {}  # by id, oldest first
        self._next_id = 1
        self._kept_bytes = 0  # stored bytes of listed records
        self._pending_bytes = 0  # stored bytes of requests still being read
        self._memory = 0  # what the listed records cost
        self.listeners = []  # called with each record as it is listed

    # What the inspector reads.

    def records(self):
        """The listed records, newest first."""
        return list(reversed(self._records.values()))

    def page(self, before=None, limit=50):
        """At most `limit` records older than id `before` (or the newest), newest first, and
        whether older ones remain."""
        found = []
        for record in reversed(self._records.values()):
            if before is not None and record.id >= before:
                continue
            if len(found) == limit:
                return found, True
            found.append(record)
        return found, False

    def get(self, id):
        return self._records.get(id)

    def memory(self):
        return self._memory

    # What the server writes.

    def begin(self, method, path, endpoint, head, version="HTTP/1.1"):
        """A record for a request being read; it is listed once finish() gives its answer."""
        record = Record(self._next_id, method, path, endpoint, head, version)
        self._next_id += 1
        return record

    def add_part(self, record, part):
        """Record `part` when its record has room; returns whether it was recorded. A recorded
        file part gets the path its bytes may be written to."""
        record.part_count += 1
        cost = part.cost()
        if len(record.parts) >= MAX_RECORDED_PARTS or record.cost + cost > RECORD_MEMORY:
            return False
        record.cost += cost
        record.parts.append(part)
        return True

    def text_room(self, record):
        """How many bytes of text the record may still keep in memory."""
        return max(0, min(TEXT_KEPT, RECORD_MEMORY - record.cost))

    def keep_text(self, record, part, value, whole):
        """Keep the start of a text value in memory; whole when all of it fits."""
        part.text = bytes(value[:self.text_room(record)])
        record.cost += len(part.text)
        if whole and len(part.text) == len(value):
            part.kept = True

    def file_for(self, record, part):
        """A path for the bytes of `part`, which are then written there as they come."""
        name = ("%d-%d" % (record.id, part.index) if part.index >= 0
                else "%d-%s" % (record.id, "body" if part.index == -1 else "answer"))
        part.path = os.path.join(self.folder, name)
        return part.path

    def reserve(self, part, size):
        """Room for `size` more bytes of `part`, of a request being read, made by dropping the
        files of the oldest listed records. Without room it returns False, and the part is given
        up."""
        if part.path is None:
            return False
        if self._pending_bytes + size > self.keep_bytes:
            self.give_up(part, "the store keeps %d bytes at most" % self.keep_bytes)
            return False  # would not fit with every kept file gone: keep them
        while self._kept_bytes + self._pending_bytes + size > self.keep_bytes:
            self._drop_oldest_files()
        self._pending_bytes += size
        part.stored += size
        return True

    def give_up(self, part, reason):
        """Stop keeping the bytes of a part being read (its writer removes the file)."""
        self._pending_bytes -= part.stored
        part.path, part.stored, part.kept = None, 0, False
        part.lost = part.lost or reason

    def written(self, part, error=None):
        """The worker finished the file of `part`, whole, or failed with `error`."""
        if error is not None:
            reason = os.strerror(error.errno) if error.errno else type(error).__name__
            self.give_up(part, "cannot write it: %s" % reason)
        elif part.path is not None:
            part.kept = True

    def finish(self, record, status, error=None):
        """List `record` with its answer; the bytes its parts stored are kept from now on."""
        record.status, record.error, record.listed = status, error, True
        stored = 0
        for part in record.files():
            if part.path is not None and not part.kept:
                self.give_up(part, "the request ended before it did")
            stored += part.stored
        self._pending_bytes -= stored
        self._kept_bytes += stored
        self._records[record.id] = record
        self._memory += record.cost
        while self._records and (len(self._records) > self.keep or self._memory > self.keep_memory):
            self._forget(next(iter(self._records.values())))
        while (self._kept_bytes + self._pending_bytes > self.keep_bytes
               and self._drop_oldest_files()):
            pass
        for listener in self.listeners:
            listener(record)

    def forget(self, ids):
        """Forget the listed records `ids` (a page's clear), their files with them."""
        for id in ids:
            if id in self._records:
                self._forget(self._records[id])

    def discard(self, record):
        """Remove the files of a record that will never be listed."""
        self._drop_files(record)

    def close(self):
        release_lock(self._lock)
        shutil.rmtree(self.folder, ignore_errors=True)

    def _forget(self, record):
        del self._records[record.id]
        self._memory -= record.cost
        self._drop_files(record)

    def _drop_oldest_files(self):
        for record in self._records.values():
            if any(part.path for part in record.files()):
                self._drop_files(record)
                return True
        return False

    def _drop_files(self, record):
        for part in record.files():
            if part.path is None:
                continue
            try:
                os.unlink(part.path)
            except OSError:
                pass  # never written, or (on Windows) still open for a reader
            if record.listed:
                self._kept_bytes -= part.stored
            else:
                self._pending_bytes -= part.stored
            part.path, part.stored, part.kept = None, 0, False
            part.lost = part.lost or "dropped for newer requests"


# A store's folder outlives its service when the service is killed (SIGKILL, a crash): the next
# service removes the folders of this user whose lock nobody holds any more.
FOLDER_PREFIX = "wsdevserver-"

if sys.platform != "win32":
    # POSIX: an advisory lock, released by the kernel when its process ends however it ends.
    import fcntl

    def hold_lock(path):
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.write(fd, b"%d\n" % os.getpid())
        return fd

    def lock_is_free(path):
        try:
            fd = os.open(path, os.O_RDWR)
        except OSError:
            return False  # no lock: not a folder of ours
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except OSError as e:
            if e.errno not in (errno.EAGAIN, errno.EACCES, errno.EWOULDBLOCK):
                raise
            return False
        finally:
            os.close(fd)

    def owned_by_me(path):
        return os.lstat(path).st_uid == os.getuid()
else:
    # Windows: a file open without sharing delete cannot be removed until its process ends.
    def hold_lock(path):
        handle = open(path, "w")
        handle.write("%d\n" % os.getpid())
        handle.flush()
        return handle

    def lock_is_free(path):
        try:
            os.remove(path)
            return True
        except OSError:
            return False

    def owned_by_me(path):
        return True  # the temporary folder is the user's own


def release_lock(lock):
    if isinstance(lock, int):
        os.close(lock)
    else:
        lock.close()


def reclaim_folders():
    """Remove the store folders that services of this user left behind; returns how many."""
    root = tempfile.gettempdir()
    removed = 0
    try:
        names = os.listdir(root)
    except OSError:
        return 0
    for name in names:
        path = os.path.join(root, name)
        if not name.startswith(FOLDER_PREFIX) or os.path.islink(path) or not os.path.isdir(path):
            continue
        try:
            if owned_by_me(path) and lock_is_free(os.path.join(path, LOCK_NAME)):
                shutil.rmtree(path, ignore_errors=True)
                removed += 1
        except OSError:
            continue
    return removed
