"""The Linux stand-in's own guarantees: it never reaches outside the sandbox's folders, never replaces a hive
it could not read, fails loudly when it cannot save, and never hangs on a file that is not a regular file.

Everything here is about the stand-in's files (its hives, their lock, host file names), which Wine does not
have, so under Wine every test skips."""
import os
import resource
import shutil
import signal
import subprocess
import unittest

from harness import EXAMPLES, PROBE, PROGRAM, TARGET, Machine, MachineTest

ROOT = "C:\\Program Files\\Mirelka\\ZunSapi64"
VOICES = ROOT + "\\data_quelto\\voices\\"
HEADER = "Windows Registry Editor Version 5.00\r\n\r\n"
NOBODY = 65534
FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "wine-hklm-software.reg")


def utf16(text):
    return b"\xff\xfe" + text.encode("utf-16-le")


class StandInTest(MachineTest):
    def setUp(self):
        if TARGET == "wine":
            self.skipTest("the hive files, their lock and host file names are the Linux stand-in's own; "
                          "under Wine the registry and the file system are Wine's")
        self.m = Machine()
        self.addCleanup(self.m.close)

    # -- helpers ------------------------------------------------------------
    def hive_path(self, hive="HKEY_LOCAL_MACHINE"):
        return os.path.join(self.m.sandbox, "registry", hive + ".reg")

    def write_hive(self, data, hive="HKEY_LOCAL_MACHINE"):
        os.makedirs(os.path.dirname(self.hive_path(hive)), exist_ok=True)
        with open(self.hive_path(hive), "wb") as f:
            f.write(data)

    def read_hive(self, hive="HKEY_LOCAL_MACHINE"):
        with open(self.hive_path(hive), "rb") as f:
            return f.read()

    def install_examples(self):
        for folder in sorted(os.listdir(EXAMPLES + "/voices")):
            for name in os.listdir(os.path.join(EXAMPLES, "voices", folder)):
                with open(os.path.join(EXAMPLES, "voices", folder, name), "rb") as f:
                    self.m.write_file(VOICES + folder + "\\" + name, f.read())
        self.assertEqual(self.m.run()[0], 0)

    def run_program(self, *args, program=None, as_nobody=False, preexec=None, extra_env=None):
        env = dict(os.environ, LANG="C.UTF-8", PENDREL_SANDBOX=self.m.sandbox, **(extra_env or {}))
        command = [program or PROGRAM] + list(args)
        if as_nobody:
            command = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + command
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              preexec_fn=preexec)
        return done.returncode, done.stdout, done.stderr

    def give_sandbox_to_nobody(self):
        """Permission checks need a user that is not root: the sandbox is handed to `nobody`."""
        if os.geteuid() != 0:
            return False
        if shutil.which("setpriv") is None:
            self.skipTest("running as root without setpriv: no way to run as a user whom permissions bind")
        os.chmod(self.m.workdir, 0o755)
        for folder, dirs, files in os.walk(self.m.sandbox):
            for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(name, NOBODY, NOBODY)
        return True

    def assert_stopped_untouched(self, code, err, before, expected_code=2):
        self.assertEqual(code, expected_code, err)
        self.assertIn(self.hive_path().encode(), err, "standard error names the hive file")
        self.assertEqual(self.read_hive(), before, "the hive is never replaced")

    # -- outside the sandbox's folders ----------------------------------------
    def test_a_listed_name_holding_backslashes_never_climbs_out(self):
        self.install_examples()
        users = self.m.files("C:\\Users")
        trap = os.path.join(self.m.host(ROOT), "..\\..\\..\\Users")
        os.makedirs(os.path.join(trap, "inner"))
        code, _, _ = self.m.run("/uninstall")
        self.assertEqual(code, 0)
        self.assertFalse(os.path.lexists(self.m.host(ROOT)), "the installation folder is gone, trap and all")
        self.assertEqual(self.m.files("C:\\Users"), users, "nothing outside the installation folder was deleted")

    def test_names_that_are_not_utf8_or_not_windows_names_are_matched_again(self):
        self.install_examples()
        root = os.fsencode(self.m.host(ROOT))
        for name in (b"\xff\xfe-not-utf8", b"a:b*c?d", b"tab\there", b"\xed\xa0\x80surrogate"):
            os.makedirs(os.path.join(root, name, b"sub"))
            with open(os.path.join(root, name, b"sub", b"f\x80.bin"), "wb") as f:
                f.write(b"x")
        code, _, _ = self.m.run("/uninstall")
        self.assertEqual(code, 0)
        self.assertFalse(os.path.lexists(self.m.host(ROOT)), "every oddly named entry was found and deleted")

    def test_a_path_variable_set_to_a_host_folder_gives_host_paths(self):
        local = os.path.join(self.m.workdir, "host local")
        environment = os.path.join(self.m.sandbox, "environment")
        self.m.run()  # the sandbox with its environment file
        with open(environment, "rb") as f:
            lines = [l for l in f.read().split(b"\n") if l and not l.startswith(b"LOCALAPPDATA=")]
        with open(environment, "wb") as f:
            f.write(b"\n".join(lines + [b"LOCALAPPDATA=" + local.encode()]) + b"\n")
        self.assertEqual(self.m.run()[0], 0)
        self.assertTrue(os.path.isfile(os.path.join(local, "Mirelka", "ZunSapi64", "log_zunsapi.txt")))
        self.assertEqual([n for n in os.listdir(self.m.workdir) if "\\" in n], [], "no name holds a backslash")

    def test_an_environment_file_with_a_byte_order_mark_keeps_its_first_variable(self):
        self.m.run()
        environment = os.path.join(self.m.sandbox, "environment")
        with open(environment, "rb") as f:
            lines = [l for l in f.read().split(b"\n") if l and not l.startswith(b"LOCALAPPDATA=")]
        with open(environment, "wb") as f:
            f.write(b"\xef\xbb\xbfLOCALAPPDATA=C:\\Elsewhere\n" + b"\n".join(lines) + b"\n")
        self.m.run()
        self.assertTrue(os.path.isfile(self.m.host("C:\\Elsewhere\\Mirelka\\ZunSapi64\\log_zunsapi.txt")))

    # -- files that are not regular files ----------------------------------------
    def test_a_fifo_as_metadata_or_voice_file_never_blocks(self):
        base = self.m.install_voice("fifo", None)
        os.mkfifo(self.m.host(base + "\\metaData.txt"))
        os.mkfifo(self.m.host(base + "\\voice.txt"))
        self.assertEqual(self.m.run(timeout=60)[0], 0)
        self.assertIn("Cannot open input file: " + base + "\\metaData.txt", self.m.log_messages())
        self.assertEqual(self.m.run("/uninstall", timeout=60)[0], 0)

    # -- hives that cannot be used -------------------------------------------------
    def test_a_hive_that_cannot_be_read_is_never_replaced(self):
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        before = self.read_hive()
        cases = [("a folder", lambda p: (os.rename(p, p + ".x"), os.mkdir(p)), lambda p: (os.rmdir(p), os.rename(p + ".x", p))),
                 ("a FIFO", lambda p: (os.rename(p, p + ".x"), os.mkfifo(p)), lambda p: (os.unlink(p), os.rename(p + ".x", p))),
                 ("a symbolic link", lambda p: (os.rename(p, p + ".x"), os.symlink(p + ".x", p)),
                  lambda p: (os.unlink(p), os.rename(p + ".x", p)))]
        for what, make, undo in cases:
            with self.subTest(what):
                make(self.hive_path())
                code, _, err = self.run_program()
                self.assertEqual(code, 2, err)
                self.assertIn(self.hive_path().encode() + b" cannot be read", err)
                undo(self.hive_path())
                self.assertEqual(self.read_hive(), before)
        self.assertEqual(self.m.log_bytes(), b"", "the run stopped before doing anything")

    def test_a_hive_without_read_permission_is_never_replaced(self):
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        before = self.read_hive()
        as_nobody = self.give_sandbox_to_nobody()
        os.chmod(self.hive_path(), 0)
        code, _, err = self.run_program(as_nobody=as_nobody)
        os.chmod(self.hive_path(), 0o644)
        self.assert_stopped_untouched(code, err, before)
        self.assertIn(b"Permission denied", err)

    def test_a_hive_that_cannot_be_parsed_is_never_replaced(self):
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        good = self.read_hive()
        deep = "[HKEY_LOCAL_MACHINE" + "\\k" * 20000 + "]\r\n"
        cases = {
            "one byte after the byte-order mark": good[:2] + b"x" + good[2:],
            "a value outside any key": utf16(HEADER + '"x"="y"\r\n'),
            "a key of another hive": utf16(HEADER + "[HKEY_CURRENT_USER\\Software]\r\n"),
            "a key 20000 levels deep": utf16(HEADER + deep),
            "a value set twice": utf16(HEADER + '[HKEY_LOCAL_MACHINE\\A]\r\n"x"="1"\r\n"X"="2"\r\n'),
            "bytes that are not hexadecimal": utf16(HEADER + '[HKEY_LOCAL_MACHINE\\A]\r\n"x"=hex:0g\r\n'),
            "UTF-8 that is not valid": b"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\\xff]\n",
            "an empty file": b"",
        }
        for what, data in cases.items():
            with self.subTest(what):
                self.write_hive(data)
                code, _, err = self.run_program()
                self.assertEqual(code, 2, err)
                self.assertIn(self.hive_path().encode() + b" cannot be parsed", err)
                self.assertEqual(self.read_hive(), data)
        self.assertEqual(self.m.log_bytes(), b"", "the run stopped before doing anything")

    def test_keys_go_512_levels_deep_and_no_deeper(self):
        data = utf16(HEADER + "[HKEY_LOCAL_MACHINE" + "\\k" * 512 + "]\r\n\r\n")
        self.write_hive(data)
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        self.assertIn("[HKEY_LOCAL_MACHINE" + "\\k" * 512 + "]\r\n", self.read_hive()[2:].decode("utf-16-le"))
        code, _, _ = self.run_program("set", "HKLM", "\\".join(["k"] * 513), "x", "1", program=PROBE)
        self.assertNotEqual(code, 0, "no key is created below the 512th level")
        self.m.set_value("HKLM", "Software\\Custom", "still", "readable")

    # -- what the hive reader accepts -----------------------------------------------
    def test_every_form_reg_export_writes_is_read_and_written_back_unchanged(self):
        binary = bytes(range(31))
        hexes = ",".join("%02x" % b for b in binary)
        exported = (HEADER + "[HKEY_LOCAL_MACHINE]\r\n\"OnTheRoot\"=\"root value\"\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Custom]\r\n"
                    "@=\"default \\\"quoted\\\" C:\\\\\"\r\n\"Bin\"=hex:" + hexes[:3 * 23] + "\\\r\n  " + hexes[3 * 23:] + "\r\n"
                    "\"Count\"=dword:0000002a\r\n\r\n")
        for what, data in [("UTF-16LE", utf16(exported)),
                           ("UTF-8 with a byte-order mark", b"\xef\xbb\xbf" + exported.encode()),
                           ("UTF-8 without one, LF line ends", exported.replace("\r\n", "\n").encode())]:
            with self.subTest(what):
                self.write_hive(data)
                keys = self.m.registry("HKLM", "Software\\Custom")
                values = keys["hklm\\software\\custom"].values
                self.assertEqual(values["bin"][2], binary.hex(), "the continuation line's bytes are kept")
                self.assertEqual(values[""][2], 'default "quoted" C:\\')
                root = self.m.registry("HKLM", "")["hklm\\"].values
                self.assertEqual(root["ontheroot"][2], "root value", "a value on the hive's root key is read")
                self.m.set_value("HKLM", "", "OnTheRoot", "root value")  # the hive is written back
                self.assertEqual(self.read_hive(), data, "written back byte for byte")

    def test_a_wine_export_of_hklm_software_round_trips_byte_for_byte(self):
        with open(FIXTURE, "rb") as f:
            exported = f.read()
        self.write_hive(exported)
        self.m.set_value("HKLM", "Software\\Microsoft\\Windows\\CurrentVersion\\Setup", "BootDir", "C:\\")
        self.assertEqual(self.read_hive(), exported)

    # -- hives that cannot be saved ---------------------------------------------------
    def assert_save_failed(self, code, err, before):
        self.assertEqual(code, 3, err)
        self.assertIn(self.hive_path().encode() + b" could not be saved", err)
        self.assertEqual(self.read_hive(), before)
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.hive_path())) if n.endswith(".tmp")], [])

    def test_a_full_disk_is_a_failure_that_leaves_the_hive_as_it_was(self):
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        before = self.read_hive()
        self.m.install_voice("elena", b"TokenKeyName: TTS_Mirelka_es-ES_Elena\nName: Elena\n")

        def small_files():
            # The log stays below the limit; the grown hive does not fit.
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(before), len(before)))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        code, _, err = self.run_program(preexec=small_files)
        self.assert_save_failed(code, err, before)

    def test_a_read_only_registry_folder_is_a_failure_that_leaves_the_hive_as_it_was(self):
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        before = self.read_hive()
        self.m.install_voice("elena", b"TokenKeyName: TTS_Mirelka_es-ES_Elena\nName: Elena\n")
        as_nobody = self.give_sandbox_to_nobody()
        os.chmod(os.path.dirname(self.hive_path()), 0o555)
        code, _, err = self.run_program(as_nobody=as_nobody)
        os.chmod(os.path.dirname(self.hive_path()), 0o755)
        self.assert_save_failed(code, err, before)

    # -- waiting for another process -----------------------------------------------------
    def test_waiting_for_a_held_hive_is_bounded_and_said(self):
        import fcntl
        self.m.set_value("HKLM", "Software\\Custom", "kept", "1")
        before = self.read_hive()
        self.m.install_voice("elena", b"TokenKeyName: TTS_Mirelka_es-ES_Elena\nName: Elena\n")
        with open(self.hive_path() + ".lock", "rb") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            code, _, err = self.run_program(extra_env={"PENDREL_HIVE_WAIT_SECONDS": "1"})
        self.assertIn(b"Waiting for the registry hive " + self.hive_path().encode(), err)
        self.assert_stopped_untouched(code, err, before)
        self.assertIn(b"still in use by another process after 1 seconds", err)


if __name__ == "__main__":
    unittest.main()
