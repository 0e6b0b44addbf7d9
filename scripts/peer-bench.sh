#!/usr/bin/env bash
# peer-bench.sh [BUILD_DIR] - the update program's Linux back end timed against
# sg3-utils' sg_raw in the same QEMU VM, on the same simulated drive served
# through the kernel's SCSI target (zorbel-tcmu): one 16 KiB WRITE BUFFER, one
# 16 KiB READ BUFFER (each a process of its own, as sg_raw runs), and a whole
# 1 MiB update by the static zorbel against the same commands sent by sg_raw in
# a loop. Prints the times and the ratios (goal: within 1.1x of sg_raw per
# command). Needs the default build (BUILD_DIR, default build/default), the VM
# (../shared/qemu-peer, set up) and sg3-utils. Exit 1 when a command failed.
set -uo pipefail
cd "$(dirname "$0")/.."
B=$(cd "${1:-build/default}" && pwd) || exit 1
PEER=$(cd ../shared/qemu-peer && pwd) || { echo "peer-bench: ../shared/qemu-peer not found" >&2; exit 1; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}
[ -f "$PEER_WORK/build/base.cpio" ] || "$PEER/setup.sh" >&2 || exit 1
SG_RAW=$(command -v sg_raw) || { echo "peer-bench: sg_raw missing (apt-get install sg3-utils)" >&2; exit 1; }
W=$(mktemp -d "${TMPDIR:-/tmp}/peer-bench.XXXXXX")
trap 'rm -rf "$W"' EXIT
ROUNDS=${ROUNDS:-3} N=${N:-40}

mkdir -p "$W/mods" "$W/lib"
mods=$("$PEER/tcmu-modules.sh" "$W/mods" | tr '\n' ' ') || exit 1
for p in tools/zorbel-tcmu/zorbel-tcmu tests/peer/zorbel-peer-cmd tests/peer/zorbel-peer-shell; do
  strip -o "$W/$(basename "$p")" "$B/$p" || exit 1
done
cp tools/zorbel-tcmu/zorbel-tcmu-up.sh "$W/"
# sg_raw as Debian builds it, with its libraries and their loader beside it.
cp "$SG_RAW" "$W/sg_raw"
for lib in $(ldd "$SG_RAW" | awk '/=> \// { print $3 } /^\t\/.*ld-linux/ { print $1 }'); do cp -L "$lib" "$W/lib/"; done
loader=$(basename "$(ls "$W"/lib/ld-linux*)")

awk 'BEGIN { for (b = 0; b < 64; b++) for (i = 0; i < 1024; i++) printf "p%02d-%011d\n", b, i }' > "$W/image.bin"
head -c 16384 "$W/image.bin" > "$W/block.bin"
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"
: > "$W/scenario.toml"
for id in bench update loop; do
  cat >> "$W/scenario.toml" <<TOML
[[drives]]
id = "$id"
vendor = "ZORBEL"
product = "TCMU $(echo $id | tr a-z A-Z)"
revision = "1A05"
new_revision = "1B10"
image_file = "image.bin"
TOML
done
cat > "$W/update.toml" <<TOML
title = "Zorbel bench"
supported_drives = "ZORBEL TCMU UPDATE"
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
product = "TCMU UPDATE     "
TOML
"$B/tools/zorbel-pack/zorbel-pack" fill "$B/tools/zorbel/zorbel-static" "$W/update.toml" \
  -o "$W/zorbel-update" --profiles "$W/profiles.bin" >/dev/null || exit 1
strip "$W/zorbel-update"

cat > "$W/cases.sh" <<CASES
#!/bin/sh
sg_raw() { /data/lib/$loader --library-path /data/lib /data/sg_raw "\$@"; }
now() { cut -d' ' -f1 /proc/uptime; }
sh /data/zorbel-tcmu-up.sh -m /data -t 30 /data/scenario.toml > /tmp/drives || exit 1
node() { awk -v d=\$1 -v f=\$2 '\$1 == d { print \$f }' /tmp/drives; }
sr=\$(node bench 2) sg=\$(node bench 3)
fails=0
loop() {  # loop LABEL COMMAND...: N runs, the seconds they took
  label=\$1; shift
  t0=\$(now); i=0
  while [ \$i -lt $N ]; do
    "\$@" > /dev/null 2>&1 || [ "\$label" != "\${label%-start}" ] || fails=\$((fails + 1))
    i=\$((i + 1))
  done
  echo "\$label \$t0 \$(now)" | awk '{ printf "time %s %.3f\n", \$1, \$3 - \$2 }'
}
r=0
while [ \$r -lt $ROUNDS ]; do
  loop write-zorbel /data/zorbel-peer-cmd \$sr 1 out 16384 3B 05 01 00 00 00 00 40 00 00 00 00
  loop write-sgraw sg_raw -s 16384 -i /data/block.bin \$sg 3B 05 01 00 00 00 00 40 00 00
  loop read-zorbel /data/zorbel-peer-cmd \$sr 1 in 16384 3C 01 01 00 00 00 00 40 00 00 00 00
  loop read-sgraw sg_raw -r 16384 -o /dev/null \$sg 3C 01 01 00 00 00 00 40 00 00
  loop zorbel-start /data/zorbel-peer-cmd
  loop sgraw-start sg_raw --version
  r=\$((r + 1))
done
echo "inprocess-write \$(/data/zorbel-peer-cmd \$sr 200 out 16384 3B 05 01 00 00 00 00 40 00 00 00 00 2>&1)"
echo "inprocess-read \$(/data/zorbel-peer-cmd \$sr 200 in 16384 3C 01 01 00 00 00 00 40 00 00 00 00 2>&1)"
t0=\$(now); /data/zorbel-update > /tmp/update.out 2>&1 || { fails=\$((fails + 1)); cat /tmp/update.out; }
echo "update-zorbel \$t0 \$(now)" | awk '{ printf "time %s %.3f\n", \$1, \$3 - \$2 }'
lg=\$(node loop 3); t0=\$(now)
sg_raw -s 700 -i /data/profiles.bin \$lg 3B 05 01 00 00 00 00 02 BC 7F > /dev/null 2>&1
b=0
while [ \$b -lt 64 ]; do
  o=\$(printf '%02X' \$((b / 4))) p=\$(printf '%02X' \$((b % 4 * 64)))
  sg_raw -s 16384 -k \$((b * 16384)) -i /data/image.bin \$lg 3B 05 01 \$o \$p 00 00 40 00 00 > /dev/null 2>&1 || fails=\$((fails + 1))
  sg_raw -r 16384 -o /dev/null \$lg 3C 01 01 \$o \$p 00 00 40 00 00 > /dev/null 2>&1 || fails=\$((fails + 1))
  b=\$((b + 1))
done
sg_raw \$lg 3B 05 01 00 00 00 00 00 00 80 > /dev/null 2>&1 || fails=\$((fails + 1))
echo "update-sgraw \$t0 \$(now)" | awk '{ printf "time %s %.3f\n", \$1, \$3 - \$2 }'
sh /data/zorbel-tcmu-up.sh -d
grep -E "(update|loop): (commit|bricked)" /tmp/zorbel-tcmu/summary.txt
echo "failed \$fails"
CASES

PEER_OUT=$W/out PEER_TIMEOUT=600 PEER_FILES="$mods $W/zorbel-tcmu $W/zorbel-tcmu-up.sh $W/zorbel-peer-cmd
  $W/zorbel-update $W/scenario.toml $W/image.bin $W/block.bin $W/profiles.bin $W/sg_raw $W/lib $W/cases.sh" \
  "$PEER/run-peer.sh" "$W/zorbel-peer-shell" none ide > /dev/null 2> "$W/run.err" ||
  { cat "$W/run.err" "$W/out/stdout.txt" >&2; exit 1; }
out=$(tr -d '\r' < "$W/out/stdout.txt")
sum() { awk -v k="$1" '$1 == "time" && $2 == k { s += $3 } END { printf "%.4f", s }' <<<"$out"; }
per() { awk -v s="$(sum "$1")" -v n=$((ROUNDS * N)) 'BEGIN { printf "%.2f", s * 1000 / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "The same drive served through the kernel's SCSI target, $((ROUNDS * N)) runs of each command,"
echo "each run a process of its own (start-up, open, SG_IO, close), alternating in $ROUNDS rounds:"
net() { awk -v a="$(per "$1")" -v b="$(per "$2")" 'BEGIN { printf "%.2f", a - b }'; }
echo "  (start-up alone: zorbel-peer-cmd $(per zorbel-start) ms, sg_raw $(per sgraw-start) ms)"
for c in write read; do
  z=$(per $c-zorbel) s=$(per $c-sgraw) r=$(ratio "$(per $c-zorbel)" "$(per $c-sgraw)")
  verdict=$(awk -v r="$r" 'BEGIN { print ((r <= 1.1) ? "within the goal of 1.10" : "OVER the goal of 1.10") }')
  printf '  16 KiB %-12s zorbel back end %6.2f ms, sg_raw %6.2f ms: ratio %s (%s)\n' \
    "$( [ $c = write ] && echo "WRITE BUFFER" || echo "READ BUFFER")" "$z" "$s" "$r" "$verdict"
done
echo "The same without each program's start-up (open, SG_IO, close):"
for c in write read; do
  z=$(net $c-zorbel zorbel-start) s=$(net $c-sgraw sgraw-start) r=$(ratio "$(net $c-zorbel zorbel-start)" "$(net $c-sgraw sgraw-start)")
  verdict=$(awk -v r="$r" 'BEGIN { print ((r <= 1.1) ? "within the goal of 1.10" : "OVER the goal of 1.10") }')
  printf '  16 KiB %-12s zorbel back end %6.2f ms, sg_raw %6.2f ms: ratio %s (%s)\n' \
    "$( [ $c = write ] && echo "WRITE BUFFER" || echo "READ BUFFER")" "$z" "$s" "$r" "$verdict"
done
echo "In one process (no start-up), the back end's SG_IO round trip:"
sed -n 's/^inprocess-write /  WRITE BUFFER 16 KiB: /p; s/^inprocess-read /  READ BUFFER 16 KiB: /p' <<<"$out"
uz=$(sum update-zorbel) us=$(sum update-sgraw)
echo "Whole 1 MiB update: zorbel ${uz} s (discovery, the drive's checks, its 1 s pause before the"
echo "  commit and its wait for the drive to answer again after it included), sg_raw loop of the"
echo "  same 130 commands ${us} s: ratio $(ratio "$uz" "$us")"
grep -E "^(update|loop): " <<<"$out" | sed 's/^/  /'
grep -q "^failed 0$" <<<"$out"
