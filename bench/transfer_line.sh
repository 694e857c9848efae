#!/usr/bin/env bash
# A 1 MiB image (with its length and CRC-32 header) into the simulated module, movrand-flash
# and sx of lrzsz (128-byte XMODEM-CRC) taking turns, in one run:
#  - paced (the pseudo-terminal behaves like the line) at 115200 and 230400: transfer time,
#    percent over the line limit (134 bytes of 10 bits a block, 8192 blocks), the host's
#    turnaround per block (median, 99th percentile) as the module measured it, and the ratio
#    movrand-flash / sx;
#  - unpaced (bytes as fast as the pseudo-terminal takes them, the module answering at once):
#    blocks per second of each.
# The transfer time is the module's: from the first byte of block 1 to the arrival of EOT,
# the same measure for both senders.
#
# Usage: bench/transfer_line.sh [RUNS [KIB]]   (RUNS of each sender per case, default 3; an
# image of KIB KiB, at least 128, default 1024 - smaller only for a quick look)
# Takes about 20 minutes with 3 runs: a paced megabyte is 95 s at 115200.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-3}
KIB=${2:-1024}
[ "$KIB" -ge 128 ] && [ "$KIB" -le 1024 ] || { echo "KIB must lie in 128..1024" >&2; exit 2; }
BLOCKS=$((KIB * 8))

. scripts/deps.sh
install_missing_packages
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_GUI=OFF \
  -DMOVRAND_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target movrand-flash movrand-sim >/dev/null
FLASH=$PWD/build/bench/src/cli/movrand-flash
SIM=$PWD/build/bench/src/sim/movrand-sim

WORK=$(mktemp -d /tmp/movrand-transfer-line-XXXXXX)
SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The image: a header (length of the rest, CRC-32 of the rest, both little-endian), then
# 1 MiB - 8 bytes that name the module's model. gzip's trailer holds the CRC-32 of its input.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
  $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
BODY=$((KIB * 1024 - 8))
{ head -c 4096 /dev/urandom; printf 'KAP41'; head -c $((BODY - 4096 - 5)) /dev/urandom; } \
  >"$WORK/body.bin"
CRC=$(gzip -c "$WORK/body.bin" | tail -c 8 | head -c 4 | od -An -tu4 | tr -d ' ')
{ printf "$(le32 $BODY)$(le32 "$CRC")"; cat "$WORK/body.bin"; } >"$WORK/image.bin"

# start_sim OPTIONS...: starts the module, sets PORT.
start_sim() {
  coproc SIMPROC { exec "$SIM" --image-out "$WORK/received.bin" --restart-s 0 \
    --timeout-s 900 "$@"; }
  SIM_PID=$SIMPROC_PID
  local line
  read -r line <&"${SIMPROC[0]}"
  PORT=${line#PORT }
}
# stop_sim: stops it and sets SUMMARY.
stop_sim() {
  kill -TERM "$SIM_PID"
  read -r SUMMARY <&"${SIMPROC[0]}"
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=
}
figure() { # figure KEY: the first number after "KEY": in the summary
  sed -n "s/.*\"$1\":\\([0-9]*\\).*/\\1/p" <<<"$SUMMARY" | head -1
}

# run SENDER RATE PACED: one transfer; prints "seconds median_us p99_us".
run() {
  local sender=$1 rate=$2 paced=$3 opts=()
  [ "$paced" = paced ] && opts+=(--pace) || opts+=(--ack-delay-ms 0)
  rm -f "$WORK/received.bin"
  if [ "$sender" = sx ]; then
    start_sim --baud "$rate" --start-in-loader "${opts[@]}"
    stty -F "$PORT" raw -echo "$rate"
    sx -X "$WORK/image.bin" <"$PORT" >"$PORT" 2>/dev/null || { echo "sx failed" >&2; exit 1; }
  else
    start_sim --baud "$rate" "${opts[@]}"
    "$FLASH" --port "$PORT" --protocol nmea --baud "$rate" --file "$WORK/image.bin" --yes \
      >"$WORK/flash.log" 2>&1 || { cat "$WORK/flash.log" >&2; exit 1; }
  fi
  stop_sim
  cmp -s "$WORK/received.bin" "$WORK/image.bin" || { echo "$sender: image differs" >&2; exit 1; }
  local micros
  micros=$(figure transfer_us)
  local turnaround=${SUMMARY#*\"host_turnaround_us\":}
  SUMMARY=$turnaround
  echo "$(awk -v u="$micros" 'BEGIN { printf "%.3f", u / 1e6 }') $(figure median) $(figure p99)"
}

mean() { awk '{ s += $1 } END { printf "%.3f", s / NR }'; }
middle() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "Paced transfers of a $KIB KiB image ($BLOCKS blocks), $RUNS runs of each sender, taking turns"
for rate in 115200 230400; do
  limit=$(awk -v r="$rate" -v b="$BLOCKS" 'BEGIN { printf "%.2f", b * 134 * 10 / r }')
  : >"$WORK/movrand.txt"
  : >"$WORK/sx.txt"
  for i in $(seq "$RUNS"); do
    run movrand "$rate" paced >>"$WORK/movrand.txt"
    run sx "$rate" paced >>"$WORK/sx.txt"
  done
  echo
  echo "$rate baud: line limit $limit s"
  printf "  %-14s %10s %8s %16s %13s\n" sender "time (s)" "over %" "turnaround med" "p99 (us)"
  for sender in movrand sx; do
    while read -r seconds median p99; do
      over=$(awk -v t="$seconds" -v l="$limit" 'BEGIN { printf "%.2f", (t / l - 1) * 100 }')
      name=$([ "$sender" = movrand ] && echo movrand-flash || echo "sx -X")
      printf "  %-14s %10s %8s %13s us %13s\n" "$name" "$seconds" "$over" "$median" "$p99"
    done <"$WORK/$sender.txt"
  done
  m=$(cut -d' ' -f1 "$WORK/movrand.txt" | mean)
  s=$(cut -d' ' -f1 "$WORK/sx.txt" | mean)
  printf "  mean: movrand-flash %s s, sx %s s; ratio movrand/sx %s; median turnaround %s us / %s us\n" \
    "$m" "$s" "$(awk -v a="$m" -v b="$s" 'BEGIN { printf "%.4f", a / b }')" \
    "$(cut -d' ' -f2 "$WORK/movrand.txt" | middle)" "$(cut -d' ' -f2 "$WORK/sx.txt" | middle)"
done

echo
echo "Unpaced (the pseudo-terminal's own speed, the module answering at once), $RUNS runs each"
: >"$WORK/movrand.txt"
: >"$WORK/sx.txt"
for i in $(seq "$RUNS"); do
  run movrand 115200 unpaced >>"$WORK/movrand.txt"
  run sx 115200 unpaced >>"$WORK/sx.txt"
done
for sender in movrand sx; do
  name=$([ "$sender" = movrand ] && echo movrand-flash || echo "sx -X")
  rates=$(awk -v b="$BLOCKS" '{ printf "%.0f ", b / $1 }' "$WORK/$sender.txt")
  printf "  %-14s blocks/s: %s(turnaround median %s us)\n" "$name" "$rates" \
    "$(cut -d' ' -f2 "$WORK/$sender.txt" | middle)"
done
m=$(cut -d' ' -f1 "$WORK/movrand.txt" | mean)
s=$(cut -d' ' -f1 "$WORK/sx.txt" | mean)
echo "  ratio of times movrand/sx: $(awk -v a="$m" -v b="$s" 'BEGIN { printf "%.4f", a / b }')"
