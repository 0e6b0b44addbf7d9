#!/usr/bin/env bash
# The tools' Debian package: built from a clone with dpkg-buildpackage,
# checked by lintian (no error, no warning), unpacked; each tool from the
# unpacked package prints its version and has its manual page, and its
# zorbel-pack fills and shows a copy of its zorbel-sim.
#
# usage: debian_package.sh REPO WORKDIR
set -uo pipefail
REPO=$(realpath "$1") W=$(realpath -m "$2")
rm -rf "$W" && mkdir -p "$W" || exit 1
git clone -q "$REPO" "$W/zorbel" && git -C "$W/zorbel" checkout -q "$(git -C "$REPO" rev-parse HEAD)" || exit 1
start=$(date +%s)
(cd "$W/zorbel" && dpkg-buildpackage -b -us -uc -j"$(nproc)") > "$W/build.log" 2>&1 ||
  { tail -30 "$W/build.log"; echo "FAIL: dpkg-buildpackage"; exit 1; }
echo "package built in $(($(date +%s) - start)) s"
fail=0
check() { local name=$1; shift; if "$@"; then echo "PASS $name"; else echo "FAIL $name"; fail=1; fi; }
deb=$(ls "$W"/zorbel-tools_*.deb)
lintian --fail-on error,warning "$W"/zorbel_*.changes > "$W/lintian.txt" 2>&1
check "lintian finds no error and no warning" [ $? = 0 ]
dpkg-deb -x "$deb" "$W/root"
T=$W/root/usr/bin
for tool in zorbel-pack zorbel-probe zorbel-sim; do
  check "$tool --version from the package" eval '"$T/$tool" --version | grep -q "^$tool "'
  check "$tool has its manual page" [ -s "$W/root/usr/share/man/man1/$tool.1.gz" ]
done
cp "$REPO/examples/meridox-1616/package.toml" "$W/"
"$REPO/examples/make-image.sh" --demo 262144 "$W/1B10.bin" > /dev/null
check "the packaged zorbel-pack fills the packaged zorbel-sim" \
  "$T/zorbel-pack" fill "$T/zorbel-sim" "$W/package.toml" --stand-in-profiles -o "$W/zorbel-sim-1B10"
check "... which shows the new package" \
  eval '"$T/zorbel-pack" show "$W/zorbel-sim-1B10" | grep -q "new_revision = \"1B10\""'
[ $fail = 0 ] || cat "$W/lintian.txt"
exit $fail
