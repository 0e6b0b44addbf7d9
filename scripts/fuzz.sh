#!/usr/bin/env bash
# Runs one libFuzzer target for a time budget:
#   scripts/fuzz.sh TARGET [SECONDS]     TARGET: package | drive_answers | drive_answers_full
#                                        (default 60 s)
# drive_answers updates its drives with a two-block image; drive_answers_full
# is the same target on the whole 1 MiB image (slower, for long runs).
# Builds the `fuzz` preset (clang) first. The committed seeds in
# fuzz/corpus/fuzz_TARGET are read, never written; what the run learns goes to
# build/fuzz/fuzz/corpus-fuzz_TARGET, and a crashing input to crash-* there.
# Replay one input: build/fuzz/fuzz/fuzz_TARGET path/to/input
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/fuzz.sh package|drive_answers|drive_answers_full [SECONDS]}
name=${name#fuzz_}
if [ "$name" = drive_answers_full ]; then
  name=drive_answers
  export ZORBEL_FUZZ_FULL_IMAGE=1
fi
target=fuzz_$name
seconds=${2:-60}
case $target in
  fuzz_package) maxlen=2123 ;;
  *) maxlen=20000 ;;
esac
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "$target"
exec fuzz/run_short.sh "build/fuzz/fuzz/$target" "fuzz/corpus/$target" \
  "build/fuzz/fuzz/corpus-$target${ZORBEL_FUZZ_FULL_IMAGE:+-full}" "$seconds" "$maxlen"
