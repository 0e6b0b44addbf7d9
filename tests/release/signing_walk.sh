#!/usr/bin/env bash
# The Windows release path on the release's console programs (x86_64 and
# i686): fill an unsigned copy, sign it, verify it. The filled program's
# checksum is right before signing; a signed program is refused by fill and
# left as it was; the signed program is the release build with a package.
#
# usage: signing_walk.sh RELEASE_DIR PACK REPO WORKDIR
set -uo pipefail
R=$1 PACK=$2 REPO=$3 W=$4
rm -rf "$W" && mkdir -p "$W" || exit 1
. "$REPO/tests/release/signing.sh"
throwaway_certificate "$W" || { echo "FAIL: openssl made no certificate"; exit 1; }
pass=0 fail=0
check() { local name=$1; shift; if "$@"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL $name"; fi; }
contains() { [[ "$1" == *"$2"* ]]; }

cp "$REPO/examples/meridox-1616/package.toml" "$W/"
awk 'BEGIN { for (i = 0; i < 4096; i++) printf "fw-%012d\n", i }' > "$W/1B10.bin"
head -c 17850 /dev/zero | tr '\0' '\377' > "$W/profiles.bin"
for arch in x86_64 i686; do
  unfilled=$R/windows-$arch/zorbel-console.exe f=$W/filled-$arch.exe s=$W/signed-$arch.exe
  "$PACK" fill "$unfilled" "$W/package.toml" --profiles "$W/profiles.bin" -o "$f" > /dev/null
  check "$arch: filled" [ $? = 0 ]
  check "$arch: the filled program's checksum is right" contains "$("$PACK" show "$f")" "# PE checksum: right"
  sign_program "$W" "$f" "$s"
  check "$arch: signed" [ $? = 0 ]
  verify=$(osslsigncode verify -CAfile "$W/cert.pem" -in "$s" 2>&1) rc=$?
  check "$arch: the signature verifies" eval '[ $rc = 0 ] && contains "$verify" "Succeeded"'
  check "$arch: ... with its digest and checksum right" \
    eval '! contains "$verify" "MISMATCH" && ! contains "$verify" "invalid PE checksum"'
  check "$arch: show says it is signed" contains "$("$PACK" show "$s")" "# signature: Authenticode"
  cp "$s" "$W/before.exe"
  refusal=$("$PACK" fill "$s" "$W/package.toml" --profiles "$W/profiles.bin" 2>&1) rc=$?
  check "$arch: fill refuses the signed program" eval '[ $rc = 1 ] &&
    contains "$refusal" "fill an unsigned copy" && contains "$refusal" "osslsigncode remove-signature"'
  check "$arch: ... and leaves it as it was" cmp -s "$s" "$W/before.exe"
  check "$arch: the signed program is the release build with a package" \
    eval '"$PACK" same-build "$s" "$unfilled" --json | grep -q "\"same\": true"'
done
check "a program is not the other platform's build" \
  eval '! "$PACK" same-build "$W/signed-x86_64.exe" "$R/windows-i686/zorbel-console.exe" > /dev/null'
[ $fail = 0 ] || echo "--- verify"$'\n'"$verify"
echo "$pass passed, $fail failed"
[ $fail = 0 ] && [ $pass = 19 ]
