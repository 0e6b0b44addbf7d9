#!/usr/bin/env bash
# zorbel-probe against a real Linux kernel: the static zorbel-probe runs in a
# throwaway QEMU VM (../shared/qemu-peer beside the repository) once per
# controller (IDE, AHCI, virtio-scsi), as root with --flash-id --scenario, as a
# member of group cdrom, and as a user outside the drive's group. Checked: its
# identity lines are what QEMU's drive answers, blanks made visible; the chip
# identification QEMU refuses is reported as such; access is told per node;
# QEMU saw no command that could change the drive; the scenario it wrote loads
# in zorbel-sim and gives the same drive-list line, with the drive letter
# standing in for the node name.
#
# usage: probe_test.sh ZORBEL_PROBE_STATIC ZORBEL_SIM PEER_SHELL REPO WORKDIR
set -uo pipefail
PROBE=$1 SIM=$2 PEER_SHELL=$3 REPO=$4 W=$5

PEER=$(cd "$REPO/../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $REPO/../shared/qemu-peer not found"; exit 77; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}
if [ ! -f "$PEER_WORK/build/base.cpio" ] || [ ! -f "$PEER_WORK/build/vmlinuz" ]; then
  if [ "$(id -u)" != 0 ] && ! command -v qemu-system-x86_64 >/dev/null; then
    echo "SKIP: the VM is not set up and setting it up needs root"; exit 77
  fi
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
section() { awk -v n="$2" '$0 == "=== begin " n {on = 1; next} /^=== end / {on = 0} on' <<<"$1"; }

cp "$PROBE" "$W/zorbel-probe"
cat > "$W/cases.sh" <<'CASES'
#!/bin/sh
run() { name=$1; shift; echo "=== begin $name"; "$@" 2>&1; echo "=== end $name rc=$?"; }
run root /data/zorbel-probe --flash-id --scenario /tmp/replica.toml
run scenario cat /tmp/replica.toml
run cdrom /bin/runas 1000 24 /data/zorbel-probe
run nogroup /bin/runas 1000 1000 /data/zorbel-probe
CASES

hexof() { printf '%s' "$1" | od -An -tx1 | tr 'a-f' 'A-F' | xargs; }

run_controller() {  # run_controller CTRL PROPS VENDOR PRODUCT REVISION ADDRESS
  local ctrl=$1 props=$2 vendor product rev=$5 address=$6 out=$W/$1 rc t0 t1
  vendor=$(printf '%-8s' "$3"); product=$(printf '%-16s' "$4")
  mkdir -p "$out"
  t0=$(date +%s.%N)
  PEER_OUT=$out PEER_TIMEOUT=120 PEER_CD_PROPS=$props \
    PEER_FILES="$W/zorbel-probe $W/cases.sh" \
    PEER_QEMU_ARGS="-D $out/trace.log -trace enable=ide_atapi_cmd_packet \
      -trace enable=scsi_disk_new_request" \
    "$PEER/run-peer.sh" "$PEER_SHELL" iso "$ctrl" > /dev/null 2> "$out/run.err"
  rc=$?
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" -v c="$ctrl" 'BEGIN { printf "%s: VM run %.1f s\n", c, b - a }'
  check "$ctrl: the VM ran the probe" [ "$rc" = 0 ]
  local all root cdrom nogroup
  all=$(cat "$out/stdout.txt" 2>/dev/null)
  root=$(section "$all" root); cdrom=$(section "$all" cdrom); nogroup=$(section "$all" nogroup)
  section "$all" scenario | tr -d '\r' > "$out/replica.toml"
  local line
  line="$(printf '%2d-%d-%d-%d ' ${address//:/ })sr0 $(printf '%-8s%-16s %s' "$vendor" "$product" "$rev")"

  for who in root cdrom; do
    local text=${!who}
    check "$ctrl: $who sees the exact identity, blanks visible" \
      eval 'contains "$text" "  vendor     \"$vendor\" ($(hexof "$vendor"))" &&
            contains "$text" "  product    \"$product\" ($(hexof "$product"))" &&
            contains "$text" "  revision   \"$rev\" ($(hexof "$rev"))"'
    check "$ctrl: $who sees the drive-list line and address" \
      eval 'contains "$text" "  list line  \"$line\"" &&
            contains "$text" "sr0  address ${address}  generic node sg0"'
    check "$ctrl: $who sees the disc in a closed tray" contains "$text" "a disc is in, tray closed"
    check "$ctrl: $who is told the generic node carries an update" \
      contains "$text" "/dev/sg0: opens for reading and writing"
  done
  check "$ctrl: the chip identification QEMU refuses is reported" \
    contains "$root" "flash chip not answered (sense 05/20/00)"
  check "$ctrl: ... and asked only with --flash-id" \
    contains "$cdrom" "flash chip not asked (--flash-id"
  check "$ctrl: a user outside the group is told which node and what access is missing" \
    eval 'contains "$nogroup" "/dev/sg0: Permission denied: an update needs read and write access" &&
          contains "$nogroup" "identity   not read (did not open)" &&
          contains "$nogroup" "no node of sr0 would carry an update for this user"'

  # Only TEST UNIT READY, INQUIRY, GET EVENT STATUS and 0xDF reached the drive
  # from the probe; the kernel's own opening commands are not START STOP UNIT,
  # PREVENT ALLOW MEDIUM REMOVAL or a buffer command either.
  local packets
  packets=$(grep -oiE '(packet: |data= )[0-9a-fx ]+' "$out/trace.log" 2>/dev/null |
            sed -E 's/^(packet: |data= )//; s/0x//g; s/ +/ /g; s/^ //' | tr 'A-F' 'a-f')
  check "$ctrl: QEMU saw the probe's commands" \
    eval 'grep -q "^12 " <<<"$packets" && grep -q "^4a " <<<"$packets" &&
          { [ "$ctrl" = virtio ] || grep -q "^df " <<<"$packets"; }'
  # (The kernel allows medium removal, 1E with 00, when its block node closes.)
  check "$ctrl: ... and none that could change the drive" \
    eval '! grep -qE "^(1b|3b|3c|55|a1) |^1e 00 00 00 01" <<<"$packets"'

  local sim
  sim=$("$SIM" --scenario "$out/replica.toml" --front console 2>&1 < /dev/null)
  check "$ctrl: the scenario loads in zorbel-sim and shows the same list line" \
    contains "$sim" "${line/sr0 /D:}"
  if [ $fail != 0 ]; then
    echo "--- $ctrl output ---"; cat "$out/stdout.txt" 2>/dev/null; echo "--- zorbel-sim ---"
    echo "$sim" | head -30; echo "--- harness ---"; cat "$out/run.err"
  fi
}

start=$(date +%s)
run_controller ide "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "0:0:0:0"
run_controller ahci "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "2:0:0:0"
run_controller virtio "vendor=MERIDOX,product=DVR-RW 1616 SUPR,ver=1B05" \
  "MERIDOX" "DVR-RW 1616 SUPR" "1B05" "2:0:0:0"
echo "$pass passed, $fail failed in $(( $(date +%s) - start )) s"
[ $fail = 0 ]
