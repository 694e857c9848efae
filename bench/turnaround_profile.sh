#!/usr/bin/env bash
# Where a block's turnaround goes: records the kernel's scheduler events and the senders'
# reads and writes with perf while a 64 KiB image goes into the paced simulated module, once
# by movrand-flash and once by sx of lrzsz, and prints per block the median and 90th
# percentile of:
#   ACK -> host read    from the module writing its ACK to the sender's read returning it
#                       (the pseudo-terminal's pass and the sender's wake-up);
#   host read -> write  the sender's own part, up to the write of the next block;
#   write -> module     from that write to the module's read (the pseudo-terminal's pass
#                       back and the module's wake-up).
# Needs root (system-wide tracepoints). Usage: bench/turnaround_profile.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
MOVRAND_PACKAGES+=(linux-perf)
install_missing_packages
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_GUI=OFF \
  -DMOVRAND_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target movrand-flash movrand-sim >/dev/null
FLASH=$PWD/build/bench/src/cli/movrand-flash
SIM=$PWD/build/bench/src/sim/movrand-sim
WORK=$(mktemp -d /tmp/movrand-profile-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

{ head -c 4096 /dev/urandom; printf 'KAP41'; head -c $((65536 - 4101)) /dev/urandom; } \
  >"$WORK/image.bin"

# profile NAME COMMAND...: one paced transfer under perf; prints the three figures.
profile() {
  local name=$1 sender=$2 sim_opts=(--pace --baud 115200 --timeout-s 120)
  [ "$sender" = sx ] && sim_opts+=(--start-in-loader)
  coproc SIMPROC { exec "$SIM" "${sim_opts[@]}"; }
  local line
  read -r line <&"${SIMPROC[0]}"
  local port=${line#PORT }
  perf record -q -a -o "$WORK/perf.data" \
    -e sched:sched_wakeup,sched:sched_switch \
    -e syscalls:sys_enter_write --filter 'count == 1 || count == 133' \
    -e syscalls:sys_exit_read --filter 'ret == 1 || ret == 133' -- \
    bash -c "if [ $sender = sx ]; then stty -F $port raw -echo 115200;
               sx -X $WORK/image.bin < $port > $port 2>/dev/null;
             else $FLASH --port $port --protocol nmea --baud 115200 --file $WORK/image.bin \
               --test > /dev/null 2>&1; fi" 2>/dev/null
  kill "$SIMPROC_PID"
  wait "$SIMPROC_PID" 2>/dev/null || true
  perf script -i "$WORK/perf.data" 2>/dev/null | awk -v name="$name" -v host="$sender" '
    function median(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j > 0 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
      return a[int((n + 1) / 2)] " / " a[int(n * 0.9) > 0 ? int(n * 0.9) : 1]
    }
    {
      comm = $1; t = $4; sub(":", "", t); ev = $5
      if (comm == "movrand-sim" && ev == "syscalls:sys_enter_write:" && $0 ~ /fd: 0x00000003/ && $NF == "0x00000001") { ack = t; s = 1 }
      else if (s == 1 && comm ~ host && ev == "syscalls:sys_exit_read:" && $NF == "0x1") { rd = t; s = 2 }
      else if (s == 2 && comm ~ host && ev == "syscalls:sys_enter_write:" && $NF == "0x00000085") { wr = t; s = 3 }
      else if (s == 3 && comm == "movrand-sim" && ev == "syscalls:sys_exit_read:" && $NF == "0x85") {
        n++; a[n] = (rd - ack) * 1e6; b[n] = (wr - rd) * 1e6; c[n] = (t - wr) * 1e6; s = 0
      }
    }
    END {
      printf "%-14s %6d blocks   ACK -> host read %s us   host read -> write %s us   write -> module %s us\n", \
        name, n, median(a, n), median(b, n), median(c, n)
    }'
}

echo "Turnaround per block at 115200, paced, median / 90th percentile:"
profile movrand-flash movrand-flash
profile "sx -X" sx
