#!/usr/bin/env bash
# Sets up a fresh Debian machine for the build, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then cross-builds the Windows programs with
# mingw-w64, runs their tests under wine and flashes the simulated module through movrand.exe,
# keeping a picture of its window in build/screenshots/. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
install_missing_packages

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOVRAND_SANITIZE=ON
cmake --build build/test
ctest --test-dir build/test --output-on-failure --timeout 300 -j2

# ---- Windows: the programs cross-built with mingw-w64, and their tests under wine --------------
cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DMOVRAND_BUILD_GUI=OFF -DMOVRAND_BUILD_TESTS=ON
cmake --build build/mingw
# Each program is one file that needs nothing but Windows itself.
for exe in build/mingw/src/win32gui/movrand.exe; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  foreign=$(grep -Eiv '^(advapi32|comctl32|comdlg32|gdi32|gdiplus|kernel32|msvcrt|user32|ws2_32|shell32|ole32)\.dll$' <<<"$imports" || true)
  if [ -n "$foreign" ]; then
    echo "$exe needs DLLs that Windows does not have: $foreign" >&2
    exit 1
  fi
done
# A virtual display for the window's tests; the console programs need none.
xvfb-run -a ctest --test-dir build/mingw --output-on-failure --timeout 300 -j2
# The window, end to end: movrand.exe flashes the simulated module on COM5 by mouse and keys.
bash tests/win32gui/window_flash_e2e.sh --exe build/mingw/src/win32gui/movrand.exe \
  --probe build/mingw/tests/win32gui/movrand-window-probe.exe \
  --sim build/test/src/sim/movrand-sim --screenshot build/screenshots/movrand-window-wine.png
echo "Windows build and tests under wine: ok"
