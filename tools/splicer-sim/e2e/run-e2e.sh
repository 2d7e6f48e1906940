#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest, in a private X server
# (xvfb-run -a) when no display is set.
#   run-e2e.sh WINE_RUN PROGRAM ARGS...
set -u
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a --server-args="-screen 0 1280x1024x24" bash "$0" "$@"
fi
wine_run=$1
shift
exec "$wine_run" "$@"
