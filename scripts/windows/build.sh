#!/usr/bin/env bash
# Builds wsconsole.exe for 64-bit Windows on this Debian machine, with Debian's MinGW-w64,
# libcurl built from Debian's curl sources (scripts/windows/libcurl.sh, cached outside the
# clone) and Debian's RapidJSON headers, and packs
#   dist/wsconsole-<version>-windows-x86_64.zip
# with the program, the development web service with its sample images, README-windows.txt and
# LICENSE.
#
#   scripts/windows/build.sh [--tests] [--build-dir DIR] [CMAKE_ARGS...]
#
# --tests also builds the test programs (GoogleTest for Windows from Debian's googletest
# sources, cached as well), for scripts/ci/windows.sh to run under Wine. The build folder is
# build-windows by default; CMAKE_ARGS go to the configure step, e.g.
# -DWSCONSOLE_BASE_URL=http://host:8080 (the default is the same as on Linux). Installs what is
# missing from Debian's packages (root or sudo then).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

tests=OFF
build="$root/build-windows"
cmake_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --tests) tests=ON ;;
        --build-dir) build="$2"; shift ;;
        *) cmake_args+=("$1") ;;
    esac
    shift
done

"$root/scripts/install-deps.sh" mingw-w64 zip dpkg-dev

curl_prefix=$("$root/scripts/windows/libcurl.sh")
cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
             -DCMAKE_BUILD_TYPE=Release
             -DCURL_DIR="$curl_prefix/lib/cmake/CURL"
             -DRapidJSON_DIR="$root/cmake/windows"
             -DBUILD_TESTING="$tests")
if [ "$tests" = ON ]; then
    gtest_prefix=$("$root/scripts/windows/googletest.sh")
    cmake_args+=(-DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DCMAKE_CROSSCOMPILING_EMULATOR=wine)
fi
# Through ccache where it is installed, as the test command's other builds.
! command -v ccache >/dev/null || cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j2

exe="$build/app/wsconsole.exe"
# Only Windows' own DLLs may be needed: the C++ runtime, winpthread and libcurl are linked in.
# msvcrt.dll is the C runtime every MinGW-w64 program uses, part of Windows since XP.
needed=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
system_dlls='^(KERNEL32|msvcrt|WS2_32|ADVAPI32|CRYPT32|bcrypt|WINMM|USER32|SECUR32)\.dll$'
foreign=$(printf '%s\n' "$needed" | grep -Eiv "$system_dlls" || true)
if [ -n "$foreign" ]; then
    echo "wsconsole.exe needs DLLs that Windows does not have: $foreign" >&2
    exit 1
fi
echo "wsconsole.exe needs only system DLLs: $(tr '\n' ' ' <<<"$needed")" >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
base_url=$(sed -n 's/^WSCONSOLE_BASE_URL:STRING=//p' "$build/CMakeCache.txt")
name="wsconsole-$version-windows-x86_64"
stage="$build/package/$name"
rm -rf "$build/package"
mkdir -p "$stage" "$root/dist"
x86_64-w64-mingw32-strip -o "$stage/wsconsole.exe" "$exe"
# The service's whole folder (its launcher, package and samples), without Python's caches.
(cd "$root" && find devserver -name __pycache__ -prune -o -type f ! -name '*.pyc' -print0 |
    xargs -0 cp --parents -t "$stage")
# Notepad and the console want CR LF line ends.
sed -e "s|@VERSION@|$version|g" -e "s|@BASE_URL@|$base_url|g" -e 's/$/\r/' \
    "$root/scripts/windows/README-windows.txt" >"$stage/README-windows.txt"
sed -e 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE"
zip_file="$root/dist/$name.zip"
rm -f "$zip_file"
(cd "$build/package" && zip -q -X -r "$zip_file" "$name")
echo "$zip_file ($(stat -c %s "$zip_file") bytes)" >&2
