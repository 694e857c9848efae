#!/usr/bin/env bash
# Start-up of the two windows side by side in one run, on one virtual display: the Qt window on
# Linux (movrand) and the Win32 window under wine (movrand.exe). For each it prints the time
# from the start of the program to its first complete paint (the window mapped and showing its
# picture and captions) and the resident memory of the program's process once it has settled,
# as medians over the runs, then the ratios Win32-under-wine / Qt.
#
#   bench/window_start.sh [--runs N] [--qt PATH] [--exe PATH]
#
# Without --qt and --exe both are built (Release) first. Wine's server is started before the
# runs and kept, so the figure is the program's start and not the first boot of wine; its own
# memory is printed apart. Figures, not pass/fail.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5 qt="" exe=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --qt) qt=$2; shift 2 ;;
    --exe) exe=$2; shift 2 ;;
    *) echo "window_start: unknown argument $1" >&2; exit 2 ;;
  esac
done

if [ -z "$qt" ]; then
  cmake -S . -B build/bench-window -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_TESTS=OFF >/dev/null
  cmake --build build/bench-window --target movrand -- -j2 >/dev/null
  qt=build/bench-window/src/gui/movrand
fi
if [ -z "$exe" ]; then
  cmake -S . -B build/bench-window-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_GUI=OFF -DMOVRAND_BUILD_TESTS=OFF >/dev/null
  cmake --build build/bench-window-mingw --target movrand -- -j2 >/dev/null
  exe=build/bench-window-mingw/src/win32gui/movrand.exe
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
caption="  Movrand v5.12"
work=$(mktemp -d /tmp/movrand-window-bench-XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb="" pid=""
cleanup() {
  set +e
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  "$wineserver" -k >/dev/null 2>&1
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
"$wine" wineboot -i >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
"$wineserver" -p  # a server that stays up between the runs

mkdir -p "$work/qt" "$work/win"
cp "$qt" "$work/qt/movrand"
cp "$exe" "$work/win/movrand.exe"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Painted: the window shows more than a handful of colours (a window not yet drawn is one
# colour; the picture alone has hundreds).
painted() {
  local colours
  colours=$(xwd -silent -id "$1" 2>/dev/null | xwdtopnm 2>/dev/null | ppmhist -noheader 2>/dev/null | wc -l)
  [ "$colours" -gt 100 ]
}

# measure NAME COMMAND...: prints "milliseconds kib" for one start.
measure() {
  local start window="" t rss
  start=$(now_ms)
  "$@" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1500); do
    window=$(xdotool search --onlyvisible --name "^${caption}\$" 2>/dev/null | head -n1) || true
    [ -n "$window" ] && painted "$window" && break
    window=""
    sleep 0.01
  done
  [ -n "$window" ] || { echo "window_start: no window from $*" >&2; exit 1; }
  t=$(($(now_ms) - start))
  sleep 2  # settled
  rss=$(ps -o rss= -p "$pid" | tr -d ' ')
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  pid=""
  echo "$t $rss"
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2]+v[NR/2+1])/2)}'; }

qt_times=() qt_rss=() win_times=() win_rss=()
for i in $(seq "$runs"); do
  # Alternating, so that a busy moment of the machine falls on both.
  read -r t r < <(cd "$work/qt" && QT_QPA_PLATFORM=xcb measure ./movrand)
  qt_times+=("$t") qt_rss+=("$r")
  read -r t r < <(cd "$work/win" && measure "$wine" movrand.exe)
  win_times+=("$t") win_rss+=("$r")
  echo "run $i: Qt ${qt_times[-1]} ms ${qt_rss[-1]} KiB, Win32 under wine ${win_times[-1]} ms ${win_rss[-1]} KiB"
done
server_rss=$( (ps -o rss= -C wineserver,wineserver64 || true) | awk '{s+=$1} END {print s+0}')

qt_t=$(printf '%s\n' "${qt_times[@]}" | median)
qt_r=$(printf '%s\n' "${qt_rss[@]}" | median)
win_t=$(printf '%s\n' "${win_times[@]}" | median)
win_r=$(printf '%s\n' "${win_rss[@]}" | median)
echo
printf '%-34s %12s %14s\n' "window (median of $runs)" "first paint" "resident"
printf '%-34s %9s ms %10s KiB\n' "movrand (Qt 6, Linux)" "$qt_t" "$qt_r"
printf '%-34s %9s ms %10s KiB\n' "movrand.exe (Win32, under wine)" "$win_t" "$win_r"
printf '%-34s %12s %14s\n' "ratio Win32-under-wine / Qt" \
  "$(awk -v a="$win_t" -v b="$qt_t" 'BEGIN {printf "%.2f", a / b}')" \
  "$(awk -v a="$win_r" -v b="$qt_r" 'BEGIN {printf "%.2f", a / b}')"
echo "(wineserver, shared by every wine program: $server_rss KiB resident)"
