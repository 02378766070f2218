"""The project as its users get it: the installed client library used by an outside CMake
project (examples/consumer), the same project with the source tree added as a subdirectory,
and the Debian package unpacked into a scratch root.

Environment (set by CTest): WSCONSOLE_BUILD_DIR (a built build folder), CMAKE_COMMAND,
CPACK_COMMAND, CMAKE_CXX_COMPILER, WSCONSOLE_LINK_FLAGS (what the build links with, e.g. the
sanitizers), WSCONSOLE_VERSION, and WSCONSOLE_BASE_URL as for the end-to-end tests. The console
of the package calls its built-in port, so this runs in a network namespace of its own
(tests/support/own-loopback.sh). Scratch files go to WSCONSOLE_BUILD_DIR/package-test.
"""

import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from test_console import (BANNER, ECHO, IMG_URL, MENU, MESSAGE_REPORT, MSG_URL, PATH1, PATH2,  # noqa: E402
                          PORT, QUIT, TIMEOUT, image_report, question)
from server_process import DevServer, start_server, stop_server  # noqa: E402

BUILD = pathlib.Path(os.environ.get("WSCONSOLE_BUILD_DIR", ROOT / "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")
CXX = os.environ.get("CMAKE_CXX_COMPILER", "")
LINK_FLAGS = os.environ.get("WSCONSOLE_LINK_FLAGS", "")
VERSION = os.environ.get("WSCONSOLE_VERSION", "1.0.0")
SCRATCH = BUILD / "package-test"
BUILD_TIMEOUT = 600

CONSUMER_REPORT = (b"callWebService: ok\n" + MESSAGE_REPORT + b"postUrlEncoded: ok\n"
                   b"devserver: testMsg received 2 fields\n"
                   b'url-encoded field "name" (5 bytes): Zunel\n'
                   b'url-encoded field "page" (10 bytes): unIDdepage\n')


def run(*command, **kwargs):
    """Runs a tool; a failure shows its output."""
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          timeout=BUILD_TIMEOUT, **kwargs)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(map(str, command)),
                                                        done.returncode, done.stdout[-3000:],
                                                        done.stderr[-3000:]))
    return done.stdout


def scratch(name):
    folder = SCRATCH / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def build_consumer(folder, *definitions):
    flags = [f"-DCMAKE_CXX_COMPILER={CXX}"] if CXX else []
    if LINK_FLAGS:
        flags.append(f"-DCMAKE_EXE_LINKER_FLAGS={LINK_FLAGS}")
    run(CMAKE, "-S", ROOT / "examples" / "consumer", "-B", folder, *flags, *definitions)
    run(CMAKE, "--build", folder, "-j2")
    return folder / "consumer"


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ConsumerTest(unittest.TestCase):
    def assertCallsTheService(self, consumer):
        server = DevServer()
        try:
            done = subprocess.run([consumer, f"http://127.0.0.1:{server.port}"],
                                  capture_output=True, timeout=TIMEOUT)
        finally:
            server.stop()
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, CONSUMER_REPORT, b""))

    def test_installed_package_links_and_both_calls_reach_the_service(self):
        prefix = scratch("prefix")
        run(CMAKE, "--install", BUILD, "--prefix", prefix)
        # The public headers only: the buffer and libcurl's owners stay inside the library.
        self.assertEqual(sorted(p.name for p in (prefix / "include" / "wsclient").iterdir()),
                         ["FieldMap.h", "WebServiceClient.h"])
        consumer = build_consumer(scratch("consumer"), f"-DCMAKE_PREFIX_PATH={prefix}")
        self.assertCallsTheService(consumer)

        refused = subprocess.run([consumer, f"http://127.0.0.1:{closed_port()}"],
                                 capture_output=True, timeout=TIMEOUT)
        self.assertEqual((refused.returncode, refused.stdout, refused.stderr),
                         (1, b"callWebService: failed\npostUrlEncoded: failed\n"
                             b"Couldn't connect to server\n",
                          b"curl_easy_perform() failed: Couldn't connect to server\n"))

    def test_source_tree_as_a_subdirectory_builds_the_library_alone(self):
        folder = scratch("consumer-subdirectory")
        consumer = build_consumer(folder, f"-DWSCONSOLE_SOURCE_DIR={ROOT}")
        # A parent project gets neither the tests nor the bench nor the console.
        cache = (folder / "CMakeCache.txt").read_text()
        self.assertNotIn("GTest_DIR", cache)
        self.assertNotIn("RapidJSON_DIR", cache)
        for skipped in ("tests", "bench", "app"):
            self.assertFalse((folder / "wsconsole" / skipped).exists(), skipped)
        self.assertCallsTheService(consumer)


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = scratch("deb")
        run(CPACK, "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", folder)
        arch = run("dpkg", "--print-architecture").strip()
        cls.deb = folder / f"wsconsole_{VERSION}_{arch}.deb"
        cls.root = scratch("root")
        run("dpkg-deb", "-x", cls.deb, cls.root)
        cls.console = cls.root / "usr" / "bin" / "wsconsole"

    def session(self, stdin, cwd=None):
        done = subprocess.run([self.console], input=stdin, cwd=cwd, capture_output=True,
                              timeout=TIMEOUT)
        return done.returncode, done.stdout, done.stderr

    def test_depends_on_the_run_time_packages(self):
        depends = run("dpkg-deb", "-f", self.deb, "Depends")
        self.assertRegex(depends, r"\blibcurl4(t64)? ")
        self.assertRegex(depends, r"\bpython3, python3-aiohttp, python3-werkzeug\b")

    def test_holds_the_library_for_developers_and_the_service(self):
        usr = self.root / "usr"
        for path in ("include/wsclient/WebServiceClient.h", "include/wsclient/FieldMap.h",
                     "share/wsconsole/devserver.py", "share/wsconsole/wsdevserver/server.py",
                     "share/wsconsole/wsdevserver/store.py", "share/wsconsole/samples/th.jpg",
                     "share/wsconsole/samples/6uD78iT-.jpeg"):
            with self.subTest(path):
                self.assertTrue((usr / path).is_file())
        configs = [p.relative_to(usr).as_posix() for p in usr.glob("lib*/**/wsclientConfig.cmake")]
        self.assertRegex(" ".join(configs), r"^lib(/[a-z0-9_-]+)?/cmake/wsclient/wsclientConfig.cmake$")
        self.assertEqual(len(list(usr.glob("lib*/**/libwsclient.a"))), 1)

    def test_console_runs_from_the_scratch_root(self):
        self.assertEqual(self.session(b"3\ny\n"), (0, BANNER + MENU + QUIT, b""))

    def test_console_calls_the_packaged_service_with_its_samples(self):
        share = self.root / "usr" / "share" / "wsconsole"
        proc, port, log = start_server(port=PORT, server=share / "devserver.py")
        try:
            self.assertEqual(port, PORT, "".join(log))
            with tempfile.TemporaryDirectory(prefix="wsconsole-deb-") as folder:
                shutil.copy(share / "samples" / "6uD78iT-.jpeg", os.path.join(folder, PATH1))
                shutil.copy(share / "samples" / "th.jpg", os.path.join(folder, PATH2))
                outcome = self.session(b"1 1 n 2 1 y\n", cwd=folder)
        finally:
            stop_server(proc)
        self.assertEqual(outcome, (0, BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT +
                                   MENU + question(IMG_URL) + ECHO + image_report() + QUIT, b""))


if __name__ == "__main__":
    unittest.main()
