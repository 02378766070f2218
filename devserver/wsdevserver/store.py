"""The requests the service received, kept for the inspector, within bounds of memory and disk.

Memory: a record costs a fixed amount, and so does each part it keeps, beside the bytes it
keeps: the request's head, each part's head as it was sent, the start of each text value. One
record holds at most RECORD_MEMORY; all records together at most `keep_memory`; the store keeps
the last `keep` requests: past any of these the oldest records go.

Disk: every byte written into the store's private folder is counted against `keep_bytes`,
reserved before it is written. Without room, or when a write fails (a full disk), a part's bytes
are not kept, and its record says why; the request is answered all the same, since its answer
is held apart (report.Report). A part's bytes are served only once they were kept whole.

The store is the event loop's alone: the worker thread writes files at the paths taken here,
and its results come back through body.Recording.

Ids never repeat across runs of the service: a run numbers its requests on from the time it
started, in microseconds, so a link to a request of an earlier run (the page's #ID) can never
open another request; an id below first_id is from before this run. A run would have to take
more than a request per microsecond, on average, to reach the next run's ids.

A search scans the records newest first and stops at a page of matches, or after SEARCH_SECONDS
of scanning; either way it says where to go on from, so neither its answer nor its time grows
with the number of records kept.
"""

import errno
import os
import re
import shutil
import sys
import tempfile
import time
import urllib.parse

from .records import Record

MAX_RECORDED_PARTS = 1000  # a request may carry more; they are counted, not kept
RECORD_MEMORY = 1024 * 1024  # one record: its head, its parts' heads and text
LOCK_NAME = "lock"  # held by the service that owns the folder, for as long as it runs


class RequestStore:
    def __init__(self, keep=100, keep_bytes=512 * 1024 * 1024, keep_memory=64 * 1024 * 1024):
        self.keep, self.keep_bytes, self.keep_memory = keep, keep_bytes, keep_memory
        self.reclaimed = reclaim_folders()
        self.folder = tempfile.mkdtemp(prefix=FOLDER_PREFIX)  # mode 0700
        self._lock = hold_lock(os.path.join(self.folder, LOCK_NAME))
        self._records = {}  # by id, oldest first
        self.first_id = time.time_ns() // 1000
        self._next_id = self.first_id
        self._kept_bytes = 0  # stored bytes of listed records
        self._pending_bytes = 0  # stored bytes of requests still being read
        self._memory = 0  # what the listed records cost
        self.listeners = []  # called with each record as it is listed

    # What the inspector reads.

    def held(self):
        return len(self._records)

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

    def search(self, terms, before=None, limit=50, seconds=None):
        """At most `limit` records older than id `before` that match every one of `terms`
        (parse_query's), newest first, each with where it matched; and the id to go on before,
        or None when every record was scanned."""
        deadline = time.monotonic() + (SEARCH_SECONDS if seconds is None else seconds)
        found = []
        for record in reversed(self._records.values()):
            if before is not None and record.id >= before:
                continue
            if len(found) == limit or time.monotonic() > deadline:
                return found, record.id + 1
            where = matches(record, terms)
            if where is not None:
                found.append((record, where))
        return found, None

    # What a recording writes.

    def begin(self, method, path, endpoint, head, version="HTTP/1.1"):
        """A record for a request being read; it is listed once finish() gives its answer."""
        record = Record(self._next_id, method, path, endpoint, head, version)
        self._next_id += 1
        return record

    def begin_request(self, request, endpoint):
        """begin() for an aiohttp request, with its head as received."""
        head = b"".join(b"%s: %s\r\n" % pair for pair in request.raw_headers)
        return self.begin(request.method, request.raw_path, endpoint, head,
                          "HTTP/%d.%d" % tuple(request.version))

    def add_part(self, record, part):
        """Record `part` when its record has room; returns whether it was recorded."""
        record.part_count += 1
        cost = part.cost()
        if len(record.parts) >= MAX_RECORDED_PARTS or record.cost + cost > RECORD_MEMORY:
            return False
        record.cost += cost
        record.parts.append(part)
        return True

    def keep_text(self, record, part, value, whole):
        """Keep the start of a text value in memory; whole when all of it fits."""
        room = max(0, min(len(value), RECORD_MEMORY - record.cost))
        part.text = bytes(value[:room])
        record.cost += len(part.text)
        part.kept = whole and room == len(value)

    def file_for(self, record, part):
        """A path for the bytes of `part`, which are then written there as they come."""
        name = "%d-%s" % (record.id, part.index if part.role == "field" else part.role)
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


# Search: plain words match anywhere kept; a prefix limits a word to one place. A quoted word
# keeps its spaces ("header:\"x-trace: 42\""). Case is ignored.
SEARCH_SECONDS = 0.25  # of the event loop's time, at most, per page of a search
MAX_QUERY = 1000  # characters of a query read
MAX_TERMS = 16
MAX_WHERE = 4  # places told per match
EXCERPT = 32  # characters shown either side of a match
PREFIXES = ("status", "method", "header", "path", "part")
QUERY_WORD = re.compile(r'(?:([A-Za-z]+):)?(?:"([^"]*)"?|(\S+))')


def parse_query(text):
    """A search's words as (prefix or None, word in lower case)."""
    terms = []
    for prefix, quoted, plain in QUERY_WORD.findall(text[:MAX_QUERY]):
        word = quoted or plain
        if prefix and prefix.lower() not in PREFIXES:
            prefix, word = None, prefix + ":" + word  # localhost:18080 is a plain word
        if word:
            terms.append((prefix.lower() if prefix else None, word.lower()))
    return terms[:MAX_TERMS]


def places(record):
    """What a search looks at in a record: (prefix it answers to, what it is, its name, text)."""
    found = [("method", "method", None, record.method), ("path", "path", None, record.path)]
    decoded = urllib.parse.unquote(record.path, errors="replace")
    if decoded != record.path:
        found.append(("path", "path", None, decoded))
    found.append(("status", "status", None, str(record.status)))
    for what in ("endpoint", "answered_by", "error"):
        if getattr(record, what):
            found.append((None, what.replace("_", " "), None, getattr(record, what)))
    found += [("header", "header", name, "%s: %s" % (name, value) if name else value)
              for name, value in record.headers()]
    for part in record.parts:
        fields = part.fields()
        label = "part %d" % (part.index + 1)
        for what in ("name", "filename"):
            if fields[what]:
                found.append(("part", label + (" file name" if what == "filename" else " name"),
                              fields["name"], fields[what]))
        if part.kind == "text" and part.text:
            found.append((None, label + " text", fields["name"],
                          part.text.decode("utf-8", "replace")))
    if record.upstream is not None and record.upstream.status is not None:
        found.append(("status", "upstream status", None, str(record.upstream.status)))
    return found


def matches(record, terms):
    """Where `record` matches each of `terms`, or None when one of them is nowhere."""
    if not terms:
        return []
    where, seen = [], set()
    spots = places(record)
    for prefix, word in terms:
        for place, what, name, text in spots:
            if prefix is not None and place != prefix:
                continue
            if prefix in ("status", "method"):
                hit = 0 if text.lower() == word or (
                    prefix == "status" and re.fullmatch(r"[1-5]xx", word)
                    and text[:1] == word[0]) else -1
            else:
                hit = text.lower().find(word)
            if hit < 0:
                continue
            if (what, name) not in seen and len(where) < MAX_WHERE:
                seen.add((what, name))
                where.append({"in": what, "name": name,
                              "text": excerpt(text, hit, len(word))})
            break
        else:
            return None
    return where


def excerpt(text, at, length):
    """The match at `at` with a little of the text either side."""
    start, end = max(0, at - EXCERPT), min(len(text), at + length + EXCERPT)
    return (("\u2026" if start else "") + text[start:end]
            + ("\u2026" if end < len(text) else ""))


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
