"""End-to-end tests: the console against a web service that misbehaves on purpose.

Each case serves one scenario of misbehaving_server.py on the console's built-in port, makes the
message call, and compares the console's standard output and standard error byte for byte. A
failed transfer prints nothing after the endpoint question but the quit question, and one line
"curl_easy_perform() failed: <libcurl's text>" on standard error; a completed one prints the body
up to its first 0 byte, whatever the HTTP status. Either way the loop goes on: every session
answers "n", then makes a pass without a call, then quits.

The 256 MiB answer runs only with WSCONSOLE_SLOW=1 (the CTest test e2e_slow), and never under a
WSCONSOLE_WRAPPER such as valgrind.
"""

import hashlib
import os
import subprocess
import tempfile
import unittest

from misbehaving_server import (CHUNKED_BODY, ERROR_BODY, PERCENT_BODY, PERCENT_TEXT, PROXY_BODY,
                                TRICKLE_BODY, MisbehavingServer, big_body_blocks)
from test_console import (BANNER, CONSOLE, ECHO, IMG_URL, MENU, MSG_URL, PORT, QUIT, TIMEOUT,
                          WRAPPER, ConsoleTest, console_environment, question)

SLOW = os.environ.get("WSCONSOLE_SLOW") == "1"
MSG_SESSION = b"1\n1\nn\n3\ny\n"
IMG_SESSION = b"2\n1\nn\n3\ny\n"
MSG_REQUEST_LINE = b"POST /Vortan/BackOffice/trunk/webservice/zunel/testMsg HTTP/1.1"


def failed(text):
    return b"curl_easy_perform() failed: " + text + b"\n"


def session(call_output):
    """The whole standard output of MSG_SESSION when the call prints `call_output`."""
    return BANNER + MENU + question(MSG_URL) + call_output + QUIT + MENU + QUIT


class FaultTest(ConsoleTest):
    def serve(self, scenario):
        return MisbehavingServer(scenario, port=PORT, deadline=TIMEOUT + 10)

    def assertServed(self, server, requests=1):
        self.assertIsNone(server.error)
        self.assertEqual([head.split(b"\r\n", 1)[0] for head in server.requests],
                         [MSG_REQUEST_LINE] * requests)

    def test_failed_transfers_print_only_libcurls_error_line(self):
        cases = [  # scenario, libcurl's text
            ("close", b"Server returned nothing (no headers, no data)"),
            ("short", b"Transferred a partial file"),  # 100 bytes of 1000 promised
            ("reset", b"Failure when receiving data from the peer"),  # RST after 100 bytes
        ]
        for scenario, text in cases:
            with self.subTest(scenario):
                with self.serve(scenario) as server:
                    self.assertSession(MSG_SESSION, session(b""), failed(text))
                self.assertServed(server)

    def test_a_port_where_nobody_listens_is_refused(self):
        with self.serve("refuse") as server:  # holds the port: nothing else can answer there
            self.assertSession(MSG_SESSION, session(b""), failed(b"Couldn't connect to server"))
        self.assertServed(server, requests=0)

    def test_completed_transfers_print_the_body_up_to_its_first_zero_byte(self):
        cases = [  # scenario, what the call prints
            ("chunked", CHUNKED_BODY),  # 5000 chunks of 1 to 3 bytes
            ("trickle", TRICKLE_BODY),  # 50 bytes over 2 seconds
            ("status500", ERROR_BODY),  # the HTTP status is not a transfer failure
            ("empty", b""),
            ("percent", PERCENT_TEXT),  # percent signs are data, not a format
        ]
        self.assertNotEqual(PERCENT_TEXT, PERCENT_BODY)
        for scenario, printed in cases:
            with self.subTest(scenario):
                with self.serve(scenario) as server:
                    self.assertSession(MSG_SESSION, session(printed))
                self.assertServed(server)

    def test_libcurl_sends_the_call_to_the_proxy_in_http_proxy_unless_no_proxy_names_the_host(self):
        cases = [  # no_proxy, whether the proxy takes the call
            (None, True),
            ("localhost,127.0.0.1", False),
        ]
        for no_proxy, proxied in cases:
            with self.subTest(no_proxy=no_proxy):
                with MisbehavingServer("proxy", deadline=TIMEOUT + 10) as proxy, self.serve("empty") as service:
                    env = console_environment(http_proxy="http://127.0.0.1:%d" % proxy.port)
                    if no_proxy:
                        env["no_proxy"] = no_proxy
                    self.assertSession(MSG_SESSION, session(PROXY_BODY if proxied else b""), env=env)
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
                               failed(b"Server returned nothing (no headers, no data)"))
        self.assertIsNone(server.error)
        self.assertEqual(len(server.requests), 1)


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
