#!/usr/bin/env bash
# The main job, on a fresh Debian machine: builds Movrand and shows what stands so far
# against the simulated receiver module. The simulated module is published as
# /dev/ttySIM0 (a symbolic link to its pseudo-terminal), answers a version query over the
# line, and appears in Movrand's port list, which is rendered to PNG files.
# Flashing from end to end follows with the connection and programming work.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing_packages

build=build/demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -- -j2

work=$(mktemp -d)
link=/dev/ttySIM0
[ -w /dev ] || link="$work/ttySIM0"  # without root the module is published beside the logs
"$build/src/sim/movrand-sim" --link "$link" --model KAP41 --version-words "A1 KAP41 0102" \
  --events "$work/events.jsonl" --timeout-s 120 >"$work/sim.out" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^PORT ' "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$work/sim.out")
echo "Simulated module (KAP41, NMEA at 115200 baud) on $port, published as $link"

# A version query as Movrand sends it: "$POVER" with its checksum, at 115200 8N1.
exec 3<>"$link"
stty -F "$link" 115200 cs8 -parenb -cstopb raw -echo
printf '$POVER*5E\r\n' >&3
reply=$(timeout 2 head -n 1 <&3 | tr -d '\r' || true)
exec 3>&-
echo "Sent \$POVER*5E, the module answered: $reply"

shots="$build/screenshots"
QT_QPA_PLATFORM=offscreen "$build/src/gui/movrand-screenshots" "$shots" >/dev/null 2>&1
echo "Movrand's windows, with the port list showing ${link#/dev/}, rendered to $shots/"
ls "$shots"

kill -TERM "$sim"
wait "$sim" || true
echo "What the simulated module saw:"
tail -n 1 "$work/sim.out"
echo
echo "Connecting and flashing from end to end come with the connection and programming work."
