"""The HTTP server: the two POST endpoints the console calls, answered with report.py's report
or one plain-text line "bad request: ..." (400); a body is read as it arrives, up to 512 MiB
(then 413). aiohttp's parser refuses conflicting lengths, malformed chunks and oversized heads.
Every request passes the same checks first, decided once, and is logged on stderr as one line.
"""

import argparse
import asyncio
import contextlib
import errno
import logging
import re
import signal
import time

from aiohttp import __version__ as aiohttp_version, web
from aiohttp.http import HttpVersion10, HttpVersion11
from aiohttp.web_urldispatcher import MatchInfoError

from . import allocator, answers, inspector, proxy, report
from .report import log, log_request
from .body import MAX_BODY, BadRequest, BodyError, ClientGone, Recording, Worker
from .connections import Connections
from .security import SECURITY_HEADERS, foreign_origin
from .store import RequestStore

ENDPOINT_PREFIX = "/Vortan/BackOffice/trunk/webservice/zunel/"
ENDPOINTS = ("testMsg", "testImg")
LINGER_SECONDS = 2.0  # how long a refused body may still be drained, so the answer is read
TEXT_PLAIN = "text/plain; charset=utf-8"
ACCEPT_LOG_EVERY = 10.0  # seconds between two lines about running out of descriptors
MAX_HEADERS = 100  # header lines in a request
READ_BUFFER = 256 * 1024  # body bytes buffered per connection before reading pauses (twice this)
ABSOLUTE_RE = re.compile(r"https?://[^/?#@]+(?:[/?]|\Z)", re.IGNORECASE)
TOKEN_RE = re.compile(rb"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z")
SAFE_METHODS = ("GET", "HEAD", "OPTIONS")
# How aiohttp reads requests here; the tests' in-process service reads them alike. A body is
# never decoded: an encoded one is refused unread, or goes on to the upstream as it was sent.
RUNNER_OPTIONS = {"access_log": None, "lingering_time": LINGER_SECONDS, "max_headers": MAX_HEADERS,
                  "read_bufsize": READ_BUFFER, "auto_decompress": False}
MAX_RULES_MEMORY = 256 * 1024 * 1024  # what the answer rules, and a played back log, may hold
REPORT_KEPT = 16 * 1024  # of a report, in its record
TOO_LARGE = "body too large: limit is %d bytes" % MAX_BODY
AIOHTTP_VERSION = tuple(int(n) for n in re.findall(r"[0-9]+", aiohttp_version)[:2])


class OneLine(logging.Handler):
    """The HTTP library's own errors (a malformed request, say) as one line, no traceback."""

    def emit(self, record):
        message = record.getMessage()
        if record.exc_info and record.exc_info[1] is not None:
            message += ": %s" % record.exc_info[1]
        log(report.printable(message))


def declared_length(request):
    """The byte count that Content-Length declares (0 without one), or MAX_BODY + 1 for any
    count past MAX_BODY: int() refuses more than 4300 digits."""
    significant = request.headers.get("Content-Length", "0").strip().lstrip("0")
    if len(significant) > len(str(MAX_BODY)):
        return MAX_BODY + 1
    return int(significant or "0")  # the parser let only digits through


def plain(status, text, close=False, headers=None):
    resp = web.Response(status=status, body=text.encode("utf-8"),
                        headers={"Content-Type": TEXT_PLAIN, **(headers or {})})
    if close:
        resp.force_close()
    return resp


async def secure(request, response):
    """The security headers on every answer but an upstream's (sent as is) or a scripted one."""
    if not response.get("verbatim"):
        response.headers.update(SECURITY_HEADERS)


def refusal(request):
    """Why a request is refused before it is routed: (status, answer), or None."""
    if request.version not in (HttpVersion10, HttpVersion11):
        return 505, "HTTP version not supported: use HTTP/1.1\n"
    if request.version == HttpVersion11 and "Host" not in request.headers:
        return 400, "bad request: no Host header\n"
    for name, _ in request.raw_headers:
        if not TOKEN_RE.match(name):
            return 400, "bad request: header name \"%s\" is not a token\n" % report.quoted(
                name.decode("latin-1"))
    if request.method == "CONNECT":
        return 405, "method not allowed: this service is no tunnel\n"
    if not request.raw_path.startswith("/") and not ABSOLUTE_RE.match(request.raw_path):
        return 400, "bad request: the target is no path\n"  # "*", or an authority
    if request.method not in SAFE_METHODS and foreign_origin(request):
        return 403, "forbidden: a page of another site may not send requests here\n"
    encoding = request.headers.get("Content-Encoding", "identity").strip().lower()
    if encoding != "identity":
        return 415, "unsupported Content-Encoding \"%s\": send the body as it is\n" % (
            report.quoted(encoding))
    return None


class Service:
    """The two endpoints, and what every request passes through first."""

    def __init__(self, store, worker, connections, upstream, rules, replay, timeout):
        self.store, self.worker, self.connections = store, worker, connections
        self.upstream = upstream  # a proxy.Proxy with --upstream
        self.rules, self.replay, self.timeout = rules, replay, timeout

    def refusal(self, request):
        """refusal(), decided once per request (the expect handler asks first)."""
        if "refusal" not in request:
            problem = refusal(request)
            if problem is not None and problem[0] == 415 and self.upstream is not None:
                problem = None  # an encoded body goes on to the upstream as it was sent
            request["refusal"] = problem
        return request["refusal"]

    @web.middleware
    async def checks(self, request, handler):
        problem = self.refusal(request)
        if problem is not None:
            status, text = problem
            if status != 403:  # a foreign page's request is not kept, even as refused
                self.store.finish(self.store.begin_request(request, None), status, text.strip())
            log_request(request, status, 0)
            return plain(status, text, close=True)
        self.connections.begin(request)
        try:
            route = request.match_info.route
            if not (getattr(request.match_info.handler, "inspector", False)
                    or (route.name in ENDPOINTS and not self.goes_upstream(request))):
                # The calls are matched once their parts are known, in call().
                found = self.script(request)
                if found is not None or (self.replay is not None and self.upstream is None):
                    async with self.recording(request, self.store.begin_request(request, None),
                                              report_=False) as rec:
                        await self.read(rec, request)
                        return await self.play(request, rec, found)
            return await handler(request)
        except ClientGone:
            return plain(400, "body incomplete\n", close=True)
        except inspector.Missing as e:
            return plain(404, "%s\n" % e)
        except web.HTTPException as e:
            if e.status == 405:
                allowed = ", ".join(sorted(e.allowed_methods))
                answer = plain(405, "method not allowed: use %s\n" % allowed,
                               headers={"Allow": allowed})
            elif e.status == 404:
                answer = plain(404, "not found: %s\n" % report.printable(request.path))
            else:
                return plain(e.status, "%s\n" % e.reason, close=True)
            if isinstance(request.match_info, MatchInfoError):  # no route: kept all the same
                await self.keep_refused(request, answer)
            return answer
        finally:
            self.connections.end(request)

    def recording(self, request, record, **options):
        return Recording(self.store, self.worker, record, request.headers.get("Content-Type"),
                         **options)

    async def keep_refused(self, request, answer):
        """List a request that no route takes, with the body it sent, as far as it came."""
        async with self.recording(request, self.store.begin_request(request, None), parts=False,
                                  report_=False) as rec:
            # What came is kept; the answer is the route's all the same.
            with contextlib.suppress(BodyError, ClientGone):
                await rec.read(request)
            await rec.finish(answer.status, answer.text.strip())
        log_request(request, answer.status, 0)

    async def expect(self, request):
        """Says "100 Continue" only to a body that will be read: a request refused, or too large,
        is answered by its handler before the client sends a byte of it (aiohttp 3.8 drops what
        an expect handler returns, and would list it twice)."""
        refused = self.refusal(request) is not None or (
            declared_length(request) > MAX_BODY and not self.goes_upstream(request))
        if (not refused and request.version >= (1, 1)
                and request.headers.get("Expect", "").lower() == "100-continue"):
            await request.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")

    def goes_upstream(self, request):
        return self.upstream is not None and not self.upstream.resender.local(request)

    async def call(self, request):
        """One call: its body read into its record and its report, then its answer."""
        if self.goes_upstream(request):
            return await self.upstream.handle(request)
        record = self.store.begin_request(request, request.match_info.route.name)
        if declared_length(request) > MAX_BODY:  # refused unread
            status, reason, close = 413, TOO_LARGE, True
            self.store.finish(record, status, reason)
        else:
            try:
                async with self.recording(request, record, limit=MAX_BODY) as rec:
                    status, reason, close = await self.read(rec, request)
                    if status == 200:
                        return await self.play(request, rec, self.script(request, rec.names))
                    await rec.finish(status, reason)
            except ClientGone:  # nobody to answer
                log("%s %s dropped: body incomplete"
                    % (request.method, report.printable(request.raw_path)))
                return plain(400, "body incomplete\n", close=True)
        log_request(request, status, record.size)
        prefix = {400: "bad request: ", 507: "insufficient storage: "}.get(status, "")
        return plain(status, prefix + reason + "\n", close=close)

    @staticmethod
    async def read(rec, request):
        """Read the body into `rec`: (status, reason, close) of the answer it calls for."""
        try:
            await rec.read(request)
        except BadRequest as e:
            return 400, str(e), False
        except report.ReportTooLarge as e:
            return 507, str(e), True
        except BodyError as e:
            return (*e.args, True)
        return 200, None, False

    def script(self, request, part_names=None):
        """The scripted answer for `request`: (label, rule or recorded entry), or None for the
        usual one (a rule that says upstream = true asks for the usual one too)."""
        args = request.method, request.path, request.query_string
        found = self.rules.match(*args, request.headers, part_names)
        if found is not None:
            return None if found[1].upstream else (found[1].label(), found[1])
        found = self.replay.match(*args) if self.replay is not None else None
        return (found[1].label(), found[1]) if found is not None else None

    async def play(self, request, rec, found):
        """Answer as a rule or a recorded answer says; without one (playback that has no entry
        for the request), 404 with the nearest entry, or the usual answer of a call."""
        record = rec.record
        if found is None:
            if self.replay is None or self.upstream is not None:
                return await self.send_report(request, rec)
            line = self.replay.nearest(request.method, request.path, request.query_string)
            await rec.finish(404, line)
            log_request(request, 404, record.size)
            return plain(404, line + "\n")
        record.answered_by, rule = found
        body = None
        if rule.report and rec.report is not None:
            body = report.first_line(record.endpoint, rec.count) + b"".join(rec.report.chunks())
        await rec.finish(None if rule.reset or rule.hold else rule.status)
        response, record.answer = await answers.respond(request, rule, self.timeout, body)
        log_request(request, "%s (%s)" % (record.answered_by, record.answer["end"]), record.size)
        return response

    async def send_report(self, request, rec):
        """The usual answer of a call, its start kept in its record (for the HAR)."""
        record, answer = rec.record, rec.report
        head = report.first_line(record.endpoint, rec.count)
        kept = bytearray(head)
        for block in answer.chunks():
            if len(kept) >= REPORT_KEPT:
                break
            kept += block
        record.answered_by, record.report = "the report", bytes(kept[:REPORT_KEPT])
        record.report_size = len(head) + answer.length
        record.cost += len(record.report)
        await rec.finish(200)
        log_request(request, 200, record.size)
        headers = {"Content-Type": TEXT_PLAIN}
        if answer.length <= report.BLOCK:
            return web.Response(status=200, body=head + b"".join(answer.chunks()), headers=headers)
        resp = web.StreamResponse(status=200, headers=headers)
        resp.content_length = len(head) + answer.length
        await resp.prepare(request)
        await resp.write(head)
        for block in answer.chunks():
            await resp.write(block)
        await resp.write_eof()
        return resp


def loop_error_handler():
    last = [0.0]

    def handler(loop, context):
        exc = context.get("exception")
        if isinstance(exc, OSError) and exc.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS,
                                                      errno.ENOMEM):
            # asyncio stops accepting for a second and tries again; say so now and then.
            now = time.monotonic()
            if now - last[0] >= ACCEPT_LOG_EVERY:
                last[0] = now
                log("cannot accept connections: %s; trying again each second"
                    % str(exc.strerror or exc).lower())
            return
        log(report.printable("%s%s" % (context.get("message", "error"),
                                       ": %s" % exc if exc else "")))
    return handler


def make_app(store, worker, connections, upstream=None, rules=None, replay=None, timeout=15.0):
    """The routes, in the same order whatever the mode: the calls first (aiohttp's router tries
    the routes in turn, and calls come most), the inspector's, and with --upstream the proxy's
    catch-all last."""
    rules = rules if rules is not None else answers.Rules()  # the page may add some
    service = Service(store, worker, connections, upstream, rules, replay, timeout)
    app = web.Application(middlewares=[service.checks])
    app.on_response_prepare.append(secure)
    app.router.add_routes([web.post(ENDPOINT_PREFIX + endpoint, service.call, name=endpoint,
                                    expect_handler=service.expect) for endpoint in ENDPOINTS])
    inspector.add_routes(app, store, upstream, answers.AnswersApi(rules, MAX_RULES_MEMORY))
    if upstream is not None:
        proxy.add_routes(app, upstream)
    return app


async def serve(args, rules=None, replay=None):
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(loop_error_handler())
    store = RequestStore(args.keep, args.keep_bytes)
    if store.reclaimed:
        log("removed %d store folder%s that stopped services left behind"
            % (store.reclaimed, "" if store.reclaimed == 1 else "s"))
    worker = Worker()
    connections = Connections(args.timeout)
    # How long stopping waits for requests in flight: the runner's since aiohttp 3.9, the site's
    # before (Debian 12 has 3.8).
    wait = {"shutdown_timeout": 0.5}
    runner_args, site_args = (wait, {}) if AIOHTTP_VERSION >= (3, 9) else ({}, wait)
    upstream = None if args.upstream is None else proxy.Proxy(
        args.upstream, store, worker, args.timeout, args.upstream_ca, args.upstream_insecure)
    app = make_app(store, worker, connections, upstream, rules, replay, args.timeout)
    runner = web.AppRunner(app, handle_signals=False, **RUNNER_OPTIONS, **runner_args)
    stop = asyncio.Event()
    # Ctrl-C, kill and a closed terminal all stop the service cleanly (Windows has no SIGHUP).
    signals = [getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
               if hasattr(signal, name)]
    for signum in signals:  # on Windows, Ctrl-C arrives as KeyboardInterrupt instead
        with contextlib.suppress(NotImplementedError, AttributeError):
            loop.add_signal_handler(signum, stop.set)
    try:
        await runner.setup()
        try:
            host, port = await connections.listen(runner, args.host, args.port, **site_args)
        except OSError as e:
            reason = ("address already in use" if e.errno == errno.EADDRINUSE
                      else (e.strerror or str(e)).lower())
            log("cannot listen on %s:%d: %s" % (args.host, args.port, reason))
            return 1
        log("listening on http://%s:%d" % (host, port))
        if upstream is not None:  # after the line that scripts wait for
            log("every request but the inspector's goes on to %s" % args.upstream)
            if args.upstream_insecure:
                log("WARNING: --upstream-insecure: the upstream's certificate is NOT checked; "
                    "anyone on the way can read and change what goes through")
        await stop.wait()
        return 0
    finally:
        for signum in signals:
            with contextlib.suppress(NotImplementedError, AttributeError, ValueError):
                loop.remove_signal_handler(signum)
                signal.signal(signum, signal.SIG_IGN)
        await runner.cleanup()
        worker.shutdown()
        store.close()


def bounded(low, high=None):
    """An argparse type: a whole number from low to high."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a whole number: %r" % text)
        if value < low or (high is not None and value > high):
            wanted = "at least %d" % low if high is None else "from %d to %d" % (low, high)
            raise argparse.ArgumentTypeError("%d is not %s" % (value, wanted))
        return value
    return parse


def seconds(text):
    """An argparse type: a time limit, more than 0 seconds and at most an hour."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: %r" % text)
    if not 0 < value <= 3600:
        raise argparse.ArgumentTypeError("%s is not more than 0 and at most 3600" % text)
    return value


def check_upstream(parser, args):
    """The proxy's options make sense together; else a usage error (status 2)."""
    if args.upstream is None:
        if args.upstream_ca is not None or args.upstream_insecure:
            parser.error("--upstream-ca and --upstream-insecure need --upstream")
        return
    try:
        args.upstream = proxy.check_url(args.upstream)
    except proxy.UsageError as e:
        parser.error(str(e))
    if not proxy.loopback_listen_host(args.host):
        parser.error("--upstream listens on loopback only (--host 127.0.0.1, ::1 or localhost)")
    if args.upstream_ca is not None:
        try:
            proxy.tls_context(args.upstream_ca)
        except (OSError, ValueError) as e:  # ssl.SSLError is an OSError
            parser.error("--upstream-ca %s: %s" % (args.upstream_ca, e))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="wsconsole-devserver",
                                     description="wsconsole development web service")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (127.0.0.1: this machine only)")
    parser.add_argument("--port", type=bounded(0, 65535), default=18080,
                        help="the port to listen on, 0 for any free one (18080, where the "
                             "console calls)")
    parser.add_argument("--keep", type=bounded(1), default=100, metavar="N",
                        help="requests kept for the inspector")
    parser.add_argument("--keep-bytes", type=bounded(0), default=512 * 1024 * 1024,
                        metavar="BYTES", help="bytes of the kept requests' parts stored")
    parser.add_argument("--timeout", type=seconds, default=15.0, metavar="SECONDS",
                        help="how long a connection may idle, a head take, or a body or an "
                             "answer stall (15)")
    parser.add_argument("--upstream", metavar="URL",
                        help="send every request but the inspector's on to this web service "
                             "(http or https), and record its answers too")
    parser.add_argument("--upstream-ca", metavar="FILE",
                        help="a certificate authority (PEM) trusted for the upstream, beside "
                             "the system's")
    parser.add_argument("--upstream-insecure", action="store_true",
                        help="do not check the upstream's certificate (says so in the log and "
                             "on the page)")
    answers.add_arguments(parser)
    args = parser.parse_args(argv)
    check_upstream(parser, args)
    try:
        rules, replay = answers.load(args)
        held = sum(scripts.cost() for scripts in (rules, replay) if scripts is not None)
        if held > MAX_RULES_MEMORY:
            raise answers.RuleError("the answers would hold %d bytes, over the %d allowed"
                                    % (held, MAX_RULES_MEMORY))
    except answers.RuleError as e:
        log(str(e))
        return 2
    aiohttp_log = logging.getLogger("aiohttp")
    aiohttp_log.addHandler(OneLine())
    aiohttp_log.propagate = False
    allocator.tune()
    try:
        status = asyncio.run(serve(args, rules, replay))
    except KeyboardInterrupt:
        status = 0
    if status == 0:
        log("stopped")
    return status
