"""The installation run end to end: voice folders on disk become tokens in both hives."""
import re
import unittest

from harness import Machine, MachineTest

DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
ROOTS = (DESKTOP, ONECORE)
VOICES = "C:\\Program Files\\Mirelka\\ZunSapi64\\data_quelto\\voices\\"
CLSID = "{8D758097-2AAE-4277-88CC-3A6BDD344F53}"


def metadata(token, name="Elena", langid="c0a", extra=b"", bom=False, eol=b"\n"):
    lines = [b"TokenKeyName: " + token.encode(), b"LangIndependentName: " + name.encode("utf-8"),
             b"Langid: " + langid.encode(), b"LangDependentName: " + name.encode("utf-8") + b" (dep)",
             b"Gender: Female", b"Name: " + name.encode("utf-8"), b"Language: " + langid.encode(),
             b"Age: Adult", b"Vendor: Mirelka", b"SimpleName: " + name.encode("utf-8")]
    return (b"\xef\xbb\xbf" if bom else b"") + eol.join(lines) + eol + extra


def voice_lines(number, folder, token):
    hklm, hkcu = "HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\"
    return [
        ("INFO", "%d) Voice: %s%s\\metaData.txt" % (number, VOICES, folder)),
        ("INFO", "Creating the new voice registries:"),
        ("INFO", " - Adding new voice in: " + hklm + DESKTOP),
        ("INFO", " - Adding new voice in: " + hklm + ONECORE),
        ("INFO", "Copying the voice registries:"),
        ("INFO", "  * Token Key: " + hkcu + DESKTOP + "\\Tokens\\" + token),
        ("INFO", "  * Token Key: " + hkcu + ONECORE + "\\Tokens\\" + token),
        ("INFO", "Checking the new voice registries:"),
        ("INFO", "  * Key found: " + hklm + DESKTOP + "\\Tokens\\" + token),
        ("INFO", "  * Key found: " + hklm + ONECORE + "\\Tokens\\" + token),
        ("INFO", "  * Key found: " + hkcu + DESKTOP + "\\Tokens\\" + token),
        ("INFO", "  * Key found: " + hkcu + ONECORE + "\\Tokens\\" + token),
    ]


class InstallTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def start_lines(self):
        return [("INFO", "Run Pendrel"), ("INFO", "Searching for voices."),
                ("INFO", "Voices location: " + VOICES + "*.*")]

    def end_lines(self):
        return [("INFO", "Removing temporal files: "),
                ("INFO", "   - Available voices file: " + self.m.temp + "quelto_voices.json"),
                ("INFO", "   - Selected voices file: " + self.m.temp + "quelto_selected.txt")]

    def token(self, hive, root, name):
        keys = self.m.registry(hive, root + "\\Tokens\\" + name)
        return keys.get((hive + "\\" + root + "\\Tokens\\" + name).lower()), keys

    def assert_token(self, hive, root, name, display, langid="c0a"):
        key, keys = self.token(hive, root, name)
        self.assertIsNotNone(key, "%s\\%s\\Tokens\\%s" % (hive, root, name))
        self.assertEqual(set(key.values), {"", "clsid", langid})
        self.assertEqual(key.values[""], ("", 1, display))
        self.assertEqual(key.values["clsid"][2], CLSID)
        self.assertEqual(key.values[langid][2], display + " (dep)")
        attributes = keys[(key.path + "\\Attributes").lower()]
        self.assertEqual({n: v[2] for n, v in attributes.values.items()}, {
            "gender": "Female", "name": display, "language": langid, "age": "Adult", "vendor": "Mirelka",
            "simplename": display,
            "voicepath": self.m.program_files + "\\Mirelka\\ZunSapi64\\QueltoEngine.dll"})
        self.assertEqual(len(keys), 2, "the token key and its Attributes key, nothing else")
        for k in (key, attributes):
            self.assertEqual(len(k.everyone_full_entries()), 1, k.acl)
            self.assertEqual(k.acl[-1], k.everyone_full_entries()[0], "the entry for everyone comes last")

    def test_every_voice_folder_is_registered_in_both_hives_and_stacks(self):
        self.m.install_voice("b-elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.m.install_voice("a-ane", metadata("TTS_Mirelka_eu-ES_Ane", "Ane", "42d"))
        self.m.install_voice("c-mark", metadata("TTS_Mirelka_en-US_Mark", "Mark", "409"))
        self.m.install_voice(".hidden", metadata("TTS_Mirelka_hidden"))
        self.m.write_file(VOICES + "plain.txt", metadata("TTS_Mirelka_plain"))
        self.m.write_file(self.m.temp + "quelto_voices.json", b"[]")
        self.m.write_file(self.m.temp + "quelto_selected.txt", b"x")
        code, _, _ = self.m.run()
        self.assertEqual(code, 0)
        expected = (self.start_lines() + voice_lines(1, "a-ane", "TTS_Mirelka_eu-ES_Ane")
                    + voice_lines(2, "b-elena", "TTS_Mirelka_es-ES_Elena")
                    + voice_lines(3, "c-mark", "TTS_Mirelka_en-US_Mark") + self.end_lines())
        self.assertEqual(self.m.log_lines(), expected)
        for hive in ("HKLM", "HKCU"):
            for root in ROOTS:
                self.assert_token(hive, root, "TTS_Mirelka_es-ES_Elena", "Elena")
                self.assert_token(hive, root, "TTS_Mirelka_eu-ES_Ane", "Ane", "42d")
                self.assertIsNone(self.token(hive, root, "TTS_Mirelka_hidden")[0])
                self.assertIsNone(self.token(hive, root, "TTS_Mirelka_plain")[0])
        self.assertFalse(self.m.exists(self.m.temp + "quelto_voices.json"))
        self.assertFalse(self.m.exists(self.m.temp + "quelto_selected.txt"))

    def test_tokens_are_visible_to_sapi(self):
        self.m.install_voice("elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.m.run()
        for hive in ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"):
            tokens = self.m.sapi_voices(hive + "\\" + DESKTOP)
            # Wine's GetId gives only the key name; Windows and the stand-in the full id.
            ours = [t for t in tokens if t[0].split("\\")[-1] == "TTS_Mirelka_es-ES_Elena"]
            self.assertEqual(len(ours), 1, tokens)
            self.assertEqual(ours[0][1], "Elena")

    def test_second_run_rewrites_and_adds_no_second_access_entry(self):
        self.m.install_voice("elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.m.run()
        self.m.install_voice("elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.assertEqual(self.m.run()[0], 0)
        for hive in ("HKLM", "HKCU"):
            for root in ROOTS:
                self.assert_token(hive, root, "TTS_Mirelka_es-ES_Elena", "Elena")

    def test_missing_metadata_uses_up_its_number(self):
        self.m.install_voice("a-empty", None)
        self.m.install_voice("b-ane", metadata("TTS_Mirelka_eu-ES_Ane", "Ane", "42d"))
        self.m.run()
        lines = self.m.log_lines()
        self.assertEqual(lines[3:5], [("INFO", "1) Voice: " + VOICES + "a-empty\\metaData.txt"),
                                      ("ERROR", "Cannot open input file: " + VOICES + "a-empty\\metaData.txt")])
        # The detail line names the file and the cause: code 2 in the system's words.
        self.assertEqual(lines[5][0], "ERROR")
        self.assertRegex(lines[5][1], r"^  file " + re.escape(VOICES + "a-empty\\metaData.txt") + r": 2: \S")
        self.assertEqual(lines[6], ("INFO", "2) Voice: " + VOICES + "b-ane\\metaData.txt"))

    def test_metadata_format(self):
        text = (b"\xef\xbb\xbfTokenKeyName : TTS_Mirelka_fmt \r\n"
                b"Name:   first  \r\n"
                b"name: small letters are not the key\r\n"
                b"Name : Jos\xc3\xa9 \r\n"
                b"LangIndependentName: a: b :c\r\n"
                b"no colon here\r\n"
                b"Langid: 0x0C0A\r\n"
                b"Vendor: " + b"v" * 246 + b"\r\n"  # 254 characters, the longest line read
                b"Age:\tAdult\t\r\n")
        self.m.install_voice("fmt", text)
        self.m.run()
        key, keys = self.token("HKLM", DESKTOP, "TTS_Mirelka_fmt")
        self.assertIsNotNone(key)
        self.assertEqual(key.values[""][2], "a: b :c")
        self.assertEqual(key.values["c0a"][2], "", "the language value exists, empty")
        attributes = keys[(key.path + "\\Attributes").lower()]
        self.assertEqual(attributes.values["name"][2], "José")
        self.assertEqual(attributes.values["vendor"][2], "v" * 246)
        self.assertEqual(attributes.values["age"][2], "Adult", "tabs around a value are trimmed")
        self.assertEqual([l for l in self.m.log_lines() if l[0] == "WARNING"], [
            ("WARNING", "No Language in " + VOICES + "fmt\\metaData.txt: the voice is registered, but applications' "
                        "voice lists may skip a token without Language")])

    def test_metadata_that_is_not_read_whole_registers_nothing_and_claims_no_name(self):
        # Each bad file gives the name a later, correct folder gives: the name stays free for it.
        name = b"TokenKeyName: TTS_Mirelka_same"
        cases = [  # folder, bytes, line, cause
            ("a-latin1", name + b"\xe9\r\nName: x\r\n", 1, "the bytes there are not UTF-8"),
            ("b-cut", name + b"\nName: x\xc3", 2, "the bytes there are not UTF-8"),
            ("c-nul", b"TokenKeyName: TTS_Mirelka_nu\0ltk\n", 1, "a NUL character"),
            ("d-cr", name + b"\rName: x\rLanguage: 409\r", 1,
             "a carriage return that no line feed follows (lines end with LF or CR LF)"),
            ("e-long", name + b"\nVendor: " + b"v" * 247 + b"\n", 2, "the line is longer than 254 characters"),
            ("f-escape", name + b"\nName: x\x1b[2J\n", 2, "the control character U+001B"),
            ("g-tab", name + b"\nName: a\tb\n", 2, "a tab inside the value of Name"),
        ]
        for folder, data, _, _ in cases:
            self.m.install_voice(folder, data)
        self.m.install_voice("z-good", metadata("TTS_Mirelka_same", "Good"))
        self.m.run()
        warnings = [l for l in self.m.log_lines() if l[0] in ("WARNING", "ERROR")]
        self.assertEqual(warnings, [("WARNING", "Reading stopped at line %d of %s%s\\metaData.txt: %s; voice not "
                                                "registered" % (line, VOICES, folder, cause))
                                    for folder, _, line, cause in cases])
        self.assert_token("HKLM", DESKTOP, "TTS_Mirelka_same", "Good")
        self.assertEqual(self.m.registry("HKLM", DESKTOP + "\\Tokens\\TTS_Mirelka_nu"), {})

    def test_invalid_token_key_name_is_refused(self):
        self.m.install_voice("a-nameless", metadata(""))
        self.m.install_voice("b-escape", metadata("..\\..\\Elsewhere"))
        self.m.install_voice("c-good", metadata("TTS_Mirelka_good"))
        self.m.run()
        lines = self.m.log_lines()
        self.assertIn(("ERROR", "Invalid TokenKeyName '', voice not registered: " + VOICES + "a-nameless\\metaData.txt"), lines)
        self.assertIn(("ERROR", "Invalid TokenKeyName '..\\..\\Elsewhere', voice not registered: "
                       + VOICES + "b-escape\\metaData.txt"), lines)
        self.assertEqual(lines[-15:-3], voice_lines(3, "c-good", "TTS_Mirelka_good"))
        collection = self.m.registry("HKLM", DESKTOP + "\\Tokens")[("HKLM\\" + DESKTOP + "\\Tokens").lower()]
        self.assertNotIn("clsid", collection.values, "nothing written onto the collection")
        self.assertEqual(collection.everyone_full_entries(), [])
        self.assertEqual(self.m.registry("HKCU", "SOFTWARE\\Microsoft\\Elsewhere"), {})

    def test_no_voices_folder(self):
        self.m.write_file(self.m.temp + "quelto_voices.json", b"[]")
        self.assertEqual(self.m.run()[0], 0)
        self.assertEqual(self.m.log_lines(), self.start_lines())
        self.assertTrue(self.m.exists(self.m.temp + "quelto_voices.json"), "no clean-up without a voices folder")

    def test_empty_voices_folder_still_cleans_up(self):
        self.m.install_voice("x", None)
        import os, shutil
        shutil.rmtree(self.m.host(VOICES + "x"))
        self.assertTrue(os.path.isdir(self.m.host(VOICES)))
        self.m.run()
        self.assertEqual(self.m.log_lines(), self.start_lines() + self.end_lines())

    def test_stand_in_hive_files_are_registry_editor_files(self):
        if self.m.wine:
            self.skipTest("the hive files are the Linux stand-in's own; under Wine the registry is the prefix's")
        import os
        self.m.install_voice("elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.m.run()
        with open(os.path.join(self.m.sandbox, "registry", "HKEY_CURRENT_USER.reg"), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\xff\xfe"), "UTF-16LE with a byte-order mark")
        text = data[2:].decode("utf-16-le")
        self.assertTrue(text.startswith("Windows Registry Editor Version 5.00\r\n\r\n"))
        token = "[HKEY_CURRENT_USER\\" + ONECORE + "\\Tokens\\TTS_Mirelka_es-ES_Elena]\r\n"
        self.assertIn(token, text)
        after = text[text.index(token) + len(token):]
        self.assertTrue(after.startswith(";sddl:D:"), "the access list on the line under the header")
        self.assertIn("(A;;0x10000000;;;S-1-1-0)\r\n", after.split("\r\n")[0] + "\r\n")
        self.assertIn('"CLSID"="' + CLSID + '"\r\n', after)
        self.assertIn('@="Elena"\r\n', after)

    def test_stand_in_hive_survives_a_crash_and_serialises_writers(self):
        if self.m.wine:
            self.skipTest("the hive files and their lock are the Linux stand-in's own; Wine's registry is Wine's")
        import subprocess
        from harness import PROBE
        self.m.set_value("HKCU", "Software\\PendrelTest", "kept", "1")
        env = dict(__import__("os").environ, PENDREL_SANDBOX=self.m.sandbox)
        crash = subprocess.run([PROBE, "set-then-crash", "HKCU", "Software\\PendrelTest", "lost", "1"], env=env,
                               capture_output=True)
        self.assertNotEqual(crash.returncode, 0)
        values = self.m.registry("HKCU", "Software\\PendrelTest")["hkcu\\software\\pendreltest"].values
        self.assertEqual(set(values), {"kept"}, "a process that dies writes nothing back")
        writers = [subprocess.Popen([PROBE, "set", "HKCU", "Software\\PendrelTest", "w%d" % i, str(i)], env=env)
                   for i in range(12)]
        self.assertEqual([w.wait(timeout=60) for w in writers], [0] * 12)
        values = self.m.registry("HKCU", "Software\\PendrelTest")["hkcu\\software\\pendreltest"].values
        self.assertEqual(set(values), {"kept"} | {"w%d" % i for i in range(12)}, "no writer's change is lost")


    def test_another_engines_token_is_never_overwritten(self):
        other = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
        token = "Vendor_Other_Voice"
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\" + token, "CLSID", other)
        self.m.set_value("HKLM", DESKTOP + "\\Tokens\\" + token, "", "another vendor's voice")
        before = self.m.registry("HKLM", DESKTOP + "\\Tokens\\" + token)
        self.m.install_voice("hijack", metadata(token, name="Hijacked"))
        self.m.install_voice("own", metadata("TTS_Mirelka_es-ES_Own"))
        self.assertEqual(self.m.run()[0], 0)
        after = self.m.registry("HKLM", DESKTOP + "\\Tokens\\" + token)
        self.assertEqual({k: (v.values, v.acl) for k, v in after.items()},
                         {k: (v.values, v.acl) for k, v in before.items()})
        self.assertEqual(self.m.registry("HKLM", ONECORE + "\\Tokens\\" + token), {})
        self.assertEqual(self.m.registry("HKCU", DESKTOP + "\\Tokens\\" + token), {})
        self.assertIn(("ERROR", "Token '%s' belongs to another engine (%s), voice not registered: %shijack\\metaData.txt"
                       % (token, other, VOICES)), self.m.log_lines())
        self.assertTrue(self.m.registry("HKLM", DESKTOP + "\\Tokens\\TTS_Mirelka_es-ES_Own"), "the other voices go on")


    def test_huge_metadata_costs_no_more_memory_than_a_small_one(self):
        base = self.m.install_voice("huge", metadata("TTS_Mirelka_es-ES_Huge") + b"Name: ")
        with open(self.m.host(base + "\\metaData.txt"), "r+b") as f:
            f.truncate(4 << 30)  # sparse: 4 GiB of one endless line
        code, peak_kib = self.m.run_peak_memory()
        self.assertEqual(code, 0)
        self.assertLess(peak_kib, 300 * 1024)
        self.assertEqual(self.m.registry("HKLM", DESKTOP + "\\Tokens\\TTS_Mirelka_es-ES_Huge"), {},
                         "a file not read to its end registers nothing")
        self.assertIn("Reading stopped at line 11 of " + base + "\\metaData.txt: a NUL character; voice not "
                      "registered", self.m.log_messages(), "the sparse file's zeros")

    def test_links_in_the_voices_folder_are_never_followed(self):
        import os
        import shutil
        import tempfile
        outside = tempfile.mkdtemp(prefix="pendrel-outside-")
        self.addCleanup(shutil.rmtree, outside, True)
        with open(os.path.join(outside, "metaData.txt"), "wb") as f:
            f.write(metadata("TTS_Mirelka_es-ES_Outside"))
        os.chmod(os.path.join(outside, "metaData.txt"), 0o600)
        self.m.install_voice("real", metadata("TTS_Mirelka_es-ES_Real"))
        os.symlink(outside, self.m.host(VOICES + "linked"))
        if not self.m.wine:
            # Wine 8 shows a Unix link to a file as the file itself; the stand-in tests it.
            os.makedirs(self.m.host(VOICES + "filelink"))
            os.symlink(os.path.join(outside, "metaData.txt"), self.m.host(VOICES + "filelink") + "/metaData.txt")
        self.assertEqual(self.m.run()[0], 0)
        self.assertEqual(os.stat(os.path.join(outside, "metaData.txt")).st_mode & 0o777, 0o600)
        self.assertEqual(self.m.registry("HKLM", DESKTOP + "\\Tokens\\TTS_Mirelka_es-ES_Outside"), {})
        self.assertTrue(self.m.registry("HKLM", DESKTOP + "\\Tokens\\TTS_Mirelka_es-ES_Real"))
        self.assertIn(("WARNING", "Voice folder is a link, skipped: " + VOICES + "linked"), self.m.log_lines())
        if not self.m.wine:
            self.assertIn(("ERROR", "Cannot open input file: " + VOICES + "filelink\\metaData.txt"), self.m.log_lines())

    def test_metadata_that_is_no_plain_file_of_its_own_is_refused_and_never_opened(self):
        import os
        system = self.m.host("C:\\Windows\\system-file.txt")
        os.makedirs(os.path.dirname(system), exist_ok=True)
        with open(system, "wb") as f:
            f.write(metadata("TTS_Mirelka_linked"))
        os.chmod(system, 0o600)
        os.makedirs(self.m.host(VOICES + "a-linked"))
        os.link(system, self.m.host(VOICES + "a-linked\\metaData.txt"))
        os.makedirs(self.m.host(VOICES + "b-folder\\metaData.txt"))
        self.m.install_voice("c-good", metadata("TTS_Mirelka_good"))
        self.assertEqual(self.m.run()[0], 0)
        self.assertEqual(os.stat(system).st_mode & 0o777, 0o600, "the other name's file is not opened to everyone")
        self.assertEqual(self.m.registry("HKLM", DESKTOP + "\\Tokens\\TTS_Mirelka_linked"), {})
        lines = self.m.log_lines()
        for folder, cause in (("a-linked", "it has 2 hard links, and another name of it may be a file that must "
                                           "never be opened to everyone"),
                              ("b-folder", "it is a folder, not a file")):
            path = VOICES + folder + "\\metaData.txt"
            at = lines.index(("ERROR", "Cannot open input file: " + path))
            self.assertEqual(lines[at + 1], ("WARNING", "Refused, voice not registered: %s (%s)" % (path, cause)))
        self.assertEqual(lines[-15:-3], voice_lines(3, "c-good", "TTS_Mirelka_good"))

    def tokens_in(self, hive, root):
        """The key names directly below one token collection."""
        top = (hive + "\\" + root + "\\Tokens").lower()
        return {k.path.split("\\")[-1] for path, k in self.m.registry(hive, root + "\\Tokens").items()
                if path.startswith(top + "\\") and "\\" not in path[len(top) + 1:]}

    def test_an_upgrade_that_drops_a_voice_folder_leaves_exactly_the_new_set(self):
        other = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
        # Another vendor's voice, one of another vendor's that merely begins with "TTS_", and a token without the
        # prefix that names the engine's class: by the one rule only the last is the engine's.
        foreign = {"Vendor_Other_Voice": other, "TTS_Other_Voice": other, "TTS_mirelka_lower_case": other}
        for hive in ("HKLM", "HKCU"):
            for root in ROOTS:
                for name, clsid in foreign.items():
                    self.m.set_value(hive, root + "\\Tokens\\" + name, "CLSID", clsid)
        before = {(h, r): self.tokens_in(h, r) for h in ("HKLM", "HKCU") for r in ROOTS}
        self.m.install_voice("a-ane", metadata("TTS_Mirelka_eu-ES_Ane", "Ane", "42d"))
        self.m.install_voice("b-elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.assertEqual(self.m.run()[0], 0)
        for hive in ("HKLM", "HKCU"):
            for root in ROOTS:
                self.m.set_value(hive, root + "\\Tokens\\Custom_Quelto_Voice", "CLSID", CLSID)
        import shutil
        shutil.rmtree(self.m.host(VOICES + "b-elena"))
        self.m.install_voice("c-mark", metadata("TTS_Mirelka_en-US_Mark", "Mark", "409"))
        since = self.m.log_bytes()
        self.assertEqual(self.m.run()[0], 0)
        for hive in ("HKLM", "HKCU"):
            for root in ROOTS:
                kept = before[(hive, root)]
                self.assertEqual(self.tokens_in(hive, root), kept | {"TTS_Mirelka_eu-ES_Ane", "TTS_Mirelka_en-US_Mark"},
                                 (hive, root))
                for name, clsid in foreign.items():
                    key = self.token(hive, root, name)[0]
                    self.assertEqual({n: v[2] for n, v in key.values.items()}, {"clsid": clsid})
                self.assert_token(hive, root, "TTS_Mirelka_en-US_Mark", "Mark", "409")
        # One line for each token removed, and none for any other.
        removed = [m for _, m in self.m.log_lines(since=since) if m.startswith("Token deleted")]
        self.assertEqual(sorted(removed), sorted("Token deleted, no voice folder claims it any more: %s\\%s\\Tokens\\%s"
                                                 % (hive, root, name)
                                                 for hive in ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER") for root in ROOTS
                                                 for name in ("TTS_Mirelka_es-ES_Elena", "Custom_Quelto_Voice")))

    def test_tokens_stay_when_the_folders_cannot_be_told(self):
        import shutil
        self.m.install_voice("a-ane", metadata("TTS_Mirelka_eu-ES_Ane", "Ane", "42d"))
        self.m.install_voice("b-elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.assertEqual(self.m.run()[0], 0)
        everything = {(h, r): self.tokens_in(h, r) for h in ("HKLM", "HKCU") for r in ROOTS}
        # metaData.txt unreadable, voice.txt still names the token: the voice is claimed.
        self.m.install_voice("b-elena", b"\xff", voice_txt=b"TokenKeyName: TTS_Mirelka_es-ES_Elena\r\n")
        self.m.run()
        self.assertEqual({(h, r): self.tokens_in(h, r) for h in ("HKLM", "HKCU") for r in ROOTS}, everything)
        # A folder that names no token at all may hold any voice: nothing is removed, and the log says why.
        self.m.install_voice("b-elena", b"\xff", voice_txt=b"")
        since = self.m.log_bytes()
        self.m.run()
        self.assertEqual({(h, r): self.tokens_in(h, r) for h in ("HKLM", "HKCU") for r in ROOTS}, everything)
        self.assertIn(("WARNING", "Tokens that no voice folder claims are kept: a voice folder names no token in "
                                  "metaData.txt or voice.txt, and may hold any of them: " + VOICES + "b-elena"),
                      self.m.log_lines(since=since))
        # No voices folder to list: nothing is removed.
        shutil.rmtree(self.m.host(VOICES))
        since = self.m.log_bytes()
        self.assertEqual(self.m.run()[0], 0)
        self.assertEqual({(h, r): self.tokens_in(h, r) for h in ("HKLM", "HKCU") for r in ROOTS}, everything)
        self.assertEqual(self.m.log_lines(since=since), self.start_lines())


if __name__ == "__main__":
    unittest.main()
