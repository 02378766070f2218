#!/usr/bin/env bash
# Builds GoogleTest and GoogleMock for 64-bit Windows from Debian's `googletest` package
# (/usr/src/googletest), once, and keeps them outside the clone, keyed by the package version:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole/googletest-<version>-mingw
# Prints that folder (the install prefix) on standard output; everything else goes to standard
# error.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
toolchain="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
# shellcheck source=scripts/windows/cache.sh
. "$root/scripts/windows/cache.sh"
source_dir=/usr/src/googletest

version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || true)
if [ -z "$version" ] || [ ! -f "$source_dir/CMakeLists.txt" ]; then
    echo "no GoogleTest sources in $source_dir (package googletest)" >&2
    exit 1
fi
open_cache googletest "$version"
cmake -S "$source_dir" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=ON -DBUILD_SHARED_LIBS=OFF >&2
cmake --build "$work" -j2 >&2
cmake --install "$work" >&2
close_cache
