#!/usr/bin/env bash
# Whole run against decoding alone (a benchmark, not a test): abgen writes two raw data files of
# format 3, heavy rain (100 mm/h, 45 MB) and light rain (2 mm/h, 20 MB), each in its own folder
# with DROPPAIR.SET and corrfact.dat; on each file decode_only (read the file, frame the records,
# decode every line-data record, nothing else) and `droppair --quiet` run alternately REPS times.
# Both are timed as whole processes (wall clock, file reading included in both; droppair's output
# files go into the file's folder and are removed before each run), peak memory by /usr/bin/time.
# Reports per file the medians: time and MB/s of each, the ratio whole/decode, peak RSS.
# The generated files are kept in WORK_DIR (default a temporary directory) so that a second call
# with the same directory skips the generation.
# Usage: bench/ratio_bench.sh [BUILD_DIR] [WORK_DIR] [REPS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=${2:-}
reps=${3:-9}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)

# Median of the numbers on standard input (the mean of the middle two for an even count).
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Runs "$@" once in the current folder; appends its wall seconds to $1.times and its peak RSS
# (KiB) to $1.rss, where $1 is a label; standard output and error go to $1.out.
timed() {
  local label=$1
  shift
  local start end
  start=$(date +%s%N)
  if ! /usr/bin/time -f %M -o "$label.rss1" "$@" >"$label.out" 2>&1 </dev/null; then
    echo "ratio_bench: $* failed:" >&2
    tail -n 5 "$label.out" DROPPAIR.ERR >&2 2>/dev/null || true
    exit 1
  fi
  end=$(date +%s%N)
  echo $(( (end - start) / 1000 )) | awk '{ printf "%.6f\n", $1 / 1e6 }' >>"$label.times"
  tail -n 1 "$label.rss1" >>"$label.rss"
}

# bench NAME ABGEN_OPTIONS...: generates the file (unless there), runs both programs, reports.
bench() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  cd "$work/$name"
  if [ ! -s V05123_1.ab ] || [ ! -s DROPPAIR.SET ] || [ ! -s corrfact.dat ]; then
    "$build/tools/abgen/abgen" --dir . --format 3 --start 2005-05-03T00:00:10 --header-every 600 \
      --seed 7 --no-truth --quiet "$@"
  fi
  rm -f decode.times decode.rss whole.times whole.rss
  local i
  for ((i = 0; i < reps; i++)); do
    timed decode "$build/decode_only" V05123_1.ab
    rm -f V05123_1.sno V05123_1.shd V05123_1.abh DROPPAIR.ERR
    timed whole "$build/droppair" --quiet V05123_1.ab
  done
  local bytes td tw rd rw
  bytes=$(stat -c %s V05123_1.ab)
  td=$(median <decode.times)
  tw=$(median <whole.times)
  rd=$(median <decode.rss)
  rw=$(median <whole.rss)
  awk -v n="$name ($*)" -v b="$bytes" -v td="$td" -v tw="$tw" -v rd="$rd" -v rw="$rw" -v r="$reps" 'BEGIN {
    printf "%s: %.1f MB, medians of %d runs\n", n, b / 1e6, r
    printf "  decode only: %.3f s, %.1f MB/s, peak RSS %.1f MB\n", td, b / 1e6 / td, rd / 1024
    printf "  whole run:   %.3f s, %.1f MB/s, peak RSS %.1f MB\n", tw, b / 1e6 / tw, rw / 1024
    printf "  ratio whole/decode: %.2f\n", tw / td
  }'
  sed -n 2p decode.out | sed 's/^/  decode_only: /'
}

echo "machine: $(nproc) cores, $(grep -m 1 '^model name' /proc/cpuinfo | sed 's/^[^:]*: *//'), load average$(uptime | sed "s/.*load average//")"
bench heavy --rain 100 --size 45
bench light --rain 2 --size 20
echo "load average after$(uptime | sed 's/.*load average//')"
