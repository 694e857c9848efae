#!/usr/bin/env bash
# The unattended station: modules per hour per station, and the station's own overhead per
# module, with one station and with four side by side (and the ratio of four to one).
#
# Each station serves a simulated fixture of paced modules (their pseudo-terminals behave like
# the line) that take a 100 KiB image; the simulated operator takes each module off 2 s after
# its outcome, together with its adapter (the port vanishes), and puts the next one on at once.
# The station's own overhead per module is the time from a module's arrival to its outcome,
# less the time a single run of movrand-flash takes for one module on the same fixture (all of
# it on the line and in the window's waits: the connect, the loader's start, the restart wait,
# the delayed reconnect). Goals: an overhead under 2 s, and four stations at under 1.1 times
# one station's time per module.
#
# Usage: bench/continuous.sh [MODULES]   (modules per station, default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
MODULES=${1:-10}
[ "$MODULES" -ge 2 ] && [ "$MODULES" -le 100 ] || { echo "MODULES must lie in 2..100" >&2; exit 2; }
KIB=100
STAY=2

. scripts/deps.sh
install_missing_packages
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_GUI=OFF \
  -DMOVRAND_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target movrand-flash movrand-sim >/dev/null
FLASH=$PWD/build/bench/src/cli/movrand-flash
SIM=$PWD/build/bench/src/sim/movrand-sim

WORK=$(mktemp -d /tmp/movrand-continuous-XXXXXX)
SIM_PIDS=()
cleanup() {
  local pid
  for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

{ head -c 2048 /dev/urandom; printf 'KAP41'; head -c $((KIB * 1024 - 2048 - 5)) /dev/urandom; } \
  >"$WORK/image.bin"

# fixture N FILE: a script of N modules, each taken off with its port STAY s after its outcome.
fixture() {
  local i
  : >"$2"
  for i in $(seq "$1"); do echo "behaviour=normal stay=$STAY empty=0 off=vanish" >>"$2"; done
}

# start_sims N MODULES: N simulated fixtures, published as $WORK/fixK; waits for their ports.
start_sims() {
  local n=$1 modules=$2 i
  SIM_PIDS=()
  fixture "$modules" "$WORK/fixture.txt"
  for i in $(seq "$n"); do
    rm -f "$WORK/sim$i.out" "$WORK/fix$i"
    "$SIM" --fixture "$WORK/fixture.txt" --link "$WORK/fix$i" --pace --timeout-s 3600 \
      >"$WORK/sim$i.out" &
    SIM_PIDS+=($!)
  done
  for i in $(seq "$n"); do
    for _ in $(seq 200); do
      [ -L "$WORK/fix$i" ] && break
      sleep 0.05
    done
  done
}

# stop_sims: ends the fixtures; their summaries stay in $WORK/simK.out.
stop_sims() {
  local pid
  for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  SIM_PIDS=()
}

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }

# The baseline: one module flashed by a single run, on the same kind of fixture.
start_sims 1 1
started=$(now)
"$FLASH" --port "$WORK/fix1" --protocol nmea --baud 115200 --file "$WORK/image.bin" --yes \
  >"$WORK/single.log" 2>&1 || { cat "$WORK/single.log" >&2; exit 1; }
single=$(calc "$(now) - $started")
stop_sims

# run N: N stations of MODULES modules each; prints "<modules/hour per station> <overhead s>".
run() {
  local n=$1 i args=() started ended
  start_sims "$n" "$MODULES"
  for i in $(seq "$n"); do args+=(--port "$WORK/fix$i"); done
  started=$(now)
  "$FLASH" "${args[@]}" --continuous --count "$MODULES" --protocol nmea --baud 115200 \
    --file "$WORK/image.bin" --yes --record "$WORK/record$n.jsonl" \
    >"$WORK/flash$n.log" 2>&1 || { cat "$WORK/flash$n.log" >&2; exit 1; }
  ended=$(now)
  stop_sims
  local passed
  passed=$(jq -s '[.[] | select(.verdict == "PASS")] | length' "$WORK/record$n.jsonl")
  [ "$passed" -eq $((n * MODULES)) ] || {
    echo "only $passed of $((n * MODULES)) modules passed" >&2
    cat "$WORK/flash$n.log" >&2
    exit 1
  }
  # From each module's arrival to its outcome, as its fixture saw it; the first module of a
  # station also waits for the program's start, so it is left out.
  local handled
  handled=$(for i in $(seq "$n"); do tail -1 "$WORK/sim$i.out"; done |
    jq -s '[.[].modules[] | select(.number > 1) | (.outcome_ms - .arrived_ms) / 1000] | add / length')
  local wall perHour overhead
  wall=$(calc "$ended - $started")
  perHour=$(calc "$MODULES / $wall * 3600")
  overhead=$(calc "$handled - $single")
  echo "$perHour $overhead $handled $wall"
}

read -r one_rate one_overhead one_handled one_wall < <(run 1)
read -r four_rate four_overhead four_handled four_wall < <(run 4)

printf 'image %d KiB, paced at 115200, %d modules per station, taken off %d s after each outcome\n' \
  "$KIB" "$MODULES" "$STAY"
printf 'single run of one module (line and the window'"'"'s waits): %.2f s\n' "$single"
printf '%-12s %10s %12s %14s %14s\n' stations wall-s modules/h "s/module" "overhead s"
printf '%-12s %10.1f %12.1f %14.2f %14.2f\n' 1 "$one_wall" "$one_rate" "$one_handled" "$one_overhead"
printf '%-12s %10.1f %12.1f %14.2f %14.2f\n' 4 "$four_wall" "$four_rate" "$four_handled" "$four_overhead"
printf 'ratio of four stations to one (time per module per station): %.3f\n' \
  "$(calc "$one_rate / $four_rate")"
