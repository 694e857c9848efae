#!/usr/bin/env bash
# movrand-flash on Linux beside movrand-flash.exe under wine, in one run, against the same
# simulated module: a fixed-rate connect (five times each) and a small-image flash with its
# restart wait (once each). Prints wall time and process CPU (user + system, for wine the
# wineserver's share included) of each, and the ratio wine / Linux.
#   bench/wine_vs_native.sh LINUX_BUILD WINDOWS_BUILD
# LINUX_BUILD holds movrand-flash, movrand-sim and the wine bench's preload library (built
# with tests on); WINDOWS_BUILD holds movrand-flash.exe (scripts/test.sh makes both).
set -euo pipefail
linux=$(cd "${1:?Linux build folder}" && pwd)
windows=$(cd "${2:?Windows build folder}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tests/wine/wine_bench.sh"
work=$(mktemp -d /tmp/movrand-wine-bench.XXXXXX)
wine_bench_init "$work/bench"
wine_bench_make_prefix
export WINE_BENCH_PRELOAD="$linux/tests/wine/libmovrand_wine_pty.so"
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wine_bench_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM  # so that the cleanup runs when the run is stopped

python3 - "$work/fw.bin" <<'PY'
import sys
data = bytearray((i * 7 + i // 256) % 256 for i in range(3000))
data[1500:1505] = b"KAP41"
open(sys.argv[1], "wb").write(data)
PY

start_sim() {
  "$linux/src/sim/movrand-sim" --protocol nmea --baud 115200 --restart-s 1 \
    --link "$work/ttySIM" --timeout-s 600 >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do [ -e "$work/ttySIM" ] && break; sleep 0.1; done
  wine_bench_map_port COM5 "$work/ttySIM"
}

server_cpu() {  # clock ticks the wineserver has used so far
  local pid
  pid=$(pgrep -u "$(id -u)" -f "^$WINE_BENCH_SERVER" -n 2>/dev/null || true)
  if [ -n "$pid" ] && [ -r "/proc/$pid/stat" ]; then
    awk '{print $14 + $15}' "/proc/$pid/stat"
  else
    echo 0
  fi
}

# measure NAME COUNT COMMAND...: wall seconds and CPU seconds of COUNT runs.
measure() {
  local name=$1 count=$2
  shift 2
  local ticks before after t0 t1 cpu0 cpu1
  ticks=$(getconf CLK_TCK)
  before=$(server_cpu)
  read -r cpu0 < <(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
  t0=$(date +%s.%N)
  for _ in $(seq "$count"); do "$@" >"$work/run.out" 2>&1 || { echo "$name failed:" >&2; cat "$work/run.out" >&2; exit 1; }; done
  t1=$(date +%s.%N)
  read -r cpu1 < <(awk '{print $14 + $15 + $16 + $17}' /proc/$$/stat)
  after=$(server_cpu)
  awk -v n="$name" -v c="$count" -v w="$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" \
    -v cpu="$(( (cpu1 - cpu0) + (after - before) ))" -v t="$ticks" \
    'BEGIN { printf "%-26s %3d runs  wall %7.2f s  CPU %6.2f s\n", n, c, w, cpu / t }'
  echo "$name $(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') $(( (cpu1 - cpu0) + (after - before) ))" >>"$work/figures"
}

start_sim
connect=(--protocol nmea --baud 115200)
flash=(--protocol nmea --baud 115200 --yes)
measure "connect, Linux" 5 "$linux/src/cli/movrand-flash" --port "$work/ttySIM" "${connect[@]}"
measure "connect, wine" 5 wine_bench_run "$windows/src/cli/movrand-flash.exe" --port COM5 "${connect[@]}"
measure "flash 3000 bytes, Linux" 1 "$linux/src/cli/movrand-flash" --port "$work/ttySIM" \
  "${flash[@]}" --file "$work/fw.bin"
measure "flash 3000 bytes, wine" 1 wine_bench_run "$windows/src/cli/movrand-flash.exe" \
  --port COM5 "${flash[@]}" --file "Z:${work//\//\\}\\fw.bin"
ticks=$(getconf CLK_TCK)
awk -v t="$ticks" '
  { wall[NR] = $(NF-1); cpu[NR] = $NF }
  END {
    printf "ratio wine / Linux: connect wall %.2f, CPU %.2f; flash wall %.2f, CPU %.2f\n",
      wall[2] / wall[1], cpu[2] / (cpu[1] ? cpu[1] : 1), wall[4] / wall[3], cpu[4] / (cpu[3] ? cpu[3] : 1)
  }' "$work/figures"
