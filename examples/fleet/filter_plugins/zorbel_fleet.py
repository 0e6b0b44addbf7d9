# Decisions of the fleet playbook, made on the controller: which drives of a
# machine the package fits, which are already up to date, what to answer the
# program, and what a run's exit status, output and the drives afterwards
# mean. Plain functions over the JSON of `zorbel-probe --json` (the machine)
# and `zorbel-pack show --json` (the package), so that they can be checked
# without Ansible.
#
# The fit is the program's own: bins 1 to HOW_MANY_BIN in order, their slots
# in order, the first accepting slot decides the bin. An untouched first slot
# accepts every drive, an untouched later slot none; a slot otherwise accepts
# when its vendor and product (when given) equal the drive's and the drive's
# revision lies within the inclusive bounds (when given). Texts compare byte
# by byte. An untouched bank fits no drive.

RUN_OK = 0  # nothing failed
RUN_FAILED = 1  # an update failed or could not start
RUN_REFUSED = 3  # the program refused to start any update

SUCCESS_TEXT = "Firmware has been updated successfully !"


def _drive_bytes(field, length):
    """A drive's identity field as bytes, cut at its first NUL."""
    if not field:
        return None
    raw = bytes.fromhex(field["hex"])[:length]
    return raw.split(b"\0", 1)[0]


def _slot_bytes(text):
    return (text or "").encode("latin-1")


def _slot_accepts(slot, first, vendor, product, revision):
    if slot.get("untouched"):
        return first
    if slot.get("vendor") and _slot_bytes(slot["vendor"]) != vendor:
        return False
    if slot.get("product") and _slot_bytes(slot["product"]) != product:
        return False
    if slot.get("lowest") and revision < _slot_bytes(slot["lowest"]):
        return False
    if slot.get("highest") and revision > _slot_bytes(slot["highest"]):
        return False
    return True


def _bins(package):
    count = min(int(package["options"].get("HOW_MANY_BIN", 1)), 4)
    return [b for b in package["bins"] if 1 <= int(b["bin"]) <= count]


def _fitting_bin(package, vendor, product, revision):
    if package.get("bank_untouched"):
        return None
    for b in _bins(package):
        slots = b.get("constraints") or [{"untouched": True}]
        for k, slot in enumerate(slots):
            if _slot_accepts(slot, k == 0, vendor, product, revision):
                return b
    return None


def _same_model_bin(package, vendor, product):
    """The first bin with a slot naming this vendor and product, bounds aside."""
    for b in _bins(package):
        for slot in b.get("constraints") or []:
            if slot.get("untouched") or not (slot.get("vendor") or slot.get("product")):
                continue
            if slot.get("vendor") and _slot_bytes(slot["vendor"]) != vendor:
                continue
            if slot.get("product") and _slot_bytes(slot["product"]) != product:
                continue
            return b
    return None


def judge_drive(drive, package):
    """What the package means for one drive of the probe's list."""
    node = drive.get("node", "?")
    entry = {"node": node, "vendor": None, "product": None, "revision": None, "fits": False}
    if not drive.get("identified"):
        entry.update(decision="unidentified", why="the drive did not tell its identity")
        return entry
    vendor = _drive_bytes(drive["vendor"], 8)
    product = _drive_bytes(drive["product"], 16)
    revision = _drive_bytes(drive["revision"], 4)
    entry.update(vendor=vendor.decode("latin-1"), product=product.decode("latin-1"),
                 revision=revision.decode("latin-1"))
    b = _fitting_bin(package, vendor, product, revision)
    if b is not None:
        entry["fits"] = True  # the program lists it as one it may update
        newer = _slot_bytes(b["new_revision"])[:4]
        if revision >= newer:
            entry.update(decision="up to date", bin=b["bin"], new_revision=b["new_revision"])
            return entry
        options = package["options"]
        if int(options.get("CHKDISC", 0)) != 0 and drive.get("disc") == "present":
            entry.update(decision="skipped", bin=b["bin"], new_revision=b["new_revision"],
                         why="a disc is in the drive, and the package checks for none")
            return entry
        if int(options.get("CHKDISC", 0)) != 0 and drive.get("tray") == "open":
            entry.update(decision="skipped", bin=b["bin"], new_revision=b["new_revision"],
                         why="the tray is open, and the package checks for a closed one")
            return entry
        entry.update(decision="update", bin=b["bin"], new_revision=b["new_revision"])
        return entry
    same = _same_model_bin(package, vendor, product)
    if same is not None and revision >= _slot_bytes(same["new_revision"])[:4]:
        entry.update(decision="up to date", bin=same["bin"], new_revision=same["new_revision"])
        return entry
    entry.update(decision="not for this package")
    return entry


def fleet_plan(probe, package):
    """The plan for one machine: each drive judged, and the program's runs.

    Without AUTOMODE the program updates the selected drive only, so each
    drive to update gets a run of its own: Yes to the notice (when the package
    shows one), the drive's list line unless the program selects it by itself
    (the first line the package fits), and Update. With AUTOMODE one run
    updates every drive the package fits."""
    drives = probe.get("drives") or []
    judged = [judge_drive(d, package) for d in drives]
    options = package["options"]
    notice = ["yes"] if int(options.get("WARNING", 0)) == 1 else []
    targets = [k for k, j in enumerate(judged) if j["decision"] == "update"]
    # On its battery alone the program starts no update (exit status 1): the
    # machine is skipped, never failed, and gets nothing to run.
    on_battery = (probe.get("power") or {}).get("update_allowed") is False and bool(targets)
    for k in targets if on_battery else []:
        judged[k].update(decision="skipped",
                         why="the machine runs on its battery alone; connect its AC adapter")
    targets = [] if on_battery else targets
    first_fit = next((k for k, j in enumerate(judged) if j["fits"]), None)
    runs = []
    if targets and int(options.get("AUTOMODE", 0)) != 0:
        runs.append({"nodes": [judged[k]["node"] for k in targets], "answers": notice})
    else:
        for k in targets:
            select = [] if k == first_fit else ["select=%d" % (k + 1)]
            runs.append({"nodes": [judged[k]["node"]], "answers": notice + select + ["update"]})
    if not drives:
        state = "no optical drive"
    elif on_battery:
        state = "skipped"
    elif targets:
        state = "needs update"
    elif any(j["decision"] == "up to date" for j in judged):
        state = "up to date"
    elif any(j["decision"] == "skipped" for j in judged):
        state = "skipped"
    else:
        state = "no drive for this package"
    return {"state": state, "drives": judged, "runs": runs}


def _last_lines(text, count=3):
    lines = [line.rstrip() for line in (text or "").splitlines() if line.strip()]
    return lines[-count:]


def fleet_outcome(plan, results, probe_after):
    """The machine's result after its runs.

    `results` holds, per run that was started, the exit status, standard
    output and standard error; `probe_after` is the probe's list afterwards
    (None when it could not be read). A run counts as updated only when the
    program exited 0, said so, and every drive it was to update now reports
    the new revision; anything else is a failure, with the reason."""
    revisions_after = {}
    for d in (probe_after or {}).get("drives") or []:
        if d.get("identified"):
            revisions_after[d["node"]] = _drive_bytes(d["revision"], 4).decode("latin-1")
    wanted = {j["node"]: j.get("new_revision") for j in plan["drives"]}
    done = []
    for run, result in zip(plan["runs"], results):
        rc = int(result.get("rc", -1))
        entry = {"nodes": run["nodes"], "exit_status": rc,
                 "stderr": _last_lines(result.get("stderr"))}
        if rc == RUN_OK and SUCCESS_TEXT in (result.get("stdout") or ""):
            late = [n for n in run["nodes"] if revisions_after.get(n) != wanted.get(n)]
            if probe_after is None:
                entry.update(result="failed", why="the drives could not be probed afterwards")
            elif late:
                entry.update(result="failed", why="%s reports %s after the update, not %s" % (
                    late[0], revisions_after.get(late[0], "no identity"), wanted.get(late[0])))
            else:
                entry.update(result="updated")
        elif rc == RUN_OK:
            entry.update(result="failed", why="the program ended without updating (its answers?)")
        elif rc == RUN_FAILED:
            entry.update(result="failed", why="the update failed (exit status 1)")
        elif rc == RUN_REFUSED:
            entry.update(result="failed", why="the program refused to start the update (exit status 3)")
        else:
            entry.update(result="failed", why="the program could not run (exit status %d)" % rc)
        done.append(entry)
        if entry["result"] != "updated":
            break  # a failed machine is left as it is: no further run on it
    complete = len(done) == len(plan["runs"]) and all(e["result"] == "updated" for e in done)
    state = "updated" if done and complete else "failed"
    return {"state": state, "runs": done,
            "revisions_after": revisions_after if probe_after is not None else None}


class FilterModule:
    def filters(self):
        return {"zorbel_fleet_plan": fleet_plan, "zorbel_fleet_outcome": fleet_outcome}
