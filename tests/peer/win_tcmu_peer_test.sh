#!/usr/bin/env bash
# zorbel-console.exe against a real Linux kernel with drives that have a
# firmware buffer: under wine64 in a throwaway QEMU VM, a simulated drive is
# served through the kernel's own SCSI target (zorbel-tcmu, started before the
# program by tcmu_wine_drive.sh) and given to wine as E:, so the program's
# pass-through requests become SG_IO through the kernel to the drive. Two VMs
# side by side, one drive each, the program updating by itself:
#   update  the whole update succeeds, with the filled program signed as a
#           vendor ships it: exit 0, one good commit, the new revision in the
#           program's list afterwards
#   brick   the drive bricks at its commit: the failure is reported with what
#           the drive answered after it (its sense data, read from the
#           pass-through request's sense area)
# The drive's own trace, written to the VM's console as it happens, is the
# evidence.
#
# usage: win_tcmu_peer_test.sh ZORBEL_CONSOLE_EXE ZORBEL_PACK ZORBEL_TCMU REPO WORKDIR
set -uo pipefail
EXE=$1 PACK=$2 TCMU=$3 REPO=$4 W=$5

PEER=$(cd "$REPO/../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $REPO/../shared/qemu-peer not found"; exit 77; }
[ -x "$PEER/tcmu-modules.sh" ] || { echo "SKIP: $PEER has no tcmu-modules.sh"; exit 77; }
for f in "$PACK" "$TCMU"; do
  [ -x "$f" ] || { echo "SKIP: no $f (build the default preset first)"; exit 77; }
done
command -v qemu-system-x86_64 >/dev/null || { echo "SKIP: qemu-system-x86_64 missing"; exit 77; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}

rm -rf "$W" && mkdir -p "$W/mods" || exit 1
pass=0; fail=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "PASS $name"; else fail=$((fail + 1)); echo "FAIL $name"; fi
}
contains() { [[ "$1" == *"$2"* ]]; }
lacks() { [[ "$1" != *"$2"* ]]; }

"$PEER/setup-wine.sh" > "$W/setup.log" 2>&1 || { cat "$W/setup.log"; echo "FAIL: setup-wine.sh"; exit 1; }
mods=$("$PEER/tcmu-modules.sh" "$W/mods" | tr '\n' ' ') || { echo "FAIL: tcmu-modules.sh"; exit 1; }
strip -o "$W/zorbel-tcmu" "$TCMU" || exit 1
cp "$REPO/tools/zorbel-tcmu/zorbel-tcmu-up.sh" "$REPO/tests/peer/tcmu_wine_drive.sh" "$W/" || exit 1

awk 'BEGIN { for (b = 0; b < 64; b++) for (i = 0; i < 1024; i++) printf "w%02d-%011d\n", b, i }' \
  > "$W/image.bin"
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"

case_dir() {  # case_dir NAME [TOML...]: a folder with the drive's scenario and the package
  local d=$W/$1
  mkdir -p "$d" && cp "$W/image.bin" "$d/"
  cat > "$d/scenario.toml" <<TOML
[[drives]]
id = "$1"
vendor = "ZORBEL"
product = "TCMU WINE"
revision = "1A05"
new_revision = "1B10"
image_file = "image.bin"
${2:-}
TOML
  cat > "$d/package.toml" <<TOML
title = "Zorbel kernel target check"
supported_drives = "ZORBEL TCMU WINE"
[options]
N2OMESSAGE = 0
CHKDISC = 0
BOOTCODE = 0
REBOOT = 0
AUTOMODE = 1
CLOSEAP = 0
WARNING = 0
NBWARNING = 0
HOW_MANY_BIN = 1
[[bin]]
image = "image.bin"
start = 0
new_revision = "1B10"
[[bin.constraint]]
lowest = "1A00"
highest = "1A09"
vendor = "ZORBEL  "
product = "TCMU WINE       "
TOML
  "$PACK" fill "$EXE" "$d/package.toml" -o "$d/zorbel-$1.exe" --profiles "$W/profiles.bin" >/dev/null ||
    { echo "FAIL: packing $1"; exit 1; }
}
case_dir update
case_dir brick 'image_crc32 = 0x00000000'
# The update case runs the program as a vendor ships it: filled, then signed
# (with a throwaway certificate) and verified.
. "$REPO/tests/release/signing.sh"
throwaway_certificate "$W" && sign_program "$W" "$W/update/zorbel-update.exe" "$W/update/signed.exe" &&
  mv "$W/update/signed.exe" "$W/update/zorbel-update.exe"
check "update: the filled program is signed and its signature verifies" \
  eval 'osslsigncode verify -CAfile "$W/cert.pem" -in "$W/update/zorbel-update.exe" 2>&1 | grep -q Succeeded'

run_case() {  # run_case NAME: the program on drive NAME; output in $W/NAME/out
  local d=$W/$1 attempt rc
  for attempt in 1 2; do  # once more only when the harness itself failed
    PEER_OUT=$d/out PEER_TIMEOUT=300 PEER_PRE=$W/tcmu_wine_drive.sh \
      PEER_FILES="$mods $W/zorbel-tcmu $W/zorbel-tcmu-up.sh $d/scenario.toml $d/image.bin" \
      "$PEER/run-win-peer.sh" "$d/zorbel-$1.exe" none ide > "$d/run.out" 2> "$d/run.err"
    rc=$?
    [ "$rc" = 125 ] || break
  done
  echo "$rc" > "$d/rc"
}
start=$(date +%s)
run_case update & run_case brick & wait
echo "VM runs $(( $(date +%s) - start )) s"

trace() { tr -d '\r' < "$W/$1/out/console.log" 2>/dev/null | grep -aE "^[0-9.]+ $1: "; }
for name in update brick; do
  trace "$name" > "$W/$name/trace.txt"
done
update=$(tr -d '\r' < "$W/update/out/stdout.txt" 2>/dev/null)
brick=$(tr -d '\r' < "$W/brick/out/stdout.txt" 2>/dev/null; tr -d '\r' < "$W/brick/out/stderr.txt" 2>/dev/null)
sent() { grep -cE " 3B 05 01 .. .. .. .. .. .. (80|A0) 00 00 " "$W/$1/trace.txt"; }

check "update: the drive is E: under wine and the program sees it" \
  eval 'contains "$update" "E:ZORBEL  TCMU WINE        1A05" &&
        contains "$update" "It will be updated from 1A05 to 1B10"'
check "update: success is reported and the program exits 0" \
  eval 'contains "$update" "Firmware has been updated successfully !" && [ "$(cat "$W/update/rc")" = 0 ]'
check "update: 64 blocks went out and were read back through the kernel" \
  eval '[ "$(grep -cE " 3B 05 01 .. .. .. 00 40 00 00 00 00 out 16384 -> ok" "$W/update/trace.txt")" -ge 64 ] &&
        [ "$(grep -cE " 3C 01 01 .. .. .. 00 40 00 00 00 00 in 16384 -> ok" "$W/update/trace.txt")" -ge 64 ]'
check "update: one commit, a good one" \
  eval '[ "$(sent update)" = 1 ] && grep -q "update: commit 0x80 good, revision now \"1B10\"" "$W/update/trace.txt"'
check "update: the program's list shows the new revision afterwards" \
  contains "$update" "E:ZORBEL  TCMU WINE        1B10"

check "brick: the drive bricked at its one commit" \
  eval '[ "$(sent brick)" = 1 ] && grep -q "brick: commit 0x80 bricked" "$W/brick/trace.txt"'
check "brick: the failure is reported with the drive's own answer after its commit" \
  eval 'contains "$brick" "Unable to flash firmware. Please contact with your vendor !" &&
        lacks "$brick" "updated successfully" && [ "$(cat "$W/brick/rc")" = 1 ] &&
        contains "$brick" "answered no identity (sense 04/44/00) after its commit"'

if [ $fail != 0 ]; then
  for name in update brick; do
    echo "--- $name output ---"; cat "$W/$name/out/stdout.txt" "$W/$name/out/stderr.txt" 2>/dev/null | grep -v Programming
    echo "--- $name harness (rc $(cat "$W/$name/rc")) ---"; tail -5 "$W/$name/run.err"
    echo "--- $name console tail ---"; tail -15 "$W/$name/out/console.log" 2>/dev/null
  done
fi
echo "$pass passed, $fail failed"
[ "$fail" = 0 ] && [ "$pass" = 8 ]
