#!/usr/bin/env bash
# End-to-end benchmark (not a test): abgen writes a large raw data file of heavy rain with some
# splashes (a new main header every 10 minutes, DROPPAIR.SET and corrfact.dat beside it), droppair
# runs on it once, and the script reports the generator's speed, the program's throughput in MB/s
# and its peak memory (RSS).
# Usage: bench/run_bench.sh [BUILD_DIR] [MEGABYTES]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mb=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/abgen/abgen" --dir "$work" --size "$mb" --rain 80 --splash 0.05 \
  --start 2005-05-03T00:00:10 --header-every 600 --seed 7 --no-truth | sed 's/^/abgen: /;s/^abgen: abgen: /abgen: /'
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
