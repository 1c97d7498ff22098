"""The uninstall mode end to end: every token gone, the installation folder gone, nothing else touched."""
import os
import shutil
import tempfile
import unittest

from harness import Machine

DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
ROOT = "C:\\Program Files\\Mirelka\\ZunSapi64"
VOICES = ROOT + "\\data_quelto\\voices\\"
EXAMPLE_TOKENS = ["TTS_Mirelka_eu-ES_Ane", "TTS_Mirelka_en-US_Mark", "TTS_Mirelka_es-ES_Elena"]


class UninstallTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def install_examples(self):
        self.m.install_examples()

    def snapshot(self):
        state = {}
        for hive in ("HKLM", "HKCU"):
            for path in ("SOFTWARE\\Microsoft\\Speech", "SOFTWARE\\Microsoft\\Speech_OneCore", "Software\\Mirelka"):
                for key_path, key in self.m.registry(hive, path).items():
                    state[key_path] = (key.values, key.acl)
        return state

    def tokens_left(self, name):
        return [hive + "\\" + root for hive in ("HKLM", "HKCU") for root in (DESKTOP, ONECORE)
                if self.m.registry(hive, root + "\\Tokens\\" + name)]

    def uninstall_lines(self, deleted):
        lines = [("INFO", "Run Pendrel"), ("INFO", "/uninstall"), ("INFO", "Runing Uninstall Pendrel"),
                 ("INFO", "Starting uninstallation of Mirelka voices")]
        for token in deleted:
            for label in ("HKLM", "HKCU"):
                for root in (DESKTOP, ONECORE):
                    lines.append(("INFO", "Token deleted: %s\\Tokens\\%s (%s)" % (root, token, label)))
        return lines + [
            ("INFO", "Removing installation files: " + ROOT),
            ("INFO", "Removing temporal files: "),
            ("INFO", "   - Available voices file: " + self.m.temp + "quelto_voices.json"),
            ("INFO", "   - Selected voices file: " + self.m.temp + "quelto_selected.txt"),
            ("INFO", "Finished uninstallation of Mirelka voices")]

    def test_install_then_uninstall_leaves_the_machine_as_before(self):
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\Vendor_Other_Voice", "", "another vendor")
        self.m.set_value("HKLM", "Software\\Mirelka\\Other", "", "kept")
        self.m.write_file("C:\\Program Files\\Mirelka\\Other\\keep.txt", b"other product")
        before_registry = self.snapshot()
        before_files = self.m.files("C:\\")
        self.install_examples()
        for extra in ("bin\\QueltoEngine.dll", ".cache\\x.bin", "readonly.dat"):
            self.m.write_file(ROOT + "\\" + extra, b"x")
        os.chmod(self.m.host(ROOT + "\\readonly.dat"), 0o444)
        self.m.set_value("HKCU", "Software\\Mirelka\\VoicePaths", "x", "y")
        self.m.write_file(self.m.temp + "quelto_voices.json", b"[]")
        self.m.write_file(self.m.temp + "quelto_selected.txt", b"x")
        log_before = self.m.log_bytes()

        code, out, _ = self.m.run("/uninstall")
        self.assertEqual(code, 0)
        lines = self.m.log_lines()[len(log_before.split(b"\r\n")) - 1:]
        self.assertEqual(lines, self.uninstall_lines(EXAMPLE_TOKENS))
        self.assertEqual(out.count(self.m.eol), 4, "the console shows only the start lines")

        after_registry = self.snapshot()
        for path, state in before_registry.items():
            self.assertEqual(after_registry.get(path), state, path)
        for path, (values, _) in after_registry.items():
            if path not in before_registry:
                self.assertEqual(values, {}, path)
                # Category keys made on the way to the tokens, and the one the test made for VoicePaths.
                self.assertTrue(path.endswith(("\\voices", "\\tokens", "\\speech_onecore", "\\speech", "hkcu\\software\\mirelka")), path)
        log_folder = self.m.local_appdata.split("\\", 1)[1].replace("\\", os.sep) + os.sep + "Mirelka"
        after_files = {f for f in self.m.files("C:\\") if not f.lower().startswith(log_folder.lower())}
        self.assertEqual(after_files, {f for f in before_files if not f.lower().startswith(log_folder.lower())})
        self.assertFalse(self.m.exists(ROOT))
        self.assertTrue(self.m.exists("C:\\Program Files\\Mirelka\\Other\\keep.txt"))
        self.assertTrue(os.path.exists(self.m.log_path()))

    def test_second_uninstall_writes_no_token_lines(self):
        self.install_examples()
        self.m.run("/uninstall")
        first = self.m.log_bytes()
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        lines = self.m.log_lines()[len(first.split(b"\r\n")) - 1:]
        self.assertEqual(lines, self.uninstall_lines([]))

    def test_tokens_without_voice_folders_are_found_by_their_prefix(self):
        self.install_examples()
        self.m.set_value("HKCU", ONECORE + "\\Tokens\\tts_mirelka_lower", "", "other case")
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\Named_By_Folder", "", "no prefix")
        self.m.write_file(VOICES + "named\\voice.txt", b"tokenkeyname : Named_By_Folder\r\n")
        shutil.rmtree(self.m.host(VOICES + "english-mark"))
        self.m.run("/uninstall")
        for token in EXAMPLE_TOKENS + ["Named_By_Folder"]:
            self.assertEqual(self.tokens_left(token), [], token)
        self.assertEqual(self.tokens_left("tts_mirelka_lower"), ["HKCU\\" + ONECORE])

    def test_file_held_open_stays_with_its_parents(self):
        self.install_examples()
        self.m.write_file(ROOT + "\\bin\\QueltoEngine.dll", b"MZ")
        self.m.write_file(ROOT + "\\bin\\other.dll", b"MZ")
        holder = self.m.hold(ROOT + "\\bin\\QueltoEngine.dll")
        try:
            self.assertEqual(self.m.run("/uninstall")[0], 0)
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)
            holder.stdout.close()
        self.assertTrue(self.m.exists(ROOT + "\\bin\\QueltoEngine.dll"))
        self.assertEqual(self.m.files(ROOT), {"bin", os.path.join("bin", "QueltoEngine.dll")})
        for token in EXAMPLE_TOKENS:
            self.assertEqual(self.tokens_left(token), [], "tokens go first, whatever the files do")

    def test_link_inside_the_installation_folder_is_never_followed(self):
        if self.m.wine:
            self.skipTest("Wine 8 cannot show it: CreateSymbolicLinkW creates nothing, and on a Unix link "
                          "RemoveDirectoryW acts on the target; the Linux build tests it with POSIX links")
        outside = tempfile.mkdtemp(prefix="pendrel-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "precious.txt"), "w") as f:
            f.write("keep")
        self.install_examples()
        os.symlink(outside, self.m.host(ROOT + "\\data_quelto") + "/outside")
        os.symlink(os.path.join(outside, "precious.txt"), self.m.host(ROOT) + "/precious-link.txt")
        self.m.run("/uninstall")
        self.assertFalse(self.m.exists(ROOT))
        self.assertEqual(os.listdir(outside), ["precious.txt"])


if __name__ == "__main__":
    unittest.main()
