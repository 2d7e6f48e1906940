#!/usr/bin/env bash
# SeamlogReport.exe (its test build) under Wine: tables given as on a drop on
# the program's icon, fields filled, the report made at once; the browser
# step writes what it would open to a log, which is checked here.
#   report_window_wine.sh WINE_RUN SEAMLOG_REPORT_TEST_HOOK_EXE TABLES_DIR WORK_DIR
set -u
wine_run=$1 exe=$2 tables=$3 work=$4
if [ -z "${DISPLAY:-}" ]; then
  echo "no X display: skipped (run under xvfb-run)"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work/job" && cd "$work/job" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cp "$tables/model-a.csv" day1.csv
cp "$tables/model-b.csv" day2.csv
printf '[Job]\r\nCustomer=City Fibre\r\n' >job.ini

"$wine_run" "$exe" --open-log open.log --make-and-close --job "Ring 4" --operator "A. Splicer" \
  --location "Closure 17" --limit 0,25 day1.csv day2.csv day1.csv </dev/null
code=$?
[ "$code" -eq 0 ] || fail "exit code $code after a report that should be written"
[ -f day1-report.html ] || fail "no day1-report.html beside the first table"
[ "$(tr -d '\r' <open.log 2>/dev/null)" = "open day1-report.html" ] ||
  fail "what would be opened: '$(cat open.log 2>/dev/null)'"
for words in "Splice report: Ring 4" "A. Splicer" "Closure 17" "City Fibre" "fail above 0.25 dB" \
  "F1: day1.csv" "F2: day2.csv" "<th>Splices</th><td>22</td>"; do
  grep -qF "$words" day1-report.html || fail "the report lacks '$words'"
done
grep -qF "F3:" day1-report.html && fail "a table given twice was read twice"

# No table with a record: nothing is written and nothing is opened.
rm -f open.log
printf 'name,loss\r\n' >other.csv
"$wine_run" "$exe" --open-log open.log --make-and-close other.csv </dev/null
code=$?
[ "$code" -eq 1 ] || fail "exit code $code when no report could be made"
[ ! -e other-report.html ] || fail "a report was written without records"
[ ! -e open.log ] || fail "something would be opened: $(cat open.log)"

# A full Windows path: the report goes into the table's folder.
winpath="Z:$(pwd | tr / '\\')\\day2.csv"
rm -f open.log
"$wine_run" "$exe" --open-log open.log --make-and-close "$winpath" </dev/null
[ -f day2-report.html ] || fail "no day2-report.html beside $winpath"
grep -qF "open ${winpath%.csv}-report.html" open.log || fail "opened: '$(cat open.log)'"

[ "$failures" -eq 0 ] && echo "every case held"
exit $((failures > 0))
