#!/usr/bin/env bash
# Products benchmark (not a test): a day of heavy rain (100 mm/h for 10.8 hours, about 4 million
# particles) from abgen, paired by droppair once, then droppair-products over its particle file,
# run three times; reports the particles, each run's wall time and peak memory (RSS). The
# generated files are kept in WORK_DIR (default a temporary directory) so that a second call
# with the same directory skips the generation.
# Usage: bench/products_bench.sh [BUILD_DIR] [WORK_DIR] [SECONDS_OF_RAIN]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=${2:-}
seconds=${3:-39000}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
cd "$work"
if [ ! -s V05123_1.sno ]; then
  "$build/tools/abgen/abgen" --dir . --duration "$seconds" --rain 100 --start 2005-05-03T06:00:00 \
    --header-every 3600 --seed 11 --no-truth --quiet
  "$build/droppair" V05123_1.ab >/dev/null 2>&1 </dev/null
fi
printf 'particle file: %d bytes, %s\n' "$(stat -c %s V05123_1.sno)" \
  "$("$build/tools/snodump/snodump" V05123_1.sno | head -n 1 | sed 's/.*records (//;s/)$//')"
for run in 1 2 3; do
  rm -rf products
  /usr/bin/time -f "%e %M" -o time.txt "$build/tools/droppair-products/droppair-products" --out products \
    --summary products/days.csv V05123_1.sno >/dev/null
  read -r secs rss <time.txt
  printf 'run %d: %.2f s, peak RSS %.1f MB\n' "$run" "$secs" "$(echo "$rss / 1024" | bc -l)"
done
tail -n +2 products/days.csv | cut -d, -f1-7
ls -l products | tail -n +2
