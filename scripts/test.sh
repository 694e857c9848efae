#!/usr/bin/env bash
# Sets up a fresh Debian machine for the build, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then the Windows stage: cross-compiles
# movrand.exe, movrand-flash.exe and the tests with mingw-w64 and runs them under wine, the
# end-to-end flashes against the simulated module included (the window's by mouse and keys,
# its picture kept in build/mingw/screenshots/). Exits non-zero when anything fails.
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
# Each program is one file that needs nothing but Windows itself.
for exe in build/mingw/src/win32gui/movrand.exe build/mingw/src/cli/movrand-flash.exe; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  # The device manager's (setupapi, cfgmgr32) gives the ports' USB identity.
  foreign=$(grep -Eiv '^(advapi32|cfgmgr32|comctl32|comdlg32|gdi32|gdiplus|kernel32|msvcrt|ole32|setupapi|shell32|user32|ws2_32)\.dll$' <<<"$imports" || true)
  if [ -n "$foreign" ]; then
    echo "$exe needs DLLs that Windows does not have: $foreign" >&2
    exit 1
  fi
done
# A virtual display for the window's tests; the console programs need none.
xvfb-run -a ctest --test-dir build/mingw --output-on-failure --timeout 300 -j2
(cd build/mingw && cpack >/dev/null)
ls build/mingw/movrand-*-win64.zip
echo "Windows stage: ok"
