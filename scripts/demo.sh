#!/usr/bin/env bash
# The main job in one command: installs what is missing, builds Seamlog for
# Windows, and runs it under Wine while a splicer sends a bundled sample report.
#
#   scripts/demo.sh [--sim] [MODEL-A|MODEL-B|MODEL-C]      (default MODEL-A)
#
# By default the whole real device path runs: the real Portline.sys, installed
# from its INF into a fresh Wine prefix, binds to a simulated splicer on a
# virtual USB bus (portline-vbus.sys), and the real PortlineUSB.dll serves the
# shipped Seamlog.exe. With --sim, Seamlog uses the simulator DLL instead and
# no driver is involved.
#
# With a desktop (DISPLAY set) the real window opens: pick the model, watch the
# report arrive, click "Save As (S)" and choose a file.
# Headless, an unattended session runs under Xvfb instead: it picks the model,
# receives the report, saves it through the Save As dialog, checks the table
# against seamlog-convert, and leaves the CSV and screenshots in out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=real
if [ "${1:-}" = --sim ]; then
  mode=sim
  shift
fi
model=${1:-MODEL-A}
case $model in
  MODEL-A) sample=a ;;
  MODEL-B) sample=b ;;
  MODEL-C) sample=c ;;
  *) echo "usage: scripts/demo.sh [--sim] [MODEL-A|MODEL-B|MODEL-C]" >&2; exit 2 ;;
esac

bash scripts/setup.sh

build=$root/build/demo
echo "demo: building into $build"
cmake --preset win64 -B "$build" >/dev/null
if [ $mode = real ]; then
  cmake --build "$build" -j2 --target seamlog_dist realstack seamlog-convert seamlog-report
else
  cmake --build "$build" -j2 --target seamlog_demo seamlog-e2e seamlog-convert seamlog-report
fi

out=$root/out/demo
if [ $mode = real ]; then
  session=$build/realstack-session
  realstack=$build/sys/tests/realstack/realstack.exe
  stack() { bash sys/tests/realstack/realstack.sh "$@"; }
  trap 'stack cleanup "$session"' EXIT
  echo "demo: fresh Wine prefix; installing the virtual USB bus and Portline.sys from Portline.inf"
  if [ -n "${DISPLAY:-}" ]; then export REALSTACK_DISPLAY=$DISPLAY; fi
  stack setup "$session" cmake/wine-run.sh "$realstack" install --drivers "$build/sys/tests/realstack/drivers" \
    >"$build/realstack-install.log" || { cat "$build/realstack-install.log"; echo "demo: FAILED to install the drivers"; exit 1; }
  if [ -n "${DISPLAY:-}" ]; then
    stack run "$session" cmake/wine-run.sh "$realstack" serve --report "$root/samples/model-$sample-report.txt" >/dev/null
    echo "demo: a splicer is plugged in and sends samples/model-$sample-report.txt through Portline.sys"
    echo "demo: pick $model, wait for the report, then Save As; close Seamlog to end the demo"
    REALSTACK_TIME_LIMIT=0 stack run "$session" cmake/wine-run.sh "$build/dist/Seamlog.exe"
    exit 0
  fi
  rm -rf "$out"
  mkdir -p "$out"
  echo "demo: no display; running an unattended session under Xvfb"
  status=0
  stack run "$session" cmake/wine-run.sh "$realstack" "whole-report-$sample" \
    --seamlog "$build/dist/Seamlog.exe" --library "$build/dist/PortlineUSB.dll" \
    --convert "$build/tools/convert/seamlog-convert.exe" --samples "$root/samples" \
    --work "$out/session" --screens "$out/screens" | tee "$out/session.log" || status=$?
  saved=$out/session/whole-$sample/saved.csv
  windows() { stack run "$session" cmake/wine-run.sh "$@"; }
else
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

  rm -rf "$out"
  mkdir -p "$out"
  echo "demo: no display; running an unattended session under Xvfb"
  status=0
  xvfb-run -a --server-args="-screen 0 1024x768x24" cmake/wine-run.sh "$build/tools/splicer-sim/seamlog-e2e.exe" \
    main-job --seamlog "$demo/Seamlog.exe" --sim-dll "$demo/PortlineUSB.dll" \
    --convert "$build/tools/convert/seamlog-convert.exe" \
    --report "$root/samples/model-$sample-report.txt" --model "$model" \
    --work "$out/session" --screens "$out/screens" | tee "$out/session.log" || status=$?
  saved=$out/session/saved.csv
  windows() { cmake/wine-run.sh "$@"; }
fi
for bmp in "$out"/screens/*.bmp; do
  [ -e "$bmp" ] || continue
  if command -v convert >/dev/null; then
    convert "$bmp" -trim +repage "${bmp%.bmp}.png" && rm -f "$bmp"
  fi
done
echo
if [ -f "$saved" ]; then
  cp "$saved" "$out/$model.csv"
  echo "demo: the table Seamlog saved:    $out/$model.csv"
  report=0
  windows "$build/tools/report/seamlog-report.exe" "$out/$model.csv" -o "$out/$model-report.html" \
    --job "Seamlog demo" --location "samples/model-$sample-report.txt" >"$out/report.log" 2>&1 || report=$?
  if [ $report -eq 0 ]; then
    echo "demo: its splice report:          $out/$model-report.html"
  else
    echo "demo: FAILED to make the splice report, see $out/report.log"
    status=1
  fi
else
  echo "demo: no table was saved"
fi
echo "demo: the screenshots:            $out/screens/"
echo "demo: the session's checks:       $out/session.log"
[ $status -eq 0 ] && echo "demo: done, every check held" || echo "demo: FAILED, see $out/session.log"
exit $status
