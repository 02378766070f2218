#!/usr/bin/env bash
# Builds the answer reader's libFuzzer target with clang in build-fuzz and runs it for SECONDS
# (default 60), one job per core (libFuzzer's fork mode), over a scratch copy of the seed corpus, so that the repository's corpus only
# changes by hand. Whatever input breaks a rule is kept in build-fuzz/findings/, and the script
# then fails; copy it into tests/fuzz/corpus/ to make it a regular test.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"

"$root/scripts/install-deps.sh" --tests

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DWSCONSOLE_FUZZ=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j2 --target answer_reader_fuzzer

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -R "$root/tests/fuzz/corpus/." "$scratch/"
mkdir -p "$build/findings"

# An input that takes a second counts as a hang; memory and the input size are bounded too.
"$build/tests/fuzz/answer_reader_fuzzer" "$scratch" -fork="$(nproc)" \
    -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$build/findings/" -print_final_stats=1
