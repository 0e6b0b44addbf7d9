#!/bin/sh
# Started in the wine peer VM before the Windows program (run-win-peer.sh's
# PEER_PRE, as root, cwd /data): serves the drives of /data/scenario.toml
# through the kernel's SCSI target and gives the first one to wine as E:
# (a CD-ROM drive letter). The command trace goes to the console as it
# happens: the program's end powers the VM off.
set -u
sh /data/zorbel-tcmu-up.sh -m /data -t 2 -T /dev/console /data/scenario.toml > /tmp/drives.txt || exit 1
read -r id sr sg addr < /tmp/drives.txt
echo "tcmu drive $id: $sr $sg $addr as E:"
prefix=$WP_ROOT$WP_PREFIX
rm -f "$prefix/dosdevices/e::" "$prefix/dosdevices/e:"
mkdir -p "$prefix/drive_e"
ln -s "$sr" "$prefix/dosdevices/e::" && ln -s ../drive_e "$prefix/dosdevices/e:" || exit 1
# The drive type, as "wine reg add HKLM\Software\Wine\Drives /v e: /d cdrom"
# would store it: right after the key's line (and its #time line).
awk -v key='[Software\\\\Wine\\\\Drives]' '
  pending && /^#time/ { print; print "\"e:\"=\"cdrom\""; pending = 0; done = 1; next }
  pending { print "\"e:\"=\"cdrom\""; pending = 0; done = 1 }
  { print }
  index($0, key) == 1 { pending = 1 }
  END { if (pending) print "\"e:\"=\"cdrom\""; else if (!done) exit 1 }' \
  "$prefix/system.reg" > /tmp/system.reg || { echo "no Drives key in $prefix/system.reg"; exit 1; }
cat /tmp/system.reg > "$prefix/system.reg"
: > /tmp/peer-pre-ready
