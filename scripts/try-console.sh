#!/usr/bin/env bash
# Builds the console and lets you talk to it: the development web service runs in the
# background on the console's port, the sample images wait in a scratch folder under the names
# the image call reads. Its request inspector, a page on the same port, shows what each call
# sent. When the console ends, the service ends with it; on a terminal it waits for Enter first,
# so that the inspector can still be read.
#
# It installs only what building the console and running the service need
# (scripts/install-deps.sh without --tests), and builds the console alone in build-console/,
# without the tests: build/ is the test command's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-console"

"$root/scripts/install-deps.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DWSCONSOLE_BUILD_TESTS=OFF -DWSCONSOLE_INSTALL=OFF "${launcher[@]}" \
    >/dev/null
cmake --build "$build" --target wsconsole -j2 >/dev/null

# shellcheck source=scripts/lib/devserver-session.sh
. "$root/scripts/lib/devserver-session.sh"

echo "The request inspector shows what the service receives: http://localhost:$port/"
status=0
(cd "$workdir" && "$build/app/wsconsole") || status=$?
if [ -t 0 ]; then
    echo "The console has ended; the service still runs, and its inspector at"
    echo "http://localhost:$port/ still answers. Press Enter to stop the service."
    read -r _ || true
else
    echo "The console has ended, and the development web service with it: the inspector at"
    echo "http://localhost:$port/ no longer answers."
fi
exit "$status"
