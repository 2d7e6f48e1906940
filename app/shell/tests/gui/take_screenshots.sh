#!/usr/bin/env bash
# Photographs Seamlog under Wine: the model selection dialog, and the main
# window with received text while a long save moves the progress bar.
#   take_screenshots.sh WINE_RUN DRIVER.exe SEAMLOG_TEST_HOOK.exe OUT_DIR
# The driver writes OUT_DIR/<name>.request when the screen is ready; this
# script takes the picture and answers with <name>.done.
set -u
wine_run=$1 driver=$2 program=$3 out=$4
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run under xvfb-run -a"; exit 77; }
command -v import >/dev/null || { echo "imagemagick's import is missing"; exit 77; }
mkdir -p "$out"
rm -f "$out"/*.request "$out"/*.done "$out"/*.png
win_out="Z:${out//\//\\}"

shoot() {  # case name, pictures expected
  local case=$1; shift
  # A Wine virtual desktop draws the windows' title bars itself.
  "$wine_run" explorer "/desktop=SeamlogShots,1024x768" "$driver" "$case" "$program" "$win_out" &
  local pid=$! waited=0
  while kill -0 $pid 2>/dev/null && [ $waited -lt 1200 ]; do
    for request in "$out"/*.request; do
      [ -e "$request" ] || continue
      name=$(basename "$request" .request)
      import -window root "$out/$name.png" && echo "took $out/$name.png"
      rm -f "$request"
      touch "$out/$name.done"
    done
    sleep 0.1
    waited=$((waited + 1))
  done
  wait $pid
}

shoot dialog_ok_selects_model_a
shoot progress_shows_during_a_long_save
fail=0
for name in select_model_dialog main_window_saving; do
  if [ -s "$out/$name.png" ]; then echo "ok: $name.png"; else echo "FAIL: no $name.png"; fail=1; fi
done
exit $fail
