#!/usr/bin/env bash
# Runs a Windows program under wine inside the QEMU peer VM
# (../shared/qemu-peer beside the repository), for a machine whose own kernel
# runs no 32-bit code: the VM's kernel does, and wine there uses its 32-bit
# loader for a PE32 program. The files beside the program go with it, and it
# runs in their folder with standard input on /dev/null. Its standard output
# comes back on standard output, its standard error on standard error, and its
# exit status (124 when it ran out of time, 125 when the VM could not run it;
# 77 when there is no VM to run it in).
#
# usage: vm_run.sh PROGRAM [ARGS...]      (PEER_TIMEOUT, default 900 s)
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
PEER=$(cd "$HERE/../../../shared/qemu-peer" 2>/dev/null && pwd) || {
  echo "SKIP: $HERE/../../../shared/qemu-peer not found" >&2; exit 77; }
command -v qemu-system-x86_64 >/dev/null || { echo "SKIP: qemu-system-x86_64 missing" >&2; exit 77; }
export PEER_WORK=${PEER_WORK:-${TMPDIR:-/tmp}/qemu-peer}
PROGRAM=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); shift

"$PEER/setup-wine.sh" > "$PEER_WORK.setup.log" 2>&1 || {
  cat "$PEER_WORK.setup.log" >&2; echo "vm_run: setup-wine.sh failed" >&2; exit 125; }
bash "$HERE/wine32_prefix.sh" "$PEER_WORK/prefix" || exit 125

out=$(mktemp -d "${TMPDIR:-/tmp}/zorbel-vm-run.XXXXXX")
files=()
for f in "$(dirname "$PROGRAM")"/*; do
  [ "$f" = "$PROGRAM" ] || [ ! -f "$f" ] || files+=("$f")
done
PEER_OUT=$out PEER_TIMEOUT=${PEER_TIMEOUT:-900} PEER_FILES="${files[*]}" \
  "$PEER/run-win-peer.sh" "$PROGRAM" none -- "$@" > "$out/run.out" 2> "$out/run.err"
rc=$?
if [ -f "$out/stdout.txt" ]; then cat "$out/stdout.txt"; else cat "$out/run.out"; fi
if [ -f "$out/stderr.txt" ]; then cat "$out/stderr.txt" >&2; fi
[ "$rc" = 125 ] && tail -5 "$out/run.err" >&2
rm -rf "$out"
exit "$rc"
