"""The console unchanged, through the service as a proxy (--upstream) on its built-in port, to a
second service acting as the web service: the console prints the upstream's reports, and both
services' inspectors list the same parts."""

import hashlib
import http.client
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_console import (BANNER, ECHO, IMG_URL, MENU, MSG_URL, MESSAGE_REPORT, PORT, QUIT,  # noqa: E402
                          ConsoleTest, image_report, question, run_console)
from server_process import start_server, stop_server  # noqa: E402


def started(*args, port=0):
    proc, bound, log = start_server(*args, port=port)
    if bound is None:
        stop_server(proc)
        raise RuntimeError("service did not start: %r" % log)
    return proc, bound


def records(port):
    """Every record a service lists, oldest first, whole."""
    def get(path):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            conn.request("GET", path)
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()
    listed = get("/api/requests?limit=200")["requests"]
    return [get("/api/requests/%d" % summary["id"]) for summary in reversed(listed)]


class ThroughTheProxy(ConsoleTest):
    def setUp(self):
        super().setUp()
        self.upstream, self.upstream_port = started()
        self.addCleanup(stop_server, self.upstream)
        self.proxy, _ = started("--upstream", "http://127.0.0.1:%d/" % self.upstream_port, "--timeout", "3",
                                port=PORT)
        self.addCleanup(stop_server, self.proxy)

    def test_both_calls_go_through_and_both_sides_are_recorded(self):
        self.provide_images()
        self.assertSession(b"1 1 n 2 1 y\n",
                           BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT +
                           MENU + question(IMG_URL) + ECHO + image_report() + QUIT)
        mine, theirs = records(PORT), records(self.upstream_port)
        self.assertEqual([r["path"] for r in mine], [r["path"] for r in theirs])
        self.assertEqual(len(mine), 2)
        for proxied, received, report in zip(mine, theirs, (MESSAGE_REPORT, image_report())):
            hashes = [p["sha256"] for p in proxied["parts"]]
            self.assertEqual(hashes, [p["sha256"] for p in received["parts"]])
            self.assertTrue(all(hashes))
            self.assertEqual((proxied["status"], proxied["upstream"]["status"]), (200, 200))
            self.assertEqual(proxied["upstream"]["sha256"], hashlib.sha256(report).hexdigest())
            self.assertEqual(proxied["upstream"]["size"], len(report))
            self.assertLessEqual(proxied["upstream"]["first_byte_seconds"], proxied["upstream"]["total_seconds"])
            forwarded = dict((name.lower(), value) for name, value in received["headers"])
            self.assertEqual(forwarded["x-forwarded-host"], "localhost:%d" % PORT)

    def test_an_upstream_down_is_one_line_the_console_prints(self):
        stop_server(self.upstream)
        code, out, err = run_console(b"1 1 y\n", self.folder)
        self.assertEqual(out, BANNER + MENU + question(MSG_URL)
                         + b"bad gateway: cannot connect to 127.0.0.1: connection refused\n" + QUIT)
        self.assertEqual(code, 0)
        self.assertEqual(records(PORT)[-1]["status"], 502)


if __name__ == "__main__":
    unittest.main()
