#!/usr/bin/env bash
# The fleet playbook's batches and failure share, on this machine alone: three
# inventory entries reached through Ansible's local connection, each with its
# own folder, a stand-in probe that reports one drive the package fits, and a
# stand-in program that updates it (a-good, c-good) or fails (b-bad). a-good
# answers slowly, so the survey ends in another order than the inventory's;
# the batches keep the inventory's, and with batches of two the first holds
# a-good and b-bad:
#   share 0 (the default)  half of the batch failed: the run stops, c-good is
#                          reported not updated and never gets the program
#   share 50               half is not more than the share: c-good is updated
#
# usage: fleet_batches_test.sh REPO WORKDIR
set -uo pipefail
REPO=$1 W=$2
command -v ansible-playbook >/dev/null || { echo "SKIP: ansible-playbook missing (ansible-core)"; exit 77; }
rm -rf "$W" && mkdir -p "$W" || exit 1
pass=0; fail=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then pass=$((pass + 1)); echo "PASS $name"; else fail=$((fail + 1)); echo "FAIL $name"; fi
}

# The probe: one MERIDOX drive at the revision its machine's folder records.
cat > "$W/probe" <<'EOF'
#!/bin/sh
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n' | tr a-f A-F; }
r=$(cat revision 2>/dev/null || echo 1B05)
printf '{"drives": [{"node": "sr0", "identified": true, "disc": "absent", "tray": "closed",'
printf ' "vendor": {"hex": "%s"}, "product": {"hex": "%s"}, "revision": {"hex": "%s"}}]}\n' \
  "$(hex 'MERIDOX ')" "$(hex 'DVR-RW 1616 SUPR')" "$(hex "$r")"
EOF
# The program: takes its answers, then updates the drive or fails, by machine.
cat > "$W/program" <<'EOF'
#!/bin/sh
cat >> answers
case ${PWD##*/} in
  *bad) echo "Unable to flash firmware. Please contact with your vendor !"
        echo "zorbel: sr0: the drive refused the image" >&2; exit 1 ;;
esac
echo 1B10 > revision
echo "Firmware has been updated successfully !"
EOF
# The package as `zorbel-pack show --json` gives it.
cat > "$W/pack" <<'EOF'
#!/bin/sh
cat <<JSON
{"options": {"N2OMESSAGE": 1, "CHKDISC": 0, "AUTOMODE": 0, "WARNING": 1, "HOW_MANY_BIN": 1},
 "bank_untouched": false, "profile_store": {"stand_in_profiles": []},
 "bins": [{"bin": 1, "new_revision": "1B10", "constraints": [{"untouched": false,
   "vendor": "MERIDOX ", "product": "DVR-RW 1616 SUPR", "lowest": "1B05", "highest": "1B09"}]}]}
JSON
EOF
chmod +x "$W/probe" "$W/program" "$W/pack"

run() {  # run NAME SHARE: leaves NAME.json, NAME.log, NAME.rc and the machines' folders in NAME/
  local name=$1 share=$2 host
  : > "$W/$name.inventory"
  for host in a-good b-bad c-good; do
    echo "$host ansible_connection=local zorbel_fleet_dir=$W/$name/$host" >> "$W/$name.inventory"
  done
  # The first machine answers every task a second late, so its survey comes back last.
  sed -i "1s/ansible_connection=local/ansible_connection=\"{{ lookup('pipe', 'sleep 0.2') }}local\"/" \
    "$W/$name.inventory"
  ANSIBLE_CONFIG=$REPO/examples/fleet/ansible.cfg ZORBEL_FLEET_SUMMARY=$W/$name.json \
    ANSIBLE_LOCAL_TEMP=$W/tmp ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 \
    ansible-playbook -i "$W/$name.inventory" "$REPO/examples/fleet/fleet.yml" \
      -e zorbel_program="$W/program" -e zorbel_probe="$W/probe" -e zorbel_pack="$W/pack" \
      -e '{"zorbel_fleet_serial": 2}' -e "zorbel_fleet_max_fail_percentage=$share" \
      > "$W/$name.log" 2>&1
  echo $? > "$W/$name.rc"
}
states() {  # host:state ... from the summary
  python3 -c 'import json, sys
print(" ".join("%s:%s" % (h["host"], h["state"]) for h in json.load(open(sys.argv[1]))["hosts"]))' \
    "$W/$1.json" 2>/dev/null
}

run strict 0
check "share 0: b-bad fails the first batch and the run stops before c-good" \
  [ "$(states strict)" = "a-good:updated b-bad:failed c-good:not updated" ]
check "share 0: c-good never got the program, the playbook exits 2" \
  eval '[ ! -e "$W/strict/c-good/zorbel" ] && [ "$(cat "$W/strict.rc")" = 2 ]'

run lenient 50
check "share 50: one failure in a batch of two is not more than the share, c-good is updated" \
  [ "$(states lenient)" = "a-good:updated b-bad:failed c-good:updated" ]
check "share 50: the failed machine got one run only" \
  eval '[ "$(cat "$W/lenient/b-bad/answers")" = "$(printf "yes\nupdate")" ] &&
        [ "$(cat "$W/lenient.rc")" = 2 ]'

if [ $fail != 0 ]; then
  for r in strict lenient; do echo "--- $r ---"; tail -30 "$W/$r.log"; done
fi
echo "$pass passed, $fail failed"
[ $fail = 0 ]
