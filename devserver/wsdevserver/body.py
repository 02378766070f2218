"""Request bodies read as they arrive, in bounded memory.

Bodies understood:
  * any Content-Type carrying a boundary parameter is read as multipart, whatever its media type
    (the console sends its message under application/x-www-form-urlencoded with a boundary);
    parts may use the "form-data" or "attachment" disposition (libcurl uses "attachment" when
    the request's media type is not multipart/form-data). werkzeug's sans-IO decoder splits the
    parts; their heads are read here, so that backslashes in file names stay as sent;
  * application/x-www-form-urlencoded without a boundary, split and percent-decoded as it comes.
Everything else is refused with the reason that the answer's "bad request: ..." line gives.

The event loop only splits the body. Hashing, file writes and the report's lines run in order on
the service's one worker thread (hashlib and file writes let go of the GIL), a bounded amount
behind the reading, so that both cores work on a large upload.
"""

import asyncio
import codecs
import collections
import concurrent.futures
import hashlib
import os
import re
import tempfile
import urllib.parse

from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.sansio.multipart import Data, Epilogue, Field, File, MultipartDecoder, NeedData, Preamble

from . import report
from .store import HEAD_KEPT, TEXT_KEPT, Part

FEED = 256 * 1024  # largest piece handed to the multipart decoder at once
MAX_PART_HEAD = 1024 * 1024  # bytes of header names and values in one part; of a field's name
BATCH = 256 * 1024  # body bytes gathered into one job for the worker
WORKER_QUEUE = 8  # jobs all requests together may have queued for the worker before reading waits
UNQUOTE = 32 * 1024  # bytes of a url-encoded value decoded at once
REPORT_IN_MEMORY = 256 * 1024  # past this a report waits in a file
# Boundary characters allowed by RFC 2046, which also keeps quotes and line breaks out of it.
LINE_BREAK_RE = re.compile(rb"[\r\n]")
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

    def submit_nowait(self, fn):
        """For cleanups, which hold no body bytes."""
        asyncio.get_running_loop().run_in_executor(self.executor, fn)

    def shutdown(self):
        self.executor.shutdown(wait=True)


class Pipeline:
    """The worker's share of one request: jobs of file, hash and report work, run in order."""

    def __init__(self, worker, store, record):
        self.worker, self.store, self.record = worker, store, record
        self.ops, self.lines, self.batch_bytes = [], bytearray(), 0
        self.in_flight = collections.deque()
        self.error = None
        self.count = 0  # fields in the report
        self.report = tempfile.SpooledTemporaryFile(REPORT_IN_MEMORY, dir=store.folder)

    def line(self, data):
        """A report line known now; kept in order with the worker's own."""
        self.count += 1
        self.lines += data
        if len(self.lines) >= BATCH:
            self._flush_lines()

    def op(self, fn, *args, size=0):
        self._flush_lines()
        self.ops.append((fn, args))
        self.batch_bytes += size

    def _flush_lines(self):
        if self.lines:
            self.ops.append((self.report.write, (bytes(self.lines),)))
            self.batch_bytes += len(self.lines)
            self.lines.clear()

    async def _dispatch(self):
        self._flush_lines()
        while self.in_flight and self.in_flight[0].done():
            self.in_flight.popleft()
        if self.ops:
            ops, self.ops, self.batch_bytes = self.ops, [], 0
            self.in_flight.append(await self.worker.submit(self._run, ops))

    def _run(self, ops):
        if self.error is not None:
            return
        try:
            for fn, args in ops:
                fn(*args)
        except Exception as e:  # a temporary file that cannot be written
            self.error = e

    async def drain(self):
        """Wait while the worker is too far behind the reading."""
        if self.batch_bytes >= BATCH:
            await self._dispatch()

    async def finish(self):
        await self._dispatch()
        while self.in_flight:
            await self.in_flight.popleft()
        if self.error is not None:
            raise BadRequest("cannot parse body (%s)" % type(self.error).__name__)

    def close(self, cleanups):
        """Queue `cleanups` after every job of this request, without waiting for them; jobs not
        yet run are skipped unless finish() returned."""
        self.error = self.error or ConnectionAbortedError()
        self.ops.clear()
        self.lines.clear()
        cleanups = list(cleanups) + [self.report.close]

        def run():
            for fn in cleanups:
                try:
                    fn()
                except OSError:
                    pass
        self.worker.submit_nowait(run)

    def report_bytes(self):
        """The report after its first line, from the start (only once finish() returned)."""
        self.report.seek(0)
        return self.report


class PartSink:
    """One part's value as its bytes arrive: its size and SHA-256 counted, its bytes stored when
    the store keeps them, and its report line written once it ends."""

    def __init__(self, pipe, kind, name, part=None, filename=None):
        self.pipe, self.kind, self.name, self.part, self.filename = pipe, kind, name, part, filename
        self.size = 0
        self.memory = bytearray() if kind != "file" else None  # a text value, until it spills
        self.sha = hashlib.sha256() if kind == "file" or part is not None else None
        self.file = None
        self.path = part.path if part is not None else None
        self.storing = self.path is not None  # as the event loop sees it
        self.failed = False  # set by the worker when the file could not be written

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
        if self.storing and self.part is not None and not self.pipe.store.reserve(
                self.part, len(data), force=self.kind != "file"):
            self.storing = False  # only a file part is ever refused room
            self.pipe.store.drop_part(self.part)
            self.pipe.op(self._discard, self.path)
        self.pipe.op(self._feed, data, self.storing, size=len(data))

    def _spill(self, data):
        """A text value too long to hold: from now on it waits in a file (the answer needs it).
        The record keeps its start, also when the block that did not fit is the first one."""
        held, self.memory = bytes(self.memory), None
        self._keep_text(held + bytes(data[:TEXT_KEPT - len(held)]), False)
        if self.path is None:
            self.path = os.path.join(self.pipe.store.folder, "scratch-%d-%d" % (self.pipe.record.id, id(self)))
        self.storing = True
        if self.part is not None:
            self.pipe.store.reserve(self.part, len(held), force=True)
        self.pipe.op(self._feed, held, True, size=len(held))

    def _keep_text(self, value, whole):
        """Keep the start of a text value in its record, as far as the record has room."""
        part = self.part
        if part is None:
            return
        kept = value[:self.pipe.store.text_room(self.pipe.record)]
        final = whole and len(kept) == len(value)
        part.text = codecs.getincrementaldecoder("utf-8")("replace").decode(kept, final)
        part.truncated = not final
        self.pipe.store.take_text(self.pipe.record, len(kept))

    def close(self):
        """The part ended: the rest of its work goes to the worker."""
        if self.memory is not None:  # a text value held whole
            value = bytes(self.memory)
            if self.part is not None:
                self._keep_text(value, True)
                self.part.size = len(value)
                self.part.sha256 = hashlib.sha256(value).hexdigest()
                if self.storing:
                    self.pipe.store.reserve(self.part, len(value), force=True)
                    self.pipe.op(self._write_whole, value)
            self.pipe.line(report.text_line(self.kind, self.name, value))
            return
        self.pipe.count += 1
        self.pipe.op(self._end)

    # On the worker thread, in order.

    def _feed(self, data, storing):
        if self.sha is not None:
            self.sha.update(data)
        if storing and not self.failed:
            try:
                if self.file is None:
                    self.file = open(self.path, "w+b")
                self.file.write(data)
            except OSError:
                if self.kind != "file":
                    raise  # the answer needs a text value whole
                self.failed = True  # an upload is answered all the same, only not kept
                self._discard(self.path)

    def _write_whole(self, value):
        try:
            with open(self.path, "wb") as f:
                f.write(value)
        except OSError:
            self.failed = True

    def _discard(self, path):
        if self.file is not None:
            self.file.close()
            self.file = None
        try:
            os.unlink(path)
        except OSError:
            pass

    def _end(self):
        hexdigest = self.sha.hexdigest() if self.sha is not None else None
        if self.part is not None:
            self.part.size, self.part.sha256 = self.size, hexdigest
        out = self.pipe.report
        if self.kind == "file":
            out.write(report.file_line(self.name, self.filename, self.size, hexdigest))
            if self.file is not None:
                self.file.close()
                self.file = None
            return
        self.file.seek(0)
        report.write_text_line(out, self.kind, self.name, self.size, self.file)
        self.cleanup()

    def cleanup(self):
        """Close what the part left open; remove a value that was only kept for the answer."""
        if self.file is not None:
            self.file.close()
            self.file = None
        if self.part is None and self.path is not None:
            try:
                os.unlink(self.path)
            except OSError:
                pass


class Reader:
    """What both body kinds share: the parts found, and their recording."""

    def __init__(self, pipe):
        self.pipe = pipe
        self.size = 0
        self.index = 0
        self.sinks = []  # the recorded parts', for what the worker found and what is left open
        self.sink = None  # the part being read

    def new_part(self, kind, name, **fields):
        part = Part(self.index, name, kind="file" if kind == "file" else "text", **fields)
        self.index += 1
        if not self.pipe.store.add_part(self.pipe.record, part):
            part = None
        sink = PartSink(self.pipe, kind, name, part, fields.get("filename"))
        if part is not None:  # at most a record's parts: never one per field of a huge body
            self.sinks.append(sink)
        return sink

    def end_part(self, sink):
        sink.close()

    def settle(self):
        """Once the worker is done: parts whose file could not be written are not kept."""
        for sink in self.sinks:
            if sink.failed and sink.part is not None and sink.part.path is not None:
                self.pipe.store.drop_part(sink.part)

    def cleanups(self):
        sinks = self.sinks + ([self.sink] if self.sink is not None and self.sink.part is None else [])
        return [sink.cleanup for sink in sinks]


class MultipartReader(Reader):
    """Splits a multipart body into parts as it is fed. A fault is kept, not raised, so that the
    rest of the body is still read (the transport may yet fail, which answers first), and
    finish() raises the fault that the answer reports: a body that is not whole comes before a
    part that breaks a rule."""

    def __init__(self, boundary, pipe):
        super().__init__(pipe)
        if not BOUNDARY_RE.fullmatch(boundary):
            raise BadRequest("invalid multipart boundary")
        # The decoder's buffer only grows over a part's head, a preamble or an epilogue.
        self.decoder = MultipartDecoder(boundary.encode("ascii"), MAX_PART_HEAD + FEED + 1024)
        self.parts = 0
        self.opened = self.ended = False
        self.fault = None  # the body cannot be split any further
        self.refusal = None  # the first part that breaks a rule
        self.sink = None
        self.held = b""  # the end of the last block, from a line break that may begin a delimiter
        self.near = len(boundary) + 8  # how far back from a piece's end a delimiter may begin

    def feed(self, data):
        self.size += len(data)
        if self.ended or self.fault:
            return  # an epilogue, or what follows a fault, is only read
        held, self.held = self.held, b""
        if held and len(data) < self.near:
            data, held = held + data, b""  # too short to tell alone where a delimiter may begin
        end = self._before_line_break(data, 0, len(data))
        self.held = bytes(data[end:])
        # The block is not copied to join what was held back: the decoder takes that first, and
        # looks for events once the piece that follows it is in too.
        if held and not self._feed_decoder(held, events=False):
            return
        view, start = memoryview(data), 0  # pieces without copies: the decoder copies them once
        while start < end:
            stop = min(start + FEED, end)
            if stop < end:
                stop = self._before_line_break(data, start, stop)
            if not self._feed_decoder(view[start:stop]):
                return
            start = stop

    def _before_line_break(self, data, start, stop):
        """Where to end a piece given to the decoder, so that it never ends inside a delimiter
        that began with a line break: werkzeug's decoder may take such a piece's last CR (or
        LF) for data when the other kind of line break came long before it."""
        found = LINE_BREAK_RE.search(data, max(start + 1, stop - self.near), stop)
        return found.start() if found else stop

    def _feed_decoder(self, piece, events=True):
        try:
            self.decoder.receive_data(piece)
        except RequestEntityTooLarge:
            self._outgrown()
            return False
        if events:
            self._events()
        return not (self.ended or self.fault)

    def _outgrown(self):
        """The decoder's buffer outgrew its room: an epilogue is ignored, anything else refused."""
        try:
            self._end_of_body()
        except ValueError:
            pass
        if self.ended:
            return
        if self.sink is not None:
            self.fault = "malformed multipart body (part %d)" % self.parts
        elif self.opened:
            self.fault = "part %d has a head of more than %d bytes" % (self.parts + 1, MAX_PART_HEAD)
        else:
            self.fault = "multipart body has no opening boundary"

    def _end_of_body(self):
        if self.held:
            held, self.held = self.held, b""
            self.decoder.receive_data(held)
            self._events()
            if self.ended or self.fault:
                return
        self.decoder.receive_data(None)
        self._events(final=True)

    def _events(self, final=False):
        while not self.fault:
            try:
                event = self.decoder.next_event()
            except ValueError as e:
                if final:
                    raise
                # A head the decoder cannot take: no Content-Disposition, a line that is not a
                # header, or bytes that are not UTF-8.
                self.fault = ("part %d has a head that is not UTF-8" if isinstance(e, UnicodeDecodeError)
                              else "part %d has no form-data or attachment disposition") % (self.parts + 1)
                return
            if isinstance(event, NeedData):
                return
            if isinstance(event, Preamble):
                self.opened = True
            elif isinstance(event, (Field, File)):
                self.parts += 1
                self.index = self.parts - 1
                self._begin(event.headers)
            elif isinstance(event, Data):
                if self.sink is not None:
                    self.sink.write(event.data)
                    if not event.more_data:
                        self.end_part(self.sink)
                        self.sink = None
            elif isinstance(event, Epilogue):
                self.ended = True
                return

    def _begin(self, headers):
        pairs = list(headers.items())
        if sum(len(n) + len(v) for n, v in pairs) > MAX_PART_HEAD:
            self.fault = "part %d has a head of more than %d bytes" % (self.parts, MAX_PART_HEAD)
            return
        if self.refusal:
            return
        raw_disposition = headers.get("content-disposition", "")
        raw_type = headers.get("content-type")
        disposition, params = report.parse_header_value(raw_disposition)
        if disposition not in ("form-data", "attachment"):
            self.refusal = "part %d has no form-data or attachment disposition" % self.parts
        elif "name" not in params:
            self.refusal = "part %d has no name" % self.parts
        elif report.parse_header_value(raw_type or "")[0].startswith("multipart/"):
            self.refusal = "part %d is itself multipart" % self.parts
        else:
            filename = params.get("filename")
            others = [(n, v) for n, v in pairs if n.lower() not in ("content-disposition", "content-type")]
            self.sink = self.new_part("file" if filename is not None else "text", params["name"],
                                      disposition=disposition, filename=filename,
                                      content_type=raw_type, headers=others)

    def finish(self):
        """The parts, once the whole body was fed; raises BadRequest for a body refused."""
        if not self.fault and not self.ended and self.size:
            try:
                self._end_of_body()
            except ValueError:
                pass
        if self.fault:
            raise BadRequest(self.fault)
        if not self.size:
            raise BadRequest("empty multipart body")
        if not self.opened or (self.ended and not self.parts):
            raise BadRequest("multipart body has no opening boundary")
        if not self.ended:
            raise BadRequest("multipart body has no closing boundary")
        if self.refusal:
            raise BadRequest(self.refusal)


class UrlencodedReader(Reader):
    """A url-encoded body, split at '&' and '=' and percent-decoded as it arrives, the way
    urllib.parse.parse_qsl(keep_blank_values=True) reads it whole."""

    def __init__(self, pipe):
        super().__init__(pipe)
        self.name = bytearray()
        self.sink = None  # while in a value
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
                        self.fault = "field %d has a name of more than %d bytes" % (self.index + 1, MAX_PART_HEAD)
                        return
                    if amp >= 0:
                        self._pair_without_value()
                    pos = stop + 1
                    continue
                self.name += data[pos:eq]
                self._start_value()
                pos = eq + 1
            self._value(data[pos:stop])
            if amp >= 0:
                self._end_value()
            pos = stop + 1

    def _decoded_name(self):
        name = urllib.parse.unquote_to_bytes(bytes(self.name).replace(b"+", b" ")).decode("utf-8", "replace")
        self.name.clear()
        return name

    def _pair_without_value(self):
        if self.name:
            sink = self.new_part("url-encoded", self._decoded_name())
            self.end_part(sink)

    def _start_value(self):
        self.sink = self.new_part("url-encoded", self._decoded_name())

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
        self.end_part(self.sink)
        self.sink = None

    def finish(self):
        if self.fault:
            raise BadRequest(self.fault)
        if self.sink is not None:
            self._end_value()
        else:
            self._pair_without_value()


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
