#!/usr/bin/env bash
# End-to-end benchmark (not a test): generates a large synthetic raw data file, runs droppair on it
# once and reports the throughput in MB/s and the peak memory (RSS).
# Usage: bench/run_bench.sh [BUILD_DIR] [MEGABYTES]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mb=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/examples/DROPPAIR.SET" "$here/examples/corrfact.dat" "$work/"
"$build/rain_gen" "$work/V05123_1.ab" "$mb" 7
bytes=$(stat -c %s "$work/V05123_1.ab")
cd "$work"
start=$(date +%s.%N)
/usr/bin/time -f "%M" -o time.txt "$build/droppair" V05123_1.ab >console.txt 2>&1 </dev/null || true
end=$(date +%s.%N)
secs=$(echo "$end - $start" | bc -l)
rss=$(tail -n 1 time.txt)
printf 'raw file: %d bytes\nrun: %.2f s\nthroughput: %.1f MB/s\npeak RSS: %.1f MB\n' \
  "$bytes" "$secs" "$(echo "$bytes / 1000000 / $secs" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
printf 'particle file: %d bytes\n' "$(stat -c %s V05123_1.sno 2>/dev/null || echo 0)"
tail -c 300 DROPPAIR.ERR 2>/dev/null | head -5 || true
