"""The entry point: console echo, log lines and mode dispatch of the program."""
import os
import re
import unittest

from harness import CATALOGUE_PROGRAM, Machine, MachineTest, release

VERSION = os.environ.get("PENDREL_VERSION", "")
BANNER = "Pendrel.exe arrancó correctamente.".encode("utf-8")


class EntryTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def console(self, stdout):
        lines = stdout.split(self.m.eol)
        self.assertEqual(lines[-1], b"", "every console line ends with the platform's line end")
        return lines[:-1]

    def test_no_arguments_runs_the_installation(self):
        code, out, err = self.m.run()
        self.assertEqual(code, 0, err)
        lines = self.console(out)
        self.assertEqual(lines[0], BANNER)
        self.assertEqual(lines[1], b"argc = 1")
        self.assertRegex(lines[2], rb"^argv\[0\] = .*pendrel(\.exe)?$")
        self.assertEqual(len(lines), 3)
        pattern = self.m.program_files + "\\Mirelka\\ZunSapi64\\data_quelto\\voices\\*.*"
        self.assertEqual(self.m.log_lines(), [
            ("INFO", "Run Pendrel"),
            ("INFO", "Searching for voices."),
            ("INFO", "Voices location: " + pattern),
        ])

    def test_help_and_version_answer_alone(self):
        for argument in ("/?", "-h", "-H", "--help", "--HELP", "--Help"):
            for extra in ((), ("/uninstall",)):
                code, out, err = self.m.run(argument, *extra)
                self.assertEqual(code, 0, argument)
                text = out.decode("utf-8")
                self.assertTrue(text.startswith("Pendrel %s: " % VERSION), text[:60])
                for part in ("/uninstall", "/searchvoices", "Exit codes", "log_zunsapi.txt"):
                    self.assertIn(part, text, argument)
                self.assertEqual(err, b"")
        for argument in ("--version", "--VERSION", "/version"):
            code, out, err = self.m.run(argument)
            self.assertEqual((code, self.console(out)[0], err), (0, b"Pendrel " + VERSION.encode(), b""))
        # A build posting to the reserved example domain says so on a line of its own.
        for url, lines in (("http://localhost:9/x", [b"Pendrel " + VERSION.encode()]),
                           ("https://voices.mirelka.example/x",
                            [b"Pendrel " + VERSION.encode(),
                             b"Catalogue endpoint not configured when this program was built "
                             b"(https://voices.mirelka.example/x): /searchvoices cannot reach a catalogue."])):
            code, out, err = self.m.run("--version", program=CATALOGUE_PROGRAM,
                                        extra_env={"PENDREL_TEST_CATALOGUE_URL": url})
            self.assertEqual((code, self.console(out), err), (0, lines, b""), url)
        self.assertEqual(self.m.log_bytes(), b"", "no log line, no run")
        self.assertFalse(self.m.exists(self.m.temp + "quelto_voices.json.part"))

    def test_help_counts_only_as_the_first_argument(self):
        # Later, it is refused as a word out of place: the caller wanted the usage, not an installation run.
        code, out, err = self.m.run("x", "--help", "-h", "/?", "--version")
        self.assertEqual(code, 87)
        self.assertEqual(out, b"")
        self.assertIn(b"Argument out of place: --help (--help counts only as the first argument). Nothing was run.",
                      err)
        self.assertEqual([level for level, _ in self.m.log_lines()], ["ERROR"])

    def test_every_run_is_bracketed_by_version_process_and_exit_code(self):
        # The catalogue search's exit code 1 is shown by the catalogue tests, which own the test server.
        runs = [((), 0), (("/uninstall",), 0), (("unknown", "--unregister-ALL"), 0)]
        for arguments, expected in runs:
            before = self.m.log_bytes()
            code, _, _ = self.m.run(*arguments)
            self.assertEqual(code, expected, arguments)
            lines = self.m.log_lines(bracketing=True, since=before)
            self.assertEqual(lines[0], ("INFO", "Run Pendrel"))
            self.assertEqual(lines[1][0], "INFO")
            self.assertRegex(lines[1][1], r"^Pendrel %s, process id [1-9]\d*$" % re.escape(VERSION))
            self.assertEqual(lines[-1], ("INFO", "Exit code: %d" % expected), arguments)
            self.assertEqual([l for l in lines if l[1].startswith("Exit code")], [lines[-1]])

    def test_uninstall_in_any_case_and_position_stops_the_scan(self):
        code, out, _ = self.m.run("first", "/UnInstall", "never-logged")
        self.assertEqual(code, 0)
        self.assertEqual(self.console(out)[1], b"argc = 4")
        self.assertEqual(self.m.log_messages()[:5],
                         ["Run Pendrel", "first", "/UnInstall", "Runing Uninstall Pendrel",
                          "Starting uninstallation of Mirelka voices"])
        m2 = Machine()
        self.addCleanup(m2.close)
        self.assertEqual(m2.run("--UNREGISTER-all")[0], 0)
        self.assertEqual(m2.log_messages()[:3], ["Run Pendrel", "--UNREGISTER-all", "Runing Uninstall Pendrel"])

    def test_searchvoices_counts_only_as_the_first_argument(self):
        # Later, even after /uninstall, it is refused: which of the two was meant cannot be told.
        for arguments in (("/uninstall", "/searchvoices"), ("other", "/searchvoices")):
            before = self.m.log_bytes()
            code, out, err = self.m.run(*arguments)
            self.assertEqual((code, out), (87, b""), arguments)
            self.assertIn(b"Argument out of place: /searchvoices (/searchvoices counts only as the first argument)",
                          err)
            self.assertEqual(len(self.m.log_lines(since=before)), 1)
        self.assertFalse(self.m.exists(self.m.temp + "quelto_voices.json"))

    def test_password_never_reaches_console_or_log(self):
        code, out, err = self.m.run("/searchvoices", "/uninstall", "/username=ana", "/password=s3cret")
        lines = self.console(out)
        self.assertEqual(lines[1], b"argc = 5")
        self.assertEqual(lines[3], b"argv[1] = /searchvoices")
        self.assertEqual(lines[4], b"argv[2] = /uninstall", "an ignored catalogue argument")
        self.assertEqual(lines[5], b"argv[3] = /username=ana")
        self.assertEqual(lines[6], b"argv[4] = /password=********")
        self.assertNotIn(b"s3cret", out + err + self.m.log_bytes())
        self.assertEqual(self.m.log_messages()[:2], ["Run Pendrel", "/searchvoices"])
        # In another mode the scan logs every argument: still masked.
        m2 = Machine()
        self.addCleanup(m2.close)
        m2.run("x", "/password=s3cret")
        self.assertIn("/password=********", m2.log_messages())
        self.assertNotIn(b"s3cret", m2.log_bytes())

    def test_non_latin_text_is_utf8_on_the_console_and_latin1_in_the_log(self):
        code, out, _ = self.m.run("José", "中x")
        self.assertEqual(code, 0)
        lines = self.console(out)
        self.assertEqual(lines[3], "argv[1] = José".encode("utf-8"))
        self.assertEqual(lines[4], "argv[2] = 中x".encode("utf-8"))
        log = self.m.log_bytes()
        self.assertIn(b"] [INFO] Jos\xe9\r\n", log)
        self.assertIn(b"] [INFO] ?x\r\n", log)

    def test_concurrent_runs_never_interleave_within_a_line(self):
        import concurrent.futures
        self.m.run()  # the machine is laid out before the runs race
        # Every argument is a log line of its own: many writers, many lines each.
        runs, lines_per_run = 16, 40

        def one_run(i):
            return self.m.run(*["run-%d-%d-%s" % (i, j, "x" * 120) for j in range(lines_per_run)])[0]

        # Appending is atomic on a local disk under Windows, Wine (O_APPEND) and the stand-in alike, so only
        # the lock keeps lines whole where it is not (a share). A writer that honours the lock but writes each
        # line in two halves stands for such a file system: a run that ignored the lock would land in a pause.
        log = self.m.local_appdata + "\\Mirelka\\ZunSapi64\\log_zunsapi.txt"
        writer = self.m.hold(log, "split-append", "20")
        try:
            with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
                codes = list(pool.map(one_run, range(runs)))
        finally:
            self.assertEqual(release(writer), 0)
        self.assertEqual(codes, [0] * runs)
        messages = self.m.log_messages()  # checks every line's shape
        expected = ["run-%d-%d-%s" % (i, j, "x" * 120) for i in range(runs) for j in range(lines_per_run)]
        self.assertEqual(sorted(m for m in messages if m.startswith("run-")), sorted(expected))
        split = [m for m in messages if m.startswith("split-")]
        self.assertEqual(split, ["split-%d-end" % n for n in range(len(split))])

    def test_log_is_only_appended(self):
        self.m.run()
        first = self.m.log_bytes()
        self.m.run("again")
        second = self.m.log_bytes()
        self.assertTrue(second.startswith(first))
        self.assertIn(b"] [INFO] again\r\n", second[len(first):])


if __name__ == "__main__":
    unittest.main()
