"""The request inspector: what the service received, for a person in a browser and for scripts.

    GET /                          the page (static/index.html, its script and style)
    GET /api/requests              a page of the requests kept, newest first, as JSON summaries:
                                   {"requests": [...], "held": N, "next": URL or null};
                                   ?limit=N (at most 200) and ?before=ID page through them
    GET /api/requests/ID           one of them, whole: headers and parts
    GET /files/ID/INDEX            the bytes of one part, as they arrived, once kept whole
    GET /events                    server-sent events: one "request" event per new request,
                                   {"record": summary, "held": N}

No answer is built whole past a record's bound (store.RECORD_MEMORY), and an event is made once
for all the pages that listen.

Each part in the JSON carries, beside what the store tells, "url" (where its bytes are, when they
are kept) and "image" ("jpeg", "png", "gif", "webp" or null), told by the part's first bytes
whatever type it declared. Only those four are ever served with an image type; everything
else goes out as an octet stream to download, so that an uploaded SVG or HTML page never runs in
the inspector's origin.

The uploads are private to whoever runs the service, and a page elsewhere can make a browser
talk to 127.0.0.1 (DNS rebinding: a name of its own that resolves to 127.0.0.1 a moment later).
Such a request still names the foreign host in its Host header, so every inspector route answers
only a Host that names loopback, and 403 to anything else. It answers only this machine, too:
with the service listening beyond loopback (--host 0.0.0.0), another machine could name
localhost as well. The POST endpoints are not guarded: they answer any client, as they always
have.
"""

import asyncio
import json
import os
import re
import secrets
import urllib.parse

from aiohttp import web

from . import export, rawview, report, thumbnails
from .security import SECURITY_HEADERS, authorities, local_peer, loopback_host

VERSION = "1.0.0"  # the project's, for the HAR log's creator

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
STATIC_TYPES = {
    "index.html": "text/html; charset=utf-8",
    "inspector.js": "text/javascript; charset=utf-8",
    "inspector.css": "text/css; charset=utf-8",
    "favicon.svg": "image/svg+xml",  # the page's own icon; an uploaded SVG is only a download
}

IMAGE_TYPES = {"jpeg": "image/jpeg", "png": "image/png", "gif": "image/gif", "webp": "image/webp"}
MAGIC_BYTES = 12  # enough for the longest signature below (RIFF....WEBP)

HEARTBEAT_SECONDS = 15  # an idle event stream says something this often, to notice a gone page
MAX_EVENT_STREAMS = 32  # open pages at once; each holds a connection and a queue
QUEUE_SIZE = 256  # events a slow page may have pending before the oldest is dropped
PAGE = 50  # summaries in a page of the list, unless asked otherwise
MAX_PAGE = 200


def image_kind(head):
    """The image type whose signature the bytes `head` start with ("jpeg", "png", "gif",
    "webp"), or None."""
    if head.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "png"
    if head[:6] in (b"GIF87a", b"GIF89a"):
        return "gif"
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "webp"
    return None


def attachment_disposition(filename, index):
    """Content-Disposition for a download: the last segment of the name as sent (a Windows path
    or a POSIX one), percent-encoded, with a plain ASCII fallback for old clients."""
    base = re.split(r"[\\/]", filename or "")[-1]
    fallback = "part-%d" % index
    if not base:
        return 'attachment; filename="%s"' % fallback
    return "attachment; filename=\"%s\"; filename*=UTF-8''%s" % (
        fallback, urllib.parse.quote(base, safe=""))


def type_notes(declared, image, size):
    """Where a part's declared type and its first bytes disagree."""
    media = report.parse_header_value(declared or "")[0]
    if image is not None and media != IMAGE_TYPES[image]:
        return ["Its bytes are a %s picture, but it was declared %s."
                % (image.upper(), media or "with no type")]
    if image is None and media.startswith("image/") and size:
        return ["It was declared %s, but its bytes are no JPEG, PNG, GIF or WebP picture."
                % media]
    return []


def secured(response):
    response.headers.update(SECURITY_HEADERS)
    return response


def text_response(status, text):
    return secured(web.Response(status=status, text=text + "\n"))


class Inspector:
    """The inspector's routes over one request store."""

    def __init__(self, store):
        self.store = store
        self.static = {}
        for name, content_type in STATIC_TYPES.items():
            with open(os.path.join(STATIC, name), "rb") as source:
                self.static[name] = (content_type, source.read())
        self.streams = set()
        self.closing = False
        self.run = secrets.token_hex(8)  # tells a page that the service it lists was restarted

    def guarded(self, handler):
        async def handle(request):
            if not (loopback_host(authorities(request))
                    and local_peer(request.remote)):
                return text_response(403, "forbidden: the inspector answers only this machine, "
                                          "as localhost, 127.0.0.1 or [::1]")
            response = await handler(request)
            if not response.prepared:  # an event stream has sent its headers already
                secured(response)
            return response
        return handle

    def find(self, raw_id):
        return self.store.get(int(raw_id)) if re.fullmatch("[0-9]{1,18}", raw_id) else None

    def describe(self, record):
        """The record's JSON, each part with where its bytes are, what image they make, and
        notes where a tester should look twice."""
        data = record.to_json()
        data["notes"] = []
        media, params = report.parse_header_value(record.content_type() or "")
        if "boundary" in params and not media.startswith("multipart/"):
            data["notes"].append("Its type %s carries a boundary: the body was read as multipart "
                                 "(the console's message call is sent so)." % media)
        for part in data["parts"]:
            index = part["index"]
            image = image_kind(record.head_bytes(index, MAGIC_BYTES))
            part["image"] = image if part["has_file"] else None
            part["url"] = "/files/%d/%d" % (record.id, index) if part["has_file"] else None
            part["thumb"] = ("/thumbs/%d/%d" % (record.id, index)
                             if part["image"] and thumbnails.available() else None)
            part["notes"] = type_notes(part["content_type"], image, part["size"])
        return data

    async def page(self, request):
        return self.static_file("index.html")

    async def asset(self, request):
        return self.static_file(request.match_info["name"])

    def static_file(self, name):
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
        records, more = self.store.page(before, limit)
        after = "/api/requests?before=%d&limit=%d" % (records[-1].id, limit) if more else None
        return web.json_response({"requests": [record.summary() for record in records],
                                  "held": len(self.store.records()), "next": after,
                                  "service": self.run})

    async def one_request(self, request):
        record = self.find(request.match_info["id"])
        if record is None:
            return text_response(404, "no such request (the service keeps only the latest)")
        return web.json_response(self.describe(record))

    async def part_file(self, request):
        record = self.find(request.match_info["id"])
        index = int(request.match_info["index"])
        part = record.part(index) if record is not None else None
        if part is None or not part.kept:
            return text_response(404, "no such file (the service keeps only the latest)")
        kind = image_kind(record.head_bytes(index, MAGIC_BYTES))
        if kind is not None:
            headers = {"Content-Type": IMAGE_TYPES[kind]}
        else:
            headers = {"Content-Type": "application/octet-stream",
                       "Content-Disposition": attachment_disposition(part.fields()["filename"],
                                                                     index)}
        if part.path is None:  # a text value kept whole in memory
            return web.Response(body=part.text, headers=headers)
        if not os.path.isfile(part.path):
            return text_response(404, "no such file (the service keeps only the latest)")
        return web.FileResponse(part.path, headers=headers)

    async def raw(self, request):
        record = self.find(request.match_info["id"])
        if record is None:
            return text_response(404, "no such request (the service keeps only the latest)")
        return web.json_response(rawview.raw_view(record))

    async def body(self, request):
        """The whole body as it was received, to download."""
        record = self.find(request.match_info["id"])
        if record is None or not record.body_kept():
            return text_response(404, "no such body (the service keeps only the latest)")
        headers = {"Content-Type": "application/octet-stream",
                   "Content-Disposition": 'attachment; filename="request-%d-body"' % record.id}
        if record.body is None:
            return web.Response(body=bytes(record.raw), headers=headers)
        return web.FileResponse(record.body.path, headers=headers)

    async def curl(self, request):
        record = self.find(request.match_info["id"])
        if record is None:
            return text_response(404, "no such request (the service keeps only the latest)")
        try:
            command = export.curl_command(record, "http://" + request.host)
        except ValueError as e:
            return text_response(409, "cannot be sent again: %s" % e)
        return text_response(200, command)

    async def har(self, request):
        """Every kept request, oldest first, with its parts' bytes, a block at a time."""
        response = secured(web.StreamResponse(headers={
            "Content-Type": "application/json",
            "Content-Disposition": 'attachment; filename="wsdevserver.har"'}))
        await response.prepare(request)
        pieces = export.har_pieces(list(reversed(self.store.records())),
                                   "http://" + request.host, VERSION)
        for piece in pieces:
            await response.write(piece)
        await response.write_eof()
        return response

    async def clear(self, request):
        """Forget one request (/api/requests/ID) or all of them (/api/requests)."""
        raw_id = request.match_info.get("id")
        records = self.store.records() if raw_id is None else [self.find(raw_id)]
        if records == [None]:
            return text_response(404, "no such request (the service keeps only the latest)")
        ids = [record.id for record in records]
        self.store.forget(ids)
        self.send(b"event: cleared\ndata: " + json.dumps(
            {"ids": ids, "held": len(self.store.records())}).encode() + b"\n\n")
        return web.Response(status=204)

    async def thumb(self, request):
        record = self.find(request.match_info["id"])
        index = int(request.match_info["index"])
        path = record.file_path(index) if record is not None else None
        made = None
        if path is not None and image_kind(record.head_bytes(index, MAGIC_BYTES)):
            made = await asyncio.get_running_loop().run_in_executor(None, thumbnails.make, path)
        if made is None:
            return text_response(404, "no picture to make small")
        data, content_type = made
        return web.Response(body=data, headers={"Content-Type": content_type})

    def send(self, event):
        for queue in self.streams:
            if queue.full():
                queue.get_nowait()  # a slow page misses the oldest; it can ask for the list
            queue.put_nowait(event)

    def publish(self, record):
        """Each new record goes to every open stream, made into an event once."""
        if self.streams:
            self.send(b"event: request\ndata: " + json.dumps(
                {"record": record.summary(), "held": len(self.store.records())}).encode()
                + b"\n\n")

    async def events(self, request):
        if self.closing or len(self.streams) >= MAX_EVENT_STREAMS:
            response = text_response(503, "too many open event streams")
            response.headers["Retry-After"] = "5"
            return response
        response = secured(web.StreamResponse(headers={"Content-Type": "text/event-stream"}))
        if request.method == "HEAD":
            return response
        queue = asyncio.Queue(QUEUE_SIZE)
        self.streams.add(queue)
        try:
            await response.prepare(request)
            await response.write(b"retry: 2000\n\n")
            while not self.closing:
                try:
                    event = await asyncio.wait_for(queue.get(), HEARTBEAT_SECONDS)
                except asyncio.TimeoutError:
                    await response.write(b": still here\n\n")
                    continue
                if event is None:
                    break
                # Events that came meanwhile go in the same write: one per page, not per request.
                while not queue.empty() and event is not None:
                    more = queue.get_nowait()
                    event = event + more if more is not None else None
                if event is None:
                    break
                await response.write(event)
        except ConnectionError:
            pass  # the page went away
        finally:
            self.streams.discard(queue)
        return response

    async def close_streams(self, app):
        """Ends the open event streams, which would otherwise hold the service's shutdown."""
        self.closing = True
        for queue in list(self.streams):
            try:
                queue.put_nowait(None)
            except asyncio.QueueFull:
                pass  # its stream is busy writing and sees `closing` next


def add_routes(app, store):
    """Adds the inspector's routes to `app`, over `store`'s records."""
    inspector = Inspector(store)
    store.listeners.append(inspector.publish)
    guard = inspector.guarded
    app.router.add_get("/", guard(inspector.page))
    app.router.add_get("/static/{name}", guard(inspector.asset))
    app.router.add_get("/api/requests", guard(inspector.list_requests))
    app.router.add_delete("/api/requests", guard(inspector.clear))
    app.router.add_get("/api/requests.har", guard(inspector.har))
    app.router.add_get("/api/requests/{id}", guard(inspector.one_request))
    app.router.add_delete("/api/requests/{id}", guard(inspector.clear))
    app.router.add_get("/api/requests/{id}/curl", guard(inspector.curl))
    app.router.add_get("/api/requests/{id}/raw", guard(inspector.raw))
    app.router.add_get("/files/{id}/body", guard(inspector.body))
    app.router.add_get(r"/thumbs/{id}/{index:[0-9]{1,9}}", guard(inspector.thumb))
    app.router.add_get(r"/files/{id}/{index:[0-9]{1,9}}", guard(inspector.part_file))
    app.router.add_get("/events", guard(inspector.events))
    app.on_shutdown.append(inspector.close_streams)
    return inspector
