#!/usr/bin/env bash
# The shell blocks of README.md, examples/README.md and the tools' READMEs, taken
# from the files and run as written, in a folder laid out as a clone (examples/
# and build/default/ of this one): making a package and rehearsing it, the
# packager's script (its probe, sudo and the drive stand in: the script runs the
# rehearsal's program on the replica), and every shipped scenario. Blocks that
# need real drives or a virtual machine are left to the peer checks.
#
# usage: readme_examples_test.sh REPO BUILD WORKDIR
set -uo pipefail
REPO=$1 BUILD=$2 W=$3
command -v jq >/dev/null || { echo "SKIP: jq missing (the packager's script needs it)"; exit 77; }
rm -rf "$W" && mkdir -p "$W/clone/build" "$W/bin" || exit 1
ln -s "$REPO/examples" "$W/clone/examples"
ln -s "$BUILD" "$W/clone/build/default"
T=$BUILD/tools
for tool in zorbel-pack zorbel-sim zorbel-probe; do ln -s "$T/$tool/$tool" "$W/bin/$tool"; done
ln -s "$T/zorbel/zorbel" "$W/bin/zorbel"
ln -s "$T/zorbel-sim/zorbel-sim" "$W/bin/zorbel-sim-program"
pass=0; fail=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "PASS $name"; else fail=$((fail + 1)); echo "FAIL $name"; fi
}
# block FILE N [LANG]: the Nth ```sh (or LANG) block of FILE, without the indentation of a list item.
block() {
  awk -v n="$2" -v fence="^ *\`\`\`${3:-sh}" '
    $0 ~ fence { k++; if (k == n) { on = 1; match($0, /^ */); cut = RLENGTH }; next }
    /^ *```/ { on = 0 } on { print substr($0, cut + 1) }' "$1"
}
# run NAME FILE N [SKIP_REGEX]: runs the block in the clone (lines matching SKIP_REGEX left out).
run() {
  local name=$1 file=$2 n=$3 skip=${4:-^$}
  block "$REPO/$file" "$n" | grep -Ev "$skip" > "$W/$name.sh"
  (cd "$W/clone" && PATH=$W/bin:$PATH bash -e "$W/$name.sh") < /dev/null > "$W/$name.out" \
    2> "$W/$name.err"
  echo $? > "$W/$name.rc"
}
rc() { cat "$W/$1.rc"; }
has() { grep -qF -- "$2" "$W/$1"; }

# README: making a package from a demonstration image (the build is there already).
run making README.md 2 '^cmake '
check "README: the package is filled into a copy of zorbel-sim and shown" \
  eval '[ "$(rc making)" = 0 ] && has making.out "new_revision = \"1B10\""'

# README: the scripted answers of its zorbel-sim example.
(cd "$W/clone" && build/default/tools/zorbel-sim/zorbel-sim --front console \
  --answers yes,select=3,update,no < /dev/null > "$W/answers.out" 2> "$W/answers.err")
echo $? > "$W/answers.rc"
check "README: --answers yes,select=3,update,no declines the up-to-date drive's question" \
  eval '[ "$(rc answers)" = 0 ] && has answers.out "Answer: [&No] (script)" && [ ! -s "$W/answers.err" ]'

# sudo stands in as itself; zorbel-probe finds no drive here and writes a replica to fill in.
printf '#!/bin/sh\nexec "$@"\n' > "$W/bin/sudo" && chmod +x "$W/bin/sudo"
mkdir -p "$W/clone/my-package"
run probe examples/README.md 1
check "examples: zorbel-probe without a drive says what to check and writes a replica" \
  eval '[ "$(rc probe)" = 0 ] && has probe.err "sg modules" && has probe.err "group cdrom" &&
        has probe.out "scenario written to my-package/replica.toml"'
# The drive filled in, as the replica's comment asks.
sed -i -e 's/"VENDOR  "/"MERIDOX "/; s/"PRODUCT         "/"DVR-RW 1616 SUPR"/' \
  -e 's/^revision = "0000"/revision = "1B05"/; s/^new_revision = "0000"/new_revision = "1B10"/' \
  -e 's/^image_size = 1048576/image_size = 262144/; s/^medium = false/medium = true/' \
  "$W/clone/my-package/replica.toml"
run demo examples/README.md 3
cp "$REPO/examples/meridox-1616/package.toml" "$W/clone/my-package/"
ln -sf "$T/zorbel-sim/zorbel-sim" "$W/clone/zorbel-sim"
ln -sf "$T/zorbel/zorbel" "$W/clone/zorbel"
run rehearsal examples/README.md 4
check "examples: the rehearsal updates the replica's drive" \
  eval '[ "$(rc rehearsal)" = 0 ] && has rehearsal.out "Firmware has been updated successfully !" &&
        [ -s "$W/clone/my-package/trace.txt" ]'

# The packager's script on the replica: sudo runs the rehearsal's program on it.
block "$REPO/examples/README.md" 6 > "$W/update-if-fits.sh"
rm -f "$W/bin/zorbel-probe"  # a link to the built probe: never written through
cat > "$W/bin/zorbel-probe" <<JSON
#!/bin/sh
echo '{"drives": [{"node": "sr0", "identified": true, "vendor": {"text": "MERIDOX "},
  "product": {"text": "DVR-RW 1616 SUPR"}, "revision": {"text": "1B05"}}]}'
JSON
printf '#!/bin/sh\nprogram=$1; shift\nexec "$program" --scenario %s --front console "$@"\n' \
  "$W/clone/my-package/replica.toml" > "$W/bin/sudo"
chmod +x "$W/bin/zorbel-probe"
(cd "$W/clone" && PATH=$W/bin:$PATH sh "$W/update-if-fits.sh" my-package/zorbel-sim-1B10) \
  > "$W/script.out" 2> "$W/script.err"
echo $? > "$W/script.rc"
check "examples: the packager's script updates the drive, every answer taken" \
  eval '[ "$(rc script)" = 0 ] && has script.out "updated" && ! has script.err "does not fit" &&
        ! has script.err "left unused"'

# The real program, filled with a maker's image and profiles (stand-ins of the right sizes).
head -c 262144 /dev/zero | tr '\0' '\377' > "$W/clone/maker-firmware.bin"
head -c 17850 /dev/zero | tr '\0' '\132' > "$W/clone/maker-profiles.bin"
run image examples/README.md 2
run real examples/README.md 5
check "examples: the maker's image and profiles fill the real program" \
  eval '[ "$(rc image)" = 0 ] && [ "$(rc real)" = 0 ] && has real.out "new_revision = \"1B10\""'

# The tools' READMEs: the description format as zorbel-pack's README gives it, its jq line on
# the program just filled; zorbel-probe's JSON through jq (no drive here: no line).
mkdir -p "$W/format"
block "$REPO/tools/zorbel-pack/README.md" 1 toml > "$W/format/package.toml"
"$REPO/examples/make-image.sh" --demo 262144 "$W/format/1B10.bin" > /dev/null
"$T/zorbel-pack/zorbel-pack" fill "$T/zorbel-sim/zorbel-sim" "$W/format/package.toml" \
  --stand-in-profiles -o "$W/format/zorbel-sim-1B10" > "$W/format.out" 2> "$W/format.err"
echo $? > "$W/format.rc"
check "zorbel-pack README: its description fills" [ "$(rc format)" = 0 ]
run showjq tools/zorbel-pack/README.md 2
check "zorbel-pack README: the jq line lists the bins" \
  eval '[ "$(rc showjq)" = 0 ] && has showjq.out "1 1B10 "'

ln -sf "$T/zorbel-probe/zorbel-probe" "$W/bin/zorbel-probe"
run jq tools/zorbel-probe/README.md 2
check "zorbel-probe README: the jq line runs" [ "$(rc jq)" = 0 ]

# Every shipped scenario runs, its drives all listed (no two at one address).
for scenario in "$REPO"/sim/scenarios/*.toml; do
  sc=$(basename "$scenario" .toml)
  "$T/zorbel-sim/zorbel-sim" --scenario "$scenario" --front console < /dev/null \
    > "$W/$sc.out" 2> "$W/$sc.err"
  status=$?
  # Every letter with a drive behind it is a line of the list.
  letters=$(awk '/^\[\[/ { in_letter = ($0 == "[[letters]]") } in_letter && /^drive = /' "$scenario" |
            wc -l)
  lines=$(grep -oE '^ *>? *\[[0-9]+\]' "$W/$sc.out" | tr -d ' >' | sort -u | wc -l)
  check "sim/scenarios/$sc.toml runs (status $status) and lists all $letters of its drives" \
    eval '[ "$status" -le 4 ] && [ "$status" != 2 ] && [ "$lines" = "$letters" ] &&
          ! has "$sc.err" "share the address"'
done

if [ $fail != 0 ]; then
  for f in "$W"/*.err; do [ -s "$f" ] && { echo "--- $(basename "$f")"; head -20 "$f"; }; done
fi
echo "$pass passed, $fail failed"
[ $fail = 0 ]
