#!/usr/bin/env bash
# Every test: installs what is missing, then builds and tests every preset.
#   host  - portable core on Linux g++: unit tests, benchmarks built
#   fuzz  - clang libFuzzer targets with ASan/UBSan; ctest replays the corpora
#   win64 - every Windows program; tests under wine64 (GUI tests under Xvfb)
#   win32 - the shipping 32-bit build; built and its images inspected
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/setup.sh

status=0
run() { echo "+ $*"; "$@" || status=1; }
# Where the time goes: each step's wall time, and a table at the end.
timings=()
mark() { timings+=("$(printf '%-14s %4d s' "$1" $((SECONDS - since)))"); since=$SECONDS; }
since=$started

mark setup
for preset in host fuzz win64 win32; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null || { status=1; continue; }
  if [ "$preset" = fuzz ]; then
    # Only the fuzzers: ctest replays their corpora, nothing else runs here.
    mapfile -t fuzzers < <(ninja -C build/fuzz -t targets all | sed -n 's/^\([A-Za-z0-9_]*_fuzz\): .*/\1/p' | grep -v '^cmake_')
    cmake --build --preset fuzz --target "${fuzzers[@]}" || { status=1; continue; }
  else
    cmake --build --preset "$preset" || { status=1; continue; }
  fi
  mark "$preset build"
  if [ "$preset" = win64 ]; then
    # One X display for the whole run. The Wine prefix is brought up on that
    # display before tests start in parallel: a Wine server left over from a
    # run without a display would keep every later window off the screen.
    # The server stays up for the whole run: one that ended between two tests
    # would be started again by the next one, and Wine's background programs
    # would then hold that test's output open until ctest's time-out.
    export WINEPREFIX="$PWD/build/win64/wineprefix" WINEDEBUG=-all
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    run xvfb-run -a --server-args="-screen 0 1280x1024x24" bash -c '
      /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
      cmake/wine-run.sh wineboot -u </dev/null >/dev/null 2>&1 || true
      ctest --preset win64
      code=$?
      # A Wine server that went away mid-run ("wine client error") fails
      # whichever test was talking to it. Those tests, and only those, run
      # again once on a fresh server; any other failure stands.
      if [ $code -ne 0 ] && grep -q "wine client error" build/win64/Testing/Temporary/LastTest.log; then
        echo "win64: the Wine server went away during the run; the failed tests run again"
        /usr/lib/wine/wineserver -k 2>/dev/null || true
        /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
        # As at the start: the background programs of the prefix come up here,
        # with no test output to hold open until ctest gives up on it.
        cmake/wine-run.sh wineboot -u </dev/null >/dev/null 2>&1 || true
        ctest --preset win64 --rerun-failed
        code=$?
      fi
      /usr/lib/wine/wineserver -k 2>/dev/null || true
      exit $code'
    unset WINEPREFIX
  elif [ "$preset" = win32 ]; then
    run ctest --test-dir build/win32 --output-on-failure
  else
    run ctest --preset "$preset"
  fi
  mark "$preset tests"
done
printf '=== wall time ===\n'
printf '%s\n' "${timings[@]}"
printf '%-14s %4d s\n' total $((SECONDS - started))
exit $status
