#!/usr/bin/env bash
# Command-line cases of seamlog-report: exit codes, messages, the job file,
# and what is left on disk.
#   report_cli.sh SEAMLOG_REPORT SEAMLOG_CONVERT SAMPLES_DIR WORK_DIR
set -u
report=$1 convert=$2 samples=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect CODE TEXT_IN_OUTPUT -- ARGS...
expect() {
  local code=$1 words=$2
  shift 3
  "$report" "$@" >out.txt 2>err.txt
  local got=$?
  [ "$got" -eq "$code" ] || fail "seamlog-report $* exited $got, not $code: $(cat out.txt err.txt)"
  grep -qF -- "$words" out.txt err.txt || fail "seamlog-report $*: no '$words' in: $(cat out.txt err.txt)"
}

"$convert" --model MODEL-A "$samples/model-a-report.txt" a.csv >/dev/null || fail "convert MODEL-A"
"$convert" --model MODEL-B "$samples/model-b-report.txt" bc.csv >/dev/null || fail "convert MODEL-B"
"$convert" --model MODEL-C "$samples/model-c-report.txt" bc.csv >/dev/null || fail "convert MODEL-C"

expect 0 "usage: seamlog-report" -- --help
expect 2 "no TABLE file given" -- -o r.html
expect 2 "needs a file name" -- a.csv
expect 2 "unknown option '--colour'" -- --colour red a.csv -o r.html
expect 2 "--limit needs a loss in dB above 0" -- --limit abc a.csv -o r.html
expect 2 "--warning needs a value" -- a.csv -o r.html --warning
expect 1 "the warning (0.40 dB) is above the limit (0.30 dB)" -- --warning 0.40 a.csv -o r.html
expect 1 "Reason: no splice record was read" -- missing.csv -o r.html
grep -qF "missing.csv: cannot be opened" err.txt || fail "the missing table is not named: $(cat err.txt)"
[ ! -e r.html ] || fail "a failed run left r.html"

cp a.csv keep.csv
expect 1 "is one of the tables read" -- keep.csv -o keep.csv
cmp -s a.csv keep.csv || fail "the table named as the report was changed"

expect 0 "Report completed." -- a.csv bc.csv -o r.html --json r.json --job "Ring 4" --date 2026-12-08
grep -qF "Splices: 30 (0 re-spliced), fibers: 84" out.txt || fail "summary line: $(cat out.txt)"
grep -qF '<title>Splice report: Ring 4</title>' r.html || fail "the job is not the title"
grep -qF '"fail": 6' r.json || fail "the JSON summary lacks the fail count"
[ ! -e r.html.part ] || fail "the report's part file was left"

printf '[Job]\r\nJob=From the file\r\nCustomer=City <Fibre>\r\nLimit=0.50\r\nColour=red\r\n' >job.ini
expect 3 "job.ini line 5: unknown key 'Colour'" -- --job-file job.ini a.csv -o j.html --location "Pit 3"
grep -qF "City &lt;Fibre&gt;" j.html || fail "the job file's customer is not in the report"
grep -qF "Pit 3" j.html || fail "the location option is not in the report"
grep -qF "fail above 0.50 dB" j.html || fail "the job file's limit is not used"
expect 3 "Report completed." -- --job-file job.ini --job "Typed" --limit 0.2 a.csv -o j.html
grep -qF "Splice report: Typed" j.html || fail "--job does not win over the job file"
expect 1 "job file 'none.ini' cannot be opened" -- --job-file none.ini a.csv -o j.html

{ cat a.csv; printf '   9,1.0,1.0\r\nno table here\r\n'; } >bad.csv
expect 3 "bad.csv line 17: a truncated MODEL-A row" -- bad.csv -o bad.html
grep -qF "line 18: not a row of the MODEL-A table" err.txt || fail "the row without commas is not named"
grep -qF "Rows not read, or read with care" bad.html || fail "the report does not say what was skipped"

[ "$failures" -eq 0 ] && echo "every case held"
exit $((failures > 0))
