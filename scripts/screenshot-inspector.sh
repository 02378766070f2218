#!/usr/bin/env bash
# Takes the README's picture of the request inspector from a real run: the console makes both
# calls (`1 1 n 2 1 y`) to the development web service, then headless Chromium photographs the
# inspector's page into docs/inspector.png (or the file given).
#
#   scripts/screenshot-inspector.sh [OUTPUT.png]
#
# The console calls the port it was built with, so all of it runs on a loopback of its own
# (tests/support/own-loopback.sh), where that port is free whatever else runs here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
output=$(realpath -m "${1:-$root/docs/inspector.png}")

if [ -z "${WSCONSOLE_OWN_LOOPBACK:-}" ]; then
    cmake -S "$root" -B "$build" >/dev/null
    cmake --build "$build" --target wsconsole -j2 >/dev/null
    WSCONSOLE_OWN_LOOPBACK=1 exec "$root/tests/support/own-loopback.sh" "$0" "$output"
fi

# shellcheck source=scripts/lib/devserver-session.sh
. "$root/scripts/lib/devserver-session.sh"

(cd "$workdir" && printf '1 1 n 2 1 y' | timeout 30 "$build/app/wsconsole" >/dev/null)

# ?snapshot: the page lists what is there once, without its event stream, so that Chromium's
# virtual time runs out once the list and its pictures have loaded.
mkdir -p "$(dirname "$output")"
rm -f "$output"
timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --no-proxy-server \
    --user-data-dir="$workdir/chromium" --hide-scrollbars --window-size=1100,1090 \
    --virtual-time-budget=5000 --screenshot="$output" "http://localhost:$port/?snapshot" \
    >"$workdir/chromium.log" 2>&1 || true
[ -s "$output" ] || { cat "$workdir/chromium.log" >&2; echo "no screenshot taken" >&2; exit 1; }
echo "$output"
