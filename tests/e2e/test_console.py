"""End-to-end tests: the built console driven through its standard input.

Each test runs the wsconsole binary with a scripted input, against the development web
service on the console's built-in port, and compares standard output and standard error byte
for byte. Environment: WSCONSOLE_BIN (the binary), WSCONSOLE_BASE_URL (what it was built with),
WSCONSOLE_CURL_ERROR_TEXT (the command that prints libcurl's texts: tests/support/curl_error_text
built with the console's libcurl), and optionally WSCONSOLE_WRAPPER, a command prefix the
console runs under (e.g. valgrind with --log-file and --error-exitcode, so that its report stays
out of the compared output and its findings show in the exit status).
"""

import hashlib
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "devserver"))
from server_process import DevServer  # noqa: E402

CONSOLE = os.environ.get("WSCONSOLE_BIN", str(ROOT / "build" / "app" / "wsconsole"))
BASE_URL = os.environ.get("WSCONSOLE_BASE_URL", "http://localhost:18080")
PORT = urllib.parse.urlsplit(BASE_URL).port
WRAPPER = shlex.split(os.environ.get("WSCONSOLE_WRAPPER", ""))
# Bounds on what should take a second, for a hung console or service: with slack for a shared,
# loaded machine, and a console under a checker such as valgrind starts and runs many times
# slower.
TIMEOUT = 240 if WRAPPER else 60

SAMPLES = ROOT / "devserver" / "samples"
PATH1 = "C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg"
PATH2 = "C:\\Users\\Zunel\\Pictures\\th.jpg"
MSG_URL = BASE_URL + "/Vortan/BackOffice/trunk/webservice/zunel/testMsg"
IMG_URL = BASE_URL + "/Vortan/BackOffice/trunk/webservice/zunel/testImg"

BANNER = b"bonjour et bienvenue sur l'interface de test du stagiaire malefique : \n"
MENU = (b"que voulez vous faire ? : \n appeller le web service avec un message (tapez 1) \n"
        b" appeler le web service avec une image (tapez 2) \n ")
QUIT = b"wanna quit? y/n : \n"
ECHO = b"chemin du fichier : " + PATH1.encode()


def curl_failed(*codes):
    """The console's error lines for transfers that failed with these CURLcodes, in the words of
    the libcurl it links: they change from one libcurl version to the next."""
    command = shlex.split(os.environ.get("WSCONSOLE_CURL_ERROR_TEXT",
                                         str(ROOT / "build" / "tests" / "curl_error_text")))
    done = subprocess.run([*command, *map(str, codes)], capture_output=True, check=True,
                          timeout=120)
    return [b"curl_easy_perform() failed: " + text + b"\n" for text in done.stdout.splitlines()]


# CURLE_READ_ERROR, CURLE_COULDNT_CONNECT, CURLE_GOT_NOTHING, CURLE_PARTIAL_FILE, CURLE_RECV_ERROR
CANNOT_READ, REFUSED, GOT_NOTHING, PARTIAL, RECEIVE_FAILED = curl_failed(26, 7, 52, 18, 56)


def question(url):
    return b"quelle URL appeler ? \n " + url.encode() + b" tapez 1 \n"


MESSAGE_REPORT = (b"devserver: testMsg received 1 field\n"
                  b'text field "message" (21 bytes): {"page":"unIDdepage"}\n')


def image_report():
    lines = [b"devserver: testImg received 2 fields\n"]
    for name, path, sample in (("file", PATH1, "6uD78iT-.jpeg"), ("file2", PATH2, "th.jpg")):
        data = (SAMPLES / sample).read_bytes()
        lines.append(f'file field "{name}": "{path}", {len(data)} bytes, '
                     f'sha256 {hashlib.sha256(data).hexdigest()}\n'.encode())
    return b"".join(lines)


def console_environment(**variables):
    """The environment the console runs in: this one without the proxy variables that libcurl
    honours, which would send its calls elsewhere, plus `variables`."""
    env = {name: value for name, value in os.environ.items()
           if name.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}
    env.update(variables)
    return env


def run_console(stdin, cwd, env=None):
    done = subprocess.run([*WRAPPER, CONSOLE], input=stdin, cwd=cwd, capture_output=True,
                          timeout=TIMEOUT, env=env or console_environment())
    return done.returncode, done.stdout, done.stderr


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="wsconsole-e2e-")
        self.addCleanup(shutil.rmtree, self.folder)

    def provide_images(self):
        shutil.copy(SAMPLES / "6uD78iT-.jpeg", os.path.join(self.folder, PATH1))
        shutil.copy(SAMPLES / "th.jpg", os.path.join(self.folder, PATH2))

    def assertSession(self, stdin, stdout, stderr=b"", env=None):
        code, out, err = run_console(stdin, self.folder, env)
        self.assertEqual(out, stdout)
        self.assertEqual(err, stderr)
        self.assertEqual(code, 0)


class WithDevServer(ConsoleTest):
    @classmethod
    def setUpClass(cls):
        cls.server = DevServer(port=PORT)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_message_call_prints_the_report_of_the_json_part(self):
        self.assertSession(b"1\n1\ny\n",
                           BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT)

    def test_image_call_echoes_the_first_path_and_prints_the_report_of_both_files(self):
        self.provide_images()
        self.assertSession(b"2\n1\ny\n",
                           BANNER + MENU + question(IMG_URL) + ECHO + image_report() + QUIT)

    def test_both_calls_in_one_session_typed_ahead_on_one_line(self):
        self.provide_images()
        self.assertSession(b"1 1 n 2 1 y",
                           BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT + QUIT +
                           MENU + question(IMG_URL) + ECHO + image_report() + QUIT)

    def test_image_call_without_the_files_reports_the_failure_and_goes_on(self):
        self.assertSession(b"2\n1\nn\n2\n1\ny\n",
                           BANNER + (MENU + question(IMG_URL) + ECHO + QUIT) * 2,
                           CANNOT_READ * 2)


class WithoutServer(ConsoleTest):
    def test_a_refused_connection_is_reported_and_the_loop_goes_on(self):
        self.assertSession(b"1\n1\nn\n3\ny\n",
                           BANNER + MENU + question(MSG_URL) + QUIT + MENU + QUIT, REFUSED)

    def test_the_end_of_input_at_any_question_ends_the_program(self):
        cases = {
            b"": BANNER + MENU,
            b"  \n": BANNER + MENU,
            b"1\n": BANNER + MENU + question(MSG_URL),
            b"2": BANNER + MENU + question(IMG_URL),
            b"1\n2\n": BANNER + MENU + question(MSG_URL) + QUIT,
            b"7\nn\n": BANNER + MENU + QUIT + MENU,
        }
        for stdin, stdout in cases.items():
            with self.subTest(stdin=stdin):
                self.assertSession(stdin, stdout)

    def test_choices_other_than_one_and_two_make_no_call(self):
        for choice in (b"0", b"3", b"-1", b"+0", b"4294967297", b"-4294967295",
                       b"99999999999999999999999"):
            with self.subTest(choice=choice):
                self.assertSession(choice + b"\ny\n", BANNER + MENU + QUIT)

    def test_confirmations_other_than_one_make_no_call(self):
        for confirmation in (b"0", b"2", b"4294967297", b"-1"):
            with self.subTest(confirmation=confirmation):
                self.assertSession(b"1\n" + confirmation + b"\ny\n",
                                   BANNER + MENU + question(MSG_URL) + QUIT)

    def test_unread_characters_are_what_the_next_question_reads(self):
        # "abc" is no choice; it stays and answers the quit question, which then goes on.
        self.assertSession(b"abc\ny\n", BANNER + MENU + QUIT + MENU + QUIT)
        # "2x": the choice is 2, "x" is no confirmation and then answers the quit question.
        self.assertSession(b"2x\ny\n", BANNER + MENU + question(IMG_URL) + QUIT + MENU + QUIT)

    def test_quit_answers(self):
        self.assertSession(b"3\nn\n3\nno\n3\nyy\n3\nY\n", BANNER + (MENU + QUIT) * 4)
        self.assertSession(b"3\nyes\n", BANNER + MENU + QUIT)
        # A word longer than 19 characters: its tail is read by the next questions.
        self.assertSession(b"3\n" + b"n" * 19 + b"y\n", BANNER + MENU + QUIT + MENU + QUIT)


if __name__ == "__main__":
    unittest.main()
