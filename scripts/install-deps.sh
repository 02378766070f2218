#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the development web service and the
# tests need and this machine lacks. Needs root (or sudo) only when something is missing.
set -euo pipefail

# python3-pil: the inspector's previews of pictures; dpkg-dev and file: cpack's .deb
# (dpkg-shlibdeps names the run-time packages); lintian and man-db: the package test's checks; iproute2 and util-linux: the tests' network namespaces (ip,
# unshare); chromium, its driver and selenium: the inspector's tests in a real
# browser; mmdebstrap, bubblewrap, zstd and git: the other release's root, entered with bwrap, and
# the clean clone laid in it (scripts/ci/debian.sh); ccache: the builds share their compilations;
# and the lint stage's tools: shellcheck, python3-flake8, clang-format and clang-tidy;
# python3-trustme: the authority the proxy tests make for HTTPS.
# libclang-rt-dev is the sanitizer and libFuzzer runtime of whatever clang the release calls
# `clang`: no release's version is named.
packages=(cmake make g++ pkg-config libcurl4-openssl-dev rapidjson-dev libgtest-dev libgmock-dev
          python3 python3-aiohttp python3-pil python3-trustme curl valgrind clang libclang-rt-dev
          dpkg-dev file iproute2 util-linux lintian man-db
          chromium chromium-driver python3-selenium mmdebstrap bubblewrap zstd git ccache
          shellcheck python3-flake8 clang-format clang-tidy "$@")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
