#!/usr/bin/env bash
# Rebuilds the seed corpora in tests/fuzz/corpus/ from the project's own fixture builder and
# compressor (fuzz_make_corpus). Inputs the fuzzer found and that were merged in later are kept;
# seeds of the same names are rewritten.
# Usage: tests/fuzz/make_corpus.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target fuzz_make_corpus >/dev/null
"$build/tests/fuzz/fuzz_make_corpus" "$here/corpus"
du -sh "$here/corpus"
