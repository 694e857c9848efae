#!/usr/bin/env bash
# Sets up a fresh Debian machine for the build, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs every test, and cross-compiles the toolkit-free core for
# Windows so that the Windows half cannot rot. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing_packages

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOVRAND_SANITIZE=ON
cmake --build build/test
ctest --test-dir build/test --output-on-failure --timeout 300 -j2

cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DMOVRAND_BUILD_GUI=OFF -DMOVRAND_BUILD_TESTS=OFF
cmake --build build/mingw --target movrand_core
echo "Windows cross-compile of the core: ok"
