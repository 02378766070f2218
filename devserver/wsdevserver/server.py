"""The HTTP server: aiohttp parses and frames every request strictly (conflicting lengths,
malformed chunks and oversized heads are refused by its parser), and this module answers the
two POST endpoints the console calls:
    /Vortan/BackOffice/trunk/webservice/zunel/testMsg
    /Vortan/BackOffice/trunk/webservice/zunel/testImg
GET/HEAD on them answer 405, other paths 404 (after the inspector's own routes). A body is read
as it arrives, up to 512 MiB (then 413), and answered with the report of report.py, or 400 with
one plain-text line "bad request: ...". Each request is logged on stderr as one line.
"""

import argparse
import asyncio
import errno
import importlib.util
import inspect
import logging
import signal
import sys
import time
import urllib.parse

from aiohttp import web
from aiohttp.http import HttpProcessingError

from . import report
from .body import BadRequest, Pipeline, Worker, body_reader
from .store import RequestStore

ENDPOINT_PREFIX = "/Vortan/BackOffice/trunk/webservice/zunel/"
ENDPOINTS = {ENDPOINT_PREFIX + "testMsg", ENDPOINT_PREFIX + "testImg"}
MAX_BODY = 512 * 1024 * 1024
LINGER_SECONDS = 2.0  # how long a refused body may still be drained, so the answer is read
TEXT_PLAIN = "text/plain; charset=utf-8"
BLOCK_SIZE = 64 * 1024  # how much of a long report is written at a time
ACCEPT_LOG_EVERY = 10.0  # seconds between two lines about running out of descriptors
MAX_HEADERS = 100  # header lines in a request
READ_BUFFER = 256 * 1024  # body bytes buffered per connection before reading pauses (twice this)


def log(line):
    sys.stderr.write("devserver: " + line + "\n")
    sys.stderr.flush()


class OneLine(logging.Handler):
    """The HTTP library's own errors (a malformed request, say) as one line, no traceback."""

    def emit(self, record):
        message = record.getMessage()
        if record.exc_info and record.exc_info[1] is not None:
            message += ": %s" % record.exc_info[1]
        log(report.printable(message))


def declared_length(request):
    """The byte count that Content-Length declares (0 without one). Any count past MAX_BODY comes
    back as MAX_BODY + 1: digit strings of any length are taken without converting them whole
    (int() refuses more than 4300 digits)."""
    value = request.headers.get("Content-Length", "0").strip()
    significant = value.lstrip("0")
    if len(significant) > len(str(MAX_BODY)):
        return MAX_BODY + 1
    return int(significant or "0")  # the parser let only digits through


def plain(status, text, close=False, headers=None):
    resp = web.Response(status=status, body=text.encode("utf-8"), headers={"Content-Type": TEXT_PLAIN, **(headers or {})})
    if close:
        resp.force_close()
    return resp


class Service:
    def __init__(self, store, worker):
        self.store, self.worker = store, worker

    async def expect(self, request):
        """Refuse an oversized upload before the client starts sending it."""
        if request.method == "POST" and declared_length(request) > MAX_BODY:
            return self.too_large(request)
        if request.version >= (1, 1) and request.headers.get("Expect", "").lower() == "100-continue":
            await request.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        return None

    def too_large(self, request, record=None):
        if record is None and self.endpoint(request) is not None:
            record = self.begin(request)
        if record is not None:
            self.store.finish(record, 413)
        self.log(request, 413, 0)
        return plain(413, "body too large: limit is %d bytes\n" % MAX_BODY, close=True)

    @staticmethod
    def framing_error(exc):
        """Whether a body failed for its framing (the parser's 400) rather than a lost client."""
        while exc is not None:
            if isinstance(exc, HttpProcessingError) and exc.code == 400:
                return True
            exc = exc.__cause__ or exc.__context__
        return False

    @staticmethod
    def path(request):
        return urllib.parse.urlsplit(request.raw_path).path

    def endpoint(self, request):
        path = self.path(request)
        return path.rsplit("/", 1)[-1] if path in ENDPOINTS else None

    def begin(self, request):
        return self.store.begin(request.method, request.raw_path, self.endpoint(request),
                                [(n.decode("utf-8", "replace"), v.decode("utf-8", "replace"))
                                 for n, v in request.raw_headers])

    @staticmethod
    def log(request, status, size):
        log("%s %s %d, %d body bytes" % (request.method, report.printable(request.raw_path), status, size))

    async def handle(self, request):
        path = self.path(request)
        if request.method == "POST":
            return await self.post(request, path)
        if request.method in ("GET", "HEAD"):
            if path in ENDPOINTS:
                resp = plain(405, "method not allowed: use POST\n", headers={"Allow": "POST"})
            else:
                resp = plain(404, "not found: %s\n" % report.printable(path))
        else:
            resp = plain(501, "Unsupported method (%r)\n" % request.method, close=True)
        self.log(request, resp.status, 0)
        return resp

    async def post(self, request, path):
        if declared_length(request) > MAX_BODY:
            return self.too_large(request)
        endpoint = self.endpoint(request)
        record = pipe = reader = answer = None
        if endpoint is None:
            answer = (404, "not found: %s\n" % report.printable(path))
        else:
            record = self.begin(request)
            pipe = Pipeline(self.worker, self.store, record)
            try:
                reader = body_reader(request.headers.get("Content-Type"), pipe)
            except BadRequest as e:
                answer = (400, "bad request: %s\n" % e)
        size, listed, close = 0, False, False
        try:
            # The whole body is read before any answer, which may then depend on its transport.
            while True:
                try:
                    # A block as it was received, not joined with the next: the reader copies
                    # what it keeps anyway. (b"", True) ends an HTTP chunk, or an empty body.
                    block, chunk_end = await request.content.readchunk()
                except Exception as e:  # the client went away, or broke the framing
                    if not self.framing_error(e):
                        log("%s %s dropped: body incomplete" % (request.method, report.printable(request.raw_path)))
                        return plain(400, "body incomplete\n", close=True)  # nobody reads it
                    answer, close = (400, "bad request: malformed chunked body\n"), True
                    break
                if not block:
                    if chunk_end and not request.content.at_eof():
                        continue
                    break
                size += len(block)
                if size > MAX_BODY:
                    await self.settle(pipe, reader)
                    listed = True
                    return self.too_large(request, record)
                if reader is not None and answer is None:
                    reader.feed(block)
                    await pipe.drain()
            if answer is not None:
                if record is not None:
                    await self.settle(pipe, reader)
                    self.store.finish(record, answer[0], answer[1][len("bad request: "):-1])
                    listed = True
                self.log(request, answer[0], size)
                return plain(*answer, close=close)
            try:
                reader.finish()
                await pipe.finish()
                reader.settle()
            except BadRequest as e:
                reader.settle()
                self.store.finish(record, 400, str(e))
                listed = True
                self.log(request, 400, size)
                return plain(400, "bad request: %s\n" % e)
            self.store.finish(record, 200)
            listed = True
            self.log(request, 200, size)
            return await self.send_report(request, endpoint, pipe)
        finally:
            if pipe is not None:
                if not listed:
                    self.store.discard(record)
                pipe.close(reader.cleanups() if reader is not None else [])

    @staticmethod
    async def settle(pipe, reader):
        """Let the worker finish what it has of a refused request, so that its record is whole."""
        if reader is not None:
            try:
                await pipe.finish()
            except BadRequest:
                pass
            reader.settle()

    async def send_report(self, request, endpoint, pipe):
        head = report.first_line(endpoint, pipe.count)
        rest = pipe.report_bytes()
        length = rest.seek(0, 2)
        rest.seek(0)
        if length <= BLOCK_SIZE:
            return web.Response(status=200, body=head + rest.read(), headers={"Content-Type": TEXT_PLAIN})
        resp = web.StreamResponse(status=200, headers={"Content-Type": TEXT_PLAIN})
        resp.content_length = len(head) + length
        await resp.prepare(request)
        await resp.write(head)
        for block in iter(lambda: rest.read(BLOCK_SIZE), b""):
            await resp.write(block)
        await resp.write_eof()
        return resp


def loop_error_handler():
    last = [0.0]

    def handler(loop, context):
        exc = context.get("exception")
        if isinstance(exc, OSError) and exc.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
            # asyncio stops accepting for a second and tries again; say so now and then.
            now = time.monotonic()
            if now - last[0] >= ACCEPT_LOG_EVERY:
                last[0] = now
                log("cannot accept connections: %s; trying again each second" % (exc.strerror or exc).lower())
            return
        log(report.printable("%s%s" % (context.get("message", "error"), ": %s" % exc if exc else "")))
    return handler


def load_inspector():
    """The inspector's module, when this tree has it."""
    if importlib.util.find_spec(__package__ + ".inspector") is None:
        return None
    return importlib.import_module(__package__ + ".inspector")


def make_app(store, worker):
    app = web.Application()
    inspector = load_inspector()
    if inspector is not None:
        inspector.add_routes(app, store)
    service = Service(store, worker)
    # After the inspector's routes: everything else, any method and any Host, comes here.
    app.router.add_route("*", "/{tail:.*}", service.handle, expect_handler=service.expect)
    return app


async def serve(args):
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(loop_error_handler())
    store = RequestStore(args.keep, args.keep_bytes)
    worker = Worker()
    runner_args, site_args = {}, {}
    # How long stopping waits for requests in flight: set on the runner since aiohttp 3.9,
    # on the site before.
    if "shutdown_timeout" in inspect.signature(web.AppRunner.__init__).parameters:
        runner_args["shutdown_timeout"] = 0.5
    else:
        site_args["shutdown_timeout"] = 0.5
    runner = web.AppRunner(make_app(store, worker), handle_signals=False, access_log=None,
                           lingering_time=LINGER_SECONDS, max_headers=MAX_HEADERS, read_bufsize=READ_BUFFER,
                           **runner_args)
    stop = asyncio.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(signum, stop.set)
        except (NotImplementedError, AttributeError):
            pass  # Windows: Ctrl-C arrives as KeyboardInterrupt
    try:
        await runner.setup()
        site = web.TCPSite(runner, args.host, args.port, backlog=128, **site_args)
        try:
            await site.start()
        except OSError as e:
            reason = "address already in use" if e.errno == errno.EADDRINUSE else (e.strerror or str(e)).lower()
            log("cannot listen on %s:%d: %s" % (args.host, args.port, reason))
            return 1
        host, port = runner.addresses[0][:2]
        log("listening on http://%s:%d" % (host, port))
        await stop.wait()
        return 0
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.remove_signal_handler(signum)
                signal.signal(signum, signal.SIG_IGN)
            except (NotImplementedError, AttributeError, ValueError):
                pass
        await runner.cleanup()
        worker.shutdown()
        store.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="wsconsole development web service")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=18080)
    parser.add_argument("--keep", type=int, default=100, metavar="N", help="requests kept for the inspector")
    parser.add_argument("--keep-bytes", type=int, default=512 * 1024 * 1024, metavar="BYTES",
                        help="bytes of the kept requests' parts stored")
    args = parser.parse_args(argv)
    aiohttp_log = logging.getLogger("aiohttp")
    aiohttp_log.addHandler(OneLine())
    aiohttp_log.propagate = False
    try:
        status = asyncio.run(serve(args))
    except KeyboardInterrupt:
        status = 0
    if status == 0:
        log("stopped")
    return status
