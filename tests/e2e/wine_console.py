"""End-to-end tests of the Windows build: wsconsole.exe under Wine.

The cases of test_console.py that prove the platform, run against wsconsole.exe through wine,
plus the answers as a Windows console types them. Wine starts each process slowly, so these are
few. The images are put at their real paths, C:\\Users\\Zunel\\Pictures\\, on the C: drive of the
scratch Wine prefix (never the user's own). Standard output and standard error are compared
byte for byte after CR LF is turned into LF; every line end must be a CR LF, as the C runtime's
text mode writes it.

Environment: WSCONSOLE_BIN (wsconsole.exe), WSCONSOLE_BASE_URL (what it was built with),
WINEPREFIX (required), and Wine's own settings (WINEDEBUG, WINEDLLOVERRIDES). The development
web service listens on the port of WSCONSOLE_BASE_URL: run these where that port is free (a
network namespace of their own, as scripts/ci/windows.sh does). Not collected by the Linux
end-to-end run (pattern test_*.py); run with -p "wine_*.py".
"""

import os
import pathlib
import re
import shutil
import subprocess
import unittest

import test_console as linux
from test_console import (BANNER, ECHO, IMG_URL, MENU, MESSAGE_REPORT, MSG_URL, QUIT, SAMPLES,
                          question)

CONSOLE = os.environ.get("WSCONSOLE_BIN", "")
WINE = os.environ.get("WSCONSOLE_WINE", "wine")
PREFIX = os.environ.get("WINEPREFIX", "")
# Wine's first start in a fresh prefix takes tens of seconds; later ones a second or two.
TIMEOUT = 120
BARE_LF = re.compile(rb"(?<!\r)\n")


def windows_image_report():
    # libcurl for Windows names each file part by the path's last component: a backslash
    # separates folders there, while on Linux the whole path is one file name.
    report = linux.image_report()
    for path in (linux.PATH1, linux.PATH2):
        report = report.replace(b'"' + path.encode() + b'"',
                                b'"' + path.rsplit("\\", 1)[1].encode() + b'"')
    return report


class OnWine:
    """Runs the console of the Linux test cases as wsconsole.exe under Wine."""

    @classmethod
    def setUpClass(cls):
        if not CONSOLE or not PREFIX:
            raise unittest.SkipTest("WSCONSOLE_BIN and WINEPREFIX name the build and its prefix")
        cls.pictures = pathlib.Path(PREFIX) / "drive_c" / "users" / "Zunel" / "Pictures"
        super().setUpClass()

    def provide_images(self):
        self.pictures.mkdir(parents=True, exist_ok=True)
        for sample in ("6uD78iT-.jpeg", "th.jpg"):
            shutil.copy(SAMPLES / sample, self.pictures / sample)
            self.addCleanup((self.pictures / sample).unlink)

    def assertSession(self, stdin, stdout, stderr=b"", env=None):
        done = subprocess.run([WINE, CONSOLE], input=stdin, cwd=self.folder, capture_output=True,
                              timeout=TIMEOUT, env=env or linux.console_environment())
        for name, stream in (("stdout", done.stdout), ("stderr", done.stderr)):
            self.assertIsNone(BARE_LF.search(stream), "%s has a line end without CR: %r"
                              % (name, stream))
        expected = stdout.replace(linux.image_report(), windows_image_report())
        self.assertEqual(done.stdout.replace(b"\r\n", b"\n"), expected)
        self.assertEqual(done.stderr.replace(b"\r\n", b"\n"), stderr)
        self.assertEqual(done.returncode, 0)


class WineWithDevServer(OnWine, linux.WithDevServer):
    def test_both_calls_answered_one_per_line_as_a_windows_console_types_them(self):
        self.provide_images()
        self.assertSession(b"1\r\n1\r\nn\r\n2\r\n1\r\ny\r\n",
                           BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT +
                           MENU + question(IMG_URL) + ECHO + linux.image_report() + QUIT)


class WineWithoutServer(OnWine, linux.WithoutServer):
    pass


# The Linux cases that prove the platform: the full dialogue with both calls typed ahead, the
# images missing, a refused connection and the end of input at each question.
CASES = {
    WineWithDevServer: ["test_both_calls_answered_one_per_line_as_a_windows_console_types_them",
                        "test_both_calls_in_one_session_typed_ahead_on_one_line",
                        "test_image_call_without_the_files_reports_the_failure_and_goes_on"],
    WineWithoutServer: ["test_a_refused_connection_is_reported_and_the_loop_goes_on",
                        "test_the_end_of_input_at_any_question_ends_the_program"],
}


def load_tests(loader, standard_tests, pattern):
    suite = unittest.TestSuite()
    for case, names in CASES.items():
        suite.addTests(case(name) for name in names)
    return suite


if __name__ == "__main__":
    unittest.main()
