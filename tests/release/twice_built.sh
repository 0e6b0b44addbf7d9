#!/usr/bin/env bash
# The release built twice from one commit, from two clones in different
# folders and at different times, gives the same bytes: every file of the two
# release folders is compared and a difference names the file. No Windows
# program carries a time stamp in its header.
#
# usage: twice_built.sh REPO WORKDIR   (the release of REPO's HEAD; the first
# release folder is left in WORKDIR/release for the signing walk)
set -uo pipefail
REPO=$(realpath "$1") W=$(realpath -m "$2")
rm -rf "$W" && mkdir -p "$W" || exit 1
fail=0
build() {  # build CLONE OUT
  git clone -q --no-hardlinks "$REPO" "$1" && git -C "$1" checkout -q "$(git -C "$REPO" rev-parse HEAD)" &&
    bash "$1/scripts/release.sh" "$2" > "$W/$(basename "$2").log" 2>&1 ||
    { echo "FAIL: release.sh in $1"; tail -20 "$W/$(basename "$2").log"; exit 1; }
}
start=$(date +%s)
build "$W/a/zorbel" "$W/release"
mid=$(date +%s)
build "$W/b/elsewhere/src" "$W/again"
echo "release builds: $((mid - start)) s and $(($(date +%s) - mid)) s"

files=$(cd "$W/release" && find . -type f | sort)
[ "$files" = "$(cd "$W/again" && find . -type f | sort)" ] || { echo "FAIL: the two releases hold different files"; fail=1; }
for f in $files; do
  cmp -s "$W/release/$f" "$W/again/$f" || { echo "FAIL: ${f#./} differs between the two builds"; fail=1; }
done
(cd "$W/release" && sha256sum --quiet -c SHA256SUMS) || { echo "FAIL: SHA256SUMS does not match"; fail=1; }
[ "$(grep -c . "$W/release/SHA256SUMS")" = 10 ] || { echo "FAIL: SHA256SUMS lists not 10 programs"; fail=1; }
for exe in "$W"/release/windows-*/*.exe; do
  stamp=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/^Time\/Date/ { $1 = ""; print }')
  [[ $stamp == *1970* ]] || { echo "FAIL: ${exe#$W/release/} carries the time stamp$stamp"; fail=1; }
done
[ $fail = 0 ] && echo "PASS: $(echo "$files" | wc -l) files the same bytes from both builds"
exit $fail
