#!/bin/sh
# zorbel-tcmu-up.sh - serve the drives of a zorbel-sim scenario to this Linux
# machine as optical drives, through the kernel's SCSI target (run as root;
# busybox sh is enough):
#   the target modules loaded (from MODDIR when given, else modprobe), configfs
#   mounted, a user backstore per drive (named after its id) with the given
#   command time-out, zorbel-tcmu serving them in the background, then a
#   loopback host with one LUN per drive. Waits until every drive has its sr
#   and sg nodes, gives them to group cdrom (0660) as udev would, sets their
#   media polling when -p is given, and prints one line per drive:
#     ID /dev/srN /dev/sgN H:C:T:L
#
# usage: zorbel-tcmu-up.sh [-m MODDIR] [-t SECONDS] [-p MS] [-o DIR] [-T TRACE] [-b ZORBEL_TCMU] SCENARIO
#        zorbel-tcmu-up.sh -d [-o DIR]     stop serving; the summary is then complete
#   -m  folder with the modules (configfs, crct10dif_common, crct10dif_generic,
#       crc-t10dif, target_core_mod, uio, target_core_user, tcm_loop .ko)
#   -t  the kernel's time-out for one command of each drive (default 30)
#   -p  media polling interval of the new drives in ms (default: the kernel's)
#   -o  where trace.txt, summary.txt and the server's pid go (default /tmp/zorbel-tcmu)
#   -T  the trace elsewhere, e.g. /dev/console as it happens (default DIR/trace.txt)
#   -b  the zorbel-tcmu program (default: beside this script, else on PATH)
# Exit status 0 when every drive appeared; 1 otherwise (the reason on stderr).
set -u
mods= timeout=30 poll= out=/tmp/zorbel-tcmu trace= down=0
server=$(dirname "$0")/zorbel-tcmu
[ -x "$server" ] || server=zorbel-tcmu
while getopts m:t:p:o:T:b:d opt; do
  case $opt in
    m) mods=$OPTARG ;; t) timeout=$OPTARG ;; p) poll=$OPTARG ;; o) out=$OPTARG ;; T) trace=$OPTARG ;;
    b) server=$OPTARG ;; d) down=1 ;; *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
die() { echo "zorbel-tcmu-up: $*" >&2; exit 1; }

if [ $down = 1 ]; then
  pid=$(cat "$out/pid" 2>/dev/null) || die "no server pid in $out/pid"
  kill -TERM "$pid" 2>/dev/null || exit 0
  # The server writes the summary and ends; its pid goes away with it.
  while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  exit 0
fi

scenario=${1:?usage: zorbel-tcmu-up.sh [-m MODDIR] [-t SECONDS] [-p MS] [-o DIR] SCENARIO}
ids=$("$server" "$scenario" --list) || die "cannot read the drives of $scenario"
mkdir -p "$out" || die "cannot make $out"

for m in configfs crct10dif_common crct10dif_generic crc-t10dif target_core_mod uio \
         target_core_user tcm_loop; do
  grep -q "^$(echo $m | tr - _) " /proc/modules && continue
  if [ -n "$mods" ]; then
    [ -f "$mods/$m.ko" ] || continue  # built into this kernel
    insmod "$mods/$m.ko" || die "insmod $mods/$m.ko failed"
  else
    modprobe "$m" 2>/dev/null || true
  fi
done
cfg=/sys/kernel/config
[ -d $cfg/target ] || mount -t configfs configfs $cfg 2>/dev/null
[ -d $cfg/target ] || die "configfs has no target folder ($cfg/target)"

core=$cfg/target/core/user_0
mkdir -p $core || die "cannot make $core"
for id in $ids; do
  [ -e "$core/$id" ] && die "a backstore $id already exists"
  mkdir "$core/$id" || die "cannot make backstore $id"
  echo "dev_config=zorbel/$id" > "$core/$id/control" &&
  echo "dev_size=16777216" > "$core/$id/control" &&
  echo "nl_reply_supported=-1" > "$core/$id/control" &&  # no netlink daemon answers
  echo 1 > "$core/$id/enable" || die "cannot enable backstore $id"
  echo "$timeout" > "$core/$id/attrib/cmd_time_out" || die "cannot set $id's cmd_time_out"
done

pid=$("$server" "$scenario" --background --trace "${trace:-$out/trace.txt}" --summary "$out/summary.txt") ||
  die "zorbel-tcmu did not start"
echo "$pid" > "$out/pid"

# The nexus before the LUNs: linking a LUN scans it at once.
wwn=naa.5001405000000001
tpg=$cfg/target/loopback/$wwn/tpgt_1
mkdir -p "$tpg" || die "cannot make the loopback host"
[ -n "$(cat "$tpg/nexus" 2>/dev/null)" ] || echo naa.5001405000000002 > "$tpg/nexus" ||
  die "cannot make the loopback nexus"
host=$(cut -d: -f1 "$tpg/address" 2>/dev/null)
[ -n "$host" ] || host=$(basename "$(ls -d /sys/class/scsi_host/host* | tail -n 1)" | tr -dc 0-9)
lun=$(ls "$tpg/lun" 2>/dev/null | wc -l)
for id in $ids; do
  mkdir "$tpg/lun/lun_$lun" && ln -s "$core/$id" "$tpg/lun/lun_$lun/$id" ||
    die "cannot link $id to lun $lun"
  addr=$host:0:1:$lun
  # The sr driver attaches in the background: wait (bounded) for both nodes.
  dev=/sys/bus/scsi/devices/$addr
  i=0
  while { [ ! -d "$dev/block" ] || [ ! -d "$dev/scsi_generic" ]; } && [ $i -lt 200 ]; do
    sleep 0.05; i=$((i + 1))
  done
  sr=$(ls "$dev/block" 2>/dev/null) sg=$(ls "$dev/scsi_generic" 2>/dev/null)
  [ -n "$sr" ] && [ -n "$sg" ] || die "drive $id at $addr got no sr/sg node (type $(cat $dev/type 2>/dev/null))"
  for n in "$sr" "$sg"; do chgrp 24 "/dev/$n" && chmod 660 "/dev/$n"; done
  [ -n "$poll" ] && echo "$poll" > "/sys/block/$sr/events_poll_msecs"
  echo "$id /dev/$sr /dev/$sg $addr"
  lun=$((lun + 1))
done
