#!/usr/bin/env bash
# Debian's linters over the whole tree: shellcheck on every shell script, flake8 on the Python
# (its settings in .flake8), clang-format on the C++ (.clang-format) and clang-tidy with the
# checks of .clang-tidy, every finding an error. Each tool runs even when one before it failed,
# and the status is 1 when any found something.
#
#   scripts/ci/lint.sh BUILD_DIR     (a configured build/, whose compile_commands.json
#                                    clang-tidy reads)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
cd "$root" || exit 2

failed=()
check() {
    local name="$1"
    shift
    echo "== lint: $name" >&2
    "$@" || failed+=("$name")
}

# The tracked files only: build folders and caches are not the project's. Shell scripts are
# known by their name or their first line (.ci/run, a package's maintainer script).
shell=()
while read -r file; do
    case "$file" in
        *.sh) shell+=("$file") ;;
        *) head -n 1 "$file" | grep -qE '^#!.*\b(ba|da)?sh\b' && shell+=("$file") ;;
    esac
done < <(git ls-files)
mapfile -t cxx < <(git ls-files '*.cpp' '*.h')

check shellcheck shellcheck -x "${shell[@]}"
# Debian's own interpreter, which python3-flake8 installs into.
check flake8 /usr/bin/python3 -m flake8 .
check clang-format clang-format --dry-run -Werror "${cxx[@]}"
# Every file that the build compiles (Windows' own sections are not compiled here).
# Only its findings are shown, without colours (run-clang-tidy asks for them), the commands it
# ran (14 prints them bare, 19 after a count), and the counts of what it suppressed.
# Files found clean before, unchanged with all they include, are not read again (the cache is
# the machine's, like ccache's, and forgets what a month has not found clean again).
tidy_cache="${XDG_CACHE_HOME:-$HOME/.cache}/wsconsole/clang-tidy"
tidy() {
    local stale
    mkdir -p "$tidy_cache" && find "$tidy_cache" -type f -mtime +30 -delete
    mapfile -t stale < <(/usr/bin/python3 scripts/lib/tidy_cache.py stale "$build" "$tidy_cache")
    echo "clang-tidy: ${#stale[@]} files changed since last found clean" >&2
    [ ${#stale[@]} -gt 0 ] || return 0
    run-clang-tidy -p "$build" -quiet -j2 "${stale[@]}" 2>&1 | sed 's/\x1b\[[0-9;]*m//g' |
        grep -vE '^clang-tidy-?[0-9]* |^\[ *[0-9]+/[0-9]+\]|^Running clang-tidy |^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^$'
    [ "${PIPESTATUS[0]}" -eq 0 ] &&
        /usr/bin/python3 scripts/lib/tidy_cache.py clean "$build" "$tidy_cache"
}
check clang-tidy tidy

[ ${#failed[@]} -eq 0 ] || { echo "lint: findings of ${failed[*]}" >&2; exit 1; }
echo "lint: shellcheck (${#shell[@]} scripts), flake8, clang-format (${#cxx[@]} files), clang-tidy: clean" >&2
