"""End-to-end tests: the console against a web service that misbehaves on purpose.

Each case serves an answer rule of the development service, or where HTTP cannot say it a scenario
of misbehaving_server.py, on the console's built-in port, makes the message call, and compares
the console's standard output and standard error byte for byte. A
failed transfer prints nothing after the endpoint question but the quit question, and one line
"curl_easy_perform() failed: <libcurl's text>" on standard error; a completed one prints the body
up to its first 0 byte, whatever the HTTP status. Either way the loop goes on: every session
answers "n", then makes a pass without a call, then quits.

StandardStreamTest gives the console standard streams that fail, come late or are closed: a
failure ends the program with status 1 and, where standard error still works, one line there.

The 256 MiB answer runs only with WSCONSOLE_SLOW=1 (the CTest test e2e_slow), and never under a
WSCONSOLE_WRAPPER such as valgrind.
"""

import errno
import fcntl
import hashlib
import http.client
import json
import os
import subprocess
import tempfile
import threading
import time
import unittest

from misbehaving_server import CHUNKED_BODY, PROXY_BODY, MisbehavingServer, big_body_blocks
from test_console import (BANNER, CONSOLE, ECHO, GOT_NOTHING, IMG_URL, MENU, MSG_URL, PARTIAL, PORT,
                          QUIT, RECEIVE_FAILED, REFUSED, TIMEOUT, WRAPPER, ConsoleTest,
                          console_environment, question)
from server_process import start_server, stop_server  # beside test_console's: in tests/devserver

SLOW = os.environ.get("WSCONSOLE_SLOW") == "1"
# What the scripted answers send. PERCENT_BODY reaches the console's output as data: its percent
# signs must come out unchanged, and nothing after its first 0 byte.
ERROR_BODY = "internal error: the service fell over\n"
PERCENT_BODY = "100%s%d%n%x%p %% 50%\n%s\0after the zero byte%n\n"
TRICKLE_BODY = "one byte at a time, fifty of them, over two seconds"[:50]
RULES = b"""[[answer]]
path = "*/testMsg"
status = 503
body = "maintenance\\n"
delay = 1

[[answer]]
path = "*/testImg"
reset = true
"""
MSG_SESSION = b"1\n1\nn\n3\ny\n"
IMG_SESSION = b"2\n1\nn\n3\ny\n"
MSG_REQUEST_LINE = b"POST /Vortan/BackOffice/trunk/webservice/zunel/testMsg HTTP/1.1"


def session(call_output):
    """The whole standard output of MSG_SESSION when the call prints `call_output`."""
    return BANNER + MENU + question(MSG_URL) + call_output + QUIT + MENU + QUIT


class FaultTest(ConsoleTest):
    @staticmethod
    def serve(scenario):
        return MisbehavingServer(scenario, port=PORT, deadline=TIMEOUT + 10)

    def assertServed(self, server, requests=1):
        self.assertIsNone(server.error)
        self.assertEqual([head.split(b"\r\n", 1)[0] for head in server.requests],
                         [MSG_REQUEST_LINE] * requests)

    def test_a_connection_closed_without_an_answer_prints_libcurls_error_line(self):
        with self.serve("close") as server:  # no HTTP answer at all: no rule can say it
            self.assertSession(MSG_SESSION, session(b""), GOT_NOTHING)
        self.assertServed(server)

    def test_a_port_where_nobody_listens_is_refused(self):
        with self.serve("refuse") as server:  # holds the port: nothing else can answer there
            self.assertSession(MSG_SESSION, session(b""), REFUSED)
        self.assertServed(server, requests=0)

    def test_thousands_of_tiny_chunks_print_the_whole_body(self):
        with self.serve("chunked") as server:  # chunk sizes split across reads
            self.assertSession(MSG_SESSION, session(CHUNKED_BODY))
        self.assertServed(server)

    def test_libcurl_sends_the_call_to_the_proxy_in_http_proxy_unless_no_proxy_names_the_host(self):
        cases = [  # no_proxy, whether the proxy takes the call
            (None, True),
            ("localhost,127.0.0.1", False),
        ]
        for no_proxy, proxied in cases:
            with self.subTest(no_proxy=no_proxy):
                with MisbehavingServer("proxy", deadline=TIMEOUT + 10) as proxy, \
                        self.serve("empty") as service:
                    env = console_environment(http_proxy="http://127.0.0.1:%d" % proxy.port)
                    if no_proxy:
                        env["no_proxy"] = no_proxy
                    self.assertSession(MSG_SESSION, session(PROXY_BODY if proxied else b""),
                                       env=env)
                self.assertIsNone(proxy.error)
                # A proxy gets the whole URL in its request line.
                self.assertEqual([head.split(b"\r\n", 1)[0] for head in proxy.requests],
                                 [b"POST %s HTTP/1.1" % MSG_URL.encode()] if proxied else [])
                self.assertServed(service, requests=0 if proxied else 1)

    def test_the_image_call_reports_a_failure_behind_the_echoed_path(self):
        self.provide_images()
        with self.serve("close") as server:
            self.assertSession(IMG_SESSION,
                               BANNER + MENU + question(IMG_URL) + ECHO + QUIT + MENU + QUIT,
                               GOT_NOTHING)
        self.assertIsNone(server.error)
        self.assertEqual(len(server.requests), 1)


class ScriptedFaultTest(ConsoleTest):
    """The development service answering as its rules say: from a file at start, then put live
    for each row."""

    @classmethod
    def setUpClass(cls):
        folder = tempfile.mkdtemp(prefix="wsconsole-rules-")
        cls.addClassCleanup(lambda: (os.unlink(cls.rules), os.rmdir(folder)))
        cls.rules = os.path.join(folder, "rules.toml")
        with open(cls.rules, "wb") as f:
            f.write(RULES)
        cls.proc, port, log = start_server("--answers", cls.rules, port=PORT)
        cls.addClassCleanup(stop_server, cls.proc)
        if port is None:
            raise RuntimeError("service did not start: %s" % "".join(log))

    def api(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
        try:
            conn.request(method, path, body, {"Content-Type": "application/json"})
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()

    def test_rules_from_a_file_answer_both_calls_and_name_themselves(self):
        self.provide_images()
        started = time.monotonic()
        self.assertSession(b"1\n1\nn\n2\n1\ny\n",
                           BANNER + MENU + question(MSG_URL) + b"maintenance\n" + QUIT + MENU
                           + question(IMG_URL) + ECHO + QUIT, RECEIVE_FAILED)
        self.assertGreaterEqual(time.monotonic() - started, 1)
        listed = self.api("GET", "/api/requests")["requests"][:2]
        self.assertEqual([(r["status"], r["answered_by"], r["answer_end"]) for r in listed],
                         [(None, "rule 2", "reset"), (503, "rule 1", "whole")])

    def test_each_fault_a_rule_can_say(self):
        self.addCleanup(self.api, "PUT", "/api/answers",
                        json.dumps(self.api("GET", "/api/answers")))
        rows = [  # the rule, what the call prints, the error line
            ({"body": "x" * 1000, "cut_after": 100}, b"", PARTIAL),
            ({"reset": True}, b"", RECEIVE_FAILED),
            ({"body": TRICKLE_BODY, "rate": 25}, TRICKLE_BODY.encode(), b""),
            ({"status": 500, "body": ERROR_BODY}, ERROR_BODY.encode(), b""),  # not a failure
            ({"body": ""}, b"", b""),
            ({"body": PERCENT_BODY}, PERCENT_BODY.split("\0")[0].encode(), b""),
        ]
        for rule, printed, line in rows:
            with self.subTest(rule=sorted(rule)):
                self.api("PUT", "/api/answers", json.dumps([{"path": "*/testMsg", **rule}]))
                self.assertSession(MSG_SESSION, session(printed), line)


def cannot(what, code):
    return b"wsconsole: cannot %s: %s\n" % (what, os.strerror(code).encode())


class StandardStreamTest(ConsoleTest):
    def run_streams(self, session, pause=0, **streams):
        """Runs the console with `streams`, pipes for the others, and `session` on its standard
        input; returns the exit status, standard output and error. With `pause`, standard input
        and output are non-blocking, output takes 4 KiB, and the test writes and reads them only
        after `pause` seconds."""
        in_read, in_write = os.pipe()
        out_read, out_write = os.pipe()
        fcntl.fcntl(out_write, fcntl.F_SETPIPE_SZ, 4096)
        for end in in_read, out_write:
            os.set_blocking(end, pause == 0)
        output = []

        def read_output():
            time.sleep(pause)
            with open(out_read, "rb") as out:
                output.append(out.read())
        reader = threading.Thread(target=read_output, daemon=True)
        reader.start()
        streams = {"stdin": in_read, "stdout": out_write, "stderr": subprocess.PIPE, **streams}
        with subprocess.Popen([*WRAPPER, CONSOLE], cwd=self.folder, **streams) as console:
            os.close(in_read)
            os.close(out_write)
            time.sleep(pause)
            try:
                os.write(in_write, session)
            except BrokenPipeError:
                pass  # the console has ended already
            os.close(in_write)
            err = console.communicate(timeout=TIMEOUT)[1]
        reader.join(TIMEOUT)
        return console.returncode, b"".join(output), err or b""

    def test_failed_streams_end_with_status_1_and_a_late_input_is_waited_for(self):
        folder = os.open(self.folder, os.O_RDONLY)
        self.addCleanup(os.close, folder)
        full = open("/dev/full", "wb")
        self.addCleanup(full.close)
        cases = [  # name, session, streams, exit status, standard output, standard error
            ("stdout full", b"3\ny\n", {"stdout": full}, 1, b"",
             cannot(b"write to standard output", errno.ENOSPC)),
            ("stderr full at a refused call", b"1\n1\ny\n", {"stderr": full}, 1,
             BANNER + MENU + question(MSG_URL), b""),
            ("stdin a folder", b"", {"stdin": folder}, 1, BANNER + MENU,
             cannot(b"read standard input", errno.EISDIR)),
            ("stdin and stdout non-blocking, used late", b"3\nn\n" * 40 + b"3\ny\n",
             {"pause": 0.3}, 0, BANNER + (MENU + QUIT) * 41, b""),
        ]
        with FaultTest.serve("refuse"):
            for name, stdin, streams, code, out, err in cases:
                with self.subTest(name):
                    self.assertEqual(self.run_streams(stdin, **streams), (code, out, err))

    @unittest.skipUnless(os.path.isdir("/proc/self/fd"), "needs /proc")
    @unittest.skipIf(WRAPPER, "a wrapper such as valgrind takes the closed descriptor itself")
    def test_closed_standard_streams_are_opened_on_dev_null(self):
        # Left closed, the descriptor becomes one of libcurl's sockets during the refused call
        # (for 2, the call's error line then goes into it). /proc shows where it leads after.
        for fd, watched, marker in ((1, "stderr", REFUSED), (2, "stdout", QUIT)):
            with self.subTest(fd=fd), FaultTest.serve("refuse"), subprocess.Popen(
                    [*WRAPPER, CONSOLE], cwd=self.folder, stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    preexec_fn=lambda: os.close(fd)) as console:
                timer = threading.Timer(TIMEOUT, console.kill)  # bounds the reads below
                timer.start()
                self.addCleanup(timer.cancel)
                console.stdin.write(b"1\n1\n")
                console.stdin.flush()
                lines = []
                for line in getattr(console, watched):  # up to the call's last line
                    lines.append(line)
                    if line == marker:
                        break
                else:  # the timer ended the console
                    self.fail("%s ended without %r: %r" % (watched, marker, lines))
                link = "/proc/%d/fd/%d" % (console.pid, fd)
                target = os.readlink(link) if os.path.lexists(link) else "closed"
                console.communicate(b"y\n", timeout=TIMEOUT)
                self.assertEqual((target, console.returncode), ("/dev/null", 0))


@unittest.skipUnless(SLOW, "slow: runs with WSCONSOLE_SLOW=1 (CTest test e2e_slow)")
@unittest.skipIf(WRAPPER, "too slow under WSCONSOLE_WRAPPER")
class SlowFaultTest(ConsoleTest):
    def test_a_256_mib_answer_is_printed_whole(self):
        size = 256 << 20
        expected = hashlib.sha256(BANNER + MENU + question(MSG_URL))
        for block in big_body_blocks(size):
            expected.update(block)
        expected.update(QUIT + MENU + QUIT)
        expected_size = len(session(b"")) + size

        with MisbehavingServer("huge", port=PORT, deadline=300) as server, \
                tempfile.TemporaryFile(dir=self.folder) as out:
            done = subprocess.run([CONSOLE], input=MSG_SESSION, cwd=self.folder, stdout=out,
                                  stderr=subprocess.PIPE, timeout=300)
            out.seek(0)
            actual, actual_size = hashlib.sha256(), 0
            for block in iter(lambda: out.read(1 << 20), b""):
                actual.update(block)
                actual_size += len(block)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual((actual_size, actual.hexdigest()), (expected_size, expected.hexdigest()))
        self.assertIsNone(server.error)
        self.assertEqual(len(server.requests), 1)


if __name__ == "__main__":
    unittest.main()
