#!/usr/bin/env bash
# Inspects a PE image and fails on what a shipping binary must not have.
#   check-image.sh OBJDUMP IMAGE [--allow-imports "a.dll b.dll"] [--subsystem N]
#                  [--os-version X.Y] [--export NAME]... [--xp-exports LIST]
# Always checks that no section is both writable and executable.
# --xp-exports: every function the image imports must be in LIST, the
# functions known to exist on Windows XP SP3 ("dll function" per line).
set -euo pipefail
objdump=$1 image=$2; shift 2
allow="" subsystem="" osver="" exports=() xp_list=""
while [ $# -gt 0 ]; do
  case $1 in
    --allow-imports) allow=$2; shift 2 ;;
    --subsystem) subsystem=$2; shift 2 ;;
    --os-version) osver=$2; shift 2 ;;
    --export) exports+=("$2"); shift 2 ;;
    --xp-exports) xp_list=$2; shift 2 ;;
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
if [ -n "$xp_list" ]; then
  [ -f "$xp_list" ] || { echo "FAIL: $xp_list does not exist"; exit 1; }
  # Imported functions as "dll function", lower-case DLL; an import by
  # ordinal shows as "#N" and is never on the list.
  imports=$(awk '/DLL Name:/ {dll = tolower($3); next}
                 /^[[:space:]]*$/ {dll = ""; next}
                 dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print dll, ($3 == "" || $3 == "<none>") ? "#" $2 : $3}' <<<"$dump")
  known=$(sed -e 's/[;#].*//' -e '/^[[:space:]]*$/d' "$xp_list" | awk '{print tolower($1), $2}')
  subsys=$(awk '/^MajorSubsystemVersion/{a=$2} /^MinorSubsystemVersion/{b=$2} END{print a+0"."b+0}' <<<"$dump")
  if awk -v v="$subsys" 'BEGIN{split(v, p, "."); exit !(p[1] < 5 || (p[1] == 5 && p[2] <= 1))}'; then
    echo "ok: subsystem version $subsys loads on Windows XP"
  else
    echo "FAIL: subsystem version $subsys, Windows XP needs 5.1 or lower"; fail=1
  fi
  missing=$(comm -23 <(sort -u <<<"$imports") <(sort -u <<<"$known"))
  if [ -n "$missing" ]; then
    while read -r dll fn; do echo "FAIL: imports $dll $fn, not known on Windows XP SP3 (look it up at run time, or add it to $(basename "$xp_list") after checking)"; done <<<"$missing"
    fail=1
  else
    echo "ok: all $(wc -l <<<"$imports") imported functions exist on Windows XP SP3"
  fi
fi
# A section flagged both CODE/execute and writable (no READONLY) is W+X.
wx=$(awk 'NR>5 && /^ *[0-9]+ /{name=$2; getline; if ($0 ~ /CODE/ && $0 !~ /READONLY/) print name}' <<<"$heads")
if [ -n "$wx" ]; then echo "FAIL: writable and executable sections: $wx"; fail=1; else echo "ok: no writable-and-executable section"; fi
exit $fail
