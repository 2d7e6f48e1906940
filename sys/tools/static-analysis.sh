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
# Clang reads a MinGW build as that target, with GCC's C++ library headers
# but its own compiler headers.
compiler=$(python3 -c 'import json,sys; print(next((e["command"].split()[0] for e in json.load(open(sys.argv[1]))
  if "g++" in e["command"].split()[0]), ""))' "$build/compile_commands.json")
extra=()
if [[ $compiler == *-w64-mingw32-* ]]; then
  target=$(basename "$compiler"); target=${target%%-g++*}
  extra+=(--extra-arg=--target="$target" --extra-arg=-nostdinc++)
  while read -r dir; do
    [[ $dir == */include/c++* ]] && extra+=(--extra-arg=-isystem"$dir")
  done < <(echo | "$compiler" -xc++ -E -v - 2>&1 | sed -n '/#include <...> search starts/,/End of search list/p')
fi
clang-tidy -p "$build" --quiet --checks='-*,clang-analyzer-*' --warnings-as-errors='clang-analyzer-*' \
  "${extra[@]}" "${files[@]}"
echo "static analysis: ${#files[@]} files of sys/ and lib/portlineusb/device/, no finding"
