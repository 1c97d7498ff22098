"""What a local user may put inside the tokens, which are open to everyone, never turns an elevated run
against the machine: registry links are never followed, loops end, keys that deny administrators go, and a
token of the engine's name is the engine's whatever class it names."""
import time
import unittest

from harness import ENGINE_CLSID, Machine, MachineTest

DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
ELENA = "TTS_Mirelka_es-ES_Elena"
TOKENS = ["TTS_Mirelka_eu-ES_Ane", "TTS_Mirelka_en-US_Mark", ELENA]
DECOYS = ["SOFTWARE\\PendrelDecoy", "SOFTWARE\\PendrelDecoyAttributes"]
OTHER = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"


def token(root, name=ELENA):
    return root + "\\Tokens\\" + name


class TokenLinksTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.install_examples()
        for decoy in DECOYS:
            self.m.set_value("HKLM", decoy + "\\Inner", "Keep", "decoy")

    def decoys(self):
        state = {}
        for decoy in DECOYS:
            for path, key in self.m.registry("HKLM", decoy).items():
                state[path] = (key.values, key.acl)
        return state

    def keys_below(self, hive, path):
        return [p for p in self.m.registry(hive, path)]

    def test_links_inside_tokens_never_lead_a_run_outside(self):
        # A link below a token, and one in place of its Attributes key, in both hives.
        for hive in ("HKLM", "HKCU"):
            self.m.link(hive, token(DESKTOP) + "\\Sub", DECOYS[0])
            self.m.delete_key(hive, token(ONECORE) + "\\Attributes")
            self.m.link(hive, token(ONECORE) + "\\Attributes", DECOYS[1])
        before = self.decoys()
        self.assertEqual(self.m.run()[0], 0)
        self.assertEqual(self.decoys(), before, "the installation run")
        for hive in ("HKLM", "HKCU"):
            keys = self.m.registry(hive, token(ONECORE))
            attributes = keys[(hive + "\\" + token(ONECORE) + "\\Attributes").lower()]
            self.assertEqual(attributes.values["name"][2], "Elena", "written afresh, not through the link")
            self.assertNotIn((hive + "\\" + token(DESKTOP) + "\\Sub").lower(), self.m.registry(hive, token(DESKTOP)))
        # Planted again after the installation, for the check and the uninstallation.
        for hive in ("HKLM", "HKCU"):
            self.m.link(hive, token(DESKTOP) + "\\Attributes\\Sub", DECOYS[0])
        code, out, _ = self.m.run("/verify")
        self.assertEqual(code, 1, out)
        self.assertIn(b"a registry link inside the token: Attributes\\Sub", out)
        self.assertEqual(self.decoys(), before, "the check")
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        self.assertEqual(self.decoys(), before, "the uninstallation")
        for hive in ("HKLM", "HKCU"):
            for root in (DESKTOP, ONECORE):
                self.assertEqual(self.keys_below(hive, token(root)), [])

    def test_a_link_loop_in_a_token_ends_every_run(self):
        for hive in ("HKLM", "HKCU"):
            self.m.link(hive, token(DESKTOP) + "\\Attributes\\Loop", token(DESKTOP))
        code, out, _ = self.m.run("/verify", timeout=60)
        self.assertEqual(code, 1, out)
        self.assertIn(b"a registry link inside the token: Attributes\\Loop", out)
        self.assertIn(b"Summary: 3 voices", out)
        self.assertEqual(self.m.run(timeout=60)[0], 0)
        for hive in ("HKLM", "HKCU"):
            self.assertEqual(sorted(self.keys_below(hive, token(DESKTOP))),
                             [(hive + "\\" + token(DESKTOP) + s).lower() for s in ("", "\\Attributes")])
        code, out, _ = self.m.run("/verify", timeout=60)
        self.assertNotIn(b"registry link", out)

    def test_links_planted_while_the_runs_work_never_lead_outside(self):
        if not self.m.wine:
            self.skipTest("the stand-in's registry belongs to one process at a time, so no other process can plant "
                          "keys while a run works; Wine's server serves both at once, as Windows does")
        before = self.decoys()
        planters = [self.m.start_probe("plant", hive, token(root, name), DECOYS[0], "20")
                    for hive in ("HKLM", "HKCU") for root in (DESKTOP, ONECORE) for name in (ELENA, TOKENS[0])]
        deadline = time.monotonic() + 12
        runs = 0
        while time.monotonic() < deadline or runs < 2:
            self.assertEqual(self.m.run(timeout=120)[0], 0)
            runs += 1
        self.assertEqual(self.m.run("/uninstall", timeout=120)[0], 0)
        for p in planters:
            out, err = p.communicate(timeout=60)
            self.assertEqual(p.returncode, 0, err)
            self.assertGreater(int(out), 0, "the planter made links")
        self.assertEqual(self.decoys(), before)

    def test_keys_that_shut_administrators_out_are_replaced_then_deleted(self):
        if self.m.wine:
            self.skipTest("Wine 8 runs everything as an administrator and never lets a deny entry stop one, so the "
                          "privileged open cannot be reached there; the stand-in enforces the entry")
        self.m.set_acl("HKLM", token(DESKTOP) + "\\Attributes", "deny-everyone")
        start = self.m.log_bytes()
        self.assertEqual(self.m.run()[0], 0)
        self.assertIn(("WARNING", "Key denies administrators, opened with the backup and restore privileges to delete "
                       "it: HKEY_LOCAL_MACHINE\\" + token(DESKTOP) + "\\Attributes"), self.m.log_lines(since=start))
        keys = self.m.registry("HKLM", token(DESKTOP))
        self.assertEqual(keys[("HKLM\\" + token(DESKTOP) + "\\Attributes").lower()].values["name"][2], "Elena")
        self.m.set_acl("HKCU", token(ONECORE) + "\\Attributes", "deny-everyone")
        # A link that shuts administrators out itself: the privileged open takes it as the link it is.
        link = token(DESKTOP) + "\\Attributes\\Sub"
        self.m.link("HKLM", link, DECOYS[0])
        self.m.set_acl("HKLM", link, "deny-everyone")
        before = self.decoys()
        start = self.m.log_bytes()
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        self.assertIn(("WARNING", "Key denies administrators, opened with the backup and restore privileges to delete "
                       "it: HKEY_LOCAL_MACHINE\\" + link), self.m.log_lines(since=start))
        self.assertEqual(self.decoys(), before, "the link's target")
        for hive in ("HKLM", "HKCU"):
            for root in (DESKTOP, ONECORE):
                self.assertEqual(self.keys_below(hive, token(root)), [])

    def test_a_token_of_the_engines_name_with_another_class_is_repaired_then_deleted(self):
        for hive in ("HKLM", "HKCU"):
            self.m.set_value(hive, token(ONECORE), "CLSID", OTHER)
        start = self.m.log_bytes()
        self.assertEqual(self.m.run()[0], 0)
        warnings = [m for level, m in self.m.log_lines(since=start) if level == "WARNING"]
        self.assertEqual(warnings, ["Token '%s' carries the engine's prefix but names another class, so it is the "
                                    "engine's and is written afresh: HKEY_LOCAL_MACHINE\\%s (CLSID %s)"
                                    % (ELENA, token(ONECORE), OTHER)])
        for hive in ("HKLM", "HKCU"):
            key = self.m.registry(hive, token(ONECORE))[(hive + "\\" + token(ONECORE)).lower()]
            self.assertEqual(key.values["clsid"][2], ENGINE_CLSID)
        self.m.set_value("HKCU", token(ONECORE), "CLSID", OTHER)
        code, out, _ = self.m.run("/verify")
        self.assertEqual(code, 1, out)
        self.assertIn(("HKCU\\Speech_OneCore: CLSID: expected %s, found \"%s\"" % (ENGINE_CLSID, OTHER)).encode(), out)
        self.assertIn(b"  Repair: run the installation (pendrel without arguments) as an administrator", out)
        self.assertNotIn(b"Leftover", out)
        start = self.m.log_bytes()
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        warnings = [m for level, m in self.m.log_lines(since=start) if level == "WARNING"]
        self.assertEqual(warnings, ["Token carries the engine's prefix but names another class (%s), deleted as the "
                                    "engine's: %s (HKCU)" % (OTHER, token(ONECORE))])
        for hive in ("HKLM", "HKCU"):
            self.assertEqual(self.keys_below(hive, token(ONECORE)), [])


if __name__ == "__main__":
    unittest.main()
