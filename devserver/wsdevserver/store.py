"""The requests the service received, kept for the inspector, within bounds of memory and disk.

Memory: one record holds at most RECORD_MEMORY (each record and part costing a fixed amount
beside its bytes), all of them `keep_memory`, and the last `keep` requests at most are kept:
past a bound the oldest go. Disk: every byte written into the store's private folder is reserved
against `keep_bytes` first. Without room, or when a write fails (a full disk), a part's bytes
are not kept and its record says why; the request is still answered, its answer being held
apart (report.Report). A part's bytes are served only once kept whole.

The store is the event loop's alone: the worker thread writes files at the paths taken here, and
its results come back through body.Recording. Ids count on from the run's start time in
microseconds, so they never repeat across runs (a run would need more than a request per
microsecond to reach the next one's): a link to an earlier run's request (the page's #ID) never
opens another one. A search stops at a page of matches or after SEARCH_SECONDS, and says where
to go on from, so neither its answer nor its time grows with the records kept.
"""

import contextlib
import glob
import itertools
import os
import re
import shutil
import stat
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
        self._lock = os.open(os.path.join(self.folder, LOCK_NAME), os.O_RDWR | os.O_CREAT, 0o600)
        if not WINDOWS:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.write(self._lock, b"%d\n" % os.getpid())
        self._records = {}  # by id, oldest first
        self.first_id = time.time_ns() // 1000
        self._ids = itertools.count(self.first_id)
        self._kept_bytes = 0  # stored bytes of listed records
        self._pending_bytes = 0  # stored bytes of requests still being read
        self._memory = 0  # what the listed records cost
        self.listeners = []  # called with each record as it is listed

    def held(self):
        return len(self._records)

    def records(self):
        """The listed records, newest first."""
        return list(reversed(self._records.values()))

    def _older(self, before):
        return (record for record in reversed(self._records.values())
                if before is None or record.id < before)

    def page(self, before=None, limit=50):
        """At most `limit` records older than `before`, and whether older ones remain."""
        older = list(itertools.islice(self._older(before), limit + 1))
        return older[:limit], len(older) > limit

    def get(self, id):
        return self._records.get(id)

    def search(self, terms, before=None, limit=50):
        """Records older than `before` matching all `terms` (parse_query's), newest first, each
        with where it matched; and the id to go on before, or None when all were scanned."""
        deadline = time.monotonic() + SEARCH_SECONDS
        found = []
        for record in self._older(before):
            if len(found) == limit or time.monotonic() > deadline:
                return found, record.id + 1
            where = matches(record, terms)
            if where is not None:
                found.append((record, where))
        return found, None

    def begin(self, method, path, endpoint, head, version="HTTP/1.1"):
        """A record for a request being read; it is listed once finish() gives its answer."""
        return Record(next(self._ids), method, path, endpoint, head, version)

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
        """Room for `size` more bytes of a part being read, made by dropping the oldest files."""
        if part.path is None:
            return False
        if self._pending_bytes + size > self.keep_bytes:
            self.give_up(part, "the store keeps %d bytes at most" % self.keep_bytes)
            return False  # would not fit with every kept file gone: keep them
        oldest_first = iter(self._records.values())
        while self._kept_bytes + self._pending_bytes + size > self.keep_bytes:
            self.discard(next(oldest_first))
        self._pending_bytes += size
        part.stored += size
        return True

    def give_up(self, part, reason, listed=False):
        """Stop keeping a part's bytes (the writer of one being read removes its file)."""
        if listed:
            self._kept_bytes -= part.stored
        else:
            self._pending_bytes -= part.stored
        part.path, part.stored, part.kept = None, 0, False
        part.lost = part.lost or reason

    def finish(self, record, status, error=None):
        """List `record` with its answer; the bytes its parts stored are kept from now on."""
        record.status, record.error, record.listed = status, error, True
        for part in record.files():
            if part.path is not None and not part.kept:
                self.give_up(part, "the request ended before it did")
            self._pending_bytes -= part.stored
            self._kept_bytes += part.stored
        self._records[record.id] = record
        self._memory += record.cost
        while self._records and (len(self._records) > self.keep or self._memory > self.keep_memory):
            self.forget([next(iter(self._records))])
        for listener in self.listeners:
            listener(record)

    def forget(self, ids):
        """Forget the listed records `ids` (a page's clear, or the oldest), files and all."""
        for id in ids:
            record = self._records.pop(id, None)
            if record is not None:
                self._memory -= record.cost
                self.discard(record)

    def close(self):
        os.close(self._lock)
        shutil.rmtree(self.folder, ignore_errors=True)

    def discard(self, record):
        """Remove the files of a record, listed or never to be."""
        for part in record.files():
            if part.path is not None:
                with contextlib.suppress(OSError):  # never written, or open for a reader (Windows)
                    os.unlink(part.path)
                self.give_up(part, "dropped for newer requests", record.listed)


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
    found += [(None, what.replace("_", " "), None, getattr(record, what))
              for what in ("endpoint", "answered_by", "error") if getattr(record, what)]
    found += [("header", "header", name, "%s: %s" % (name, value) if name else value)
              for name, value in record.headers()]
    for part in record.parts:
        fields = part.fields()
        label = "part %d" % (part.index + 1)
        found += [("part", label + what, fields["name"], fields[key])
                  for key, what in (("name", " name"), ("filename", " file name")) if fields[key]]
        if part.kind == "text" and part.text:
            found.append((None, label + " text", fields["name"],
                          part.text.decode("utf-8", "replace")))
    if record.upstream is not None and record.upstream.status is not None:
        found.append(("status", "upstream status", None, str(record.upstream.status)))
    return found


def matches(record, terms):
    """Where `record` matches each of `terms`, or None when one of them is nowhere."""
    where, seen, spots = [], set(), places(record)
    for prefix, word in terms:
        for place, what, name, text in spots:
            if prefix is not None and place != prefix:
                continue
            if prefix == "status" and re.fullmatch(r"[1-5]xx", word):
                hit = 0 if text[:1] == word[0] else -1
            elif prefix in ("status", "method"):
                hit = 0 if text.lower() == word else -1
            else:
                hit = text.lower().find(word)
            if hit < 0:
                continue
            if (what, name) not in seen and len(where) < MAX_WHERE:
                seen.add((what, name))
                where.append({"in": what, "name": name, "text": excerpt(text, hit, len(word))})
            break
        else:
            return None
    return where


def excerpt(text, at, length):
    start, end = max(0, at - EXCERPT), min(len(text), at + length + EXCERPT)
    return ("\u2026" if start else "") + text[start:end] + ("\u2026" if end < len(text) else "")


# A store's folder outlives its service when the service is killed (SIGKILL, a crash): the next
# service removes the folders of this user whose lock nobody holds any more. The lock is, on
# POSIX, an advisory one, released by the kernel when its process ends however it ends; on
# Windows, a file open without sharing delete, which cannot be removed until then.
FOLDER_PREFIX = "wsdevserver-"
WINDOWS = sys.platform == "win32"
if not WINDOWS:
    import fcntl


def reclaim_folders():
    """Remove the store folders that services of this user left behind; returns how many."""
    removed = 0
    for path in glob.glob(os.path.join(glob.escape(tempfile.gettempdir()), FOLDER_PREFIX + "*")):
        lock = os.path.join(path, LOCK_NAME)
        try:
            # A link is no folder of ours; on Windows the temporary folder is the user's own.
            info = os.lstat(path)
            if not stat.S_ISDIR(info.st_mode) or not (WINDOWS or info.st_uid == os.getuid()):
                continue
            if WINDOWS:
                os.remove(lock)
            else:
                fd = os.open(lock, os.O_RDWR)
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                finally:
                    os.close(fd)
        except OSError:
            continue  # its lock is held, or it has none: not a folder of ours
        shutil.rmtree(path, ignore_errors=True)
        removed += 1
    return removed
