#!/usr/bin/env bash
# Builds the console and lets you talk to it: the development web service runs in the
# background on the console's port, the sample images wait in a scratch folder under the names
# the image call reads, and the service stops when the console ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target wsconsole -j2 >/dev/null

base_url=$(sed -n 's/^WSCONSOLE_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
port=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.urlsplit(sys.argv[1]).port or 80)' "$base_url")

workdir=$(mktemp -d)
server=""
stop() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$workdir"
}
trap stop EXIT
trap 'exit 130' INT TERM

cp "$root/devserver/samples/6uD78iT-.jpeg" "$workdir/C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg"
cp "$root/devserver/samples/th.jpg" "$workdir/C:\\Users\\Zunel\\Pictures\\th.jpg"

# Debian's interpreter: the service needs python3-aiohttp and python3-werkzeug, which a pyenv
# python3 does not see.
/usr/bin/python3 "$root/devserver/devserver.py" --port "$port" 2>"$workdir/devserver.log" &
server=$!
for _ in $(seq 100); do
    grep -q "listening on" "$workdir/devserver.log" && break
    if ! kill -0 "$server" 2>/dev/null; then
        cat "$workdir/devserver.log" >&2
        server=""
        exit 1
    fi
    sleep 0.1
done
grep -q "listening on" "$workdir/devserver.log" || { echo "devserver did not start" >&2; exit 1; }

cd "$workdir"
"$build/app/wsconsole"
