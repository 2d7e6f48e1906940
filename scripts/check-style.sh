#!/usr/bin/env bash
# The style checks of CONTRIBUTING.md.
#   check-style.sh naming BUILD_DIR  names in app/, lib/, tools/ and include/, by clang-tidy's
#                                    readability-identifier-naming (.clang-tidy), for every
#                                    source in BUILD_DIR/compile_commands.json (a host build)
#   check-style.sh format            layout of every C++ file by clang-format (.clang-format)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  naming)
    build=${2:?usage: check-style.sh naming BUILD_DIR}
    command -v clang-tidy >/dev/null || { echo "clang-tidy is missing (scripts/setup.sh installs it)"; exit 1; }
    # Test names are sentences in PascalCase, like every other function name.
    if grep -rnE 'TEST(_F|_P)?\([A-Za-z0-9]+, [A-Za-z0-9]*_' "$root/app" "$root/lib" "$root/tools" --include='*.cpp'; then
      echo "naming: test names above are not in PascalCase"
      exit 1
    fi
    mapfile -t files < <(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, sys
root = sys.argv[2] + "/"
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = entry["file"]
    rel = path[len(root):] if path.startswith(root) else None
    if rel and rel.split("/")[0] in ("app", "lib", "tools", "include") and path not in seen:
        seen.add(path)
        print(path)
PY
)
    [ ${#files[@]} -gt 0 ] || { echo "no sources of app/, lib/ or tools/ in $build/compile_commands.json"; exit 1; }
    clang-tidy -p "$build" --quiet "${files[@]}"
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
