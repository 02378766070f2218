"""Scripted answers and playback, in-process: the checks of a rule against their one line, what
a client sees of each kind of answer, the live rules' API, and a HAR played back."""

import asyncio
import base64
import json
import os
import sys
import tempfile
import types
import unittest
from unittest import mock

from aiohttp import ClientSession, web
from aiohttp.test_utils import TestClient, TestServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "devserver"))
from wsdevserver import answers, replay  # noqa: E402
from wsdevserver.answers import RuleError, Rules  # noqa: E402
from server_process import InProcess  # noqa: E402

MIB64 = 64 * 1024 * 1024
REPORT = b"devserver: testMsg received 0 fields\n"


def temp_file(test, data, suffix=""):
    fd, path = tempfile.mkstemp(suffix=suffix)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    test.addCleanup(os.unlink, path)
    return path


class Checks(unittest.TestCase):
    def test_each_bad_rule_is_one_line_naming_rule_and_key(self):
        cases = [
            ([{"stauts": 500}], 'rule 1: unknown key "stauts"'),
            ([{}, {}, {"status": "500"}], 'rule 3: "status" must be a whole number, not a string'),
            ([{"delay": True}], 'rule 1: "delay" must be a number of seconds, not true or false'),
            ([{"path": "/a[b"}], 'rule 1: "path" is a bad glob: the "[" at character 3 is not '
                                 'closed'),
            ([{"header": {"name": "X", "value": "[a"}}],
             'rule 1: "header.value" is a bad glob: the "[" at character 1 is not closed'),
            ([{"header": {"nam": "X"}}], 'rule 1: unknown key "header.nam"'),
            ([{"status": 99}], 'rule 1: "status" must be from 100 to 599, not 99'),
            ([{"status": 600}], 'rule 1: "status" must be from 100 to 599, not 600'),
            ([{"body": "x" * (MIB64 + 1)}], 'rule 1: "body" is over 64 MiB (67108865 bytes)'),
            ([{}] * 1001, "rule 1001: more than 1000 rules"),
            ([{"body": "x", "report": True}],
             'rule 1: "report" with "body": give one of body, body_file and report'),
            ([{"reset": True, "body": "x"}], 'rule 1: "body" with "reset": reset answers nothing'),
            ([{"cut_after": 3, "hold": True}],
             'rule 1: "cut_after" with "hold": hold answers nothing'),
            ([{"status": 204, "body": "x"}], 'rule 1: "body" with status 204, which has no body'),
            ([{"headers": {"Content-Length": "5"}}],
             'rule 1: "headers" may not set Content-Length: the service frames the body'),
            ([{"headers": {"X-A": "1\r\nX-B: 2"}}],
             'rule 1: "headers.X-A" holds a line break or a control character'),
            ([{"stat\nus": 1}], 'rule 1: unknown key "stat\\nus"'),
            (["GET"], "rule 1: must be a table, not a string"),
        ]
        for items, line in cases:
            with self.subTest(line=line):
                with self.assertRaises(RuleError) as caught:
                    Rules.from_json(items)
                self.assertEqual(str(caught.exception), line)
                self.assertIsInstance(caught.exception, ValueError)

    def test_body_file_over_64_mib(self):
        path = temp_file(self, b"")
        os.truncate(path, MIB64 + 1)  # sparse: nothing is written
        with self.assertRaises(RuleError) as caught:
            Rules.from_json([{"body": "x"}, {"body_file": path}])
        self.assertEqual(str(caught.exception), 'rule 2: "body_file" is over 64 MiB')

    def test_command_line_names_the_option_and_the_file(self):
        good = temp_file(self, b"[[answer]]\npath = '/x'\nbody_file = 'b'\n", ".toml")
        body = os.path.join(os.path.dirname(good), "b")
        with open(body, "wb") as f:
            f.write(b"from a file\n")
        self.addCleanup(os.unlink, body)
        args = types.SimpleNamespace(answers=good, replay=None, replay_mode="always")
        rules, playback = answers.load(args)
        self.assertIsNone(playback)
        self.assertEqual(rules.match("GET", "/x", "", {})[1].body, b"from a file\n")
        # Put back from the page, the rules still find the file wherever the service runs.
        self.assertEqual(Rules.from_json(rules.to_json()).rules[0].body, b"from a file\n")
        for text, end in [(b"[[answer]]\nstauts = 5\n", ': rule 1: unknown key "stauts"'),
                          (b"[[answer]\n", ": not TOML: "),
                          (b"[[answr]]\n", ': unknown key "answr": the file holds [[answer]] '
                                           'tables')]:
            path = temp_file(self, text, ".toml")
            with self.subTest(text=text), self.assertRaises(RuleError) as caught:
                answers.load(types.SimpleNamespace(answers=path, replay=None))
            line = str(caught.exception)
            self.assertTrue(line.startswith("--answers %s" % path), line)
            self.assertIn(end, line)
            self.assertNotIn("\n", line)


class Matching(unittest.TestCase):
    RULES = [
        {"name": "off", "enabled": False, "path": "/a"},
        {"method": "get", "path": "/a", "query": "x=1"},
        {"path": "/img/*.jp?g"},
        {"path": "/v[0-9]/[!x]*"},
        {"header": {"name": "x-mode", "value": "slow*"}, "times": 2},
        {"header": {"name": "X-Any"}},
        {"part": "ima[g]e", "status": 201},
        {"path": "/a", "status": 404},
    ]

    def test_first_enabled_rule_that_matches(self):
        cases = [
            (("GET", "/a", "x=1", {}), 1),
            (("get", "/a", "x=1", {}), 1),
            (("POST", "/a", "x=1", {}), 7),  # method differs: the next rule on /a
            (("GET", "/a", "x=12", {}), 7),
            (("GET", "/img/cat.jpeg", "", {}), 2),
            (("GET", "/img/a/b.jpEg", "", {}), 2),  # * goes across slashes
            (("GET", "/img/cat.png", "", {}), None),
            (("GET", "/v2/y", "", {}), 3),
            (("GET", "/v2/x", "", {}), None),
            (("GET", "/b", "", [("X-Mode", "fast"), ("X-MODE", "slowly")]), 4),
            (("GET", "/b", "", {"X-Any": ""}), 5),
            (("POST", "/up", "", {}), None),  # a part rule waits for the body
            (("POST", "/up", "", {}, ["message", "image"]), 6),
            (("POST", "/up", "", {}, ["message"]), None),
        ]
        for args, index in cases:
            rules = Rules.from_json(self.RULES)
            with self.subTest(args=args):
                found = rules.match(*args)
                self.assertEqual(found and found[0], index)

    def test_times_then_falls_through_and_round_trips(self):
        rules = Rules.from_json(self.RULES)
        self.assertEqual(rules.to_json(), self.RULES)
        self.assertTrue(rules.needs_body())
        got = [rules.match("GET", "/b", "", {"x-mode": "slow"}) for _ in range(3)]
        self.assertEqual([g and g[0] for g in got], [4, 4, None])
        self.assertEqual(rules.to_json()[4]["times"], 0)
        self.assertEqual(Rules.from_json(rules.to_json()).to_json(), rules.to_json())
        self.assertEqual(got[0][1].label(), "rule 5")
        self.assertFalse(Rules.from_json([{"part": "x", "enabled": False}]).needs_body())

    def test_glob_takes_linear_time(self):
        # A regex made of the glob would backtrack for ages on this.
        rules = Rules.from_json([{"path": "*a*a*a*a*a*a*a*a*a*a*b"}])
        self.assertIsNone(rules.match("GET", "a" * 8000, "", {}))
        self.assertIsNotNone(rules.match("GET", "a" * 8000 + "b", "", {}))


def tiny_app(rules, playback, timeout, outcomes, api=None):
    """A service that reads the body, then answers as a rule or a recorded entry says."""
    async def handle(request):
        await request.read()
        path, _, query = request.raw_path.partition("?")
        found = rules.match(request.method, path, query, request.headers) if rules else None
        if found is None and playback is not None:
            found = playback.match(request.method, path, query)
            if found is None:
                return web.Response(status=404, text=playback.nearest(request.method, path,
                                                                      query) + "\n")
        response, outcome = await answers.respond(request, found[1], timeout, REPORT)
        outcomes.append((found[1].label(), outcome))
        return response
    app = web.Application()
    if api is not None:
        app.router.add_get("/api/answers", api.get)
        app.router.add_put("/api/answers", api.put)
    app.router.add_route("*", "/{tail:.*}", handle)
    return app


async def raw_exchange(server, head, wait=None):
    """Sends a request head and reads until the service closes: (bytes, the error if any)."""
    reader, writer = await asyncio.open_connection(server.host, server.port)
    writer.write(head)
    data, error = b"", None
    try:
        while True:
            block = await asyncio.wait_for(reader.read(65536), wait)
            if not block:
                break
            data += block
    except (ConnectionResetError, asyncio.TimeoutError) as e:
        error = e
    writer.close()
    return data, error


def split(data):
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = (line.partition(": ") for line in lines[1:])
    return lines[0], {name.lower(): value for name, _, value in fields}, body


GET = b"GET /t HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"


class Answering(unittest.IsolatedAsyncioTestCase):
    async def serve(self, rule, timeout=30.0):
        self.outcomes = []
        rules = Rules.from_json([rule])
        self.server = TestServer(tiny_app(rules, None, timeout, self.outcomes))
        self.client = TestClient(self.server)
        await self.client.start_server()
        self.addAsyncCleanup(self.client.close)

    async def outcome(self):
        for _ in range(200):  # the handler ends after the client has its answer
            if self.outcomes:
                return self.outcomes[0][1]
            await asyncio.sleep(0.05)
        self.fail("no outcome")

    async def test_whole_answers(self):
        cases = [
            ({"status": 503, "reason": "Down", "body": "maintenance\n", "headers": {"X-A": "1"}},
             503, "Down", b"maintenance\n", "text/plain; charset=utf-8"),
            ({"headers": {"content-type": "application/json"}, "body": "{}"},
             200, "OK", b"{}", "application/json"),
            ({"report": True, "status": 500}, 500, "Internal Server Error", REPORT,
             "text/plain; charset=utf-8"),
        ]
        for rule, status, reason, body, content_type in cases:
            with self.subTest(rule=rule):
                await self.serve(rule)
                response = await self.client.post("/t", data=b"ignored")
                self.assertEqual((response.status, response.reason), (status, reason))
                self.assertEqual(await response.read(), body)
                self.assertEqual(response.headers.getall("Content-Type"), [content_type])
                self.assertEqual(response.headers.get("X-A"), rule.get("headers", {}).get("X-A"))
                self.assertIn("sandbox", response.headers["Content-Security-Policy"])
                outcome = await self.outcome()
                self.assertEqual((outcome["status"], outcome["size"], outcome["end"]),
                                 (status, len(body), "whole"))
                self.assertIn(["content-type", content_type],
                              [[name.lower(), value] for name, value in outcome["headers"]])

    async def test_slow_answers_take_their_time(self):
        loop = asyncio.get_running_loop()
        for rule, least in [({"delay": 0.5, "body": "late"}, 0.5),
                            ({"rate": 20, "body": "0123456789"}, 0.45)]:
            with self.subTest(rule=rule):
                await self.serve(rule)
                started = loop.time()
                response = await self.client.get("/t")
                body = await response.read()
                self.assertGreaterEqual(loop.time() - started, least)
                self.assertEqual(body, rule["body"].encode())
                self.assertEqual((await self.outcome())["end"], "whole")

    async def test_cut_answer_declares_all_and_sends_part(self):
        for cut in (0, 5):
            with self.subTest(cut=cut):
                await self.serve({"cut_after": cut, "body": "0123456789"})
                data, error = await raw_exchange(self.server, GET)
                line, headers, body = split(data)
                self.assertEqual((line, headers["content-length"], body, error),
                                 ("HTTP/1.1 200 OK", "10", b"01234"[:cut], None))
                outcome = await self.outcome()
                self.assertEqual((outcome["size"], outcome["end"]),
                                 (cut, "cut after %d bytes" % cut))

    async def test_reset_answers_nothing(self):
        await self.serve({"reset": True, "status": 500})
        data, error = await raw_exchange(self.server, GET)
        self.assertEqual(data, b"")
        self.assertIsInstance(error, ConnectionResetError)
        self.assertEqual(await self.outcome(), {"status": None, "headers": [], "size": 0,
                                                "end": "reset"})

    async def test_held_until_timeout_or_the_client_goes(self):
        await self.serve({"hold": True}, timeout=1.0)
        loop = asyncio.get_running_loop()
        started = loop.time()
        data, error = await raw_exchange(self.server, GET)
        self.assertGreaterEqual(loop.time() - started, 1.0)
        self.assertEqual((data, error), (b"", None))
        self.assertEqual((await self.outcome())["end"], "held")

        # The client goes while held: the service as it serves itself lets it go at once (a test
        # server cancels the handler instead, since aiohttp 3.9).
        service = InProcess()
        self.addCleanup(service.stop)
        url = "http://127.0.0.1:%d" % service.port
        async with ClientSession() as session:
            async with session.put(url + "/api/answers", json=[{"path": "/t", "hold": True}]):
                pass
            _, writer = await asyncio.open_connection("127.0.0.1", service.port)
            writer.write(GET)

            async def held(end):
                async with session.get(url + "/api/requests") as listed:
                    return any(r["answer_end"] == end for r in (await listed.json())["requests"])
            deadline = asyncio.get_running_loop().time() + 10  # the time limit is 15 s
            for end in (None, "held"):  # listed while it is held; then its end
                while not await held(end):
                    self.assertLess(asyncio.get_running_loop().time(), deadline, end)
                    await asyncio.sleep(0.05)
                writer.close()


class LiveRules(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.rules = Rules.from_json([{"path": "/a", "status": 503}])
        app = tiny_app(self.rules, None, 5.0, [], answers.AnswersApi(self.rules))
        self.client = TestClient(TestServer(app))
        await self.client.start_server()
        self.addAsyncCleanup(self.client.close)

    async def put(self, data):
        response = await self.client.put("/api/answers", data=data)
        return response.status, await response.text()

    async def test_put_replaces_or_refuses_with_one_line(self):
        new = [{"path": "/a", "status": 418, "name": "teapot"}, {"path": "/b", "times": 1}]
        self.assertEqual(await self.put(json.dumps(new)), (200, json.dumps(new)))
        self.assertEqual((await self.client.get("/a")).status, 418)
        for data, status, line in [
                (json.dumps([{"status": 42}]), 400,
                 'rule 1: "status" must be from 100 to 599, not 42'),
                ("[{", 400, None),
                ("[" + "{}," * 1000 + "{}]", 400, "rule 1001: more than 1000 rules"),
                (json.dumps([{"body_file": "/etc/hostname"}]), 400,  # a page reads no file
                 'rule 1: "body_file" may name only a file of --answers: put the body itself')]:
            with self.subTest(data=data[:20]):
                got_status, text = await self.put(data)
                self.assertEqual(got_status, status)
                self.assertEqual(text.count("\n"), 1)
                if line is not None:
                    self.assertEqual(text, line + "\n")
        response = await self.client.get("/api/answers")
        self.assertEqual(await response.json(), new)

    async def test_json_over_the_limit_is_refused(self):
        with mock.patch.object(answers, "MAX_BODY", 1000):
            status, text = await self.put("[" + " " * 1000 + "]")
        self.assertEqual(status, 413)
        self.assertEqual(len(self.rules), 1)


def har(entries):
    return json.dumps({"log": {"version": "1.2", "creator": {"name": "t", "version": "1"},
                               "entries": entries}}).encode()


def har_entry(method, url, status, text="", encoding=None, headers=(), reason=""):
    content = {"size": -1, "mimeType": "text/plain", "text": text}
    if encoding:
        content["encoding"] = encoding
    return {"request": {"method": method, "url": url, "headers": []},
            "response": {"status": status, "statusText": reason, "content": content,
                         "headers": [{"name": n, "value": v} for n, v in headers]}}


PNG = b"\x89PNG\r\n\x1a\n\x00\xff"
RECORDED = har([
    har_entry("GET", "https://svc.example/a?x=1", 200, "hello\n",
              headers=[("Content-Type", "text/plain"), ("X-Rec", "yes"),
                       ("Transfer-Encoding", "chunked"), ("Content-Length", "99"),
                       ("Content-Encoding", "gzip"), (":status", "200")]),
    har_entry("POST", "https://svc.example/img", 201, base64.b64encode(PNG).decode(),
              "base64", [("Content-Type", "image/png")], reason="Made"),
    har_entry("GET", "https://svc.example/gone", 0),  # a request that got no answer
    har_entry("GET", "https://svc.example/a?x=1", 500, "second\n"),
])


class Playback(unittest.IsolatedAsyncioTestCase):
    async def serve(self, mode):
        self.playback = replay.load_har(temp_file(self, RECORDED, ".har"), mode)
        self.client = TestClient(TestServer(tiny_app(None, self.playback, 5.0, [])))
        await self.client.start_server()
        self.addAsyncCleanup(self.client.close)

    async def call(self, method, url):
        response = await self.client.request(method, url)
        return response.status, await response.read(), response

    async def test_always_plays_the_first_entry_with_its_headers_and_body(self):
        await self.serve("always")
        for _ in range(2):
            status, body, response = await self.call("GET", "/a?x=1")
            self.assertEqual((status, body), (200, b"hello\n"))
            self.assertEqual(response.headers["X-Rec"], "yes")
            self.assertEqual(response.headers["Content-Length"], "6")
            self.assertNotIn("Content-Encoding", response.headers)
            self.assertNotIn("Transfer-Encoding", response.headers)
        status, body, response = await self.call("POST", "/img")
        self.assertEqual((status, response.reason, body), (201, "Made", PNG))
        self.assertEqual(response.headers["Content-Type"], "image/png")
        status, body, _ = await self.call("GET", "/gone")
        self.assertEqual((status, body), (404, b"no recorded answer for GET /gone: nearest is "
                                               b"entry 1, GET /a?x=1\n"))

    async def test_once_plays_each_entry_once(self):
        await self.serve("once")
        got = [(await self.call("GET", "/a?x=1"))[:2] for _ in range(3)]
        self.assertEqual(got, [(200, b"hello\n"), (500, b"second\n"),
                               (404, b"no recorded answer for GET /a?x=1: nearest is entry 2, "
                                     b"POST /img\n")])
        await self.call("POST", "/img")
        self.assertEqual(self.playback.nearest("get", "/x\n\x1b[0m", ""),
                         "no recorded answer for GET /x\\n\\x1b[0m: every entry has been "
                         "played once")

    def test_bad_logs_are_one_line(self):
        for data, line in [
                (b"{", None),
                (har([har_entry("GET", "/", 200, "*", "base64")]),
                 "entry 1: the content's text is not base64"),
                (har([{"request": {}}]),
                 "entry 1: no request method and URL, or no response status")]:
            with self.subTest(line=line), self.assertRaises(RuleError) as caught:
                answers.load(types.SimpleNamespace(answers=None, replay_mode="once",
                                                   replay=temp_file(self, data, ".har")))
            self.assertTrue(str(caught.exception).startswith("--replay "))
            self.assertNotIn("\n", str(caught.exception))
            if line is not None:
                self.assertTrue(str(caught.exception).endswith(": " + line))


if __name__ == "__main__":
    unittest.main()
