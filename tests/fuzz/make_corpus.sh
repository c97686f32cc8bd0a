#!/usr/bin/env bash
# Rebuilds the seed corpora in tests/fuzz/corpus/ from the project's own fixture builder and
# compressor (fuzz_make_corpus), and the particle-file seeds from three short runs of the program
# on abgen's rain (formats 3 and 1, a header every second; a single drop). Inputs the fuzzer found
# and that were merged in later are kept; seeds of the same names are rewritten.
# Usage: tests/fuzz/make_corpus.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target fuzz_make_corpus droppair abgen >/dev/null
runs=$(mktemp -d)
trap 'rm -rf "$runs"' EXIT
run() {  # run NAME ABGEN_OPTIONS...
  local name=$1
  shift
  "$build/tools/abgen/abgen" --dir "$runs/$name" --seed 1 --no-truth --quiet "$@"
  (cd "$runs/$name" && "$build/droppair" V05123_1.ab >/dev/null </dev/null)
}
run format3 --format 3 --duration 2 --rain 20 --header-every 1
run format1 --format 1 --duration 2 --rain 10
run one-drop --drops 1
"$build/tests/fuzz/fuzz_make_corpus" "$here/corpus" "$runs"
du -sh "$here/corpus"
