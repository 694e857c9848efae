#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for MINUTES (default 10), two at a time, starting from its seeds in
# tests/fuzz/corpus/<target>. Prints for each target: executions, executions per second,
# coverage (edges and features), corpus size and findings. New inputs are kept in
# build/fuzz/found/<target>, findings (crashes, time-outs) in build/fuzz/findings/<target>.
#
# Usage: scripts/fuzz.sh [MINUTES [TARGET...]]   (targets by name, e.g. transfer_fuzz; all
# of them when none is named)
# The per-input leak search of libFuzzer is off: each target keeps one window (with its
# 1 MiB image buffer) for the whole run, and searching the heap after every input that grew
# it would cost more than the input. Leaks are still reported when a target ends.
# AddressSanitizer keeps 16 MiB of freed memory in quarantine instead of 256: an input frees a
# few KiB, so a use after free within it is still caught, and allocations stay on warm pages.
# It records no allocation stacks; a finding replayed by the target's _replay program in the
# test build shows them.
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-10}
case "$MINUTES" in '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [MINUTES [TARGET...]]" >&2; exit 2 ;; esac
shift $(($# > 0 ? 1 : 0))
JOBS=2

. scripts/deps.sh
MOVRAND_PACKAGES+=(clang libclang-rt-14-dev)
install_missing_packages

targets=()
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  targets+=("${name}_fuzz")
done
if [ "$#" -gt 0 ]; then
  targets=()
  for wanted in "$@"; do
    [ -d "tests/fuzz/corpus/${wanted%_fuzz}" ] || { echo "no fuzz target $wanted" >&2; exit 2; }
    targets+=("${wanted%_fuzz}_fuzz")
  done
fi

CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMOVRAND_BUILD_GUI=OFF >/dev/null
cmake --build build/fuzz --target "${targets[@]}"

out=build/fuzz
rm -rf "$out/logs"
mkdir -p "$out/logs"
running=0
for target in "${targets[@]}"; do
  base=${target%_fuzz}
  mkdir -p "$out/found/$base" "$out/findings/$base"
  # The longest input that can still reach new code: the transfer's image has at most 64
  # blocks, each answered by a chunk of its own, so 1 KiB holds a whole transfer with rejections
  # and noise; a packet that reaches the collectors' 1,024-byte limit in doubled DLEs alone is
  # 2,048 bytes before the chunk heads, so the others keep 4 KiB.
  case "$base" in
    transfer) max_len=1024 ;;
    *) max_len=4096 ;;
  esac
  echo "fuzzing $target for $MINUTES min"
  ASAN_OPTIONS=malloc_context_size=0:quarantine_size_mb=16 \
    "$out/tests/fuzz/$target" -max_total_time=$((MINUTES * 60)) -max_len=$max_len -detect_leaks=0 \
    -print_final_stats=1 -artifact_prefix="$out/findings/$base/" \
    "$out/found/$base" "tests/fuzz/corpus/$base" >"$out/logs/$base.log" 2>&1 &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

echo
printf "%-22s %12s %10s %8s %8s %8s %9s\n" target executions "exec/s" edges features corpus findings
status=0
for target in "${targets[@]}"; do
  base=${target%_fuzz}
  log="$out/logs/$base.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  edges=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  findings=$(find "$out/findings/$base" -type f | wc -l)
  [ "$findings" -eq 0 ] || status=1
  printf "%-22s %12s %10s %8s %8s %8s %9s\n" "$target" "${runs:-?}" "${speed:-?}" \
    "${edges:-?}" "${features:-?}" "${corpus:-?}" "$findings"
done
[ "$status" -eq 0 ] || echo "findings are in $out/findings; each becomes a seed or a test"
exit "$status"
