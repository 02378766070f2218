"""Request bodies read as they arrive, in bounded memory.

Bodies understood:
  * any Content-Type carrying a boundary parameter is read as multipart, whatever its media type
    (the console sends its message under application/x-www-form-urlencoded with a boundary);
    parts may use the "form-data" or "attachment" disposition (libcurl uses "attachment" when
    the request's media type is not multipart/form-data). Each part's head is kept as it was
    sent, so that a name in a Windows client's code page, or a backslash, is shown as it came;
  * application/x-www-form-urlencoded without a boundary, split and percent-decoded as it comes.
Everything else is refused with the reason that the answer's "bad request: ..." line gives.

Names cost a bounded amount per request: the parts' heads (or the fields' names) together may
not pass HEADS_TOTAL bytes, whatever their number.

The event loop only splits the body. Hashing, file writes and the escaping of long values run in
order on the service's one worker thread (hashlib, zlib and file writes let go of the GIL), a
bounded amount behind the reading, so that both cores work on a large upload. A small body is
done on the event loop: a hop to the thread would cost more than its work.
"""

import asyncio
import collections
import concurrent.futures
import hashlib
import os
import re
import urllib.parse

from . import report
from .store import HEAD_KEPT, RAW_KEPT, TEXT_KEPT, Part

MAX_PART_HEAD = 1024 * 1024  # bytes of one part's head; of a field's name
MAX_HEAD_LINES = 100  # header lines in one part's head, as in the request's own head
HEADS_TOTAL = 1024 * 1024  # bytes of all the parts' heads (the fields' names) of one request
# Body bytes gathered into one job for the worker. Each job costs two hand-offs between threads:
# at 256 KiB, a long answer through the proxy took a fifth longer.
BATCH = 1024 * 1024
INLINE = 256 * 1024  # a request's work up to this is done on the event loop, which costs less
WORKER_QUEUE = 8  # jobs all requests together may have queued for the worker before reading waits
UNQUOTE = 32 * 1024  # bytes of a url-encoded value decoded at once
MAX_PADDING = 1024  # spaces and tabs allowed after a boundary
# Boundary characters allowed by RFC 2046, which also keeps quotes and line breaks out of it.
BOUNDARY_RE = re.compile(r"[0-9A-Za-z'()+_,\-./:=? ]{0,69}[0-9A-Za-z'()+_,\-./:=?]")


class BadRequest(Exception):
    """Raised with the reason that ends up after "bad request: "."""


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
        """For cleanups, which hold no body bytes, and jobs that can no longer wait."""
        return asyncio.get_running_loop().run_in_executor(self.executor, fn, *args)

    def shutdown(self):
        self.executor.shutdown(wait=True)


class Pipeline:
    """The worker's share of one request: jobs of file, hash and report work, run in order, and
    the report they write."""

    def __init__(self, worker, store, record):
        self.worker, self.store, self.record = worker, store, record
        self.ops, self.batch_bytes = [], 0
        self.in_flight = collections.deque()
        self.error = None
        self.count = 0  # fields in the report
        self.report = report.Report()
        self.sinks = []  # the parts whose bytes are written to a file

    def op(self, fn, *args, size=0):
        self.ops.append((fn, args))
        self.batch_bytes += size

    async def _dispatch(self):
        while self.in_flight and self.in_flight[0].done():
            self.in_flight.popleft()
        if self.ops:
            ops, self.ops, self.batch_bytes = self.ops, [], 0
            # Queued before the wait for a place at the worker: a finish() called meanwhile
            # (the proxy's, while its body's generator waits here) waits for this job, in order.
            done = asyncio.get_running_loop().create_future()
            self.in_flight.append(done)
            try:
                job = await self.worker.submit(self._run, ops)
            except asyncio.CancelledError:
                # aiohttp's client cancels the proxy's body writer once the upstream's answer
                # ended: the jobs taken still run, in order, or the finish() waiting on them
                # would wait for ever.
                self.worker.submit_nowait(self._run, ops).add_done_callback(
                    lambda _: done.done() or done.set_result(None))
                raise
            job.add_done_callback(lambda _: done.done() or done.set_result(None))

    def _run(self, ops):
        if self.error is not None:
            return
        try:
            for fn, args in ops:
                fn(*args)
        except Exception as e:  # the report outgrew its memory, say
            self.error = e

    async def drain(self):
        """Wait while the worker is too far behind the reading."""
        if self.batch_bytes >= BATCH:
            await self._dispatch()

    async def finish(self):
        """Wait for the worker's jobs; raises what one of them raised."""
        if not self.in_flight and self.batch_bytes < INLINE:
            ops, self.ops, self.batch_bytes = self.ops, [], 0
            self._run(ops)
        else:
            await self._dispatch()
        while self.in_flight:
            await self.in_flight.popleft()
        if self.error is not None:
            raise self.error
        self.report.finish()

    async def settle(self):
        """Let the worker finish what it has of a request refused midway, then tell the store
        which files were written whole."""
        try:
            await self.finish()
        except Exception:
            pass
        for sink in self.sinks:
            if sink.part.path is not None:
                self.store.written(sink.part, sink.failed)

    def close(self):
        """Queue the cleanups after every job of this request, without waiting for them; jobs
        not yet run are skipped unless finish() returned."""
        self.error = self.error or ConnectionAbortedError()
        self.ops.clear()
        sinks, answer = self.sinks, self.report

        def run():
            for sink in sinks:
                sink.cleanup()
        if sinks:  # a small call has no file: no hop to the thread, which would cost more
            self.worker.submit_nowait(run)
        answer.release()


class PartSink:
    """One part's value as its bytes arrive: its size and SHA-256 counted, its bytes written to
    the store when it keeps them, and its report line made once it ends. A text value is held in
    memory up to TEXT_KEPT bytes; a longer one goes escaped into the report as it comes."""

    def __init__(self, pipe, kind, name, part=None, filename=None):
        self.pipe, self.kind, self.name, self.part, self.filename = pipe, kind, name, part, filename
        self.size = 0
        self.memory = bytearray() if kind in ("text", "url-encoded") else None
        self.sha = hashlib.sha256() if kind == "file" else None  # not of a whole body: no use
        self.slot = self.stream = self.escaper = None
        self.file = None
        self.path = None  # where the store keeps its bytes, if it does
        self.failed = None  # the error that stopped the file's writing (set by the worker)
        if kind == "file":
            self.slot = pipe.report.slot()  # its line, once the hash is known
        if kind in ("file", "body"):
            self._store_file()

    def _store_file(self):
        if self.part is not None:
            self.path = self.pipe.store.file_for(self.pipe.record, self.part)
            self.pipe.sinks.append(self)

    # On the event loop.

    def write(self, data):
        if not data:
            return
        if self.part is not None and len(self.part.start) < HEAD_KEPT:
            self.part.start += bytes(data[:HEAD_KEPT - len(self.part.start)])
        self.size += len(data)
        if self.memory is not None:
            if len(self.memory) + len(data) <= TEXT_KEPT:
                self.memory += data
                return
            self._spill(data)
        self._feed_later(data)

    def _feed_later(self, data):
        storing = self.part is not None and self.pipe.store.reserve(self.part, len(data))
        self.pipe.op(self._feed, data, storing, size=len(data))

    def _spill(self, data):
        """A text value too long to hold: from now on it goes to the report as it comes, and to
        a file when the store keeps it. Its record keeps its start, `data` included."""
        held, self.memory = bytes(self.memory), None
        self.sha = hashlib.sha256()
        self.slot, self.stream = self.pipe.report.slot(), self.pipe.report.stream()
        self.escaper = report.Escaper()
        if self.part is not None:
            start = held + bytes(data[:TEXT_KEPT - len(held)])
            self.pipe.store.keep_text(self.pipe.record, self.part, start, whole=False)
            self._store_file()
        self._feed_later(held)

    def close(self):
        """The part ended: the rest of its work goes to the worker."""
        if self.kind == "body":
            self.pipe.op(self._end)
            return
        self.pipe.count += 1
        if self.memory is None:
            self.pipe.op(self._end)
            return
        value = bytes(self.memory)  # a text value held whole
        if self.part is not None:
            self.part.size = len(value)
            self.part.sha256 = hashlib.sha256(value).hexdigest()
            self.pipe.store.keep_text(self.pipe.record, self.part, value, whole=True)
            if not self.part.kept:
                self.part.lost = "its request keeps no more text"
        self.pipe.report.line(report.text_line(self.kind, self.name, value))

    # On the worker thread, in order.

    def _feed(self, data, storing):
        if self.sha is not None:
            self.sha.update(data)
        if self.stream is not None:
            self.stream.write(self.escaper.feed(data))
        if not storing:
            if self.file is not None:  # the store gave it up: its bytes go at once
                self.cleanup()
            return
        if self.failed is None:
            try:
                if self.file is None:
                    self.file = open(self.path, "wb")
                self.file.write(data)
            except OSError as e:  # a full disk: the request is answered all the same
                self.failed = e
                self.cleanup()

    def _end(self):
        hexdigest = self.sha.hexdigest() if self.sha is not None else None
        if self.part is not None:
            self.part.size, self.part.sha256 = self.size, hexdigest
        if self.file is not None:
            try:
                self.file.close()
            except OSError as e:
                self.failed = e
            self.file = None
        if self.kind == "file":
            self.slot.fill(report.file_line(self.name, self.filename, self.size, hexdigest))
        elif self.kind != "body":
            self.stream.write(self.escaper.feed(b"", True) + b"\n")
            self.slot.fill(report.text_start(self.kind, self.name, self.size))

    def cleanup(self):
        """Close what the part left open; remove a file that the store does not keep."""
        if self.file is not None:
            try:
                self.file.close()
            except OSError:
                pass
            self.file = None
        if not (self.part.kept and self.part.path == self.path):
            remove(self.path)


def remove(path):
    if path is not None:
        try:
            os.unlink(path)
        except OSError:
            pass


class RawBody:
    """The body as it was received: its first RAW_KEPT bytes in its record, and all of it in a
    file of the store once it is longer (and the store has room)."""

    def __init__(self, pipe):
        self.pipe, self.sink, self.closed = pipe, None, False

    def write(self, block):
        record = self.pipe.record
        room = RAW_KEPT - len(record.raw)
        if self.sink is None and len(block) <= room:
            record.raw += block
            return
        if self.sink is None:
            record.body = Part(-1, "file")
            self.sink = PartSink(self.pipe, "body", None, record.body)
            self.sink.write(bytes(record.raw))
            record.raw += block[:room]
        self.sink.write(block)

    def close(self):
        if self.sink is not None and not self.closed:
            self.sink.close()
        self.closed = True


class Reader:
    """What both body kinds share: the parts found, and their recording."""

    def __init__(self, pipe):
        self.pipe = pipe
        self.size = 0
        self.index = 0
        self.names = 0  # bytes of heads or names, against HEADS_TOTAL
        self.sink = None  # the part being read

    def new_part(self, kind, name, head=None, filename=None):
        part = Part(self.index, "file" if kind == "file" else "text", head=head,
                    name=None if head is not None else name)
        self.index += 1
        if not self.pipe.store.add_part(self.pipe.record, part):
            part = None  # at most a record's parts: never one per field of a huge body
        return PartSink(self.pipe, kind, name, part, filename)

    def count_name(self, size, what):
        """Count `size` bytes of names; returns the fault past the request's bound."""
        self.names += size
        if self.names > HEADS_TOTAL:
            return "%s of more than %d bytes in all" % (what, HEADS_TOTAL)
        return None


class MultipartReader(Reader):
    """Splits a multipart body into parts as it is fed. A fault is kept, not raised, so that the
    rest of the body is still read (the transport may yet fail, which answers first), and
    finish() raises the fault that the answer reports: a body that is not whole comes before a
    part that breaks a rule."""

    def __init__(self, boundary, pipe):
        super().__init__(pipe)
        if not BOUNDARY_RE.fullmatch(boundary):
            raise BadRequest("invalid multipart boundary")
        self.delimiter = b"\r\n--" + boundary.encode("ascii")
        # What is not split yet: a part's head, or a delimiter's start. The line break before
        # the first delimiter may be left out: the body is read as if it began with one.
        self.buffer = bytearray(b"\r\n")
        self.state = "preamble"  # then "after" a delimiter, "head", "data", and "epilogue"
        self.parts = 0
        self.fault = None  # the body cannot be split any further
        self.refusal = None  # the first part that breaks a rule

    def feed(self, data):
        self.size += len(data)
        if self.state == "epilogue" or self.fault:
            return  # an epilogue, or what follows a fault, is only read
        if self.state == "data" and self._data_in_place(data):
            return
        self.buffer += data
        used = self._split(self.buffer)
        del self.buffer[:used]

    def _data_in_place(self, data):
        """Hands the sink the data of a long part as views of the block received, so that an
        upload is not copied on its way; returns whether it took the block (not when a delimiter
        begins in what was held back)."""
        if len(data) < len(self.delimiter):
            return False  # too short to tell whether what was held back begins a delimiter
        held = bytes(self.buffer)  # shorter than a delimiter: its start, perhaps
        edge = held + bytes(data[:len(self.delimiter) - 1])
        if 0 <= edge.find(self.delimiter) < len(held):
            return False
        found = data.find(self.delimiter)
        stop = found if found >= 0 else max(0, len(data) - len(self.delimiter) + 1)
        if self.sink is not None:
            self.sink.write(held)
            self.sink.write(memoryview(data)[:stop])
        self.buffer = bytearray(data[stop:])
        if found >= 0:
            del self.buffer[:self._split(self.buffer)]
        return True

    def _split(self, buf):
        """Splits what it can of `buf`; returns how many bytes it used."""
        pos = 0
        while not self.fault:
            if self.state == "preamble":
                found = buf.find(self.delimiter, pos)
                if found < 0:
                    return max(pos, len(buf) - len(self.delimiter) + 1)  # a preamble is ignored
                pos, self.state = found + len(self.delimiter), "after"
            elif self.state == "after":
                if len(buf) - pos < 2:
                    return pos
                if buf[pos:pos + 2] == b"--":
                    self.state = "epilogue"
                    return len(buf)
                end = pos
                while end < len(buf) and buf[end] in b" \t":
                    end += 1
                if end - pos > MAX_PADDING or (end + 1 < len(buf) and buf[end:end + 2] != b"\r\n"):
                    self.fault = "malformed multipart body (after part %d)" % self.parts
                    return len(buf)
                if end + 2 > len(buf):
                    return pos
                pos, self.state = end + 2, "head"
            elif self.state == "head":
                end = pos if buf[pos:pos + 2] == b"\r\n" else buf.find(b"\r\n\r\n", pos)
                if end < 0 or (end == pos and len(buf) - pos < 2):
                    if len(buf) - pos > MAX_PART_HEAD:
                        self.fault = "part %d has a head of more than %d bytes" % (
                            self.parts + 1, MAX_PART_HEAD)
                    return pos
                head = bytes(buf[pos:end])
                pos = end + (2 if end == pos else 4)
                self.parts += 1
                self._begin(head)
                self.state = "data"
            else:  # data
                found = buf.find(self.delimiter, pos)
                stop = found if found >= 0 else max(pos, len(buf) - len(self.delimiter) + 1)
                if self.sink is not None and stop > pos:
                    self.sink.write(bytes(buf[pos:stop]))
                if found < 0:
                    return stop
                if self.sink is not None:
                    self.sink.close()
                    self.sink = None
                pos, self.state = found + len(self.delimiter), "after"
        return len(buf)

    def _begin(self, head):
        if len(head) > MAX_PART_HEAD:
            self.fault = "part %d has a head of more than %d bytes" % (self.parts, MAX_PART_HEAD)
            return
        self.fault = self.count_name(len(head), "part heads")
        if not self.fault and head.count(b"\n") >= MAX_HEAD_LINES:
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
            self.sink = self.new_part("file" if filename is not None else "text", params["name"],
                                      head=head, filename=filename)

    def finish(self):
        """Once the whole body was fed; raises BadRequest for a body refused."""
        if self.fault:
            raise BadRequest(self.fault)
        if not self.size:
            raise BadRequest("empty multipart body")
        if self.state == "preamble" or (self.state == "epilogue" and not self.parts):
            raise BadRequest("multipart body has no opening boundary")
        if self.state != "epilogue":
            raise BadRequest("multipart body has no closing boundary")
        if self.refusal:
            raise BadRequest(self.refusal)


class UrlencodedReader(Reader):
    """A url-encoded body, split at '&' and '=' and percent-decoded as it arrives, the way
    urllib.parse.parse_qsl(keep_blank_values=True) reads it whole."""

    def __init__(self, pipe):
        super().__init__(pipe)
        self.name = bytearray()
        self.held = b""  # an escape cut by the end of a block
        self.fault = None

    def feed(self, data):
        self.size += len(data)
        if self.fault:
            return
        pos, end = 0, len(data)
        while pos < end:
            amp = data.find(b"&", pos)
            stop = end if amp < 0 else amp
            if self.sink is None:
                eq = data.find(b"=", pos, stop)
                if eq < 0:
                    self.name += data[pos:stop]
                    if len(self.name) > MAX_PART_HEAD:
                        self.fault = "field %d has a name of more than %d bytes" % (
                            self.index + 1, MAX_PART_HEAD)
                        return
                    if amp >= 0:
                        self._pair_without_value()
                    pos = stop + 1
                    continue
                self.name += data[pos:eq]
                self.sink = self._new_field()
                pos = eq + 1
                if self.fault:
                    return
            self._value(data[pos:stop])
            if amp >= 0:
                self._end_value()
            pos = stop + 1

    def _new_field(self):
        self.fault = self.count_name(len(self.name), "field names")
        name = urllib.parse.unquote_to_bytes(bytes(self.name).replace(b"+", b" "))
        self.name.clear()
        return self.new_part("url-encoded", name.decode("utf-8", "replace"))

    def _pair_without_value(self):
        if self.name:
            self._new_field().close()

    def _value(self, raw):
        for start in range(0, len(raw), UNQUOTE):  # unquoting makes an object per escape
            piece = self.held + raw[start:start + UNQUOTE].replace(b"+", b" ")
            cut = len(piece)
            if piece[-1:] == b"%":
                cut -= 1
            elif piece[-2:-1] == b"%":
                cut -= 2
            self.held = piece[cut:]
            self.sink.write(urllib.parse.unquote_to_bytes(piece[:cut]))

    def _end_value(self):
        self.sink.write(urllib.parse.unquote_to_bytes(self.held))
        self.held = b""
        self.sink.close()
        self.sink = None

    def finish(self):
        if self.fault:
            raise BadRequest(self.fault)
        if self.sink is not None:
            self._end_value()
        else:
            self._pair_without_value()
        if self.fault:
            raise BadRequest(self.fault)


def body_reader(content_type, pipe):
    """What reads a body of this Content-Type; raises BadRequest for one that is not understood."""
    if not content_type:
        raise BadRequest("no Content-Type")
    media, params = report.parse_header_value(content_type)
    if "boundary" in params:
        return MultipartReader(params["boundary"], pipe)
    if media == "application/x-www-form-urlencoded":
        return UrlencodedReader(pipe)
    if media.startswith("multipart/"):
        raise BadRequest("multipart Content-Type has no boundary")
    raise BadRequest('unsupported Content-Type "%s"' % report.printable(media))
