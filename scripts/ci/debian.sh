#!/usr/bin/env bash
# Proves the project on a Debian release other than the machine's own: a fresh root of that
# release, a clean clone of the current commit (HEAD) inside it, the quick test command and the
# linters there (that release's clang-tidy and clang-format), then a short console session
# through both calls against the development web service.
#
#   scripts/ci/debian.sh RELEASE                 the whole check (RELEASE: trixie, bookworm)
#   scripts/ci/debian.sh --root-only RELEASE [DEB...] [PACKAGE...]
#                        prints the path of a scratch root of a fresh RELEASE install, without
#                        the project's needs; with what each DEB file depends on (its Depends
#                        and Recommends, as apt installs them) and each PACKAGE of the release
#                        (without its Recommends) installed, the DEBs themselves not
#   scripts/ci/debian.sh --in ROOT [--host-net] COMMAND [ARG...]    COMMAND as root in ROOT,
#                                      with a /tmp and, unless --host-net, a loopback of its own
#   scripts/ci/debian.sh --remove ROOT           removes a root that --root-only made
#
# Needs root, mmdebstrap, bwrap (bubblewrap), zstd and git, and / to be a mount point. Roots are
# made by mmdebstrap from the archives in the machine's apt sources, and kept as tarballs in
# $XDG_CACHE_HOME/wsconsole (~/.cache/wsconsole), made anew when a week old:
#   debian-RELEASE.tar.zst            a minimal system with the release's updates and security
#   debian-RELEASE-deps-HASH.tar.zst  the same after scripts/install-deps.sh --tests (HASH: the
#                                     script's),
#                                     so that the install step is proven whenever it changes
#   debian-RELEASE-for-HASH.tar.zst   the same with what --root-only's DEBs and PACKAGEs need
#                                     (HASH: of the PACKAGEs and of the DEBs' relations)
# Compilations, the files clang-tidy found clean and the packages apt downloads in the roots are
# kept there too (ccache-RELEASE, clang-tidy-RELEASE, apt-archives-RELEASE). Whatever runs in a
# root runs under bwrap, whose mounts (/dev, /proc, /tmp) and processes live in namespaces that
# end with it: there is nothing to unmount, and the root's scratch folder goes at exit,
# interrupted or not. The logs go to build/logs/debian-RELEASE.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
cache="${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole"
started=$SECONDS

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
step() { printf '[%4d s] %s\n' "$((SECONDS - started))" "$*" >&2; }
fail() { step "FAILED: $*"; exit 1; }

# waited COMMAND...: COMMAND in a process group of its own, waited for in the background, so that
# a signal reaches the traps at once (bash acts on one only between commands) and they can end
# COMMAND with all it started: mmdebstrap, ended, cleans up after itself; bwrap takes its
# namespaces with it.
child=""
waited() {
    local status=0
    setsid "$@" <&0 &
    child=$!
    wait "$child" || status=$?
    child=""
    return "$status"
}
scratch=()
stop() {
    [ -z "$child" ] || { kill -TERM -- "-$child" 2>/dev/null; wait "$child"; } || true
    rm -rf --one-file-system "${scratch[@]}"
}
trap stop EXIT
trap 'step interrupted; exit 130' INT
trap 'step terminated; exit 143' TERM
new_scratch() { work=$(mktemp -d "$cache/scratch.XXXXXX"); scratch+=("$work"); }

check_tools() {
    [ "$(id -u)" -eq 0 ] || fail "needs root"
    local tool
    for tool in mmdebstrap bwrap zstd git; do
        command -v "$tool" >/dev/null || fail "missing $tool (scripts/install-deps.sh installs it)"
    done
    # bwrap and mmdebstrap's namespaces make their mounts private, which only a mount point allows.
    mountpoint -q / || fail "needs / to be a mount point (in a chroot: mount --bind DIR DIR first)"
    mkdir -p "$cache"
    # What a run killed outright (SIGKILL) could not remove, and roots that a killed caller of
    # --root-only left: none of them lives a day.
    find "$cache" -maxdepth 1 \( -name 'scratch.*' -o -name 'root-*' \) -mmin +1440 \
        -exec rm -rf --one-file-system {} +
}

# The release's archive, updates and security archive, at the addresses the machine's own apt
# sources use for its release (a mirror, a proxy in between).
archives() {
    # shellcheck disable=SC2016  # apt's own placeholders
    apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' 'Identifier: Packages' |
        awk -v r="$1" '$1 ~ /-security$/ { s = $2 } $1 !~ /-/ { m = $2 } END { if (!m || !s) exit 1
            printf "deb %s %s main\ndeb %s %s-updates main\ndeb %s %s-security main\n", m, r, m, r, s, r }'
}

# cached NAME RELEASE [HOOK...]: $cache/NAME.tar.zst, made with mmdebstrap when missing or a week
# old, under a lock so that two runs do not make it at once.
cached() {
    local tarball="$cache/$1.tar.zst" release="$2" lock proxy="" lines mirrors
    shift 2
    exec {lock}>"$tarball.lock"
    flock "$lock"
    if [ -z "$(find "$tarball" -mtime -7 2>/dev/null)" ]; then
        step "mmdebstrap $release into $tarball (log: $tarball.log)"
        lines=$(archives "$release") || fail "the machine's apt sources name no Debian archive"
        mapfile -t mirrors <<<"$lines"
        eval "$(apt-config shell proxy Acquire::http::Proxy)"
        scratch+=("$tarball.part.tar.zst")
        # shellcheck disable=SC2016  # expanded by mmdebstrap's hook shell
        # Scratch roots need no fsync after each package: dpkg is then several times as fast.
        if ! waited mmdebstrap --mode=unshare --variant=minbase --aptopt='Acquire::Retries "3"' \
                --dpkgopt=force-unsafe-io \
                ${proxy:+--aptopt="Acquire::http::Proxy \"$proxy\""} \
                --customize-hook='printf "127.0.0.1 localhost\n::1 localhost ip6-localhost\n" >"$1/etc/hosts"' \
                "$@" "$release" "$tarball.part.tar.zst" "${mirrors[@]}" >"$tarball.log" 2>&1; then
            tail -n 20 "$tarball.log" | sed 's/^/    | /' >&2
            fail "mmdebstrap $release"
        fi
        mv -f "$tarball.part.tar.zst" "$tarball"
    fi
    exec {lock}>&-
}

unpack() { mkdir -p "$2" && waited tar -C "$2" --numeric-owner -I zstd -xpf "$cache/$1.tar.zst"; }

# in_root ROOT own|host [BWRAP_OPTION...] -- COMMAND...: bwrap keeps root's capabilities
# (namespaces and mounts inside), and ends whatever is left inside when it ends.
in_root() {
    local root="$1" net="$2"
    shift 2
    local options=()
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    # The packages apt downloads are kept for the next root of the release, as on a machine.
    local archives
    archives="$cache/apt-archives-$(sed -n 's/^VERSION_CODENAME=//p' "$root/etc/os-release")"
    mkdir -p "$archives/partial"
    options+=(--bind "$archives" /var/cache/apt/archives)
    [ "$net" = host ] && options+=(--ro-bind /etc/resolv.conf /etc/resolv.conf) || options+=(--unshare-net)
    waited bwrap --bind "$root" / --dev /dev --proc /proc --ro-bind /sys /sys --perms 1777 --tmpfs /tmp \
        --perms 1777 --tmpfs /dev/shm \
        --unshare-pid --unshare-ipc --unshare-uts --die-with-parent --cap-add ALL --chdir /root \
        "${options[@]}" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive "$@"
}

check() {
    local release="$1" head hash logs="$here/build/logs/debian-$1" status=0
    head=$(git -C "$here" rev-parse HEAD) || fail "$here is not a git clone with a commit"
    step "checking $(git -C "$here" log -1 --format='%h %s' HEAD) on Debian $release"
    [ -z "$(git -C "$here" status --porcelain --untracked-files=no)" ] ||
        step "note: uncommitted changes are not part of this check (it runs on a clone of HEAD)"
    new_scratch
    { git init -q "$work/clone" && git -C "$work/clone" fetch -q "$here" "$head" &&
        git -C "$work/clone" checkout -q --detach FETCH_HEAD; } || fail "could not clone HEAD"
    hash=$(sha256sum "$work/clone/scripts/install-deps.sh" | cut -c1-12)
    # shellcheck disable=SC2016  # expanded by mmdebstrap's hook shell
    cached "debian-$release-deps-$hash" "$release" \
        --customize-hook="copy-in $work/clone/scripts/install-deps.sh /root" \
        --customize-hook='chroot "$1" sh -c "/root/install-deps.sh --tests && rm /root/install-deps.sh"'
    # Another clone's install-deps.sh may differ: its root goes once a week old, as it would
    # be made anew then anyway.
    find "$cache" -maxdepth 1 -name "debian-$release-deps-*.tar.zst*" \
        ! -name "debian-$release-deps-$hash.*" -mtime +6 -delete
    step "unpacking debian-$release-deps-$hash.tar.zst"
    unpack "debian-$release-deps-$hash" "$work/root"
    mv "$work/clone" "$work/root/root/wsconsole"
    mkdir -p "$cache/ccache-$release" "$cache/clang-tidy-$release" "$work/logs"

    # Nothing inside needs the network: it gets a loopback of its own.
    step "inside: scripts/run-tests.sh --quick, scripts/ci/lint.sh, then printf '1 1 n 2 1 y' | scripts/try-console.sh"
    # shellcheck disable=SC2016  # expanded inside the root
    in_root "$work/root" own --bind "$cache/ccache-$release" /root/.ccache \
        --bind "$cache/clang-tidy-$release" /root/.cache/wsconsole/clang-tidy --bind "$work/logs" /root/logs \
        -- bash -c '
        cd /root/wsconsole
        # ccache for build/ alone, through its CMake cache: not for the package test'"'"'s builds.
        export CCACHE_MAXSIZE=2G
        cmake -S . -B build -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null 2>&1
        # What the machine'"'"'s own tests do not: this release'"'"'s build, libraries and tools. Its
        # Chromium is the same release, and the packages are installed in a Debian 13 root there.
        WSCONSOLE_DEBIAN_ROOT=none scripts/run-tests.sh --quick -LE browser 2>&1 | sed "s/^/    /"
        echo "${PIPESTATUS[0]}" >/root/logs/quick-status
        cp -r build/logs/. build/Testing/Temporary/LastTest.log /root/logs/ 2>/dev/null
        # This release'"'"'s linters, which may find what the machine'"'"'s own do not.
        scripts/ci/lint.sh build >/root/logs/lint.log 2>&1
        echo $? >/root/logs/lint-status
        printf "1\n1\nn\n2\n1\ny\n" | scripts/try-console.sh >/root/logs/console-session.txt 2>&1
        echo $? >/root/logs/console-status' || true
    rm -rf "$logs" && mkdir -p "$(dirname "$logs")" && cp -r "$work/logs" "$logs"

    [ "$(cat "$logs/quick-status" 2>/dev/null)" = 0 ] || { step "quick tests FAILED"; status=1; }
    if [ "$(cat "$logs/lint-status" 2>/dev/null)" != 0 ]; then
        grep -v '^== lint' "$logs/lint.log" 2>/dev/null | tail -n 20 | sed 's/^/    | /' >&2
        step "lint FAILED (log: $logs/lint.log)"
        status=1
    fi
    local session="$logs/console-session.txt"
    # The image call's report follows the echoed path on the same line.
    if [ "$(cat "$logs/console-status" 2>/dev/null)" != 0 ] ||
        ! grep -qF 'devserver: testMsg received 1 field' "$session" ||
        ! grep -qF 'devserver: testImg received 2 fields' "$session"; then
        tail -n 20 "$session" 2>/dev/null | sed 's/^/    | /' >&2
        step "console session FAILED: no status 0 with both reports (transcript: $session)"
        status=1
    fi
    step "Debian $release: $([ "$status" -eq 0 ] && echo PASSED || echo FAILED) (logs: $logs)"
    return "$status"
}

case "${1:-}" in
    --root-only)
        [ $# -ge 2 ] || usage
        check_tools
        release=$2 name="debian-$2"
        shift 2
        if [ $# -gt 0 ]; then
            # What a DEB needs is installed by apt itself, from the DEB, which then goes: its
            # relations decide the root, so the root is made anew whenever they change.
            debs=() packages=() relations=""
            for arg; do
                case "$arg" in
                    *.deb) debs+=("$(realpath "$arg")")
                           relations+=$(dpkg-deb -f "$arg" Package Depends Pre-Depends Recommends) ;;
                    *) packages+=("$arg") relations+=" $arg" ;;
                esac
            done
            name="$name-for-$(sha256sum <<<"$relations" | cut -c1-12)"
            new_scratch
            [ ${#debs[@]} -eq 0 ] || cp "${debs[@]}" "$work/"
            # shellcheck disable=SC2016  # expanded by mmdebstrap's hook shell
            cached "$name" "$release" --customize-hook="copy-in $work /tmp" \
                --customize-hook='chroot "$1" sh -c "set -e; cd /tmp/'"${work##*/}"'
                    if ls ./*.deb >/dev/null 2>&1; then
                        apt-get install -y ./*.deb
                        dpkg --purge \$(for d in ./*.deb; do dpkg-deb -f \$d Package; done)
                    fi
                    apt-get install -y --no-install-recommends '"${packages[*]}"'
                    apt-get clean; rm -rf /tmp/'"${work##*/}"'"'
            find "$cache" -maxdepth 1 -name "debian-$release-for-*.tar.zst*" ! -name "$name.*" \
                -mtime +7 -delete
        else
            cached "$name" "$release"
        fi
        root=$(mktemp -d "$cache/root-$release.XXXXXX")
        scratch+=("$root")
        unpack "$name" "$root"
        scratch=()  # the caller's now: scripts/ci/debian.sh --remove ROOT
        echo "$root"
        ;;
    --in)
        [ $# -ge 3 ] || usage
        check_tools
        root=$2 net=own
        shift 2
        [ "$1" != --host-net ] || { net=host; shift; }
        { [ $# -ge 1 ] && [ -x "$root/bin/sh" ]; } || usage
        in_root "$root" "$net" -- "$@"
        ;;
    --remove)
        [ $# -eq 2 ] || usage
        # Only what --root-only made: a mistyped path never meets rm -rf.
        case "$(realpath -m "$2")" in
            "$(realpath -m "$cache")"/root-*) rm -rf --one-file-system -- "$2" ;;
            *) fail "$2 is not a root that --root-only made (in $cache)" ;;
        esac
        ;;
    -* | "") usage ;;
    *)
        [ $# -eq 1 ] || usage
        check_tools
        check "$1"
        ;;
esac
