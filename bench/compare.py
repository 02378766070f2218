"""Measures the console against curl's command-line tool on the same loopback server.

Each case starts bench/body_server.py on the console's built-in port with the answer size the
case needs, then has hyperfine time the console (its answers on standard input) and curl doing
the same POST, whole processes, start-up included; GNU time gives each one's peak memory in one
more run. It prints medians, the ratio console/curl, and, against each target, PASS or MISS.
With --baseline, an older build of the console is measured alongside in every case. It is not a
test: a miss does not change the exit status; only a run that cannot be measured (a failing
process) does.

Run it through bench/run.sh, which builds what it needs.
"""

import argparse
import json
import os
import pathlib
import shlex
import subprocess
import sys
import tempfile
import urllib.parse

MIB = 1 << 20
MSG_PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testMsg"
IMG_PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testImg"
IMAGE_NAMES = ("C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg", "C:\\Users\\Zunel\\Pictures\\th.jpg")
MESSAGE = '{"page":"unIDdepage"}'
SMALL_ANSWER = 64


def hyperfine(commands, runs, warmup, folder):
    """Median wall seconds of each shell command, run in `folder`."""
    export = folder / "hyperfine.json"
    subprocess.run(["hyperfine", "--style", "none", "--runs", str(runs), "--warmup", str(warmup),
                    "--export-json", str(export), *commands],
                   cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return [result["median"] for result in json.loads(export.read_text())["results"]]


def peak_mib(command, folder):
    """Peak resident memory of one run of a shell command, in MiB (GNU time's %M, in KiB)."""
    report = folder / "time.txt"
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), "sh", "-c", command],
                   cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return int(report.read_text().split()[-1]) / 1024


class BodyServer:
    """bench/body_server.py on 127.0.0.1:port, answering `answer_bytes` bytes (with `options`
    of its own, such as its chunk size); stopped on exit."""

    def __init__(self, script, port, answer_bytes, options=()):
        self.process = subprocess.Popen(
            [sys.executable, script, str(port), str(answer_bytes), *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if not self.process.stdout.readline().startswith(b"listening"):
            self.process.kill()
            sys.exit("bench: body_server did not start: "
                     + self.process.communicate()[1].decode().strip())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.communicate(timeout=10)


class Bench:
    def __init__(self, args, folder):
        self.args, self.folder = args, folder
        self.rows, self.targets = [], []

    def case(self, name, session, curl, calls=1):
        """Times the console answering `session`, curl's command `calls` times in a row, and the
        baseline; returns the console's and curl's medians and the console's peak."""
        stdin = self.folder / "session.txt"
        stdin.write_text(session)
        consoles = [self.args.console] + ([self.args.baseline] if self.args.baseline else [])
        commands = [f"{shlex.quote(c)} <session.txt" for c in consoles]
        curl = " ".join(map(shlex.quote, curl))
        commands.insert(1, curl if calls == 1 else f"for i in $(seq {calls}); do {curl}; done")
        smoke = self.args.smoke
        wall = hyperfine(commands, 1 if smoke else self.args.reps, 0 if smoke else 1, self.folder)
        peak = [peak_mib(command, self.folder) for command in commands[:2]]
        self.rows.append((name, wall, peak))
        if not smoke:
            before = (f", baseline {wall[2]:.3f} s ratio {wall[2] / wall[1]:.2f}"
                      if len(wall) > 2 else "")
            print(f"  {name}: console {wall[0]:.3f} s {peak[0]:.0f} MiB, curl {wall[1]:.3f} s "
                  f"{peak[1]:.0f} MiB, ratio {wall[0] / wall[1]:.2f}{before}", flush=True)
        return wall[0], wall[1], peak[0]

    def target(self, what, figure, limit, ok):
        self.targets.append((what, figure, limit, "PASS" if ok else "MISS"))

    def print(self):
        if self.args.smoke:
            # Figures at these sizes are start-up noise: say only that every case ran.
            print(f"smoke run: the benchmark runs ({len(self.rows)} cases measured once at "
                  f"tiny sizes; run bench/run.sh for figures)")
            return
        baseline = " baseline wall | baseline/curl |" if self.args.baseline else ""
        print(f"\nmedians of {self.args.reps} run(s) each (hyperfine)\n")
        print(f"| case | console wall | curl wall | console/curl | console peak | curl peak |"
              f"{baseline}")
        print("|---|---:|---:|---:|---:|---:|" + ("---:|---:|" if baseline else ""))
        for name, wall, peak in self.rows:
            before = f" {wall[2]:.3f} s | {wall[2] / wall[1]:.2f} |" if len(wall) > 2 else ""
            print(f"| {name} | {wall[0]:.3f} s | {wall[1]:.3f} s | {wall[0] / wall[1]:.2f} "
                  f"| {peak[0]:.0f} MiB | {peak[1]:.0f} MiB |{before}")
        print("\n| target | figure | limit | verdict |\n|---|---:|---:|---|")
        for row in self.targets:
            print("| %s | %s | %s | %s |" % row)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--baseline",
                        help="an older build of the console, measured alongside in every case")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--smoke", action="store_true",
                        help="tiny sizes and one run: checks that the bench runs")
    args = parser.parse_args()
    unit = 1024 if args.smoke else MIB  # smoke: KiB where the real run has MiB
    unit_name = "KiB" if args.smoke else "MiB"
    calls = 5 if args.smoke else 100
    port = urllib.parse.urlsplit(args.base_url).port
    curl_message = ["curl", "-sS", "-f", "-o", "/dev/null",
                    "-H", "Content-Type: application/x-www-form-urlencoded",
                    "-F", "message=" + MESSAGE, args.base_url + MSG_PATH]

    with tempfile.TemporaryDirectory(prefix="wsconsole-bench-") as scratch:
        folder = pathlib.Path(scratch)
        bench = Bench(args, folder)

        # Large answers: the 256 case is also the top of the linearity series.
        answers = {}
        for size in (16, 64, 256):
            with BodyServer(args.server, port, size * unit):
                answers[size] = bench.case(f"answer {size} {unit_name}", "1 1 y\n", curl_message)
        cs, us, cm = answers[256]
        bench.target(f"answer 256 {unit_name}: wall console/curl", f"{cs / us:.2f}", "2.5",
                     cs <= 2.5 * us)
        limit_mib = 2.05 * 256 * unit / MIB + 16
        bench.target(f"answer 256 {unit_name}: console peak", f"{cm:.0f} MiB",
                     f"{limit_mib:.0f} MiB", cm <= limit_mib)
        linear = answers[256][0] / answers[16][0]
        bench.target(f"console wall 256 {unit_name} / 16 {unit_name}", f"{linear:.2f}", "17",
                     linear <= 17)

        # Answers in 1-byte chunks, as from a server that flushes after every small write: each
        # byte reaches the client's buffer as a block of its own.
        for size in (64 << 10, 1 << 20):
            size //= 16 if args.smoke else 1
            name = f"{size >> 10} KiB" if size < MIB else f"{size >> 20} MiB"
            with BodyServer(args.server, port, size, ("--chunk-size", "1")):
                cs, us, _ = bench.case(f"answer {name} in 1-byte chunks", "1 1 y\n", curl_message)
            bench.target(f"answer {name} in 1-byte chunks: wall console/curl", f"{cs / us:.2f}",
                         "2", cs <= 2 * us)

        # The image call: two files of 128 units, under the names the console reads.
        for name in IMAGE_NAMES:
            (folder / name).write_bytes(b"0123456789abcdef" * (128 * unit // 16))
        os.sync()  # written back now rather than while the calls read them
        curl_image = ["curl", "-sS", "-f", "-o", "/dev/null", "-F", "file=@" + IMAGE_NAMES[0],
                      "-F", "file2=@" + IMAGE_NAMES[1], args.base_url + IMG_PATH]
        with BodyServer(args.server, port, SMALL_ANSWER):
            cs, us, _ = bench.case(f"upload 2 x 128 {unit_name}", "2 1 y\n", curl_image)
        bench.target("upload: wall console/curl", f"{cs / us:.2f}", "1.1", cs <= 1.1 * us)

        # Many calls: one console session against as many curl processes.
        with BodyServer(args.server, port, SMALL_ANSWER):
            cs, us, _ = bench.case(f"{calls} message calls", "1 1 n " * (calls - 1) + "1 1 y\n",
                                   curl_message, calls)
        bench.target(f"{calls} calls: wall console/curl", f"{cs / us:.3f}", "0.1", cs <= 0.1 * us)
        bench.print()


if __name__ == "__main__":
    main()
