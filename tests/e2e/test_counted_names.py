"""Key names that the Win32 string calls cannot spell: a local user may give a key inside a token a name
holding U+0000 (the native calls take counted names), which cut at its NUL is the parent again. No run
re-enters a key through such a name, writes through a link beside it, or leaves it behind."""
import unittest

from harness import PROBE, Machine, MachineTest

DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
ELENA = "TTS_Mirelka_es-ES_Elena"
NUL = "u16:0000"              # a name of one U+0000
NUL_X = "u16:00000078"        # U+0000, then "x"
VICTIM = "SOFTWARE\\Victim"


def token(root, name=ELENA):
    return root + "\\Tokens\\" + name


class CountedNamesTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.install_examples()
        self.m.set_value("HKLM", VICTIM, "Keep", "victim")

    def counted(self, hive, path, name, value=None):
        args = ["counted", hive, path, name] + ([value] if value is not None else [])
        code, _, err = self.m.run(*args, program=PROBE)
        self.assertEqual(code, 0, err)

    def victim(self):
        return {p: (k.values, k.acl) for p, k in self.m.registry("HKLM", VICTIM).items()}

    def nul_keys(self, hive, root):
        return [p for p in self.m.registry(hive, root + "\\Tokens") if "<0000>" in p]

    def test_a_nul_name_beside_a_planted_link_steers_no_installation(self):
        self.counted("HKLM", token(DESKTOP), NUL)
        self.m.delete_key("HKLM", token(DESKTOP) + "\\Attributes")
        self.m.link("HKLM", token(DESKTOP) + "\\Attributes", VICTIM)
        self.assertTrue(self.nul_keys("HKLM", DESKTOP), "the probe made the key")
        before = self.victim()
        self.assertEqual(self.m.run(timeout=60)[0], 0)
        self.assertEqual(self.victim(), before, "the installation wrote through the link")
        for hive in ("HKLM", "HKCU"):
            keys = self.m.registry(hive, token(DESKTOP))
            attributes = keys[(hive + "\\" + token(DESKTOP) + "\\Attributes").lower()]
            self.assertEqual(attributes.values["name"][2], "Elena", hive)
            self.assertEqual(len(attributes.values), 7, hive)
            self.assertEqual(self.nul_keys(hive, DESKTOP), [], hive)

    def test_nul_names_in_every_place_leave_no_token_after_the_uninstallation(self):
        for hive in ("HKLM", "HKCU"):
            for root in (DESKTOP, ONECORE):
                self.counted(hive, token(root), NUL_X)
                self.counted(hive, token(root) + "\\Attributes", NUL)
        self.counted("HKLM", token(DESKTOP) + "\\Attributes\\" + "Nested", NUL)
        before = self.victim()
        code, _, _ = self.m.run("/uninstall", timeout=60)
        self.assertEqual(code, 0, self.m.describe())
        for hive in ("HKLM", "HKCU"):
            for root in (DESKTOP, ONECORE):
                self.assertEqual([p for p in self.m.registry(hive, root + "\\Tokens") if "mirelka" in p], [],
                                 hive + "\\" + root)
        self.assertEqual(self.victim(), before)

    def test_two_nul_names_in_a_token_are_checked_within_seconds(self):
        self.counted("HKLM", token(DESKTOP), NUL)
        self.counted("HKLM", token(DESKTOP), NUL_X)
        # A value is read by its count too: "Elena" NUL "x" is not "Elena", and is shown escaped.
        self.m.set_value("HKLM", token(ONECORE) + "\\Attributes", "Name", "u16:0045006c0065006e006100000078")
        code, out, _ = self.m.run("/verify", timeout=60)
        self.assertEqual(code, 1, out)  # the two keys carry no entry for everyone
        self.assertIn(b"no full-access entry for everyone on ", out)
        self.assertIn(b'found "Elena\\x00x"', out)
        self.assertNotIn(b"Invalid key", out)

    def test_a_nul_name_in_the_users_copy_is_gone_after_the_installation(self):
        self.counted("HKCU", token(ONECORE), NUL)
        self.counted("HKCU", token(ONECORE) + "\\Attributes", NUL_X)
        self.counted("HKLM", token(ONECORE), NUL_X, "planted")  # a value of a counted name
        self.assertEqual(self.m.run(timeout=60)[0], 0)
        for hive in ("HKLM", "HKCU"):
            self.assertEqual(self.nul_keys(hive, ONECORE), [], hive)
            values = self.m.registry(hive, token(ONECORE))[(hive + "\\" + token(ONECORE)).lower()].values
            self.assertNotIn("<0000>x", values, hive)
            self.assertNotIn("x", values, hive)
            self.assertEqual(sorted(values), ["", "c0a", "clsid"], hive)


if __name__ == "__main__":
    unittest.main()
