#!/usr/bin/env bash
# zorbel against a real Linux kernel with drives that have a firmware buffer:
# the simulated drives of a scenario are served through the kernel's own SCSI
# target (zorbel-tcmu behind the loopback host, made by zorbel-tcmu-up.sh in a
# throwaway QEMU VM), so the kernel's sr and sg drivers, SG_IO, the kernel's
# command time-out and its media polling all stand between the static zorbel
# and the drive. One boot, one drive per case, each run in order:
#   update      root, a package that fits: the whole update succeeds (one good
#               commit, the new revision in the program's list and in
#               zorbel-probe afterwards), and between the first image block and
#               the commit the drive receives only the program's own commands
#   lostcommit  the drive takes the commit but its answer comes only after the
#               kernel's time-out: the kernel ends the command for the program;
#               a failure is reported (exit 1), no second commit is sent and the
#               drive is not bricked
#   lostblock   the same for the tenth image block: the run goes on safely (the
#               image is sent again and read back) and commits only a whole one
#   group       a member of group cdrom updates: what the kernel sends the drive
#               between the first image block and the commit is counted
#   brick       a drive whose commit bricks it answers nothing useful afterwards:
#               the program must report the failure
#   stormblocks SIGTERM, SIGHUP and SIGINT together every millisecond from the
#               first (slow) image block on: the run stops, no block twice
#   stormcommit the same during a slow commit: exactly one commit, every block
#               and read-back once
#   held        zorbel-probe during the update sends nothing to the drive; the
#               update is then killed (SIGKILL): the kernel's polling comes back
#   oldrev      a drive that runs its new firmware only from its next start and
#               restarts without becoming ready: the kernel must hand its reset
#               unit attention to the program, the only sign that it restarted
# The drives' own record (zorbel-tcmu's trace and summary) is the evidence.
#
# usage: tcmu_peer_test.sh ZORBEL_STATIC ZORBEL_PACK PEER_SHELL ZORBEL_TCMU ZORBEL_PROBE_STATIC REPO WORKDIR
set -uo pipefail
ZORBEL=$1 PACK=$2 PEER_SHELL=$3 TCMU=$4 PROBE=$5 REPO=$6 W=$7

PEER=$(cd "$REPO/../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $REPO/../shared/qemu-peer not found"; exit 77; }
[ -x "$PEER/tcmu-modules.sh" ] || { echo "SKIP: $PEER has no tcmu-modules.sh"; exit 77; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}
if [ ! -f "$PEER_WORK/build/base.cpio" ] || [ ! -f "$PEER_WORK/build/vmlinuz" ]; then
  if [ "$(id -u)" != 0 ] && ! command -v qemu-system-x86_64 >/dev/null; then
    echo "SKIP: the VM is not set up and setting it up needs root"; exit 77
  fi
  "$PEER/setup.sh" || { echo "FAIL: $PEER/setup.sh"; exit 1; }
fi

rm -rf "$W" && mkdir -p "$W/mods" || exit 1
pass=0; fail=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "PASS $name"; else fail=$((fail + 1)); echo "FAIL $name"; fi
}
contains() { [[ "$1" == *"$2"* ]]; }
lacks() { [[ "$1" != *"$2"* ]]; }
section() { awk -v n="$2" '$0 == "=== begin " n {on = 1; next} /^=== end / {on = 0} on' <<<"$1"; }

mods=$("$PEER/tcmu-modules.sh" "$W/mods" | tr '\n' ' ') || { echo "FAIL: tcmu-modules.sh"; exit 1; }
# The VM's initramfs carries every file: without their debug sections they load faster.
for p in "$TCMU" "$PROBE"; do strip -o "$W/$(basename "$p" | sed 's/-static$//')" "$p" || exit 1; done
cp "$REPO/tools/zorbel-tcmu/zorbel-tcmu-up.sh" "$W/" || exit 1

# ---- the drives and their packages -----------------------------------------------
# A 1 MiB image (64 blocks), every block different, that each drive expects exactly.
awk 'BEGIN { for (b = 0; b < 64; b++) for (i = 0; i < 1024; i++) printf "b%02d-%011d\n", b, i }' \
  > "$W/image.bin"
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"
drive() {  # drive ID PRODUCT [TOML...]: a drive of the scenario
  cat >> "$W/scenario.toml" <<TOML

[[drives]]
id = "$1"
vendor = "ZORBEL"
product = "$2"
revision = "1A05"
new_revision = "1B10"
image_file = "image.bin"
${3:-}
TOML
}
: > "$W/scenario.toml"
drive update "TCMU UPDATE"
drive lostcommit "TCMU LOSTCOMMIT" '[[drives.faults]]
kind = "lost_reply"
opcode = 0x3B
code = 0x80'
drive lostblock "TCMU LOSTBLOCK" '[[drives.faults]]
kind = "lost_reply"
opcode = 0x3B
code = 0x00
nth = 10'
drive group "TCMU GROUP"
drive brick "TCMU BRICK" 'image_crc32 = 0x00000000'
drive stormblocks "TCMU STORMBLOCKS" '[drives.latency]
per_byte_ns = 20000'
drive stormcommit "TCMU STORMCOMMIT" '[drives.latency]
commit_ms = 1500'
drive held "TCMU HELD" '[drives.latency]
per_byte_ns = 5000'
drive oldrev "TCMU OLDREV" 'restart_polls = 0'
sed -i '/^id = "oldrev"/,/^image_file/{/^new_revision/d}' "$W/scenario.toml"

package() {  # package NAME PRODUCT: a package that fits drive NAME, updating by itself
  local product; product=$(printf '%-16s' "$2")
  cat > "$W/$1.toml" <<TOML
title = "Zorbel kernel target check"
supported_drives = "ZORBEL $2"
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
product = "$product"
TOML
  "$PACK" fill "$ZORBEL" "$W/$1.toml" -o "$W/zorbel-$1" --profiles "$W/profiles.bin" >/dev/null ||
    { echo "FAIL: packing $1"; exit 1; }
  strip "$W/zorbel-$1"
}
package update "TCMU UPDATE"
package lostcommit "TCMU LOSTCOMMIT"
package lostblock "TCMU LOSTBLOCK"
package group "TCMU GROUP"
package brick "TCMU BRICK"
package stormblocks "TCMU STORMBLOCKS"
package stormcommit "TCMU STORMCOMMIT"
package held "TCMU HELD"
package oldrev "TCMU OLDREV"

# The kernel ends a command the drive leaves unanswered after 2 s; it polls
# the drives' media every 100 ms, so that polling the program does not pause
# shows between its image blocks and its commit.
cat > "$W/cases.sh" <<'CASES'
#!/bin/sh
run() { name=$1; shift; echo "=== begin $name"; "$@" 2>&1; echo "=== end $name rc=$?"; }
run up sh /data/zorbel-tcmu-up.sh -m /data -t 2 -p 100 /data/scenario.toml
for d in update lostcommit lostblock; do run $d /data/zorbel-$d; done
run group /bin/runas 1000 24 /data/zorbel-group
run brick /data/zorbel-brick
T=/tmp/zorbel-tcmu/trace.txt
await() { i=0; until grep -q "$1" $T || [ $i -ge 5000 ]; do usleep 1000; i=$((i + 1)); done; }
stormed() {  # stormed DRIVE TEXT MS: its update, stormed by signals from its next command after TEXT
  /data/zorbel-$1 & p=$!
  await "$1: $2"; /probe storm $p $3
  wait $p
}
run stormblocks stormed stormblocks "3B 05 01 00 00 00 00 40 00 00" 1000
run stormcommit stormed stormcommit "3C 01 01 0F C0 00 00 40 00 00" 2500
killed() {  # the probe during the update of drive held, then the update killed
  sr=$(grep -l "TCMU HELD" /sys/block/sr*/device/model | cut -d/ -f4)
  /data/zorbel-held & p=$!
  await "held: 3B 05 01 00 00 00 00 40 00 00"; /data/zorbel-probe
  echo "probe ended $(cut -d' ' -f1 /proc/uptime)"
  kill -9 $p; wait $p; sleep 1
  echo "polling now $(cat /sys/block/$sr/events_poll_msecs)"
}
run held killed
run oldrev /data/zorbel-oldrev
run probe /data/zorbel-probe
run down sh /data/zorbel-tcmu-up.sh -d
run summary cat /tmp/zorbel-tcmu/summary.txt
run trace cat /tmp/zorbel-tcmu/trace.txt
CASES

t0=$(date +%s.%N)
PEER_OUT=$W/out PEER_TIMEOUT=240 \
  PEER_FILES="$mods $W/zorbel-tcmu $W/zorbel-tcmu-up.sh $W/zorbel-probe $W/scenario.toml $W/image.bin
              $W/cases.sh $W/zorbel-update $W/zorbel-lostcommit $W/zorbel-lostblock $W/zorbel-group
              $W/zorbel-brick $W/zorbel-stormblocks $W/zorbel-stormcommit $W/zorbel-held
              $W/zorbel-oldrev" \
  "$PEER/run-peer.sh" "$PEER_SHELL" none ide > /dev/null 2> "$W/run.err"
rc=$?
t1=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" 'BEGIN { printf "VM run %.1f s\n", b - a }'
check "the VM ran the cases" [ "$rc" = 0 ]
all=$(tr -d '\r' < "$W/out/stdout.txt" 2>/dev/null)
up=$(section "$all" up); summary=$(section "$all" summary); trace=$(section "$all" trace)
section "$all" trace > "$W/trace.txt"

node() { awk -v d="$1" '$1 == d { sub("/dev/", "", $2); print $2 }' <<<"$up"; }
check "every drive is served as an optical drive with sr and sg nodes" \
  eval '[ "$(grep -cE "^[a-z]+ /dev/sr[0-9]+ /dev/sg[0-9]+ [0-9]+:0:1:[0-9]+$" <<<"$up")" = 9 ]'
commands() { grep -E "^[0-9.]+ $1: " <<<"$trace"; }           # commands DRIVE
has() { grep -qE "$2" <<<"$(commands "$1")"; }                # has DRIVE REGEX
commits() { grep -cE "^[0-9.]+ $1: commit " <<<"$trace"; }   # commits DRIVE
# Commands after the first image block (offset 0, code 00) up to the first commit.
between() {
  commands "$1" | awk '/ 3B 05 01 00 00 00 00 40 00 00 00 00 / {on = 1} on && / 3B 05 01 .. .. .. .. .. .. (80|A0) 00 00 / {exit} on'
}
foreign() { between "$1" | grep -vE "^[0-9.]+ $1: 3[BC] " || true; }

# ---- the whole update, as root ----
update=$(section "$all" update)
line=" 2-0-1-0 $(node update) ZORBEL  TCMU UPDATE      "
check "update: the program lists the drive and updates it from 1A05 to 1B10" \
  eval 'contains "$update" "${line}1A05" && contains "$update" "It will be updated from 1A05 to 1B10"'
check "update: success is reported and the program exits 0" \
  eval 'contains "$update" "Firmware has been updated successfully !" &&
        contains "$all" "=== end update rc=0"'
check "update: the drive took exactly one commit, a good one, and runs 1B10" \
  eval 'contains "$summary" "update: commits 1" && contains "$summary" "update: commit 1 0x80 good" &&
        contains "$summary" "update: identity \"ZORBEL  \" \"TCMU UPDATE     \" \"1B10\""'
check "update: the program's list shows the new revision afterwards" \
  contains "$update" "${line}1B10"
check "update: zorbel-probe reads the new revision from the drive" \
  eval 'contains "$(section "$all" probe)" "  list line  \"${line}1B10\""'
check "update: 64 blocks went out and were read back through the kernel" \
  eval '[ "$(between update | grep -cE " 3B 05 01 .. .. .. 00 40 00 00 00 00 out 16384 -> ok")" = 64 ] &&
        [ "$(between update | grep -cE " 3C 01 01 .. .. .. 00 40 00 00 00 00 in 16384 -> ok")" = 64 ]'
check "update: as root, nothing but the program's commands between the first image block and the commit" \
  eval '[ -z "$(foreign update)" ]'
check "update: ... while the kernel did poll the drive before" \
  has update " 4A 01 00 00 10 "

# ---- a reply lost in the kernel ----
lostcommit=$(section "$all" lostcommit)
check "lostcommit: the kernel ended the commit after its time-out, before the drive answered" \
  has lostcommit " 3B 05 01 00 00 00 00 00 00 80 00 00 none 0 -> transport .* held "
check "lostcommit: the failure is reported and the program exits 1" \
  eval 'contains "$lostcommit" "Unable to flash firmware. Please contact with your vendor !" &&
        lacks "$lostcommit" "updated successfully" && contains "$all" "=== end lostcommit rc=1"'
check "lostcommit: no second commit after the kernel's abort; the drive is not bricked" \
  eval '[ "$(commands lostcommit | grep -cE " 3B 05 01 .. .. .. .. .. .. (80|A0) 00 00 ")" = 1 ] &&
        [ "$(commits lostcommit)" = 1 ] && contains "$summary" "lostcommit: commit 1 0x80 good" &&
        contains "$summary" "lostcommit: bricked no"'

lostblock=$(section "$all" lostblock)
check "lostblock: the kernel ended an image block after its time-out, before the drive answered" \
  has lostblock " 3B 05 01 .. .. .. 00 40 00 00 00 00 out 16384 -> transport .* held "
check "lostblock: the run goes on and ends in one commit of the whole image, or fails without one" \
  eval '{ contains "$all" "=== end lostblock rc=0" && [ "$(commits lostblock)" = 1 ] &&
          contains "$summary" "lostblock: commit 1 0x80 good"; } ||
        { contains "$all" "=== end lostblock rc=1" && [ "$(commits lostblock)" = 0 ]; }'
check "lostblock: the drive is not bricked" contains "$summary" "lostblock: bricked no"

# ---- a member of group cdrom: the kernel's polling goes on ----
group=$(section "$all" group)
check "group: a member of group cdrom updates the drive" \
  eval 'contains "$group" "Firmware has been updated successfully !" &&
        contains "$summary" "group: commit 1 0x80 good"'
kernel=$(foreign group | awk '{ print $3 }' | sort | uniq -c | awk '{ printf "%s%s x%s", sep, $2, $1; sep = ", " }')
echo "group cdrom: the kernel's own commands between the first image block and the commit: ${kernel:-none}"

# ---- a drive that bricks at its commit ----
brick=$(section "$all" brick)
check "brick: the drive bricked at its one commit" \
  eval '[ "$(commits brick)" = 1 ] && contains "$summary" "brick: bricked yes"'
check "brick: the program reports the failure" \
  eval 'contains "$brick" "Unable to flash firmware. Please contact with your vendor !" &&
        lacks "$brick" "updated successfully" && contains "$all" "=== end brick rc=1"'
check "brick: ... quoting what the drive answered after its commit" \
  contains "$brick" "TCMU BRICK 1A05) answered no identity (sense 04/44/00) after its commit"

# ---- termination signals in bursts: no command twice ----
twice() { commands "$1" | grep -E " $2 " | awk '{ print $4, $5, $6, $7, $8, $9, $10, $11, $12 }' | sort | uniq -d; }
blocks() { commands "$1" | grep -cE " $2 "; }
echo "stormblocks: $(section "$all" stormblocks | grep bursts); stormcommit: $(section "$all" stormcommit | grep bursts)"
check "stormblocks: the signals stop the run; no image block reached the drive twice, no commit" \
  eval '[ -z "$(twice stormblocks "3B 05 01")" ] && [ "$(commits stormblocks)" = 0 ] &&
        [ "$(blocks stormblocks "3B 05 01")" -ge 1 ]'
check "stormcommit: exactly one commit, a good one; every block and read-back once" \
  eval '[ "$(commits stormcommit)" = 1 ] && contains "$summary" "stormcommit: commit 1 0x80 good" &&
        contains "$summary" "stormcommit: bricked no" &&
        [ "$(blocks stormcommit "3B 05 01 .. .. .. 00 40 00 00")" = 64 ] && [ -z "$(twice stormcommit "3B 05 01")" ] &&
        [ "$(blocks stormcommit "3C 01 01")" = 64 ] && [ -z "$(twice stormcommit "3C 01 01")" ]'

# ---- our own lock, and the polling's guardian ----
held=$(section "$all" held)
ended=$(grep -ao 'probe ended [0-9.]*' <<<"$held" | awk '{ print $3 }')  # mid-line: the update's progress
check "held: zorbel-probe during the update leaves the drive alone, and says so" \
  eval 'contains "$held" "zorbel-probe: $(node held): another zorbel program is updating this drive" &&
        [ -n "$ended" ] && [ -z "$(between held | awk -v e="$ended" "\$1 < e" | grep -vE "^[0-9.]+ held: 3[BC] ")" ]'
check "held: after SIGKILL mid-update, the kernel's media polling is back" \
  contains "$held" "polling now 100"
# ---- the old revision after a restart the kernel passes on ----
oldrev=$(section "$all" oldrev)
check "oldrev: the drive's reset unit attention reached the program's TEST UNIT READY" \
  has oldrev " 00 00 00 00 00 00 00 00 00 00 00 00 none 0 -> sense 06/29/00 "
check "oldrev: success, and one line says the new firmware takes effect after a restart" \
  eval 'contains "$oldrev" "Firmware has been updated successfully !" &&
        contains "$oldrev" "takes effect after a restart" && contains "$all" "=== end oldrev rc=0"'

if [ $fail != 0 ]; then
  echo "--- output (stdout.txt, without the trace) ---"
  awk '$0 == "=== begin trace" {exit} 1' <<<"$all"
  echo "--- harness ---"; cat "$W/run.err"; tail -5 "$W/out/console.log" 2>/dev/null
  echo "--- the trace is in $W/trace.txt ---"
fi
echo "$pass passed, $fail failed"
[ $fail = 0 ]
