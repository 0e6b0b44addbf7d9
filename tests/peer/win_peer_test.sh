#!/usr/bin/env bash
# zorbel-console.exe against a real Linux kernel: the Windows console program
# (x86_64 or i686), packed with test packages, runs under wine in a throwaway QEMU VM
# (../shared/qemu-peer/run-win-peer.sh beside the repository), where wine turns
# its pass-through requests on \\.\D: into SG_IO on QEMU's drive. Once per
# controller (IDE, AHCI, virtio-scsi; the three side by side), two runs:
#   refused  a package for another drive: the exact refusal, listing the drive
#            by letter with its address, identity and revision
#   fits     a package that fits, updating by itself (AUTOMODE, no disc check,
#            no questions: the program's input is /dev/null there): the update
#            fails cleanly, because QEMU's drive has no firmware buffer
# QEMU's own trace of the ATAPI/SCSI packets shows that image blocks were
# offered and that no commit was ever sent.
#
# usage: win_peer_test.sh ZORBEL_CONSOLE_EXE ZORBEL_PACK REPO WORKDIR
set -uo pipefail
EXE=$1 PACK=$2 REPO=$3 W=$4

PEER=$(cd "$REPO/../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $REPO/../shared/qemu-peer not found"; exit 77; }
[ -x "$PACK" ] || { echo "SKIP: no zorbel-pack at $PACK (build the default preset first)"; exit 77; }
command -v qemu-system-x86_64 >/dev/null || { echo "SKIP: qemu-system-x86_64 missing"; exit 77; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}

rm -rf "$W" && mkdir -p "$W" || exit 1
pass=0; fail=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "PASS $name"; else fail=$((fail + 1)); echo "FAIL $name"; fi
}
contains() { [[ "$1" == *"$2"* ]]; }
lacks() { [[ "$1" != *"$2"* ]]; }

# ---- packages ---------------------------------------------------------------
head -c 32768 /dev/zero | tr '\0' '\377' > "$W/image.bin"  # two blocks, erased flash
# Profiles that are not the stand-ins, so the program starts; QEMU's drive
# never answers the chip identification, so none of them is ever sent.
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"
package() {  # package NAME VENDOR PRODUCT LOWEST HIGHEST SUPPORTED AUTOMODE (NAME: CTRL-CASE)
  local vendor product
  vendor=$(printf '%-8s' "$2"); product=$(printf '%-16s' "$3")
  cat > "$W/$1.toml" <<TOML
title = "Zorbel peer check"
supported_drives = "$6"
[options]
N2OMESSAGE = 0
CHKDISC = 0
BOOTCODE = 1
REBOOT = 0
AUTOMODE = $7
CLOSEAP = 0
WARNING = 0
NBWARNING = 0
HOW_MANY_BIN = 1
[[bin]]
image = "image.bin"
start = 0
new_revision = "1B10"
[[bin.constraint]]
lowest = "$4"
highest = "$5"
vendor = "$vendor"
product = "$product"
TOML
  "$PACK" fill "$EXE" "$W/$1.toml" -o "$W/$1.exe" --profiles "$W/profiles.bin" >/dev/null ||
    { echo "FAIL: packing $1"; exit 1; }
}

run_case() {  # run_case CTRL PROPS CASE: runs CTRL-CASE.exe, leaves its output in $W/CTRL-CASE/
  local ctrl=$1 props=$2 name=$1-$3 out=$W/$1-$3 rc attempt
  mkdir -p "$out"
  for attempt in 1 2; do  # once more only when the harness itself failed
    PEER_OUT=$out PEER_TIMEOUT=300 PEER_CD_PROPS=$props \
      PEER_QEMU_ARGS="-D $out/trace.log -trace enable=ide_atapi_cmd_packet \
        -trace enable=scsi_disk_new_request" \
      "$PEER/run-win-peer.sh" "$W/$name.exe" iso "$ctrl" > "$out/run.out" 2> "$out/run.err"
    rc=$?
    [ "$rc" = 125 ] || break
  done
  echo "$rc" > "$out/harness.rc"
}

run_controller() {  # run_controller CTRL PROPS VENDOR PRODUCT REVISION ADDRESS
  local ctrl=$1 props=$2 vendor=$3 product=$4 rev=$5 address=$6 t0 t1
  package "$ctrl-fits" "$vendor" "$product" "${rev:0:2}00" "${rev:0:2}09" "ZORBEL PEER DRIVE" 1
  package "$ctrl-refused" "OTHERVND" "$product" "" "" "OTHER MAKER DVD" 0
  t0=$(date +%s)
  run_case "$ctrl" "$props" refused
  run_case "$ctrl" "$props" fits
  t1=$(date +%s)
  echo "$ctrl: VM runs $((t1 - t0)) s"
  local refused fits line
  refused=$(tr -d '\r' < "$W/$ctrl-refused/stdout.txt" 2>/dev/null)
  fits=$(tr -d '\r' < "$W/$ctrl-fits/stdout.txt" 2>/dev/null)
  line="$(printf '%2d-%d-%d-%d ' ${address//-/ })D:$(printf '%-8s%-16s %s' "$vendor" "$product" "$rev")"

  check "$ctrl: the VM ran both programs" \
    eval '[ "$(cat "$W/$ctrl-refused/harness.rc")" -lt 124 ] &&
          [ "$(cat "$W/$ctrl-fits/harness.rc")" -lt 124 ]'
  check "$ctrl: refused drive listed by letter with address, identity and revision" \
    contains "$refused" "No matched drive detected !
This utility is only for OTHER MAKER DVD drive.

Detected drives :
$line"
  check "$ctrl: nothing else refused the drive" lacks "$refused$fits" "Cannot open"
  check "$ctrl: the fitting drive is listed with old and new revision" \
    eval 'contains "$fits" "$line" && contains "$fits" "It will be updated from $rev to 1B10"'
  check "$ctrl: the update fails cleanly" \
    contains "$fits" "Unable to flash firmware. Please contact with your vendor !"

  # The drive saw image blocks (WRITE BUFFER mode 5, code 0) but never a commit
  # (code 0x80 or 0xA0 in byte 9).
  local packets
  packets=$(grep -oiE '(packet: |data= )[0-9a-fx ]+' "$W/$ctrl-fits/trace.log" 2>/dev/null |
            sed -E 's/^(packet: |data= )//; s/0x//g; s/ +/ /g; s/^ //' | tr 'A-F' 'a-f')
  check "$ctrl: QEMU saw the image blocks offered" grep -qE '^3b 05 01 00 00 00 00 40 00 00' <<<"$packets"
  check "$ctrl: ... and no commit" eval '! grep -qE "^3b 05 01( [0-9a-f]{2}){6} (80|a0)" <<<"$packets"'
  check "$ctrl: ... while QEMU's trace saw commands at all" [ "$(wc -l <<<"$packets")" -gt 20 ]
  if [ $fail != 0 ]; then
    for c in refused fits; do
      echo "--- $ctrl $c output ---"; cat "$W/$ctrl-$c/stdout.txt" 2>/dev/null
      echo "--- $ctrl $c harness ---"; tail -5 "$W/$ctrl-$c/run.err"
    done
  fi
}

# The kernel, the guest's wine modules and the wine prefix are made once, here:
# three first runs side by side would each rebuild them in the same place.
"$PEER/setup-wine.sh" > "$W/setup.log" 2>&1 || {
  cat "$W/setup.log"; echo "FAIL: $PEER/setup-wine.sh"; exit 1; }
# A 32-bit program needs the prefix's 32-bit half, which a machine that runs no
# 32-bit code could not make.
bash "$REPO/tests/windows/wine32_prefix.sh" "$PEER_WORK/prefix" || {
  echo "FAIL: completing the wine prefix for 32-bit programs"; exit 1; }

# The three controllers boot side by side (one emulated CPU each); each writes
# its own log, shown in order afterwards.
start=$(date +%s)
# wine reports the Linux channel + 2 as the port and the Linux host as the path.
run_controller ide "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "2-0-0-0" > "$W/ide.log" 2>&1 &
run_controller ahci "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "2-2-0-0" > "$W/ahci.log" 2>&1 &
run_controller virtio "vendor=MERIDOX,product=DVR-RW 1616 SUPR,ver=1B05" \
  "MERIDOX" "DVR-RW 1616 SUPR" "1B05" "2-2-0-0" > "$W/virtio.log" 2>&1 &
wait
cat "$W/ide.log" "$W/ahci.log" "$W/virtio.log"
pass=$(cat "$W"/{ide,ahci,virtio}.log | grep -c '^PASS ')
fail=$(cat "$W"/{ide,ahci,virtio}.log | grep -c '^FAIL ')
echo "$pass passed, $fail failed in $(( $(date +%s) - start )) s"
[ "$fail" = 0 ] && [ "$pass" = 24 ]
