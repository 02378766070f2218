#!/usr/bin/env python3
"""Measures the console receiving a large answer of unannounced length, with and without a cap on
its address space, the cap a little short of what doubling the block needs.

Usage: capped_growth.py CONSOLE BODY_SERVER_PY [--mib 600] [--cap-mib 1400] [--reps 5]

CONSOLE must call 127.0.0.1:18093 (bench/run.sh's build does); run it inside its own network
namespace when that port may be taken. It prints the medians of wall time and minor page faults
for each side and their ratio: growth under the cap should stay a few large steps, not a copy
of the whole answer for every block received.
"""

import argparse
import resource
import statistics
import subprocess
import sys
import time

MIB = 1 << 20
PORT = 18093


def run(console, cap_bytes):
    def limit():
        if cap_bytes:
            resource.setrlimit(resource.RLIMIT_AS, (cap_bytes, cap_bytes))
    started = time.perf_counter()
    process = subprocess.Popen([console], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, preexec_fn=limit)
    _, errors = process.communicate(b"1 1 y\n", timeout=300)
    seconds = time.perf_counter() - started
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    if process.returncode != 0 or errors:
        sys.exit(f"capped_growth: the console failed: {errors.decode(errors='replace').strip()}")
    return seconds, usage.ru_minflt


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("console")
    parser.add_argument("server")
    parser.add_argument("--mib", type=int, default=600)
    parser.add_argument("--cap-mib", type=int, default=1400)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()

    server = subprocess.Popen([sys.executable, args.server, str(PORT), str(args.mib * MIB),
                               "--chunked"], stdout=subprocess.PIPE)
    try:
        if not server.stdout.readline().startswith(b"listening"):
            sys.exit("capped_growth: the body server did not start")
        figures = {}
        for name, cap in (("uncapped", 0), (f"capped at {args.cap_mib} MiB", args.cap_mib * MIB)):
            seconds, faults = [], []
            for _ in range(args.reps):
                before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt
                wall, after = run(args.console, cap)
                seconds.append(wall)
                faults.append(after - before)
            figures[name] = (statistics.median(seconds), statistics.median(faults))
            print(f"answer {args.mib} MiB, {name}: {figures[name][0]:.3f} s, "
                  f"{figures[name][1]:.0f} minor page faults", flush=True)
        (free_s, free_f), (cap_s, cap_f) = figures.values()
        print(f"capped/uncapped: wall {cap_s / free_s:.2f}, page faults {cap_f / free_f:.2f}")
    finally:
        server.kill()
        server.wait()


if __name__ == "__main__":
    main()
