#!/usr/bin/env bash
# Builds the benchmarks (optimised, no sanitizers) and prints their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
MOVRAND_PACKAGES+=(libbenchmark-dev)
install_missing_packages
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMOVRAND_BUILD_GUI=OFF \
  -DMOVRAND_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target movrand_bench
build/bench/bench/movrand_bench "$@"
