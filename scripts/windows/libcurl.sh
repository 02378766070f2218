#!/usr/bin/env bash
# Builds libcurl for 64-bit Windows from Debian's own `curl` source package, once: static,
# Schannel for TLS, no other optional library. The result is kept outside the clone, keyed by
# the source version built, and later runs reuse it:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole/curl-<version>-mingw
# Prints that folder (the install prefix) on standard output; everything else goes to standard
# error. Needs the packages of scripts/windows/build.sh, and root (or sudo) the first time, to
# add a deb-src entry when the machine has none.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
toolchain="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
# shellcheck source=scripts/windows/cache.sh
. "$root/scripts/windows/cache.sh"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# `apt-get source` needs a deb-src entry. When there is none, one is added in a sources file of
# this project's own, for the same Debian archives and suites as the machine's deb entries.
source_uris() { apt-get source --print-uris -qq curl 2>/dev/null; }
if ! source_uris | grep -q "\.dsc'"; then
    added=""
    # deb822 stanzas of the Debian archive, turned into deb-src ones.
    stanzas=$(
        for file in /etc/apt/sources.list.d/*.sources; do
            [ -e "$file" ] || continue
            awk 'BEGIN { RS = ""; ORS = "\n\n" }
                 /(^|\n)Types:[^\n]*deb/ && /(^|\n)URIs:[^\n]*debian/ && !/(^|\n)Enabled: *no/ {
                     sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$file"
        done
    )
    if [ -n "$stanzas" ]; then
        printf '%s\n' "$stanzas" | "${sudo[@]}" tee /etc/apt/sources.list.d/wsconsole-deb-src.sources >/dev/null
        added=yes
    fi
    # One-line entries: "deb [options] URI suite components".
    lines=$(
        for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [ -e "$file" ] || continue
            sed -n 's/^[[:space:]]*deb\([[:space:]].*debian.*\)$/deb-src\1/p' "$file"
        done
    )
    if [ -n "$lines" ]; then
        printf '%s\n' "$lines" | "${sudo[@]}" tee /etc/apt/sources.list.d/wsconsole-deb-src.list >/dev/null
        added=yes
    fi
    [ -n "$added" ] || { echo "no Debian archive among the apt sources" >&2; exit 1; }
    echo "libcurl: added deb-src entries for the Debian archive; apt-get update" >&2
    "${sudo[@]}" apt-get update -qq >&2
fi

# Every curl source version apt lists, newest first. A mirror can lag behind the index apt has
# read, so the newest listed may not download yet: then the newest one that does is built, and
# the version built is the cache key.
versions=()
while read -r listed; do
    for ((i = 0; i < ${#versions[@]}; i++)); do
        dpkg --compare-versions "$listed" gt "${versions[i]}" && break
    done
    versions=("${versions[@]:0:i}" "$listed" "${versions[@]:i}")
done < <(apt-cache showsrc --only-source curl | sed -n 's/^Version: //p' | sort -u)
[ ${#versions[@]} -gt 0 ] || { echo "apt knows no curl source package" >&2; exit 1; }
work=""
for version in "${versions[@]}"; do
    open_cache curl "$version" # ends the script when the cache holds this version
    (cd "$work" && apt-get source -qq "curl=$version" >&2) && break
    echo "libcurl: curl $version is listed but does not download; trying the version before it" >&2
    rm -rf "$work"
    work=""
done
[ -n "$work" ] || { echo "libcurl: none of the curl sources listed downloads: ${versions[*]}" >&2; exit 1; }
[ "$version" = "${versions[0]}" ] ||
    echo "libcurl: building curl $version, the newest source that downloads" >&2
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -n 1)
[ -f "$source_dir/CMakeLists.txt" ] || { echo "no curl source tree in $work" >&2; exit 1; }

# Every optional library is named and switched off, so that none is picked up because it
# happens to be installed (Debian's mingw-w64 brings a zlib for Windows, for one). No CA file
# is compiled in: the build machine's would not exist on Windows, where Schannel checks
# certificates against the system's store.
cmake -S "$source_dir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_MBEDTLS=OFF -DCURL_USE_BEARSSL=OFF \
    -DCURL_USE_WOLFSSL=OFF -DCURL_USE_NSS=OFF -DCURL_USE_GSSAPI=OFF \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_NGTCP2=OFF \
    -DUSE_QUICHE=OFF -DUSE_MSH3=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DENABLE_ARES=OFF -DUSE_LIBRTMP=OFF \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none >&2
cmake --build "$work/build" -j2 >&2
cmake --install "$work/build" >&2
close_cache
