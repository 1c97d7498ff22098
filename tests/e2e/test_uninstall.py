"""The uninstall mode end to end: every token gone, the installation folder gone, nothing else touched."""
import os
import re
import shutil
import tempfile
import unittest

from harness import ENGINE_CLSID, Machine, MachineTest

DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
ROOT = "C:\\Program Files\\Mirelka\\ZunSapi64"
VOICES = ROOT + "\\data_quelto\\voices\\"
LIBRARY = ROOT + "\\QueltoEngine.dll"
EXAMPLE_TOKENS = ["TTS_Mirelka_eu-ES_Ane", "TTS_Mirelka_en-US_Mark", "TTS_Mirelka_es-ES_Elena"]


def remove_deep_tree(top):
    """Deletes what is left of a tree too deep for shutil's recursion, one level at a time."""
    if not os.path.isdir(top):
        return
    stack = [(os.open(top, os.O_RDONLY), None)]
    while stack:
        fd = stack[-1][0]
        entries = list(os.scandir(fd))
        for e in entries:
            if not e.is_dir(follow_symlinks=False):
                os.unlink(e.name, dir_fd=fd)
        folders = [e.name for e in entries if e.is_dir(follow_symlinks=False)]
        if folders:
            stack.append((os.open(folders[0], os.O_RDONLY, dir_fd=fd), folders[0]))
            continue
        os.close(fd)
        _, name = stack.pop()
        if stack:
            os.rmdir(name, dir_fd=stack[-1][0])
        else:
            os.rmdir(top)


class UninstallTest(MachineTest):
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
        lines = self.m.log_lines(since=log_before)
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
        lines = self.m.log_lines(since=first)
        self.assertEqual(lines, self.uninstall_lines([]))

    def test_tokens_without_voice_folders_are_found_by_their_prefix(self):
        self.install_examples()
        self.m.set_value("HKCU", ONECORE + "\\Tokens\\tts_mirelka_lower", "", "other case")
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\Named_By_Folder", "CLSID", ENGINE_CLSID)
        # Outside the prefix only the engine's class makes a token the engine's.
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\Named_No_Class", "", "no prefix, no class")
        self.m.write_file(VOICES + "named\\voice.txt", b"tokenkeyname : Named_By_Folder\r\n")
        self.m.write_file(VOICES + "noclass\\voice.txt", b"TokenKeyName: Named_No_Class\r\n")
        shutil.rmtree(self.m.host(VOICES + "english-mark"))
        self.m.run("/uninstall")
        for token in EXAMPLE_TOKENS + ["Named_By_Folder"]:
            self.assertEqual(self.tokens_left(token), [], token)
        self.assertEqual(self.tokens_left("tts_mirelka_lower"), ["HKCU\\" + ONECORE])
        self.assertEqual(self.tokens_left("Named_No_Class"), ["HKLM\\" + DESKTOP])

    def test_file_held_open_stays_with_its_parents(self):
        self.install_examples()
        self.m.write_file(ROOT + "\\bin\\QueltoEngine.dll", b"MZ")
        self.m.write_file(ROOT + "\\bin\\other.dll", b"MZ")
        self.assertEqual(self.m.run_holding(ROOT + "\\bin\\QueltoEngine.dll", "/uninstall")[0], 0)
        self.assertTrue(self.m.exists(ROOT + "\\bin\\QueltoEngine.dll"))
        self.assertEqual(self.m.files(ROOT), {"bin", os.path.join("bin", "QueltoEngine.dll")})
        for token in EXAMPLE_TOKENS:
            self.assertEqual(self.tokens_left(token), [], "tokens go first, whatever the files do")

    def test_held_entries_are_scheduled_by_their_exact_names_and_the_restart_is_told(self):
        self.install_examples()
        # A name that normalising would change: Win32 strips a trailing dot.
        self.m.write_file(ROOT + "\\held.", b"x")
        code, out, _ = self.m.run_holding(("\\\\?\\" if self.m.wine else "") + ROOT + "\\held.", "/uninstall")
        self.assertEqual(code, 0)
        self.assertEqual(self.m.pending_deletions(), [ROOT + "\\held.", ROOT])
        told = "2 entries wait for deletion at the next restart; /verify reports them until then"
        self.assertIn(told.encode() + self.m.eol, out)
        self.assertIn(("WARNING", told), self.m.log_lines())

    def test_a_running_image_is_renamed_before_it_is_scheduled_so_a_reinstallation_survives_the_restart(self):
        if self.m.wine:
            self.skipTest("Wine 8 deletes a running program's image at once (a Unix unlink), so it is never "
                          "scheduled there; the stand-in models Windows, which refuses the deletion but allows "
                          "the rename")
        self.install_examples()
        self.m.write_file(LIBRARY, b"old engine")
        code, out, _ = self.m.run_holding(LIBRARY, "/uninstall", verb="image")
        self.assertEqual(code, 0)
        pending = self.m.pending_deletions()
        self.assertEqual(len(pending), 2, pending)
        self.assertRegex(pending[0], r"^%s\\~pendrel-deleted-\d+-\d+\.tmp$" % re.escape(ROOT))
        self.assertEqual(pending[1], ROOT)
        self.assertIn(("INFO", "Renamed, so that a reinstallation keeps its own file: " + LIBRARY), self.m.log_lines())
        # A reinstallation before the restart, then what the session manager does at it.
        self.install_examples()
        self.m.write_file(LIBRARY, b"new engine")
        for path in pending:
            host = self.m.host(path)
            if os.path.isdir(host):
                if not os.listdir(host):
                    os.rmdir(host)  # a folder goes at the restart only when it is empty
            elif os.path.lexists(host):
                os.remove(host)
        with open(self.m.host(LIBRARY), "rb") as f:
            self.assertEqual(f.read(), b"new engine")
        self.assertTrue(self.m.exists(VOICES + "spanish-elena\\metaData.txt"))

    def test_a_link_above_the_installation_folder_never_takes_the_stand_in_outside_its_sandbox(self):
        if self.m.wine:
            self.skipTest("on Windows a junction an administrator made above the folder is the administrator's "
                          "choice and is followed; the promise to stay inside is the stand-in's")
        outside = tempfile.mkdtemp(prefix="pendrel-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        os.makedirs(os.path.join(outside, "ZunSapi64", "data_quelto"))
        with open(os.path.join(outside, "ZunSapi64", "precious.txt"), "w") as f:
            f.write("keep")
        os.makedirs(self.m.host("C:\\Program Files"), exist_ok=True)
        os.symlink(outside, self.m.host("C:\\Program Files\\Mirelka"))
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        self.assertTrue(os.path.exists(os.path.join(outside, "ZunSapi64", "precious.txt")))
        self.assertTrue([m for level, m in self.m.log_lines()
                         if level == "ERROR" and m.startswith("Cannot open folder " + ROOT + " (1921: ")], self.m.log_lines())

    def test_a_folder_held_as_a_current_folder_is_emptied_and_scheduled(self):
        if not self.m.wine:
            self.skipTest("the stand-in does not model a process's current folder as held open; Windows, and Wine, "
                          "hold it without delete sharing")
        self.install_examples()
        self.m.write_file(ROOT + "\\sub\\deeper\\a.txt", b"x")
        self.assertEqual(self.m.run_holding(ROOT + "\\sub", "/uninstall", verb="cwd")[0], 0)
        self.assertEqual(self.m.files(ROOT), {"sub"}, "everything inside the held folder goes")
        self.assertEqual(self.m.pending_deletions(), [ROOT + "\\sub", ROOT])

    def test_the_empty_makers_folder_goes_and_a_hard_link_never_changes_its_file(self):
        self.install_examples()
        outside = self.m.host("C:\\outside.txt")
        with open(outside, "w") as f:
            f.write("keep")
        os.chmod(outside, 0o444)
        os.link(outside, self.m.host(ROOT + "\\linked.txt"))
        os.chmod(outside, 0o444)
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        self.assertFalse(self.m.exists(ROOT))
        self.assertFalse(self.m.exists("C:\\Program Files\\Mirelka"), "left empty, so removed")
        self.assertIn(("INFO", "Removed the empty folder: C:\\Program Files\\Mirelka"), self.m.log_lines())
        self.assertEqual(os.stat(outside).st_mode & 0o777, 0o444, "the file keeps its read-only attribute")

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

    def test_names_windows_mangles_read_only_folders_and_links_all_go(self):
        outside = tempfile.mkdtemp(prefix="pendrel-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        os.mkdir(os.path.join(outside, "inner"))
        with open(os.path.join(outside, "inner", "precious.txt"), "w") as f:
            f.write("keep")
        self.install_examples()
        for name in ("aux.txt", "nul.json", "name. ", "con"):
            self.m.write_file(ROOT + "\\" + name, b"x")
        self.m.write_file(ROOT + "\\locked\\inner\\f.txt", b"x")
        os.chmod(self.m.host(ROOT + "\\locked\\inner"), 0o555)
        os.chmod(self.m.host(ROOT + "\\locked"), 0o555)
        os.symlink(outside, os.path.join(self.m.host(ROOT), "outside-link"))
        code, _, _ = self.m.run("/uninstall")
        self.assertEqual(code, 0)
        self.assertEqual(sorted(os.listdir(outside)), ["inner"])
        self.assertEqual(os.listdir(os.path.join(outside, "inner")), ["precious.txt"])
        pending = self.m.pending_deletions()
        if self.m.wine:
            # Wine 8 opens a Unix link to a folder only through it, so the link
            # cannot go without reaching its target: it and the folder holding
            # it wait for the restart, each with its WARNING line.
            self.assertEqual(pending, [ROOT + "\\outside-link", ROOT])
            self.assertEqual(sorted(os.listdir(self.m.host(ROOT))), ["outside-link"])
            warnings = [m for level, m in self.m.log_lines() if level == "WARNING"]
            self.assertEqual(warnings, ["Scheduled for deletion at the next restart: " + p for p in pending] +
                             ["2 entries wait for deletion at the next restart; /verify reports them until then"])
        else:
            self.assertEqual(pending, [])
            self.assertFalse(self.m.exists(ROOT))
        self.assertNotIn("ERROR", [level for level, _ in self.m.log_lines()])

    def test_tree_deeper_than_any_path_limit(self):
        self.install_examples()
        top = self.m.host(ROOT)
        self.addCleanup(remove_deep_tree, top)
        fd = os.open(top, os.O_RDONLY)
        for _ in range(5000):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(os.open("leaf.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
        os.close(fd)
        code, _, _ = self.m.run("/uninstall", timeout=600)
        self.assertEqual(code, 0)
        # Wine turns each path into one Unix path of at most 4,096 bytes, about
        # 2,000 levels here: the walk keeps its paths short on both builds.
        self.assertEqual([m for level, m in self.m.log_lines() if level in ("ERROR", "WARNING")], [])
        self.assertFalse(self.m.exists(ROOT))


    def test_another_engines_token_is_never_deleted_and_the_engines_prefix_decides(self):
        other = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
        self.install_examples()
        # One found by the prefix scan, one named by a voice folder's voice.txt,
        # one named outside the prefix that names the engine's class.
        for token in ("TTS_Mirelka_Foreign", "Vendor_Named"):
            for hive in ("HKLM", "HKCU"):
                self.m.set_value(hive, ONECORE + "\\Tokens\\" + token, "CLSID", other)
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\Renamed_Engine_Voice", "CLSID", ENGINE_CLSID)
        self.m.write_file(VOICES + "named\\voice.txt", b"TokenKeyName: Vendor_Named\r\n")
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        self.assertEqual(self.tokens_left("Vendor_Named"), ["HKLM\\" + ONECORE, "HKCU\\" + ONECORE])
        for token in EXAMPLE_TOKENS + ["TTS_Mirelka_Foreign", "Renamed_Engine_Voice"]:
            self.assertEqual(self.tokens_left(token), [], token)
        warnings = [m for level, m in self.m.log_lines() if level == "WARNING"]
        self.assertIn("Token not deleted, it belongs to another engine (%s): %s\\Tokens\\Vendor_Named (HKCU)"
                      % (other, ONECORE), warnings)
        for hive in ("HKLM", "HKCU"):
            self.assertEqual(warnings.count("Token carries the engine's prefix but names another class (%s), deleted "
                                            "as the engine's: %s\\Tokens\\TTS_Mirelka_Foreign (%s)"
                                            % (other, ONECORE, hive)), 1, warnings)


if __name__ == "__main__":
    unittest.main()
