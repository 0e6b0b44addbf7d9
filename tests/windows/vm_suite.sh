#!/usr/bin/env bash
# The test programs of a build whose programs run only in the QEMU peer VM,
# all in one VM start: copied into one folder with the batch runner, which runs
# them one after another there (tests/windows/vm_run.sh).
#
# usage: vm_suite.sh WORKDIR BATCH_RUNNER TEST_PROGRAM...
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
W=$1 BATCH=$2; shift 2
rm -rf "$W" && mkdir -p "$W" || exit 1
names=()
for program in "$@"; do cp "$program" "$W/" && names+=("$(basename "$program")"); done
cp "$BATCH" "$W/"
start=$(date +%s)
bash "$HERE/vm_run.sh" "$W/$(basename "$BATCH")" "${names[@]}"
rc=$?
echo "VM suite: ${#names[@]} programs in $(( $(date +%s) - start )) s, status $rc"
exit "$rc"
