"""The released Windows program as installers and Windows see it: its version
resource and manifest, its separate debug information, and the zip of a release."""
import hashlib
import json
import os
import re
import subprocess
import tempfile
import unittest
import zipfile

from harness import PROBE, PROGRAM, SCRIPTS, TARGET, Machine, MachineTest

VERSION = os.environ.get("PENDREL_VERSION", "")
OBJDUMP = os.environ.get("PENDREL_OBJDUMP", "")
CPACK = os.environ.get("PENDREL_CPACK", "")
CPACK_CONFIG = os.environ.get("PENDREL_CPACK_CONFIG", "")


class ReleaseConfigurationTest(unittest.TestCase):
    def test_msvc_preset_links_the_runtimes_statically(self):
        # A release that needs VCRUNTIME140.dll fails with 0xC0000135 on a bare machine.
        with open(os.path.join(os.path.dirname(SCRIPTS), "CMakePresets.json")) as f:
            presets = {p["name"]: p for p in json.load(f)["configurePresets"]}
        self.assertEqual(presets["msvc"].get("cacheVariables", {}).get("CMAKE_MSVC_RUNTIME_LIBRARY"),
                         "MultiThreaded$<$<CONFIG:Debug>:Debug>")

    def test_license_at_the_root(self):
        with open(os.path.join(os.path.dirname(SCRIPTS), "LICENSE")) as f:
            self.assertTrue(f.read().startswith("MIT License"))


@unittest.skipUnless(TARGET == "wine", "the version resource, the manifest, the debug link and the release zip "
                                       "belong to the Windows program; the Linux program is an ELF file without them")
class ReleaseTest(MachineTest):
    def test_version_resource_and_manifest_read_back_by_windows(self):
        m = Machine()
        self.addCleanup(m.close)
        code, out, err = m.run("resources", "Z:" + PROGRAM.replace("/", "\\"), program=PROBE)
        self.assertEqual(code, 0, err)
        text = out.decode("utf-8").replace("\r\n", "\n")
        strings = dict(re.findall(r"^string ([^|\n]+)\|(.*)$", text, re.M))
        self.assertEqual(strings, {
            "CompanyName": "Mirelka", "FileDescription": strings.get("FileDescription", "<none>"),
            "FileVersion": VERSION, "InternalName": "pendrel", "OriginalFilename": "pendrel.exe",
            "ProductName": "Pendrel", "ProductVersion": VERSION})
        self.assertTrue(strings["FileDescription"].startswith("Pendrel"))
        self.assertIn("\nfixed %s.0\n" % VERSION, text, "the number installers' file-versioning rules compare")
        manifest = text.split("\nmanifest ", 1)[1]
        self.assertIn('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', manifest)
        self.assertIn('<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>', manifest, "Windows 10 and 11")
        self.assertRegex(manifest, r"<longPathAware[^>]*>true</longPathAware>")
        self.assertIn('version="%s.0"' % VERSION, manifest)

    def test_released_program_is_stripped_with_its_debug_information_beside_it(self):
        sections = subprocess.run([OBJDUMP, "-h", PROGRAM], capture_output=True, check=True, text=True).stdout
        self.assertNotIn(".debug_info", sections)
        self.assertIn(".gnu_debuglink", sections)
        link = subprocess.run([OBJDUMP, "-s", "-j", ".gnu_debuglink", PROGRAM], capture_output=True, check=True,
                              text=True).stdout
        self.assertIn("pendrel.exe.debu", link)
        debug = subprocess.run([OBJDUMP, "-h", PROGRAM + ".debug"], capture_output=True, check=True, text=True).stdout
        self.assertIn(".debug_info", debug)

    def test_cpack_makes_the_release_zip(self):
        folder = tempfile.mkdtemp(prefix="pendrel-package-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        done = subprocess.run([CPACK, "--config", CPACK_CONFIG, "-B", folder], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        archive = os.path.join(folder, "pendrel-%s-win64.zip" % VERSION)
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(sorted(z.namelist()),
                             ["LICENSE", "USAGE.md", "pendrel.exe", "pendrel.exe.debug", "pendrel.exe.sha256"])
            self.assertIn(b"MIT License", z.read("LICENSE"))
            usage = z.read("USAGE.md").decode("utf-8")
            for part in ("/uninstall", "/searchvoices", "/verify", "87", "log_zunsapi.txt", "Everyone"):
                self.assertIn(part, usage)
            debug = z.read("pendrel.exe.debug")
            with open(PROGRAM + ".debug", "rb") as f:
                self.assertEqual(debug, f.read(), "the debug information of the program in the zip")
            program = z.read("pendrel.exe")
            checksum = z.read("pendrel.exe.sha256").decode("ascii")
        with open(PROGRAM, "rb") as f:
            self.assertEqual(program, f.read(), "the released program is the stripped one")
        self.assertEqual(checksum, hashlib.sha256(program).hexdigest() + "  pendrel.exe\n")


if __name__ == "__main__":
    unittest.main()
