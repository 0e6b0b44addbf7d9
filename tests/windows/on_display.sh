#!/bin/sh
# Runs a Windows program with RUNNER (the wine runner) on a virtual X display
# of its own, so its windows are real windows. Exit 77 (skipped) without
# xvfb-run.
runner=$1
shift
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not found: skipped"; exit 77; }
# The runner keeps the display it is given when ZORBEL_WINE_DISPLAY says so.
exec xvfb-run -a -s "-screen 0 1024x768x24" env ZORBEL_WINE_DISPLAY=1 "$runner" "$@"
