"""Resending a kept request: POST /api/requests/ID/resend[?to=upstream|service], with --upstream.

It goes to the service's own port, so that it is read, recorded and listed as any request: on to
the upstream (the default), or answered by the service itself thanks to a header that only this
process knows. An inspector route: loopback Host and peer only, and no foreign Origin.
"""

import asyncio
import hmac
import os
import secrets
import urllib.parse

import aiohttp
from aiohttp import web
from yarl import URL

from .report import part_head_fields
from .security import inspector_path

LOCAL_HEADER = "X-Wsdevserver-Local"
# Names the resend, so that its answer can say which record it became; never sent upstream.
RESEND_HEADER = "X-Wsdevserver-Resend"
# Not sent again: the framing is the new request's own, and these belong to one connection.
NOT_RESENT = frozenset(("connection", "keep-alive", "proxy-connection", "te", "trailer",
                        "transfer-encoding", "upgrade", "content-length", "expect",
                        LOCAL_HEADER.lower(), RESEND_HEADER.lower()))


class Resender:
    def __init__(self, store, timeout):
        self.store, self.timeout = store, timeout
        self.token, self.session = secrets.token_hex(16), None
        self.landed = {}  # each resend's name: the id of its record, once listed
        store.listeners.append(self.listed)

    def listed(self, record):
        # Every request is listed before its answer ends, so the resend knows its record by then.
        if self.landed and RESEND_HEADER.encode() in record.head:
            for name, value in part_head_fields(record.head):
                if name == RESEND_HEADER and value in self.landed:
                    self.landed[value] = record.id

    def local(self, request):
        """Whether a request is a resend to the service itself, not to go on to the upstream."""
        value = request.headers.get(LOCAL_HEADER)
        return value is not None and hmac.compare_digest(value, self.token)

    async def start(self, app=None):
        timeout = aiohttp.ClientTimeout(total=None, sock_connect=self.timeout,
                                        sock_read=self.timeout)
        self.session = aiohttp.ClientSession(auto_decompress=False, timeout=timeout,
                                             cookie_jar=aiohttp.DummyCookieJar())

    async def close(self, app=None):
        if self.session is not None:
            await self.session.close()

    async def resend(self, request):
        record = self.store.get(int(request.match_info["id"]))
        if record is None:
            return text(404, "no such request (the service keeps only the latest)")
        if inspector_path(urllib.parse.urlsplit(record.path).path):  # never itself again
            return text(409, "this request cannot be sent again: its target is the inspector's own")
        to = request.query.get("to", "upstream")
        if to not in ("upstream", "service"):
            return text(400, "bad request: to is upstream or service")
        body = record.body
        if not record.body_kept() or (body is not None and not os.path.isfile(body.path or "")):
            return text(409, "this request cannot be sent again: its body was not kept whole (%s)"
                        % (record.body_lost() or "dropped for newer requests"))
        headers = [(name, value) for name, value in part_head_fields(record.head)
                   if name is not None and name.lower() not in NOT_RESENT]
        if to == "service":
            headers.append((LOCAL_HEADER, self.token))
        name = secrets.token_hex(8)
        headers.append((RESEND_HEADER, name))
        host, port = request.transport.get_extra_info("sockname")[:2]
        url = "http://%s:%d%s" % ("[%s]" % host if ":" in host else host, port, record.path)
        source = open(body.path, "rb") if body is not None else bytes(record.raw) or None
        self.landed[name] = None
        try:
            async with self.session.request(
                    record.method, URL(url, encoded=True), data=source, headers=headers,
                    allow_redirects=False,
                    skip_auto_headers=("Accept", "Accept-Encoding", "User-Agent",
                                       "Content-Type")) as answer:
                size = 0
                async for block in answer.content.iter_any():
                    size += len(block)
                status = answer.status
        except (aiohttp.ClientError, OSError, asyncio.TimeoutError) as e:
            reason = ("no answer within %g seconds" % self.timeout
                      if isinstance(e, asyncio.TimeoutError) else str(e) or type(e).__name__)
            return text(502, "the resend failed: %s" % reason)
        finally:
            landed = self.landed.pop(name)
            if body is not None:
                source.close()
        return web.json_response({"resent": record.id, "id": landed, "to": to, "status": status,
                                  "size": size})


def text(status, line):
    return web.Response(status=status, text=line + "\n")
