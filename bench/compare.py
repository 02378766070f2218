"""Measures the console against curl's command-line tool on the same loopback server.

Each case starts bench/body_server.py on the console's built-in port with the answer size the
case needs, then runs the console (its answers on standard input, its output to /dev/null) and
curl doing the same POST, one after the other, several times. Wall time is measured around the
process (start-up included) and peak memory is the child's ru_maxrss. It prints medians, the
ratio console/curl, and, against each target, PASS or MISS. With --baseline, an older build of
the console runs alongside in every case, so that before and after are measured in one run. It
is not a test: a miss does not change the exit status; only a run that cannot be measured (a
failing process) does.

Run it through bench/run.sh, which builds what it needs.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

MIB = 1 << 20
MSG_PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testMsg"
IMG_PATH = "/Vortan/BackOffice/trunk/webservice/zunel/testImg"
IMAGE_NAMES = ("C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg", "C:\\Users\\Zunel\\Pictures\\th.jpg")
MESSAGE = '{"page":"unIDdepage"}'
SMALL_ANSWER = 64
PROCESS_TIMEOUT = 300  # seconds for one process; a smoke run allows a tenth


class Run:
    """One process: its wall time in seconds and its peak resident memory in MiB."""

    def __init__(self, seconds, peak_mib):
        self.seconds = seconds
        self.peak_mib = peak_mib


def measure(command, stdin_text="", cwd=None):
    """Runs `command` with stdout to /dev/null; fails the bench if it does not succeed."""
    with tempfile.TemporaryFile() as errors:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                   stderr=errors, cwd=cwd)
        process.stdin.write(stdin_text.encode())
        process.stdin.close()
        deadline = started + PROCESS_TIMEOUT
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.perf_counter() > deadline:
                process.kill()
                pid, status, usage = os.wait4(process.pid, 0)
                break
            time.sleep(0.0005)
        seconds = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        complaint = errors.read().decode(errors="replace")
    if process.returncode != 0 or complaint:
        sys.exit(f"bench: {command[0]} failed (status {process.returncode}): {complaint.strip()}")
    return Run(seconds, usage.ru_maxrss / 1024)


class BodyServer:
    """bench/body_server.py on 127.0.0.1:port, answering `answer_bytes` bytes (with `options`
    of its own, such as its chunk size); stopped on exit."""

    def __init__(self, script, port, answer_bytes, options=()):
        self.process = subprocess.Popen(
            [sys.executable, script, str(port), str(answer_bytes), *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.process.stdout.readline().decode()
        if not line.startswith("listening"):
            self.process.kill()
            self.process.wait()
            sys.exit("bench: body_server did not start: "
                     + self.process.stderr.read().decode().strip())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()


def curl_message(url):
    return ["curl", "-sS", "-f", "-o", "/dev/null",
            "-H", "Content-Type: application/x-www-form-urlencoded",
            "-F", "message=" + MESSAGE, url]


def median_runs(runs):
    return statistics.median(r.seconds for r in runs), statistics.median(r.peak_mib for r in runs)


def alternate(reps, console_once, curl_once, baseline_once=None):
    """Runs the sides in turn, `reps` times, after one untimed run of each (which fills caches
    and connects the server); returns their lists of runs (None for a baseline not given)."""
    sides = [console_once, curl_once] + ([baseline_once] if baseline_once else [])
    for once in sides:
        once()
    runs = [[] for _ in sides]
    for _ in range(reps):
        for once, side in zip(sides, runs):
            side.append(once())
    return runs[0], runs[1], (runs[2] if baseline_once else None)


def verdict(ok):
    return "PASS" if ok else "MISS"


class Report:
    def __init__(self, judged):
        self.judged = judged
        self.rows = []
        self.targets = []

    def row(self, case, console, curl, baseline=None):
        (cs, cm), (us, um) = median_runs(console), median_runs(curl)
        bs = median_runs(baseline)[0] if baseline else None
        self.rows.append((case, cs, us, cs / us, cm, um, bs))
        if not self.judged:
            return cs, us, cm
        before = f", baseline {bs:.3f} s ratio {bs / us:.2f}" if baseline else ""
        print(f"  {case}: console {cs:.3f} s {cm:.0f} MiB, curl {us:.3f} s {um:.0f} MiB, "
              f"ratio {cs / us:.2f}{before}", flush=True)
        return cs, us, cm

    def target(self, what, figure, limit, ok):
        self.targets.append((what, figure, limit, verdict(ok)))

    def print(self, args):
        if not self.judged:
            # Figures at these sizes are start-up noise: say only that every case ran.
            print(f"smoke run: the benchmark runs ({len(self.rows)} cases measured once at "
                  f"tiny sizes; run bench/run.sh for figures)")
            return
        print()
        sides = "console, curl and baseline" if args.baseline else "console and curl"
        print(f"medians of {args.reps} run(s) each, {sides} alternately")
        print()
        before = " baseline wall | baseline/curl |" if args.baseline else ""
        print(f"| case | console wall | curl wall | console/curl | console peak | curl peak |"
              f"{before}")
        print("|---|---:|---:|---:|---:|---:|" + ("---:|---:|" if args.baseline else ""))
        for case, cs, us, ratio, cm, um, bs in self.rows:
            before = f" {bs:.3f} s | {bs / us:.2f} |" if bs is not None else ""
            print(f"| {case} | {cs:.3f} s | {us:.3f} s | {ratio:.2f} | {cm:.0f} MiB "
                  f"| {um:.0f} MiB |{before}")
        print()
        print("| target | figure | limit | verdict |")
        print("|---|---:|---:|---|")
        for what, figure, limit, word in self.targets:
            print(f"| {what} | {figure} | {limit} | {word} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--baseline",
                        help="an older build of the console, measured alongside in every case")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--smoke", action="store_true",
                        help="tiny sizes and one repetition: checks that the bench runs")
    args = parser.parse_args()
    if args.smoke:
        global PROCESS_TIMEOUT
        args.reps = 1
        PROCESS_TIMEOUT = PROCESS_TIMEOUT / 10
    unit = 1024 if args.smoke else MIB  # smoke: KiB where the real run has MiB
    unit_name = "KiB" if args.smoke else "MiB"
    calls = 5 if args.smoke else 100
    port = urllib.parse.urlsplit(args.base_url).port
    msg_url = args.base_url + MSG_PATH
    img_url = args.base_url + IMG_PATH

    report = Report(judged=not args.smoke)

    def console_alone(stdin, cwd=None):
        return lambda: measure([args.console], stdin, cwd)

    def baseline_alone(stdin, cwd=None):
        return (lambda: measure([args.baseline], stdin, cwd)) if args.baseline else None

    # Large answers: the 256 case is also the top of the linearity series.
    answers = {}
    for size in (16, 64, 256):
        with BodyServer(args.server, port, size * unit):
            answers[size] = report.row(
                f"answer {size} {unit_name}",
                *alternate(args.reps, console_alone("1 1 y\n"),
                           lambda: measure(curl_message(msg_url)), baseline_alone("1 1 y\n")))
    cs256, us256, cm256 = answers[256]
    report.target(f"answer 256 {unit_name}: wall console/curl", f"{cs256 / us256:.2f}", "2.5",
                  cs256 <= 2.5 * us256)
    limit_mib = 2.05 * 256 * unit / MIB + 16
    report.target(f"answer 256 {unit_name}: console peak", f"{cm256:.0f} MiB",
                  f"{limit_mib:.0f} MiB", cm256 <= limit_mib)
    linear = answers[256][0] / answers[16][0]
    report.target(f"console wall 256 {unit_name} / 16 {unit_name}", f"{linear:.2f}", "17",
                  linear <= 17)

    # Answers in 1-byte chunks, as from a server that flushes after every small write: each byte
    # reaches the client's buffer as a block of its own.
    for size, name in ((64 << 10, "64 KiB"), (1 << 20, "1 MiB")):
        if args.smoke:
            size, name = size // 16, f"{size // 16 >> 10} KiB"
        with BodyServer(args.server, port, size, ("--chunk-size", "1")):
            cs, us, _ = report.row(
                f"answer {name} in 1-byte chunks",
                *alternate(args.reps, console_alone("1 1 y\n"),
                           lambda: measure(curl_message(msg_url)), baseline_alone("1 1 y\n")))
        report.target(f"answer {name} in 1-byte chunks: wall console/curl", f"{cs / us:.2f}",
                      "2", cs <= 2 * us)

    # The image call: two files of 128 units, under the names the console reads from its cwd.
    folder = pathlib.Path(tempfile.mkdtemp(prefix="wsconsole-bench-"))
    try:
        block = (b"0123456789abcdef" * 65536)[: min(MIB, 128 * unit)]
        for name in IMAGE_NAMES:
            with open(folder / name, "wb") as image:
                for _ in range(128 * unit // len(block)):
                    image.write(block)
                # Written back now rather than while the calls read them.
                image.flush()
                os.fsync(image.fileno())
        curl_image = ["curl", "-sS", "-f", "-o", "/dev/null",
                      "-F", "file=@" + IMAGE_NAMES[0], "-F", "file2=@" + IMAGE_NAMES[1], img_url]
        with BodyServer(args.server, port, SMALL_ANSWER):
            cs, us, _ = report.row(
                f"upload 2 x 128 {unit_name}",
                *alternate(args.reps, console_alone("2 1 y\n", str(folder)),
                           lambda: measure(curl_image, cwd=str(folder)),
                           baseline_alone("2 1 y\n", str(folder))))
        report.target("upload: wall console/curl", f"{cs / us:.2f}", "1.1", cs <= 1.1 * us)
    finally:
        shutil.rmtree(folder)

    # Many calls: one console session against as many curl processes.
    def curl_many():
        runs = [measure(curl_message(msg_url)) for _ in range(calls)]
        return Run(sum(r.seconds for r in runs), max(r.peak_mib for r in runs))

    with BodyServer(args.server, port, SMALL_ANSWER):
        session = "1 1 n " * (calls - 1) + "1 1 y\n"
        cs, us, _ = report.row(f"{calls} message calls",
                               *alternate(args.reps, console_alone(session), curl_many,
                                          baseline_alone(session)))
    report.target(f"{calls} calls: wall console/curl", f"{cs / us:.3f}", "0.1", cs <= 0.1 * us)

    report.print(args)


if __name__ == "__main__":
    main()
