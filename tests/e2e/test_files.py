"""End-to-end tests: the image call with its files missing, unreadable, odd or large.

The console reads two fixed file names from its current folder. For each state of those files
the call either uploads them intact (the development web service reports the size and sha256 of
each part) or fails with the error line on standard error, and the web service then received no
complete upload. The 128 MiB upload runs only with WSCONSOLE_SLOW=1 (the CTest test e2e_slow),
and never under a WSCONSOLE_WRAPPER such as valgrind.
"""

import hashlib
import http.client
import itertools
import os
import shutil
import subprocess
import threading
import time
import unittest

from test_console import (BANNER, CANNOT_READ, CONSOLE, ECHO, IMG_URL, MENU, PATH1, PATH2, PORT,
                          QUIT, SAMPLES, TIMEOUT, WRAPPER, ConsoleTest, question)
from server_process import DevServer  # found through the path that test_console sets up

SLOW = os.environ.get("WSCONSOLE_SLOW") == "1"
SESSION = b"2\n1\nn\n3\ny\n"  # the image call, a pass without a call, quit
FIELDS = (("file", PATH1, "6uD78iT-.jpeg"), ("file2", PATH2, "th.jpg"))
RUN_AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
_sentinels = itertools.count()


def session(call_output):
    return BANNER + MENU + question(IMG_URL) + ECHO + call_output + QUIT + MENU + QUIT


def report(contents):
    """The web service's report of an upload of `contents`, the bytes of file and file2."""
    lines = [b"devserver: testImg received 2 fields\n"]
    for (name, path, _), data in zip(FIELDS, contents):
        lines.append(f'file field "{name}": "{path}", {len(data)} bytes, '
                     f'sha256 {hashlib.sha256(data).hexdigest()}\n'.encode())
    return b"".join(lines)


class WithImages(ConsoleTest):
    """The development web service on the console's port, and the sample images in place."""

    @classmethod
    def setUpClass(cls):
        cls.server = DevServer(port=PORT)
        cls.samples = [(SAMPLES / sample).read_bytes() for _, _, sample in FIELDS]

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        super().setUp()
        self.provide_images()

    def path(self, index):
        return os.path.join(self.folder, FIELDS[index][1])

    def server_log_of(self, run):
        """Runs `run` and returns the web service's log lines written meanwhile. A request sent
        after `run` marks the end: the console's requests were all answered before it exited."""
        first = len(self.server.log)
        run()
        mark = "/after-%d" % next(_sentinels)
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=TIMEOUT)
        try:
            conn.request("GET", mark)
            conn.getresponse().read()
        finally:
            conn.close()
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            lines = self.server.log[first:]
            ends = [i for i, line in enumerate(lines) if mark + " 404" in line]
            if ends:
                return lines[:ends[0]]
            time.sleep(0.01)
        self.fail("the web service did not log %s" % mark)

    def assertUploads(self, contents):
        self.assertSession(SESSION, session(report(contents)))

    def assertFails(self, command=(), console=CONSOLE):
        """The call fails with the error line, and no upload completed at the web service."""
        def run():
            done = subprocess.run([*command, *WRAPPER, console], input=SESSION, cwd=self.folder,
                                  capture_output=True, timeout=TIMEOUT)
            self.assertEqual(done.stdout, session(b""))
            self.assertEqual(done.stderr, CANNOT_READ)
            self.assertEqual(done.returncode, 0)
        log = self.server_log_of(run)
        self.assertEqual([line for line in log if "testImg 200" in line], [])


class FileTest(WithImages):
    def test_a_missing_file_fails_the_call(self):
        for index in (0, 1):
            with self.subTest(FIELDS[index][0]):
                os.remove(self.path(index))
                self.assertFails()
                self.provide_images()
        with self.subTest("dangling symbolic link"):
            os.remove(self.path(0))
            os.symlink(os.path.join(self.folder, "nowhere"), self.path(0))
            self.assertFails()

    def test_an_unreadable_file_fails_the_call(self):
        command, console = [], CONSOLE
        if os.geteuid() == 0:
            # Root reads a file of mode 000 all the same: the console then runs as nobody, from
            # a copy in the scratch folder, since nobody may not reach the build folder.
            if shutil.which("setpriv") is None:
                self.skipTest("running as root and setpriv is missing: mode 000 cannot deny root")
            command, console = RUN_AS_NOBODY, os.path.join(self.folder, "wsconsole")
            shutil.copy(CONSOLE, console)
            os.chmod(self.folder, 0o755)
            for index in (0, 1):
                os.chmod(self.path(index), 0o644)
            probe = subprocess.run([*command, *WRAPPER, console], input=b"", cwd=self.folder,
                                   capture_output=True, timeout=TIMEOUT)
            if (probe.returncode, probe.stdout) != (0, BANNER + MENU):
                self.skipTest("running as root and nobody cannot run the console: %r"
                              % probe.stderr[-300:])
        for index in (0, 1):
            with self.subTest(FIELDS[index][0]):
                os.chmod(self.path(index), 0)
                self.assertFails(command, console)
                os.chmod(self.path(index), 0o644)

    def test_an_empty_file_uploads_as_an_empty_part(self):
        for index in (0, 1):
            with self.subTest(FIELDS[index][0]):
                open(self.path(index), "wb").close()
                contents = list(self.samples)
                contents[index] = b""
                self.assertUploads(contents)
                self.provide_images()

    def test_a_folder_in_place_of_a_file_fails_the_call(self):
        # libcurl would open a folder as it opens a file and send an empty part under its name:
        # the console refuses it as a file it cannot read.
        for index in (0, 1):
            with self.subTest(FIELDS[index][0]):
                os.remove(self.path(index))
                os.mkdir(self.path(index))
                self.assertFails()
                os.rmdir(self.path(index))
                self.provide_images()

    def test_a_pipe_in_place_of_a_file_uploads_what_is_written_to_it(self):
        # A file of unknown size goes out in chunks; the request ends when the writer closes.
        data = bytes(range(256)) * 400
        os.remove(self.path(0))
        os.mkfifo(self.path(0))

        def write():
            with open(self.path(0), "wb") as pipe:  # waits for the console to open it
                pipe.write(data)
        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        try:
            self.assertUploads([data, self.samples[1]])
        finally:
            if writer.is_alive():  # the console never opened the pipe: release the writer
                os.close(os.open(self.path(0), os.O_RDONLY | os.O_NONBLOCK))
            writer.join(10)


@unittest.skipUnless(SLOW, "slow: runs with WSCONSOLE_SLOW=1 (CTest test e2e_slow)")
@unittest.skipIf(WRAPPER, "too slow under WSCONSOLE_WRAPPER")
class SlowFileTest(WithImages):
    def test_a_128_mib_file_uploads_intact(self):
        big = os.urandom(128 << 20)
        with open(self.path(0), "wb") as f:
            f.write(big)
        self.assertUploads([big, self.samples[1]])


if __name__ == "__main__":
    unittest.main()
