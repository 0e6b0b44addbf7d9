#!/usr/bin/env bash
# The fleet playbook (examples/fleet) from this machine against three managed
# machines, QEMU VMs side by side reached by SSH (fleet_vm.sh):
#   vm-fit    a simulated drive the package fits, served to the VM's kernel
#             through its SCSI target (zorbel-tcmu), MERIDOX 1B05
#   vm-other  QEMU's own drive, of another make
#   vm-none   no optical drive at all
#   ghost     an inventory entry nobody answers for
# Three runs of the one documented command:
#   good      a package for vm-fit's drive: vm-fit is updated to 1B10, the
#             others are reported (not failed), the playbook exits 0
#   again     the same package: vm-fit is up to date and gets no update
#   bad       a package whose image the drive does not take (it bricks at the
#             commit) and that also claims QEMU's drive: vm-fit, the first
#             batch, fails, and the failure share stops the run before
#             vm-other is touched; the playbook exits 2
# Checked against the summary's JSON and the drives' own records: the served
# drive's commits and bricked state, and QEMU's trace of every command its
# drive received.
#
# usage: fleet_test.sh ZORBEL_STATIC ZORBEL_PROBE_STATIC ZORBEL_PACK ZORBEL_TCMU TCMU_UP REPO WORKDIR
set -uo pipefail
ZORBEL=$1 PROBE=$2 PACK=$3 TCMU=$4 TCMU_UP=$5 REPO=$6 W=$7
HERE=$(cd "$(dirname "$0")" && pwd)
VM=$HERE/fleet_vm.sh

PEER=$(cd "$REPO/../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $REPO/../shared/qemu-peer not found"; exit 77; }
command -v ansible-playbook >/dev/null || { echo "SKIP: ansible-playbook missing (ansible-core)"; exit 77; }
[ -x /usr/sbin/sshd ] || { echo "SKIP: /usr/sbin/sshd missing (openssh-server)"; exit 77; }
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
start=$SECONDS

# ---- what the packager ships ------------------------------------------------
# Stripped, as a fleet would get them: a quarter of the bytes to copy.
strip -o "$W/zorbel-static" "$ZORBEL" && strip -o "$W/zorbel-probe" "$PROBE" || exit 1
head -c 32768 /dev/urandom > "$W/good.bin"
head -c 32768 /dev/urandom > "$W/bad.bin"
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"  # not the stand-ins
package() {  # package NAME IMAGE NEW LOWEST HIGHEST [SECOND-SLOT]
  cat > "$W/$1.toml" <<EOF
title = "Zorbel fleet check"
supported_drives = "MERIDOX DVR-RW 1616"
[options]
N2OMESSAGE = 1
CHKDISC = 0
BOOTCODE = 1
REBOOT = 0
AUTOMODE = 0
CLOSEAP = 0
WARNING = 1
NBWARNING = 0
HOW_MANY_BIN = 1
[[bin]]
image = "$2"
start = 0
new_revision = "$3"
[[bin.constraint]]
lowest = "$4"
highest = "$5"
vendor = "MERIDOX "
product = "DVR-RW 1616 SUPR"
${6:-}
EOF
  "$PACK" fill "$W/zorbel-static" "$W/$1.toml" --profiles "$W/profiles.bin" -o "$W/$1" >/dev/null ||
    { echo "FAIL: packing $1"; exit 1; }
}
package zorbel-good good.bin 1B10 1B05 1B09
package zorbel-bad bad.bin 1B20 1B05 1B10 '[[bin.constraint]]
vendor = "QEMU    "
product = "QEMU CD-ROM     "'

# ---- the machines -------------------------------------------------------------
# The drive vm-fit serves takes only the good image: any other commit bricks it.
crc=$(python3 -c 'import sys, zlib; print("0x%08X" % zlib.crc32(open(sys.argv[1], "rb").read()))' \
      "$W/good.bin")
cat > "$W/fit.toml" <<EOF
clock = "realtime"
[[drives]]
id = "writer"
vendor = "MERIDOX"
product = "DVR-RW 1616 SUPR"
revision = "1B05"
new_revision = "1B10"
medium = false
image_size = 32768
image_crc32 = $crc
EOF
cat > "$W/drive-server" <<'EOF'
#!/bin/sh
# Serves the scenario's drive; its records land in the machine's /run/fleet/drive.
cd /data && sh ./zorbel-tcmu-up.sh -m /data -o "$FLEET_ROOT/run/fleet/drive" -b /data/zorbel-tcmu \
  /data/fit.toml && : > /tmp/drive-ready
EOF
mods=$("$PEER/tcmu-modules.sh" "$W/mods") || { echo "FAIL: the target's modules"; exit 1; }
cp "$TCMU" "$W/zorbel-tcmu" && cp "$TCMU_UP" "$W/zorbel-tcmu-up.sh" || exit 1

D=$W/vms
# SSH's connection sockets want a short path (a socket's name has at most 107 bytes).
CP=$(mktemp -d "${TMPDIR:-/tmp}/fleet-cp.XXXXXX") || exit 1
trap '"$VM" stop "$D" vm-fit vm-other vm-none >/dev/null 2>&1; rm -rf "$CP"' EXIT
"$VM" prepare "$D" || { echo "FAIL: preparing the VMs"; exit 1; }
# shellcheck disable=SC2086
"$VM" start "$D" vm-fit "served:$W/drive-server" "$W/fit.toml" "$W/zorbel-tcmu" \
  "$W/zorbel-tcmu-up.sh" $mods || exit 1
FLEET_VM_QEMU_ARGS="-D $D/qemu-trace.log -trace enable=scsi_disk_new_request" \
  "$VM" start "$D" vm-other qemu:ver=1A05 || exit 1
"$VM" start "$D" vm-none none || exit 1
"$VM" wait "$D" vm-fit vm-other vm-none --bound 150
check "the three machines answer SSH" [ $? = 0 ]
echo "machines up after $((SECONDS - start)) s"
ghost_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{ "$VM" inventory "$D" vm-fit vm-other vm-none
  echo "ghost ansible_host=127.0.0.1 ansible_port=$ghost_port ansible_user=root"; } > "$W/inventory"

# ---- the runs -----------------------------------------------------------------
fleet() {  # fleet NAME PROGRAM [ARGS...]: the documented command; leaves NAME.log, NAME.json, NAME.rc
  local t0=$SECONDS name=$1 program=$2
  shift 2
  ANSIBLE_CONFIG=$REPO/examples/fleet/ansible.cfg ZORBEL_FLEET_SUMMARY=$W/$name.json \
    ANSIBLE_SSH_CONTROL_PATH_DIR=$CP ANSIBLE_LOCAL_TEMP=$W/tmp \
    ansible-playbook -i "$W/inventory" "$REPO/examples/fleet/fleet.yml" \
      -e zorbel_program="$W/$program" -e zorbel_probe="$W/zorbel-probe" -e zorbel_pack="$PACK" "$@" \
      > "$W/$name.log" 2>&1
  echo $? > "$W/$name.rc"
  echo "$name: ansible-playbook exit status $(cat "$W/$name.rc") after $((SECONDS - t0)) s"
}
# One line per machine from the summary: host state exit-statuses revision-after
summary() {
  python3 - "$W/$1.json" <<'EOF' 2>/dev/null
import json, sys
for h in json.load(open(sys.argv[1]))["hosts"]:
    runs = ",".join(str(r["exit_status"]) for r in h.get("runs") or []) or "-"
    after = ",".join(sorted((h.get("revisions_after") or {}).values())) or "-"
    print(h["host"], h["state"].replace(" ", "_"), "failed" if h["failed"] else "ok", runs, after,
          (h.get("why") or "").replace(" ", "_") or "-")
EOF
}
line() { grep "^$2 " <<<"$1"; }
drive() { "$VM" ssh "$D" vm-fit cat /run/fleet/drive/summary.txt 2>/dev/null; }
# Every command QEMU's drive received (virtio-scsi requests), as "opcode ..." lines.
qemu_commands() {
  grep -oE 'scsi_disk_new_request .*data= [0-9a-fx ]+' "$D/qemu-trace.log" 2>/dev/null |
    sed -E 's/.*data= //; s/0x//g' | tr 'A-F' 'a-f'
}

# A program that carries no firmware and the stand-in profiles never leaves the controller.
fleet unfilled zorbel-static
check "unfilled: refused on the controller before any machine is reached" \
  eval '[ "$(cat "$W/unfilled.rc")" = 2 ] && grep -q "stand-in flash profiles" "$W/unfilled.log" &&
        ! grep -q "Reach the machine" "$W/unfilled.log"'

fleet good zorbel-good
s=$(summary good)
check "good: the playbook exits 0" [ "$(cat "$W/good.rc")" = 0 ]
check "good: vm-fit updated, exit status 0, the drive now 1B10" \
  [ "$(line "$s" vm-fit)" = "vm-fit updated ok 0 1B10 -" ]
check "good: vm-other reported, its drive not for this package" \
  [ "$(line "$s" vm-other)" = "vm-other no_drive_for_this_package ok - - -" ]
check "good: vm-none reported with no optical drive" \
  [ "$(line "$s" vm-none)" = "vm-none no_optical_drive ok - - -" ]
check "good: ghost reported unreachable, not failed" \
  eval '[[ "$(line "$s" ghost)" == "ghost unreachable ok - - "*Connection_refused* ]]'
check "good: the summary is printed, one line per machine" \
  eval '[ "$(sed -n "/ZORBEL FLEET SUMMARY/,\$p" "$W/good.log" | grep -cE "^(vm-fit|vm-other|vm-none|ghost) ")" = 4 ]'
d=$(drive)
check "good: the drive received one commit, took it and reports 1B10" \
  eval 'grep -qx "writer: commits 1" <<<"$d" && grep -qx "writer: commit 1 0x.. good" <<<"$d" &&
        grep -q "^writer: identity .* \"1B10\"$" <<<"$d" && grep -qx "writer: bricked no" <<<"$d"'

# The same package again, on the machine it updated only.
fleet again zorbel-good -e zorbel_fleet_hosts=vm-fit
s=$(summary again)
check "again: the playbook exits 0 and vm-fit is up to date" \
  eval '[ "$(cat "$W/again.rc")" = 0 ] && [ "$(line "$s" vm-fit)" = "vm-fit up_to_date ok - - -" ]'
d=$(drive)
check "again: the drive received no further commit" grep -qx "writer: commits 1" <<<"$d"

fleet bad zorbel-bad
s=$(summary bad)
check "bad: the playbook exits 2" [ "$(cat "$W/bad.rc")" = 2 ]
check "bad: vm-fit failed with the program's exit status 1 and its standard error kept" \
  eval '[[ "$(line "$s" vm-fit)" == "vm-fit failed failed 1 "* ]] &&
        python3 -c "import json,sys; h=[h for h in json.load(open(sys.argv[1]))[\"hosts\"] if h[\"host\"]==\"vm-fit\"][0]; sys.exit(not h[\"runs\"][0][\"stderr\"])" "$W/bad.json"'
check "bad: the run stopped before vm-other, which is reported not updated" \
  [ "$(line "$s" vm-other)" = "vm-other not_updated ok - - the_run_stopped_before_this_machine" ]
check "bad: vm-none and ghost still reported, not failed" \
  eval '[ "$(line "$s" vm-none)" = "vm-none no_optical_drive ok - - -" ] &&
        [[ "$(line "$s" ghost)" == "ghost unreachable ok "* ]]'
d=$(drive)
check "bad: the drive received exactly one more commit (never retried), which bricked it" \
  eval 'grep -qx "writer: commits 2" <<<"$d" && grep -q "^writer: commit 2 0x.. bricked" <<<"$d" &&
        grep -qx "writer: bricked yes" <<<"$d"'
q=$(qemu_commands)
check "QEMU's drive received commands (its trace works)" [ "$(grep -c . <<<"$q")" -gt 5 ]
check "QEMU's drive never received a flash command: no update reached vm-other" \
  eval '! grep -qE "^(3b|3c|df) " <<<"$q"'

"$VM" stop "$D" vm-fit vm-other vm-none
if [ $fail != 0 ]; then
  for r in unfilled good again bad; do echo "--- $r ---"; tail -40 "$W/$r.log"; done
  echo "--- vm-fit's drive ---"; drive
  for v in vm-fit vm-other vm-none; do echo "--- $v console ---"; tail -5 "$D/$v/console.log"; done
fi
echo "$pass passed, $fail failed in $((SECONDS - start)) s"
[ $fail = 0 ]
