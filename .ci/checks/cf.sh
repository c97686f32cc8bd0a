#!/usr/bin/env bash
# The daily product files as the field checks them. First the checkers themselves and the
# quick-looks on sample files (tests/products/products_test.py). Then a generated 3-day archive:
# abgen writes three short raw files, two of them across midnight (2005-05-03 23:59:50 and
# 2005-05-04 23:59:45) and one at noon of 2005-05-05; droppair pairs each; droppair-products
# makes the daily files with a station file, once at 60 s and once at 10 min with Beard's law;
# tests/products/cf_check.py checks every file against CF-1.8/ACDD-1.3 (units through udunits2,
# standard names, coordinates, bounds, featureType); xarray_series.py opens the three gridded
# files of a run with xarray.open_mfdataset as one series; droppair-quicklook draws every day.
# Skips the archive part, saying so, when droppair-products was not built.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${DROPPAIR_BUILD:-build}
products=$root/$build/tools/droppair-products/droppair-products
fail() { echo "FAIL cf: $*"; exit 1; }

# Debian's python3 with the packages of .ci/packages (a pyenv python3 earlier on PATH has none).
py=/usr/bin/python3
$py -c 'import numpy, netCDF4, matplotlib, xarray, dask' 2>/dev/null ||
  fail "Debian's python3-numpy, python3-netcdf4, python3-matplotlib, python3-xarray and python3-dask are needed"
command -v udunits2 >/dev/null || fail "udunits2 missing (Debian package udunits-bin)"

echo "-- checkers and quick-looks on sample files"
$py tests/products/products_test.py || fail "tests/products/products_test.py"

if [ ! -x "$products" ]; then
  echo "skipped: droppair-products not built ($products)"
  exit 0
fi
for p in "$build/droppair" "$build/tools/abgen/abgen"; do [ -x "$p" ] || fail "$p not built"; done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
echo "-- a 3-day archive: three raw files, two across midnight"
n=0
for start in 2005-05-03T23:59:50 2005-05-04T23:59:45 2005-05-05T12:00:00; do
  n=$((n + 1))
  run=$tmp/archive/run$n
  "$build/tools/abgen/abgen" --dir "$run" --start "$start" --duration 20 --rain 10 --seed $n --no-truth --quiet ||
    fail "abgen --start $start"
  (cd "$run" && "$root/$build/droppair" V*.ab >console.txt 2>&1 </dev/null) ||
    fail "droppair in $run: $(tail -3 "$run/console.txt")"
done
cat >"$tmp/station.yml" <<'EOF'
station_name: Test field, mast 1
station_id: test01
latitude: 47.2591
longitude: 11.3442
altitude: 578.0
sensor_name: two-camera distrometer
sensor_serial_number: "0042"
institution: Test institute
license: CC-BY-4.0
contact: Test Person <test@example.org>
EOF
"$products" --quiet --out "$tmp/p60" --station "$tmp/station.yml" "$tmp/archive" || fail "droppair-products (60 s)"
"$products" --quiet --out "$tmp/p600" --station "$tmp/station.yml" --step 600 --speed-law beard \
  --speed-tolerance 0.5m/s "$tmp/archive" || fail "droppair-products (600 s, beard)"

echo "-- CF/ACDD check of every product file"
mapfile -t files < <(ls "$tmp"/p60/*.nc "$tmp"/p600/*.nc)
[ ${#files[@]} -eq 12 ] ||
  fail "expected 12 product files (3 days x 2 kinds x 2 runs), found ${#files[@]}: ${files[*]}"
$py tests/products/cf_check.py "${files[@]}" | sed "s|$tmp/||" || fail "tests/products/cf_check.py"

echo "-- xarray: three daily files as one series"
for p in p60 p600; do
  $py tests/products/xarray_series.py --inputs "$tmp/archive" "$tmp/$p"/*_dsd_*.nc || fail "xarray series of $p"
done

echo "-- quick-looks"
$py scripts/droppair-quicklook --out "$tmp/png" "$tmp/p60" >/dev/null || fail "droppair-quicklook"
for day in 20050503 20050504 20050505; do
  [ -s "$tmp/png/test01_${day}_quicklook.png" ] || fail "no quick-look for $day"
done
echo "cf: passed"
