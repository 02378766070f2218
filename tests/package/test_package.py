"""The project as its users get it: the installed client library used by an outside CMake
project (examples/consumer), the same project with the source tree added as a subdirectory,
and the two Debian packages installed with apt in a scratch Debian root.

Environment (set by CTest): WSCONSOLE_BUILD_DIR (a built build folder), CMAKE_COMMAND,
CPACK_COMMAND, CMAKE_CXX_COMPILER, WSCONSOLE_LINK_FLAGS (what the build links with, e.g. the
sanitizers), WSCONSOLE_VERSION, and WSCONSOLE_BASE_URL as for the end-to-end tests; optionally
WSCONSOLE_DEBIAN_ROOT or WSCONSOLE_DEBIAN_ROOT_TARBALL (see debian_root). The console calls its
built-in port, so ConsumerTest, and DebianPackageTest's console session, run in a network
namespace of their own (tests/support/own-loopback.sh). Scratch files go to
WSCONSOLE_BUILD_DIR/package-test.
"""

import os
import pathlib
import shutil
import socket
import subprocess
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from test_console import (BANNER, ECHO, IMG_URL, MENU, MESSAGE_REPORT,  # noqa: E402
                          MSG_URL, PATH1, PATH2, PORT, QUIT, REFUSED, TIMEOUT, image_report,
                          question)
from server_process import DevServer  # noqa: E402

BUILD = pathlib.Path(os.environ.get("WSCONSOLE_BUILD_DIR", ROOT / "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CPACK = os.environ.get("CPACK_COMMAND", "cpack")
CXX = os.environ.get("CMAKE_CXX_COMPILER", "")
LINK_FLAGS = os.environ.get("WSCONSOLE_LINK_FLAGS", "")
VERSION = os.environ.get("WSCONSOLE_VERSION", "1.0.0")
SCRATCH = BUILD / "package-test"
OWN_LOOPBACK = ROOT / "tests" / "support" / "own-loopback.sh"
PACKAGES = ("wsconsole", "libwsclient-dev")
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")
BUILD_TIMEOUT = 600

CONSUMER_REPORT = (b"callWebService:\nok\n" + MESSAGE_REPORT + b"postUrlEncoded:\nok\n"
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


def run_consumer(consumer, base_url):
    """Its status and its standard output and error in one pipe, as they were written: the
    library's messages must take their places among the program's own lines."""
    done = subprocess.run([consumer, base_url], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=TIMEOUT)
    return done.returncode, done.stdout


class ConsumerTest(unittest.TestCase):
    def assertCallsTheService(self, consumer):
        server = DevServer()
        try:
            outcome = run_consumer(consumer, f"http://127.0.0.1:{server.port}")
        finally:
            server.stop()
        self.assertEqual(outcome, (0, CONSUMER_REPORT))

    def test_installed_package_links_and_both_calls_reach_the_service(self):
        prefix = scratch("prefix")
        run(CMAKE, "--install", BUILD, "--prefix", prefix)
        # The public headers only: the buffer and libcurl's owners stay inside the library.
        self.assertEqual(sorted(p.name for p in (prefix / "include" / "wsclient").iterdir()),
                         ["FieldMap.h", "WebServiceClient.h", "WebServiceReport.h"])
        # The library alone, without the console's own input and output.
        self.assertEqual(sorted(p.name for p in prefix.glob("lib*/**/*.a")), ["libwsclient.a"])
        consumer = build_consumer(scratch("consumer"), f"-DCMAKE_PREFIX_PATH={prefix}")
        self.assertCallsTheService(consumer)

        # The transfer's error line comes after what the program wrote before the call, although
        # the program never flushes.
        text = REFUSED.split(b"failed: ", 1)[1]  # libcurl's own, and the line end
        self.assertEqual(run_consumer(consumer, f"http://127.0.0.1:{closed_port()}"),
                         (1, b"callWebService:\n" + REFUSED + b"failed\npostUrlEncoded:\nfailed\n"
                          + text))

    def test_the_documented_output_is_the_consumers(self):
        # docs/library.md shows what the example prints against the service: the block after
        # the command that runs it.
        text = (ROOT / "docs" / "library.md").read_text()
        shown = text.split("build-consumer/consumer http://127.0.0.1:18080", 1)[1]
        shown = shown.split("```text\n", 1)[1].split("```", 1)[0]
        self.assertEqual(shown.encode(), CONSUMER_REPORT)

    def test_source_tree_as_a_subdirectory_builds_the_library_alone(self):
        folder = scratch("consumer-subdirectory")
        consumer = build_consumer(folder, f"-DWSCONSOLE_SOURCE_DIR={ROOT}")
        # A parent project gets neither the tests nor the bench nor the console.
        cache = (folder / "CMakeCache.txt").read_text()
        self.assertNotIn("GTest_DIR", cache)
        self.assertNotIn("RapidJSON_DIR", cache)
        # Nor a build type or flags of this tree's choosing.
        self.assertIn("CMAKE_BUILD_TYPE:STRING=\n", cache)
        for skipped in ("tests", "bench", "app", "console"):
            self.assertFalse((folder / "wsconsole" / skipped).exists(), skipped)
        self.assertCallsTheService(consumer)


CONSUMER_TOOLS = ("cmake", "make", "g++")  # what examples/consumer is built with


def debian_root(*needs):
    """A scratch Debian root to install the packages in, and how to remove it; or None. The
    root is a copy of the folder WSCONSOLE_DEBIAN_ROOT or the tarball WSCONSOLE_DEBIAN_ROOT_TARBALL
    unpacked, or else a fresh Debian 13 root from `scripts/ci/debian.sh --root-only trixie`, in
    which apt already installed what `needs` (.deb files, packages) need: the root is cached, and
    made anew whenever the packages' relations change, so that a run installs the packages
    alone; none when WSCONSOLE_DEBIAN_ROOT is "none"."""
    if os.environ.get("WSCONSOLE_DEBIAN_ROOT") == "none":
        return None, None
    source = (os.environ.get("WSCONSOLE_DEBIAN_ROOT")
              or os.environ.get("WSCONSOLE_DEBIAN_ROOT_TARBALL"))
    maker = ROOT / "scripts" / "ci" / "debian.sh"
    if source:
        root = SCRATCH / "root"
        if root.exists():
            run("rm", "-rf", "--one-file-system", root)
        if os.path.isdir(source):
            run("cp", "-ax", source, root)
        else:
            root.mkdir(parents=True)
            run("tar", "-xf", source, "-C", root)
        remove = ("rm", "-rf", "--one-file-system", root)
    elif maker.exists():
        root = pathlib.Path(run(maker, "--root-only", "trixie", *needs).strip().splitlines()[-1])
        remove = (maker, "--remove", root)
    else:
        return None, None
    shutil.copy("/etc/resolv.conf", root / "etc" / "resolv.conf")
    return root, remove


class DebianPackageTest(unittest.TestCase):
    """Both packages as Debian users get them: lintian's verdict, then, in a scratch Debian
    root, apt install, the two commands, the outside example built against the library, and
    apt purge. Without a root (see debian_root) the packages are unpacked with dpkg-deb into a
    scratch folder instead, and what needs dpkg's database is skipped, saying so.

    The root is entered with `scripts/ci/debian.sh --in`, whose /tmp is its own: files for it
    are laid in its /var/tmp. The tests run in name order, which puts the purge last."""

    @classmethod
    def setUpClass(cls):
        folder = scratch("deb")
        run(CPACK, "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", folder)
        arch = run("dpkg", "--print-architecture").strip()
        cls.debs = {name: folder / f"{name}_{VERSION}_{arch}.deb" for name in PACKAGES}
        cls.root, cls.remove_root = debian_root(*cls.debs.values(), *CONSUMER_TOOLS)
        if cls.root:
            for deb in cls.debs.values():
                shutil.copy(deb, cls.root / "var" / "tmp")
            cls.in_root("apt-get update -qq && apt-get install -y -qq "
                        + " ".join(f"/var/tmp/{deb.name}" for deb in cls.debs.values()))
            cls.usr = cls.root / "usr"
        else:
            print("no Debian root: the packages are unpacked with dpkg-deb, "
                  "apt install and purge are not tried", file=sys.stderr)
            unpacked = scratch("unpacked")
            for deb in cls.debs.values():
                run("dpkg-deb", "-x", deb, unpacked)
            cls.usr = unpacked / "usr"

    @classmethod
    def tearDownClass(cls):
        # Nothing is mounted in the root outside the namespaces of in_root.
        if cls.root:
            run(*cls.remove_root)

    @classmethod
    def in_root(cls, script, own_loopback=False):
        """Runs a shell script in the root (or, without one, on this machine with the unpacked
        packages first on PATH); returns its standard output."""
        if cls.root:
            command = [ROOT / "scripts" / "ci" / "debian.sh", "--in", cls.root,
                       *([] if own_loopback else ["--host-net"]), "sh", "-c", script]
            return run(*command)
        command = ["sh", "-c", script]
        env = dict(os.environ, PATH=f"{cls.usr / 'bin'}:{os.environ['PATH']}")
        env = {k: v for k, v in env.items() if k.lower() not in PROXY_VARIABLES}
        return run(*([OWN_LOOPBACK] if own_loopback else []), *command, env=env)

    def test_both_calls_through_the_installed_commands(self):
        usr = pathlib.Path("/usr") if self.root else self.usr
        samples = usr / "share/wsconsole/devserver/samples"
        output = self.in_root(f"""set -e
            cd "$(mktemp -d)"
            cp "{samples}/6uD78iT-.jpeg" '{PATH1}'
            cp "{samples}/th.jpg" '{PATH2}'
            wsconsole-devserver --port {PORT} 2>service.log &
            for i in $(seq 600); do grep -q 'listening on' service.log && break; sleep 0.1; done
            grep -q 'listening on' service.log || {{ cat service.log >&2; exit 1; }}
            printf '1 1 n 2 1 y\\n' | wsconsole || {{ cat service.log >&2; exit 1; }}
            kill $! && wait $! || true""", own_loopback=True)
        self.assertEqual(output.encode(), BANNER + MENU + question(MSG_URL) + MESSAGE_REPORT +
                         QUIT + MENU + question(IMG_URL) + ECHO + image_report() + QUIT)

    def test_depends_on_the_run_time_and_development_packages(self):
        for name, pattern in (("wsconsole",
                               r"^python3, python3-aiohttp, .*\blibcurl4(t64)? "),
                              ("libwsclient-dev", r"^libcurl4-openssl-dev \| libcurl-dev$")):
            with self.subTest(name):
                self.assertRegex(run("dpkg-deb", "-f", self.debs[name], "Depends").strip(), pattern)

    def test_each_package_holds_its_files(self):
        wsconsole = ["bin/wsconsole", "bin/wsconsole-devserver",
                     "share/wsconsole/devserver/devserver.py",
                     "share/wsconsole/devserver/wsdevserver/server.py",
                     "share/wsconsole/devserver/wsdevserver/static/index.html",
                     "share/wsconsole/devserver/samples/th.jpg", "share/man/man1/wsconsole.1.gz",
                     "share/man/man1/wsconsole-devserver.1.gz", "share/doc/wsconsole/copyright",
                     "share/doc/wsconsole/changelog.gz"]
        multiarch = run("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
        development = ["include/wsclient/WebServiceClient.h", "include/wsclient/FieldMap.h",
                       "include/wsclient/WebServiceReport.h",
                       f"lib/{multiarch}/libwsclient.a",
                       f"lib/{multiarch}/cmake/wsclient/wsclientConfig.cmake",
                       "share/doc/libwsclient-dev/copyright",
                       "share/doc/libwsclient-dev/changelog.gz"]
        for name, paths in (("wsconsole", wsconsole), ("libwsclient-dev", development)):
            listed = run("dpkg-deb", "-c", self.debs[name])
            for path in paths:
                with self.subTest(name=name, path=path):
                    self.assertIn(f" ./usr/{path}", listed)
        self.assertEqual(os.readlink(self.usr / "bin" / "wsconsole-devserver"),
                         "../share/wsconsole/devserver/devserver.py")

    def test_lintian_reports_no_error_or_warning(self):
        # This machine's lintian, and the root's when it has one (another Debian release).
        verdicts = {"here": subprocess.run(["lintian", *self.debs.values()], capture_output=True,
                                           text=True, timeout=BUILD_TIMEOUT).stdout}
        if self.root and (self.root / "usr" / "bin" / "lintian").exists():
            debs = " ".join(f"/var/tmp/{d.name}" for d in self.debs.values())
            verdicts["root"] = self.in_root(f"lintian {debs} || true")
        for where, verdict in verdicts.items():
            with self.subTest(where):
                self.assertEqual([line for line in verdict.splitlines()
                                  if line[:2] in ("E:", "W:")], [])

    def test_man_pages_render_without_warnings(self):
        for page in ("wsconsole", "wsconsole-devserver"):
            with self.subTest(page):
                shown = subprocess.run(["man", "--warnings", "-l",
                                        self.usr / "share/man/man1" / f"{page}.1.gz"],
                                       capture_output=True, text=True, timeout=TIMEOUT,
                                       env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                self.assertRegex(shown.stdout, rf"(?m)^NAME\n\s+{page}\s+-\s")

    def test_outside_project_builds_against_the_installed_library(self):
        if not self.root:
            self.skipTest("needs a Debian root")
        if LINK_FLAGS:
            # A library built with sanitizers links only with their run-time of the same
            # compiler; ConsumerTest builds against it on this machine, with those flags.
            self.skipTest("the library is built with " + LINK_FLAGS)
        shutil.copytree(ROOT / "examples" / "consumer", self.root / "var" / "tmp" / "consumer",
                        dirs_exist_ok=True)
        self.in_root("apt-get install -y -qq --no-install-recommends %s >/dev/null && "
                     % " ".join(CONSUMER_TOOLS) +
                     "cmake -S /var/tmp/consumer -B /var/tmp/consumer-build >/dev/null && "
                     "cmake --build /var/tmp/consumer-build >/dev/null")
        self.assertTrue((self.root / "var" / "tmp" / "consumer-build" / "consumer").is_file())

    def test_purge_leaves_no_file_behind(self):
        if not self.root:
            self.skipTest("needs a Debian root")
        listed = " ".join(f"'{line.split()[5][1:].rstrip('/')}'" for deb in self.debs.values()
                          for line in run("dpkg-deb", "-c", deb).splitlines())
        # What is left of the packages' paths after the purge, unless another package owns it.
        # Bytecode caches, as running the service as root leaves them, go too.
        packages = " ".join(PACKAGES)
        left = self.in_root("python3 -m compileall -q /usr/share/wsconsole/devserver >/dev/null && "
                            f"apt-get purge -y -qq {packages} >/dev/null && for p in {listed}; do "
                            'if [ -e "$p" ] || [ -L "$p" ]; then '
                            'dpkg-query -S "$p" >/dev/null 2>&1 || echo "$p"; fi; done; '
                            f"dpkg -l {packages} 2>/dev/null | grep '^[a-z][a-z] ' || true")
        self.assertEqual(left, "")


if __name__ == "__main__":
    unittest.main()
