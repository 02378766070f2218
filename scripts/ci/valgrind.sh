#!/usr/bin/env bash
# Runs the C++ test binaries of a build and the console's dialogue end to end under valgrind's
# memcheck, and fails on any memory error or any byte definitely or indirectly lost.
#
#   scripts/ci/valgrind.sh BUILD_DIR
#
# BUILD_DIR is a configured and built folder without sanitizers (valgrind and ASan do not mix).
# The test binaries are BUILD_DIR/tests/*_tests; the end-to-end tests run the console through
# WSCONSOLE_WRAPPER, so that valgrind reports to its own log files and not into the standard
# error the tests compare, while its exit code fails the test that ran it. Of the end-to-end
# tests only the dialogue's (test_console.py) run here, a console under valgrind being slow to
# start: the client's failures and uploads have their own C++ tests in the binaries, and the
# console's end-to-end runs of them go through ASan and UBSan in the sanitize stage. They run in
# a network namespace of their own (tests/support/own-loopback.sh), where the console's port is
# theirs. Each stage is bounded in time. With JUNIT_DIR set, every run writes a JUnit report
# there (GoogleTest's, xmlrunner's), which the test command counts; each failing run is named on a
# line "failed: NAME (under valgrind)".
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps.sh)" >&2; exit 2; }
if grep -q '^WSCONSOLE_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "$build is built with sanitizers; give a build without them" >&2
    exit 2
fi

error_code=99
# The client's tests replace operator new to make memory run out on purpose: valgrind must leave
# the program's own allocation functions in place and watch the C library's beneath them.
# shellcheck disable=SC2054  # the commas are valgrind's list separators
memcheck=(valgrind --tool=memcheck --soname-synonyms=somalloc=nouserintercepts --leak-check=full --show-leak-kinds=definite,indirect
          --errors-for-leak-kinds=definite,indirect --error-exitcode="$error_code"
          --track-origins=yes --num-callers=30)

# Log files of every run. The end-to-end tests may run the console as the user nobody, which
# must be able to write its own log here.
logs=$(mktemp -d)
chmod 1777 "$logs"
[ -z "${JUNIT_DIR:-}" ] || mkdir -p "$JUNIT_DIR"
trap 'rm -rf "$logs"' EXIT

failed=0
started=$SECONDS

# The test programs, one after the other, beside the end-to-end tests: memcheck runs a program on
# one core, and the machine has two.
programs() {
    local binary name status=0
    for binary in "$build"/tests/*_tests; do
        [ -x "$binary" ] || continue
        name=$(basename "$binary")
        echo "== valgrind: $name" >&2
        if ! timeout 600 "${memcheck[@]}" --log-file="$logs/$name.log" "$binary" --gtest_brief=1 \
                ${JUNIT_DIR:+--gtest_output="xml:$JUNIT_DIR/$name.xml"} >&2; then
            echo "failed: $name (under valgrind)" >&2
            status=1
        fi
    done
    return "$status"
}
programs &
programs_pid=$!

echo "== valgrind: the console's dialogue end to end" >&2
base_url=$(sed -n 's/^WSCONSOLE_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
wrapper="${memcheck[*]} --log-file=$logs/wsconsole.%p.log"
if ! WSCONSOLE_BIN="$build/app/wsconsole" WSCONSOLE_BASE_URL="$base_url" \
        WSCONSOLE_CURL_ERROR_TEXT="$build/tests/curl_error_text" \
        WSCONSOLE_WRAPPER="$wrapper" WSCONSOLE_SLOW=0 \
        timeout 900 "$root/tests/support/own-loopback.sh" \
        /usr/bin/python3 -m xmlrunner --output-file "${JUNIT_DIR:-$logs}/e2e_console.xml" \
        discover -s "$root/tests/e2e" -p "test_console.py"; then
    echo "failed: e2e_console (under valgrind)" >&2
    failed=1
fi
wait "$programs_pid" || failed=1

# The exit codes already carry every finding; the logs are read again so that none is missed
# (a console run whose status a test does not look at) and so that the findings get shown.
runs=0
for log in "$logs"/*.log; do
    [ -e "$log" ] || continue
    runs=$((runs + 1))
    if grep -Eq 'ERROR SUMMARY: [1-9]|(definitely|indirectly) lost: [1-9]' "$log"; then
        echo "failed: valgrind's findings in $(basename "$log"):" >&2
        cat "$log" >&2
        failed=1
    fi
done
echo "valgrind: $runs runs checked in $((SECONDS - started)) s" >&2
exit $failed
