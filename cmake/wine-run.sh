#!/bin/sh
# Runs a Windows program under wine, headless, with a wine prefix of its own
# (WINEPREFIX, default: wineprefix beside the build's CMakeCache.txt, else
# ~/.cache/zorbel-wine). A PE32 (i386) program runs on wine's 32-bit loader,
# a PE32+ one on wine64. Wine's own diagnostics stay quiet.
dir=$(pwd)
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
if [ -z "${WINEPREFIX:-}" ]; then
  if [ -f "$dir/CMakeCache.txt" ]; then WINEPREFIX=$dir/wineprefix
  else WINEPREFIX=${XDG_CACHE_HOME:-$HOME/.cache}/zorbel-wine; fi
fi
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
[ -n "${ZORBEL_WINE_DISPLAY:-}" ] || unset DISPLAY WAYLAND_DISPLAY
# The machine field of the PE header: 4c 01 is i386.
machine=$(od -An -tx1 -j "$(od -An -tu4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')" -N 6 "$1" 2>/dev/null |
          tr -d ' \n')
case $machine in
  50450000*4c01) wine=/usr/lib/wine/wine; [ -x "$wine" ] || wine=$(command -v wine) ;;
  *) wine=/usr/lib/wine/wine64; [ -x "$wine" ] || wine=$(command -v wine64 || command -v wine) ;;
esac
# One server for the prefix that outlives each program by a minute: a program
# started while the last one's server was still shutting down could otherwise
# meet it going away ("wine client error ... Connection reset by peer").
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(command -v wineserver || true)
[ -n "$server" ] && "$server" -p60 >/dev/null 2>&1
exec "$wine" "$@"
