#!/usr/bin/env bash
# The style checks of CONTRIBUTING.md.
#   check-style.sh naming BUILD_DIR [SKIP_DIR]
#                                    names in app/, lib/, tools/ and include/, by clang-tidy's
#                                    readability-identifier-naming (.clang-tidy), for every
#                                    source in BUILD_DIR/compile_commands.json: a host build,
#                                    or a MinGW one (win64) for the Windows-only sources;
#                                    sources SKIP_DIR's database holds too are left out
#   check-style.sh format            layout of every C++ file by clang-format (.clang-format)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  naming)
    build=${2:?usage: check-style.sh naming BUILD_DIR [SKIP_DIR]}
    skip=${3:-}
    command -v clang-tidy >/dev/null || { echo "clang-tidy is missing (scripts/setup.sh installs it)"; exit 1; }
    # Test names are sentences in PascalCase, like every other function name.
    if grep -rnE 'TEST(_F|_P)?\([A-Za-z0-9]+, [A-Za-z0-9]*_' "$root/app" "$root/lib" "$root/tools" --include='*.cpp'; then
      echo "naming: test names above are not in PascalCase"
      exit 1
    fi
    mapfile -t files < <(python3 - "$build/compile_commands.json" "$root" "$skip" <<'PY'
import json, os, sys
root = sys.argv[2] + "/"
skipped = sys.argv[3] + "/compile_commands.json" if sys.argv[3] else ""
seen = {e["file"] for e in json.load(open(skipped))} if skipped and os.path.exists(skipped) else set()
for entry in json.load(open(sys.argv[1])):
    path = entry["file"]
    rel = path[len(root):] if path.startswith(root) else None
    if (rel and rel.split("/")[0] in ("app", "lib", "tools", "include") and path not in seen
            and path.endswith((".cpp", ".c"))):
        seen.add(path)
        print(path)
PY
)
    [ ${#files[@]} -gt 0 ] || { echo "no sources of app/, lib/ or tools/ in $build/compile_commands.json"; exit 1; }
    # A MinGW build: clang reads it as that target.
    mapfile -t extra < <(bash "$root/scripts/mingw-clang-args.sh" "$build")
    # The test programs include GCC's precompiled header, which clang cannot
    # read: clang-tidy gets the same commands without it.
    database=$(mktemp -d)
    trap 'rm -rf "$database"' EXIT
    python3 - "$build/compile_commands.json" "$database/compile_commands.json" <<'PY'
import json, re, sys
entries = json.load(open(sys.argv[1]))
for entry in entries:
    entry["command"] = re.sub(r" -Winvalid-pch| -include \S*cmake_pch\.hxx", "", entry["command"])
json.dump(entries, open(sys.argv[2], "w"))
PY
    # Two at a time: the parse of each file is the whole cost.
    printf '%s\0' "${files[@]}" | xargs -0 -n 4 -P 2 clang-tidy -p "$database" --quiet "${extra[@]}"
    echo "naming: ${#files[@]} files checked"
    ;;
  format)
    command -v clang-format >/dev/null || { echo "clang-format is missing (scripts/setup.sh installs it)"; exit 1; }
    cd "$root"
    git ls-files -- 'app/*.cpp' 'app/*.h' 'lib/*.cpp' 'lib/*.h' 'tools/*.cpp' 'tools/*.h' 'include/*.h' \
      | xargs clang-format --dry-run --Werror
    echo "format: every file as .clang-format lays it out"
    ;;
  *)
    echo "usage: check-style.sh naming BUILD_DIR | format" >&2
    exit 2
    ;;
esac
