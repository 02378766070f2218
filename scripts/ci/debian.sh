#!/usr/bin/env bash
# Proves the project on a Debian release other than the machine's own: a fresh root of that
# release, a clean clone of the current commit inside it, the quick test command there, then a
# short console session through both calls against the development web service.
#
#   scripts/ci/debian.sh RELEASE                    the whole check (RELEASE: trixie, bookworm)
#   scripts/ci/debian.sh --root-only RELEASE        a scratch root of a fresh RELEASE install
#                                                   (without the project's dependencies), its
#                                                   path alone on standard output
#   scripts/ci/debian.sh --in ROOT [--host-net] COMMAND [ARG...]
#                                                   COMMAND as root inside ROOT (its /tmp is
#                                                   new and empty: lay files for it elsewhere,
#                                                   e.g. in ROOT/root)
#   scripts/ci/debian.sh --remove ROOT              removes a root that --root-only made
#
# The clone is made from the commit checked out (HEAD): work that is not committed is not part
# of the check, as in CI, which runs from a clean clone.
#
# Needs root, debootstrap, zstd, and the archive deb.debian.org. Each root is made once and kept
# as a tarball in $XDG_CACHE_HOME/wsconsole (~/.cache/wsconsole), made anew when a week old:
#   debian-RELEASE.tar.zst             debootstrap's minimal system with the release's updates and
#                                      security archive, as a fresh install has them;
#   debian-RELEASE-deps-HASH.tar.zst   that system after scripts/install-deps.sh (HASH: the
#                                      script's), so that the install step is proven whenever the
#                                      script changes, and a run with the same script starts at once.
# A lock keeps two runs from making the same tarball at once. Compilations are cached there too
# (ccache-RELEASE), so that an unchanged tree builds in seconds.
#
# Whatever runs in a root runs in namespaces of its own (mount, PID and, with --in unless
# --host-net, network with a loopback of its own): its /proc, /sys, /dev, /dev/pts, /dev/shm and
# /tmp are mounted there and vanish with it, and its processes end when it ends. The check's
# root is unpacked in memory there (about 2 GB), so it vanishes too; a root on disk is removed
# only once nothing is mounted inside it, and never across a file system boundary. The check's
# logs go to build/logs/debian-RELEASE.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
PATH="$PATH:/usr/sbin:/sbin"

cache="${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole"
mirror=http://deb.debian.org/debian
security_mirror=http://deb.debian.org/debian-security
max_age_days=7
started=$SECONDS

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

# One line per step, with the seconds since the start, on standard error (--root-only keeps
# standard output for the root's path).
step() {
    printf '[%4d s] %s\n' "$((SECONDS - started))" "$*" >&2
}

fail() {
    step "FAILED: $*"
    exit 1
}

# A tool's chatter goes to a log; a failure shows its last lines.
quietly() {
    local log="$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 20 "$log" | sed 's/^/    | /' >&2
        return 1
    fi
}

# The mount points at or under $1, as the kernel lists them (with \040 and friends decoded).
mounts_under() {
    local root
    root=$(realpath -m "$1")
    while read -r _ _ _ _ target _; do
        target=$(printf '%b' "$target")
        case "$target" in
            "$root" | "$root"/*) echo "$target" ;;
        esac
    done </proc/self/mountinfo
}

# Removes a root; refuses while anything is mounted inside it, since rm would go through a
# bind mount into what it shows (a bound /dev is the machine's own).
remove_root() {
    local root="$1" left mount
    [ -e "$root" ] || return 0
    left=$(mounts_under "$root")
    if [ -n "$left" ]; then
        step "NOT removing $root: still mounted inside it:"
        while read -r mount; do echo "    $mount"; done <<<"$left" >&2
        return 1
    fi
    rm -rf --one-file-system -- "$root"
}

# The part that runs inside the new namespaces, before chroot: with $unpack, the root is a
# tarball unpacked into memory, which vanishes with the namespace; with $copy, a folder is copied
# into it as /root/wsconsole; $binds lists host folders to mount inside it (host path, then path
# in the root, one a line). Then the root's own kernel file systems, a minimal /dev, a /tmp in
# memory, and the loopback when the network is its own.
# Arguments: ROOT NET(own|host) COMMAND...
# shellcheck disable=SC2016  # expanded by the inner shell
inner='
set -eu
root=$1 net=$2
shift 2
if [ -n "$unpack" ]; then
    mount -t tmpfs -o mode=755 root "$root"
    tar -C "$root" --numeric-owner -I "zstd -q" -xpf "$unpack"
else
    # A root on disk is a mount point of its own in here, as / is on a machine: tools that make
    # mount namespaces of their own (unshare --propagation) need that.
    mount --bind "$root" "$root"
fi
[ -z "$copy" ] || cp -a "$copy" "$root/root/wsconsole"
printf "%s\n" "$binds" | while read -r host && read -r inside; do
    mkdir -p "$root$inside"
    mount --bind "$host" "$root$inside"
done
mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys" 2>/dev/null ||
    mount --rbind -o ro /sys "$root/sys"
mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/full" c 1 7
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
mknod -m 666 "$root/dev/tty" c 5 0
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620,nosuid,noexec devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$root/tmp"
[ "$net" = host ] || ip link set lo up
exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive "$@"
'

# waited COMMAND...: runs COMMAND, one process, in the background and waits for it, so that a
# signal to this script reaches its trap at once (bash acts on a signal only once a foreground
# command has ended), and the trap can end COMMAND.
child=""
waited() {
    local status=0
    "$@" &
    child=$!
    wait "$child" || status=$?
    child=""
    return "$status"
}

# unshare ignores SIGTERM and SIGINT while it waits, tar passes them on to nothing: killed, they
# end what they run (unshare's child is the namespace's first process, and with it end all the
# namespace's processes; tar's compressor reads or writes a closed pipe).
stop_child() {
    if [ -n "$child" ]; then
        kill -KILL "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
        child=""
    fi
}

# in_root [--unpack TARBALL] [--copy FOLDER] [--bind HOST INSIDE]... ROOT NET COMMAND...:
# runs COMMAND inside ROOT in namespaces of their own (see $inner).
in_root() {
    local unpack="" copy="" binds=""
    while :; do
        case "$1" in
            --unpack) unpack=$2; shift 2 ;;
            --copy) copy=$2; shift 2 ;;
            --bind) binds+="$2"$'\n'"$3"$'\n'; shift 3 ;;
            *) break ;;
        esac
    done
    local root="$1" net="$2"
    shift 2
    local flags=(--mount --propagation private --pid --fork --kill-child)
    [ "$net" = host ] || flags+=(--net)
    waited env unpack="$unpack" copy="$copy" binds="$binds" \
        unshare "${flags[@]}" bash -c "$inner" in-root "$root" "$net" "$@"
}

# debootstrap mounts /proc and /sys in the new root itself: in a mount namespace of its own,
# those mounts cannot outlive it, even when it fails half-way.
make_base() {
    local release="$1" tarball="$2" build log
    new_scratch "debootstrap-$release"
    build=$work
    log="$cache/debian-$release-debootstrap.log"
    step "debootstrap $release (minbase) from $mirror, log: $log"
    quietly "$log" waited unshare --mount --propagation private --pid --fork --kill-child \
        debootstrap --variant=minbase "$release" "$build/root" "$mirror" || return 1

    # The sources and host files of an installed system: the release, its updates, its
    # security archive.
    cat >"$build/root/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb $security_mirror $release-security main
EOF
    grep -qs localhost "$build/root/etc/hosts" ||
        printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$build/root/etc/hosts"
    cp /etc/resolv.conf "$build/root/etc/resolv.conf" 2>/dev/null || true
    # A mirror that drops a connection now and then fails no run.
    echo 'Acquire::Retries "3";' >"$build/root/etc/apt/apt.conf.d/80retries"
    log="$cache/debian-$release-upgrade.log"
    step "apt-get update and upgrade from the release, its updates and security archive (log: $log)"
    quietly "$log" in_root "$build/root" host sh -c \
        'apt-get update && apt-get -y upgrade && apt-get clean' || return 1
    step "packing $tarball"
    pack "$build/root" "$tarball"
    remove_root "$build"
}

# Tarballs are written beside their final name and renamed into it, so that a reader never
# sees half of one.
packing=""
pack() {
    local root="$1" tarball="$2"
    packing="$tarball.part"
    waited tar -C "$root" --numeric-owner -I 'zstd -q -T0 -3' -cf "$packing" . || return 1
    mv -f "$packing" "$tarball"
    packing=""
}

unpack() {
    local tarball="$1" root="$2"
    mkdir -p "$root"
    waited tar -C "$root" --numeric-owner -I 'zstd -q' -xpf "$tarball"
}

fresh() {
    [ -f "$1" ] && [ -n "$(find "$1" -maxdepth 0 -mtime -"$max_age_days")" ]
}

# ensure_base RELEASE: the base tarball's path, made when missing or a week old.
ensure_base() {
    local release="$1" tarball="$cache/debian-$1.tar.zst"
    if fresh "$tarball"; then
        step "debian-$release.tar.zst cached from $(date -r "$tarball" '+%F %H:%M')"
    else
        make_base "$release" "$tarball" || return 1
    fi
    base_tarball="$tarball"
}

# A scratch folder outside the clone, on the cache's file system (tarballs move there in one
# rename). Everything made there goes at exit. Sets $work (no subshell: the list must grow).
# Its name carries the run's PID namespace and process id, so that a later run removes what a
# killed one left, and never what a run in another namespace (the check's own root, whose
# package test makes roots in this cache too) is still using.
pid_namespace=$(stat -L -c %i /proc/self/ns/pid)
scratch=()
new_scratch() {
    work=$(mktemp -d "$cache/scratch-$pid_namespace-$$-$1.XXXXXX")
    scratch+=("$work")
}

sweep_scratch() {
    local folder pid
    for folder in "$cache/scratch-$pid_namespace"-*; do
        [ -d "$folder" ] || continue
        pid=${folder#"$cache/scratch-$pid_namespace"-}
        pid=${pid%%-*}
        if [ "$pid" != $$ ] && ! kill -0 "$pid" 2>/dev/null; then
            step "removing $folder, left by an earlier run"
            remove_root "$folder" || true
        fi
    done
    # A --root-only root is its caller's to remove; one that a killed caller left goes after a day.
    for folder in "$cache"/root-*; do
        { [ -d "$folder" ] && [ -n "$(find "$folder" -maxdepth 0 -mmin +1440)" ]; } || continue
        step "removing $folder, a day old"
        remove_root "$folder" || true
    done
}

cleanup() {
    local status=$? folder
    trap - EXIT INT TERM
    stop_child
    for folder in "${scratch[@]}"; do
        remove_root "$folder" || status=1
    done
    [ -z "$packing" ] || rm -f "$packing"
    exit "$status"
}

check_tools() {
    [ "$(id -u)" -eq 0 ] || fail "needs root (chroot, mounts, namespaces)"
    local tool missing=()
    for tool in debootstrap zstd unshare chroot flock ip; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [ ${#missing[@]} -eq 0 ] || fail "missing: ${missing[*]} (scripts/install-deps.sh installs them)"
    mkdir -p "$cache"
    sweep_scratch
}

check_release() {
    [ -e "/usr/share/debootstrap/scripts/$1" ] || fail "debootstrap does not know the release '$1'"
}

# The whole check: root with the project's dependencies, clean clone, quick tests, console.
check_release_fully() {
    local release="$1" head root deps_tarball hash logs status=0
    check_release "$release"
    command -v git >/dev/null || fail "missing: git"
    head=$(git -C "$here" rev-parse HEAD) || fail "$here is not a git clone with a commit"
    step "checking $(git -C "$here" log -1 --format='%h %s' HEAD) on Debian $release"
    [ -z "$(git -C "$here" status --porcelain --untracked-files=no)" ] ||
        step "note: uncommitted changes are not part of this check (it runs on a clone of HEAD)"

    exec {lock}>"$cache/debian-$release.lock"
    step "waiting for the lock on $cache/debian-$release.*"
    # Another run may be making the tarballs: a cold start takes a few minutes.
    flock -w 1800 "$lock" || fail "another run has held the lock for 30 minutes"
    ensure_base "$release" || fail "could not make the Debian $release root"

    new_scratch "$release"
    step "cloning $head"
    # shellcheck disable=SC2016  # expanded by sh
    quietly "$work/clone.log" sh -c 'git init -q "$1" && git -C "$1" fetch -q "$2" "$3" &&
        git -C "$1" checkout -q --detach FETCH_HEAD' clone "$work/clone" "$here" "$head" ||
        fail "could not clone HEAD"

    hash=$(sha256sum "$work/clone/scripts/install-deps.sh" | cut -c1-12)
    deps_tarball="$cache/debian-$release-deps-$hash.tar.zst"
    if [ -f "$deps_tarball" ] && [ "$deps_tarball" -nt "$base_tarball" ]; then
        step "$(basename "$deps_tarball") cached: install-deps.sh $hash already proven"
    else
        # The one root on disk: it becomes the tarball.
        root="$work/deps-root"
        step "unpacking $(basename "$base_tarball")"
        unpack "$base_tarball" "$root"
        step "scripts/install-deps.sh of the clone inside the root (log: $cache/debian-$release-deps.log)"
        cp "$work/clone/scripts/install-deps.sh" "$root/root/install-deps.sh"
        quietly "$cache/debian-$release-deps.log" in_root "$root" host sh -c \
            '/root/install-deps.sh && /root/install-deps.sh ccache && apt-get clean' ||
            fail "scripts/install-deps.sh failed inside the Debian $release root"
        rm -f "$root/root/install-deps.sh"
        step "packing $(basename "$deps_tarball")"
        pack "$root" "$deps_tarball"
        find "$cache" -maxdepth 1 -name "debian-$release-deps-*.tar.zst" ! -name "$(basename "$deps_tarball")" -delete
        remove_root "$root"
    fi
    flock -u "$lock"

    # The logs are gathered in the scratch folder, then take the place of the last run's, so
    # that two runs of one clone do not write into each other's.
    mkdir -p "$cache/ccache-$release" "$work/root" "$work/logs"
    logs="$here/build/logs/debian-$release"

    # The root lives in memory, in the namespace: it goes with it, and nothing of it is left
    # to remove. Its logs come out through a bound folder. It keeps the machine's network: the
    # package test installs the packages with apt in a root of its own, which it makes with this
    # script from this cache, bound inside. The tests that use ports have a loopback of their
    # own (tests/support/own-loopback.sh), and so has the console session.
    step "unpacking it in memory; inside: scripts/run-tests.sh --quick, then" \
        "printf '1 1 n 2 1 y' | scripts/try-console.sh on a loopback of its own"
    # shellcheck disable=SC2016  # expanded inside the root
    in_root --unpack "$deps_tarball" --copy "$work/clone" --bind "$cache" /root/.cache/wsconsole \
        --bind "$cache/ccache-$release" /root/.ccache --bind "$work/logs" /root/logs \
        "$work/root" host bash -c '
        cd /root/wsconsole
        # ccache for build/ alone, through its CMake cache: in the environment it would reach
        # the builds in the package test'"'"'s root, which has no ccache.
        export CCACHE_MAXSIZE=2G
        cmake -S . -B build -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null 2>&1
        set -o pipefail
        scripts/run-tests.sh --quick 2>&1 | sed "s/^/    /"
        echo $? >/root/logs/quick-status
        cp -r build/logs/. build/Testing/Temporary/LastTest.log /root/logs/ 2>/dev/null
        printf "1\n1\nn\n2\n1\ny\n" | tests/support/own-loopback.sh scripts/try-console.sh \
            >/root/logs/console-session.txt 2>&1
        echo $? >/root/logs/console-status' || true

    rm -rf "$logs"
    mkdir -p "$(dirname "$logs")"
    cp -r "$work/logs" "$logs"

    if [ "$(cat "$logs/quick-status" 2>/dev/null)" = 0 ]; then
        step "quick tests passed"
    else
        step "quick tests FAILED"
        status=1
    fi
    local session="$logs/console-session.txt" console_status
    console_status=$(cat "$logs/console-status" 2>/dev/null || echo "not run")
    if [ "$console_status" != 0 ]; then
        tail -n 20 "$session" 2>/dev/null | sed 's/^/    | /' >&2
        step "console session FAILED: status $console_status (transcript: $session)"
        status=1
    # The image call's report follows the echoed path on the same line.
    elif ! grep -qF 'devserver: testMsg received 1 field' "$session" ||
        ! grep -qF 'devserver: testImg received 2 fields' "$session"; then
        sed 's/^/    | /' "$session" >&2
        step "console session FAILED: the service's reports of both calls are not in $session"
        status=1
    else
        grep -o 'devserver: test.*' "$session" | sed 's/^/    /' >&2
        step "console session ended with status 0 and both reports"
    fi

    remove_root "$work" || status=1
    if [ "$status" -eq 0 ]; then
        step "Debian $release: PASSED (logs: $logs)"
    else
        step "Debian $release: FAILED (logs: $logs)"
    fi
    return "$status"
}

trap cleanup EXIT
trap 'step "interrupted"; exit 130' INT
trap 'step "terminated"; exit 143' TERM

case "${1:-}" in
    --root-only)
        [ $# -eq 2 ] || usage
        check_tools
        check_release "$2"
        exec {lock}>"$cache/debian-$2.lock"
        flock -w 1800 "$lock" || fail "another run has held the lock for 30 minutes"
        ensure_base "$2" || fail "could not make the Debian $2 root"
        flock -u "$lock"
        root=$(mktemp -d "$cache/root-$2.XXXXXX")
        scratch+=("$root")
        step "unpacking $(basename "$base_tarball") into $root"
        unpack "$base_tarball" "$root"
        scratch=()  # the caller's now: scripts/ci/debian.sh --remove ROOT
        echo "$root"
        ;;
    --in)
        [ $# -ge 3 ] || usage
        check_tools
        root=$2
        shift 2
        net=own
        if [ "$1" = --host-net ]; then
            net=host
            shift
        fi
        { [ $# -ge 1 ] && [ -x "$root/bin/sh" ]; } || usage
        in_root "$root" "$net" "$@"
        ;;
    --remove)
        [ $# -eq 2 ] || usage
        # Only what --root-only made: a mistyped path never meets rm -rf.
        case "$(realpath -m "$2")" in
            "$(realpath -m "$cache")"/root-*) ;;
            *) fail "$2 is not a root that --root-only made (in $cache)" ;;
        esac
        remove_root "$2"
        ;;
    -* | "") usage ;;
    *)
        [ $# -eq 1 ] || usage
        check_tools
        check_release_fully "$1"
        ;;
esac
