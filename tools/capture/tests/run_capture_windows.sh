#!/usr/bin/env bash
# seamlog-capture.exe under wine64 with the simulated PortlineUSB.dll beside
# it, which sends a sample report: the table must equal seamlog-convert.exe
# --raw of the same bytes, and a second run must find nothing left to save.
#   run_capture_windows.sh WINE_RUN CAPTURE_EXE SIM_DLL CONVERT_EXE SAMPLE WORK
set -euo pipefail
wine_run=$1 capture=$2 sim=$3 convert=$4 sample=$5 work=$6
rm -rf "$work"
mkdir -p "$work"
cp "$capture" "$sim" "$work/"
# The splicer sends CR line ends; the sample holds the received text (CR LF).
sed 's/\r$//' "$sample" | tr '\n' '\r' >"$work/report.raw"
printf '[Splicer]\r\nReportFile=report.raw\r\nBytesPerRead=64\r\n' >"$work/PortlineSim.ini"
cd "$work"
timeout 60 "$wine_run" seamlog-capture.exe --out table.csv --save-on-exit --exit-when-idle 1 \
  --connect-timeout 10 --state-dir state >out.txt 2>err.txt || { cat out.txt err.txt; exit 1; }
grep -q "Data save completed: " out.txt || { echo "no completion message"; cat out.txt err.txt; exit 1; }
timeout 60 "$wine_run" "$convert" --raw report.raw expected.csv >/dev/null
cmp table.csv expected.csv
# The simulated splicer sends its report again at the next open: with
# RefuseCreates it is away, and the journal must hold nothing more to save.
printf '[Splicer]\r\nReportFile=report.raw\r\nRefuseCreates=1000000\r\n' >PortlineSim.ini
status=0
timeout 60 "$wine_run" seamlog-capture.exe --out table.csv --save-on-exit --connect-timeout 1 \
  --state-dir state >out2.txt 2>err2.txt || status=$?
[ "$status" -eq 4 ] || { echo "exit status $status, expected 4"; cat out2.txt err2.txt; exit 1; }
grep -q "No splicer found" err2.txt || { echo "no message"; cat err2.txt; exit 1; }
cmp table.csv expected.csv
echo ok
