# shellcheck shell=bash disable=SC2154  # toolchain is the calling script's
# Sourced by the scripts that build a library for 64-bit Windows once and keep it outside the
# clone, in ${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole/NAME-VERSION-mingw. Needs $toolchain.
home=~ # the account's home folder, also when HOME is not set
cache="${XDG_CACHE_HOME:-$home/.cache}/wsconsole"

# open_cache NAME VERSION: sets $prefix, the install folder, and $work, a scratch folder removed
# on exit. When the cache already holds a build made by the same recipe (this script and the
# toolchain), prints $prefix and ends the script. One build at a time per cache: a second run
# waits on the lock, then finds the result.
open_cache() {
    prefix="$cache/$1-$2-mingw"
    recipe=$(cat "$0" "$toolchain" | sha256sum | cut -d' ' -f1)
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    flock 9
    if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$recipe" ]; then
        echo "$1: $2 for Windows from the cache ($prefix)" >&2
        echo "$prefix"
        exit 0
    fi
    echo "$1: building $2 for Windows into $prefix" >&2
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    rm -rf "$prefix"
}

# close_cache: marks the build in $prefix complete and prints $prefix.
close_cache() {
    echo "$recipe" >"$prefix/.complete"
    echo "$prefix"
}
