"""The released Windows program as installers and Windows see it: its version
resource and manifest, its separate debug information, and the zip of a release."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from harness import PROBE, PROGRAM, SCRIPTS, TARGET, Machine, MachineTest

VERSION = os.environ.get("PENDREL_VERSION", "")
OBJDUMP = os.environ.get("PENDREL_OBJDUMP", "")


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

    def release(self, *args, env=None):
        folder = tempfile.mkdtemp(prefix="pendrel-release-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        done = subprocess.run([os.path.join(SCRIPTS, "release"), "--out", folder, *args, os.path.dirname(PROGRAM)],
                              capture_output=True, text=True, env=dict(os.environ, **(env or {})))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return folder

    def test_the_release_archive_and_its_checksums(self):
        folder = self.release()
        archive = os.path.join(folder, "pendrel-%s-win64.zip" % VERSION)
        with zipfile.ZipFile(archive) as z:
            entries = z.infolist()
            self.assertEqual([e.filename for e in entries],
                             ["LICENSE", "USAGE.md", "installer/pendrel.wxs", "pendrel.exe", "pendrel.exe.debug",
                              "pendrel.exe.sha256"])
            self.assertEqual({(e.date_time, e.external_attr >> 16) for e in entries}.__len__(), 1,
                             "one time and one mode for every entry")
            self.assertEqual(entries[0].external_attr >> 16, 0o100644)
            self.assertIn(b"MIT License", z.read("LICENSE"))
            usage = z.read("USAGE.md").decode("utf-8")
            with open(os.path.join(os.path.dirname(SCRIPTS), "examples", "installer", "pendrel.wxs"), "rb") as f:
                self.assertEqual(z.read("installer/pendrel.wxs"), f.read(), "the sample package's source")
            for part in ("/uninstall", "/searchvoices", "/verify", "87", "log_zunsapi.txt", "Everyone"):
                self.assertIn(part, usage)
            with open(PROGRAM + ".debug", "rb") as f:
                self.assertEqual(z.read("pendrel.exe.debug"), f.read(), "the program's debug information")
            program = z.read("pendrel.exe")
            checksum = z.read("pendrel.exe.sha256").decode("ascii")
        with open(PROGRAM, "rb") as f:
            self.assertEqual(program, f.read(), "the released program is the stripped one")
        self.assertEqual(checksum, hashlib.sha256(program).hexdigest() + "  pendrel.exe\n")
        # SHA256SUMS beside the archive names it and every file of the release, and checks.
        done = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder, capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with open(os.path.join(folder, "SHA256SUMS")) as f:
            listed = sorted(line.split()[1] for line in f)
        self.assertEqual(listed,
                         sorted(["LICENSE", "USAGE.md", "pendrel.exe", "pendrel.exe.debug", "pendrel.exe.sha256",
                                 os.path.basename(archive)]))
        with open(archive, "rb") as f:
            first = f.read()
        with open(os.path.join(self.release(), os.path.basename(archive)), "rb") as f:
            self.assertEqual(f.read(), first, "a second release of the same build is the same archive")

    @unittest.skipUnless(shutil.which("osslsigncode"), "osslsigncode is missing (scripts/install-deps installs it)")
    def test_a_signed_release_verifies_and_signing_changed_nothing_but_the_signature(self):
        keys = tempfile.mkdtemp(prefix="pendrel-cert-")
        self.addCleanup(subprocess.run, ["rm", "-rf", keys])
        key, cert, pfx = (os.path.join(keys, n) for n in ("key.pem", "cert.pem", "sign.pfx"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=Pendrel test signing", "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                        "-passout", "pass:not-on-the-command-line"], check=True, capture_output=True)
        folder = self.release("--sign", pfx, env={"PENDREL_SIGN_PASSWORD": "not-on-the-command-line"})
        signed = os.path.join(folder, "signed", "pendrel.exe")
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed], capture_output=True,
                              text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        digests = re.findall(r"(?:Current|Calculated) message digest\s*:\s*([0-9A-Fa-f]+)", done.stdout)
        self.assertEqual(len(set(d.lower() for d in digests)), 1, done.stdout)
        with open(PROGRAM, "rb") as f:
            self.assertEqual(authenticode_sha256(f.read()), digests[0].lower(),
                             "the signed program's digest is the reproducible build's")
        with zipfile.ZipFile(os.path.join(folder, "pendrel-%s-win64-signed.zip" % VERSION)) as z, \
                open(signed, "rb") as f:
            self.assertEqual(z.read("pendrel.exe"), f.read())
        sums = open(os.path.join(folder, "SHA256SUMS")).read()
        self.assertIn("  signed/pendrel.exe\n", sums)
        self.assertIn("  pendrel-%s-win64-signed.zip\n" % VERSION, sums)
        self.assertNotIn("not-on-the-command-line", sums)


def authenticode_sha256(image):
    """The Authenticode digest of a PE image: every byte but the checksum field, the certificate table's
    directory entry and the certificate table itself (the file hashed in order, as for an image whose
    sections lie in file order, as the linker writes them). An unsigned image is hashed as a signer hashes
    it: padded with zeros to a multiple of 8 bytes, where the certificate table will start."""
    pe = int.from_bytes(image[0x3C:0x40], "little")
    optional = pe + 24
    magic = int.from_bytes(image[optional:optional + 2], "little")
    checksum = optional + 64
    directory = optional + (112 if magic == 0x20B else 96) + 4 * 8
    table, size = (int.from_bytes(image[directory + i:directory + i + 4], "little") for i in (0, 4))
    if not table:
        image += b"\0" * (-len(image) % 8)
    end = table if table else len(image)
    digest = hashlib.sha256()
    digest.update(image[:checksum])
    digest.update(image[checksum + 4:directory])
    digest.update(image[directory + 8:end])
    return digest.hexdigest()

if __name__ == "__main__":
    unittest.main()
