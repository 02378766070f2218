#!/usr/bin/env bash
# The Windows stage: builds wsconsole.exe and its test programs for 64-bit Windows with
# MinGW-w64 (scripts/windows/build.sh --tests, which also packs the zip in dist/), then runs the
# test programs and the console's end-to-end tests under Wine, and the full dialogue once more
# with the wsconsole.exe of the zip.
#
#   scripts/ci/windows.sh [BUILD_DIR]     (build-windows by default)
#
# The tests run in a network namespace of their own (tests/support/own-loopback.sh), where the
# development web service can listen on the port wsconsole.exe is built with (18080) without
# meeting anything else on the machine. Wine's sockets are made by its wineserver, so that
# server is started inside the namespace too, for a scratch prefix in the build folder (never
# ~/.wine), and stopped at the end. Wine runs headless, without its debugger (which would turn a crash into a success) and
# without offering to install its .NET and browser. Every step is bounded in time.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-windows}
started=$SECONDS

"$root/scripts/install-deps.sh" mingw-w64 wine wine64 zip dpkg-dev googletest iproute2 python3-pefile
"$root/scripts/windows/build.sh" --tests --build-dir "$build"
build=$(cd "$build" && pwd)
zip_file=$(ls "$root"/dist/wsconsole-"$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"-windows-x86_64.zip)

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe="
# A wineserver left by an earlier run of this prefix lives outside the namespace.
wineserver -k 2>/dev/null || true

status=0
# shellcheck disable=SC2016  # expanded by the inner shell
"$root/tests/support/own-loopback.sh" bash -c '
    set -euo pipefail
    # One wineserver for the whole stage: Wine then starts each program in a fraction of a
    # second instead of seconds.
    mkdir -p "$WINEPREFIX"
    wineserver -p
    trap "wineserver -k 2>/dev/null || true" EXIT
    echo "== windows: Wine prefix $WINEPREFIX" >&2
    if ! timeout 300 wine wineboot --init >"$1/wineboot.log" 2>&1; then
        cat "$1/wineboot.log" >&2
        exit 1
    fi
    ctest --test-dir "$1" --output-on-failure --timeout 600

    # The zip as shipped: its files, and its wsconsole.exe through the whole dialogue.
    echo "== windows: $(basename "$2")" >&2
    # The Debian interpreter, which sees python3-aiohttp for the web service.
    python=/usr/bin/python3
    rm -rf "$1/unzipped"
    "$python" -m zipfile -e "$2" "$1/unzipped"
    name=$(basename "$2" .zip)
    listed=$(cd "$1/unzipped" && find . -type f | sort | tr "\n" " ")
    # The program, its two documents and the service'"'"'s folder as the source tree has it.
    expected=$( (printf "%s\n" README-windows.txt LICENSE wsconsole.exe
                 cd "$3" && find devserver -name __pycache__ -prune -o -type f ! -name "*.pyc" -print) |
               sed "s|^|./$name/|" | sort | tr "\n" " ")
    if [ "$listed" != "$expected" ]; then
        echo "the zip holds: $listed" >&2
        exit 1
    fi
    # The shipped program keeps its version resource and manifest through strip.
    WSCONSOLE_BIN="$1/unzipped/$name/wsconsole.exe" timeout 60 "$python" "$3/tests/windows/test_resources.py"
    cd "$3/tests/e2e"
    WSCONSOLE_BIN="$1/unzipped/$name/wsconsole.exe" \
        WSCONSOLE_BASE_URL=$(sed -n "s/^WSCONSOLE_BASE_URL:STRING=//p" "$1/CMakeCache.txt") \
        WSCONSOLE_CURL_ERROR_TEXT="wine $1/tests/curl_error_text.exe" \
        timeout 300 "$python" -m unittest \
        wine_console.WineWithDevServer.test_both_calls_in_one_session_typed_ahead_on_one_line
' windows-stage "$build" "$zip_file" "$root" || status=$?

echo "windows: $(basename "$zip_file") $(stat -c %s "$zip_file") bytes; stage took $((SECONDS - started)) s" >&2
exit $status
