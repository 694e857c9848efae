#!/usr/bin/env bash
# The window on Windows, end to end, as a technician uses it: movrand.exe under wine on a
# virtual display, the simulated module published to wine as COM5, and every step a mouse click
# or a key press through xdotool. The window must open with the client size 318 x 344 and its
# caption; picking COM5 and pressing Connect must find the module (the port line and the version
# in the log pane); choosing the file in the file dialog, pressing Programming and then OK must
# flash it (the module's image equals the file padded with 0x1A to whole blocks); after the
# reconnect the final lines must appear; closing the window must write the six settings in
# order. A picture of the window at the end is kept, and one of the window at 144 DPI, where it
# must lay itself out one and a half times as large.
#
#   window_flash_e2e.sh --exe movrand.exe --probe movrand-window-probe.exe --sim movrand-sim
#                       --screenshot FILE.png [--preload libmovrand_wine_pty.so]
#
# It runs on the wine test bench (tests/wine/wine_bench.sh), in a prefix of its own, with the
# module's pseudo-terminal behind COM5 made a serial port by the bench's preload library (built
# here from its source when --preload is not given). Needs wine (Debian's wine64), Xvfb,
# xdotool, xwd and netpbm. Exits non-zero on any failure.
set -euo pipefail

exe="" probe="" sim="" preload="" screenshot=""
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$2; shift 2 ;;
    --probe) probe=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --preload) preload=$2; shift 2 ;;
    --screenshot) screenshot=$2; shift 2 ;;
    *) echo "window_flash_e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done
for f in "$exe" "$probe" "$sim" ${preload:+"$preload"}; do
  [ -f "$f" ] || { echo "window_flash_e2e: missing $f" >&2; exit 2; }
done
[ -n "$screenshot" ] || { echo "window_flash_e2e: --screenshot is needed" >&2; exit 2; }
# The program runs in a folder of its own: every path absolute.
exe=$(realpath "$exe") probe=$(realpath "$probe") sim=$(realpath "$sim")
screenshot=$(realpath -m "$screenshot")
if [ -n "$preload" ]; then preload=$(realpath "$preload"); fi
here=$(cd "$(dirname "$0")" && pwd)

main_caption="  Movrand v5.12"
work=$(mktemp -d /tmp/movrand-window-e2e-XXXXXX)
# shellcheck source=../wine/wine_bench.sh
. "$here/../wine/wine_bench.sh"
wine_bench_init "$work/bench"
wine=$WINE_BENCH_WINE
xvfb="" sim_pid="" app_pid=""

cleanup() {
  set +e
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
  wine_bench_stop >/dev/null 2>&1
  [ -n "$xvfb" ] && { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "window_flash_e2e: FAILED: $*" >&2
  if [ -n "${DISPLAY:-}" ]; then
    xwd -silent -root 2>/dev/null | xwdtopnm 2>/dev/null | pnmtopng >"${screenshot%.png}-failure.png" 2>/dev/null &&
      echo "window_flash_e2e: the screen at the failure: ${screenshot%.png}-failure.png" >&2
  fi
  exit 1
}
step() { echo "== $*"; }

run_probe() { "$wine" "$probe_copy" "$@"; }
click() {  # click CAPTION CONTROL: a left click in the middle of the control
  local at
  at=$(run_probe point "$1" "$2" | tr -d '\r') || fail "no $2 in \"$1\""
  # shellcheck disable=SC2086
  xdotool mousemove $at sleep 0.2 click 1
}
wait_text() {  # wait_text CONTROL TEXT SECONDS, in the main window
  run_probe wait-text "$main_caption" "$1" "$2" "$3" >/dev/null || fail "\"$2\" never showed in $1"
}

# ---- The display and the bench, with the module as COM5 ----------------------------------------
step "virtual display"
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"

step "wine bench"
if [ -z "$preload" ]; then
  preload="$work/libmovrand_wine_pty.so"
  c++ -std=c++20 -O2 -shared -fPIC -o "$preload" "$here/../wine/pty_port_preload.cpp" -ldl ||
    fail "the bench's preload library did not build"
fi
export WINE_BENCH_PRELOAD=$preload
wine_bench_make_prefix || fail "no wine prefix"

step "simulated module as COM5"
"$sim" --link "$work/ttySIM" --image-out "$work/received.bin" --restart-s 1 --timeout-s 600 \
  >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [ -L "$work/ttySIM" ] && break; sleep 0.1; done
[ -L "$work/ttySIM" ] || fail "the simulated module published no port"
wine_bench_map_port COM5 "$work/ttySIM" || fail "COM5"

# ---- The program, a firmware file beside it --------------------------------------------------
app="$work/app"
mkdir -p "$app"
cp "$exe" "$app/movrand.exe"
probe_copy="$work/movrand-window-probe.exe"
cp "$probe" "$probe_copy"
{ head -c 3000 /dev/urandom; printf 'KAP41'; head -c 2000 /dev/urandom; } >"$app/fw.bin"

step "start movrand.exe"
(cd "$app" && wine_bench_run movrand.exe >"$work/movrand.log" 2>&1) &
app_pid=$!
shown=$(run_probe wait "$main_caption" 60 | tr -d '\r') || fail "the window did not open"
echo "$shown"
grep -qx "client 318 344" <<<"$shown" || fail "client size: $shown"
grep -qx "caption $main_caption" <<<"$shown" || fail "caption: $shown"
xdotool search --name "^${main_caption}\$" >/dev/null || fail "the caption did not reach the display"

step "pick COM5 and connect"
# The list opens, and the arrow keys walk down it to COM5, as a user would.
click "$main_caption" PortComboBox
sleep 0.5
xdotool key Home
for _ in $(seq 12); do
  port=$(run_probe text "$main_caption" PortComboBox | tr -d '\r')
  [[ "$port" == COM5* ]] && break
  xdotool key Down
done
xdotool key Return
sleep 0.3
port=$(run_probe text "$main_caption" PortComboBox | tr -d '\r')
[[ "$port" == COM5* ]] || fail "the port selector shows \"$port\""
click "$main_caption" SpeedButtonSynch
wait_text Memo1 ">>Port: COM5 " 60
wait_text Memo1 "KAP41" 10
run_probe text "$main_caption" Memo1 | tr -d '\r' | tail -n 3

step "choose the file"
click "$main_caption" SpeedButtonOpen
run_probe wait "Open" 20 >/dev/null || fail "the file dialog did not open"
sleep 0.5
xdotool type --delay 40 "fw.bin"
xdotool key Return
run_probe gone "Open" 20 || fail "the file dialog did not close"
[ "$(run_probe text "$main_caption" Edit1 | tr -d '\r')" = "fw.bin" ] || fail "no file chosen"

step "program"
run_probe enabled "$main_caption" SpeedButtonProgram || fail "Programming is not enabled"
click "$main_caption" SpeedButtonProgram
run_probe wait "Attention!!!" 20 >/dev/null || fail "the warning did not show"
click "Attention!!!" BitBtnOK
wait_text Memo1 ">>Loading completed" 120
wait_text Memo1 ">>Connection..." 30
wait_text Memo1 ">>FW upgrade is FINISHED" 60
wait_text Memo1 ">>Device is ready for normal operation" 30
run_probe text "$main_caption" Memo1 | tr -d '\r' | tail -n 6

step "the module's image"
[ -f "$work/received.bin" ] || fail "the module received no image"
size=$(stat -c %s "$app/fw.bin")
padded="$work/padded.bin"
cp "$app/fw.bin" "$padded"
while [ $(($(stat -c %s "$padded") % 128)) -ne 0 ]; do printf '\032' >>"$padded"; done
cmp "$padded" "$work/received.bin" || fail "the image the module received differs from the file"
echo "received $(stat -c %s "$work/received.bin") bytes: the $size-byte file padded with 0x1A"

step "screenshot"
mkdir -p "$(dirname "$screenshot")"
window=$(xdotool search --name "^${main_caption}\$" | head -n1)
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$screenshot" || fail "screenshot"
echo "window picture: $screenshot"

step "close"
click "$main_caption" BitBtn1
run_probe gone "$main_caption" 20 || fail "the window did not close"
wait "$app_pid" || fail "movrand.exe ended badly: $(cat "$work/movrand.log")"
app_pid=""
keys=$(tr -d '\r' <"$app/movrand.ini" | sed -n 's/^\([A-Za-z]*\)=.*/\1/p' | paste -sd' ')
echo "settings: $(tr -d '\r' <"$app/movrand.ini" | paste -sd' ')"
[ "$keys" = "Port Protocol Baud FileName Left Top" ] || fail "settings keys: $keys"
grep -q '^\[Settings\]' "$app/movrand.ini" || fail "no [Settings] section"
grep -q "^FileName=.*fw\.bin" <(tr -d '\r' <"$app/movrand.ini") || fail "the file was not stored"

step "at 144 DPI"
# The program is per-monitor DPI aware and lays itself out for the DPI: one and a half times
# the client area, drawn at that size rather than stretched.
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
"$WINE_BENCH_SERVER" -k >/dev/null 2>&1 || true  # the DPI is read when the server starts
"$WINE_BENCH_SERVER" -w >/dev/null 2>&1 || true
(cd "$app" && wine_bench_run movrand.exe >>"$work/movrand.log" 2>&1) &
app_pid=$!
shown=$(run_probe wait "$main_caption" 60 | tr -d '\r') || fail "the window did not open at 144 DPI"
grep -qx "client 477 516" <<<"$shown" || fail "client size at 144 DPI: $shown"
sleep 1
window=$(xdotool search --name "^${main_caption}\$" | head -n1)
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"${screenshot%.png}-144dpi.png" ||
  fail "screenshot at 144 DPI"
echo "window picture at 144 DPI: ${screenshot%.png}-144dpi.png"
click "$main_caption" BitBtn1
run_probe gone "$main_caption" 20 || fail "the window did not close at 144 DPI"
wait "$app_pid" || fail "movrand.exe ended badly at 144 DPI: $(cat "$work/movrand.log")"
app_pid=""

echo "window flash under wine: ok"
