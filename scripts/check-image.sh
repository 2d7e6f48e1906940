#!/usr/bin/env bash
# Inspects a PE image and fails on what a shipping binary must not have.
#   check-image.sh OBJDUMP IMAGE [--allow-imports "a.dll b.dll"] [--subsystem N]
#                  [--os-version X.Y] [--export NAME]...
# Always checks that no section is both writable and executable.
set -euo pipefail
objdump=$1 image=$2; shift 2
allow="" subsystem="" osver="" exports=()
while [ $# -gt 0 ]; do
  case $1 in
    --allow-imports) allow=$2; shift 2 ;;
    --subsystem) subsystem=$2; shift 2 ;;
    --os-version) osver=$2; shift 2 ;;
    --export) exports+=("$2"); shift 2 ;;
    *) echo "check-image: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -f "$image" ] || { echo "FAIL: $image does not exist"; exit 1; }
dump=$("$objdump" -p "$image")
heads=$("$objdump" -h "$image")
fail=0
if [ -n "$allow" ]; then
  while read -r dll; do
    [ -z "$dll" ] && continue
    ok=0
    for a in $allow; do [ "${dll,,}" = "${a,,}" ] && ok=1; done
    if [ $ok -eq 1 ]; then echo "ok: imports $dll"; else echo "FAIL: imports $dll"; fail=1; fi
  done < <(grep -E '^\s*DLL Name:' <<<"$dump" | awk '{print $3}')
fi
if [ -n "$subsystem" ]; then
  got=$(awk '/^Subsystem/{print $2+0}' <<<"$dump")
  if [ "$got" = "$subsystem" ]; then echo "ok: subsystem $got"; else echo "FAIL: subsystem $got, want $subsystem"; fail=1; fi
fi
if [ -n "$osver" ]; then
  got="$(awk '/^MajorOSystemVersion/{a=$2} /^MinorOSystemVersion/{b=$2} END{print a"."b}' <<<"$dump")"
  if [ "$got" = "$osver" ]; then echo "ok: OS version $got"; else echo "FAIL: OS version $got, want $osver"; fail=1; fi
fi
for e in "${exports[@]}"; do
  if grep -Eq "\] ${e}\$" <<<"$dump"; then echo "ok: exports $e"; else echo "FAIL: does not export $e"; fail=1; fi
done
# A section flagged both CODE/execute and writable (no READONLY) is W+X.
wx=$(awk 'NR>5 && /^ *[0-9]+ /{name=$2; getline; if ($0 ~ /CODE/ && $0 !~ /READONLY/) print name}' <<<"$heads")
if [ -n "$wx" ]; then echo "FAIL: writable and executable sections: $wx"; fail=1; else echo "ok: no writable-and-executable section"; fi
exit $fail
