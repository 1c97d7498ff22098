"""The log never holds a run up, and a run whose lines cannot reach it says so."""
import os
import subprocess
import time
import unittest

from harness import PROBE, Machine, MachineTest

LIMIT_SECONDS = 20  # a run under Wine starts in about a second; the lock is waited for 2 s once
ANNOUNCEMENT = b"The log cannot be written: "


class LogTest(MachineTest):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.run()  # the log exists
        self.log = self.m.local_appdata + "\\Mirelka\\ZunSapi64\\log_zunsapi.txt"

    def held(self, verb):
        """A probe holding the log (verb "hold") or locking all of it ("lock") until the test ends."""
        command, env = self.m._command((verb, self.log), PROBE, None)
        holder = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(holder.stdout.readline().strip(), b"held")

        def release():
            holder.stdin.close()
            holder.wait(timeout=60)
        self.addCleanup(release)

    def check_every_mode_finishes(self, verb):
        self.held(verb)
        for arguments in ((), ("/uninstall",), ("/verify",), ("/searchvoices", "/out=C:\\missing-folder\\v.json")):
            with self.subTest(verb=verb, arguments=arguments):
                before = self.m.log_bytes()
                started = time.monotonic()
                code, _, err = self.m.run(*arguments, timeout=LIMIT_SECONDS * 3)
                elapsed = time.monotonic() - started
                self.assertLess(elapsed, LIMIT_SECONDS, "the run waited on the log")
                # /verify answers 3: nothing of the engine is installed on this machine.
                expected = {"/searchvoices": 1, "/verify": 3}.get(arguments[0] if arguments else "", 0)
                self.assertEqual(code, expected, err)
                announced = err.count(ANNOUNCEMENT)
                self.assertLessEqual(announced, 1, err)
                arrived = self.m.log_bytes()[len(before):]
                if b"] [INFO] Exit code: " not in arrived:
                    self.assertEqual(announced, 1, "a lost line is never silent: " + repr(err))
                    self.assertIn(ANNOUNCEMENT + self.log.encode() + b": ", err)

    def test_a_log_locked_whole_by_another_program(self):
        self.check_every_mode_finishes("lock")

    def test_a_log_held_without_write_sharing(self):
        # Windows refuses the open (a sharing violation); the stand-in's hold stops deletion only.
        self.check_every_mode_finishes("hold")

    def test_a_log_that_cannot_be_opened_is_announced_once(self):
        path = self.m.log_path()
        os.remove(path)
        os.mkdir(path)  # a folder has taken the log's name
        code, _, err = self.m.run("first", "second")
        self.assertEqual(code, 0)
        lines = [l for l in err.replace(b"\r\n", b"\n").split(b"\n") if l]
        self.assertEqual(len(lines), 1, err)
        self.assertTrue(lines[0].startswith(ANNOUNCEMENT + self.log.encode() + b": 5: "), lines[0])
        self.assertTrue(lines[0].endswith(b" Lines of this run are missing from it."), lines[0])


if __name__ == "__main__":
    unittest.main()
