#!/usr/bin/env bash
# The project's test command. It installs what is missing, then runs these stages in turn:
#   build           configures and builds build/ (the console, the library and the tests)
#   tests           every CTest test of build/: unit, end-to-end, installed library, .deb
#   trixie          scripts/ci/debian.sh trixie: the quick tests and a console session in a
#                   fresh Debian 13 root, from a clean clone of HEAD
#   valgrind        the test binaries and the end-to-end tests of build/ under memcheck
#   sanitize-build  the same tree with AddressSanitizer and UndefinedBehaviorSanitizer
#   sanitize-tests  every CTest test of that build
#   fuzz            the answer reader's fuzzer for 60 s (clang, build-fuzz/)
#   bench           bench/run.sh --smoke: the benchmark runs
#   windows         scripts/ci/windows.sh, where the tree has it
#
#   scripts/run-tests.sh           all of them (about 5 minutes on 2 cores, and one or two more
#                                  for Debian 13; its first run makes the root: a few more)
#   scripts/run-tests.sh --quick   build and tests only (about a minute once built)
#
# Each stage prints one line; what its tools print goes to build/logs/<stage>.log, whose path
# and last lines are shown when the stage fails. The last two lines sum up: each stage's time,
# then "N passed, N failed". The exit status is 0 only when every stage passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

quick=0
ctest_args=()
case "${1:-}" in
    "") ;;
    --quick) quick=1; shift; ctest_args=("$@") ;;
    *) echo "usage: $0 [--quick [CTEST_OPTION...]]" >&2; exit 2 ;;
esac

logs="$root/build/logs"
mkdir -p "$logs"
rm -f "$logs"/*.log

passed=0
failed=0
times=()
declare -A outcome=()

# stage NAME NEEDS DESCRIPTION COMMAND [ARG...]: runs COMMAND with its output in NAME's log,
# unless the stage NEEDS (or "-") did not pass.
stage() {
    local name="$1" needs="$2" description="$3"
    shift 3
    local log="$logs/$name.log" started=$SECONDS status=0
    printf '%-15s %s ... ' "$name" "$description"
    if [ "$needs" != - ] && [ "${outcome[$needs]:-}" != passed ]; then
        echo "not run: $needs did not pass"
        outcome[$name]=failed
        failed=$((failed + 1))
        times+=("$name -")
        return
    fi
    "$@" </dev/null >"$log" 2>&1 || status=$?
    local seconds=$((SECONDS - started))
    times+=("$name ${seconds} s")
    if [ "$status" -eq 0 ]; then
        echo "passed (${seconds} s)"
        outcome[$name]=passed
        passed=$((passed + 1))
    else
        echo "FAILED (${seconds} s, status $status), log: $log"
        tail -n 15 "$log" | sed 's/^/    | /'
        outcome[$name]=failed
        failed=$((failed + 1))
    fi
}

# The stages run as the left side of ||, where set -e does not stop a function: steps chain.
configure_and_build() {
    local build="$1"
    shift
    cmake -S "$root" -B "$build" "$@" && cmake --build "$build" -j2
}

run_ctest() {
    ctest --test-dir "$1" --output-on-failure --timeout 300 "${@:2}"
}

sanitized() {
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 "$@"
}

stage deps - "installing what is missing" "$root/scripts/install-deps.sh"
stage build deps "building build/" configure_and_build "$root/build"
stage tests build "CTest in build/" run_ctest "$root/build" "${ctest_args[@]}"
if [ "$quick" -eq 0 ]; then
    stage trixie deps "Debian 13 in a scratch root" "$root/scripts/ci/debian.sh" trixie
    stage valgrind build "build/'s tests under valgrind" "$root/scripts/ci/valgrind.sh" "$root/build"
    stage sanitize-build deps "building build-sanitize/ with ASan and UBSan" \
        configure_and_build "$root/build-sanitize" -DWSCONSOLE_SANITIZE=ON
    stage sanitize-tests sanitize-build "CTest in build-sanitize/" \
        sanitized run_ctest "$root/build-sanitize"
    stage fuzz deps "fuzzing the answer reader for 60 s" "$root/scripts/ci/fuzz.sh" 60
    stage bench deps "checking that the benchmark runs" "$root/bench/run.sh" --smoke
    if [ -x "$root/scripts/ci/windows.sh" ]; then
        stage windows deps "building for Windows, testing under Wine" "$root/scripts/ci/windows.sh"
    fi
fi

# The stages' times, then the verdict alone on the last line, in the plain form that CI reads.
summary=$(IFS=,; echo "${times[*]}")
echo "stage times: ${summary//,/, }"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
