"""The sample Windows Installer package (examples/installer) under Wine's msiexec, as an installer runs the
program: installation, repair, a major upgrade and removal, each on a fresh prefix with its own persistent
wineserver, read through the tokens, /verify, the program's log and msiexec's own log (/l*v)."""
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import EXAMPLES, PROGRAM, SCRIPTS, TARGET, Machine, MachineTest, Started, release

SAMPLE = os.environ.get("PENDREL_SAMPLE_MSI", "")
ENGINE_DIR = os.environ.get("PENDREL_ENGINE_DIR", "")
DESKTOP = "SOFTWARE\\Microsoft\\Speech\\Voices"
ONECORE = "SOFTWARE\\Microsoft\\Speech_OneCore\\Voices"
PLACES = [(hive, root) for hive in ("HKLM", "HKCU") for root in (DESKTOP, ONECORE)]
FOLDER = "C:\\Program Files\\Mirelka\\ZunSapi64"
CLASS = "SOFTWARE\\Classes\\CLSID\\{8D758097-2AAE-4277-88CC-3A6BDD344F53}"
ANE, ELENA, MARK = "TTS_Mirelka_eu-ES_Ane", "TTS_Mirelka_es-ES_Elena", "TTS_Mirelka_en-US_Mark"
# /verify's 3010 as a Linux exit status holds it (3010 & 0xFF).
RESTART_PENDING = 3010 & 0xFF


def build_package(workdir, version, voice_folders, name=None, extra=None):
    """A package of this build with the named example voice folders (and EXTRA's {folder: {file: bytes}}), as
    scripts/package builds the sample."""
    name = name or version
    voices = os.path.join(workdir, "voices-" + name)
    for folder in voice_folders:
        shutil.copytree(os.path.join(EXAMPLES, "voices", folder), os.path.join(voices, folder))
    for folder, files in (extra or {}).items():
        os.makedirs(os.path.join(voices, folder))
        for file, data in files.items():
            with open(os.path.join(voices, folder, file), "wb") as f:
                f.write(data)
    out = os.path.join(workdir, "sample-%s.msi" % name)
    subprocess.run([os.path.join(SCRIPTS, "package"), "--out", out, "--program-dir", os.path.dirname(PROGRAM),
                    "--engine-dir", ENGINE_DIR, "--voices", voices, "--version", version], check=True,
                   stdin=subprocess.DEVNULL, capture_output=True)
    return out


@unittest.skipUnless(TARGET == "wine", "Windows Installer runs only under Wine here")
class InstallerTest(MachineTest):
    @classmethod
    def setUpClass(cls):
        cls.packages = tempfile.mkdtemp(prefix="pendrel-msi-")
        # 1.1 adds Mark and drops Elena.
        cls.old = build_package(cls.packages, "1.0.0", ["basque-ane", "spanish-elena"])
        cls.new = build_package(cls.packages, "1.1.0", ["basque-ane", "english-mark"])
        # A voice folder whose metaData.txt is no UTF-8: the registration skips it, and /verify answers 1.
        cls.broken = build_package(cls.packages, "1.0.0", ["basque-ane"], name="broken",
                                   extra={"broken-voice": {"metaData.txt": b"TokenKeyName: TTS_Mirelka_x\xff\r\n",
                                                           "voice.txt": b"TokenKeyName: TTS_Mirelka_x\r\n"}})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.packages, ignore_errors=True)

    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.runs = 0

    def msiexec(self, *args):
        """msiexec ARGS /qn with a verbose log: its exit code and the log's text."""
        self.runs += 1
        log = os.path.join(self.m.workdir, "msiexec-%d.log" % self.runs)
        env = dict(os.environ, WINEPREFIX=self.m.prefix, WINEDEBUG="-all")
        started = Started(["wine", "msiexec", *args, "/qn", "/l*v", "Z:" + log.replace("/", "\\")], env)
        started.communicate(timeout=180)
        with open(log, "rb") as f:
            data = f.read()
        text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("utf-8", "replace")
        return started.returncode, text.replace("\r\n", "\n")

    def install(self, package=None):
        code, log = self.msiexec("/i", "Z:" + (package or SAMPLE).replace("/", "\\"))
        self.assertEqual(code, 0, log[-4000:])
        return log

    def engine_tokens(self, hive, root):
        top = (hive + "\\" + root + "\\Tokens\\").lower()
        return {path[len(top):] for path in self.m.registry(hive, root + "\\Tokens")
                if path.startswith(top) and "\\" not in path[len(top):]
                and path[len(top):].startswith("tts_mirelka_")}

    def assert_registered(self, names):
        for hive, root in PLACES:
            self.assertEqual(self.engine_tokens(hive, root), {n.lower() for n in names}, (hive, root))

    def verify(self):
        code, out, err = self.m.run("/verify")
        return code, out.decode("utf-8", "replace")

    def ran(self, log, action):
        """Whether msiexec's log shows the action started."""
        return any(line.startswith("Action start ") and line.endswith(": %s." % action) for line in log.split("\n"))

    def program_runs(self):
        """The program's runs in its log, in order: "install" or "uninstall"."""
        runs = []
        for message in self.m.log_messages():
            if message == "Searching for voices.":
                runs.append("install")
            elif message == "Starting uninstallation of Mirelka voices":
                runs.append("uninstall")
        return runs

    def test_install_registers_every_voice_and_verify_answers_0(self):
        log = self.install()
        self.assertTrue(self.ran(log, "RegisterVoices"), log[-4000:])
        self.assertTrue(self.ran(log, "CheckVoices"), "the check runs when the package brings the engine's library")
        self.assertFalse(self.ran(log, "UnregisterVoices"))
        self.assert_registered([ANE, ELENA, MARK])
        server = self.m.registry("HKLM", CLASS + "\\InprocServer32")[("HKLM\\" + CLASS + "\\InprocServer32").lower()]
        self.assertEqual(server.values[""][2], FOLDER + "\\QueltoEngine.dll")
        self.assertEqual(server.values["threadingmodel"][2], "Both")
        code, out = self.verify()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.program_runs(), ["install"])

    def test_repair_registers_again_and_verify_answers_0(self):
        self.install()
        for hive, root in PLACES:
            self.m.delete_key(hive, root + "\\Tokens\\" + ELENA)
        code, log = self.msiexec("/i", "Z:" + SAMPLE.replace("/", "\\"), "REINSTALL=ALL", "REINSTALLMODE=amus")
        self.assertEqual(code, 0, log[-4000:])
        self.assertTrue(self.ran(log, "RegisterVoices"))
        self.assert_registered([ANE, ELENA, MARK])
        code, out = self.verify()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.program_runs(), ["install", "install"])

    def test_major_upgrade_leaves_exactly_the_new_set(self):
        self.install(self.old)
        self.assert_registered([ANE, ELENA])
        log = self.install(self.new)
        self.assert_registered([ANE, MARK])
        voices = self.m.files(FOLDER + "\\data_quelto\\voices")
        self.assertEqual({p.split(os.sep)[0] for p in voices}, {"basque-ane", "english-mark"})
        code, out = self.verify()
        self.assertEqual(code, 0, out)
        # The old version goes first (RemoveExistingProducts right after InstallInitialize), so whatever its
        # removal runs comes before the new version's registration. Windows keeps the old removal's
        # uninstallation run out (UPGRADINGPRODUCTCODE); Wine 8 runs it all the same.
        runs = self.program_runs()
        self.assertEqual(runs[0], "install")
        self.assertEqual(runs[-1], "install", runs)
        self.assertIn(runs[1:-1], ([], ["uninstall"]))
        started = [line.split(": ", 1)[1] for line in log.split("\n") if line.startswith("Action start ")]
        self.assertLess(started.index("RemoveExistingProducts."), started.index("InstallFiles."), started)

    def test_a_check_that_fails_fails_the_installation(self):
        code, log = self.msiexec("/i", "Z:" + self.broken.replace("/", "\\"))
        # Windows answers 1603 (ERROR_INSTALL_FAILURE) for a failed action; Wine 8 answers 1627.
        self.assertIn(code, (1603 & 0xFF, 1627 & 0xFF), log[-4000:])
        self.assertTrue(self.ran(log, "CheckVoices"), log[-4000:])
        self.assertEqual(self.program_runs(), ["install"])
        self.assertIn("Reading stopped at line 1 of %s\\data_quelto\\voices\\broken-voice\\metaData.txt: the bytes "
                      "there are not UTF-8; voice not registered" % FOLDER, self.m.log_messages())

    def assert_removed(self, verify=True):
        for hive, root in PLACES:
            self.assertEqual(self.engine_tokens(hive, root), set(), (hive, root))
        self.assertEqual(self.m.registry("HKLM", CLASS), {}, "the package removes the engine's class")
        pending = {p.lower() for p in self.m.pending_deletions()}
        left = {(FOLDER + "\\" + p.replace(os.sep, "\\")).lower() for p in self.m.files(FOLDER)} \
            if self.m.exists(FOLDER) else set()
        self.assertTrue(left <= pending, "left and not pending: %s" % (left - pending))
        if verify:
            code, out = self.verify()
            self.assertIn(code, (3, RESTART_PENDING), out)

    def test_removal_removes_every_token_and_verify_answers_3_or_3010(self):
        self.install()
        code, log = self.msiexec("/x", "Z:" + SAMPLE.replace("/", "\\"))
        self.assertEqual(code, 0, log[-4000:])
        self.assertTrue(self.ran(log, "UnregisterVoices"), log[-4000:])
        self.assertFalse(self.ran(log, "CheckVoices"))
        self.assert_removed()
        self.assertEqual(self.program_runs(), ["install", "uninstall"])

    def remove_while_held(self):
        self.install()
        held = FOLDER + "\\data_quelto\\voices\\spanish-elena\\voice.txt"
        holder = self.m.hold(held)
        try:
            code, log = self.msiexec("/x", "Z:" + SAMPLE.replace("/", "\\"))
        finally:
            release(holder)
        self.assertEqual(code, 0, log[-4000:])
        self.assertTrue(self.ran(log, "UnregisterVoices"), log[-4000:])
        return held

    def test_removal_while_a_voice_file_is_held(self):
        held = self.remove_while_held()
        self.assert_removed(verify=False)
        self.assertIn(held.lower(), {p.lower() for p in self.m.pending_deletions()})
        self.assertIn("Scheduled for deletion at the next restart: " + held, self.m.log_messages())

    def test_verify_after_a_removal_while_a_voice_file_is_held_answers_3010(self):
        # The voice folder that waits for the restart is no voice: the engine's class, which the package
        # removed, is not checked for it.
        self.remove_while_held()
        code, out = self.verify()
        self.assertEqual(code, RESTART_PENDING, out)

if __name__ == "__main__":
    unittest.main()
