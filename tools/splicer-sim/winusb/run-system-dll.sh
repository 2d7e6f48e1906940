#!/usr/bin/env bash
# Runs test-system-dll under Wine for ctest.
#   run-system-dll.sh RUN_E2E WINE_RUN TEST_SYSTEM_DLL ARGS...
# Its output goes through a file: when it is the first Wine program of a
# session, Wine's background services inherit its output, and ctest would
# wait on that pipe until Wine shuts down.
set -u
log=$(mktemp)
bash "$@" >"$log" 2>&1 </dev/null
status=$?
cat "$log"
rm -f "$log"
exit $status
