"""Voice folders the installation run and the check must both handle: one deeper than MAX_PATH, and two
that give the same TokenKeyName."""
import unittest

from harness import Machine, MachineTest

VOICES = "C:\\Program Files\\Mirelka\\ZunSapi64\\data_quelto\\voices"
DESKTOP_TOKENS = "SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens\\"
LIBRARY = "C:\\Program Files\\Mirelka\\ZunSapi64\\QueltoEngine.dll"
CLASS = "SOFTWARE\\Classes\\CLSID\\{8D758097-2AAE-4277-88CC-3A6BDD344F53}"


def metadata(token, name):
    return ("TokenKeyName: %s\nLangIndependentName: %s\nLangid: 40a\nLangDependentName: %s\nGender: Female\n"
            "Name: %s\nLanguage: 40a\nAge: Adult\nVendor: Mirelka\nSimpleName: %s\n"
            % (token, name, name, name, name)).encode("utf-8")


class VoiceFoldersTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.write_file(LIBRARY, b"MZ")
        self.m.set_value("HKLM", CLASS + "\\InprocServer32", "", LIBRARY)

    def name_of(self, token):
        key = self.m.registry("HKLM", DESKTOP_TOKENS + token + "\\Attributes").get(
            ("HKLM\\" + DESKTOP_TOKENS + token + "\\Attributes").lower())
        return key.values["name"][2] if key else None

    def test_a_voice_folder_deeper_than_max_path_is_registered(self):
        # Windows limits plain paths to MAX_PATH (260) unless they start with \\?\; neither Wine nor the
        # stand-in has the limit, so this shows that the long form reaches the same folder.
        folder = "v" * 240
        self.assertGreater(len(VOICES + "\\" + folder + "\\metaData.txt"), 260)
        self.m.install_voice(folder, metadata("TTS_Mirelka_es-ES_Long", "Long"))
        self.assertEqual(self.m.run()[0], 0)
        self.assertEqual(self.name_of("TTS_Mirelka_es-ES_Long"), "Long")
        self.assertIn(("INFO", "1) Voice: %s\\%s\\metaData.txt" % (VOICES, folder)), self.m.log_lines())
        code, out, _ = self.m.run("/verify")
        self.assertIn(b"Voice TTS_Mirelka_es-ES_Long: ok", out)

    def test_two_folders_giving_one_name_are_a_conflict_naming_both(self):
        self.m.install_voice("a-elena", metadata("TTS_Mirelka_es-ES_Elena", "Elena"))
        self.m.install_voice("b-elena-copy", metadata("TTS_Mirelka_es-es_ELENA", "Copy"))
        self.assertEqual(self.m.run()[0], 0)
        conflict = ("TokenKeyName 'TTS_Mirelka_es-es_ELENA' is given by two voice folders, %s\\a-elena and "
                    "%s\\b-elena-copy; %s\\b-elena-copy is not registered" % (VOICES, VOICES, VOICES))
        self.assertIn(("ERROR", conflict), self.m.log_lines())
        self.assertEqual(self.name_of("TTS_Mirelka_es-ES_Elena"), "Elena", "the first folder keeps the name")

        code, out, _ = self.m.run("/verify")
        self.assertEqual(code, 1, out)
        report = out.decode("utf-8").replace("\r\n", "\n").split("\n")
        self.assertIn("Voice folder b-elena-copy: TokenKeyName 'TTS_Mirelka_es-es_ELENA' is given by two voice "
                      "folders, a-elena and b-elena-copy; b-elena-copy is not registered", report)
        self.assertEqual([l for l in report if l.startswith("Voice TTS_Mirelka_es-ES_Elena")],
                         ["Voice TTS_Mirelka_es-ES_Elena: ok"], "one voice, one verdict")
        self.assertIn(("ERROR", "Voice folder not registered: " + conflict), self.m.log_lines())


if __name__ == "__main__":
    unittest.main()
