#!/usr/bin/env bash
# Builds GoogleTest and GoogleMock for 64-bit Windows from Debian's `googletest` package
# (/usr/src/googletest), once, and keeps them outside the clone, keyed by the package version:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole/googletest-<version>-mingw
# Prints that folder (the install prefix) on standard output; everything else goes to standard
# error.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
toolchain="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
home=~ # the account's home folder, also when HOME is not set
cache="${XDG_CACHE_HOME:-$home/.cache}/wsconsole"
source_dir=/usr/src/googletest

version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || true)
[ -n "$version" ] && [ -f "$source_dir/CMakeLists.txt" ] ||
    { echo "no GoogleTest sources in $source_dir (package googletest)" >&2; exit 1; }
prefix="$cache/googletest-$version-mingw"
# A build made by another recipe (this script or the toolchain changed) is made again.
recipe=$(cat "$0" "$toolchain" | sha256sum | cut -d' ' -f1)
# One build at a time per cache: a second run waits, then finds the result.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$recipe" ]; then
    echo "googletest: $version for Windows from the cache ($prefix)" >&2
    echo "$prefix"
    exit 0
fi

echo "googletest: building $version for Windows into $prefix" >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
cmake -S "$source_dir" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=ON -DBUILD_SHARED_LIBS=OFF >&2
cmake --build "$work" -j2 >&2
cmake --install "$work" >&2
echo "$recipe" >"$prefix/.complete"
echo "$prefix"
