"""USAGE.md (the installer authors' page in the archive), the README and /? against the program: every exit code
of /verify, the refusal's 87, and the argument rules' examples, run on the program itself."""
import os
import re
import shlex
import unittest

from harness import Machine, MachineTest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def read(name):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        return f.read()


def constants(header):
    """name -> value of every `constexpr int kName = N;` in a header of the program."""
    return {name: int(value) for name, value in re.findall(r"constexpr int (k\w+) = (\d+);", read(header))}


def table_after(text, header):
    """The rows (lists of cells) of the Markdown table whose header line starts with HEADER."""
    lines = text.split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith(header))
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    return rows


def codes_in(text):
    return {int(n) for n in re.findall(r"(?<![\w.%-])(\d{1,4})(?![\w.%-])", text)}


class UsageTest(MachineTest):
    def setUp(self):
        self.verify_codes = {v for k, v in constants("verify/verify.h").items() if k.startswith("kVerify")}
        self.refused = constants("driver/arguments.h")["kExitInvalidParameter"]
        self.assertEqual(self.verify_codes, {0, 1, 2, 3, 3010}, "the test reads the constants")

    def test_the_pages_give_verify_every_code_the_program_has(self):
        for page in ("USAGE.md", "README.md"):
            with self.subTest(page):
                text = read(page)
                codes = {int(row[0]) for row in table_after(text, "| Exit code | Meaning |")}
                self.assertEqual(codes, self.verify_codes)
                calls = table_after(text, "| Call |")
                verify = [row for row in calls if row[0].startswith("`pendrel.exe /verify")]
                self.assertEqual(len(verify), 1, calls)
                self.assertEqual(codes_in(verify[0][-1]), self.verify_codes, verify)
                refused = [row for row in calls if "near miss" in row[0]]
                self.assertEqual([codes_in(row[-1]) for row in refused], [{self.refused}], calls)
                self.assertNotIn("answers 0 with", text, "after an uninstallation /verify answers 3 or 3010")

    def test_the_usage_gives_every_code_and_no_false_rule(self):
        m = Machine()
        self.addCleanup(m.close)
        code, out, _ = m.run("/?")
        self.assertEqual(code, 0)
        usage = " ".join(out.decode("utf-8").split())
        codes = usage[usage.index("Exit codes:"):usage.index("Log:")]
        verify = codes[codes.index("/verify exits"):codes.index(";", codes.index("/verify exits"))]
        self.assertEqual(codes_in(verify), self.verify_codes, verify)
        self.assertIn("exits %d" % self.refused, codes)
        self.assertNotRegex(usage, r"\(/unistall[^)]*/install\)", "/install is no near miss")

    def test_every_example_of_the_argument_rules_answers_as_written(self):
        rows = table_after(read("USAGE.md"), "| Command line | Exit code |")
        self.assertGreaterEqual(len(rows), 8)
        m = Machine()
        self.addCleanup(m.close)
        for line, expected, _ in rows:
            with self.subTest(line):
                arguments = shlex.split(line.strip("`"))
                self.assertEqual(arguments[0], "pendrel.exe")
                code, out, err = m.run(*arguments[1:])
                self.assertEqual(code, int(expected), (out, err))
                if code == self.refused:
                    self.assertEqual(out, b"", "nothing ran")


if __name__ == "__main__":
    unittest.main()
