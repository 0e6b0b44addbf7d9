#!/bin/sh
# Runs a Windows x86_64 program under wine64, headless, with a wine prefix of
# its own (WINEPREFIX, default: wineprefix beside the build's CMakeCache.txt,
# else ~/.cache/zorbel-wine). Wine's own diagnostics stay quiet.
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
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
exec "$wine" "$@"
