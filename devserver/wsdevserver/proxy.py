"""The service in front of a real web service (--upstream URL): every request but the
inspector's goes on to the upstream, and its answer comes back, while the record keeps both.

Nothing is held whole on the way: both go block by block, the client read only as fast as the
upstream takes it (aiohttp's flow control on both connections). The request's parts are split by
the same body readers as a direct call, so their hashes are the ones a direct call records; the
answer is kept as one more part, against the same budget.

What the upstream cannot give becomes one plain-text line: 502 for a refused connection, a TLS
failure or an early close, 504 for a stall past --timeout. An answer cut once begun cannot change
its status: the client's connection is cut too, so that it never takes a partial answer for a
whole one. Only the handler's task feeds the recording; an upstream that answers before the body
has all come (an early 413 or 401) leaves the record cut, with the bytes that came.
"""

import asyncio
import ipaddress
import os
import ssl
import urllib.parse

import aiohttp
from aiohttp import web
from multidict import CIMultiDict
from yarl import URL

from . import report, resend
from .body import BadRequest, BodyError, ClientGone, Recording, Value, blocks
from .records import Exchange
from .security import authorities, inspector_path, loopback_host

# RFC 9110 7.6.1, and the ones older clients still send.
HOP_BY_HOP = frozenset(("connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
                        "proxy-connection", "te", "trailer", "transfer-encoding", "upgrade"))
# aiohttp adds these to a request unless told not to; a proxy sends only what the client sent.
AUTO_HEADERS = ("Accept", "Accept-Encoding", "User-Agent", "Content-Type")
ANSWER_HEAD_KEPT = 64 * 1024  # of the upstream's header lines, in the record
ANSWER_TEXT_KEPT = 16 * 1024  # of the answer's start, in the record
ANSWER_BUFFER = 256 * 1024  # of an answer read ahead before reading the upstream waits (twice)
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
    try:
        return host.lower() == "localhost" or ipaddress.ip_address(host).is_loopback
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


class ClientLeft(Exception):
    """The client went away while the answer was being sent to it."""


def passed(raw_headers, dropped):
    """The header lines that go on as sent (latin-1 keeps each byte), but the `dropped` names."""
    for raw_name, raw_value in raw_headers:
        name = raw_name.decode("latin-1")
        if name.lower() not in dropped:
            yield name, raw_value.decode("latin-1")


async def first(step, other):
    """Runs the awaitable `step` until it ends or the future `other` does, whichever is first;
    returns the step's task when it ended, else None (it is then cancelled)."""
    task = asyncio.ensure_future(step)
    stop = lambda _: task.cancel()  # noqa: E731
    other.add_done_callback(stop)
    try:
        await task
    except asyncio.CancelledError:
        if not task.cancelled() or not other.done() or asyncio.current_task().cancelling():
            raise  # a stall, or the service stops: nothing is left running
        return None
    except Exception:
        pass  # the caller reads it from the task
    finally:
        other.remove_done_callback(stop)
    return task


class Proxy:
    """The upstream's client (one aiohttp session) and each proxied request's life: handle()."""

    def __init__(self, url, store, worker, timeout, ca_file=None, insecure=False):
        self.base, self.store, self.worker, self.timeout = url, store, worker, timeout
        self.insecure = insecure
        self.tls = tls_context(ca_file, insecure)
        self.resender = resend.Resender(store, timeout)
        self.session = None

    async def start(self, app=None):
        # connect covers the connection, TLS included. A stall is timed in handle(), not by
        # sock_read, whose clock runs while a long upload is still going on. No total: a long
        # transfer that keeps moving is never cut.
        timeout = aiohttp.ClientTimeout(total=None, connect=self.timeout,
                                        sock_connect=self.timeout, sock_read=None)
        self.session = aiohttp.ClientSession(
            # A connection per request: an upstream that closed an idle one as it was reused
            # would fail a call that could not be sent again (its body is streamed).
            connector=aiohttp.TCPConnector(ssl=self.tls, force_close=True), timeout=timeout,
            auto_decompress=False, cookie_jar=aiohttp.DummyCookieJar(), read_bufsize=ANSWER_BUFFER)

    async def close(self, app=None):
        if self.session is not None:
            await self.session.close()

    def target(self, request):
        raw = request.raw_path
        if not raw.startswith("/"):  # absolute-form: its path and query only
            parts = urllib.parse.urlsplit(raw)
            raw = (parts.path or "/") + ("?" + parts.query if parts.query else "")
        return self.base + raw

    def request_headers(self, request):
        dropped = HOP_BY_HOP | {"host", "expect", resend.RESEND_HEADER.lower()} | {
            token.strip().lower() for value in request.headers.getall("Connection", [])
            for token in value.split(",")}
        if "Transfer-Encoding" in request.headers:
            dropped.add("content-length")
        headers = CIMultiDict(passed(request.raw_headers, dropped))
        forwarded = headers.popall("X-Forwarded-For", []) + [request.remote or "unknown"]
        headers["X-Forwarded-For"] = ", ".join(forwarded)
        headers["X-Forwarded-Host"] = request.headers.get("Host", "")
        headers["X-Forwarded-Proto"] = "http"
        return headers

    async def handle(self, request):
        """One proxied request, from its first byte to its answer's last."""
        if inspector_path(request.path) and loopback_host(authorities(request)):
            raise web.HTTPNotFound()  # the inspector's, asked for as this machine
        record = self.store.begin_request(request, None)
        record.upstream = Exchange(self.base, self.target(request), self.insecure)
        record.answered_by = "the upstream"
        encoding = request.headers.get("Content-Encoding", "identity").strip().lower()
        try:
            async with Recording(self.store, self.worker, record,
                                 request.headers.get("Content-Type"), report_=False,
                                 parts=request.body_exists and encoding == "identity") as rec:
                if encoding != "identity":
                    record.notes.append("its parts are not read: the body is %s-encoded"
                                        % report.printable(encoding))
                elif rec.refusal is not None:
                    record.notes.append("its parts are not read: %s" % rec.refusal)
                    rec.refusal = None
                return await self.relay(request, rec)
        except (ClientGone, BodyError):  # nobody left to answer, and nothing listed
            response = web.Response(status=400, text="body incomplete\n")
            response.force_close()
            return response

    async def relay(self, request, rec):
        record, exchange = rec.record, rec.record.upstream
        loop, forwarded = asyncio.get_running_loop(), asyncio.Queue(1)
        deadline = None

        def moved():
            if deadline is not None:
                deadline.reschedule(loop.time() + self.timeout)

        async def body():  # the upstream's body: the blocks the handler read, as they come
            while (block := await forwarded.get()) is not None:
                moved()
                yield block
        headers = self.request_headers(request)
        opening = asyncio.ensure_future(self.session.request(
            request.method, URL(exchange.url, encoded=True), headers=headers,
            data=body() if request.body_exists else None, allow_redirects=False,
            skip_auto_headers=[name for name in AUTO_HEADERS if name not in headers]))
        answer = Value(rec, "answer", "answer", exchange.answer)
        response, status, held, started = None, None, None, loop.time()
        try:
            async with asyncio.timeout(self.timeout) as deadline:
                if request.body_exists:
                    await self.pump(request, rec, forwarded, opening, moved)
                async with await opening as upstream:
                    exchange.first_byte = loop.time() - started
                    exchange.status, exchange.reason = upstream.status, upstream.reason
                    exchange.head = b"".join(b"%s: %s\r\n" % pair for pair in
                                             upstream.raw_headers)[:ANSWER_HEAD_KEPT]
                    response = web.StreamResponse(status=upstream.status, reason=upstream.reason)
                    response["verbatim"] = True  # goes on as sent: no headers of the service's
                    response.headers.extend(passed(upstream.raw_headers, HOP_BY_HOP))
                    response.headers.add("Content-Security-Policy", SANDBOX)
                    await response.prepare(request)
                    # One buffered block at a time, as it came: iter_any() would join them.
                    async for block, _ in upstream.content.iter_chunks():
                        moved()
                        if len(exchange.text) < ANSWER_TEXT_KEPT:
                            exchange.text += bytes(block[:ANSWER_TEXT_KEPT - len(exchange.text)])
                        answer.write(block)
                        await rec.jobs.drain()
                        moved()
                        # One block behind, so that the last one goes once the record is listed.
                        block, held = held, block
                        try:
                            if block is not None:
                                await response.write(block)
                        except ConnectionError:
                            raise ClientLeft()
                    status = upstream.status
        except (ClientGone, BodyError):
            raise
        except ClientLeft:
            exchange.error = "the client went away after %d bytes of the answer" % answer.size
        except Exception as e:  # the upstream failed
            status, line = self.failure(e, exchange)
            exchange.error = line
            if response is not None and response.prepared:
                exchange.error = "the answer was cut after %d bytes: %s" % (answer.size, line)
            else:
                response = web.Response(status=status, text=line + "\n")
        finally:
            opening.cancel()  # nothing once it is done
            exchange.total = loop.time() - started
        answer.end()
        record.cost += exchange.cost()
        listed = exchange.status if response.prepared else status
        await rec.finish(listed)
        report.log_request(request, listed, record.size)
        if exchange.error is None:  # listed before its answer ends, as a direct call is
            try:
                if held is not None:
                    await response.write(held)
                await response.write_eof()
            except ConnectionError:
                pass  # the client went away as its answer ended: it is listed whole
        elif response.prepared and request.transport is not None:
            # Too late for a status: the client must not take the part it got for all.
            request.transport.abort()
        return response

    async def pump(self, request, rec, forwarded, opening, moved):
        """Read the client's body into the recording and on to the upstream, until it ends or the
        upstream answers first. What had come by then is still read: an upstream that answers
        as it gets the last byte must not leave the body cut."""
        reading = blocks(request)
        while True:
            step = await first(reading.__anext__(), opening)
            if step is None:
                break
            try:
                block = step.result()
            except StopAsyncIteration:
                await self.end(rec)
                await first(forwarded.put(None), opening)
                return
            moved()
            await rec.feed(block)
            moved()  # the service's own work (a busy worker) is no stall of the upstream's
            if not forwarded.full():  # the upstream has taken the one before
                forwarded.put_nowait(block)
            elif await first(forwarded.put(block), opening) is None:
                break
        if request.content.is_eof():  # all came: read on, by a new reader (that one is closed)
            async for block in blocks(request):
                await rec.feed(block)
            await self.end(rec)

    @staticmethod
    async def end(rec):
        try:
            await rec.end()
        except BadRequest as e:
            rec.record.notes.append("its parts could not be read: %s" % e)

    def failure(self, exc, exchange):
        """What a failure becomes: (status, one line)."""
        url = URL(exchange.url)
        host = "%s:%d" % (url.host, url.port)  # the upstream's own, as --upstream named it
        said = report.printable(str(exc) or type(exc).__name__)
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
            return 502, "bad gateway: %s closed the connection: %s" % (host, said)
        return 502, "bad gateway: %s" % said


def add_routes(app, proxy):
    """The proxy's catch-all, last, and its client's life within the app's."""
    app.router.add_route("*", "/{tail:.*}", proxy.handle)
    app.on_startup.append(proxy.start)
    app.on_cleanup.append(proxy.close)
