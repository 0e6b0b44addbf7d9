# The fleet run's summary: one line per machine (its drives, what was done,
# the result) at the end of every run, also one stopped by the failure share,
# and the same as JSON in the file ZORBEL_FLEET_SUMMARY names.
#
# The playbook records each machine's state in the fact zorbel_fleet_record;
# this plugin keeps the latest record of each machine, and adds what the
# records cannot know: a machine that needed the update but was never reached
# because the run stopped, and a machine that failed in a step of its own.

import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
    name: zorbel_fleet_summary
    type: aggregate
    short_description: one summary line per machine of a fleet update
    description:
      - Prints, at the end of the run, each machine's drives, what was done and
        the result, and writes them as JSON to the file named by the
        environment variable ZORBEL_FLEET_SUMMARY.
    requirements:
      - the fleet playbook's zorbel_fleet_record facts
"""

# The states a machine ends in, and whether it counts as failed.
FAILED_STATES = {"failed"}


def drive_text(drive):
    if drive.get("vendor") is None:
        return "%s (%s)" % (drive["node"], drive["decision"])
    text = "%s %s %s %s: %s" % (drive["node"], drive["vendor"].rstrip(), drive["product"].rstrip(),
                               drive["revision"], drive["decision"])
    if drive["decision"] == "update":
        text += " to %s" % drive["new_revision"]
    return text


def line_of(host, record):
    state = record.get("state", "?")
    parts = ["%-16s %-26s" % (host, state)]
    drives = record.get("drives") or []
    if drives:
        parts.append("; ".join(drive_text(d) for d in drives))
    for run in record.get("runs") or []:
        text = "%s: %s (exit status %s)" % (" ".join(run["nodes"]), run["result"], run["exit_status"])
        if run.get("why"):
            text += ": " + run["why"]
        if run.get("stderr"):
            text += "; stderr: " + " | ".join(run["stderr"])
        parts.append(text)
    if record.get("why"):
        parts.append(record["why"])
    return "  ".join(parts)


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "zorbel_fleet_summary"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self.records = {}
        self.order = []
        self.inventory = []

    def _record(self, host, record):
        if host not in self.records:
            self.order.append(host)
        self.records[host] = dict(record)

    def v2_playbook_on_play_start(self, play):
        if not self.inventory:
            manager = play.get_variable_manager()
            inventory = getattr(manager, "_inventory", None)
            if inventory is not None:
                self.inventory = [h.get_name() for h in inventory.get_hosts()]

    def v2_runner_on_ok(self, result):
        facts = result._result.get("ansible_facts") or {}
        if "zorbel_fleet_record" in facts:
            self._record(result._host.get_name(), facts["zorbel_fleet_record"])

    def v2_runner_on_failed(self, result, ignore_errors=False):
        if ignore_errors:
            return
        host = result._host.get_name()
        if host == "localhost":
            return
        record = self.records.get(host, {})
        if record.get("state") in FAILED_STATES:
            return  # the update step recorded its failure before failing the machine
        why = "%s: %s" % (result._task.get_name(), str(result._result.get("msg", "")).strip())
        self._record(host, dict(record, state="failed", why=why))

    def v2_runner_on_unreachable(self, result):
        host = result._host.get_name()
        if self.records.get(host, {}).get("state") not in (None, "unreachable"):
            # Lost during its update: whether the drive was changed is unknown.
            record = dict(self.records[host], state="failed",
                          why="the machine became unreachable: %s" % result._result.get("msg", ""))
            self._record(host, record)

    def v2_playbook_on_stats(self, stats):
        summary = []
        # Machines in the inventory's order; any other recorded one after them.
        rank = {h: k for k, h in enumerate(self.inventory)}
        for host in sorted(self.order, key=lambda h: rank.get(h, len(rank))):
            record = dict(self.records[host])
            if record.get("state") == "needs update":
                record["state"] = "not updated"
                record["why"] = "the run stopped before this machine"
            record["failed"] = record.get("state") in FAILED_STATES
            summary.append(dict(host=host, **record))
        self._display.banner("ZORBEL FLEET SUMMARY")
        for entry in summary:
            self._display.display(line_of(entry["host"], entry))
        counts = {}
        for entry in summary:
            counts[entry["state"]] = counts.get(entry["state"], 0) + 1
        self._display.display(", ".join("%d %s" % (n, s) for s, n in sorted(counts.items())) or
                              "no machine")
        path = os.environ.get("ZORBEL_FLEET_SUMMARY")
        if path:
            temporary = path + ".tmp"
            with open(temporary, "w") as out:
                json.dump({"hosts": summary}, out, indent=1)
            os.replace(temporary, path)
