#!/usr/bin/env bash
# The Windows build (build-mingw/droppair.exe) under Wine against the Linux build (build/droppair):
# both run every case on the same inputs, each in a directory of its own, and must agree on the exit
# status, the .sno, .shd and .abh (byte for byte), the console text and the error log after its
# start line (line ends and path separators aside).
# Without a console (standard output redirected, standard input empty; the key poll then finds no
# console): usage errors, a header-only file, the example data (also followed as a live file,
# without progress display), a missing raw file whose name was rebuilt, generated rain in the three
# formats, outputs in subdirectories, the shared example runs and a missing calibration file.
# On a pseudo-terminal (Wine's console: screen clearing, cursor placement, the key poll): the
# example data once more, and a run stopped by Ctrl-C (the console's SIGINT: exit status 130 and
# the log line of the stop, as on POSIX), whose .sno must be the beginning of the complete one.
# Wine's console does not pass a lone Escape to the key poll, so Escape itself is not tried here.
# Skips, saying why, when Wine is not installed or cannot start a program here.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=${DROPPAIR_BUILD:-build}              # the Linux build
mingw=${DROPPAIR_MINGW_BUILD:-build-mingw}  # the Windows build
exe=$root/$mingw/droppair.exe
lin=$root/$build/droppair

wine=""
for c in "$(command -v wine64 || true)" /usr/lib/wine/wine64 "$(command -v wine || true)"; do
  if [ -n "$c" ] && [ -x "$c" ]; then wine=$c; break; fi
done
if [ -z "$wine" ]; then
  echo "SKIP wine: no wine64 here (Debian package wine64, listed in .ci/packages)"
  exit 0
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo true)

if [ ! -x "$lin" ]; then
  cmake -S . -B "$build" >/dev/null && cmake --build "$build" -j2
fi
# Generated rain: rain FILE FORMAT MEGABYTES SEED
if [ ! -x "$build/tools/abgen/abgen" ]; then
  echo "FAIL wine: no rain generator ($build/tools/abgen/abgen)"
  exit 1
fi
rain() { "$root/$build/tools/abgen/abgen" --out "$1" --format "$2" --size "$3" --seed "$4" --no-truth --quiet; }
formats="1 2 3"
if [ ! -f "$exe" ]; then
  cmake -S . -B "$mingw" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DDROPPAIR_TESTS=OFF >/dev/null
  cmake --build "$mingw" -j2 --target droppair
fi

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Does Wine run a program at all? droppair.exe without an argument prints its usage.
mkdir "$work/probe"
probe_status=0
(cd "$work/probe" && timeout 300 "$wine" "$exe" >out.txt 2>err.txt </dev/null) || probe_status=$?
if [ ! -s "$work/probe/out.txt" ]; then
  echo "SKIP wine: $wine started no Windows program here (exit status $probe_status):"
  sed 's/^/    /' "$work/probe/err.txt" | head -n 5
  exit 0
fi

fail=0
pass=0
text() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$1" | tr -d '\r' | tr '\\' '/'; }
log_tail() { [ -f "$1" ] && tail -n +3 "$1" | tr -d '\r' | tr '\\' '/'; }

# run_case NAME INPUT_DIR [ARG...]: both builds on a copy of INPUT_DIR, then the comparison.
run_case() {
  local name=$1 input=$2
  shift 2
  local d=$work/$name why=""
  mkdir -p "$d/lin" "$d/win"
  cp -r "$input/." "$d/lin/"
  cp -r "$input/." "$d/win/"
  (cd "$d/lin" && rc=0 && { "$lin" "$@" >console.raw 2>stderr.txt </dev/null || rc=$?; } && echo $rc >status)
  (cd "$d/win" && rc=0 && { timeout 120 "$wine" "$exe" "$@" >console.raw 2>stderr.txt </dev/null || rc=$?; } &&
    echo $rc >status)
  cmp -s "$d/lin/status" "$d/win/status" || why="$why status:$(cat "$d/lin/status")/$(cat "$d/win/status")"
  cmp -s <(text "$d/lin/console.raw") <(text "$d/win/console.raw") || why="$why console"
  cmp -s <(log_tail "$d/lin/DROPPAIR.ERR") <(log_tail "$d/win/DROPPAIR.ERR") || why="$why log"
  local f
  while read -r f; do
    cmp -s "$d/lin/$f" "$d/win/$f" || why="$why $f"
  done < <(cd "$d/lin" && find . -name 'V*.sno' -o -name 'V*.shd' -o -name 'V*.abh')
  [ -n "$(cd "$d/lin" && find . -name 'V*.sno')" ] || [ "$(cat "$d/lin/status")" != 0 ] || why="$why no-output"
  if [ -z "$why" ]; then
    pass=$((pass + 1))
    echo "PASS $name (status $(cat "$d/lin/status"))"
  else
    fail=$((fail + 1))
    echo "FAIL $name:$why"
    diff <(text "$d/lin/console.raw") <(text "$d/win/console.raw") | head -n 10 || true
  fi
}

settings_with() {  # settings_with RAW_PATH HYD_PATH: the example settings with these two paths
  awk -v raw="$1" -v hyd="$2" '
    /^RAW_PATH/ { printf "%-60s%s\n", substr($0, 1, 60), raw; next }
    /^HYD_PATH/ { printf "%-60s%s\n", substr($0, 1, 60), hyd; next }
    { print }' "$root/examples/DROPPAIR.SET"
}

in=$work/inputs
mkdir -p "$in/base" "$in/header" "$in/paths/raw" "$in/nocal"
cp "$root/examples/DROPPAIR.SET" "$root/examples/corrfact.dat" "$in/base/"
cp "$in/base/"* "$in/header/"
for f in $formats; do
  mkdir -p "$in/rain-f$f"
  cp "$in/base/"* "$in/rain-f$f/"
  rain "$in/rain-f$f/V05125_1.ab" "$f" 2 1$f
done
head -c 60 "$in/rain-f3/V05125_1.ab" >"$in/header/V05124_1.ab"  # the format-3 main header record alone
cp "$root/examples/corrfact.dat" "$in/paths/"
settings_with raw hyd >"$in/paths/DROPPAIR.SET"
cp "$root/examples/V05123_1.ab" "$in/paths/raw/"
cp "$root/examples/DROPPAIR.SET" "$root/examples/V05123_1.ab" "$in/nocal/"

run_case usage "$in/base"
run_case not-ab "$in/base" V05123_1.AB
run_case header-only "$in/header" V05124_1.ab
run_case examples "$root/examples" V05123_1.ab
run_case follow-quiet "$root/examples" --follow=1 --quiet V05123_1.ab
run_case rebuilt-name "$in/base" nonexist.ab
for f in $formats; do run_case "rain-2MB-format$f" "$in/rain-f$f" V05125_1.ab; done
run_case subdirectories "$in/paths" raw/V05123_1.ab
run_case no-calibration "$in/nocal" V05123_1.ab
golden=$(cd .. && pwd)/shared/golden
if [ -d "$golden" ]; then
  for c in "$golden"/*/input; do
    run_case "golden-$(basename "$(dirname "$c")")" "$c" V05123_1.ab
  done
fi

# On a pseudo-terminal: Wine gives the program a console.
if command -v script >/dev/null; then
  d=$work/console
  mkdir -p "$d"
  cp "$root/examples/"* "$d/"
  # script(1) runs its command through $SHELL, here /bin/sh, which the program then replaces, so the
  # status script returns (-e) is the program's own: a shell left between them would take the Ctrl-C
  # of the stop case too (dash dies of it).
  (cd "$d" && rc=0 && { SHELL=/bin/sh TERM=xterm timeout 180 script -qec "exec '$wine' '$exe' V05123_1.ab" /dev/null \
    </dev/null >pty.txt 2>&1 || rc=$?; } && echo "$rc" >status)
  why=""
  [ "$(cat "$d/status" 2>/dev/null)" = 0 ] || why="$why status:$(cat "$d/status" 2>/dev/null || echo none)"
  text "$d/pty.txt" | tr -d ' ' | grep -q 'endofab-file' || why="$why no-normal-end"
  for f in V05123_1.sno V05123_1.shd V05123_1.abh; do
    cmp -s "$work/examples/lin/$f" "$d/$f" || why="$why $f"
  done
  if [ -z "$why" ]; then pass=$((pass + 1)); echo "PASS console"; else fail=$((fail + 1)); echo "FAIL console:$why"; fi

  # Ctrl-C once a block of particles is written: the run stops with status 128 + 2 (SIGINT) and
  # keeps what it wrote.
  d=$work/console-stop
  mkdir -p "$d"
  cp "$in/base/"* "$d/"
  rain "$d/V05126_1.ab" 3 1 12
  mkfifo "$d/keys"
  (cd "$d" && rc=0 && { SHELL=/bin/sh TERM=xterm timeout 300 script -qec "exec '$wine' '$exe' V05126_1.ab" /dev/null \
    <keys >pty.txt 2>&1 || rc=$?; } && echo "$rc" >status) &
  runner=$!
  exec 3>"$d/keys"
  for _ in $(seq 900); do  # until the display shows more than 100000 bytes in the .sno
    text "$d/pty.txt" | tr -d ' ' | grep -Eq 'sno:[0-9]{6,}' && break
    sleep 0.1
  done
  printf '\003' >&3
  wait "$runner" || true
  exec 3>&-
  (cd "$d" && mkdir full && cp V05126_1.ab DROPPAIR.SET corrfact.dat full/ &&
    cd full && "$lin" V05126_1.ab >/dev/null 2>&1 </dev/null)
  why=""
  [ "$(cat "$d/status" 2>/dev/null)" = 130 ] || why="$why status:$(cat "$d/status" 2>/dev/null || echo none)"
  ! text "$d/pty.txt" | tr -d ' ' | grep -q 'endofab-file' || why="$why not-stopped"
  log_tail "$d/DROPPAIR.ERR" | grep -q '^mp81: run stopped by SIGINT; reader A at offset ' || why="$why no-stop-line"
  size=$(stat -c %s "$d/V05126_1.sno" 2>/dev/null || echo missing)
  if [ "$size" = missing ]; then
    why="$why no-sno"
  else
    cmp -s -n "$size" "$d/V05126_1.sno" "$d/full/V05126_1.sno" || why="$why sno-not-a-prefix"
  fi
  if [ -z "$why" ]; then
    pass=$((pass + 1))
    echo "PASS console-stop (.sno $size of $(stat -c %s "$d/full/V05126_1.sno") bytes)"
  else
    fail=$((fail + 1))
    echo "FAIL console-stop:$why"
  fi
else
  echo "SKIP console cases: no script(1) (Debian package bsdutils) to give Wine a terminal"
fi

echo "wine: $pass passed, $fail failed"
[ "$fail" = 0 ]
