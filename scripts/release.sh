#!/usr/bin/env bash
# Builds the programs a vendor ships from this commit into OUTDIR, unfilled
# and stripped, with their SHA-256 digests in OUTDIR/SHA256SUMS:
#   linux-x86_64/   zorbel (static, console), zorbel-pack, zorbel-probe, zorbel-sim
#   windows-x86_64/ zorbel.exe, zorbel-console.exe, zorbel-sim.exe
#   windows-i686/   zorbel.exe, zorbel-console.exe, zorbel-sim.exe
# Two runs on one commit give the same bytes, from any folder at any time
# (presets release-*, cmake/ZorbelRelease.cmake). zorbel-sim carries the demo
# package; the update programs carry the untouched one, for zorbel-pack fill.
#
# usage: scripts/release.sh OUTDIR
set -euo pipefail
if [ $# != 1 ]; then
  echo "usage: scripts/release.sh OUTDIR" >&2
  exit 2
fi
out=$(realpath -m "$1")
cd "$(dirname "$0")/.."
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release.sh: warning: the working tree has changes; the programs are not the commit's" >&2
fi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
jobs=$(nproc)

cmake --preset release-linux > /dev/null
cmake --build --preset release-linux -j "$jobs" --target zorbel zorbel-pack zorbel-probe zorbel-sim
for preset in release-windows-x64 release-windows-x86; do
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset" -j "$jobs" --target zorbel-window zorbel-console zorbel-sim
done

rm -rf "$out"
mkdir -p "$out/linux-x86_64" "$out/windows-x86_64" "$out/windows-i686"
b=build/release
cp "$b/linux/tools/zorbel/zorbel" "$b/linux/tools/zorbel-pack/zorbel-pack" \
  "$b/linux/tools/zorbel-probe/zorbel-probe" "$b/linux/tools/zorbel-sim/zorbel-sim" \
  "$out/linux-x86_64/"
for arch in x64:x86_64 x86:i686; do
  w=$b/windows-${arch%%:*}/tools
  cp "$w/zorbel-window/zorbel.exe" "$w/zorbel-console/zorbel-console.exe" \
    "$w/zorbel-sim/zorbel-sim.exe" "$out/windows-${arch#*:}/"
done
(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
  xargs sha256sum > SHA256SUMS)
echo "release.sh: $(git rev-parse --short HEAD) in $out:"
cat "$out/SHA256SUMS"
