#!/usr/bin/env bash
# The Wine side of the realstack tests: one fresh Wine prefix, one X server and
# one persistent Wine server for the whole suite, so that the drivers stay
# loaded from one test to the next.
#   realstack.sh setup   STATE_DIR WINE_RUN PROGRAM ARGS...  (fresh prefix, then PROGRAM)
#   realstack.sh run     STATE_DIR WINE_RUN PROGRAM ARGS...
#   realstack.sh cleanup STATE_DIR
# Every program runs under a time limit (REALSTACK_TIME_LIMIT seconds, 0 for
# none), so a hang fails the test instead of CI. REALSTACK_DISPLAY: use this X
# display instead of a private X server.
set -u
command=$1 state=$2
shift 2
export WINEPREFIX=$state/wineprefix WINEDEBUG=${WINEDEBUG:--all}
wineserver=/usr/lib/wine/wineserver
limit=${REALSTACK_TIME_LIMIT:-240}

stop() {
  "$wineserver" -k 2>/dev/null
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    rm -f "$state/xvfb.pid"
  fi
}

case $command in
  setup)
    stop
    rm -rf "$WINEPREFIX" "$state/display"
    mkdir -p "$state"
    if [ -n "${REALSTACK_DISPLAY:-}" ]; then
      echo "${REALSTACK_DISPLAY#:}" >"$state/display"  # a desktop the caller owns
    else
      Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$state/display" >/dev/null 2>&1 &
      echo $! >"$state/xvfb.pid"
    fi
    for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
    [ -s "$state/display" ] || { echo "realstack: the X server did not start" >&2; stop; exit 1; }
    export DISPLAY=:$(head -n1 "$state/display")
    # Persistent: the drivers live in the Wine server's device host, which
    # would otherwise go when the last program ends.
    "$wineserver" -p
    timeout "$limit" "$1" wineboot -u >/dev/null 2>&1
    timeout "$limit" "$@"
    ;;
  run)
    [ -s "$state/display" ] || { echo "realstack: no test session; run the setup first" >&2; exit 1; }
    export DISPLAY=:$(head -n1 "$state/display")
    timeout "$limit" "$@"
    ;;
  cleanup)
    stop
    ;;
  *)
    echo "usage: realstack.sh setup|run|cleanup STATE_DIR [WINE_RUN PROGRAM ARGS...]" >&2
    exit 2
    ;;
esac
