"""Answers a tester scripts: rules that each match a request and say what to answer.

A rule file (--answers FILE) is TOML, a list of [[answer]] tables: the same list as the JSON of
GET and PUT /api/answers (the keys: docs/answers.md). The first enabled rule that matches answers.
A rule that cannot be used is refused with one line naming it (from 1) and the key: RuleError.
A request is matched by its method, raw path and query; with a part rule (needs_body), once more
with its parts' names when its body has been read, so that the rule keeps its place in the order.
"""

import asyncio
import contextlib
import json
import os
import re
import struct
import socket
import tomllib

from aiohttp import web
from multidict import CIMultiDict

from . import report
from .security import SECURITY_HEADERS

MAX_RULES = 1000
MAX_BODY = 64 * 1024 * 1024  # bytes of one rule's body, and of the JSON of a PUT
MAX_HEADERS = 100
MAX_DELAY = 3600.0
MAX_RATE = 1 << 40  # bytes a second: past this a rate changes nothing, and infinity is refused
RULE_COST = 512  # bytes a rule holds beside its texts and its body, roughly
BLOCK = 64 * 1024  # body bytes written at a time
TICK = 0.05  # seconds between two writes at a rate, and between two looks at a waiting client
TOKEN_RE = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z")
# A header value or a reason goes on the head's own line: no line break, no NUL, no control.
FIELD_TEXT_RE = re.compile(r"[^\x00-\x08\x0a-\x1f\x7f]*\Z")
FRAMING = ("content-length", "transfer-encoding")
# A glob's tokens: a star; a class (its negation, its members, its "]": a first "]" is a
# member, and a "[" never closed takes in the rest of the text); any other character.
GLOB_RE = re.compile(r"(\*)|\[([!^]?)(.?[^\]]*)(\]?)|(.)", re.DOTALL)
RANGE_RE = re.compile(r"(.)-(.)|(.)", re.DOTALL)  # a class's members: ranges first
# A scripted or recorded answer is served from the inspector's origin: the sandbox makes any
# page in it an origin of its own, so that its script cannot reach the inspector's API.
ANSWER_POLICY = "sandbox; default-src 'none'; frame-ancestors 'none'"

BODY_KEYS = ("body", "body_file", "report")
STREAM_KEYS = BODY_KEYS + ("cut_after", "rate")
STRING, FLAG, TABLE = (str, "a string"), (bool, "true or false"), (dict, "a table")
WHOLE, NUMBER = (int, "a whole number"), (int, float)
KINDS = {bool: "true or false", str: "a string", int: "a number", float: "a number",
         dict: "a table", list: "a list"}  # type() is exact: TOML and JSON make no subclasses
TYPES = {  # key: (the types it may have, what it must be)
    "name": STRING, "enabled": FLAG, "method": STRING, "path": STRING, "query": STRING,
    "header": TABLE, "part": STRING, "status": WHOLE, "reason": STRING, "headers": TABLE,
    "body": STRING, "body_file": STRING, "report": FLAG, "reset": FLAG, "hold": FLAG,
    "delay": (NUMBER, "a number of seconds"), "rate": (NUMBER, "a number of bytes a second"),
    "cut_after": (int, "a whole number of bytes"), "times": WHOLE, "upstream": FLAG,
}
DEFAULTS = {"enabled": True, "status": 200, "delay": 0, "report": False, "reset": False,
            "hold": False, "upstream": False}  # of the keys not given; any other is None


class RuleError(ValueError):
    """A rule that cannot be used, with the one line that says why."""


class Glob:
    """An exact text or a glob. Matching never backtracks on the *s: the pieces between them
    have fixed lengths, so each is found leftmost in turn, in linear time."""

    def __init__(self, text):
        pieces = [[]]  # runs of one-character regexes between the stars
        for found in GLOB_RE.finditer(text):
            star, negate, inside, closed, char = found.groups()
            if star:
                pieces.append([])
            elif char is not None:
                pieces[-1].append("." if char == "?" else re.escape(char))
            else:
                pieces[-1].append(self._class(negate, inside, closed, found.start()))
        self.regexes = [re.compile("".join(piece), re.DOTALL) for piece in pieces]
        self.lengths = [len(piece) for piece in pieces]

    @staticmethod
    def _class(negate, inside, closed, start):
        members = []
        for low, high, char in RANGE_RE.findall(inside):
            if low > high:
                raise ValueError('the range "%s-%s" is backwards' % (low, high))
            members.append(re.escape(char) if char else re.escape(low) + "-" + re.escape(high))
        if not closed:
            raise ValueError('the "[" at character %d is not closed' % (start + 1))
        return "[%s%s]" % ("^" if negate else "", "".join(members))

    def match(self, value):
        regexes, lengths = self.regexes, self.lengths
        if len(regexes) == 1:
            return regexes[0].fullmatch(value) is not None
        pos, tail = lengths[0], len(value) - lengths[-1]
        if (len(value) < sum(lengths) or not regexes[0].match(value)
                or not regexes[-1].match(value, tail)):
            return False
        for regex in regexes[1:-1]:
            found = regex.search(value, pos, tail)
            if found is None:
                return False
            pos = found.end()
        return True


def _kind(value):
    return KINDS.get(type(value), "a %s" % type(value).__name__)


def bodiless(status):
    """Whether an answer of this status has no body (a final 1xx is a tester's own affair)."""
    return status < 200 or status in (204, 304)


class Rule:
    """One rule, checked; `data` is its table as given (times counts down as it answers)."""

    def __init__(self, number, data, base_dir=None):
        self.number = number
        if not isinstance(data, dict):
            self.fail("must be a table, not %s" % _kind(data))
        self.data = dict(data)
        for key, value in data.items():
            if key not in TYPES:
                self.fail('unknown key "%s"' % report.quoted(str(key)))
            types, wanted = TYPES[key]
            # bool is a kind of int to isinstance(): true is no number, 1 is not true.
            if not isinstance(value, types) or isinstance(value, bool) != (types is bool):
                self.fail('"%s" must be %s, not %s' % (key, wanted, _kind(value)))
        for key in TYPES:  # each key is an attribute, checked and made ready below
            setattr(self, key, data.get(key, DEFAULTS.get(key)))
        if self.method is not None:
            if not TOKEN_RE.match(self.method):
                self.fail('"method" must be a method name such as GET or POST')
            self.method = self.method.upper()
        for key in ("path", "query", "part"):
            setattr(self, key, self.glob(key, getattr(self, key)))
        self.header = self.match_header(self.header) if self.header is not None else None
        if not 100 <= self.status <= 599:
            self.fail('"status" must be from 100 to 599, not %d' % self.status)
        if self.reason is not None and not FIELD_TEXT_RE.match(self.reason):
            self.fail('"reason" holds a line break or a control character')
        self.headers = self.answer_headers(self.headers or {})
        if self.body is not None:
            self.body = self.body.encode("utf-8")
            if len(self.body) > MAX_BODY:
                self.fail('"body" is over 64 MiB (%d bytes)' % len(self.body))
        if self.body_file is not None:
            # Relative to the rules file: the rules put back from the page read the same file.
            self.data["body_file"] = path = os.path.join(base_dir or "", self.body_file)
            try:
                with open(path, "rb") as f:
                    self.body = f.read(MAX_BODY + 1)
            except OSError as e:
                self.fail('"body_file" cannot be read: %s'
                          % report.printable(e.strerror or str(e)))
            if len(self.body) > MAX_BODY:
                self.fail('"body_file" is over 64 MiB')
        if not 0 <= self.delay <= MAX_DELAY:
            self.fail('"delay" must be from 0 to %d seconds' % MAX_DELAY)
        if self.rate is not None and not 0 < self.rate <= MAX_RATE:
            self.fail('"rate" must be more than 0 and at most %d bytes a second' % MAX_RATE)
        if self.cut_after is not None and self.cut_after < 0:
            self.fail('"cut_after" must be 0 or more bytes')
        if self.times is not None and self.times < 0:
            self.fail('"times" must be 0 or more')
        self.check_together(data)

    def fail(self, text):
        raise RuleError("rule %d: %s" % (self.number, text))

    def label(self):
        """Which rule answered, for the record: "rule 2"."""
        return "rule %d" % self.number

    def glob(self, key, text):
        try:
            return None if text is None else Glob(text)
        except ValueError as e:
            self.fail('"%s" is a bad glob: %s' % (key, report.printable(str(e))))

    def match_header(self, table):
        for key, value in table.items():
            if key not in ("name", "value"):
                self.fail('unknown key "header.%s"' % report.quoted(str(key)))
            if not isinstance(value, str):
                self.fail('"header.%s" must be a string, not %s' % (key, _kind(value)))
        if not TOKEN_RE.match(table.get("name", "")):
            self.fail('"header.name" must be a header name')
        # Without a value the header need only be there: any value matches "*".
        return table["name"].lower(), self.glob("header.value", table.get("value", "*"))

    def answer_headers(self, table):
        if len(table) > MAX_HEADERS:
            self.fail('"headers" holds more than %d headers' % MAX_HEADERS)
        for name, value in table.items():
            if not TOKEN_RE.match(name):
                self.fail('"headers" holds "%s", which is no header name' % report.quoted(name))
            if not isinstance(value, str):
                self.fail('"headers.%s" must be a string, not %s' % (name, _kind(value)))
            if not FIELD_TEXT_RE.match(value):
                self.fail('"headers.%s" holds a line break or a control character' % name)
            if name.lower() in FRAMING:
                self.fail('"headers" may not set %s: the service frames the body' % name)
        return list(table.items())

    def check_together(self, data):
        given = {key for key in data if data[key] is not False}
        bodies = [key for key in BODY_KEYS if key in given]
        if len(bodies) > 1:
            self.fail('"%s" with "%s": give one of body, body_file and report'
                      % (bodies[1], bodies[0]))
        clashes = [  # (whether the rule has it, the keys it refuses, why)
            ("reset" in given, STREAM_KEYS + ("hold",), '"reset": reset answers nothing'),
            ("hold" in given, STREAM_KEYS + ("reset",), '"hold": hold answers nothing'),
            ("upstream" in given, STREAM_KEYS + ("status", "reason", "headers", "reset", "hold"),
             '"upstream": the upstream answers'),
            (bodiless(self.status), STREAM_KEYS, "status %d, which has no body" % self.status),
        ]
        for applies, refused, why in clashes:
            for key in refused:
                if applies and key in given:
                    self.fail('"%s" with %s' % (key, why))

    def matches(self, method, path, query, headers, part_names):
        if not self.enabled or self.times == 0 or self.method not in (None, method.upper()):
            return False
        for glob, value in ((self.path, path), (self.query, query)):
            if glob is not None and not glob.match(value):
                return False
        if self.header is not None:
            name, value = self.header
            if not any(map(value.match, headers.getall(name, []))):
                return False
        return self.part is None or any(self.part.match(n or "") for n in part_names or ())

    def to_json(self):
        return dict(self.data) if self.times is None else {**self.data, "times": self.times}

    def cost(self):
        texts = sum(len(k) + len(str(v)) for k, v in self.data.items() if k != "body")
        return RULE_COST + texts + len(self.body or b"")


class Rules:
    """The rules in their order; PUT replaces them all, in place, so every holder sees it."""

    def __init__(self, rules=()):
        self.rules = list(rules)

    @classmethod
    def from_json(cls, items, base_dir=None):
        """Rules from a list of tables; body_file is read now, relative to `base_dir`."""
        if not isinstance(items, list):
            raise RuleError("the rules must be a list of tables, not %s" % _kind(items))
        if len(items) > MAX_RULES:
            raise RuleError("rule %d: more than %d rules" % (MAX_RULES + 1, MAX_RULES))
        return cls(Rule(number, item, base_dir) for number, item in enumerate(items, 1))

    def to_json(self):
        return [rule.to_json() for rule in self.rules]

    def match(self, method, path, query, headers, part_names=None):
        """The first rule that answers (index from 0, rule), or None; one with times counts it."""
        headers = CIMultiDict(headers) if self.rules else None  # the usual case has no rules
        for index, rule in enumerate(self.rules):
            if rule.matches(method, path, query, headers, part_names):
                if rule.times is not None:
                    rule.times -= 1
                return index, rule
        return None

    def needs_body(self):
        """Whether a rule that can still answer matches on a part's name."""
        return any(rule.part is not None and rule.enabled and rule.times != 0
                   for rule in self.rules)

    def cost(self):
        return sum(rule.cost() for rule in self.rules)

    def __len__(self):
        return len(self.rules)


def load_file(path):
    """The rules of a TOML file. The one line of a RuleError does not name the file."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise RuleError("cannot be read: %s" % report.printable(e.strerror or str(e)))
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise RuleError("not TOML: %s" % report.printable(str(e)))
    for key in data:
        if key != "answer":
            raise RuleError('unknown key "%s": the file holds [[answer]] tables'
                            % report.quoted(key))
    return Rules.from_json(data.get("answer", []), os.path.dirname(os.path.abspath(path)))


# Carrying a rule out. ---------------------------------------------------------------------------

async def _wait(request, seconds):
    """Wait `seconds` without holding the loop; False as soon as the client has gone. aiohttp
    before 3.9 cancels the handler then; later releases leave it running, hence the looks."""
    loop = asyncio.get_running_loop()
    until = loop.time() + seconds
    while request.transport is not None and not request.transport.is_closing():
        if loop.time() >= until:
            return True
        await asyncio.sleep(min(until - loop.time(), TICK * 4))
    return False


def _unanswered(end):
    """What the handler returns once the connection is gone, with its outcome: aiohttp's
    attempt to write the response fails quietly, as for any client that left."""
    response = web.Response(status=400, text="no answer\n")
    response.force_close()
    return response, {"status": None, "headers": [], "size": 0, "end": end}


def _reset(request):
    transport = request.transport
    if transport is not None:
        with contextlib.suppress(OSError):  # a zero linger makes the close send RST, not FIN
            sock = transport.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        transport.abort()


def _close(request):
    """Close once what was written has left (close(), not abort(), flushes it)."""
    if request.transport is not None:
        request.transport.close()


def _headers(rule):
    headers = CIMultiDict(rule.headers)
    headers.setdefault("Content-Type", "text/plain; charset=utf-8")
    for name, value in SECURITY_HEADERS.items():
        if name.lower() == "content-security-policy":
            headers.add(name, ANSWER_POLICY)  # beside the rule's own: both apply
        else:
            headers.setdefault(name, value)
    return headers


async def respond(request, rule, timeout, report=None):
    """Carry out `rule` (a Rule or a playback Entry): (response, outcome), the response written
    but for a reset or held connection. The outcome's end: "whole", "cut after N bytes", "reset",
    "held" or "client gone after N bytes". `report`: the usual report's bytes, for report = true.
    """
    if rule.delay and not await _wait(request, rule.delay):
        return _unanswered("client gone after 0 bytes")
    if rule.reset:
        _reset(request)
        return _unanswered("reset")
    if rule.hold:
        await _wait(request, timeout)
        _close(request)
        return _unanswered("held")
    body = (report or b"") if rule.report else (rule.body or b"")
    response = web.StreamResponse(status=rule.status, reason=rule.reason, headers=_headers(rule))
    response["verbatim"] = True  # the service adds none of its headers: these are the rule's
    response.content_length = len(body)
    cut = rule.cut_after is not None and rule.cut_after < len(body)
    if cut:
        response.force_close()
    limit = 0 if request.method == "HEAD" else (rule.cut_after if cut else len(body))
    sent, end, status = 0, "whole", rule.status
    try:
        writer = await response.prepare(request)
        # Recent aiohttp holds the head back for the body's first bytes: a slow answer shows it now.
        flushed = getattr(writer, "send_headers", lambda: None)()
        if asyncio.iscoroutine(flushed):
            await flushed
        view = memoryview(body)
        loop = asyncio.get_running_loop()
        started = loop.time()
        step = BLOCK if rule.rate is None else max(1, min(BLOCK, int(rule.rate * TICK)))
        while sent < limit:
            await response.write(view[sent:min(sent + step, limit)])
            sent = min(sent + step, limit)
            if rule.rate is not None:
                await asyncio.sleep(max(0, started + sent / rule.rate - loop.time()))
        if cut:
            _close(request)
            end = "cut after %d bytes" % sent
        else:
            await response.write_eof()
    except ConnectionError:
        end = "client gone after %d bytes" % sent
        status = rule.status if response.prepared else None
    headers = [[name, value] for name, value in response.headers.items()]
    return response, {"status": status, "headers": headers, "size": sent, "end": end}


# The live rules: GET and PUT /api/answers. -----------------------------------------------------

def _line(status, text):
    return web.Response(status=status, text=text + "\n")  # text/plain; charset=utf-8


class AnswersApi:
    """The rules as JSON. The core's routes refuse a foreign Origin and a Host other than
    loopback before these run; `max_cost` bounds the bytes the rules may hold."""

    def __init__(self, rules, max_cost=None):
        self.rules, self.max_cost = rules, max_cost
        # The files that --answers named: a page may put rules back that read them, never
        # others (the service would serve any file it can read).
        self.files = {rule.data["body_file"] for rule in rules.rules if "body_file" in rule.data}

    async def get(self, request):
        return web.json_response(self.rules.to_json())

    async def put(self, request):
        too_large = "the rules' JSON is over 64 MiB"
        if (request.content_length or 0) > MAX_BODY:
            return _line(413, too_large)
        data = bytearray()
        async for block in request.content.iter_any():
            data += block
            if len(data) > MAX_BODY:
                return _line(413, too_large)
        try:  # parsing and reading body files in a thread: the loop goes on serving
            rules = await asyncio.to_thread(_parse_rules, bytes(data), self.files)
        except RuleError as e:
            return _line(400, str(e))
        if self.max_cost is not None and rules.cost() > self.max_cost:
            return _line(507, "the rules would hold %d bytes, over the %d allowed"
                         % (rules.cost(), self.max_cost))
        self.rules.rules = rules.rules  # in place: every holder of the rules sees them
        return web.json_response(self.rules.to_json())


def _parse_rules(data, files):
    try:
        items = json.loads(data)
    except (ValueError, RecursionError) as e:
        raise RuleError("the rules are not JSON: %s" % report.printable(str(e)))
    for number, item in enumerate(items if isinstance(items, list) else (), 1):
        if isinstance(item, dict) and "body_file" in item and item["body_file"] not in files:
            raise RuleError('rule %d: "body_file" may name only a file of --answers: put the '
                            'body itself' % number)
    return Rules.from_json(items)


# The command line. ------------------------------------------------------------------------------

def add_arguments(parser):
    parser.add_argument("--answers", metavar="FILE",
                        help="answer the requests that match a rule of this TOML file as the "
                             "rule says (also GET and PUT /api/answers)")
    parser.add_argument("--replay", metavar="FILE.har",
                        help="answer each request with the recorded answer of the first entry "
                             "of this HAR log with its method, path and query")
    parser.add_argument("--replay-mode", choices=("once", "always"), default="always",
                        help="play an entry back once, or every time it matches (always)")


def load(args):
    """(Rules or None, Replay or None); a RuleError's one line names the option and the file."""
    from . import replay  # it uses this module's rules
    try:
        rules = None if args.answers is None else load_file(args.answers)
    except RuleError as e:
        raise RuleError("--answers %s: %s" % (report.printable(args.answers), e))
    try:
        playback = None if args.replay is None else replay.load_har(args.replay, args.replay_mode)
    except RuleError as e:
        raise RuleError("--replay %s: %s" % (report.printable(args.replay), e))
    return rules, playback
