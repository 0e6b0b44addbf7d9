#!/usr/bin/env bash
# Completes a wine prefix made by a 64-bit-only wine for 32-bit programs: a
# machine that runs no 32-bit code leaves the prefix's syswow64 folder empty
# (its 32-bit wineboot cannot start), and wine's 32-bit loader then finds no
# kernel32.dll. Wine's own 32-bit libraries fill it. Does nothing without
# Debian's wine32 or when the folder is already filled.
#
# usage: wine32_prefix.sh PREFIX
set -euo pipefail
dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
wow=$1/drive_c/windows/syswow64
[ -d "$dlls" ] && [ -d "$wow" ] || exit 0
[ -f "$wow/kernel32.dll" ] || cp -a "$dlls/." "$wow/"
