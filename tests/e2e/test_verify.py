"""The check of the machine end to end: what it answers after an installation, after each kind of damage and
after an uninstallation, and that it changes nothing."""
import json
import os
import shutil
import unittest

from harness import CATALOGUE_PROGRAM, PROBE, Machine, MachineTest, pe_image, release

DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
ROOT = "C:\\Program Files\\Mirelka\\ZunSapi64"
LIBRARY = ROOT + "\\QueltoEngine.dll"
CLSID = "{8D758097-2AAE-4277-88CC-3A6BDD344F53}"
CLASS = "SOFTWARE\\Classes\\CLSID\\" + CLSID
EXAMPLE_TOKENS = ["TTS_Mirelka_eu-ES_Ane", "TTS_Mirelka_en-US_Mark", "TTS_Mirelka_es-ES_Elena"]
ELENA = "TTS_Mirelka_es-ES_Elena"


def token(root, name=ELENA):
    return root + "\\Tokens\\" + name


class VerifyTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def install(self):
        """The example voices installed as the engine's installer leaves them: its library and its class too."""
        self.m.install_examples()
        self.m.write_file(LIBRARY, pe_image())
        self.m.set_value("HKLM", CLASS + "\\InprocServer32", "", LIBRARY)
        self.m.set_value("HKLM", CLASS + "\\InprocServer32", "ThreadingModel", "Both")

    def verify(self, *argument):
        """Exit code, report lines (after the start lines) and the log lines the check wrote."""
        before = len(self.m.log_lines())
        code, out, err = self.m.run(*(argument or ("/verify",)))
        lines = out.decode("utf-8").replace("\r\n", "\n").split("\n")[:-1]
        self.assertEqual(lines[0], "Pendrel.exe arrancó correctamente.")
        argc = int(lines[1].split(" = ")[1])
        return code, lines[2 + argc:], self.m.log_lines()[before:]

    def test_clean_installation_verifies_in_any_spelling_of_the_argument(self):
        self.install()
        for argument in ("/verify", "--VERIFY", "/Verify"):
            code, report, log = self.verify(argument)
            self.assertEqual(code, 0, report)
            for name in EXAMPLE_TOKENS:
                self.assertIn("Voice %s: ok" % name, report)
                self.assertIn(("INFO", "Voice %s: ok" % name), log)
            self.assertIn("Engine class %s: ok" % CLSID, report)
            self.assertTrue(report[-1].startswith("Summary: 3 voices (3 ok), no leftovers, "), report)
            self.assertTrue(report[-1].endswith(": exit code 0"), report)
            self.assertEqual(log[-1], ("INFO", report[-1]))
            self.assertEqual(log[:2], [("INFO", "Run Pendrel"), ("INFO", argument)])

    def test_only_the_first_argument_selects_the_check(self):
        before = self.m.log_bytes()
        self.assertEqual(self.m.run("other", "/verify")[0], 87, "refused, never an installation run")
        self.assertEqual([level for level, _ in self.m.log_lines(since=before)], ["ERROR"])
        code, _, log = self.verify("/verify", "/uninstall")
        self.assertEqual(code, 3, "nothing installed")
        self.assertNotIn(("INFO", "Runing Uninstall Pendrel"), log)

    def test_each_damage_answers_1_and_is_named(self):
        hkcu = "HKCU\\Speech"
        cases = [
            ("HKCU copy that differs", lambda: self.m.set_value("HKCU", token(DESKTOP) + "\\Attributes", "Age", "Child"),
             ["Voice %s: 1 problem" % ELENA, '  %s: Attributes\\Age: expected "Adult", found "Child"' % hkcu]),
            ("missing OneCore token", lambda: self.m.delete_key("HKLM", token(ONECORE)),
             ["Voice %s: 1 problem" % ELENA, "  HKLM\\Speech_OneCore: token key missing"]),
            ("one wrong attribute", lambda: self.m.set_value("HKLM", token(DESKTOP) + "\\Attributes", "Gender", "Male"),
             ["Voice %s: 1 problem" % ELENA,
              '  HKLM\\Speech: Attributes\\Gender: expected "Female", found "Male"']),
            ("missing access entry", lambda: self.m.set_acl("HKCU", token(ONECORE) + "\\Attributes", "drop-everyone"),
             ["Voice %s: 1 problem" % ELENA,
              "  HKCU\\Speech_OneCore: no full-access entry for everyone on Attributes"]),
            ("everyone's entry for the subkeys only",
             lambda: self.m.set_acl("HKLM", token(DESKTOP), "everyone-inherit-only"),
             ["Voice %s: 1 problem" % ELENA, "  HKLM\\Speech: no full-access entry for everyone on the token key"]),
            ("VoicePath naming a missing file", lambda: os.remove(self.m.host(LIBRARY)),
             ["Voice %s: 1 problem" % ELENA, "  all 4 places: Attributes\\VoicePath names a missing file:",
              "    " + LIBRARY]),
            ("unregistered engine class", lambda: self.m.delete_key("HKLM", CLASS),
             ["Engine class %s: not registered:" % CLSID,
              "    no InprocServer32 key under HKLM\\SOFTWARE\\Classes\\CLSID (64-bit view)"]),
            ("class without ThreadingModel",
             lambda: self.m.set_value("HKLM", CLASS + "\\InprocServer32", "ThreadingModel", "Apartment"),
             ['Engine class %s: ThreadingModel is not "Both":' % CLSID, '    found "Apartment"']),
            ("class naming a 32-bit library", lambda: self.m.write_file(LIBRARY, pe_image(0x14C)),
             ["Engine class %s: InprocServer32 names a library this machine's 64-bit speech stack cannot load:"
              % CLSID, "    %s is 32-bit x86, the machine x64" % LIBRARY]),
            ("voice folder deleted", lambda: shutil.rmtree(self.m.host(ROOT + "\\data_quelto\\voices\\spanish-elena")),
             ["Leftover token %s (no voice folder): all 4 places" % ELENA]),
        ]
        # The remedy each damage names: the installation run for the tokens, the engine's own package for its
        # library and class, which no run of the program installs.
        run = "  Repair: run the installation (pendrel without arguments) as an administrator"
        package = ("  Repair: install (or repair) the engine's own package, which installs the engine's library and "
                   "registers its class: %s, class %s (InprocServer32, ThreadingModel Both); the installation run "
                   "(pendrel) does neither" % (LIBRARY, CLSID))
        repairs = {"VoicePath naming a missing file": [package] * 4,  # each of the three voices, then the class
                   "unregistered engine class": [package],
                   "class without ThreadingModel": [package], "class naming a 32-bit library": [package]}
        for name, damage, expected in cases:
            with self.subTest(name):
                self.m = Machine()
                self.addCleanup(self.m.close)
                self.install()
                damage()
                code, report, log = self.verify()
                self.assertEqual(code, 1, report)
                self.assertEqual([l for l in report if l.startswith("  Repair: ")], repairs.get(name, [run]), report)
                start = report.index(expected[0])
                self.assertEqual(report[start:start + len(expected)], expected, report)
                self.assertTrue([l for l in log if l[0] == "ERROR" and l[1].startswith(expected[0].rstrip(":"))], log)
                self.assertTrue(report[-1].endswith(": exit code 1"), report)
                self.assertEqual(log[-1], ("ERROR", report[-1]))

    def test_another_vendors_broken_token_is_a_warning_only(self):
        self.install()
        broken = DESKTOP + "\\Tokens\\Vendor_Broken_Voice"
        self.m.set_value("HKLM", broken, "", "A voice without a class")
        unregistered = ONECORE + "\\Tokens\\Vendor_Unregistered_Voice"
        self.m.set_value("HKCU", unregistered, "CLSID", "{00000000-1111-2222-3333-444444444444}")
        self.m.set_value("HKCU", unregistered + "\\Attributes", "Language", "409")
        code, report, log = self.verify()
        self.assertEqual(code, 0, report)
        line = "Warning: HKEY_LOCAL_MACHINE\\%s: no CLSID value; no Attributes key" % broken
        self.assertIn(line, report)
        other = ("Warning: HKEY_CURRENT_USER\\%s: CLSID {00000000-1111-2222-3333-444444444444} "
                 "has no registered class" % unregistered)
        self.assertIn(other, report)
        self.assertIn(("WARNING", "Another vendor's token: " + line[len("Warning: "):]), log)
        self.assertTrue(report[-1].endswith(": exit code 0"), report)

    def test_after_uninstallation_no_voices_and_no_leftovers(self):
        self.install()
        self.assertEqual(self.m.run("/uninstall")[0], 0)
        code, report, _ = self.verify()
        self.assertEqual(code, 3, report)
        self.assertEqual([l for l in report if l.startswith(("Voice", "Leftover", "Engine"))], [])
        self.assertTrue(report[-1].startswith("Summary: no voices, no leftovers, "), report)

    def json_report(self, *extra):
        code, out, err = self.m.run("/verify", "/json", *extra)
        self.assertTrue(err.startswith("Pendrel.exe arrancó correctamente.".encode()), err)
        document = json.loads(out.decode("utf-8"))
        self.assertEqual(document["exitCode"] & 0xFF, code, "a process exit code arrives here in 8 bits")
        return document["exitCode"], document

    def test_each_machine_state_has_its_code(self):
        """Installed, never installed, installed elsewhere, uninstalled, a restart pending, and the HKCU copies,
        readable or not: the exit code and what names the state, in the text and in the JSON report."""
        def wrong_folder():
            self.m.write_file("C:\\Program Files\\Mirelka\\voices\\elena\\metaData.txt", b"TokenKeyName: TTS_Mirelka_x\n")
            self.assertEqual(self.m.run()[0], 0)

        def held_then(reinstall):
            def state():
                self.install()
                holder = self.m.hold(LIBRARY)
                self.addCleanup(release, holder)
                self.assertEqual(self.m.run("/uninstall")[0], 0)
                if reinstall:
                    self.install()
            return state

        cases = [
            ("installed", self.install, 0, "installed", "Voice %s: ok" % ELENA),
            ("never installed", lambda: None, 3, "not-installed", "nothing of the engine on this machine"),
            ("voices in the wrong folder", wrong_folder, 3, "not-installed", "nothing of the engine on this machine"),
            ("uninstalled", lambda: (self.install(), self.m.run("/uninstall")), 3, "not-installed", "no voices"),
            ("uninstalled, an entry pending", held_then(False), 3010, "restart-pending",
             "Waiting for deletion at the next restart: " + LIBRARY),
            ("reinstalled while an entry is pending", held_then(True), 0, "installed",
             "Waiting for deletion at the next restart: " + LIBRARY),
            ("HKCU copies missing", lambda: (self.install(), self.m.delete_key("HKCU", token(DESKTOP)),
                                             self.m.delete_key("HKCU", token(ONECORE))), 0, "installed",
             "  note: HKCU\\Speech, HKCU\\Speech_OneCore: not copied for this user"),
            ("a token that cannot be read", lambda: (self.install(), self.m.set_acl("HKLM", token(DESKTOP),
                                                                                     "deny-everyone")),
             2, "incomplete", "  Cannot check: cannot read HKEY_LOCAL_MACHINE\\%s (5: Access" % token(DESKTOP)),
        ]
        for name, state, expected, field, line in cases:
            with self.subTest(name):
                self.m = Machine()
                self.addCleanup(self.m.close)
                state()
                code, report, _ = self.verify()
                self.assertEqual(code, expected & 0xFF, report)
                self.assertTrue([l for l in report if line in l], report)
                self.assertNotIn("Voice %s: ok" % ELENA, report if expected == 2 else [])
                self.assertEqual([l for l in report if "SAPI does not list" in l], [], "another token's state")
                self.assertEqual(len([l for l in report if l.startswith("Cannot check")]), 0, report)
                code, document = self.json_report()
                self.assertEqual((code, document["state"]), (expected, field))

    def test_a_pending_deletion_beside_the_installation_folder_is_not_its_own(self):
        """A folder whose name merely begins with the installation folder's (ZunSapi64-old) is another one: its
        entries waiting for the restart are not the engine's, while one inside the folder is."""
        sibling = ROOT + "-old\\QueltoEngine.dll"
        self.m.write_file(sibling, b"MZ")
        code, _, err = self.m.run("schedule", sibling, program=PROBE)
        self.assertEqual(code, 0, err)
        code, report, _ = self.verify()
        self.assertEqual(code, 3, report)
        self.assertEqual([l for l in report if "Waiting for deletion" in l], [], report)
        inside = ROOT + "\\bin\\x64\\QueltoEngine.dll"
        self.m.write_file(inside, b"MZ")
        code, _, err = self.m.run("schedule", inside, program=PROBE)
        self.assertEqual(code, 0, err)
        code, document = self.json_report()
        self.assertEqual((code, [p for p in document["pending"]]), (3010, [inside]))

    def test_an_arm64_machine_accepts_an_x64_or_an_arm64_library_with_a_note(self):
        """IsWow64Process2 reports ARM64 to this x64 program, emulated there: x64 applications load an x64 library and
        ARM64-native ones an ARM64 library, so either works for some applications, and the note says for which. The
        machine is injected at the platform seam, which only the test build reads."""
        arm64 = {"PENDREL_TEST_NATIVE_MACHINE": "0xAA64"}
        label = "Engine class %s: " % CLSID
        cases = [
            (0x8664, arm64, 0, "  note: %s is an x64 library on an ARM64 machine: ARM64-native applications cannot "
                               "load it; x64 applications, emulated, can" % LIBRARY),
            (0xAA64, arm64, 0, "  note: %s is an ARM64 library on an ARM64 machine: x64 applications, emulated, "
                               "cannot load it; ARM64-native applications can" % LIBRARY),
            (0x14C, arm64, 1, "    %s is 32-bit x86, the machine ARM64" % LIBRARY),
            (0x8664, {}, 0, None),  # the test build on its own machine: no note
            (0xAA64, {}, 1, "    %s is ARM64, the machine x64" % LIBRARY),
        ]
        self.install()
        for machine, env, expected, line in cases:
            with self.subTest(machine=hex(machine), env=env):
                self.m.write_file(LIBRARY, pe_image(machine))
                code, out, _ = self.m.run("/verify", program=CATALOGUE_PROGRAM, extra_env=env)
                report = out.decode("utf-8").replace("\r\n", "\n").split("\n")
                self.assertEqual(code, expected, report)
                notes = [l for l in report if l.startswith("  note: " + LIBRARY)]
                self.assertEqual(notes, [line] if line and line.startswith("  note") else [], report)
                if line:
                    self.assertIn(line, report)
                self.assertIn(label + "ok" if expected == 0 else label.rstrip() + " InprocServer32 names a library "
                              "this machine's 64-bit speech stack cannot load:", report)
                code, out, _ = self.m.run("/verify", "/json", program=CATALOGUE_PROGRAM, extra_env=env)
                engine = json.loads(out.decode("utf-8"))["engineClass"]
                self.assertEqual([n["text"] for n in engine["notes"]], [line[len("  note: "):]] if notes else [])
                self.assertEqual(len(engine["problems"]), 0 if expected == 0 else 1)
        # The released program has no such seam: on its own (x64) machine an ARM64 library stays a problem.
        self.m.write_file(LIBRARY, pe_image(0xAA64))
        code, out, _ = self.m.run("/verify", extra_env=arm64)
        self.assertEqual(code, 1, out)
        self.assertIn(b"is ARM64, the machine x64", out)

    def test_the_json_report_is_valid_whatever_the_registry_holds(self):
        self.install()
        odd = "u16:0041000107d800420022005c"  # A, a control character, a lone surrogate, B, a quote, a backslash
        self.m.set_value("HKLM", token(DESKTOP) + "\\Attributes", "Gender", odd)
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\Vendor\u00e9_Odd", "CLSID", odd)
        code, report, _ = self.verify()
        self.assertEqual(code, 1)
        code, document = self.json_report()
        self.assertEqual(document["exitCode"], 1)
        self.assertEqual(document["state"], "damaged")
        self.assertEqual(document["version"], os.environ.get("PENDREL_VERSION", document["version"]))
        elena = [v for v in document["voices"] if v["name"] == ELENA][0]
        self.assertEqual(elena["status"], "problems")
        self.assertEqual(elena["problems"][0]["places"], ["HKLM\\Speech"])
        self.assertTrue(elena["problems"][0]["text"].startswith('Attributes\\Gender: expected "Female", found "A\\x01'),
                        elena)
        self.assertEqual(len(document["voices"]), len([l for l in report if l.startswith("Voice ")]))
        self.assertEqual(len(document["warnings"]), len([l for l in report if l.startswith("Warning: ")]))
        self.assertTrue(any("Vendor\u00e9_Odd" in w["key"] for w in document["warnings"]), document["warnings"])

    def test_names_and_found_text_are_shown_escaped_as_the_log_shows_them(self):
        """A token name and an attribute holding a terminal's escape sequences, a bidirectional override and line
        ends: the console, the JSON report and the log show them as the same escapes, never the characters."""
        self.install()
        name = "TTS_Mirelka_\x1b[2J\u202eevil"
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\" + name, "CLSID", CLSID)
        found = "\x1b]0;owned\x07Elena\r"
        self.m.set_value("HKLM", token(DESKTOP) + "\\Attributes", "Name", "u16:" + "".join("%04x" % ord(c) for c in found))
        leftover = "Leftover token TTS_Mirelka_\\x1B[2J\\u202Eevil (no voice folder): HKLM\\Speech"
        problem = 'Attributes\\Name: expected "Elena", found "\\x1B]0;owned\\x07Elena\\x0D"'
        code, out, _ = self.m.run("/verify")
        self.assertEqual(code, 1, out)
        text = out.decode("utf-8").replace("\r\n", "\n")
        self.assertEqual([c for c in text if c < " " and c != "\n" or "\x7f" <= c <= "\x9f" or c == "\u202e"], [])
        self.assertIn(leftover + "\n", text)
        self.assertIn("  HKLM\\Speech: " + problem + "\n", text)
        self.assertIn(("ERROR", leftover), self.m.log_lines())
        self.assertIn(("ERROR", "Voice %s: HKLM\\Speech: %s" % (ELENA, problem)), self.m.log_lines())
        code, document = self.json_report()
        self.assertEqual(code, 1)
        self.assertEqual([l["token"] for l in document["leftovers"]], [leftover.split(" ")[2]])
        elena = [v for v in document["voices"] if v["name"] == ELENA][0]
        self.assertEqual(elena["problems"][0]["text"], problem)

    def test_the_check_changes_nothing_but_the_log(self):
        self.install()
        self.m.delete_key("HKCU", token(DESKTOP))  # the check looks where a token is missing too
        registry = self.m.registry_state()
        tokens = {hive: self.m.registry(hive, "SOFTWARE\\Microsoft") for hive in ("HKLM", "HKCU")}
        files = self.file_state()
        code, _, _ = self.verify()
        self.assertEqual(code, 0, "a copy missing for this user is a note")
        self.assertEqual(self.m.registry_state(), registry)
        after = {hive: self.m.registry(hive, "SOFTWARE\\Microsoft") for hive in ("HKLM", "HKCU")}
        for hive in tokens:
            self.assertEqual({p: (k.values, k.acl) for p, k in after[hive].items()},
                             {p: (k.values, k.acl) for p, k in tokens[hive].items()}, "values and access lists")
        now = self.file_state()
        changed = {p for p in set(files) | set(now) if files.get(p) != now.get(p)}
        self.assertEqual(changed, {os.path.relpath(self.m.log_path(), self.m.host("C:\\"))})

    def test_a_fresh_machine_gets_no_hive_files_from_the_check(self):
        if self.m.wine:
            self.skipTest("a Wine prefix's own services write its registry at moments of their choosing; the "
                          "stand-in's hive files show what the check alone writes")
        self.assertEqual(self.verify()[0], 3)
        self.assertEqual([n for n in os.listdir(os.path.join(self.m.sandbox, "registry")) if n.endswith(".reg")], [])

    def test_a_registry_that_cannot_be_read_answers_2(self):
        self.install()
        self.m.set_acl("HKLM", DESKTOP + "\\Tokens", "deny-everyone")
        code, report, log = self.verify()
        self.assertEqual(code, 2, report)
        self.assertTrue(any(l.startswith("Cannot check: ") and "HKEY_LOCAL_MACHINE\\" + DESKTOP in l
                            for l in report), report)
        self.assertTrue(report[-1].endswith(": incomplete, exit code 2"), report)
        self.assertEqual(log[-1], ("ERROR", report[-1]))

    def file_state(self):
        """Every file and folder of drive C with its size and modification time."""
        top = self.m.host("C:\\")
        state = {}
        for folder, dirs, names in os.walk(top):
            for n in dirs + names:
                path = os.path.join(folder, n)
                st = os.lstat(path)
                state[os.path.relpath(path, top)] = (st.st_size, st.st_mtime_ns)
        return state


if __name__ == "__main__":
    unittest.main()
