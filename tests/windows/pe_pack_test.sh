#!/usr/bin/env bash
# zorbel-pack on a Windows program: the build machine's zorbel-pack fills the
# package probe of the Windows build from a description, and the filled probe,
# run under wine, reads back exactly what the build machine's own probe filled
# from the same description reads; `show` describes both alike. The block lies
# in one writable, initialised data section of the PE file.
#
# usage: pe_pack_test.sh HOST_BUILD PROBE_EXE OBJDUMP WORKDIR EMULATOR...
set -uo pipefail
HOST=$1 PROBE=$2 OBJDUMP=$3 W=$4; shift 4
PACK=$HOST/tools/zorbel-pack/zorbel-pack
NATIVE=$HOST/tests/package/zorbel_package_probe
if [ ! -x "$PACK" ] || [ ! -x "$NATIVE" ]; then
  echo "SKIP: build the default preset first ($PACK, $NATIVE)"; exit 77
fi
rm -rf "$W" && mkdir -p "$W" || exit 1
fail=0
check() { local name=$1; shift; if "$@"; then echo "PASS $name"; else echo "FAIL $name"; fail=1; fi; }

head -c 32768 /dev/urandom > "$W/one.bin"
head -c 16384 /dev/urandom > "$W/two.bin"
cat > "$W/package.toml" <<'TOML'
title = "Flash Program for MERIDOX DVR-RW 1616"
supported_drives = "MERIDOX DVR-RW 1616"
[options]
N2OMESSAGE = 1
CHKDISC = 2
BOOTCODE = 1
REBOOT = 0
AUTOMODE = 3
CLOSEAP = 1
WARNING = 1
NBWARNING = 0
HOW_MANY_BIN = 2
[[bin]]
image = "one.bin"
start = 0
new_revision = "1B10"
[[bin.constraint]]
lowest = "1B05"
highest = "1B09"
vendor = "MERIDOX "
product = "DVR-RW 1616 SUPR"
[[bin]]
image = "two.bin"
start = 65536
new_revision = "2C01"
any_drive = true
TOML

cp "$PROBE" "$W/probe.exe"
"$PACK" fill "$W/probe.exe" "$W/package.toml" -o "$W/packed.exe" > "$W/fill-pe.txt" 2>&1
check "the PE program is filled" [ $? = 0 ]
"$PACK" fill "$NATIVE" "$W/package.toml" -o "$W/packed-elf" > /dev/null 2>&1
check "the ELF program is filled" [ $? = 0 ]
"$@" "$W/packed.exe" 2>/dev/null | tr -d '\r' > "$W/pe.txt"
"$W/packed-elf" > "$W/elf.txt"
check "the filled PE program reads what the ELF one reads" cmp -s "$W/pe.txt" "$W/elf.txt"
check "... which is the description" grep -qx "title=Flash Program for MERIDOX DVR-RW 1616" "$W/pe.txt"
check "... images included" eval 'grep -q "^bin2=65536 16384 2C01 16384 " "$W/pe.txt"'
"$@" "$PROBE" 2>/dev/null | tr -d '\r' > "$W/untouched.txt"
check "the original stays untouched" grep -qx "title=APP_TITLE_HERE" "$W/untouched.txt"
"$PACK" show "$W/packed.exe" > "$W/show-pe.txt" 2>&1
"$PACK" show "$W/packed-elf" > "$W/show-elf.txt" 2>&1
check "show: the filled PE program is unsigned, its checksum right" \
  eval 'grep -q "^# signature: none" "$W/show-pe.txt" && grep -q "^# PE checksum: right" "$W/show-pe.txt"'
check "show describes both alike" eval 'grep -v "^# signature: \|^# PE checksum: " "$W/show-pe.txt" |
  cmp -s - "$W/show-elf.txt"'

# The block, from its label to the end of its bank (1,050,699 bytes), inside
# one section that is initialised, loaded and writable.
start=$(grep -obUa "\[ZORBEL PACKAGE v2 \]" "$W/packed.exe" | cut -d: -f1)
check "one block in the file" [ "$(wc -w <<<"$start")" = 1 ]
section=
while read -r idx name size _ _ off _; do
  [[ $idx =~ ^[0-9]+$ ]] || continue
  read -r flags
  if [ -n "$start" ] && ((start >= 16#$off && start + 1050699 <= 16#$off + 16#$size)); then
    section="$name $flags"
  fi
done < <("$OBJDUMP" -h "$W/packed.exe")
check "the block lies in one section" [ -n "$section" ]
check "... which is writable initialised data" \
  eval '[[ "$section" == *CONTENTS*DATA* && "$section" != *READONLY* ]]'
[ $fail = 0 ] || { echo "--- fill"; cat "$W/fill-pe.txt"; diff "$W/pe.txt" "$W/elf.txt" | head; echo "$section"; }
exit $fail
