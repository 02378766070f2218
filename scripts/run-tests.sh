#!/usr/bin/env bash
# The project's test command. It installs what is missing, then runs these stages in turn:
#   build           configures and builds build/ (the console, the library and the tests)
#   trixie          scripts/ci/debian.sh trixie: the quick tests (without the browser's), the
#                   linters and a console session in a fresh Debian 13 root, from a clean clone
#                   of HEAD; it runs beside all the stages below, and is told last
#   lint            shellcheck, flake8, clang-format and clang-tidy (scripts/ci/lint.sh)
#   tests           every CTest test of build/: unit, end-to-end, browser, installed library, .deb
#   valgrind        the C++ test programs and the console's end-to-end runs under memcheck
#   sanitize-build  the same tree with AddressSanitizer and UndefinedBehaviorSanitizer
#   sanitize-tests  the CTest tests of that build that run its C++ (not the service's own tests
#                   nor the .deb checks, which run no code of that build's own)
#   tsan            the client's calls, the threaded test among them, under ThreadSanitizer
#   fuzz            the answer reader's fuzzer for 15 s on every core (clang, build-fuzz/)
#   bench           bench/run.sh --smoke: the benchmark runs
#   windows         scripts/ci/windows.sh, where the tree has it
#
#   scripts/run-tests.sh                          all of them (docs/benchmarks.md has the times)
#   scripts/run-tests.sh --quick [CTEST_OPTION]   build and tests only, with those options for
#                                                 CTest (e.g. -L unit)
#
# Each stage prints one line; what its tools print goes to build/logs/<stage>.log. When a stage
# fails, its failed tests are named there and below its line (else the log's last lines are
# shown). The builds share compilations through ccache.
# The last lines sum up: each stage's time, the stages passed and failed, the tests that ran in
# each stage that counts them (from JUnit reports: CTest's, GoogleTest's and xmlrunner's), then,
# alone on the last line, "N passed, N failed, N skipped": tests, where a failed stage that
# counted no failed test counts as one failure. The exit status
# is 0 only when every stage passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Every build here goes through ccache: paths below the clone count as relative, and the working
# folder is not hashed, so that a clone made anywhere, as CI makes them, finds the compilations of
# the last one (debug information then names the folder of the clone that compiled first).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true

quick=0
ctest_args=()
case "${1:-}" in
    "") ;;
    --quick) quick=1; shift; ctest_args=("$@") ;;
    *) echo "usage: $0 [--quick [CTEST_OPTION...]]" >&2; exit 2 ;;
esac

logs="$root/build/logs"
mkdir -p "$logs"
rm -rf "${logs:?}"/*

stages_passed=0
stages_failed=0
passed=0
failed=0
skipped=0
times=()
counted=()
declare -A outcome=()

# count NAME LINE: adds a stage's "N ran: N passed, N failed, N skipped (...)" to the sums.
count() {
    local name="$1" line="$2" p f s
    read -r p f s < <(sed -E 's/.*: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped.*/\1 \2 \3/' <<<"$line")
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + s))
    counted+=("$name: $line")
    [ "${outcome[$name]}" = passed ] || [ "$f" -gt 0 ] || failed=$((failed + 1))
}

# stage NAME NEEDS DESCRIPTION COMMAND [ARG...]: runs COMMAND with its output in NAME's log,
# unless the stage NEEDS (or "-") did not pass. A stage that leaves JUnit reports in $logs/NAME/
# (and CTest's in $logs/NAME.xml) has its tests counted.
stage() {
    local name="$1" needs="$2" description="$3"
    shift 3
    local log="$logs/$name.log" started=$SECONDS status=0 p f s
    printf '%-15s %s ... ' "$name" "$description"
    if [ "$needs" != - ] && [ "${outcome[$needs]:-}" != passed ]; then
        echo "not run: $needs did not pass"
        outcome[$name]=failed
        stages_failed=$((stages_failed + 1))
        failed=$((failed + 1))
        times+=("$name -")
        return
    fi
    "$@" </dev/null >"$log" 2>&1 || status=$?
    local seconds=${took[$name]:-$((SECONDS - started))}
    times+=("$name ${seconds} s")
    # A test command run inside the stage (Debian 13's) counted its tests on its last line.
    local inner counts=""
    inner=$(sed -nE 's/^ +([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped$/\1 \2 \3/p' "$log" |
                tail -n 1)
    if [ -d "$logs/$name" ]; then
        counts=$(/usr/bin/python3 "$root/scripts/lib/count_tests.py" "$logs/$name" \
                     "$([ -f "$logs/$name.xml" ] && echo "$logs/$name.xml")")
        printf '%s\n' "$counts" >>"$log"
    fi
    if [ "$status" -eq 0 ]; then
        echo "passed (${seconds} s)"
        outcome[$name]=passed
        stages_passed=$((stages_passed + 1))
    else
        echo "FAILED (${seconds} s, status $status), log: $log"
        # The failed tests by name, as this command or one run inside the stage named them.
        if grep -qE '^[ |]*failed: ' "$log"; then
            grep -E '^[ |]*failed: ' "$log" | sed -E 's/^[ |]*/    | /' | head -n 40
        else
            tail -n 15 "$log" | sed 's/^/    | /'
        fi
        outcome[$name]=failed
        stages_failed=$((stages_failed + 1))
    fi
    if [ -n "$counts" ]; then
        count "$name" "$(head -n 1 <<<"$counts")"
    elif [ -n "$inner" ]; then
        read -r p f s <<<"$inner"
        count "$name" "$((p + f + s)) ran: $p passed, $f failed, $s skipped"
    elif [ "$status" -ne 0 ]; then
        failed=$((failed + 1))
    fi
}

# beside NAME NEEDS DESCRIPTION COMMAND [ARG...]: starts the stage's command now, beside the
# stages that follow, when NEEDS passed; `stage NAME NEEDS DESCRIPTION joined NAME` later waits
# for it and tells it like any other, with its own length rather than the wait for it.
declare -A pids=() took=()
beside() {
    local name="$1" needs="$2" description="$3"
    shift 3
    [ "$needs" = - ] || [ "${outcome[$needs]:-}" = passed ] || return 0
    printf '%-15s %s ... started, beside the stages below\n' "$name" "$description"
    (
        status=0
        "$@" </dev/null >"$logs/$name.beside" 2>&1 || status=$?
        echo "$SECONDS" >"$logs/$name.ended"
        exit "$status"
    ) &
    pids[$name]=$!
    took[$name]=$SECONDS
}
joined() {
    local status=0
    [ -n "${pids[$1]:-}" ] || return 1
    wait "${pids[$1]}" || status=$?
    cat "$logs/$1.beside" && rm -f "$logs/$1.beside"
    took[$1]=$(($(cat "$logs/$1.ended" 2>/dev/null || echo "$SECONDS") - took[$1]))
    rm -f "$logs/$1.ended"
    return "$status"
}

# The stages run as the left side of ||, where set -e does not stop a function: steps chain.
configure_and_build() {
    local build="$1"
    shift
    cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" &&
        cmake --build "$build" -j2
}

# run_ctest NAME BUILD [CTEST_OPTION...]: two at a time. CTest's report goes to $logs/NAME.xml,
# the Python tests' own (xmlrunner's, in BUILD/junit) to $logs/NAME/.
run_ctest() {
    local status=0
    rm -rf "$2/junit" "${logs:?}/$1" && mkdir -p "$2/junit" || return
    ctest --test-dir "$2" --output-on-failure --timeout 300 -j2 --output-junit "$logs/$1.xml" \
        --test-output-size-passed 100000 --test-output-size-failed 1000000 "${@:3}" || status=$?
    mv "$2/junit" "$logs/$1" && mkdir -p "$2/junit"
    return "$status"
}

sanitized() {
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 "$@"
}

# The tests whose code runs in more than one thread: the calls with the test's server thread,
# and the threaded one; the buffer's tests and the allocation failures run in one.
thread_sanitized() {
    cmake -S "$root" -B "$root/build-tsan" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DWSCONSOLE_TSAN=ON &&
        cmake --build "$root/build-tsan" -j2 --target client_tests &&
        TSAN_OPTIONS=halt_on_error=1 "$root/build-tsan/tests/client_tests" --gtest_brief=1 \
            --gtest_filter='-StoreResponseChunk.*:TakeText.*:*AllocationFailure*' \
            --gtest_output="xml:$logs/tsan/client_tests.xml"
}

# The options that matter are given each time: a folder's CMake cache keeps whatever it was last
# given.
tree=(-DWSCONSOLE_BUILD_TESTS=ON -DWSCONSOLE_INSTALL=ON)
stage deps - "installing what is missing" "$root/scripts/install-deps.sh" --tests
stage build deps "building build/" configure_and_build "$root/build" "${tree[@]}" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
if [ "$quick" -eq 0 ]; then
    # Debian 13's root runs its own build, tests and linters, and its tests spend most of their
    # time waiting on the service's time limits: beside this machine's stages, it costs their
    # length only once.
    beside trixie deps "Debian 13 in a scratch root" "$root/scripts/ci/debian.sh" trixie
    stage lint build "shellcheck, flake8, clang-format, clang-tidy" "$root/scripts/ci/lint.sh" "$root/build"
fi
stage tests build "CTest in build/" run_ctest tests "$root/build" "${ctest_args[@]}"
if [ "$quick" -eq 0 ]; then
    stage valgrind build "build/'s tests under valgrind" \
        env JUNIT_DIR="$logs/valgrind" "$root/scripts/ci/valgrind.sh" "$root/build"
    stage sanitize-build deps "building build-sanitize/ with ASan and UBSan" \
        configure_and_build "$root/build-sanitize" "${tree[@]}" -DWSCONSOLE_SANITIZE=ON
    stage sanitize-tests sanitize-build "CTest in build-sanitize/" \
        sanitized run_ctest sanitize-tests "$root/build-sanitize" -LE browser \
        -E '^(devserver_.*|package_DebianPackageTest)$'
    stage tsan deps "the client's tests with ThreadSanitizer (build-tsan/)" thread_sanitized
    stage fuzz deps "fuzzing the answer reader for 15 s on every core" "$root/scripts/ci/fuzz.sh" 15
    stage bench deps "checking that the benchmark runs" "$root/bench/run.sh" --smoke
    if [ -x "$root/scripts/ci/windows.sh" ]; then
        stage windows deps "building for Windows, testing under Wine" "$root/scripts/ci/windows.sh"
    fi
fi

if [ "$quick" -eq 0 ]; then
    stage trixie deps "Debian 13 in a scratch root" joined trixie
fi

summary=$(IFS=,; echo "${times[*]}")
echo "stage times: ${summary//,/, }"
echo "stages: $stages_passed passed, $stages_failed failed"
for line in "${counted[@]}"; do
    echo "tests in $line"
done
# The verdict alone on the last line, in the plain form that CI reads.
echo "$passed passed, $failed failed, $skipped skipped"
[ "$stages_failed" -eq 0 ] && [ "$failed" -eq 0 ]
