#!/usr/bin/env bash
# Installs, from Debian's packages, what this machine lacks of one of two sets:
#
#   scripts/install-deps.sh [PACKAGE...]           building the console and running the
#                                                  development web service (scripts/try-console.sh)
#   scripts/install-deps.sh --tests [PACKAGE...]   that, and what the tests, the linters and the
#                                                  benchmark need (scripts/run-tests.sh)
#
# Needs root (or sudo) only when something is missing.
set -euo pipefail

# python3-pil: the inspector's previews of pictures (the service runs without it, showing them
# whole).
packages=(cmake make g++ pkg-config libcurl4-openssl-dev rapidjson-dev
          python3 python3-aiohttp python3-pil)

# GoogleTest; python3-trustme: the authority the proxy tests make for HTTPS; python3-hypothesis:
# the service's generated cases; python3-xmlrunner: JUnit reports of Python's tests, which the
# test command counts; dpkg-dev and file: cpack's .deb (dpkg-shlibdeps names the run-time
# packages); lintian and man-db: the package test's checks; iproute2 and util-linux: the tests'
# network namespaces (ip, unshare); chromium, its driver and selenium: the inspector's tests in a
# real browser; mmdebstrap, bubblewrap, zstd and git: the other release's root, entered with bwrap,
# and the clean clone laid in it (scripts/ci/debian.sh); ccache: the builds share their
# compilations; the lint stage's shellcheck, python3-flake8, clang-format and clang-tidy;
# hyperfine and time (GNU time): the benchmark's wall times and peak memory. libclang-rt-dev is
# the sanitizer and libFuzzer runtime of whatever clang the release calls `clang`: no release's
# version is named.
tests=(libgtest-dev libgmock-dev python3-trustme python3-hypothesis python3-xmlrunner curl
       valgrind clang libclang-rt-dev dpkg-dev file iproute2 util-linux lintian man-db
       chromium chromium-driver python3-selenium mmdebstrap bubblewrap zstd git ccache
       shellcheck python3-flake8 clang-format clang-tidy hyperfine time)

if [ "${1:-}" = --tests ]; then
    shift
    packages+=("${tests[@]}")
fi
packages+=("$@")

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
