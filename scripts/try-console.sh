#!/usr/bin/env bash
# Builds the console and lets you talk to it: the development web service runs in the
# background on the console's port, the sample images wait in a scratch folder under the names
# the image call reads, and the service stops when the console ends. Its request inspector, a
# page on the same port, shows what each call sent.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target wsconsole -j2 >/dev/null

# shellcheck source=scripts/lib/devserver-session.sh
. "$root/scripts/lib/devserver-session.sh"

echo "The request inspector shows what the service receives: http://localhost:$port/"
cd "$workdir"
"$build/app/wsconsole"
