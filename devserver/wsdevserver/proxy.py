"""The service in front of a real web service (--upstream URL): every request that is not the
inspector's goes on to the upstream as it arrives, and the upstream's answer comes back as it
arrives, while the record keeps both sides.

Nothing is held whole on the way: the body goes on block by block, with the client read only as
fast as the upstream takes it (aiohttp's flow control on both connections), and the answer
likewise. The request's parts are split by the same body readers as a direct call, so their
hashes are the ones a direct call records; the answer's body is kept in the store as one more
part, counted against the same budget.

What the upstream cannot give becomes an answer of one plain-text line: 502 for a refused
connection, a TLS failure or an upstream that closed early, 504 for one that stalled past the
service's --timeout. An answer cut once begun cannot change its status any more: the client's
connection is then cut too, so that it never takes a partial answer for a whole one.
"""

import asyncio
import codecs
import ipaddress
import os
import ssl
import time
import urllib.parse

import aiohttp
from aiohttp import web
from multidict import CIMultiDict
from yarl import URL

from . import report, resend
from .body import BadRequest, PartSink, Pipeline, RawBody, body_reader
from .inspector import IMAGE_TYPES, image_kind
from .store import Part

# RFC 9110 7.6.1, and the ones older clients still send.
HOP_BY_HOP = frozenset(("connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
                        "proxy-connection", "te", "trailer", "transfer-encoding", "upgrade"))
# aiohttp adds these to a request unless told not to; a proxy sends only what the client sent.
AUTO_HEADERS = ("Accept", "Accept-Encoding", "User-Agent", "Content-Type")
ANSWER_HEAD_KEPT = 64 * 1024  # of the upstream's header lines, in the record
ANSWER_TEXT_KEPT = 16 * 1024  # of the answer's start, in the record
ANSWER_BUFFER = 256 * 1024  # of an answer read ahead before reading the upstream waits (twice)
INSPECTOR_PREFIXES = ("/static/", "/api/", "/files/", "/thumbs/")
INSPECTOR_PATHS = ("/", "/events")
# A page the upstream sent must not run in the inspector's origin (the same host and port):
# sandboxed, it gets an origin of its own and cannot read the inspector's API.
SANDBOX = "sandbox allow-scripts allow-forms allow-popups allow-modals allow-downloads"


class UsageError(Exception):
    """A bad --upstream: the message for the usage line."""


def check_url(text):
    """The upstream's base URL, checked: http or https, a host, no query; raises UsageError."""
    try:
        parts = urllib.parse.urlsplit(text)
        parts.port  # noqa: B018 - raises ValueError for a port that is not one
    except ValueError as e:
        raise UsageError("--upstream %r is not a URL: %s" % (text, e))
    if parts.scheme not in ("http", "https"):
        raise UsageError("--upstream %r: the scheme must be http or https" % text)
    if not parts.hostname:
        raise UsageError("--upstream %r has no host" % text)
    if parts.query or parts.fragment or "@" in parts.netloc:
        raise UsageError("--upstream %r: give only scheme, host, port and path" % text)
    return "%s://%s%s" % (parts.scheme, parts.netloc, parts.path.rstrip("/"))


def loopback_listen_host(host):
    """Whether --host is loopback only: a proxy open to the network would relay anybody."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def tls_context(ca_file=None, insecure=False):
    context = ssl.create_default_context()
    if ca_file is not None:
        context.load_verify_locations(cafile=ca_file)
    if insecure:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    return context


class Exchange:
    """The upstream's side of one proxied request, as the record keeps it."""

    __slots__ = ("upstream", "url", "status", "reason", "head", "first_byte", "total", "error",
                 "answer", "insecure", "text")

    def __init__(self, upstream, url, insecure):
        self.upstream, self.url, self.insecure = upstream, url, insecure
        self.status = self.reason = self.first_byte = self.total = self.error = None
        self.head = b""
        self.text = b""  # the answer's start, for the page to show as text
        # The answer's body, kept like a file part: first bytes in memory, the whole on disk.
        self.answer = Part(-2, "file")  # -1 is the request's own body

    def cost(self):
        return (len(self.url) + len(self.head) + len(self.error or "") + len(self.text)
                + self.answer.cost())

    def summary(self):
        return {"url": self.upstream, "status": self.status, "error": self.error}

    def to_json(self, record_id):
        answer = self.answer
        return {"upstream": self.upstream, "url": self.url, "insecure": self.insecure,
                "status": self.status, "reason": self.reason,
                "headers": [[name, value] for name, value in report.part_head_fields(self.head)],
                "first_byte_seconds": self.first_byte, "total_seconds": self.total,
                "error": self.error, "size": answer.size, "sha256": answer.sha256,
                "text": codecs.getincrementaldecoder("utf-8")("replace").decode(
                    self.text, answer.size == len(self.text)),
                "truncated": answer.size > len(self.text),
                "has_file": answer.kept, "not_kept": answer.lost,
                "url_file": "/files/%d/answer" % record_id if answer.kept else None,
                "image": image_kind(answer.start)}


class Watch:
    """Cancels the task that made it once nothing moved, either way, for `timeout` seconds: the
    upstream took no body and sent no answer (or the client took none of it)."""

    def __init__(self, timeout):
        self.timeout, self.tick = timeout, min(1.0, timeout / 4)
        self.task, self.loop = asyncio.current_task(), asyncio.get_running_loop()
        self.stalled = False
        self.last = time.monotonic()
        self.timer = self.loop.call_later(self.tick, self.check)

    def moved(self):
        self.last = time.monotonic()

    def check(self):
        if time.monotonic() - self.last > self.timeout:
            self.stalled, self.timer = True, None
            self.task.cancel()
        else:
            self.timer = self.loop.call_later(self.tick, self.check)

    def absorbed(self):
        """The cancel was handled: Python 3.11 counts it, and the timeouts that aiohttp runs
        later in this task would take it for their own."""
        if self.stalled and hasattr(self.task, "uncancel") and self.task.cancelling():
            self.task.uncancel()  # the one cancel made here; a shutdown's stays

    def stop(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


class ClientLeft(Exception):
    """The client went away while the answer was being sent to it."""


class ClientGone(Exception):
    """The client's body could not be read whole."""


class Proxy:
    """The upstream's client (one aiohttp session, its connections reused) and each proxied
    request's life: call()."""

    def __init__(self, url, store, worker, timeout, ca_file=None, insecure=False):
        self.base, self.store, self.worker, self.timeout = url, store, worker, timeout
        self.insecure = insecure
        self.tls = tls_context(ca_file, insecure)
        self.resender = resend.Resender(store)
        self.session = None

    async def start(self, app=None):
        # connect covers the connection, TLS included. A stall is watched here (Watch), not by
        # sock_read, whose clock runs while a long upload is still going on. No total: a long
        # transfer that keeps moving is never cut.
        timeout = aiohttp.ClientTimeout(total=None, connect=self.timeout,
                                        sock_connect=self.timeout, sock_read=None)
        self.session = aiohttp.ClientSession(
            # A connection per request: an upstream that closed an idle one as it was reused
            # would fail a call that could not be sent again (its body is streamed).
            connector=aiohttp.TCPConnector(ssl=self.tls, force_close=True), timeout=timeout,
            auto_decompress=False, cookie_jar=aiohttp.DummyCookieJar(),
            read_bufsize=ANSWER_BUFFER)

    async def close(self, app=None):
        if self.session is not None:
            await self.session.close()

    def takes(self, request, loopback):
        """Whether a request goes to the upstream: all but the inspector's, which are the
        inspector's only when asked for as this machine."""
        path = request.path
        mine = path in INSPECTOR_PATHS or path.startswith(INSPECTOR_PREFIXES)
        return not (mine and loopback) and not self.resender.local(request)

    def target(self, request):
        raw = request.raw_path
        if not raw.startswith("/"):  # absolute-form: its path and query only
            parts = urllib.parse.urlsplit(raw)
            raw = (parts.path or "/") + ("?" + parts.query if parts.query else "")
        return self.base + raw

    def request_headers(self, request):
        connection = {token.strip().lower() for value in request.headers.getall("Connection", [])
                      for token in value.split(",")}
        headers = CIMultiDict()
        for raw_name, raw_value in request.raw_headers:
            name = raw_name.decode("latin-1")
            lower = name.lower()
            if lower in HOP_BY_HOP or lower in connection or lower in ("host", "expect"):
                continue
            if lower == "content-length" and "Transfer-Encoding" in request.headers:
                continue
            headers.add(name, raw_value.decode("latin-1"))
        peer = request.remote or "unknown"
        if "X-Forwarded-For" in headers:
            peer = "%s, %s" % (", ".join(headers.popall("X-Forwarded-For")), peer)
        headers["X-Forwarded-For"] = peer
        headers["X-Forwarded-Host"] = request.headers.get("Host", "")
        headers["X-Forwarded-Proto"] = "http"
        return headers

    async def call(self, request, begin, log):
        """One proxied request; `begin` makes its record, `log(request, status, size)` logs its
        line."""
        record = begin(request)
        url = self.target(request)
        exchange = record.upstream = Exchange(self.base, url, self.insecure)
        parts = Parts(self.worker, self.store, record, request)
        answer_pipe = Pipeline(self.worker, self.store, record)
        answer = PartSink(answer_pipe, "file", "answer", exchange.answer, "answer")
        response, status, whole, held = None, None, False, None
        started = time.monotonic()
        watch = parts.watch = Watch(self.timeout)
        try:
            headers = self.request_headers(request)
            data = parts.stream(request) if request.body_exists else None
            skip = [name for name in AUTO_HEADERS if name not in headers]
            async with self.session.request(request.method, URL(url, encoded=True),
                                            headers=headers, data=data, allow_redirects=False,
                                            skip_auto_headers=skip) as upstream:
                exchange.first_byte = time.monotonic() - started
                exchange.status, exchange.reason = upstream.status, upstream.reason
                exchange.head = b"".join(b"%s: %s\r\n" % pair
                                         for pair in upstream.raw_headers)[:ANSWER_HEAD_KEPT]
                response = web.StreamResponse(status=upstream.status, reason=upstream.reason)
                for raw_name, raw_value in upstream.raw_headers:
                    name = raw_name.decode("latin-1")
                    if name.lower() not in HOP_BY_HOP:
                        response.headers.add(name, raw_value.decode("latin-1"))
                response.headers.add("Content-Security-Policy", SANDBOX)
                await response.prepare(request)
                # One buffered block at a time, as it came: iter_any() would join them, a copy.
                async for block, _ in upstream.content.iter_chunks():
                    watch.moved()
                    if len(exchange.text) < ANSWER_TEXT_KEPT:
                        exchange.text += bytes(block[:ANSWER_TEXT_KEPT - len(exchange.text)])
                    answer.write(block)
                    await answer_pipe.drain()
                    # One block behind, so that the last one goes once the record is listed.
                    block, held = held, block
                    if block is not None:
                        await self.send(response, block)
                status, whole = upstream.status, True
        except (Exception, asyncio.CancelledError) as e:  # the upstream failed, or the client did
            if not watch.stalled and isinstance(e, asyncio.CancelledError):
                raise  # the service stops
            watch.absorbed()
            status, line = self.failure(asyncio.TimeoutError() if watch.stalled else e,
                                        parts.gone, exchange)
            exchange.error = line
            if isinstance(e, ClientLeft):
                exchange.error = "the client went away after %d bytes of the answer" % (
                    answer.size)
            elif response is not None and response.prepared:
                exchange.error = "the answer was cut after %d bytes: %s" % (answer.size, line)
            elif not parts.gone:
                response = web.Response(status=status, text=line + "\n",
                                        headers={"Content-Type": "text/plain; charset=utf-8"})
        finally:
            watch.stop()
            exchange.total = time.monotonic() - started
            await parts.settle(request)
            answer.close()
            await answer_pipe.settle()
            answer_pipe.close()
        record.cost += exchange.cost()
        if parts.gone:
            self.store.discard(record)
            if response is not None and response.prepared:
                return response
            response = web.Response(status=400, text="body incomplete\n")
            response.force_close()
            return response
        self.store.finish(record, status, exchange.error or record.error)
        log(request, status, record.size)
        if whole:  # listed before its answer ends, as a direct call is
            if held is not None:
                await self.send(response, held)
            await response.write_eof()
        elif response.prepared and request.transport is not None:
            # Too late for a status: the client must not take the part it got for all.
            request.transport.abort()
        return response

    @staticmethod
    async def send(response, block):
        try:
            await response.write(block)
        except ConnectionError:
            raise ClientLeft()

    def failure(self, exc, client_gone, exchange):
        """What a failure becomes: (status, one line)."""
        host = URL(exchange.url).host
        if client_gone:
            return 400, "the client's body ended early"
        if isinstance(exc, ClientLeft):
            return exchange.status, "the client went away"
        if isinstance(exc, aiohttp.ClientConnectorCertificateError):
            return 502, "bad gateway: the certificate of %s is not trusted: %s" % (
                host, getattr(exc.certificate_error, "verify_message", None)
                or exc.certificate_error)
        if isinstance(exc, (aiohttp.ClientSSLError, ssl.SSLError)):
            return 502, "bad gateway: TLS with %s failed: %s" % (host, exc)
        if isinstance(exc, aiohttp.ClientConnectorError):
            error = exc.os_error
            reason = os.strerror(error.errno) if error.errno else str(error)
            return 502, "bad gateway: cannot connect to %s: %s" % (host, reason.lower())
        if isinstance(exc, asyncio.TimeoutError):
            return 504, "gateway timeout: %s stalled for %g seconds" % (host, self.timeout)
        if isinstance(exc, (aiohttp.ServerDisconnectedError, aiohttp.ClientPayloadError,
                            aiohttp.ClientOSError, ConnectionError)):
            return 502, "bad gateway: %s closed the connection: %s" % (
                host, report.printable(str(exc) or type(exc).__name__))
        return 502, "bad gateway: %s" % report.printable(str(exc) or type(exc).__name__)

    async def answer_file(self, request):
        """GET /files/ID/answer: an upstream's answer body as kept; an image when its bytes
        make one, else a download (an HTML or SVG answer never runs here)."""
        raw_id = request.match_info["id"]
        record = self.store.get(int(raw_id)) if raw_id.isdigit() and len(raw_id) < 19 else None
        exchange = record.upstream if record is not None else None
        part = exchange.answer if exchange is not None else None
        if part is None or not part.kept or part.path is None or not os.path.isfile(part.path):
            return web.Response(status=404, text="no such answer (the service keeps only the "
                                                 "latest)\n")
        kind = image_kind(part.start)
        if kind is not None:
            headers = {"Content-Type": IMAGE_TYPES[kind]}
        else:
            headers = {"Content-Type": "application/octet-stream",
                       "Content-Disposition": 'attachment; filename="answer-%d"' % record.id}
        return web.FileResponse(part.path, headers=headers)


class Parts:
    """The request's parts, read from its body as it goes on to the upstream. A body the readers
    do not understand still goes on whole; its record says why it shows no parts."""

    def __init__(self, worker, store, record, request):
        self.record, self.store = record, store
        self.pipe = Pipeline(worker, store, record)
        self.gone = False
        self.ended = False  # the end of the body was seen to
        self.reader = None
        self.watch = None
        self.keeper = RawBody(self.pipe)  # the body as received, as for a direct call
        encoding = request.headers.get("Content-Encoding", "identity").strip().lower()
        if not request.body_exists:
            return
        if encoding != "identity":
            self.note("its parts are not read: the body is %s-encoded" % report.printable(
                encoding))
            return
        try:
            self.reader = body_reader(request.headers.get("Content-Type"), self.pipe)
        except BadRequest as e:
            self.note("its parts are not read: %s" % e)

    def note(self, text):
        self.record.error = text

    async def stream(self, request):
        """The body's blocks for the upstream, each fed to the reader on its way."""
        while True:
            try:
                block, chunk_end = await request.content.readchunk()
            except Exception:
                self.gone = True
                raise ClientGone()
            if not block:
                if chunk_end and not request.content.at_eof():
                    continue
                break
            self.record.size += len(block)
            if self.reader is not None:
                try:
                    self.reader.feed(block)
                    await self.pipe.drain()
                except Exception as e:  # the parts' record gives up; the body still goes on
                    self.reader = None
                    self.note("its parts are not read past %d bytes: %s" % (self.record.size, e))
            self.keeper.write(block)  # after the parts, which take the store's room first
            if self.watch is not None:
                self.watch.moved()
            yield block
        await self.end_of_body()

    async def end_of_body(self):
        """The last part ends with the body. The upstream may answer before its HTTP client asks
        this generator for more, and so before the generator gets here: settle() sees to it."""
        if self.ended:
            return
        self.ended = True
        if self.reader is not None:
            try:
                self.reader.finish()
            except Exception as e:
                self.note("its parts could not be read: %s" % e)
            self.reader = None
        self.keeper.close()
        try:
            await self.pipe.finish()
        except Exception as e:
            self.note("its parts could not be read: %s" % e)

    async def settle(self, request):
        if not self.gone and request.content.at_eof():
            await self.end_of_body()
        await self.pipe.settle()
        self.pipe.close()


def add_routes(app, inspector, proxy):
    """The proxy's own inspector routes, and its client's life within the app's."""
    app.router.add_get("/files/{id}/answer", inspector.guarded(proxy.answer_file))
    resend.add_routes(app, inspector, proxy.resender)
    app.on_startup.append(proxy.start)
    app.on_cleanup.append(proxy.close)
