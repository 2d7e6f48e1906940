#!/usr/bin/env bash
# Runs the Clang static analyser (clang-tidy's clang-analyzer-* checks) over
# the driver and the device library, as the given MinGW build compiles them.
# Any finding fails the run.
#   static-analysis.sh BUILD_DIR SOURCE_ROOT
set -euo pipefail
build=$1
root=$2
command -v clang-tidy >/dev/null || { echo "clang-tidy is missing (scripts/setup.sh installs it)"; exit 1; }
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json"; exit 1; }
files=("$root"/sys/Portline*.cpp "$root"/lib/portlineusb/device/*.cpp)
# Clang reads a MinGW build as that target.
mapfile -t extra < <(bash "$root/scripts/mingw-clang-args.sh" "$build")
clang-tidy -p "$build" --quiet --checks='-*,clang-analyzer-*' --warnings-as-errors='clang-analyzer-*' \
  "${extra[@]}" "${files[@]}"
echo "static analysis: ${#files[@]} files of sys/ and lib/portlineusb/device/, no finding"
