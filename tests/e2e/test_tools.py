"""The developers' tools: scripts/check and the test catalogue server explain themselves."""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.request

from harness import ADDR_NO_RANDOMIZE, SCRIPTS, TARGET
from catalogue_server import MODES, PATH

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "catalogue_server.py")


@unittest.skipIf(TARGET == "wine", "the tools are the same scripts for both builds; the Linux run shows them")
class ToolsTest(unittest.TestCase):
    def test_every_include_runs_down_the_layers(self):
        # Lowest first. A folder includes its own headers and those of the layers below it; the three runs never
        # include one another, and nothing includes the entry's folder.
        layers = [{"platform"}, {"support"}, {"voices"}, {"tokens"}, {"catalogue"}, {"install", "uninstall", "verify"},
                  {"driver"}]
        rank = {folder: i for i, layer in enumerate(layers) for folder in layer}
        root = os.path.dirname(SCRIPTS)
        wrong = []
        for folder in rank:
            for base, _, names in os.walk(os.path.join(root, folder)):
                for name in names:
                    if not name.endswith((".cpp", ".h")):
                        continue
                    with open(os.path.join(base, name), encoding="utf-8") as f:
                        for included in re.findall(r'^#include "(\w+)/', f.read(), re.M):
                            if included != folder and rank.get(included, len(layers)) >= rank[folder]:
                                wrong.append("%s includes %s" % (os.path.relpath(os.path.join(base, name), root),
                                                                 included))
        self.assertEqual(wrong, [])

    def test_no_handle_is_released_by_hand_above_the_platform(self):
        # Owners (plat::OwnedKey, OwnedFind, OwnedLocal, OwnedSid, ComPtr) release them, on every path.
        root = os.path.dirname(SCRIPTS)
        released = re.compile(r"\b(RegCloseKey|CloseHandle|FindClose|LocalFree|FreeSid)\(|(->|\.)Release\(\)")
        found = []
        for folder in ("support", "voices", "tokens", "catalogue", "install", "uninstall", "verify", "driver"):
            for base, _, names in os.walk(os.path.join(root, folder)):
                for name in names:
                    with open(os.path.join(base, name), encoding="utf-8") as f:
                        found += ["%s: %s" % (name, line.strip()) for line in f if released.search(line)]
        self.assertEqual(found, [])

    def test_check_prints_its_usage(self):
        for argument in ("--help", "-h"):
            done = subprocess.run([os.path.join(SCRIPTS, "check"), argument], capture_output=True, text=True,
                                  timeout=30)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(done.stdout.startswith("Usage: scripts/check"), done.stdout[:80])
            for preset in ("linux", "linux-asan", "windows"):
                self.assertIn(preset, done.stdout)
        done = subprocess.run([os.path.join(SCRIPTS, "check"), "--no-such-option"], capture_output=True, text=True,
                              timeout=30)
        self.assertEqual(done.returncode, 2)
        self.assertIn("Usage:", done.stderr)

    def test_scripts_that_start_wine_run_again_once_with_a_fixed_address_layout(self):
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "starts-wine")
            with open(script, "w") as f:
                f.write('#!/usr/bin/env bash\n. "%s/wine-layout"\necho "$# $* $(cat /proc/self/personality)"\n'
                        % SCRIPTS)
            os.chmod(script, 0o755)
            done = subprocess.run([script, "a b", "c"], capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        count, rest = done.stdout.split(" ", 1)
        words, personality = rest.rsplit(" ", 1)
        self.assertEqual((count, words), ("2", "a b c"))
        self.assertTrue(int(personality, 16) & ADDR_NO_RANDOMIZE, done.stdout)

    def test_bench_prints_its_usage_and_refuses_an_unknown_part(self):
        bench = os.path.join(SCRIPTS, "bench")
        for argument in ("--help", "-h"):
            done = subprocess.run([bench, argument], capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(done.stdout.startswith("Usage: scripts/bench"), done.stdout[:80])
            for part in ("download", "install"):
                self.assertIn(part, done.stdout)
        # Refused before anything is built or measured.
        done = subprocess.run([bench, "download", "instal"], capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 2)
        self.assertIn("unknown part instal", done.stderr)
        self.assertIn("Usage:", done.stderr)
        self.assertEqual(done.stdout, "")

    def test_catalogue_server_names_its_modes(self):
        done = subprocess.run([sys.executable, SERVER, "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        for mode in MODES:
            self.assertRegex(done.stdout, r"(?m)^  %s +\S" % re.escape(mode))
        self.assertIn("--size", done.stdout)

    def test_catalogue_server_large_mode_takes_its_size_from_the_command_line(self):
        server = subprocess.Popen([sys.executable, SERVER, "--port", "0", "--mode", "large", "--size", "3K"],
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        port = int(re.search(r"localhost:(\d+)/", server.stdout.readline()).group(1))
        request = urllib.request.Request("http://localhost:%d%s" % (port, PATH), data=b"{}", method="POST")
        with urllib.request.urlopen(request, timeout=30) as answer:
            body = answer.read()
        self.assertEqual(len(body), 3 << 10)
        self.assertEqual(body[:256], bytes(range(256)))


if __name__ == "__main__":
    unittest.main()
