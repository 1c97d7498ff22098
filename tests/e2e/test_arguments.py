"""One table of command lines: near misses refused, every spelling of every mode, unknown arguments ignored."""
import os
import unittest

from harness import Machine, MachineTest

VERSION = os.environ.get("PENDREL_VERSION", "")

# What a run's log shows it ran, by the first line each mode writes.
MODE_LINES = {
    "install": "Searching for voices.",
    "uninstall": "Runing Uninstall Pendrel",
    "verify": "Checking the engine's voices",
    "search": "Starting exploration of available voices on Mirelka server",
}

# (arguments, exit code, what ran). "refused ARGUMENT", "help" and "version" run nothing: the registry stays
# as it was.
TABLE = [
    # Near misses: refused whole, wherever they stand.
    (("--uninstall2",), 87, "refused --uninstall2"),
    (("/unistall",), 87, "refused /unistall"),
    (("-uninstall",), 87, "refused -uninstall"),
    (("/UNINSTAL",), 87, "refused /UNINSTAL"),
    (("/unregister-all",), 87, "refused /unregister-all"),
    (("/verfy",), 87, "refused /verfy"),
    (("-verify",), 87, "refused -verify"),
    (("/serchvoices",), 87, "refused /serchvoices"),
    (("--searchvoices", "/out=C:\\x.json"), 87, "refused --searchvoices"),
    (("--verison",), 87, "refused --verison"),
    (("/uninstall", "/verfy"), 87, "refused /verfy"),
    (("own-argument", "/unistall"), 87, "refused /unistall"),
    # Near misses at the bound: exactly two edits from a name.
    (("/unistal",), 87, "refused /unistal"),
    (("/vrfy",), 87, "refused /vrfy"),
    (("/serchvoice",), 87, "refused /serchvoice"),
    (("--unregistr-al",), 87, "refused --unregistr-al"),
    # Three edits away: no near miss, an argument of the installer's own.
    (("/unstal", "/vfy", "/srchvoice", "--unrgistr-al"), 0, "install"),
    # A word out of place: refused, never run as an installation.
    (("/silent", "/verify"), 87, "misplaced /verify"),
    (("/uninstall", "/searchvoices"), 87, "misplaced /searchvoices"),
    (("/silent", "/?"), 87, "misplaced /?"),
    (("/verify/json",), 87, "misplaced /verify/json"),
    (("/verify /json",), 87, "misplaced /verify /json"),  # one argument: a quoting slip
    (("/searchvoices /out=C:\\x y.json",), 87, "misplaced /searchvoices /out=C:\\x y.json"),
    # Values keep their blanks and are not read for words.
    (("/searchvoices", "/password=a /verify", "/OUT=C:\\missing-folder\\v.json"), 1, "search"),
    (("/D=C:\\Program Files\\x /verify",), 0, "install"),
    # The new spellings.
    (("--uninstall",), 0, "uninstall"),
    (("--UNINSTALL", "own-argument"), 0, "uninstall"),
    (("/help",), 0, "help"),
    (("-?",), 0, "help"),
    (("/HELP", "/unistall"), 0, "help"),
    (("/version",), 0, "version"),
    # Arguments of the installer's own: ignored.
    (("unistall",), 0, "install"),
    (("/silent", "-x", "/norestart"), 0, "install"),
    (("/install",), 0, "install"),  # two letters from "uninstall", but it asks for the installation run
    (("--INSTALL",), 0, "install"),
    # The documented calls.
    ((), 0, "install"),
    (("/uninstall",), 0, "uninstall"),
    (("--unregister-all",), 0, "uninstall"),
    (("/verify",), 3, "verify"),  # nothing installed on a fresh machine
    (("--verify",), 3, "verify"),
    (("/?",), 0, "help"),
    (("-h",), 0, "help"),
    (("--help",), 0, "help"),
    (("--version",), 0, "version"),
    # The catalogue options in any case: the path is used (its folder is missing, so nothing is sent).
    (("/searchvoices", "/OUT=C:\\missing-folder\\v.json"), 1, "search"),
]


class ArgumentsTest(MachineTest):
    def test_command_line_table(self):
        m = Machine()
        self.addCleanup(m.close)
        m.run()  # the machine is laid out before the table starts
        # The registry after the last row, when that row left it as it was: the next row starts from it, which
        # spares a reading of both hives (seconds under Wine) for each row in a run of such rows.
        unchanged = None
        for arguments, expected_code, ran in TABLE:
            with self.subTest(arguments=arguments):
                ran, _, refused = ran.partition(" ")
                registry = None
                if ran in ("refused", "misplaced", "help", "version", "verify"):
                    registry = unchanged if unchanged is not None else m.registry_state()
                unchanged = None
                before = m.log_bytes()
                code, out, err = m.run(*arguments)
                self.assertEqual(code, expected_code, (out, err))
                lines = m.log_lines(bracketing=True, since=before)
                messages = [message for _, message in lines]
                if ran == "refused":
                    self.assertEqual(out, b"", "no banner: nothing ran")
                    text = err.decode("utf-8")
                    self.assertIn("Unknown argument: " + refused + " (did you mean ", text)
                    self.assertIn("Usage:", text)
                    self.assertEqual(len(lines), 1, lines)
                    self.assertEqual(lines[0][0], "ERROR")
                    self.assertIn(refused, lines[0][1])
                    self.assertIn("nothing was run", lines[0][1])
                elif ran == "misplaced":
                    self.assertEqual(out, b"", "no banner: nothing ran")
                    text = err.decode("utf-8")
                    self.assertIn("Argument out of place: " + refused + " (", text)
                    self.assertIn("). Nothing was run.", text)
                    self.assertIn("Usage:", text)
                    self.assertEqual(len(lines), 1, lines)
                    self.assertEqual(lines[0][0], "ERROR")
                    self.assertTrue(lines[0][1].startswith("Refused the argument " + refused + " ("), lines)
                    self.assertIn("nothing was run", lines[0][1])
                elif ran == "help":
                    self.assertTrue(out.decode("utf-8").startswith("Pendrel %s: " % VERSION), out[:60])
                    self.assertEqual(lines, [], "help writes no log line")
                elif ran == "version":
                    self.assertTrue(out.startswith(b"Pendrel " + VERSION.encode()), out)
                    self.assertEqual(lines, [])
                else:
                    self.assertEqual(lines[-1], ("INFO", "Exit code: %d" % expected_code))
                    started = [mode for mode, line in MODE_LINES.items()
                               if any(message.startswith(line) for message in messages)]
                    self.assertEqual(started, [ran], messages)
                if ran == "search":
                    self.assertIn("[SearchVoices] Could not create file: C:\\missing-folder\\v.json GLE=3", messages)
                if registry is not None:
                    after = m.registry_state()
                    self.assertEqual(after, registry, "the registry is unchanged")
                    unchanged = after


if __name__ == "__main__":
    unittest.main()
