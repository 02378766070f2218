"""Playback: the answers of a HAR 1.2 log (this service's or a browser's), given again offline
to the requests with the same method, path and query. Hop-by-hop headers and those that framed
or encoded the body then are dropped: the body is kept decoded and framed anew. An entry without
an answer (status 0: a failed or blocked request) is never played."""

import base64
import json
import os
import urllib.parse

from . import answers, report
from .answers import RuleError

MAX_HAR = 256 * 1024 * 1024  # bytes of a log read whole
MAX_ENTRIES = 10000
DROPPED = {"connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "te",
           "trailer", "trailers", "transfer-encoding", "upgrade", "proxy-connection",
           "content-length", "content-encoding"}


class Entry:
    """A recorded answer, with what respond() reads of a rule."""

    delay = 0
    rate = cut_after = None
    reset = hold = report = upstream = False

    def __init__(self, number, method, path, query, status, reason, headers, body):
        self.number, self.method, self.path, self.query = number, method, path, query
        self.status, self.reason, self.headers, self.body = status, reason, headers, body

    def label(self):
        return "playback entry %d" % self.number

    def cost(self):
        return (answers.RULE_COST + len(self.path) + len(self.query) + len(self.body)
                + sum(len(n) + len(v) for n, v in self.headers))


class Replay:
    def __init__(self, entries, mode="always"):
        self.entries, self.mode = entries, mode
        self.waiting = {}  # (METHOD, path, query): the indexes of the entries not played yet
        for index, entry in enumerate(entries):
            self.waiting.setdefault((entry.method, entry.path, entry.query), []).append(index)

    def match(self, method, path, query):
        """The first entry recorded for this request: (index from 0, entry), or None. In once
        mode the entry is played now, and answers no other request."""
        waiting = self.waiting.get((method.upper(), path, query))
        if not waiting:
            return None
        index = waiting.pop(0) if self.mode == "once" else waiting[0]
        return index, self.entries[index]

    def nearest(self, method, path, query):
        """One line for a request no entry answers, naming the entry nearest to it: the same
        path first, then the longest common start of the paths, then the method, the query."""
        method = method.upper()
        asked = "%s %s" % (method, path + ("?" + query if query else ""))
        left = [self.entries[i] for indexes in self.waiting.values() for i in indexes]
        if not left:
            why = "every entry has been played once" if self.entries else "the log has no answer"
            return report.printable("no recorded answer for %s: %s" % (asked, why))

        def closeness(entry):
            return (entry.path == path, len(os.path.commonprefix([entry.path, path])),
                    entry.method == method, entry.query == query, -entry.number)
        best = max(left, key=closeness)
        return report.printable("no recorded answer for %s: nearest is entry %d, %s %s" % (
            asked, best.number, best.method, best.path + ("?" + best.query if best.query else "")))

    def cost(self):
        return sum(entry.cost() for entry in self.entries)


def _entry(number, item):
    """The Entry of one HAR entry, None when it recorded no answer."""
    def fail(text):
        raise RuleError("entry %d: %s" % (number, text))
    try:
        request, response = item["request"], item["response"]
        method, url, status = request["method"], request["url"], response["status"]
    except (KeyError, TypeError):
        fail("no request method and URL, or no response status")
    if not isinstance(method, str) or not answers.TOKEN_RE.match(method):
        fail("the method is not a method name")
    if not isinstance(url, str):
        fail("the URL is not a string")
    if type(status) is not int:  # true and 200.0 are no status
        fail("the status is not a whole number")
    if not 100 <= status <= 599:
        return None
    parts = urllib.parse.urlsplit(url)
    reason = response.get("statusText")
    if not isinstance(reason, str) or not reason or not answers.FIELD_TEXT_RE.match(reason):
        reason = None  # aiohttp gives the usual one
    headers = []
    for header in response.get("headers") or []:
        try:
            name, value = header["name"], header["value"]
        except (KeyError, TypeError):
            fail("a header without a name and a value")
        # HTTP/2's pseudo-headers (":status") and anything that cannot go on a head are left out.
        if (isinstance(name, str) and isinstance(value, str) and answers.TOKEN_RE.match(name)
                and name.lower() not in DROPPED and answers.FIELD_TEXT_RE.match(value)):
            headers.append((name, value))
    content = response.get("content") or {}
    text = content.get("text") or ""
    if not isinstance(text, str):
        fail("the content's text is not a string")
    if content.get("encoding") == "base64":
        try:
            body = base64.b64decode(text, validate=True)
        except ValueError:  # binascii.Error is one
            fail("the content's text is not base64")
    else:
        body = text.encode("utf-8", "surrogatepass")
    if len(body) > answers.MAX_BODY:
        fail("the body is over 64 MiB")
    return Entry(number, method.upper(), parts.path or "/", parts.query, status, reason, headers,
                 b"" if answers.bodiless(status) else body)


def load_har(path, mode="always"):
    """The entries of a HAR log, played `once` or `always`; a RuleError's one line names no file."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_HAR + 1)
    except OSError as e:
        raise RuleError("cannot be read: %s" % report.printable(e.strerror or str(e)))
    if len(data) > MAX_HAR:
        raise RuleError("over %d MiB" % (MAX_HAR >> 20))
    try:
        entries = json.loads(data)["log"]["entries"]
    except (ValueError, RecursionError) as e:
        raise RuleError("not JSON: %s" % report.printable(str(e)))
    except (KeyError, TypeError):
        raise RuleError("not a HAR log: no log.entries")
    if not isinstance(entries, list):
        raise RuleError("not a HAR log: log.entries is not a list")
    if len(entries) > MAX_ENTRIES:
        raise RuleError("more than %d entries" % MAX_ENTRIES)
    played = [_entry(number, item) for number, item in enumerate(entries, 1)]
    return Replay([entry for entry in played if entry is not None], mode)
