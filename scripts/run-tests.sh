#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test in a normal build, again under
# valgrind's memcheck, and again in a build with AddressSanitizer and UndefinedBehaviorSanitizer;
# then fuzzes the answer reader for a minute and checks that the benchmark still runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/install-deps.sh"

run() {
    local build="$1"
    shift
    cmake -S "$root" -B "$build" "$@" >/dev/null
    cmake --build "$build" -j2
    ctest --test-dir "$build" --output-on-failure --timeout 300
}

run "$root/build"
"$root/scripts/ci/valgrind.sh" "$root/build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run "$root/build-sanitize" -DWSCONSOLE_SANITIZE=ON
"$root/scripts/ci/fuzz.sh" 60
"$root/bench/run.sh" --smoke
"$root/scripts/ci/windows.sh"
