#!/usr/bin/env bash
# Benchmarks the console against curl's command-line tool on a loopback server:
#   bench/run.sh            the full run (a few minutes): 16, 64 and 256 MiB answers, answers
#                           of 64 KiB and 1 MiB in 1-byte chunks, an upload of two 128 MiB
#                           files, 100 message calls; 7 repetitions
#   bench/run.sh --smoke    tiny sizes and one repetition, to check that the bench runs
# With BENCH_BASELINE_REV set to a git revision (e.g. HEAD~3), the console of that revision is
# built too (in BENCH_BUILD-baseline) and measured alongside in every case: before and after in
# one run.
# Extra arguments go to bench/compare.py (e.g. --reps 9). It builds in Release into
# build-bench (BENCH_BUILD to change it), with the console calling 127.0.0.1:BENCH_PORT
# (default 18093), where bench/body_server.py answers; the measurements run in a
# network namespace of their own (tests/support/own-loopback.sh), so that port is theirs
# whatever else runs on the machine. Figures are printed, never judged by the exit status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
port=${BENCH_PORT:-18093}
base_url="http://127.0.0.1:$port"

"$root/scripts/install-deps.sh" --tests
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DWSCONSOLE_BASE_URL="$base_url" >/dev/null
cmake --build "$build" -j2 --target wsconsole >/dev/null

baseline=()
if [ -n "${BENCH_BASELINE_REV:-}" ]; then
    old="$build-baseline"
    rm -rf "$old/src"
    mkdir -p "$old/src"
    git -C "$root" archive "$BENCH_BASELINE_REV" | tar -x -C "$old/src"
    cmake -S "$old/src" -B "$old/build" -DCMAKE_BUILD_TYPE=Release -DWSCONSOLE_BUILD_TESTS=OFF \
        -DWSCONSOLE_INSTALL=OFF -DWSCONSOLE_BASE_URL="$base_url" >/dev/null
    cmake --build "$old/build" -j2 --target wsconsole >/dev/null
    baseline=(--baseline "$old/build/app/wsconsole")
    echo "baseline: $BENCH_BASELINE_REV ($(git -C "$root" rev-parse --short "$BENCH_BASELINE_REV"))"
fi

[ "${1:-}" = --smoke ] ||
    echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), kernel $(uname -r)," \
     "THP $(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)"
exec "$root/tests/support/own-loopback.sh" \
    python3 "$root/bench/compare.py" --console "$build/app/wsconsole" \
    --server "$root/bench/body_server.py" --base-url "$base_url" "${baseline[@]}" "$@"
