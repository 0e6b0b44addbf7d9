"""The fleet playbook's decisions on the controller: which drives a package
fits, which are up to date, the program's answers, and how a run's exit
status, output and the drives afterwards are judged."""
import copy
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples", "fleet",
                                "filter_plugins"))
import zorbel_fleet as fleet  # noqa: E402


def field(text):
    raw = text.encode("latin-1")
    return {"text": text, "hex": raw.hex().upper()}


def drive(node, vendor, product, revision, disc="absent", tray="closed"):
    return {"node": node, "identified": True, "vendor": field(vendor), "product": field(product),
            "revision": field(revision), "disc": disc, "tray": tray}


def slot(vendor="", product="", lowest="", highest="", untouched=False):
    return {"untouched": untouched, "vendor": vendor, "product": product, "lowest": lowest,
            "highest": highest}


def package(bins, **options):
    opts = {"N2OMESSAGE": 1, "CHKDISC": 0, "AUTOMODE": 0, "WARNING": 1, "HOW_MANY_BIN": len(bins)}
    opts.update(options)
    return {"options": opts, "bank_untouched": False,
            "bins": [dict(bin=k + 1, new_revision=new, constraints=slots)
                     for k, (new, slots) in enumerate(bins)]}


MERIDOX = ("MERIDOX ", "DVR-RW 1616 SUPR")
PKG = package([("1B10", [slot(*MERIDOX, lowest="1B05", highest="1B09")])])


class FitTest(unittest.TestCase):
    def decisions(self, pkg, *drives):
        return [j["decision"] for j in fleet.fleet_plan({"drives": list(drives)}, pkg)["drives"]]

    def test_identity_and_revision_bounds(self):
        cases = [
            (drive("sr0", "MERIDOX ", "DVR-RW 1616 SUPR", "1B05"), "update"),   # lowest bound
            (drive("sr0", "MERIDOX ", "DVR-RW 1616 SUPR", "1B09"), "update"),   # highest bound
            (drive("sr0", "MERIDOX ", "DVR-RW 1616 SUPR", "1B04"), "not for this package"),
            (drive("sr0", "MERIDOX ", "DVR-RW 1616 SUPR", "1B10"), "up to date"),  # past the range
            (drive("sr0", "MERIDOX ", "DVR-RW 1616 SUPR", "1B20"), "up to date"),  # never downgraded
            (drive("sr0", "MERIDOX", "DVR-RW 1616 SUPR", "1B05"), "not for this package"),  # blanks count
            (drive("sr0", "QEMU    ", "QEMU CD-ROM     ", "2.5+"), "not for this package"),
        ]
        for d, expected in cases:
            with self.subTest(revision=d["revision"]["text"], vendor=d["vendor"]["text"]):
                self.assertEqual(self.decisions(PKG, d), [expected])

    def test_a_fitting_drive_at_the_new_revision_is_up_to_date(self):
        pkg = package([("1B10", [slot(*MERIDOX, lowest="1B05", highest="1B10")])])
        self.assertEqual(self.decisions(pkg, drive("sr0", *MERIDOX, "1B10")), ["up to date"])

    def test_bins_in_order_first_accepting_slot_decides(self):
        pkg = package([("1B10", [slot(untouched=True), slot(*MERIDOX)]),
                       ("1C10", [slot(*MERIDOX)])])
        # An untouched slot after the first accepts nothing: bin 1's second slot decides.
        plan = fleet.fleet_plan({"drives": [drive("sr0", *MERIDOX, "1B05")]}, pkg)
        self.assertEqual(plan["drives"][0]["new_revision"], "1B10")
        # Bins past HOW_MANY_BIN are not looked at.
        pkg = package([("1B10", [slot("OTHER   ")]), ("1C10", [slot(*MERIDOX)])], HOW_MANY_BIN=1)
        self.assertEqual(self.decisions(pkg, drive("sr0", *MERIDOX, "1B05")), ["not for this package"])

    def test_an_untouched_first_slot_or_no_slot_fits_every_drive_an_untouched_bank_none(self):
        qemu = drive("sr0", "QEMU    ", "QEMU CD-ROM     ", "2.5+")
        for slots in ([slot(untouched=True)], []):
            with self.subTest(slots=slots):
                self.assertEqual(self.decisions(package([("9.99", slots)]), qemu), ["update"])
        pkg = package([("9.99", [])])
        pkg["bank_untouched"] = True
        self.assertEqual(self.decisions(pkg, qemu), ["not for this package"])

    def test_identity_fields_are_exact_bytes_cut_at_nul(self):
        d = drive("sr0", *MERIDOX, "1B05")
        d["vendor"] = {"text": "MERIDOX", "hex": "4D455249444F5800"}  # "MERIDOX" and a NUL
        pkg = package([("1B10", [slot("MERIDOX", MERIDOX[1])])])
        self.assertEqual(self.decisions(pkg, d), ["update"])
        self.assertEqual(self.decisions(PKG, d), ["not for this package"])

    def test_unidentified_drive_and_disc_rules(self):
        silent = {"node": "sr1", "identified": False, "vendor": None, "product": None,
                  "revision": None}
        self.assertEqual(self.decisions(PKG, silent), ["unidentified"])
        disc = drive("sr0", *MERIDOX, "1B05", disc="present")
        self.assertEqual(self.decisions(PKG, disc), ["update"])
        self.assertEqual(self.decisions(package(PKG["bins"] and [("1B10", PKG["bins"][0]["constraints"])],
                                                CHKDISC=1), disc), ["skipped"])


class PlanTest(unittest.TestCase):
    def test_machine_states(self):
        cases = [
            ([], "no optical drive"),
            ([drive("sr0", "QEMU    ", "QEMU CD-ROM     ", "2.5+")], "no drive for this package"),
            ([drive("sr0", *MERIDOX, "1B10")], "up to date"),
            ([drive("sr0", *MERIDOX, "1B10"), drive("sr1", *MERIDOX, "1B05")], "needs update"),
        ]
        for drives, state in cases:
            with self.subTest(state=state):
                self.assertEqual(fleet.fleet_plan({"drives": drives}, PKG)["state"], state)
        # On its battery alone a machine that needs the update is skipped with nothing to run.
        for allowed, state in ((False, "skipped"), (True, "needs update")):
            plan = fleet.fleet_plan({"drives": cases[3][0], "power": {"update_allowed": allowed}}, PKG)
            self.assertEqual((plan["state"], bool(plan["runs"])), (state, allowed))

    def test_answers_one_run_per_drive_selecting_all_but_the_first_fitting_line(self):
        drives = [drive("sr0", "QEMU    ", "QEMU CD-ROM     ", "2.5+"), drive("sr1", *MERIDOX, "1B05"),
                  drive("sr2", *MERIDOX, "1B06")]
        plan = fleet.fleet_plan({"drives": drives}, PKG)
        self.assertEqual(plan["runs"], [{"nodes": ["sr1"], "answers": ["yes", "update"]},
                                        {"nodes": ["sr2"], "answers": ["yes", "select=3", "update"]}])
        # An up-to-date drive the package fits is what the program selects first.
        pkg = package([("1B10", [slot(*MERIDOX)])])
        drives = [drive("sr0", *MERIDOX, "1B10"), drive("sr1", *MERIDOX, "1B05")]
        self.assertEqual(fleet.fleet_plan({"drives": drives}, pkg)["runs"],
                         [{"nodes": ["sr1"], "answers": ["yes", "select=2", "update"]}])

    def test_answers_without_notice_and_with_automode(self):
        drives = [drive("sr0", *MERIDOX, "1B05"), drive("sr1", *MERIDOX, "1B06")]
        plan = fleet.fleet_plan({"drives": drives}, package(
            [("1B10", PKG["bins"][0]["constraints"])], WARNING=0, AUTOMODE=1))
        self.assertEqual(plan["runs"], [{"nodes": ["sr0", "sr1"], "answers": []}])


class OutcomeTest(unittest.TestCase):
    def setUp(self):
        self.plan = fleet.fleet_plan({"drives": [drive("sr0", *MERIDOX, "1B05")]}, PKG)
        self.after = {"drives": [drive("sr0", *MERIDOX, "1B10")]}
        self.ok = {"rc": 0, "stdout": "...\n" + fleet.SUCCESS_TEXT + "\n", "stderr": ""}

    def judge(self, result, after):
        return fleet.fleet_outcome(self.plan, [result], after)

    def test_updated_only_with_status_0_the_message_and_the_new_revision(self):
        self.assertEqual(self.judge(self.ok, self.after)["state"], "updated")
        cases = [
            (dict(self.ok, stdout="Answer: [&No]\n"), self.after, "ended without updating"),
            (self.ok, {"drives": [drive("sr0", *MERIDOX, "1B05")]}, "reports 1B05"),
            (self.ok, {"drives": []}, "reports no identity"),
            (self.ok, None, "could not be probed"),
            ({"rc": 1, "stdout": "", "stderr": "a\nb\nc\nUnable to flash\n"}, self.after, "exit status 1"),
            ({"rc": 3, "stdout": "", "stderr": ""}, self.after, "refused"),
            ({"rc": 127, "stdout": "", "stderr": "not found"}, self.after, "could not run"),
        ]
        for result, after, why in cases:
            with self.subTest(why=why):
                outcome = self.judge(result, after)
                self.assertEqual(outcome["state"], "failed")
                self.assertIn(why, outcome["runs"][0]["why"])
        outcome = self.judge(cases[4][0], self.after)
        self.assertEqual(outcome["runs"][0]["stderr"], ["b", "c", "Unable to flash"])

    def test_no_run_after_a_failed_one_and_none_means_failed(self):
        plan = fleet.fleet_plan({"drives": [drive("sr0", *MERIDOX, "1B05"),
                                            drive("sr1", *MERIDOX, "1B05")]}, PKG)
        failed = {"rc": 1, "stdout": "", "stderr": ""}
        outcome = fleet.fleet_outcome(plan, [failed, self.ok], self.after)
        self.assertEqual([r["result"] for r in outcome["runs"]], ["failed"])
        self.assertEqual(fleet.fleet_outcome(plan, [], self.after)["state"], "failed")
        # Every run must have succeeded for the machine to count as updated.
        after = {"drives": [drive("sr0", *MERIDOX, "1B10"), drive("sr1", *MERIDOX, "1B10")]}
        self.assertEqual(fleet.fleet_outcome(plan, [self.ok], after)["state"], "failed")
        self.assertEqual(fleet.fleet_outcome(plan, [self.ok, copy.deepcopy(self.ok)], after)["state"],
                         "updated")


if __name__ == "__main__":
    unittest.main()
