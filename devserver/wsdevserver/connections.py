"""The client connections, watched so that no client holds the service by being slow or many.

aiohttp has no timer on a request head, nor on a connection that never sent a byte. Here one
time limit applies to a connection idle (closed), to a request head from its first byte (408,
closed), to a stall of a body still being read (dropped, unless the service itself stopped
reading) and to a stall of an answer the client does not read (dropped). A handler busy with
neither (hashing a finished upload) is never timed out. Past the cap that descriptors allow, a
new connection closes the one idle the longest or, when none is, the longest-running request.
"""

import asyncio
import time

from aiohttp import web, web_protocol

from .security import SECURITY_HEADERS

RESERVE = 32  # descriptors for the interpreter, the event loop and the listening socket
PER_CONNECTION = 2  # its socket, and the store file its request may be writing or reading
PORTABLE_CAP = 500  # where no descriptor limit can be read; under select()'s 512 on Windows
# A body must come at this many bytes a second on average, once it has had twice the time limit:
# a client that trickles a byte now and then never stalls, yet would hold its connection forever.
MIN_BODY_RATE = 256


# Written whole on a connection on which no request is running.
HEAD_TIMEOUT_TEXT = b"request timeout: the request head came too slowly\n"
HEAD_TIMEOUT = b"".join(b"%s\r\n" % line.encode("latin-1") for line in [
    "HTTP/1.1 408 Request Timeout", "Content-Type: text/plain; charset=utf-8",
    "Content-Length: %d" % len(HEAD_TIMEOUT_TEXT), "Connection: close",
    *("%s: %s" % item for item in SECURITY_HEADERS.items()), ""]) + HEAD_TIMEOUT_TEXT

try:
    import resource
except ImportError:  # Windows: sockets are handles, with no per-process limit to read
    resource = None


def descriptor_cap():
    """How many connections the soft RLIMIT_NOFILE has room for."""
    if resource is None:
        return PORTABLE_CAP
    soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    if soft == resource.RLIM_INFINITY:
        soft = 1 << 16
    return max(1, (soft - RESERVE) // PER_CONNECTION)


class Handler(web_protocol.RequestHandler):
    """aiohttp's protocol for one connection, noting the times the watchdog goes by. It also
    puts the security headers on the answers aiohttp makes itself (a malformed request's 400)."""

    def __init__(self, connections, server):
        # As web.Server() makes its protocol, with the runner's handler arguments. aiohttp has
        # no public way to them: test_connections fails loudly if an upgrade moves them.
        super().__init__(server, loop=asyncio.get_running_loop(), **server._kwargs)
        self.connections, self.link = connections, None
        self.job, self.answered = None, False  # the request begun, until it is over
        self.head_since = self.paused_since = None
        self.since, self.came = 0.0, 0  # a body's bytes since: for its least rate
        self.idle_since = self.read_at = time.monotonic()

    def connection_made(self, transport):
        self.link = transport  # aiohttp drops its own reference before connection_lost
        super().connection_made(transport)
        self.connections._admit(self)

    def connection_lost(self, exc):
        self.connections._open.pop(self.link, None)
        super().connection_lost(exc)

    def data_received(self, data):
        self.read_at = time.monotonic()
        self.came += len(data)
        self.connections._settle(self, self.read_at)
        if self.job is None and self.head_since is None:
            self.head_since = self.read_at
        super().data_received(data)

    def pause_writing(self):
        super().pause_writing()
        self.paused_since = time.monotonic()

    def resume_writing(self):
        super().resume_writing()
        self.paused_since, self.idle_since = None, time.monotonic()

    def log_access(self, *args, **kwargs):
        # aiohttp calls it once an answer is written whole, or could not be.
        self.answered = True
        self.connections._settle(self, time.monotonic())
        return super().log_access(*args, **kwargs)

    def handle_error(self, request, status=500, exc=None, message=None):
        response = super().handle_error(request, status, exc, message)
        response.headers.update(SECURITY_HEADERS)
        return response


class Site(web.BaseSite):
    """web.TCPSite with Handler for protocol; AppRunner.cleanup() stops it and the watchdog."""

    def __init__(self, connections, runner, host, port, backlog, **site_args):
        super().__init__(runner, backlog=backlog, **site_args)
        self.connections, self.server, self.listener = connections, runner.server, None
        self.host, self.port, self.backlog = host, port, backlog

    @property
    def name(self):
        return "http://%s:%d" % (self.host, self.port)

    async def start(self):
        await super().start()
        self.listener = await asyncio.get_running_loop().create_server(
            lambda: Handler(self.connections, self.server), self.host, self.port,
            backlog=self.backlog)
        self._server = self.listener  # what BaseSite.stop() closes

    async def stop(self):
        self.connections.close()
        await super().stop()


class Connections:
    """The service's connections: their time limit, kept by a watchdog, and their cap."""

    def __init__(self, timeout=15.0):
        self.timeout, self.cap = timeout, descriptor_cap()
        self.tick = min(1.0, timeout / 4)  # each second, more often for a limit under 4 s
        self.site = self._timer = None
        self._open = {}  # transport: Handler

    async def listen(self, runner, host, port, backlog=128, **site_args):
        """Serve `runner` (set up) on host:port in place of web.TCPSite, and start the watchdog;
        return the bound (host, port). runner.cleanup() stops it all."""
        self.site = Site(self, runner, host, port, backlog, **site_args)
        await self.site.start()
        self._timer = asyncio.get_running_loop().call_later(self.tick, self._check)
        return self.site.listener.sockets[0].getsockname()[:2]

    def close(self):
        """Stop the watchdog and stop listening (the site's stop(), even when it never started)."""
        if self._timer is not None:
            self._timer.cancel()
        if self.site.listener is not None:
            self.site.listener.close()

    def begin(self, request):
        """A request's handler starts: its connection is busy, and off the head's time limit."""
        handler = self._open.get(request.transport)
        if handler is not None:
            handler.job, handler.answered, handler.head_since = request, False, None
            handler.read_at = handler.since = time.monotonic()
            handler.came = 0

    def end(self, request):
        """The handler returned: the connection turns idle once the answer and the body are done."""
        handler = self._open.get(request.transport)
        if handler is not None and handler.job is request:
            self._settle(handler, time.monotonic())

    @staticmethod
    def _settle(handler, now):
        if handler.answered and handler.job is not None and handler.job.content.is_eof():
            handler.job, handler.idle_since = None, now

    def _admit(self, handler):
        if len(self._open) >= self.cap:
            idle = [h for h in self._open.values()
                    if h.job is None and h.head_since is None and h.paused_since is None]
            if idle:
                self._drop(min(idle, key=lambda h: h.idle_since))
            else:  # the request that has run longest goes: a fresh client is answered
                self._drop(min(self._open.values(), key=lambda h: h.since if h.job is not None
                               else h.head_since or h.idle_since), abort=True)
        self._open[handler.link] = handler

    def _drop(self, handler, last_words=b"", abort=False):
        self._open.pop(handler.link, None)
        if abort:  # close() would wait for the unread answer to leave the buffer: forever
            handler.link.abort()
        else:
            if last_words:
                handler.link.write(last_words)
            handler.link.close()

    def _check(self):
        self._timer = asyncio.get_running_loop().call_later(self.tick, self._check)
        now = time.monotonic()
        for h in list(self._open.values()):
            self._settle(h, now)
            if h.paused_since is not None:
                if now - h.paused_since > self.timeout:
                    self._drop(h, abort=True)
            elif h.job is not None:
                if h.job.content.is_eof() or not h.link.is_reading():
                    h.read_at = h.since = now  # no byte awaited from the client
                    h.came = 0
                elif now - h.read_at > self.timeout or (
                        now - h.since > 2 * self.timeout
                        and h.came < MIN_BODY_RATE * (now - h.since)):
                    self._drop(h, abort=True)
            elif h.head_since is not None:
                if now - h.head_since > self.timeout:
                    self._drop(h, HEAD_TIMEOUT)
            elif now - h.idle_since > self.timeout:
                self._drop(h)
