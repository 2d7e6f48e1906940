#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds Seamlog for
# Windows with the simulated splicer, and runs Seamlog under Wine while the
# simulator replays a bundled sample report.
#
#   scripts/demo.sh [MODEL-A|MODEL-B|MODEL-C]      (default MODEL-A)
#
# With a desktop (DISPLAY set) the real window opens: pick the model, watch the
# report arrive, click "Save As (S)" and choose a file.
# Headless, an unattended session runs under Xvfb instead: it picks the model,
# receives the report, saves it through the Save As dialog, and leaves the CSV
# and screenshots in out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
model=${1:-MODEL-A}
case $model in
  MODEL-A) sample=a ;;
  MODEL-B) sample=b ;;
  MODEL-C) sample=c ;;
  *) echo "usage: scripts/demo.sh [MODEL-A|MODEL-B|MODEL-C]" >&2; exit 2 ;;
esac

bash scripts/setup.sh

build=$root/build/demo
echo "demo: building into $build"
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target seamlog_demo seamlog-e2e seamlog-convert

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
if [ ! -d "$WINEPREFIX" ]; then
  echo "demo: preparing the Wine prefix (first run only)"
  if [ -n "${DISPLAY:-}" ]; then
    cmake/wine-run.sh wineboot -u >/dev/null 2>&1 || true
  else
    xvfb-run -a cmake/wine-run.sh wineboot -u >/dev/null 2>&1 || true
  fi
  /usr/lib/wine/wineserver -w 2>/dev/null || true
fi

demo=$build/demo
if [ -n "${DISPLAY:-}" ]; then
  cat >"$demo/PortlineSim.ini" <<INI
[Splicer]
ReportFile=reports\\model-$sample.raw
BytesPerRead=64
RefuseCreates=0
DisconnectAfterBytes=0
CallLog=calls.log
INI
  echo "demo: starting Seamlog; the simulated splicer replays samples/model-$sample-report.txt"
  echo "demo: pick $model, wait for the report, then Save As"
  exec cmake/wine-run.sh "$demo/Seamlog.exe"
fi

out=$root/out/demo
rm -rf "$out"
mkdir -p "$out"
echo "demo: no display; running an unattended session under Xvfb"
status=0
xvfb-run -a --server-args="-screen 0 1024x768x24" cmake/wine-run.sh "$build/tools/splicer-sim/seamlog-e2e.exe" \
  main-job --seamlog "$demo/Seamlog.exe" --sim-dll "$demo/PortlineUSB.dll" \
  --convert "$build/tools/convert/seamlog-convert.exe" \
  --report "$root/samples/model-$sample-report.txt" --model "$model" \
  --work "$out/session" --screens "$out/screens" | tee "$out/session.log" || status=$?
for bmp in "$out"/screens/*.bmp; do
  [ -e "$bmp" ] || continue
  if command -v convert >/dev/null; then
    convert "$bmp" -trim +repage "${bmp%.bmp}.png" && rm -f "$bmp"
  fi
done
echo
if [ -f "$out/session/saved.csv" ]; then
  cp "$out/session/saved.csv" "$out/$model.csv"
  echo "demo: the table Seamlog saved:    $out/$model.csv"
else
  echo "demo: no table was saved"
fi
echo "demo: the screenshots:            $out/screens/"
echo "demo: the session's checks:       $out/session.log"
[ $status -eq 0 ] && echo "demo: done, every check held" || echo "demo: FAILED, see $out/session.log"
exit $status
