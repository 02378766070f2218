#!/usr/bin/env bash
# Builds libcurl for 64-bit Windows from Debian's own `curl` source package, once: static,
# Schannel for TLS, no other optional library. The result is kept outside the clone, keyed by
# the source version built, and later runs reuse it:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole/curl-<version>-mingw
# Prints that folder (the install prefix) on standard output; everything else goes to standard
# error. Needs the packages of scripts/windows/build.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
toolchain="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
# shellcheck source=scripts/windows/cache.sh
. "$root/scripts/windows/cache.sh"

# `apt-get source` reads the machine's index of source packages, which it may not have. apt is
# given a configuration of this script's own instead, in the cache: deb-src entries for the
# machine's own Debian archives and suites, and index files of its own, so that nothing under
# /etc/apt or /var/lib/apt changes, and no root is needed.
apt_dir="$cache/apt-source"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache"
# shellcheck disable=SC2016  # apt's own placeholders
apt-get indextargets --no-release-info --format 'deb-src $(REPO_URI) $(RELEASE) main' \
    'Identifier: Packages' | sort -u >"$apt_dir/sources.list"
grep -q . "$apt_dir/sources.list" || { echo "no Debian archive among the apt sources" >&2; exit 1; }
apt=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
     -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User="$(id -un)")
echo "libcurl: reading the Debian archives' source index into $apt_dir" >&2
apt-get "${apt[@]}" update -qq >&2

# Every curl source version apt lists, newest first. A mirror can lag behind the index apt has
# read, so the newest listed may not download yet: then the newest one that does is built, and
# the version built is the cache key.
versions=()
while read -r listed; do
    for ((i = 0; i < ${#versions[@]}; i++)); do
        dpkg --compare-versions "$listed" gt "${versions[i]}" && break
    done
    versions=("${versions[@]:0:i}" "$listed" "${versions[@]:i}")
done < <(apt-cache "${apt[@]}" showsrc --only-source curl | sed -n 's/^Version: //p' | sort -u)
[ ${#versions[@]} -gt 0 ] || { echo "apt knows no curl source package" >&2; exit 1; }
work=""
for version in "${versions[@]}"; do
    open_cache curl "$version" # ends the script when the cache holds this version
    (cd "$work" && apt-get "${apt[@]}" source -qq "curl=$version" >&2) && break
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
