#!/usr/bin/env bash
# Installation and packages: `cmake --install` of the build into a temporary prefix gives commands
# that work from there (droppair on the example data, droppair-batch finding the droppair beside
# it, the tools' --help) and a man page for every command that man and groff render without
# warnings; cpack makes the .deb, whose programs run from the unpacked package, and the .zip of the
# Windows build when that build is configured.
set -euo pipefail
cd "$(dirname "$0")/../.."
mingw=${DROPPAIR_MINGW_BUILD:-build-mingw}  # the Windows build to package
build=${DROPPAIR_BUILD:-build}  # the build to install and package
if [ ! -x "$build/droppair" ]; then
  cmake -S . -B "$build" >/dev/null && cmake --build "$build" -j2
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL install: $*"; exit 1; }

echo "-- cmake --install into a temporary prefix"
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
bin=$tmp/prefix/bin
man1=$tmp/prefix/share/man/man1
for c in droppair droppair-batch; do [ -x "$bin/$c" ] || fail "$c not installed"; done
for c in "$bin"/*; do
  name=$(basename "$c")
  [ -f "$man1/$name.1" ] || fail "no man page for $name"
done
for page in "$man1"/*.1; do
  [ -x "$bin/$(basename "$page" .1)" ] || fail "man page $(basename "$page") for no installed command"
  warnings=$(groff -man -Tascii -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns on $(basename "$page"): $warnings"
  rendered=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
  [ -z "$rendered" ] || fail "man -l $(basename "$page"): $rendered"
  MANWIDTH=80 man -l "$page" >"$tmp/page.txt" 2>/dev/null
  grep -q '^NAME' "$tmp/page.txt" || fail "man -l $(basename "$page") shows no NAME"
done
echo "   commands: $(cd "$bin" && echo *); man pages: $(cd "$man1" && echo *)"

# The installed droppair on the installed example data (only the installed programs on PATH).
export PATH=/usr/bin:/bin
mkdir "$tmp/run"
cp "$tmp/prefix/share/doc/droppair/examples/"* "$tmp/run/"
(cd "$tmp/run" && "$bin/droppair" V05123_1.ab >console.txt 2>&1 </dev/null) || fail "droppair failed"
grep -q 'end of ab-file' "$tmp/run/console.txt" || fail "droppair did not reach the end of the example data"

# droppair-batch finds the droppair beside it; its outputs are those of the single run.
if [ -x /usr/bin/parallel ]; then
  "$bin/droppair-batch" --out "$tmp/batch" "$tmp/run/DROPPAIR.SET" "$tmp/run/corrfact.dat" \
    "$tmp/prefix/share/doc/droppair/examples" >"$tmp/batch.txt" || { cat "$tmp/batch.txt"; fail "droppair-batch failed"; }
  for f in V05123_1.sno V05123_1.shd V05123_1.abh; do
    cmp -s "$tmp/run/$f" "$tmp/batch/V05123_1/$f" || fail "droppair-batch's $f differs from the single run's"
  done
  grep -q "1 succeeded, 0 failed" "$tmp/batch.txt" || fail "droppair-batch's report: $(cat "$tmp/batch.txt")"
else
  echo "   (GNU parallel missing: droppair-batch not run)"
fi
"$bin/droppair-batch" --help >"$tmp/help.txt" && grep -q -- '--sshlogin' "$tmp/help.txt" || fail "droppair-batch --help"
for tool in abgen snodump; do
  if [ -x "$bin/$tool" ]; then "$bin/$tool" --help >/dev/null || fail "$tool --help"; fi
done
if [ -x "$bin/snodump" ]; then
  "$bin/snodump" "$tmp/run/V05123_1.sno" >/dev/null || fail "snodump on the example's .sno"
fi

echo "-- cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null) || fail "cpack -G DEB"
deb=$(ls "$tmp/deb"/*.deb)
dpkg-deb -f "$deb" Package Version Depends Recommends
dpkg-deb -x "$deb" "$tmp/debroot"
for f in usr/bin/droppair usr/bin/droppair-batch usr/share/man/man1/droppair.1 usr/share/man/man1/droppair-batch.1; do
  [ -e "$tmp/debroot/$f" ] || fail "$f missing from $(basename "$deb")"
done
mkdir "$tmp/debrun"
cp "$tmp/debroot/usr/share/doc/droppair/examples/"* "$tmp/debrun/"
(cd "$tmp/debrun" && "$tmp/debroot/usr/bin/droppair" V05123_1.ab >/dev/null 2>&1 </dev/null) || fail "packaged droppair"
cmp -s "$tmp/run/V05123_1.sno" "$tmp/debrun/V05123_1.sno" || fail "packaged droppair's .sno differs"
echo "   $(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries"

if [ -f "$mingw/CMakeCache.txt" ]; then
  echo "-- cpack -G ZIP (Windows build)"
  (cd "$mingw" && cpack -G ZIP -B "$tmp/zip" >/dev/null) || fail "cpack -G ZIP"
  zip=$(ls "$tmp/zip"/*.zip)
  python3 -m zipfile -l "$zip" >"$tmp/zip.txt"
  grep -q '/bin/droppair.exe ' "$tmp/zip.txt" || fail "droppair.exe missing from $(basename "$zip")"
  echo "   $(basename "$zip"): $(tail -n +2 "$tmp/zip.txt" | wc -l) entries"
fi
echo "install: passed"
