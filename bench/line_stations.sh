#!/usr/bin/env bash
# Several stations in one command: the wall time of flashing 1, 2 and 4 simulated modules with
# the same image in one movrand-flash command, and the ratio of 4 to 1. Each module is paced
# (its pseudo-terminal behaves like the line), so a station spends its time as on a bench:
# on the line, in the restart wait and in the reconnect; the stations run side by side, each
# in a process of its own. Goal: a ratio under 1.2 on a two-core machine.
#
# Usage: bench/line_stations.sh [KIB]   (an image of KIB KiB, 1..127, default 100: below
# 128 KiB the restart wait is the short one)
set -euo pipefail
cd "$(dirname "$0")/.."
KIB=${1:-100}
[ "$KIB" -ge 1 ] && [ "$KIB" -le 127 ] || { echo "KIB must lie in 1..127" >&2; exit 2; }

. scripts/deps.sh
install_missing_packages
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_GUI=OFF \
  -DMOVRAND_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target movrand-flash movrand-sim >/dev/null
FLASH=$PWD/build/bench/src/cli/movrand-flash
SIM=$PWD/build/bench/src/sim/movrand-sim

WORK=$(mktemp -d /tmp/movrand-line-stations-XXXXXX)
SIM_PIDS=()
cleanup() {
  local pid
  for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

{ head -c 2048 /dev/urandom; printf 'KAP41'; head -c $((KIB * 1024 - 2048 - 5)) /dev/urandom; } \
  >"$WORK/image.bin"

# run N: flashes N modules in one command; prints the wall time in seconds.
run() {
  local n=$1 i args=() started ended
  SIM_PIDS=()
  for i in $(seq "$n"); do
    rm -f "$WORK/received$i.bin"
    "$SIM" --pace --image-out "$WORK/received$i.bin" --timeout-s 300 >"$WORK/sim$i.out" &
    SIM_PIDS+=($!)
  done
  for i in $(seq "$n"); do
    local line=""
    for _ in $(seq 100); do
      line=$(head -1 "$WORK/sim$i.out" 2>/dev/null || true)
      [ -n "$line" ] && break
      sleep 0.05
    done
    args+=(--port "${line#PORT }")
  done
  started=$(date +%s.%N)
  "$FLASH" "${args[@]}" --protocol nmea --baud 115200 --file "$WORK/image.bin" --yes \
    >"$WORK/flash$n.log" 2>&1 || { cat "$WORK/flash$n.log" >&2; exit 1; }
  ended=$(date +%s.%N)
  for i in $(seq "$n"); do
    kill "${SIM_PIDS[$((i - 1))]}" 2>/dev/null || true
    wait "${SIM_PIDS[$((i - 1))]}" 2>/dev/null || true
    cmp -s <(head -c $((KIB * 1024)) "$WORK/received$i.bin") "$WORK/image.bin" ||
      { echo "module $i: image differs" >&2; exit 1; }
  done
  SIM_PIDS=()
  awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.2f", b - a }'
}

echo "Flashing a $KIB KiB image into N paced simulated modules in one command ($(nproc) cores)"
one=$(run 1)
echo "  1 station:  $one s"
two=$(run 2)
echo "  2 stations: $two s"
four=$(run 4)
echo "  4 stations: $four s"
echo "  ratio 4:1:  $(awk -v a="$four" -v b="$one" 'BEGIN { printf "%.3f", a / b }') (goal: under 1.2)"
