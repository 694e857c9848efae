# The wine test bench: runs the Windows builds of Movrand under wine on this Linux machine.
# Sourced by bash scripts; every function fails (non-zero) with a message on standard error.
#
#   . tests/wine/wine_bench.sh
#   wine_bench_init build/mingw/wine-bench     # a folder for the prefix and the port links
#   wine_bench_make_prefix                      # a fresh prefix, COM5..COM8 mapped, server up
#   wine_bench_map_port COM5 /dev/pts/3         # COM5 now opens that pseudo-terminal
#   wine_bench_run build/mingw/src/cli/movrand-flash.exe --port COM5
#   wine_bench_stop                             # ends the prefix's wineserver
#
# Ports: the prefix maps COM5..COM8 once, through the registry key HKLM\Software\Wine\Ports,
# each to a symbolic link in the bench folder (ports/COMn). Pointing a link at another
# device is all a test needs to do, so tests never restart the wineserver (which would end
# the wine programs of tests running beside them).
#
# Crashes: wine may end a crashed program with status 0, so wine_bench_run fails whenever
# wine reported an unhandled exception or page fault, whatever the exit status.
#
# A pseudo-terminal is not quite a serial port; set WINE_BENCH_PRELOAD to the test bench's
# preload library (libmovrand_wine_pty.so) to make it one for the programs run here.

WINE_BENCH_WINE=${WINE_BENCH_WINE:-/usr/lib/wine/wine64}
WINE_BENCH_SERVER=${WINE_BENCH_SERVER:-/usr/lib/wine/wineserver}
WINE_BENCH_PORTS=(COM5 COM6 COM7 COM8)
# What wine prints when a program dies of an exception it did not handle.
WINE_BENCH_CRASH_PATTERN='Unhandled exception|Unhandled page fault|Unhandled stack overflow'

wine_bench_init() {
  local dir=${1:?wine_bench_init needs a folder}
  mkdir -p "$dir/ports" || return 1
  WINE_BENCH_DIR=$(cd "$dir" && pwd)
  export WINEPREFIX="$WINE_BENCH_DIR/prefix"
  export WINEARCH=win64
  # No debugger dialog, no Mono or Gecko installer, no trace output beyond crash reports.
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINE_BENCH_DIR
}

wine_bench_make_prefix() {
  : "${WINE_BENCH_DIR:?call wine_bench_init first}"
  "$WINE_BENCH_SERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  if ! "$WINE_BENCH_WINE" wineboot -i </dev/null >"$WINE_BENCH_DIR/wineboot.log" 2>&1; then
    echo "wine_bench: wineboot failed, see $WINE_BENCH_DIR/wineboot.log" >&2
    return 1
  fi
  local port
  for port in "${WINE_BENCH_PORTS[@]}"; do
    [ -e "$WINE_BENCH_DIR/ports/$port" ] || ln -sfn /dev/null "$WINE_BENCH_DIR/ports/$port"
    "$WINE_BENCH_WINE" reg add 'HKLM\Software\Wine\Ports' /v "$port" \
      /d "$WINE_BENCH_DIR/ports/$port" /f >/dev/null 2>&1 || {
      echo "wine_bench: cannot map $port" >&2
      return 1
    }
  done
  # Windows that wine draws itself (no window manager on a virtual display): they show and
  # hide at once, where a window left to a missing manager waits a second for it each time.
  "$WINE_BENCH_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || {
    echo "wine_bench: cannot set the window mode" >&2
    return 1
  }
  # A restarted wineserver creates the COM devices from the registry. It is kept running
  # (persistent) until wine_bench_stop, so that no program pays for its start.
  "$WINE_BENCH_SERVER" -k 2>/dev/null || true
  "$WINE_BENCH_SERVER" -w 2>/dev/null || true
  # Its output goes nowhere: a server that kept a test runner's pipe open would make the
  # runner wait for it.
  "$WINE_BENCH_SERVER" -p </dev/null >/dev/null 2>&1 || return 1
  "$WINE_BENCH_WINE" reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >/dev/null 2>&1 || {
    echo "wine_bench: the prefix lists no serial ports" >&2
    return 1
  }
}

# wine_bench_map_port COMn DEVICE: COMn opens DEVICE from now on.
wine_bench_map_port() {
  local port=${1:?port} device=${2:?device}
  case " ${WINE_BENCH_PORTS[*]} " in
    *" $port "*) ;;
    *) echo "wine_bench: $port is not one of ${WINE_BENCH_PORTS[*]}" >&2; return 1 ;;
  esac
  ln -sfn "$device" "$WINE_BENCH_DIR/ports/$port"
}

# wine_bench_run PROGRAM.exe ARGS...: runs it under wine, passing standard input, output and
# error through; its exit status, or 99 when wine reported a crash. With WINE_BENCH_PIDFILE
# set, the program's process id is written there (a signal to it is what the program sees:
# SIGINT arrives as Ctrl-C).
wine_bench_run() {
  : "${WINE_BENCH_DIR:?call wine_bench_init first}"
  local errors status
  errors=$(mktemp "$WINE_BENCH_DIR/stderr.XXXXXX") || return 1
  (
    [ -n "${WINE_BENCH_PIDFILE:-}" ] && echo "$BASHPID" >"$WINE_BENCH_PIDFILE"
    export LD_PRELOAD="${WINE_BENCH_PRELOAD:+$WINE_BENCH_PRELOAD${LD_PRELOAD:+:}}${LD_PRELOAD:-}"
    [ -n "$LD_PRELOAD" ] || unset LD_PRELOAD
    exec "$WINE_BENCH_WINE" "$@"
  ) 2> >(tee "$errors" >&2)
  status=$?
  wait $! 2>/dev/null || true  # for tee (and only it) to have written everything
  if grep -Eq "$WINE_BENCH_CRASH_PATTERN" "$errors"; then
    echo "wine_bench: $1 crashed (wine exit status $status)" >&2
    status=99
  fi
  rm -f "$errors"
  return $status
}

wine_bench_stop() {
  "$WINE_BENCH_SERVER" -k 2>/dev/null || true
}
