"""A request's recording: its body read as it arrives, in bounded memory, into its record.

Any Content-Type with a boundary parameter is read as multipart, whatever its media type (the
console sends its message as application/x-www-form-urlencoded with a boundary), its parts of
the "form-data" or "attachment" disposition (libcurl's when the media type is not
multipart/form-data), each head kept as sent so that a name in a Windows code page, or a
backslash, shows as it came. A url-encoded body without a boundary is split as it comes.
Names cost a bounded amount per request: all part heads (field names) together HEADS_TOTAL
bytes, each at least FIELD_COST, so that "=&=&..." is refused as soon as long names would be.

Threads: the event loop splits the body and owns every record, part and answer. The one worker
thread hashes, writes files and escapes long values, in order, a bounded amount behind the
reading, so that both cores work on a large upload; it touches only a value's Spool and hands
its results back through its futures. A small body is done on the loop: a hop costs more.
"""

import asyncio
import collections
import concurrent.futures
import contextlib
import hashlib
import os
import urllib.parse

from aiohttp.http import HttpProcessingError

from . import multipart, report
from .records import BODY, HEAD_KEPT, RAW_KEPT, TEXT_KEPT, Part, shown_head

MAX_BODY = 512 * 1024 * 1024
MAX_PART_HEAD = 1024 * 1024  # bytes of one part's head; of a field's name
MAX_HEAD_LINES = 100  # header lines in one part's head, as in the request's own head
HEADS_TOTAL = 1024 * 1024  # bytes of all the parts' heads (the fields' names) of one request
FIELD_COST = 8  # what any field costs against HEADS_TOTAL, its name empty or not
EVENTS_AT_ONCE = 2000  # a body's events handled before the loop serves others
# Body bytes gathered into one job for the worker. Each job costs two hand-offs between threads:
# at 256 KiB, a long answer through the proxy took a fifth longer.
BATCH = 1024 * 1024
INLINE = 256 * 1024  # a request's work up to this is done on the event loop, which costs less
WORKER_QUEUE = 8  # jobs all requests together may have queued for the worker before reading waits


class BadRequest(Exception):
    """Raised with the reason that ends up after "bad request: "."""


class BodyError(Exception):
    """The body could not be read whole: (status, reason)."""


class ClientGone(Exception):
    """The client went away before its body was read: nobody is left to answer."""


class Worker:
    """The worker thread. Its queue is bounded for all requests together, so that many uploads
    hold no more body bytes waiting than one does."""

    def __init__(self):  # within the running event loop
        self.executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="wsdevserver")
        self.slots = asyncio.Semaphore(WORKER_QUEUE)

    async def submit(self, fn, *args):
        await self.slots.acquire()
        future = asyncio.get_running_loop().run_in_executor(self.executor, fn, *args)
        future.add_done_callback(lambda _: self.slots.release())
        return future

    def submit_nowait(self, fn, *args):
        """For cleanups, which hold no body bytes: they run after every job queued before."""
        return asyncio.get_running_loop().run_in_executor(self.executor, fn, *args)

    def shutdown(self):
        self.executor.shutdown(wait=True)


class Jobs:
    """One recording's work for the worker, in order. A job may return a callable: settle()
    calls it on the event loop."""

    def __init__(self, worker):
        self.worker = worker
        self.ops, self.size = [], 0
        self.pending = collections.deque()
        self.failure = None  # the worker's own until every job is done

    def add(self, fn, *args, size=0):
        self.ops.append((fn, args))
        self.size += size

    async def drain(self):
        """Waits while the worker is behind."""
        if self.size >= BATCH:
            await self._send()

    async def _send(self):
        ops, self.ops, self.size = self.ops, [], 0
        if ops:
            self.pending.append(await self.worker.submit(self._run, ops))

    def _run(self, ops):
        results = []
        try:
            for fn, args in ops if self.failure is None else ():
                results.append(fn(*args))
        except Exception as e:  # the report outgrew its memory, say
            self.failure = e
        return [result for result in results if result is not None]

    async def settle(self):
        """Run the rest and apply every result, in order; raises what a job raised."""
        if not self.pending and self.size < INLINE:
            ops, self.ops, self.size = self.ops, [], 0
            batches = [self._run(ops)]
        else:
            await self._send()
            batches = []
        while self.pending:
            batches.append(await self.pending.popleft())
        for batch in batches:
            for apply in batch:
                apply()
        if self.failure is not None:
            raise self.failure


class Spool:
    """A value's hash, file and escaped report text. Only the worker touches it once its first
    job is queued."""

    def __init__(self, path, hashed, stream=None):
        self.path, self.stream = path, stream
        self.sha = hashlib.sha256() if hashed else None
        self.escaper = report.Escaper() if stream is not None else None
        self.file = self.error = None

    def write(self, data, storing):
        if self.sha is not None:
            self.sha.update(data)
        if self.stream is not None:
            self.stream.write(self.escaper.feed(data))
        if storing and self.error is None:
            try:
                if self.file is None:
                    self.file = open(self.path, "wb")
                self.file.write(data)
            except OSError as e:  # a full disk: the request is answered all the same
                self.error = e
                self.cleanup(False)

    def _close(self):
        file, self.file = self.file, None
        if file is not None:
            file.close()

    def end(self):
        """Returns (the hash's hex digits or None, the error that stopped the file or None)."""
        if self.stream is not None:
            self.stream.write(self.escaper.feed(b"", True) + b"\n")
        try:
            self._close()
        except OSError as e:
            self.error = e
        return self.sha.hexdigest() if self.sha is not None else None, self.error

    def cleanup(self, keep):
        with contextlib.suppress(OSError):
            self._close()
        if not keep and self.path is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.path)


class Value:
    """A field, the whole body or a proxied answer, as its bytes arrive. A text value is held
    in memory up to TEXT_KEPT bytes; a longer one goes escaped into the report as it comes."""

    def __init__(self, rec, kind, name, part=None, filename=None):
        self.rec, self.kind, self.name, self.part, self.filename = rec, kind, name, part, filename
        self.size = 0
        self.memory = bytearray() if kind in ("text", "url-encoded") else None
        self.spool = self.slot = None
        self.dropped = False  # the store gave its bytes up
        if kind == "file" and rec.report is not None:
            self.slot = rec.report.slot()  # its line, once the hash is known
        if self.memory is None:
            self._spool(hashed=kind != BODY)

    def _spool(self, hashed, stream=None):
        path = self.rec.store.file_for(self.rec.record, self.part) if self.part else None
        self.spool = Spool(path, hashed, stream)
        self.rec.spools.append((self.spool, self.part))

    def write(self, data):
        if not data:
            return
        part = self.part
        if part is not None and len(part.start) < HEAD_KEPT:
            part.start += bytes(data[:HEAD_KEPT - len(part.start)])
        self.size += len(data)
        if self.memory is not None:
            if len(self.memory) + len(data) <= TEXT_KEPT:
                self.memory += data
                return
            self._spill(data)
        self._queue(data)

    def _queue(self, data):
        part = self.part
        storing = part is not None and self.rec.store.reserve(part, len(data))
        if not storing and not self.dropped and self.spool.path is not None:
            self.dropped = True  # given up: what it wrote goes at once
            self.rec.jobs.add(self.spool.cleanup, False)
        if isinstance(data, memoryview) and not isinstance(data.obj, bytes):
            data = bytes(data)  # a view of a buffer that will change before the worker runs
        self.rec.jobs.add(self.spool.write, data, storing, size=len(data))

    def _spill(self, data):
        """A text value too long to hold goes to the report and the store as it comes. Its
        record keeps its start, `data` included."""
        held, self.memory = bytes(self.memory), None
        report_ = self.rec.report
        if report_ is not None:
            self.slot = report_.slot()
        if self.part is not None:
            start = held + bytes(data[:TEXT_KEPT - len(held)])
            self.rec.store.keep_text(self.rec.record, self.part, start, whole=False)
        self._spool(True, report_.stream() if report_ is not None else None)
        self._queue(held)

    def end(self):
        if self.kind not in (BODY, "answer"):
            self.rec.count += 1
        if self.memory is None:
            if self.slot is not None and self.kind != "file":
                self.slot.fill(report.text_start(self.kind, self.name, self.size))
            self.rec.jobs.add(self._end_spool)
            return
        value = bytes(self.memory)  # a text value held whole
        if self.part is not None:
            self.part.size = len(value)
            self.part.sha256 = hashlib.sha256(value).hexdigest()
            self.rec.store.keep_text(self.rec.record, self.part, value, whole=True)
            if not self.part.kept:
                self.part.lost = "its request keeps no more text"
        if self.rec.report is not None:
            self.rec.report.line(report.text_line(self.kind, self.name, value))

    def _end_spool(self):
        digest, error = self.spool.end()  # on the worker; the rest on the loop
        return lambda: self._ended(digest, error)

    def _ended(self, digest, error):
        if self.kind == "file" and self.slot is not None:
            self.slot.fill(report.file_line(self.name, self.filename, self.size, digest))
        part = self.part
        if part is None:
            return
        part.size, part.sha256 = self.size, digest
        if error is not None:
            reason = os.strerror(error.errno) if error.errno else type(error).__name__
            self.rec.store.give_up(part, "cannot write it: %s" % reason)
        elif part.path is not None:
            part.kept = True


class Reader:
    """A body's fields, from the splitter's events. A fault is kept, not raised, so that the rest
    of the body is still read: a failing transport answers first, then a body that is not whole,
    then a part that breaks a rule."""

    def __init__(self, rec, splitter):
        self.rec, self.splitter = rec, splitter
        self.value = self.fault = self.refusal = None
        self.parts = self.names = 0

    def feed(self, data):
        if self.fault is None:
            self.splitter.receive_data(data)

    def events(self, limit=None):
        """Handles up to `limit` events (all with None); returns whether more may be waiting."""
        handled = 0
        while self.fault is None:
            if handled == limit:
                return True
            event = self.splitter.next_event()
            if event is multipart.NEED_DATA or isinstance(event, multipart.End):
                return False
            handled += 1
            if isinstance(event, multipart.Fault):
                self.fault = event.reason
            elif isinstance(event, multipart.Data):
                if self.value is not None:
                    self.value.write(event.data)
            elif isinstance(event, multipart.PartEnd):
                if self.value is not None:
                    self.value.end()
                self.value = None
            else:
                self._begin(event)
        return False

    def _begin(self, event):
        """A part's head or a field's name."""
        multipart_ = isinstance(event, multipart.PartHead)
        self.names += max(len(event.raw), FIELD_COST)
        if self.names > HEADS_TOTAL:
            self.fault = "%s of more than %d bytes in all" % (
                "part heads" if multipart_ else "field names", HEADS_TOTAL)
        elif multipart_:
            self._part(event.raw)
        else:
            name = urllib.parse.unquote_to_bytes(bytes(event.raw).replace(b"+", b" "))
            self.value = self.rec.new_value("url-encoded", name.decode("utf-8", "replace"))

    def _part(self, head):
        self.parts += 1
        if head.count(b"\n") >= MAX_HEAD_LINES:
            self.fault = "part %d has more than %d head lines" % (self.parts, MAX_HEAD_LINES)
        if self.fault or self.refusal:
            return
        shown = shown_head(head)
        if any(name is None for name, _ in shown["headers"]):
            self.refusal = "part %d has a head line that is not a header" % self.parts
        elif shown["disposition"] not in ("form-data", "attachment"):
            self.refusal = "part %d has no form-data or attachment disposition" % self.parts
        elif shown["name"] is None:
            self.refusal = "part %d has no name" % self.parts
        elif report.parse_header_value(shown["content_type"] or "")[0].startswith("multipart/"):
            self.refusal = "part %d is itself multipart" % self.parts
        else:
            kind = "file" if shown["filename"] is not None else "text"
            self.value = self.rec.new_value(kind, shown["name"], head=head,
                                            filename=shown["filename"])

    def finish(self):
        if self.fault is None:
            self.splitter.receive_data(None)
            self.events()
        if self.fault or self.refusal:
            raise BadRequest(self.fault or self.refusal)


def body_reader(content_type, rec):
    """What reads a body of this Content-Type; raises BadRequest for one that is not understood."""
    if not content_type:
        raise BadRequest("no Content-Type")
    media, params = report.parse_header_value(content_type)
    if "boundary" in params:
        try:
            return Reader(rec, multipart.MultipartSplitter(params["boundary"], MAX_PART_HEAD))
        except ValueError as e:
            raise BadRequest(str(e))
    if media == "application/x-www-form-urlencoded":
        return Reader(rec, multipart.UrlencodedSplitter(MAX_PART_HEAD))
    if media.startswith("multipart/"):
        raise BadRequest("multipart Content-Type has no boundary")
    raise BadRequest('unsupported Content-Type "%s"' % report.printable(media))


class Recording:
    """One request's recording, from its first body byte to its listing. The owner feeds it each
    block, calls end() once the body came whole, then finish() with the answer's status; left
    without finish(), it lists the record (cut if its body did not end), or discards it when
    nobody is left to answer. parts: read the body's parts; report_: write its report."""

    def __init__(self, store, worker, record, content_type, parts=True, report_=True, limit=None):
        self.store, self.record, self.limit = store, record, limit
        self.jobs = Jobs(worker)
        self.report = report.Report() if report_ else None
        self.count = 0  # fields in the report
        self.names = []  # of the recorded fields, for the answer rules
        self.spools = []  # (Spool, Part) of every value that has a file or a stream
        self.raw = self.reader = self.refusal = self.failure = None
        self.ended = False
        if parts:
            try:
                self.reader = body_reader(content_type, self)
            except BadRequest as e:
                self.refusal = str(e)

    async def __aenter__(self):
        return self

    def new_value(self, kind, name, head=None, filename=None):
        part = Part(self.record.part_count, "file" if kind == "file" else "text", head=head,
                    name=None if head is not None else name)
        if self.store.add_part(self.record, part):
            self.names.append(name)
        else:
            part = None  # at most a record's parts: never one per field of a huge body
        return Value(self, kind, name, part, filename)

    async def feed(self, block):
        record = self.record
        record.size += len(block)
        if self.limit is not None and record.size > self.limit:
            raise BodyError(413, "body too large: limit is %d bytes" % self.limit)
        if self.reader is not None:
            self.reader.feed(block)
            while self.reader.events(EVENTS_AT_ONCE):
                await asyncio.sleep(0)  # a block of tiny fields lets the other clients in between
        # The body as received, after the parts, which take the store's room first.
        room = RAW_KEPT - len(record.raw)
        if self.raw is None and len(block) <= room:
            record.raw += block
        else:
            if self.raw is None:
                record.body = Part(role=BODY)
                self.raw = Value(self, BODY, None, record.body)
                self.raw.write(bytes(record.raw))
                record.raw += block[:room]
            self.raw.write(block)
        await self.jobs.drain()

    async def read(self, request):
        async for block in blocks(request):
            await self.feed(block)
        await self.end()

    async def end(self):
        """The body came whole. Raises BadRequest, or what the worker raised (ReportTooLarge)."""
        self.ended = True
        try:
            if self.raw is not None:
                self.raw.end()
            if self.refusal is not None:
                raise BadRequest(self.refusal)
            if self.reader is not None:
                self.reader.finish()
        finally:
            await self.settle()
        if self.failure is not None:
            raise self.failure
        if self.report is not None:
            self.report.finish()

    async def settle(self):
        """Apply the worker's results once it has done this request's work."""
        try:
            await self.jobs.settle()
        except Exception as e:
            self.failure = self.failure or e

    async def finish(self, status, error=None):
        """List the record with its answer: a body that did not come whole is listed as cut."""
        await self.settle()
        self.record.cut = not self.ended
        self.store.finish(self.record, status, error)

    async def __aexit__(self, kind, exc, tb):
        try:
            if not self.record.listed:
                await self.settle()
                if kind is not None:  # nobody to answer, or the service stops
                    self.store.discard(self.record)
                else:
                    await self.finish(500, "the service answered nothing")
        finally:
            spools = [(spool, part is not None and part.kept and part.path == spool.path)
                      for spool, part in self.spools]
            answer = self.report

            def cleanup():
                for spool, keep in spools:
                    spool.cleanup(keep)
                if answer is not None:
                    answer.release()
            # After every job of this request; a small call has nothing to clean on the worker.
            if spools:
                self.jobs.worker.submit_nowait(cleanup)
            else:
                cleanup()


async def blocks(request):
    """A request's body, block by block as received (the reader copies what it keeps). Raises
    BodyError for a framing the parser refused, ClientGone when the client went away."""
    while True:
        try:
            block, chunk_end = await request.content.readchunk()
        except Exception as e:
            while e is not None:
                if isinstance(e, HttpProcessingError) and e.code == 400:
                    raise BodyError(400, "malformed chunked body")
                e = e.__cause__ or e.__context__
            raise ClientGone()
        if not block:
            # The end of one HTTP chunk; an empty body's reader says so for ever (aiohttp 3.8),
            # so iter_chunks() would not end.
            if chunk_end and not request.content.at_eof():
                continue
            return
        yield block
