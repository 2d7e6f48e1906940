#!/usr/bin/env bash
# seamlog-capture on Linux in one command: installs what is missing, builds
# the host programs, and runs seamlog-capture against the emulated splicer
# (umockdev, no kernel support, no root needed) while it sends a bundled
# sample report. The table is saved when the splicer has been quiet for a
# second, checked against seamlog-convert --raw, and left in out/capture/.
#
#   scripts/capture-demo.sh [MODEL-A|MODEL-B|MODEL-C]      (default MODEL-A)
set -euo pipefail
cd "$(dirname "$0")/.."
model=${1:-MODEL-A}
case $model in
  MODEL-A) sample=a ;;
  MODEL-B) sample=b ;;
  MODEL-C) sample=c ;;
  *) echo "usage: scripts/capture-demo.sh [MODEL-A|MODEL-B|MODEL-C]" >&2; exit 2 ;;
esac

bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build build/host -j2 --target seamlog-capture seamlog-splicer-emulator seamlog-convert

out=$PWD/out/capture
mkdir -p "$out"
rm -f "$out/$model.csv" "$out/$model-expected.csv"
# The splicer sends CR line ends; the samples hold the received text (CR LF).
sed 's/\r$//' "samples/model-$sample-report.txt" | tr '\n' '\r' >"$out/$model.raw"
XDG_STATE_HOME=$out/state build/host/tools/splicer-emulator/seamlog-splicer-emulator \
  --report "$out/$model.raw" --end-after-ms 1500 -- \
  build/host/tools/capture/seamlog-capture --out "$out/$model.csv" --model "$model" --save-when-idle 1
build/host/tools/convert/seamlog-convert --raw "$out/$model.raw" "$out/$model-expected.csv" >/dev/null
cmp "$out/$model.csv" "$out/$model-expected.csv"
echo "capture-demo: $out/$model.csv equals seamlog-convert --raw of the report; journal and log in $out/state/seamlog"
