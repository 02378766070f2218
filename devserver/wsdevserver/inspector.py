"""The request inspector: what the service received, for a person in a browser (the page in
static/, fed by /api/requests and the server-sent /events) and for scripts.

Ids never repeat across runs ("first" is this run's first; store.py), so a page can tell a link
from before a restart from a request that was cleared. No answer is built whole past a record's
bound (store.RECORD_MEMORY).

The uploads are private to whoever runs the service, and a page elsewhere can make a browser
talk to 127.0.0.1 (DNS rebinding: a name of its own that resolves to 127.0.0.1 a moment later).
Such a request still names the foreign host in its Host header, so every inspector route answers
only a Host that names loopback (with --upstream, any other Host goes on to the upstream), and
403 to anything else; and only this machine, since with the service listening beyond loopback
another machine could name localhost as well. The POST endpoints are not guarded: they answer
any client, as they always have.
"""

import asyncio
import collections
import concurrent.futures
import itertools
import json
import os
import pathlib
import re
import secrets
import urllib.parse

from aiohttp import web

from . import export, rawview, store as stores, thumbnails, views
from .security import authorities, local_peer, loopback_host

VERSION = "1.0.0"  # the project's, for the HAR log's creator

STATIC = pathlib.Path(__file__).resolve().parent / "static"
STATIC_TYPES = {
    "index.html": "text/html; charset=utf-8",
    "inspector.js": "text/javascript; charset=utf-8",
    "inspector.css": "text/css; charset=utf-8",
    "favicon.svg": "image/svg+xml",  # the page's own icon; an uploaded SVG is only a download
}

HEARTBEAT_SECONDS = 15  # an idle event stream says something this often, to notice a gone page
MAX_EVENT_STREAMS = 32  # open pages at once; each holds a connection and a queue
QUEUE_SIZE = 256  # events a slow page may have pending before the oldest is dropped
GATHER_SECONDS = 0.05  # how long an event waits for others to share its write
PAGE = 50  # summaries in a page of the list, unless asked otherwise
MAX_PAGE = 200
ID = "{id:[0-9]{1,18}}"  # in the route itself: anything else is the router's 404
INDEX = "{index:[0-9]{1,9}}"
GONE = "(the service keeps only the latest)"


def attachment_disposition(filename, index):
    """Content-Disposition for a download: the last segment of the name as sent (a Windows path
    or a POSIX one), percent-encoded, with a plain ASCII fallback for old clients."""
    base = re.split(r"[\\/]", filename or "")[-1]
    fallback = "part-%d" % index
    if not base:
        return 'attachment; filename="%s"' % fallback
    return "attachment; filename=\"%s\"; filename*=UTF-8''%s" % (
        fallback, urllib.parse.quote(base, safe=""))


def shown(start, disposition):
    """The headers for kept bytes: a picture's type where they start as one, else a download,
    so that an uploaded (or upstream's) page or SVG never runs in the inspector's origin."""
    kind = views.image_kind(start)
    if kind is not None:
        return {"Content-Type": views.IMAGE_TYPES[kind]}
    return {"Content-Type": "application/octet-stream", "Content-Disposition": disposition}


class Missing(Exception):
    """What a route names is gone (the service keeps only the latest): the 404's line."""


def text_response(status, text):
    return web.Response(status=status, text=text + "\n")


def served(path, data, headers):
    """Kept bytes, from their file, or from memory when `path` is None."""
    if path is None:
        return web.Response(body=data, headers=headers)
    if not os.path.isfile(path):
        raise Missing("no such file " + GONE)
    return web.FileResponse(path, headers=headers)


class Inspector:
    """The inspector's routes over one request store."""

    def __init__(self, store, upstream=None):
        self.store, self.upstream = store, upstream
        self.static = {name: (content_type, (STATIC / name).read_bytes())
                       for name, content_type in STATIC_TYPES.items()}
        self.streams = 0  # open event streams
        self.latest = collections.deque(maxlen=QUEUE_SIZE)  # the latest events, oldest first
        self.sent = 0  # events sent since the start
        self.news = asyncio.Event()
        self.closing = False
        self.run = secrets.token_hex(8)  # tells a page that the service it lists was restarted
        # Previews and exports read files off the event loop, one at a time, beside the uploads'.
        self.files = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="wsinspector")
        self.thumbs = thumbnails.Cache()

    def guarded(self, handler):
        async def handle(request):
            if not loopback_host(authorities(request)):
                if self.upstream is not None:
                    return await self.upstream.handle(request)
            elif local_peer(request.remote):
                return await handler(request)
            return text_response(403, "forbidden: the inspector answers only this machine, "
                                      "as localhost, 127.0.0.1 or [::1]")
        handle.inspector = True  # never answered by a rule
        return handle

    def found(self, request):
        """The record a route's id names; raises the 404 when it is gone."""
        record = self.store.get(int(request.match_info["id"]))
        if record is None:
            raise Missing("no such request " + GONE)
        return record

    def field(self, request):
        record = self.found(request)
        part = record.part(int(request.match_info["index"]))
        if part is None or not part.kept:
            raise Missing("no such file " + GONE)
        return record, part

    async def static_file(self, request):
        """The page, at /, and its script, style and icon."""
        name = request.match_info.get("name", "index.html")
        if name not in self.static:
            return text_response(404, "not found")
        content_type, body = self.static[name]
        return web.Response(body=body, headers={"Content-Type": content_type})

    async def list_requests(self, request):
        """A page of summaries, newest first; "next" asks for the page after it."""
        query = request.query
        try:
            limit = min(int(query.get("limit", PAGE)), MAX_PAGE)
            before = int(query["before"]) if "before" in query else None
        except ValueError:
            return text_response(400, "bad request: before and limit are whole numbers")
        if limit < 1:
            return text_response(400, "bad request: limit is at least 1")
        words = query.get("q", "").strip()
        terms = stores.parse_query(words)
        if terms:
            found, on = self.store.search(terms, before, limit)
            summaries = [views.found(record, where) for record, where in found]
        else:
            records, more = self.store.page(before, limit)
            summaries = [views.summary(record) for record in records]
            on = records[-1].id if more else None
        after = None if on is None else "/api/requests?" + urllib.parse.urlencode(
            dict({"q": words} if terms else {}, before=on, limit=limit))
        return web.json_response({"requests": summaries, "held": self.store.held(), "next": after,
                                  "service": self.run, "first": self.store.first_id})

    async def one_request(self, request):
        return web.json_response(views.detail(self.found(request)))

    async def part_file(self, request):
        record, part = self.field(request)
        disposition = attachment_disposition(part.fields()["filename"], part.index)
        return served(part.path, part.text,
                      shown(record.head_bytes(part, views.MAGIC_BYTES), disposition))

    async def raw(self, request):
        return web.json_response(rawview.raw_view(self.found(request)))

    async def body(self, request):
        """The whole body as it was received, to download."""
        record = self.found(request)
        if not record.body_kept():
            raise Missing("no such body " + GONE)
        headers = {"Content-Type": "application/octet-stream",
                   "Content-Disposition": 'attachment; filename="request-%d-body"' % record.id}
        return served(record.body and record.body.path, bytes(record.raw), headers)

    async def answer(self, request):
        """An upstream's answer body as kept."""
        record = self.found(request)
        part = record.upstream and record.upstream.answer
        if part is None or not part.kept:
            raise Missing("no such answer " + GONE)
        return served(part.path, b"", shown(part.start, 'attachment; filename="answer-%d"'
                                            % record.id))

    async def curl(self, request):
        return text_response(200, export.curl_command(self.found(request),
                                                      "http://" + request.host))

    async def har(self, request):
        """Every kept request, oldest first, with its parts' bytes, a block at a time."""
        response = web.StreamResponse(headers={
            "Content-Type": "application/json",
            "Content-Disposition": 'attachment; filename="wsdevserver.har"'})
        await response.prepare(request)
        pieces = export.har_pieces(list(reversed(self.store.records())),
                                   "http://" + request.host, VERSION)
        loop = asyncio.get_running_loop()
        while (piece := await loop.run_in_executor(self.files, next, pieces, None)) is not None:
            await response.write(piece)
        await response.write_eof()
        return response

    async def clear(self, request):
        """Forget one request (/api/requests/ID) or all of them (/api/requests)."""
        records = [self.found(request)] if "id" in request.match_info else self.store.records()
        ids = [record.id for record in records]
        self.store.forget(ids)
        self.send(b"event: cleared\ndata: " + json.dumps(
            {"ids": ids, "held": self.store.held()}).encode() + b"\n\n")
        return web.Response(status=204)

    async def thumb(self, request):
        record, part = self.field(request)
        made = self.thumbs.get((record.id, part.index))
        if made is None and part.path is not None and views.image_kind(part.start):
            made = await asyncio.get_running_loop().run_in_executor(self.files, thumbnails.make,
                                                                    part.path)
            self.thumbs.put((record.id, part.index), made)
        if made is thumbnails.TOO_LARGE:
            return text_response(413, "too large to preview: more than %d pixels"
                                 % thumbnails.MAX_PIXELS)
        if made is None:
            return text_response(404, "no picture to make small")
        data, content_type = made
        return web.Response(body=data, headers={"Content-Type": content_type})

    def send(self, event):
        """Every open page gets `event`; one that is QUEUE_SIZE behind misses the oldest, and can
        ask for the list. One shared line costs the same however many pages are open."""
        self.latest.append(event)
        self.sent += 1
        self.news.set()

    def publish(self, record):
        """Each new record goes to every open stream, made into an event once."""
        if self.streams:
            self.send(b"event: request\ndata: " + json.dumps(
                {"record": views.summary(record), "held": self.store.held()}).encode()
                + b"\n\n")

    async def events(self, request):
        if self.closing or self.streams >= MAX_EVENT_STREAMS:
            response = text_response(503, "too many open event streams")
            response.headers["Retry-After"] = "5"
            return response
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        if request.method == "HEAD":
            return response
        self.streams += 1
        seen = self.sent
        try:
            await response.prepare(request)
            await response.write(b"retry: 2000\n\n")
            while not self.closing:
                if seen == self.sent:
                    self.news.clear()
                    try:
                        await asyncio.wait_for(self.news.wait(), HEARTBEAT_SECONDS)
                    except asyncio.TimeoutError:
                        await response.write(b": still here\n\n")
                        continue
                    # The events of the next moment go in the same write: a busy service writes
                    # to a page a few times a second rather than once per request.
                    await asyncio.sleep(GATHER_SECONDS)
                new, seen = min(self.sent - seen, len(self.latest)), self.sent
                if not self.closing:
                    await response.write(b"".join(itertools.islice(
                        self.latest, len(self.latest) - new, None)))
        except ConnectionError:
            pass  # the page went away
        finally:
            self.streams -= 1
        return response

    async def close(self, app):
        """Ends the open event streams, which would otherwise hold the service's shutdown."""
        self.closing = True
        self.news.set()

    async def cleanup(self, app):
        self.files.shutdown(wait=True)


def add_routes(app, store, upstream=None, answers=None):
    """Adds the inspector's routes to `app`, over `store`'s records, and the answer rules'."""
    pages = Inspector(store, upstream)
    store.listeners.append(pages.publish)
    routes = [
        ("GET", "/", pages.static_file),
        ("GET", "/static/{name}", pages.static_file),
        ("GET", "/api/requests", pages.list_requests),
        ("DELETE", "/api/requests", pages.clear),
        ("GET", "/api/requests.har", pages.har),  # all of them, as a HAR 1.2 log
        ("GET", "/api/requests/" + ID, pages.one_request),  # whole: headers, parts and notes
        ("DELETE", "/api/requests/" + ID, pages.clear),
        ("GET", "/api/requests/%s/curl" % ID, pages.curl),
        ("GET", "/api/requests/%s/raw" % ID, pages.raw),  # its head, then its body by part
        ("GET", "/files/%s/body" % ID, pages.body),  # each file once kept whole, as it came
        ("GET", "/files/%s/%s" % (ID, INDEX), pages.part_file),
        ("GET", "/thumbs/%s/%s" % (ID, INDEX), pages.thumb),
        ("GET", "/events", pages.events),
    ]
    if answers is not None:
        routes += [("GET", "/api/answers", answers.get), ("PUT", "/api/answers", answers.put)]
    if upstream is not None:
        routes += [("GET", "/files/%s/answer" % ID, pages.answer),
                   ("POST", "/api/requests/%s/resend" % ID, upstream.resender.resend)]
        app.on_startup.append(upstream.resender.start)
        app.on_cleanup.append(upstream.resender.close)
    app.router.add_routes([web.route(method, path, pages.guarded(handler))
                           for method, path, handler in routes])
    app.on_shutdown.append(pages.close)
    app.on_cleanup.append(pages.cleanup)
    return pages
