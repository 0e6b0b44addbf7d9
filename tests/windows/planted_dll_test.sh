#!/usr/bin/env bash
# zorbel-console.exe, packed for some drive, started under wine from a folder
# that also holds a planted WNASPI32.DLL (the folder is the current directory
# too), with standard input on /dev/null: the program looks for the ASPI
# manager and must take the system's own, never the planted library (which
# would end the process with status 86); and /dev/null is no console, so
# nobody is asked to press Enter. Started with an argument, it ends at once.
#
# usage: planted_dll_test.sh EMULATOR ZORBEL_PACK CONSOLE_EXE PLANTED_DLL WORKDIR
set -uo pipefail
EMU=$1 PACK=$2 EXE=$3 DLL=$4 W=$5
[ -x "$PACK" ] || { echo "SKIP: no zorbel-pack at $PACK (build the default preset first)"; exit 77; }
rm -rf "$W" && mkdir -p "$W/run" || exit 1
fail=0
check() { local name=$1; shift; if "$@"; then echo "PASS $name"; else echo "FAIL $name"; fail=1; fi; }

head -c 16384 /dev/zero | tr '\0' '\377' > "$W/image.bin"
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"
cat > "$W/package.toml" <<'TOML'
title = "Zorbel planted library check"
supported_drives = "OTHER MAKER DVD"
[options]
N2OMESSAGE = 0
CHKDISC = 0
BOOTCODE = 1
REBOOT = 0
AUTOMODE = 0
CLOSEAP = 0
WARNING = 0
NBWARNING = 0
HOW_MANY_BIN = 1
[[bin]]
image = "image.bin"
start = 0
new_revision = "1B10"
[[bin.constraint]]
lowest = ""
highest = ""
vendor = "OTHERVND"
product = "OTHER DRIVE     "
TOML
"$PACK" fill "$EXE" "$W/package.toml" -o "$W/run/zorbel-console.exe" --profiles "$W/profiles.bin" \
  > "$W/fill.txt" 2>&1 || { cat "$W/fill.txt"; echo "FAIL: packing"; exit 1; }
cp "$DLL" "$W/run/WNASPI32.DLL"
(cd "$W/run" && "$EMU" ./zorbel-console.exe --help < /dev/null > "$W/args.txt" 2>&1)
argsrc=$?
check "an argument ends the program with status 2 before it looks for drives (status $argsrc)" \
  eval '[ "$argsrc" = 2 ] && grep -q "takes no arguments" "$W/args.txt" &&
        ! grep -q "No matched drive" "$W/args.txt"'
(cd "$W/run" && "$EMU" ./zorbel-console.exe < /dev/null > "$W/out.txt" 2> "$W/err.txt")
rc=$?
out=$(tr -d '\r' < "$W/out.txt")
check "the program ran to its end (status $rc)" [ "$rc" != 86 ] && [ "$rc" -lt 124 ]
check "the planted library was never loaded" eval '[[ "$out" != *PLANTED* ]]'
check "the program looked for drives" eval '[[ "$out" == *"No matched drive detected !"* ]]'
check "/dev/null is no console: nobody is asked to press Enter" eval '[[ "$out" != *"Press Enter"* ]]'
[ $fail = 0 ] || { echo "--- stdout"; cat "$W/out.txt"; echo "--- stderr"; head -20 "$W/err.txt"; }
exit $fail
