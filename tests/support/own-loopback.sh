#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with a loopback interface that nothing else
# uses. The console calls the fixed port it was built with (18080 for the tests, 18093 for the
# bench), so its tests and the bench own that port there whatever else runs on the machine:
# a development web service left running, or another clone running its tests.
#
#   tests/support/own-loopback.sh COMMAND [ARG...]
#
# As root the namespace is a plain one (the tests that drop to the user nobody need real root);
# otherwise it comes with a user namespace in which the caller is root, and those tests skip
# themselves. Where no namespace can be made (no unshare, or namespaces forbidden), the command
# runs on the machine's own loopback after a warning, and collides with whatever holds its port.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

# Linux only: network namespaces. `ip` lives in /usr/sbin, which a user's PATH may lack.
PATH="$PATH:/usr/sbin:/sbin"
if [ "$(id -u)" -eq 0 ]; then
    unshare=(unshare --net)
else
    unshare=(unshare --map-root-user --net)
fi

why=""
if ! command -v unshare >/dev/null; then
    why="unshare is not installed (util-linux)"
elif ! command -v ip >/dev/null; then
    why="ip is not installed (iproute2)"
elif ! probe=$("${unshare[@]}" ip link set lo up 2>&1); then
    why="${unshare[*]} failed: ${probe:-no reason given}"
fi
if [ -n "$why" ]; then
    echo "own-loopback: $why; running on the machine's loopback, where the port may be taken" >&2
    exec "$@"
fi

# shellcheck disable=SC2016  # expanded by the inner shell
exec "${unshare[@]}" sh -c 'ip link set lo up && exec "$@"' own-loopback "$@"
