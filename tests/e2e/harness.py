"""A fresh machine for one end-to-end test, and the built program run on it.

PENDREL_TARGET says which: "linux" runs the Linux program in a new stand-in
sandbox; "wine" runs the Windows program under Wine in a new copy of the
build's template prefix.
"""
import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

PROGRAM = os.environ.get("PENDREL_PROGRAM", "")
PROBE = os.environ.get("PENDREL_PROBE", "")
CATALOGUE_PROGRAM = os.environ.get("PENDREL_CATALOGUE_PROGRAM", "")
EXAMPLES = os.environ.get("PENDREL_EXAMPLES", "")
TARGET = os.environ.get("PENDREL_TARGET", "linux")
WINE_DIR = os.environ.get("PENDREL_WINE_DIR", "")
SCRIPTS = os.environ.get("PENDREL_SCRIPTS", "")

ADDR_NO_RANDOMIZE = 0x0040000


def fix_address_layout():
    """Starts every later child process without address randomisation.

    Debian's Wine 8 has no preloader to reserve the shared user data page at
    0x7ffe0000 before Linux maps anything: with a randomised heap a Wine process
    now and then finds the page taken and exits 1 at once (see
    scripts/wine-layout). The setting takes effect at each child's exec. Where it is refused (a seccomp
    filter) the tests still run, with that rare failure possible, and say so."""
    personality = ctypes.CDLL(None, use_errno=True).personality
    current = personality(0xFFFFFFFF)
    if current == -1 or personality(current | ADDR_NO_RANDOMIZE) == -1:
        sys.stderr.write("harness: cannot turn address randomisation off (%s); Wine may now and then fail to "
                         "start\n" % os.strerror(ctypes.get_errno()))


if TARGET == "wine":
    fix_address_layout()


def release(holder):
    """Ends a holding probe (Machine.hold) by closing its standard input; its exit code."""
    holder.stdin.close()
    code = holder.wait(timeout=60)
    holder.stdout.close()
    return code


def pe_image(machine=0x8664):
    """The first bytes of a PE image for MACHINE (x64 unless told): all a check of the image's type reads."""
    header = bytearray(0x40)
    header[0:2] = b"MZ"
    header[0x3C:0x40] = (0x40).to_bytes(4, "little")
    return bytes(header) + b"PE\0\0" + machine.to_bytes(2, "little") + bytes(18)


# The engine's class, as every token of the engine names it.
ENGINE_CLSID = "{8D758097-2AAE-4277-88CC-3A6BDD344F53}"

# Wine's own error messages, for the test helpers only: a helper that Wine ends
# before it prints anything (seen: exit code 1, no output at all) then says
# why. The program under test keeps Wine silent, since its standard error is
# part of what the tests check.
HELPER_WINEDEBUG = "-all,err+all,err-winediag,err-systray"

STAMP = rb"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] "
# The lines that open (after "Run Pendrel") and close every run.
RUN_BRACKET = re.compile(r"Pendrel \S+, process id \d+|Exit code: -?\d+")


class Key:
    def __init__(self, path):
        self.path = path
        self.acl = []      # (type, flags, mask, sid) in hexadecimal text
        self.values = {}   # lower-case name: (name, type, data)

    def everyone_full_entries(self):
        return [e for e in self.acl
                if e[0] == "A" and int(e[1], 16) == 0 and e[3] == "S-1-1-0"
                and (int(e[2], 16) & 0x10000000 or int(e[2], 16) & 0xF003F == 0xF003F)]


class Started:
    """A program started with its output going to files. Waiting for it waits for the program alone: under
    Wine, the program that finds the desktop closed starts Wine's desktop process (explorer.exe /desktop)
    again and hands it its standard error, and that process lives as long as any other process of the machine
    (a holding probe, say) is on the desktop; a wait for the end of a pipe would wait for it."""

    def __init__(self, command, env, preexec_fn=None):
        self._out, self._err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self._process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=self._out,
                                         stderr=self._err, preexec_fn=preexec_fn)

    def __getattr__(self, name):  # pid, poll, wait, kill, send_signal, returncode
        return getattr(self._process, name)

    def identities(self):
        """{(device, inode): name} of the two output files."""
        return {(os.fstat(f.fileno()).st_dev, os.fstat(f.fileno()).st_ino): name
                for f, name in ((self._out, "standard output"), (self._err, "standard error"))}

    def output(self):
        """Standard output and standard error, read once the program has ended."""
        read = []
        for f in (self._out, self._err):
            f.seek(0)
            read.append(f.read())
            f.close()
        return read[0], read[1]

    def communicate(self, timeout=None):
        self._process.wait(timeout=timeout)
        return self.output()


# The machines not yet closed: a failing test's report describes each of them.
_open_machines = []


class Machine:
    def __init__(self):
        self.workdir = tempfile.mkdtemp(prefix="pendrel-e2e-")
        self.wine = TARGET == "wine"
        if self.wine:
            self.prefix = os.path.join(self.workdir, "prefix")
            subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), "fresh", WINE_DIR, self.prefix], check=True)
            # One server for the machine's whole life: access lists live only as
            # long as the server that holds them.
            env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
            # Without the test's pipes: a server that outlived its test would
            # otherwise hold ctest's output pipe open until the time limit.
            subprocess.run(["wineserver", "-p"], env=env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            users = [u for u in os.listdir(os.path.join(self.prefix, "drive_c", "users")) if u != "Public"]
            self.user = users[0]
            self.local_appdata = "C:\\users\\%s\\AppData\\Local" % self.user
            self.temp = "C:\\users\\%s\\Temp\\" % self.user
            self.eol = b"\r\n"
        else:
            self.sandbox = os.path.join(self.workdir, "sandbox")
            self.local_appdata = "C:\\Users\\User\\AppData\\Local"
            self.temp = "C:\\Users\\User\\AppData\\Local\\Temp\\"
            self.eol = b"\n"
        self.program_files = "C:\\Program Files"
        _open_machines.append(self)

    def close(self):
        if self in _open_machines:
            _open_machines.remove(self)
        if self.wine:
            subprocess.run([os.path.join(SCRIPTS, "wine-prefix"), "stop", self.prefix])
        shutil.rmtree(self.workdir, ignore_errors=True)

    # -- running the program ------------------------------------------------
    def run(self, *args, timeout=120, program=None, extra_env=None):
        command, env = self._command(args, program, extra_env)
        started = Started(command, env)
        try:
            started.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            report = self._stalled(command, timeout, started)
            started.kill()
            started.wait()
            out, err = started.output()
            raise AssertionError("%s\nstandard output so far: %r\nstandard error so far: %r"
                                 % (report, out[-4096:], err[-4096:])) from None
        out, err = started.output()
        return started.returncode, out, err

    def start(self, *args, program=None, extra_env=None, preexec_fn=None):
        """The program as a process of its own (a Started); the caller waits for it."""
        command, env = self._command(args, program, extra_env)
        return Started(command, env, preexec_fn)

    def _stalled(self, command, timeout, started):
        """What each process of this machine was doing when a run outlived its time limit, and which of them
        held the run's output open: a hang seen once in a CI log says whether the program or something Wine
        started stood still, and where."""
        marker = ("WINEPREFIX=" + self.prefix if self.wine else "PENDREL_SANDBOX=" + self.sandbox).encode()
        ended = started.poll()
        lines = ["%s did not end within %d s (%s); the machine's processes (pid, state, kernel wait, command):"
                 % (command, timeout, "still running" if ended is None else "exited with %d" % ended)]
        outputs = started.identities()
        for pid in sorted(filter(str.isdigit, os.listdir("/proc")), key=int):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/stat" % pid) as f:
                    state = f.read().rpartition(")")[2].split()[0]
                with open("/proc/%s/wchan" % pid) as f:
                    wchan = f.read()
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
                files = set()
                for fd in os.listdir("/proc/%s/fd" % pid):
                    try:
                        found = os.stat("/proc/%s/fd/%s" % (pid, fd))
                        files.add((found.st_dev, found.st_ino))
                    except OSError:
                        pass
            except OSError:
                continue  # ended meanwhile, or not ours to read
            held = [name for identity, name in outputs.items() if identity in files]
            holds = " (holds the run's %s)" % " and ".join(held) if held else ""
            lines.append("  %s %s %s %s%s" % (pid, state, wchan or "-", cmdline, holds))
        if self.wine:
            # Every thread's stack in every Windows process of the machine.
            env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
            try:
                done = subprocess.run(["wine", "winedbg", "--command", "bt all"], env=env, stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=60)
                lines.append("winedbg bt all:\n" + done.stdout.decode("utf-8", "replace")[-32768:])
            except subprocess.TimeoutExpired:
                lines.append("winedbg bt all: did not answer within 60 s")
        return "\n".join(lines)

    def run_peak_memory(self, *args):
        """The exit code and the peak resident memory in KiB of one run of the program."""
        command, env = self._command(args, None, None)
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        return process.returncode, usage.ru_maxrss

    def _command(self, args, program, extra_env):
        env = dict(os.environ)
        env["LANG"] = "C.UTF-8"
        env.update(extra_env or {})
        program = program or PROGRAM
        if self.wine:
            env.update(WINEPREFIX=self.prefix, WINEDEBUG=HELPER_WINEDEBUG if program == PROBE else "-all")
            command = ["wine", program] + list(args)
        else:
            env["PENDREL_SANDBOX"] = self.sandbox
            command = [program] + list(args)
        return command, env

    # -- the machine's registry and token store -------------------------------
    def registry(self, hive, path):
        """Every key at and below HIVE\\PATH: {lower-case path: Key}."""
        code, out, err = self.run("dump", hive, path, program=PROBE)
        assert code == 0, (code, out, err)
        keys, current = {}, None
        for line in out.decode("utf-8").replace("\r\n", "\n").split("\n"):
            kind, _, rest = line.partition(" ")
            if kind == "key":
                current = Key(rest)
                keys[rest.lower()] = current
            elif kind == "acl":
                current.acl = re.findall(r"\(([AD]);([0-9a-f]+);([0-9a-f]+);([^)]*)\)", rest)
            elif kind == "value":
                name, type_, data = rest.split("|", 2)
                current.values[name.lower()] = (name, int(type_), data)
        return keys

    def set_value(self, hive, path, name, value):
        code, _, err = self.run("set", hive, path, name, value, program=PROBE)
        assert code == 0, err

    def delete_key(self, hive, path):
        code, _, err = self.run("delete", hive, path, program=PROBE)
        assert code == 0, (code, err)

    def link(self, hive, path, target):
        """A registry link at HIVE\\PATH to HKLM\\TARGET, as any user may add one below a token."""
        code, _, err = self.run("link", hive, path, target, program=PROBE)
        assert code == 0, (code, err)

    def start_probe(self, *args):
        """The probe as a process of its own on this machine; the caller waits for it."""
        command, env = self._command(args, PROBE, None)
        return subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def set_acl(self, hive, path, mode):
        """Rewrites a key's access list (a link's own): "drop-everyone", "everyone-inherit-only" (everyone's full
        access for the subkeys only, nothing for the key itself) or "deny-everyone"."""
        code, _, err = self.run("acl", hive, path, mode, program=PROBE)
        assert code == 0, (code, err)

    def registry_state(self):
        """Both hives: the stand-in's hive files whole, or Wine's `reg export` of each hive's SOFTWARE key.

        Under Wine only SOFTWARE: Wine's own services write the SYSTEM and HARDWARE keys (devices, video)
        at moments of their choosing, which a comparison of whole hives would take for the program's doing."""
        if not self.wine:
            folder = os.path.join(self.sandbox, "registry")
            state = {}
            for name in sorted(os.listdir(folder)):
                with open(os.path.join(folder, name), "rb") as f:
                    state[name] = f.read()
            return state
        state = {}
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        for hive in ("HKLM", "HKCU"):
            # Exported outside the machine's drive C, through Wine's drive Z (the host's root).
            target = os.path.join(self.workdir, hive + ".reg")
            done = subprocess.run(["wine", "reg", "export", hive + "\\SOFTWARE", "Z:" + target.replace("/", "\\"), "/y"],
                                  env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
            with open(target, "rb") as f:
                state[hive] = f.read()
            os.remove(target)
        return state

    def install_examples(self):
        """The example voices in the voices folder, then the installation run."""
        for folder in sorted(os.listdir(EXAMPLES + "/voices")):
            for name in os.listdir(os.path.join(EXAMPLES, "voices", folder)):
                with open(os.path.join(EXAMPLES, "voices", folder, name), "rb") as f:
                    self.write_file(self.program_files + "\\Mirelka\\ZunSapi64\\data_quelto\\voices\\"
                                    + folder + "\\" + name, f.read())
        code, out, err = self.run()
        assert code == 0, (code, out, err)

    def hold(self, windows_path, verb="hold", *extra):
        """A process holding the file open as a running program holds its library (or, with verb "cwd", a
        folder as its current folder; see the probe for the other verbs and their EXTRA arguments); closing
        its standard input ends it."""
        env = dict(os.environ, LANG="C.UTF-8")
        if self.wine:
            env.update(WINEPREFIX=self.prefix, WINEDEBUG=HELPER_WINEDEBUG)
            command = ["wine", PROBE, verb, windows_path, *extra]
        else:
            env["PENDREL_SANDBOX"] = self.sandbox
            command = [PROBE, verb, windows_path, *extra]
        holder = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert holder.stdout.readline().strip() == b"held"
        return holder

    def run_holding(self, windows_path, *args, verb="hold"):
        """One run of the program while another process holds the path (see hold)."""
        holder = self.hold(windows_path, verb)
        try:
            return self.run(*args)
        finally:
            release(holder)

    def files(self, windows_folder):
        """Every path below a folder, relative to it."""
        top = self.host(windows_folder)
        found = set()
        for folder, dirs, names in os.walk(top):
            for n in dirs + names:
                found.add(os.path.relpath(os.path.join(folder, n), top))
        return found

    def pending_deletions(self):
        """The Windows paths the machine deletes at its next restart (PendingFileRenameOperations)."""
        path = "SYSTEM\\CurrentControlSet\\Control\\Session Manager"
        key = self.registry("HKLM", path).get(("HKLM\\" + path).lower())
        if key is None or "pendingfilerenameoperations" not in key.values:
            return []
        _, _, data = key.values["pendingfilerenameoperations"]
        text = bytes.fromhex(data).decode("utf-16-le" if self.wine else "utf-32-le")
        strings = text.split("\0")
        pending = []
        for i in range(0, len(strings) - 1, 2):
            if not strings[i]:
                break
            if strings[i + 1] == "":
                pending.append(strings[i][4:] if strings[i].startswith("\\??\\") else strings[i])
        return pending

    def sapi_voices(self, category):
        code, out, err = self.run("voices", category, program=PROBE)
        assert code == 0, (code, err)
        return [line[6:].split("|") for line in out.decode("utf-8").replace("\r\n", "\n").split("\n")
                if line.startswith("token ")]

    # -- the machine's files ------------------------------------------------
    def host(self, windows_path):
        """The host path of a Windows path, resolving letter case as Windows does."""
        drive, rest = windows_path[0].lower(), windows_path[2:]
        if self.wine:
            base = os.path.join(self.prefix, "dosdevices", drive + ":")
            base = os.path.realpath(base)
        else:
            base = os.path.join(self.sandbox, "drive_" + drive)
        path = base
        for part in [p for p in rest.split("\\") if p]:
            match = part
            if os.path.isdir(path):
                for entry in os.listdir(path):
                    if entry.lower() == part.lower():
                        match = entry
                        break
            path = os.path.join(path, match)
        return path

    def describe(self, limit=32768):
        """Where the machine lives and the end of the program's log, for a failure report."""
        where = "Wine prefix " + self.prefix if self.wine else "stand-in sandbox " + self.sandbox
        try:
            log = self.log_bytes()
        except OSError as e:
            return "%s; its log cannot be read: %s" % (where, e)
        if not log:
            return "%s; program log %s: none" % (where, self.log_path())
        cut = "(last %d of %d bytes)\n" % (limit, len(log)) if len(log) > limit else ""
        return "%s; program log %s:\n%s%s" % (where, self.log_path(), cut,
                                               log[-limit:].decode("latin-1").replace("\r\n", "\n"))

    def log_path(self):
        return self.host(self.local_appdata + "\\Mirelka\\ZunSapi64\\log_zunsapi.txt")

    def log_bytes(self):
        try:
            with open(self.log_path(), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_lines(self, bracketing=False, since=b""):
        """(level, message) of every log line after the log's earlier bytes
        `since`, after checking its exact shape. The lines that open and close
        every run (version and process id, exit code) are left out unless
        `bracketing` asks for them."""
        data = self.log_bytes()
        assert data.startswith(since)
        data = data[len(since):]
        assert data == b"" or data.endswith(b"\r\n"), data[-40:]
        lines = []
        for raw in data.split(b"\r\n")[:-1]:
            m = re.fullmatch(STAMP + rb"\[([^\]]*)\] (.*)", raw, re.S)
            assert m, raw
            line = (m.group(1).decode("latin-1"), m.group(2).decode("latin-1"))
            if bracketing or not (line[0] == "INFO" and RUN_BRACKET.fullmatch(line[1])):
                lines.append(line)
        return lines

    def log_messages(self):
        return [message for _, message in self.log_lines()]

    def write_file(self, windows_path, data):
        path = self.host(windows_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def install_voice(self, folder, metadata, voice_txt=None):
        """A voice folder with its metaData.txt (bytes) under the voices folder."""
        base = self.program_files + "\\Mirelka\\ZunSapi64\\data_quelto\\voices\\" + folder
        if metadata is not None:
            self.write_file(base + "\\metaData.txt", metadata)
        else:
            os.makedirs(self.host(base), exist_ok=True)
        if voice_txt is not None:
            self.write_file(base + "\\voice.txt", voice_txt)
        return base

    def exists(self, windows_path):
        return os.path.lexists(self.host(windows_path))


class _Explaining:
    """A test result that ends each failure's report with the description of every open machine."""

    def __init__(self, result):
        self._result = result

    def __getattr__(self, name):
        return getattr(self._result, name)

    def _explained(self, err):
        for machine in _open_machines:
            err[1].add_note("--- " + machine.describe())
        return err

    def addFailure(self, test, err):
        self._result.addFailure(test, self._explained(err))

    def addError(self, test, err):
        self._result.addError(test, self._explained(err))

    def addSubTest(self, test, subtest, err):
        self._result.addSubTest(test, subtest, err if err is None else self._explained(err))


class MachineTest(unittest.TestCase):
    """A test case whose failure report holds the Wine prefix (or sandbox) and the program's log of each machine
    it had open when it failed: a failure seen once in a CI log can be read without running it again."""

    def run(self, result=None):
        if result is None:
            return super().run()
        return super().run(_Explaining(result))
