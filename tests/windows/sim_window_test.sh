#!/bin/sh
# zorbel-sim.exe through its native window on a virtual X display: refusing
# the start-up notice ends the program with no drive touched; with the
# pictures taken, the whole update runs (notice accepted, Update pressed,
# every dialog answered by its default) and each picture is a BMP file.
# Usage: sim_window_test.sh RUNNER ZORBEL-SIM.EXE OUT-DIR
runner=$1 program=$2 out=$3
here=$(dirname "$0")
rm -rf "$out" && mkdir -p "$out" || exit 1

sh "$here/on_display.sh" "$runner" "$program" --front window --answers no >"$out/refused.txt" 2>&1
status=$?
[ $status -eq 77 ] && exit 77
# Declining the notice is a refusal to start any update: status 3.
[ $status -eq 3 ] || { cat "$out/refused.txt"; echo "refused run ended with $status, not 3"; exit 1; }
grep -q "commits received 1" "$out/refused.txt" && { cat "$out/refused.txt"; echo "a drive was updated after No"; exit 1; }
grep -q "commits received 0" "$out/refused.txt" || { cat "$out/refused.txt"; echo "no summary"; exit 1; }

sh "$here/on_display.sh" "$runner" "$program" --screenshot "$out/pictures" >"$out/update.txt" 2>&1
status=$?
[ $status -eq 0 ] || { cat "$out/update.txt"; echo "update run ended with $status"; exit 1; }
grep -q "commits received 1" "$out/update.txt" || { cat "$out/update.txt"; echo "no drive updated"; exit 1; }
if grep -q "BRICKED" "$out/update.txt"; then cat "$out/update.txt"; echo "a drive was bricked"; exit 1; fi
for picture in idle refusal dialog-1-warning programming updated; do
  file="$out/pictures/$picture.bmp"
  [ "$(head -c 2 "$file" 2>/dev/null)" = BM ] || { cat "$out/update.txt"; echo "missing or bad $file"; exit 1; }
done
ls "$out/pictures"/dialog-*-information.bmp >/dev/null 2>&1 || { echo "no picture of the final information"; exit 1; }
echo "ok: $(ls "$out/pictures" | wc -l) pictures in $out/pictures"
