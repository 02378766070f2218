# Sourced by the scripts that show the console at work (try-console.sh, screenshot-inspector.sh):
# a scratch folder holding the sample images under the names the image call reads, and the
# development web service in the background on the port the console in $build was built with.
# Both go when the calling script ends. Sets workdir and port.
# shellcheck shell=bash disable=SC2154  # root and build are the calling script's

base_url=$(sed -n 's/^WSCONSOLE_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
port=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.urlsplit(sys.argv[1]).port or 80)' "$base_url")

workdir=$(mktemp -d)
server=""
stop_session() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$workdir"
}
trap stop_session EXIT
trap 'exit 130' INT TERM

cp "$root/devserver/samples/6uD78iT-.jpeg" "$workdir/C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg"
cp "$root/devserver/samples/th.jpg" "$workdir/C:\\Users\\Zunel\\Pictures\\th.jpg"

# Debian's interpreter: the service needs python3-aiohttp, which a pyenv
# python3 does not see.
/usr/bin/python3 "$root/devserver/devserver.py" --port "$port" 2>"$workdir/devserver.log" &
server=$!
for _ in $(seq 100); do
    grep -q "listening on" "$workdir/devserver.log" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
grep -q "listening on" "$workdir/devserver.log" || {
    cat "$workdir/devserver.log" >&2
    echo "devserver did not start" >&2
    exit 1
}
