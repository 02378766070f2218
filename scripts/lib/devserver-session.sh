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

# listening: whether anything accepts connections on the console's port (bash's /dev/tcp, so
# that nothing is needed beyond bash).
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

# The console calls that one port: whoever holds it would answer the console's calls instead.
if listening; then
    # users:(("python3",pid=1234,fd=6)), where the system tells who holds it (root sees all).
    holder=()
    if command -v ss >/dev/null; then
        read -r -a holder < <(ss -Hltnp "sport = :$port" 2>/dev/null |
                                  sed -nE 's/.*users:\(\("([^"]+)",pid=([0-9]+).*/\1 \2/p') || true
    fi
    {
        if [ ${#holder[@]} -eq 2 ]; then
            echo "Port $port is taken by ${holder[0]} (process ${holder[1]}), and the console calls"
            echo "that port: the development web service must have it. Stop that program (kill"
            echo "${holder[1]}; an earlier try-console stops on Enter in its terminal), then run"
            echo "this command again."
        else
            echo "Port $port is taken, and the console calls that port: the development web"
            echo "service must have it. Stop whatever listens there (as root, ss -ltnp names it:"
            echo "ss -ltnp 'sport = :$port'), then run this command again."
        fi
    } >&2
    exit 1
fi

cp "$root/devserver/samples/6uD78iT-.jpeg" "$workdir/C:\\Users\\Zunel\\Pictures\\6uD78iT-.jpeg"
cp "$root/devserver/samples/th.jpg" "$workdir/C:\\Users\\Zunel\\Pictures\\th.jpg"

# Debian's interpreter: the service needs python3-aiohttp, which a pyenv
# python3 does not see.
/usr/bin/python3 "$root/devserver/devserver.py" --port "$port" 2>"$workdir/devserver.log" &
server=$!
# Until the port answers or the service has ended; a loaded machine may take its time to start
# Python, so the bound is only for a service that hangs.
for _ in $(seq 600); do
    listening && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
listening || {
    cat "$workdir/devserver.log" >&2
    echo "The development web service did not start on port $port (its messages are above)." >&2
    exit 1
}
