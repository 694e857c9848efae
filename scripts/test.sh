#!/usr/bin/env bash
# Sets up a fresh Debian machine for the build, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then the Windows stage: cross-compiles
# movrand-flash.exe and the tests with mingw-w64 and runs them under wine, the end-to-end
# flashes against the simulated module included. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing_packages

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOVRAND_SANITIZE=ON
cmake --build build/test
ctest --test-dir build/test --output-on-failure --timeout 300 -j2

# The Windows stage. The Linux build above holds the wine bench's tools (the preload library
# and the driver of the end-to-end tests); no debug information, for a quicker link.
cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE= -DMOVRAND_BUILD_GUI=OFF -DMOVRAND_BENCH_BUILD="$PWD/build/test"
cmake --build build/mingw
ctest --test-dir build/mingw --output-on-failure --timeout 300 -j2
(cd build/mingw && cpack >/dev/null)
ls build/mingw/movrand-*-win64.zip
echo "Windows stage: ok"
