#!/usr/bin/env bash
# zorbel against a real Linux kernel: the console-only static zorbel, packed with
# test packages, runs in a throwaway QEMU VM (../shared/qemu-peer beside the
# repository) once per controller: IDE, AHCI and virtio-scsi. Each boot runs four
# cases in order:
#   refused  root; a package for another drive: the exact refusal, listing the
#            drive with its node, address, identity and revision
#   nogroup  a user outside the drive's group: which node and what access is
#            missing, said before the refusal
#   cdrom    a user in group cdrom, a package that fits, the tray locked first
#            as desktop systems lock it: the disc and tray check ejects the disc
#            (QEMU's monitor takes the disc out when the tray opens, as a user
#            would) and loads the tray again; the update then fails cleanly,
#            because QEMU's drive has no firmware buffer
#   root     the same update attempt as root
# QEMU's own trace of the ATAPI/SCSI packets shows that image blocks were
# offered and that no commit was ever sent.
#
# usage: peer_test.sh ZORBEL_STATIC ZORBEL_PACK PEER_SHELL REPO WORKDIR
set -uo pipefail
ZORBEL=$1 PACK=$2 PEER_SHELL=$3 REPO=$4 W=$5

PEER=$(cd "$REPO/../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $REPO/../shared/qemu-peer not found"; exit 77; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}
if [ ! -f "$PEER_WORK/build/base.cpio" ] || [ ! -f "$PEER_WORK/build/vmlinuz" ]; then
  if [ "$(id -u)" != 0 ] && ! command -v qemu-system-x86_64 >/dev/null; then
    echo "SKIP: the VM is not set up and setting it up needs root"; exit 77
  fi
  echo "setting up the VM (once per machine) ..."
  "$PEER/setup.sh" || { echo "FAIL: $PEER/setup.sh"; exit 1; }
fi

rm -rf "$W" && mkdir -p "$W" || exit 1
pass=0; fail=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "PASS $name"; else fail=$((fail + 1)); echo "FAIL $name"; fi
}
contains() { [[ "$1" == *"$2"* ]]; }
lacks() { [[ "$1" != *"$2"* ]]; }
before() { local head=${1%%"$3"*}; [[ "$1" == *"$3"* && "$head" == *"$2"* ]]; }  # $2 before $3 in $1

# ---- packages ---------------------------------------------------------------
head -c 32768 /dev/zero | tr '\0' '\377' > "$W/image.bin"  # two blocks, erased flash
package() {  # package NAME VENDOR PRODUCT LOWEST HIGHEST SUPPORTED
  # Vendor and product exactly as INQUIRY reports them, trailing blanks kept.
  local vendor product
  vendor=$(printf '%-8s' "$2"); product=$(printf '%-16s' "$3")
  cat > "$W/$1.toml" <<EOF
title = "Zorbel peer check"
supported_drives = "$6"
[options]
N2OMESSAGE = 1
CHKDISC = 1
BOOTCODE = 1
REBOOT = 0
AUTOMODE = 0
CLOSEAP = 0
WARNING = 1
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
EOF
  "$PACK" fill "$ZORBEL" "$W/$1.toml" -o "$W/$1" >/dev/null || { echo "FAIL: packing $1"; exit 1; }
}

cat > "$W/cases.sh" <<'EOF'
#!/bin/sh
run() { name=$1; shift; echo "=== begin $name"; "$@" 2>&1; echo "=== end $name rc=$?"; }
run refused /data/zorbel-refused
run nogroup /bin/runas 1000 1000 /data/zorbel-fits
/probe lock-tray /dev/sg0
run cdrom /bin/runas 1000 24 /data/zorbel-fits
run root /data/zorbel-fits
EOF

section() { awk -v n="$2" '$0 == "=== begin " n {on = 1; next} /^=== end / {on = 0} on' <<<"$1"; }

# ---- one boot per controller -------------------------------------------------
qmp_watch() {  # takes the disc out when the tray first opens; logs every event
  local port=$1 log=$2 removed=0 line i
  for i in $(seq 300); do
    { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null && break
    sleep 0.1
  done
  echo '{"execute":"qmp_capabilities"}' >&3 || return
  while IFS= read -r line <&3; do
    echo "$line" >> "$log"
    if [ $removed = 0 ] && [[ $line == *DEVICE_TRAY_MOVED*'"tray-open": true'* ]]; then
      echo '{"execute":"eject","arguments":{"device":"cd","force":true}}' >&3
      removed=1
    fi
  done
}

run_controller() {  # run_controller CTRL PROPS VENDOR PRODUCT REVISION ADDRESS
  local ctrl=$1 props=$2 vendor=$3 product=$4 rev=$5 address=$6
  local out=$W/$ctrl port t0 t1 rc attempt
  mkdir -p "$out"
  package zorbel-fits "$vendor" "$product" "${rev:0:2}00" "${rev:0:2}09" "ZORBEL PEER DRIVE"
  package zorbel-refused "OTHERVND" "$product" "" "" "OTHER MAKER DVD"
  t0=$(date +%s.%N)
  for attempt in 1 2 3; do  # another attempt only when the harness failed (a taken port)
    port=$((20000 + RANDOM % 30000))
    : > "$out/qmp.log"
    qmp_watch "$port" "$out/qmp.log" & local watcher=$!
    PEER_OUT=$out PEER_TIMEOUT=240 PEER_CD_PROPS=$props \
      PEER_FILES="$W/zorbel-fits $W/zorbel-refused $W/cases.sh" \
      PEER_QEMU_ARGS="-qmp tcp:127.0.0.1:$port,server=on,wait=off -D $out/trace.log \
        -trace enable=ide_atapi_cmd_packet -trace enable=scsi_disk_new_request" \
      "$PEER/run-peer.sh" "$PEER_SHELL" iso "$ctrl" > /dev/null 2> "$out/run.err"
    rc=$?
    kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null
    [ "$rc" = 125 ] || break
  done
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" -v c="$ctrl" 'BEGIN { printf "%s: VM run %.1f s\n", c, b - a }'
  check "$ctrl: the VM ran the cases" [ "$rc" = 0 ]
  local all; all=$(cat "$out/stdout.txt" 2>/dev/null)
  local refused nogroup update root
  refused=$(section "$all" refused); nogroup=$(section "$all" nogroup)
  update=$(section "$all" cdrom); root=$(section "$all" root)
  local line
  line="$(printf '%2d-%d-%d-%d ' ${address//:/ })sr0$(printf '%-8s%-16s %s' "$vendor" "$product" "$rev")"

  check "$ctrl: refused drive listed with node, address, identity and revision" \
    contains "$refused" "No matched drive detected !
This utility is only for OTHER MAKER DVD drive.

Detected drives :
$line"
  check "$ctrl: nothing else refused the drive" lacks "$refused" "Cannot open"

  check "$ctrl: a user outside the group is told which node and what access is missing" \
    contains "$nogroup" "Cannot open the optical drive sr0: /dev/sg0: Permission denied.
Updating a drive needs read and write access to /dev/sg0: run zorbel as root, or as a member of group 24."
  check "$ctrl: ... before the no-matched-drive message, which lists no drive" \
    before "$nogroup" "Permission denied" "No matched drive detected !
This utility is only for ZORBEL PEER DRIVE drive.

Detected drives :
"
  check "$ctrl: ... and the drive cannot be listed" lacks "$nogroup" "$line"

  check "$ctrl: a member of group cdrom sees the fitting drive with old and new revision" \
    eval 'contains "$update" "$line" && contains "$update" "1B10" &&
          lacks "$update" "Cannot open" && lacks "$update" "CAP_SYS_RAWIO"'
  check "$ctrl: the tray was locked first" contains "$all" "tray locked"
  check "$ctrl: the disc check ejects the disc from the locked tray" \
    contains "$update" "Please remove the disc."
  check "$ctrl: ... never claims the tray is locked" lacks "$update" "Unable to eject the disc"
  check "$ctrl: ... and the tray went out and came back in" \
    eval '[ "$(grep -c "\"tray-open\": true" "$out/qmp.log")" -ge 1 ] &&
          [ "$(grep -c "\"tray-open\": false" "$out/qmp.log")" -ge 1 ] &&
          lacks "$update" "Please push the tray in."'
  check "$ctrl: the update fails cleanly" \
    eval 'contains "$update" "Unable to flash firmware. Please contact with your vendor !" &&
          contains "$all" "=== end cdrom rc=0"'
  check "$ctrl: root gets the same update attempt" \
    eval 'contains "$root" "$line" && lacks "$root" "Cannot open" &&
          contains "$root" "Unable to flash firmware. Please contact with your vendor !"'

  # The drive saw image blocks (WRITE BUFFER mode 5, code 0) but never a commit
  # (code 0x80 or 0xA0 in byte 9).
  local packets; packets=$(grep -oiE '(packet: |data= )[0-9a-fx ]+' "$out/trace.log" 2>/dev/null |
                           sed -E 's/^(packet: |data= )//; s/0x//g; s/ +/ /g; s/^ //' | tr 'A-F' 'a-f')
  check "$ctrl: QEMU saw the tray locked, then unlocked right before the eject" \
    eval 'grep -qE "^1e 00 00 00 01" <<<"$packets" &&
          [ "$(awk "/^1e 00 00 00 00/ {u = 1} /^1b 00 00 00 02/ {print u + 0; u = 0}" <<<"$packets" |
              sort -u | tr -d "\n")" = 1 ]'
  check "$ctrl: QEMU saw the image blocks offered" grep -qE '^3b 05 01 00 00 00 00 40 00 00' <<<"$packets"
  check "$ctrl: ... and no commit" eval '! grep -qE "^3b 05 01( [0-9a-f]{2}){6} (80|a0)" <<<"$packets"'
  check "$ctrl: ... while QEMU's trace saw commands at all" [ "$(wc -l <<<"$packets")" -gt 20 ]
  if [ $fail != 0 ]; then
    echo "--- $ctrl output (stdout.txt) ---"; cat "$out/stdout.txt" 2>/dev/null
    echo "--- $ctrl harness ---"; cat "$out/run.err"; tail -5 "$out/console.log" 2>/dev/null
  fi
}

start=$(date +%s)
run_controller ide "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "0:0:0:0"
run_controller ahci "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "2:0:0:0"
run_controller virtio "vendor=MERIDOX,product=DVR-RW 1616 SUPR,ver=1B05" \
  "MERIDOX" "DVR-RW 1616 SUPR" "1B05" "2:0:0:0"
echo "$pass passed, $fail failed in $(( $(date +%s) - start )) s"
[ $fail = 0 ]
