"""The test machine itself: every Windows process the tests start must come up, whatever Linux's address
randomisation picks (see scripts/wine-layout), and a run that hangs must say where."""
import time
import unittest

from harness import ADDR_NO_RANDOMIZE, PROBE, TARGET, Machine, MachineTest, release


class HangTest(MachineTest):
    def test_a_run_past_its_time_limit_fails_naming_what_each_process_was_doing(self):
        m = Machine()
        self.addCleanup(m.close)
        # Plants links for 30 s in a key of the user's own; stopped after 2.
        with self.assertRaises(AssertionError) as caught:
            m.run("plant", "HKCU", "SOFTWARE", "SOFTWARE\\Elsewhere", "30", program=PROBE, timeout=2)
        report = str(caught.exception)
        self.assertIn("did not end within 2 s (still running)", report)
        self.assertRegex(report, r"\n  \d+ [A-Z] .*probe.* plant .*\(holds the run's standard output and standard error\)")
        if TARGET == "wine":
            # The stacks are winedbg's best effort (it may fail to attach to a busy process): only asked for.
            self.assertIn("\nwinedbg bt all:\n", report)


@unittest.skipUnless(TARGET == "wine", "the stand-in runs the Linux program directly; only Wine needs the layout")
class WineMachineTest(MachineTest):
    def test_programs_start_with_a_fixed_address_layout(self):
        m = Machine()
        self.addCleanup(m.close)
        m.write_file("C:\\held.txt", b"x")
        holder = m.hold("C:\\held.txt")
        try:
            # The wine script execs the loader, which runs the program in the same process.
            with open("/proc/%d/personality" % holder.pid) as f:
                personality = int(f.read(), 16)
            with open("/proc/%d/cmdline" % holder.pid, "rb") as f:
                self.assertIn(b"probe", f.read())
        finally:
            release(holder)
        self.assertTrue(personality & ADDR_NO_RANDOMIZE, hex(personality))

    def test_a_run_beside_a_holding_program_ends_after_the_desktop_sat_idle(self):
        m = Machine()
        self.addCleanup(m.close)
        m.write_file("C:\\held.txt", b"x")
        time.sleep(4)  # longer than Wine keeps an unused desktop
        holder = m.hold("C:\\held.txt", "lock")  # on the desktop until released
        try:
            code, _, err = m.run(timeout=30)  # would wait for a desktop started with its standard error
        finally:
            release(holder)
        self.assertEqual(code, 0, err)


if __name__ == "__main__":
    unittest.main()
