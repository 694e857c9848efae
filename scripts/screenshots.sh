#!/usr/bin/env bash
# Writes PNG pictures of the windows (main window as started and in test mode, the warning
# dialog, the programming notice, and the artwork on its own), rendered off screen.
#
#   scripts/screenshots.sh [folder]      (default: build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"
build="${MOVRAND_BUILD_DIR:-build/gui}"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DMOVRAND_BUILD_TESTS=OFF
fi
cmake --build "$build" --target movrand-screenshots -- -j2

mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$build/src/gui/movrand-screenshots" "$out"
