#!/usr/bin/env bash
# Fuzzes the targets one after the other (one process each, -jobs=1: the machine is shared) for a
# given time each, then reports per target the executions, the speed and the findings. Needs the
# libFuzzer build: CXX=clang++ cmake -S . -B build-fuzz -DDROPPAIR_FUZZ=ON -DDROPPAIR_TESTS=OFF
# (Debian: clang and libclang-rt-<version>-dev). The corpus each target grows and the inputs that
# crashed it stay in BUILD_DIR/fuzz-work/; a crash input belongs, once its cause is fixed, in
# tests/fuzz/crashes/<target>/ (the replay tests run it from then on). With -m, the grown corpus
# is minimised and merged into tests/fuzz/corpus/<target>/ (keep that under 1 MB in total).
# Usage: tests/fuzz/run_fuzz.sh [-b BUILD_DIR] [-t SECONDS] [-m] [-x "LIBFUZZER FLAGS"] [TARGET ...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../../build-fuzz
seconds=60
merge=0
extra=""
while getopts "b:t:mx:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    t) seconds=$OPTARG ;;
    m) merge=1 ;;
    x) extra=$OPTARG ;;
    *) echo "usage: run_fuzz.sh [-b BUILD_DIR] [-t SECONDS] [-m] [-x FLAGS] [TARGET ...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=$(cd "$build" && pwd)
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  targets=(line_decoder compressor main_header settings calibration record_scan whole_run sno_files)
  # The station reader is there when droppair-products is built.
  [[ -d $build/tests/fuzz/CMakeFiles/fuzz_station.dir ]] && targets+=(station)
fi

cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null
work=$build/fuzz-work
total=0
mkdir -p "$work"
printf '%-14s %8s %14s %10s %9s\n' target seconds executions exec/s findings | tee "$work.summary"
for t in "${targets[@]}"; do
  bin=$build/tests/fuzz/fuzz_$t
  mkdir -p "$work/$t" "$work/crashes/$t"
  log=$work/$t.log
  "$bin" "$work/$t" "$here/corpus/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$work/crashes/$t/" $extra >"$log" 2>&1 || true
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  found=$(find "$work/crashes/$t" -type f | wc -l)
  total=$((total + ${runs:-0}))
  printf '%-14s %8s %14s %10s %9s\n' "$t" "$seconds" "${runs:-?}" "${speed:-?}" "$found" | tee -a "$work.summary"
  if [[ $merge == 1 ]]; then
    "$bin" -merge=1 "$here/corpus/$t" "$work/$t" >>"$log" 2>&1 || true
  fi
done
echo "total executions: $total" | tee -a "$work.summary"
[[ $(find "$work/crashes" -type f | wc -l) == 0 ]]
