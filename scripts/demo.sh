#!/usr/bin/env bash
# The demo, on a fresh Debian machine: installs what is missing, builds Movrand, starts the
# simulated receiver module (movrand-sim) on a pseudo-terminal, makes two sample firmware
# images for its model (a small one, and a large one with a valid length and CRC-32 header),
# and flashes the large one with movrand-flash from Auto protocol and Auto rate, printing the
# log and the progress. It ends by showing that the image the module received is the file.
#
# With a display (or --gui) it opens the Movrand window instead, with the simulated port in
# the port list and the sample image chosen: press Connect, then Programming.
#
#   scripts/demo.sh [--gui | --headless] [--small]
#
#   --gui       open the window even without $DISPLAY (needs a display to show it on)
#   --headless  flash from the command line even when a display is there (what CI runs)
#   --small     use the small image (no header, a 7-second restart wait instead of 26)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=auto
image_kind=large
for arg in "$@"; do
  case "$arg" in
    --gui) mode=gui ;;
    --headless) mode=headless ;;
    --small) image_kind=small ;;
    -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option $arg (see --help)" >&2; exit 2 ;;
  esac
done
if [ "$mode" = auto ]; then
  mode=headless
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    # The window lists the simulated port only when it is published in /dev.
    if [ -w /dev ]; then mode=gui; else echo "demo: not root, so the command line instead of the window"; fi
  fi
fi

. scripts/deps.sh
install_missing_packages

build=build/demo
targets=(movrand-flash movrand-sim)
[ "$mode" = gui ] && targets+=(movrand)
echo "== Building ${targets[*]} in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" -- -j2
flash="$build/src/cli/movrand-flash"
simulator="$build/src/sim/movrand-sim"

work=$(mktemp -d /tmp/movrand-demo-XXXXXX)
sim=""
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- Sample images for the simulated model (KAP41) --------------------------------------------
# Both carry the model name, which is how Movrand tells that an image suits the module.
model=KAP41
le32() {  # a number as 4 bytes, least significant first
  local n=$1 i
  for i in 0 1 2 3; do printf "\\$(printf '%03o' $(((n >> (8 * i)) & 255)))"; done
}
small="$work/sample-small.bin"
{ head -c 20000 /dev/urandom; printf '%s' "$model"; head -c 20000 /dev/urandom; } >"$small"
# A large image (from 128 KiB on) starts with the payload's length and its CRC-32, both
# little-endian; gzip keeps the CRC-32 of what it compressed in its last 8 bytes.
large="$work/sample-large.bin"
payload="$work/payload.bin"
large_size=$((192 * 1024))
{ head -c $((large_size - 8 - ${#model})) /dev/urandom; printf '%s' "$model"; } >"$payload"
{ le32 $((large_size - 8)); gzip -c "$payload" | tail -c 8 | head -c 4; cat "$payload"; } >"$large"
rm "$payload"
image=$large
[ "$image_kind" = small ] && image=$small
echo "== Sample images: $small ($(stat -c %s "$small") bytes, no header)"
echo "                  $large ($(stat -c %s "$large") bytes, length and CRC-32 header)"

# ---- The simulated module --------------------------------------------------------------------
# Published as /dev/ttySIM0, where the port list finds it; without root beside the images.
link=/dev/ttySIM0
[ -w /dev ] || link="$work/ttySIM0"
received="$work/received.bin"
"$simulator" --link "$link" --model "$model" --protocol nmea --baud 57600 \
  --image-out "$received" --timeout-s 900 >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do
  grep -q '^PORT ' "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
grep -q '^PORT ' "$work/sim.out" || { echo "demo: the simulated module did not start" >&2; exit 1; }
echo "== Simulated module $model (NMEA, 57600 baud) on $(sed -n 's/^PORT //p' "$work/sim.out"), published as $link"

show_received() {
  if [ ! -f "$received" ]; then
    echo "== The module received no complete image."
    return 1
  fi
  # The module holds whole 128-byte blocks; a file of another length is padded with 0x1A.
  local size padded
  size=$(stat -c %s "$image")
  padded=$(((size + 127) / 128 * 128))
  echo "== What the module received:"
  sha256sum "$image" "$received" | sed 's/^/   /'
  if cmp -s <(cat "$image"; head -c $((padded - size)) /dev/zero | tr '\0' '\032') "$received"; then
    echo "== The image the module received equals the file ($size bytes$([ "$padded" -ne "$size" ] && echo ", padded to $padded with 0x1A"))."
  else
    echo "== The image the module received differs from the file!" >&2
    return 1
  fi
}

if [ "$mode" = gui ]; then
  gui="$build/src/gui/movrand"
  if [ "${link#/dev/}" = "$link" ]; then
    echo "demo: the window lists ports from /dev only; run as root to publish $link there," >&2
    echo "      or use --headless." >&2
    exit 1
  fi
  # The window's settings file beside it: the simulated port (by its place in the sorted
  # list, as the window stores it), Auto and Auto, and the sample image.
  port_index=$("$flash" --list | awk -v name="${link#/dev/}" '$1 == name { print NR - 1; exit }')
  printf '[Settings]\r\nPort=%s\r\nProtocol=0\r\nBaud=0\r\nFileName=%s\r\n' \
    "${port_index:-0}" "$image" >"$gui.ini"
  echo "== Opening the Movrand window: ${link#/dev/} and $(basename "$image") are chosen;"
  echo "   press Connect, then Programming. Close the window when done."
  "$gui"
  show_received || true
  exit 0
fi

echo "== movrand-flash --port $link --file $(basename "$image") --yes"
echo
status=0
"$flash" --port "$link" --file "$image" --yes || status=$?
echo
echo "== movrand-flash ended with exit code $status"
[ "$status" -eq 0 ] || exit "$status"
show_received
