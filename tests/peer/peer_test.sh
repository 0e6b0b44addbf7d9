#!/usr/bin/env bash
# zorbel against a real Linux kernel: the console-only static zorbel, packed with
# test packages, runs in a throwaway QEMU VM (../shared/qemu-peer beside the
# repository) once per controller: IDE, AHCI and virtio-scsi. Each boot runs four
# cases in order:
#   unattended  root, a package that fits, no answers at all: the notice is
#            declined, nothing reaches the drive and the program exits 3
#   refused  root; a package for another drive: the exact refusal, listing the
#            drive with its node, address, identity and revision
#   nogroup  a user outside the drive's group: which node and what access is
#            missing, said before the refusal
#   cdrom    a user in group cdrom, a package that fits, a fresh disc in a tray
#            locked as desktop systems lock it: the disc and tray check ejects
#            the disc, the person takes it out and the tray is loaded again; the
#            update then fails cleanly (exit 1), because QEMU's drive has no
#            firmware buffer
#   root     the same update attempt as root, with its own fresh disc
#   mounted  root, a fresh disc mounted: the drive is refused before anything
#            can move its tray (QEMU's trace shows no START STOP UNIT, no
#            PREVENT ALLOW MEDIUM REMOVAL and no WRITE BUFFER while it runs)
#   sgheld   root, another process has /dev/sg0 open: refused likewise
#   sigterm  root, SIGTERM once the drive is held (its media polling paused),
#            while the disc check waits for the person: no commit, polling back
#            to its value, exit 1 with one line naming the signal
# QEMU's own trace of the ATAPI/SCSI packets shows that every eject followed an
# unlock, that image blocks were offered and that no commit was ever sent.
#
# The person is simulated on the host and never races the program: the program
# reads its answers on standard input, relayed from a fourth serial port (a
# pipe, not a terminal: the answers are words, one a line), and the person
# gives the answer
# to "Please remove the disc." only after QEMU's monitor has confirmed that the
# disc is out. A case is a line of CASES below plus its commands in the VM's
# cases script.
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
# The VM's kernel mounts a disc once it has its ISO 9660 module.
cp "$PEER_WORK/build/kernel/lib/modules/$(cat "$PEER_WORK/build/kver")/kernel/fs/isofs/isofs.ko" \
  "$W/isofs.ko" 2>/dev/null || : > "$W/isofs.ko"
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
# Profiles that are not the stand-ins, so the real program starts; QEMU's drive
# never answers the chip identification, so none of them is ever sent.
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"
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
  "$PACK" fill "$ZORBEL" "$W/$1.toml" -o "$W/$1" --profiles "$W/profiles.bin" >/dev/null || { echo "FAIL: packing $1"; exit 1; }
}

# The VM side: ttyS3 is the person's line. Before each case the script says
# "ready NAME" and waits for "go"; then the program reads the person's answers
# through a pipe, one a line, until ^D ends them.
cat > "$W/cases.sh" <<'EOF'
#!/bin/sh
exec 3<>/dev/ttyS3
stty -F /dev/ttyS3 -echo -opost
mkfifo /tmp/answers
gate() { echo "ready $1" >&3; until read -r go <&3 && [ "$go" = go ]; do :; done; }
run() {
  name=$1; shift; echo "=== begin $name"
  # A line as soon as it comes (cat would hold it back until the end).
  while IFS= read -r line <&3; do printf '%s\n' "$line"; done > /tmp/answers & relay=$!
  "$@" < /tmp/answers 2>&1; rc=$?
  kill $relay 2>/dev/null; wait $relay 2>/dev/null
  echo "=== end $name rc=$rc"
}
gate unattended; run unattended /data/zorbel-fits; /probe mark /dev/sg0
gate refused; run refused /data/zorbel-refused
gate nogroup; run nogroup /bin/runas 1000 1000 /data/zorbel-fits
gate cdrom; /probe lock-tray /dev/sg0; run cdrom /bin/runas 1000 24 /data/zorbel-fits
gate root; /probe lock-tray /dev/sg0; run root /data/zorbel-fits
gate mounted; mkdir -p /mnt; insmod /data/isofs.ko 2>/dev/null
i=0; until mount -t iso9660 -o ro /dev/sr0 /mnt 2>/dev/null || [ $i -ge 50 ]; do sleep 0.2; i=$((i + 1)); done
grep -q " /mnt " /proc/mounts && echo "disc mounted"
/probe mark /dev/sg0; run mounted /data/zorbel-fits; /probe mark /dev/sg0
umount /mnt
gate sgheld; sleep 600 7<>/dev/sg0 & holder=$!; run sgheld /data/zorbel-fits; kill $holder
gate sigterm; echo "=== begin sigterm"
poll=/sys/block/sr0/events_poll_msecs
echo "polling before: $(cat $poll)"
while IFS= read -r line <&3; do printf '%s\n' "$line"; done > /tmp/answers & relay=$!
/data/zorbel-fits < /tmp/answers 2>&1 & pid=$!
i=0; while [ "$(cat $poll)" != 0 ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
echo "polling while held: $(cat $poll)"
kill -TERM $pid; wait $pid; rc=$?
kill $relay 2>/dev/null; wait $relay 2>/dev/null
echo "polling afterwards: $(cat $poll)"
echo "=== end sigterm rc=$rc"
EOF

# The host side, one line a case: its name, "fresh" when the person puts a new
# disc in first (and waits for QEMU to confirm it), then the answers it gives.
# "@remove" waits until the program asks for the disc to be taken out, takes it
# out through QEMU's monitor and waits for QEMU's confirmation. After the
# answers the person ends the program's input.
CASES=(
  "unattended -"
  "refused -"
  "nogroup -"
  "cdrom fresh yes update @remove ok"
  "root fresh yes update @remove ok"
  "mounted fresh yes update"
  "sgheld - yes update"
  "sigterm - yes update @remove ok"
)

section() { awk -v n="$2" '$0 == "=== begin " n {on = 1; next} /^=== end / {on = 0} on' <<<"$1"; }

# ---- the person ---------------------------------------------------------------
qmp() {  # qmp JSON: sends a monitor command, logs everything up to its answer
  local line
  echo "$1" >&3 || return 1
  while IFS= read -r -t 60 line <&3; do
    echo "$line" >> "$qmplog"
    case $line in '{"return"'*) return 0 ;; '{"error"'*) return 1 ;; esac
  done
  return 1
}

person() {  # person PORT OUT ISO
  local port=$1 out=$2 iso=$3 entry name disc words word line asked=0 i
  qmplog=$out/qmp.log
  note() { echo "# $*" >> "$qmplog"; }
  exec 4<>"$out/person.in" 5<>"$out/person.out"
  for i in $(seq 300); do
    { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null && break
    sleep 0.1
  done
  qmp '{"execute":"qmp_capabilities"}' || { note "no monitor"; return; }
  for entry in "${CASES[@]}"; do
    read -r name disc words <<<"$entry"
    IFS= read -r -t 120 line <&5 || { note "$name: the VM never asked for it"; return; }
    [ "${line%$'\r'}" = "ready $name" ] || note "$name: the VM asked for '${line%$'\r'}'"
    if [ "$disc" = fresh ]; then
      if qmp '{"execute":"blockdev-change-medium","arguments":{"device":"cd","filename":"'"$iso"'","format":"raw"}}'; then
        note "$name: disc in"
      else
        note "$name: no disc put in"
      fi
    fi
    printf 'go\n' >&4
    for word in $words; do
      if [ "$word" != @remove ]; then printf '%s\n' "$word" >&4; continue; fi
      asked=$((asked + 1))
      for i in $(seq 1200); do  # asked to take the disc out (of an open tray or by hand)
        [ "$(grep -cxE "Please remove the disc( manually)?[.]" "$out/stdout.txt" 2>/dev/null)" -ge $asked ] &&
          break
        grep -qx "=== end $name rc=.*" "$out/stdout.txt" 2>/dev/null && break
        sleep 0.1
      done
      if qmp '{"execute":"eject","arguments":{"device":"cd","force":true}}'; then
        note "$name: disc out"
      else
        note "$name: disc not taken out"
      fi
    done
    printf '\004' >&4
  done
  cat <&3 >> "$qmplog"  # the monitor's last events, until QEMU ends
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
    rm -f "$out/person.in" "$out/person.out" "$out/stdout.txt"
    mkfifo "$out/person.in" "$out/person.out" || exit 1
    person "$port" "$out" "$PEER_WORK/build/disc.iso" & local helper=$!
    PEER_OUT=$out PEER_TIMEOUT=240 PEER_CD_PROPS=$props \
      PEER_FILES="$W/zorbel-fits $W/zorbel-refused $W/cases.sh $W/isofs.ko" \
      PEER_QEMU_ARGS="-qmp tcp:127.0.0.1:$port,server=on,wait=off -D $out/trace.log \
        -trace enable=ide_atapi_cmd_packet -trace enable=scsi_disk_new_request \
        -chardev pipe,id=person,path=$out/person -device isa-serial,chardev=person,iobase=0x2e8,irq=7" \
      "$PEER/run-peer.sh" "$PEER_SHELL" iso "$ctrl" > /dev/null 2> "$out/run.err"
    rc=$?
    for i in $(seq 50); do kill -0 "$helper" 2>/dev/null || break; sleep 0.1; done
    kill "$helper" 2>/dev/null; wait "$helper" 2>/dev/null
    [ "$rc" = 125 ] || break
  done
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" -v c="$ctrl" 'BEGIN { printf "%s: VM run %.1f s\n", c, b - a }'
  check "$ctrl: the VM ran the cases" [ "$rc" = 0 ]
  local all; all=$(cat "$out/stdout.txt" 2>/dev/null)
  local unattended refused nogroup update root mounted sgheld sigterm
  mounted=$(section "$all" mounted); sgheld=$(section "$all" sgheld)
  sigterm=$(section "$all" sigterm)
  unattended=$(section "$all" unattended)
  refused=$(section "$all" refused); nogroup=$(section "$all" nogroup)
  update=$(section "$all" cdrom); root=$(section "$all" root)
  local line
  line="$(printf '%2d-%d-%d-%d ' ${address//:/ })sr0 $(printf '%-8s%-16s %s' "$vendor" "$product" "$rev")"

  check "$ctrl: with no answers the notice is declined and the program exits 3" \
    eval 'contains "$unattended" "Answer: [&No] (end of input: Escape)" &&
          lacks "$unattended" "> press" && contains "$all" "=== end unattended rc=3"'
  check "$ctrl: refused drive listed with node, address, identity and revision" \
    contains "$refused" "No matched drive detected !
This utility is only for OTHER MAKER DVD drive.

Detected drives :
$line"
  check "$ctrl: nothing else refused the drive" \
    eval 'lacks "$refused" "Cannot open" && contains "$all" "=== end refused rc=3"'


  check "$ctrl: a user outside the group is told which node and what access is missing" \
    contains "$nogroup" "Cannot open the optical drive sr0: /dev/sg0: Permission denied.
Updating a drive needs read and write access to /dev/sg0: run zorbel as root, or as a member of group 24."
  check "$ctrl: ... before the no-matched-drive message, which lists no drive" \
    before "$nogroup" "Permission denied" "No matched drive detected !
This utility is only for ZORBEL PEER DRIVE drive.

Detected drives :
"
  check "$ctrl: ... and the drive cannot be listed" lacks "$nogroup" "$line"

  check "$ctrl: a member of group cdrom sees the fitting drive with old and new revision, answering on stdin" \
    eval 'contains "$update" "$line" && contains "$update" "1B10" &&
          contains "$update" "Answer: [&Yes] (standard input)" &&
          lacks "$update" "Cannot open" && lacks "$update" "CAP_SYS_RAWIO"'
  check "$ctrl: the tray was locked before each update" \
    [ "$(grep -cx "tray locked" <<<"$all")" = 2 ]
  check "$ctrl: the disc check ejects the disc from the locked tray, once in each update" \
    eval '[ "$(grep -cxF "Please remove the disc." <<<"$update")" = 1 ] &&
          [ "$(grep -cxF "Please remove the disc." <<<"$root")" = 1 ]'
  check "$ctrl: ... never claims the tray is locked" \
    eval 'lacks "$update" "Unable to eject" && lacks "$root" "Unable to eject"'
  check "$ctrl: ... takes the disc out through the monitor each time" \
    eval 'grep -qx "# cdrom: disc out" "$out/qmp.log" && grep -qx "# root: disc out" "$out/qmp.log"'
  # After a fresh disc the first tray event is the program's eject, and after
  # the person took the disc out the next one is the program's load.
  local trays; trays=$(awk '/^# / {print; next} /DEVICE_TRAY_MOVED/ {print (/"tray-open": true/ ? "out" : "in")}' \
                       "$out/qmp.log" 2>/dev/null)
  check "$ctrl: ... and the tray went out and came back in" \
    eval 'lacks "$update" "Please push the tray in." && lacks "$root" "Please push the tray in." &&
          [ "$(awk "/^# (cdrom|root): disc (in|out)/ {m = \$0; next} m != \"\" && !/^#/ {print m \" \" \$0; m = \"\"}" <<<"$trays" |
              tr "\n" ";")" = "# cdrom: disc in out;# cdrom: disc out in;# root: disc in out;# root: disc out in;" ]'
  check "$ctrl: the update fails cleanly" \
    eval 'contains "$update" "Unable to flash firmware. Please contact with your vendor !" &&
          contains "$all" "=== end cdrom rc=1"'
  check "$ctrl: root gets the same update attempt" \
    eval 'contains "$root" "$line" && lacks "$root" "Cannot open" &&
          contains "$root" "Unable to flash firmware. Please contact with your vendor !" &&
          contains "$all" "=== end root rc=1"'

  # The drive saw image blocks (WRITE BUFFER mode 5, code 0) but never a commit
  # (code 0x80 or 0xA0 in byte 9).
  local packets; packets=$(grep -oiE '(packet: |data= )[0-9a-fx ]+' "$out/trace.log" 2>/dev/null |
                           sed -E 's/^(packet: |data= )//; s/0x//g; s/ +/ /g; s/^ //' | tr 'A-F' 'a-f')
  check "$ctrl: QEMU saw the tray locked, and three ejects (cdrom, root, sigterm), each right after an unlock" \
    eval 'grep -qE "^1e 00 00 00 01" <<<"$packets" &&
          [ "$(awk "/^1e 00 00 00 00/ {u = 1} /^1b 00 00 00 02/ {printf \"%d\", u; u = 0}" <<<"$packets")" = 111 ]'
  check "$ctrl: QEMU saw no WRITE BUFFER before the unattended case's end" \
    eval 'grep -qE "^12 00 00 00 10 00" <<<"$packets" &&
          [ -z "$(sed -n "/^12 00 00 00 10 00/q; /^3b /p" <<<"$packets")" ]'
  check "$ctrl: QEMU saw the image blocks offered" grep -qE '^3b 05 01 00 00 00 00 40 00 00' <<<"$packets"
  check "$ctrl: ... and no commit" eval '! grep -qE "^3b 05 01( [0-9a-f]{2}){6} (80|a0)" <<<"$packets"'
  check "$ctrl: ... while QEMU's trace saw commands at all" [ "$(wc -l <<<"$packets")" -gt 20 ]

  # The run holds its drive first.
  check "$ctrl: a mounted disc: the drive is refused with one line, before its tray moves" \
    eval 'contains "$all" "disc mounted" &&
          contains "$mounted" "zorbel: sr0: the drive is in use (a mounted disc, or another program holds /dev/sr0)" &&
          contains "$mounted" "nothing was written to it and its tray was not moved." &&
          lacks "$mounted" "Please remove the disc" && contains "$all" "=== end mounted rc=1"'
  check "$ctrl: ... QEMU saw no START STOP UNIT, PREVENT ALLOW MEDIUM REMOVAL or WRITE BUFFER meanwhile" \
    eval '[ "$(awk "/^12 00 00 00 10 00/ {m++; next} m == 2" <<<"$packets" | grep -cE "^(1b|1e|3b) ")" = 0 ] &&
          [ "$(grep -cE "^12 00 00 00 10 00" <<<"$packets")" = 3 ]'
  check "$ctrl: another process holding /dev/sg0: refused likewise" \
    eval 'contains "$sgheld" "zorbel: sr0: the drive is in use (another program has /dev/sg0 open)" &&
          lacks "$sgheld" "Please remove the disc" && contains "$all" "=== end sgheld rc=1"'
  local before; before=$(sed -n 's/^polling before: //p' <<<"$sigterm")
  check "$ctrl: SIGTERM during the update: exit 1, one line, polling back to its value ($before)" \
    eval 'contains "$sigterm" "polling while held: 0" &&
          contains "$sigterm" "zorbel: stopped by SIGTERM: no image block and no commit went to a drive after it." &&
          [ -n "$before" ] && contains "$sigterm" "polling afterwards: $before" &&
          lacks "$sigterm" "Firmware has been updated" && contains "$all" "=== end sigterm rc=1"'
  if [ $fail != 0 ]; then
    echo "--- $ctrl output (stdout.txt) ---"; cat "$out/stdout.txt" 2>/dev/null
    echo "--- $ctrl harness ---"; cat "$out/run.err"; tail -5 "$out/console.log" 2>/dev/null
    echo "--- $ctrl person and monitor ---"; grep -E '^# |TRAY' "$out/qmp.log" 2>/dev/null
  fi
}

start=$(date +%s)
run_controller ide "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "0:0:0:0"
run_controller ahci "ver=1A05" "QEMU" "QEMU DVD-ROM" "1A05" "2:0:0:0"
run_controller virtio "vendor=MERIDOX,product=DVR-RW 1616 SUPR,ver=1B05" \
  "MERIDOX" "DVR-RW 1616 SUPR" "1B05" "2:0:0:0"
echo "$pass passed, $fail failed in $(( $(date +%s) - start )) s"
[ $fail = 0 ]
