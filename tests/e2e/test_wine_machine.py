"""The Wine machine itself: every Windows process the tests start must come up, whatever Linux's address
randomisation picks (see scripts/wine-layout)."""
import unittest

from harness import ADDR_NO_RANDOMIZE, TARGET, Machine, MachineTest, release


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


if __name__ == "__main__":
    unittest.main()
