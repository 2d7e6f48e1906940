#!/usr/bin/env bash
# The clang-tidy arguments that make clang read a MinGW build as that target:
# GCC's C++ library headers, clang's own compiler headers. One per line; none
# for a build that is not MinGW.
#   mingw-clang-args.sh BUILD_DIR   (reads BUILD_DIR/compile_commands.json)
set -euo pipefail
compiler=$(python3 -c 'import json,sys; print(next((e["command"].split()[0] for e in json.load(open(sys.argv[1]))
  if "g++" in e["command"].split()[0]), ""))' "$1/compile_commands.json")
if [[ $compiler == *-w64-mingw32-* ]]; then
  target=$(basename "$compiler"); target=${target%%-g++*}
  echo "--extra-arg=--target=$target"
  echo "--extra-arg=-nostdinc++"
  while read -r dir; do
    if [[ $dir == */include/c++* ]]; then echo "--extra-arg=-isystem$dir"; fi
  done < <(echo | "$compiler" -xc++ -E -v - 2>&1 | sed -n '/#include <...> search starts/,/End of search list/p')
fi
