"""A request's recording: its body read as it arrives, in bounded memory, into its record.

Bodies understood:
  * any Content-Type carrying a boundary parameter is read as multipart, whatever its media type
    (the console sends its message under application/x-www-form-urlencoded with a boundary);
    parts may use the "form-data" or "attachment" disposition (libcurl uses "attachment" when
    the request's media type is not multipart/form-data). Each part's head is kept as it was
    sent, so that a name in a Windows client's code page, or a backslash, is shown as it came;
  * application/x-www-form-urlencoded without a boundary, split and percent-decoded as it comes.
Everything else is refused with the reason that the answer's "bad request: ..." line gives.
Names cost a bounded amount per request: the parts' heads (or the fields' names) together may
not pass HEADS_TOTAL bytes, each at least FIELD_COST, whatever their number: a body of empty
fields ("=&=&...") is refused as soon as one of long names would be.

The thread rule. The event loop splits the body (multipart.py) and owns every record, part and
answer. The service's one worker thread hashes, writes files and escapes long values, in order,
a bounded amount behind the reading, so that both cores work on a large upload; it touches only
its own state (a value's Spool: hasher, file, escaper, compressed stream) and hands its results
back through its futures, which the loop applies. One task owns a Recording. A small body is
done on the loop: a hop to the thread would cost more than its work.
"""

import asyncio
import collections
import concurrent.futures
import hashlib
import os
import urllib.parse

from aiohttp.http import HttpProcessingError

from . import multipart, report
from .records import BODY, HEAD_KEPT, RAW_KEPT, TEXT_KEPT, Part

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
    """The service's one worker thread, and its queue, bounded for all requests together so that
    many concurrent uploads hold no more body bytes waiting than one does."""

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
    """One recording's work for the worker, in order. A job may return a callable, which is the
    result it hands back: settle() calls it on the event loop."""

    def __init__(self, worker):
        self.worker = worker
        self.ops, self.size = [], 0
        self.pending = collections.deque()
        self.failure = None  # the worker's own until every job is done

    def add(self, fn, *args, size=0):
        self.ops.append((fn, args))
        self.size += size

    async def drain(self):
        """Hand the queued work on once there is enough of it; waits while the worker is behind."""
        if self.size >= BATCH:
            await self._send()

    async def _send(self):
        ops, self.ops, self.size = self.ops, [], 0
        if ops:
            self.pending.append(await self.worker.submit(self._run, ops))

    def _run(self, ops):
        results = []
        for fn, args in ops:
            if self.failure is not None:
                break
            try:
                result = fn(*args)
            except Exception as e:  # the report outgrew its memory, say
                self.failure = e
                break
            if result is not None:
                results.append(result)
        return results

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
    """A value's worker-side state: its hash, its file in the store, and for a long text value
    its escaped form in the report. Only the worker touches it once its first job is queued."""

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

    def end(self):
        """Returns (the hash's hex digits or None, the error that stopped the file or None)."""
        if self.stream is not None:
            self.stream.write(self.escaper.feed(b"", True) + b"\n")
        if self.file is not None:
            try:
                self.file.close()
            except OSError as e:
                self.error = e
            self.file = None
        return self.sha.hexdigest() if self.sha is not None else None, self.error

    def cleanup(self, keep):
        """Close what is left open; remove the file unless the store keeps it."""
        if self.file is not None:
            try:
                self.file.close()
            except OSError:
                pass
            self.file = None
        if not keep and self.path is not None:
            try:
                os.unlink(self.path)
            except OSError:
                pass


class Value:
    """One value as its bytes arrive (a field, the whole body or a proxied answer): its part kept
    up to date here, on the loop, and its worker work queued in order. A text value is held in
    memory up to TEXT_KEPT bytes; a longer one goes escaped into the report as it comes."""

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
        """A text value too long to hold: from now on it goes to the report as it comes, and to
        a file when the store keeps it. Its record keeps its start, `data` included."""
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
        """The value ended: the rest of its work goes to the worker."""
        if self.kind not in ("file", BODY, "answer"):
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
        if self.kind == "file":
            self.rec.count += 1
            if self.slot is not None:
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
    of the body is still read (the transport may yet fail, which answers first), and finish()
    raises the fault that the answer reports: a body that is not whole comes before a part that
    breaks a rule."""

    def __init__(self, rec, splitter):
        self.rec, self.splitter = rec, splitter
        self.value = self.fault = self.refusal = None
        self.parts = self.names = 0

    def feed(self, data):
        if self.fault is None:
            self.splitter.receive_data(data)

    def events(self, limit=None):
        """Handles the events found, up to `limit` of them (all with None); returns whether
        more may be waiting."""
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
            else:
                self._event(event)
        return False

    def finish(self):
        if self.fault is None:
            self.splitter.receive_data(None)
            self.events()
        if self.fault or self.refusal:
            raise BadRequest(self.fault or self.refusal)


class MultipartReader(Reader):
    def __init__(self, rec, boundary):
        try:
            super().__init__(rec, multipart.MultipartSplitter(boundary, MAX_PART_HEAD))
        except ValueError as e:
            raise BadRequest(str(e))

    def _event(self, event):
        if isinstance(event, multipart.Data):
            if self.value is not None:
                self.value.write(event.data)
        elif isinstance(event, multipart.PartHead):
            self.parts += 1
            self._begin(event.raw)
        elif self.value is not None:  # the part's end
            self.value.end()
            self.value = None

    def _begin(self, head):
        self.names += max(len(head), FIELD_COST)
        if self.names > HEADS_TOTAL:
            self.fault = "part heads of more than %d bytes in all" % HEADS_TOTAL
        elif head.count(b"\n") >= MAX_HEAD_LINES:
            self.fault = "part %d has more than %d head lines" % (self.parts, MAX_HEAD_LINES)
        if self.fault or self.refusal:
            return
        fields = {}
        for name, value in report.part_head_fields(head):
            if name is None:
                self.refusal = "part %d has a head line that is not a header" % self.parts
                return
            fields.setdefault(name.lower(), value)
        disposition, params = report.parse_header_value(fields.get("content-disposition", ""))
        if disposition not in ("form-data", "attachment"):
            self.refusal = "part %d has no form-data or attachment disposition" % self.parts
        elif "name" not in params:
            self.refusal = "part %d has no name" % self.parts
        elif report.parse_header_value(fields.get("content-type", ""))[0].startswith("multipart/"):
            self.refusal = "part %d is itself multipart" % self.parts
        else:
            filename = report.file_name(params)
            kind = "file" if filename is not None else "text"
            self.value = self.rec.new_value(kind, params["name"], head=head, filename=filename)


class UrlencodedReader(Reader):
    """The fields that urllib.parse.parse_qsl(keep_blank_values=True) reads whole."""

    def __init__(self, rec):
        super().__init__(rec, multipart.UrlencodedSplitter(MAX_PART_HEAD))

    def _event(self, event):
        if isinstance(event, multipart.Data):
            self.value.write(event.data)
        elif isinstance(event, multipart.FieldName):
            self.names += max(len(event.raw), FIELD_COST)
            if self.names > HEADS_TOTAL:
                self.fault = "field names of more than %d bytes in all" % HEADS_TOTAL
                return
            name = urllib.parse.unquote_to_bytes(bytes(event.raw).replace(b"+", b" "))
            self.value = self.rec.new_value("url-encoded", name.decode("utf-8", "replace"))
        else:  # the field's end
            self.value.end()


def body_reader(content_type, rec):
    """What reads a body of this Content-Type; raises BadRequest for one that is not understood."""
    if not content_type:
        raise BadRequest("no Content-Type")
    media, params = report.parse_header_value(content_type)
    if "boundary" in params:
        return MultipartReader(rec, params["boundary"])
    if media == "application/x-www-form-urlencoded":
        return UrlencodedReader(rec)
    if media.startswith("multipart/"):
        raise BadRequest("multipart Content-Type has no boundary")
    raise BadRequest('unsupported Content-Type "%s"' % report.printable(media))


class Recording:
    """One request's recording, from its first body byte to its listing: it owns the record, the
    body's keeper, its reader, its report and the worker's jobs. The owner feeds it each block
    and calls end() once the body came whole, then finish() with the answer's status. Leaving it
    without finish() lists the record as cut when the body did not end (with the bytes that
    came), or discards it when nobody is left to answer.

    parts: read the body's parts (else only keep it); report: write the answer's report."""

    def __init__(self, store, worker, record, content_type, parts=True, report_=True, limit=None):
        self.store, self.record, self.limit = store, record, limit
        self.jobs = Jobs(worker)
        self.report = report.Report() if report_ else None
        self.count = 0  # fields in the report
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
        if not self.store.add_part(self.record, part):
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
        """Feed it the whole body of `request`, then end()."""
        async for block in blocks(request):
            await self.feed(block)
        await self.end()

    async def end(self):
        """The body came whole. Raises BadRequest for a body refused, or what the worker raised
        (report.ReportTooLarge)."""
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
        """Let the worker finish what it has, and apply its results."""
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
            elif answer is not None:
                answer.release()


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
            if chunk_end and not request.content.at_eof():
                continue  # the end of one HTTP chunk, or an empty body
            return
        yield block
