# What the scenarios share: Windows programs run in the bed's Wine session (tools/bed), the
# services' event log, the questions to the Service Control Manager and the registry (asker.exe), and
# installation roots with the stand-in server.
import contextlib, fcntl, functools, os, pathlib, re, select, shutil, signal, subprocess, tempfile, time
import pytest

BUILD = pathlib.Path(os.environ["QUORLIN_BUILD"])
# The bed of this pytest process (tools/beds.py); xdist's controller has none, as it runs no test.
BED = pathlib.Path(os.environ.get("QUORLIN_BED", "/no-bed"))
DRIVE = BED / "prefix/drive_c"
TOOLS = pathlib.Path(__file__).resolve().parent.parent / "tools"
# What the run's workers share (scripts/test makes it for the run); pytest alone keeps it in its bed.
RUN = pathlib.Path(os.environ.get("QUORLIN_RUN") or BED)


def pytest_configure(config):
    config.addinivalue_line("markers", "native: a row run by the 64-bit build (test_installer.py)")


def unix(path):
    """The Unix path of a path on drive C:, or on another drive of the bed's."""
    drive = DRIVE if path[0] in "Cc" else BED / "prefix/dosdevices" / (path[0].lower() + ":")
    return drive / path[3:].replace("\\", "/")


def windows(path):
    """The Windows path of a Unix path, through drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def loaded(program, *args):
    """The command line that runs a program (a Unix path, or a name of Wine's own) by the loader of its bitness: the
    bed's 64-bit loader hands a 32-bit program, or a bare name, to a start.exe of its own."""
    loader, program = os.environ["WINELOADER"], str(program)
    head = pathlib.Path(program).read_bytes()[:1024] if "/" in program else b""
    if head[(pe := int.from_bytes(head[0x3C:0x40], "little")) + 4:pe + 6] == b"\x4c\x01":  # IMAGE_FILE_MACHINE_I386
        loader = loader.removesuffix("64")
    return [loader, program if head else rf"C:\windows\system32\{program}.exe", *map(str, args)]


def wine(*args, env=None):
    """A Windows program's output (without CRs), Unix stderr and status once it ended (in 90 s, or it wedged); through
    files, as a pipe would wait for every process that inherited it too (the session's desktop outlives the call)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(loaded(*args), stdout=out, stderr=err,
                              timeout=90, env=dict(os.environ, **(env or {})))
        out.seek(0)
        err.seek(0)
        return out.read().decode("latin-1").replace("\r", ""), err.read().decode("latin-1"), done.returncode


def run(line, env=None, out="", err="", cwd=None, role="questions"):
    """A command line's exit code, run by the asker as a fleet tool runs it, or as an administrator types it (with
    variables, in a folder); its output and errors to the files named."""
    words = [out or "NUL", err or "NUL", windows(cwd) if cwd else "", *(f"{k}={v}" for k, v in (env or {}).items())]
    answer = ask("run", line, *(words if out or env or cwd else ()), role=role)
    assert not answer.startswith("error"), f"{line} did not start: {answer}"
    return int(answer)


MSI_LOG = DRIVE / "msiexec.log"


def msiexec(action, target, options="", env=None):  # /i or /x of a package (a Unix path) or product code, quiet, logged: exit code
    target = windows(target) if "/" in str(target) else target
    wait_for(lambda: not running("msiexec"), 30)  # once the run before has ended whole: Wine's may hang on its remains
    return run(f'msiexec /{action} "{target}" /qn {options} /l*v C:\\msiexec.log', env)


def made_once(path, make):  # path, made by make(a path beside it) once per run; the workers wait for it
    with open(RUN / "made.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not path.exists():
            part = path.with_name("part-" + path.name)
            make(part)
            part.rename(path)
    return path


@contextlib.contextmanager
def held(path, what="hold"):
    """A Windows program holds the file open, sharing reads only, as a virus scanner or a viewer does; or
    (what "run") runs from it, its image mapped; or (what "hold-service") a status handle to the service, as
    the services console or a monitoring agent does."""
    holder = subprocess.Popen(loaded(BUILD / "tools/asker.exe", what, path),
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        yield
    finally:
        holder.kill()
        holder.wait()


def console(*args, env=None, cwd=None):
    """A console command's exit code (signed), output and errors, run by the asker (in a folder, with variables)."""
    with tempfile.TemporaryDirectory(dir=BED, ignore_cleanup_errors=True) as folder:
        out, err = pathlib.Path(folder, "out"), pathlib.Path(folder, "err")
        line = " ".join(f'"{windows(a) if isinstance(a, pathlib.Path) else a}"' if " " in str(a) or isinstance(a, pathlib.Path)
                        else str(a) for a in args)
        traced = TRACES.stat().st_size if TRACES.exists() else 0
        code = run(line, env, windows(out), windows(err), cwd, role="console")
        with open(TRACES, "rb") as traces:
            traces.seek(traced)
            err = err.read_bytes() + traces.read()
        return code - (code >> 31 << 32), out.read_bytes().decode("latin-1").replace("\r", ""), err.decode("latin-1")


@functools.cache
def text(code):
    """The system's text for an error code, as puts prints it; asked once per run and target."""
    def ask(made):
        told = wine(BUILD / "tests/inprocess.exe", "text", code)[0]
        assert told, f"no text for {code}: the program failed at its start"  # not kept: asked again
        made.write_text(told, "latin-1")
    return made_once(RUN / f"text-{BUILD.name}-{code}", ask).read_text("latin-1") + "\n"


def quoted(log, marker):
    """The quoted texts after marker in Wine's debug output, without CRs, as texts are compared."""
    escapes = {"n": "\n", "r": "", "t": "\t", "f": "\f"}
    return [re.sub(r"\\(.)", lambda m: escapes.get(m[1], m[1]), text)
            for text in re.findall(marker + r'"((?:[^"\\]|\\.)*)"', log)]


def events(log, kind="err"):
    """The texts of the event-log records of a kind (err, warn) in Wine's debug output."""
    return quoted(log, kind + ":eventlog:ReportEventW L")


TYPES = {1: "error", 2: "warning", 4: "information"}


def records(log):
    """The event-log records in Wine's debug output as (type, identifier, text): a thread's ReportEventW stub
    line (handle,type,category,identifier,...) names the first two, its eventlog line after it the text."""
    pending, found = {}, []
    for line in log.splitlines():
        if stub := re.match(r"(\w+):fixme:advapi:ReportEventW \([^,]*,0x(\w+),0x\w+,0x(\w+),", line):
            pending[stub[1]] = (TYPES.get(int(stub[2], 16)), int(stub[3], 16))
        elif (text := re.match(r"(\w+):\w+:eventlog:ReportEventW L", line)) and text[1] in pending:
            found.append((*pending.pop(text[1]), quoted(line, "eventlog:ReportEventW L")[0]))
    return found


class EventLog:  # the records that services write from now on
    file = BED / "events.log"
    def __init__(self): self.mark = self.file.stat().st_size
    def log(self): return self.file.read_bytes()[self.mark:].decode("latin-1")
    def since(self, kind="err"): return events(self.log(), kind)
    def records(self): return records(self.log())


def wait_for(done, seconds=60, every=1):
    """Whether done() comes true within seconds, asked every second by default."""
    end = time.time() + seconds
    while not done():
        if time.time() >= end:
            return False
        time.sleep(every)
    return True


ASKERS = {}  # the bed's asker.exe for questions, and the one that runs console commands (Wine's traces in a file)
SESSION_ENV = {}  # what the session was started with (a display): the askers take it up as its desktop does
TRACES = BED / "console-traces"


def ask(*words, role="questions"):
    """asker.exe's answer (tools/asker.cpp), within 90 s or the test fails (a program it runs wedged, docs/testing.md);
    started at the first question and after a restart. Console commands have an asker of their own."""
    asker = ASKERS.get(role)
    if not asker or asker.poll() is not None:
        asker = ASKERS[role] = subprocess.Popen(
            loaded(BUILD / "tools/asker.exe"), stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=dict(os.environ, **SESSION_ENV),
            stderr=open(TRACES, "ab") if role == "console" else subprocess.DEVNULL, text=True, encoding="utf-8")
    with contextlib.suppress(BrokenPipeError):
        asker.stdin.write("\t".join(map(str, words)) + "\n")
        asker.stdin.flush()
        if select.select([asker.stdout], [], [], 90)[0] and (answer := asker.stdout.readline()):
            return answer.rstrip("\n")
    asker.kill()
    asker.wait()
    del ASKERS[role]
    raise AssertionError(f"asker.exe gave no answer to {words} within 90 s")


def query(service, command="query"):
    """The service's state, exit codes, checkpoint and wait hint (after the stop control, with command "stop"); None
    if gone. Wine's SCM answers no query while it starts the service: one that fails is asked again."""
    for _ in range(60):
        answer = ask("status" if command == "query" else command, service)
        if answer == "gone" or (answer.startswith("error") and command != "query"):
            return None
        if not answer.startswith("error"):
            return tuple(map(int, answer.split()))
        time.sleep(0.5)
    raise AssertionError(f"the Service Control Manager kept failing to answer for {service}")


def checkpoints(service, pending, end):
    """The checkpoints seen while the service is in the pending state, until it reaches end."""
    seen = set()
    def reached():
        status = query(service) or (end,)
        if status[0] == pending:
            seen.add(status[3])
        return status[0] == end
    assert wait_for(reached, 90, every=0.3)  # each checkpoint lasts 5 s; a busy machine answers slowly
    return seen


PROCESSES = r"((javaw|Quorlin|Quorlin-setup|Uninstall|plain)\.exe|~nsu.*\.tmp\\Un)"  # hosts, servers, setups
PREFIX = f"WINEPREFIX={BED / 'prefix'}\0".encode()


def running(pattern=PROCESSES):
    """This bed's live processes (of its own prefix) whose command line matches, as "pid command line": read
    from /proc, as a `ps` per question cost the processor more than all the tests' Python."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            line = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode("latin-1")
            if (re.search(pattern, line) and PREFIX in pathlib.Path(f"/proc/{pid}/environ").read_bytes()
                    and pathlib.Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] != "Z"):
                found.append(f"{pid} {line}")
    return found


def kill(pattern=PROCESSES):
    """Ends this bed's matching processes, as a crash would."""
    for line in running(pattern):
        os.kill(int(line.split()[0]), signal.SIGKILL)


def none_left(seconds=60):
    """No host and no server runs any more."""
    return wait_for(lambda: not running(), seconds)


@pytest.fixture
def up_26_days(monkeypatch):
    """The Wine session restarted as on a machine up 26 days (the tick count past 2^31): tools/uptime.c, built once
    per run, shifts the monotonic clocks of its wineserver and every Wine process; the session is restarted
    without it afterwards."""
    def build(made):
        for bits, triplet in (("-m64", "x86_64-linux-gnu"), ("-m32", "i386-linux-gnu")):
            (made / "lib" / triplet).mkdir(parents=True)
            subprocess.run(["gcc", bits, "-shared", "-fPIC", "-O2", "-o", made / "lib" / triplet / "uptime.so",
                            TOOLS / "uptime.c", "-ldl"], check=True)
    monkeypatch.setenv("LD_PRELOAD", str(made_once(RUN / "uptime", build) / "$LIB/uptime.so"))
    restart()
    yield
    monkeypatch.undo()
    restart()


@pytest.fixture
def display():
    """A real display, where a message box waits for a click as on Windows. Wine's desktop keeps the
    display it began with, so the session restarts on it, and off it again afterwards."""
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp"], stdout=subprocess.PIPE, text=True)
    env = {"DISPLAY": ":" + xvfb.stdout.readline().strip()}
    restart(env)
    yield env
    restart()
    xvfb.kill()


def restart(env=None):
    """Restarts the Wine session, whose services and desktop take up the environment given."""
    subprocess.run([TOOLS / "bed", "restart"], check=True, env=dict(os.environ, **(env or {})))
    SESSION_ENV.clear()
    SESSION_ENV.update(env or {})


def registry(key):
    """The values of a registry key as {name: text as reg query shows it}, or None when there is no key."""
    answer = ask("values", key)
    return None if answer == "none" else dict(zip(*[iter(answer.split("\x1f")[:-1])] * 2))


SESSION = r"HKLM\System\CurrentControlSet\Control\Session Manager"


def restarted():
    """Deletes what waits for the next restart, as the restart would; the paths that were pending."""
    out = (registry(SESSION) or {}).get("PendingFileRenameOperations", "")
    pending = [entry[4:] for entry in out.split("\\0") if entry.startswith("\\??\\")]
    for path in map(unix, pending):
        with contextlib.suppress(OSError):
            path.rmdir() if path.is_dir() else path.unlink()
    if pending:
        ask("delete-value", SESSION, "PendingFileRenameOperations")
    return pending


NO_KEY, NO_VALUE = "no key", "no value"


def software(key):
    r"""A key under HKLM\Software as the build's programs see it: a 32-bit program's lies under Wow6432Node."""
    return r"HKLM\Software" + (r"\Wow6432Node" if BUILD.name == "i686" else "") + "\\" + key


def store(java_home):
    """Lays out the JRE key in the registry view of the build's bitness. Message boxes are traced (RelayInclude),
    for the tests that read what one showed."""
    key = software("JavaSoft")
    ask("delete-key", key)
    ask("set", r"HKCU\Software\Wine\Debug", "RelayInclude", 1, "user32.MessageBoxA\0".encode("utf-16-le").hex())
    if java_home != NO_KEY:
        ask("make-key", key + r"\Java Runtime Environment\1.5")
    if java_home not in (NO_KEY, NO_VALUE):
        kind, data = java_home
        ask("set", key + r"\Java Runtime Environment\1.5", "JavaHome", kind, data.encode("utf-16-le").hex())


SOURCE = TOOLS.parent
VERSION = re.search(r"CMAKE_PROJECT_VERSION:STATIC=(.*)", (BUILD / "CMakeCache.txt").read_text())[1]


def version(program):
    """The version information of a program as {field: text}, and its FileType, as pefile reads them."""
    import pefile
    pe = pefile.PE(program)
    return {key.decode(): value.decode() for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
            for table in info.StringTable for key, value in table.entries.items()} | {
        "FileType": pe.VS_FIXEDFILEINFO[0].FileType}


def signed(program, certificate):
    """Whether osslsigncode verifies the program's signature against the certificate."""
    return subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", program],
                          stdout=subprocess.DEVNULL).returncode == 0


class Installation:
    """What the stand-in server recorded of how it was started, in stand-in.log in the installation root top."""
    def __init__(self, top): self.log_file = unix(top + "\\") / "stand-in.log"
    def said(self, line): return wait_for(lambda: f"\n{line}\n" in self.log())
    def log(self):
        return self.log_file.read_text("latin-1").replace("\r", "") if self.log_file.exists() else ""
    def recorded(self, key):
        return [line[len(key) + 1:] for line in self.log().splitlines() if line.startswith(key + " ")]


class Root(Installation):
    """An installation laid out: bin\\Quorlin.exe at exe; the stand-in server, its behaviour, the archive."""

    def __init__(self, exe, service="Quorlin", behaviour="", server=True):
        self.exe = exe
        self.dir = exe.rsplit("\\", 2)[0] if exe.count("\\") > 1 else "C:"
        top = unix(self.dir + "\\")
        for folder in (top / "server/lib", unix(exe).parent):
            folder.mkdir(parents=True, exist_ok=True)
        unix(exe).write_bytes((BUILD / "Quorlin.exe").read_bytes())
        (top / "server/lib/ZQ_glimmerfold_server.jar").write_text("placeholder")
        (top / "javaw.exe").unlink(missing_ok=True)
        if server:
            (top / "javaw.exe").write_bytes((BUILD / "tools/javaw.exe").read_bytes())
        (top / "stand-in.log").unlink(missing_ok=True)
        (top / "logs").unlink() if (top / "logs").is_symlink() else shutil.rmtree(top / "logs", ignore_errors=True)
        (top / "behaviour.txt").write_text(f"service {service}\n{behaviour}")
        super().__init__(self.dir)


@contextlib.contextmanager
def small_drive(at, size="2m"):
    """A drive of a few MB (a tmpfs: Wine's writes there fail with 112 once it is full) until the end: at a
    folder on drive C: (Wine shows it as a mount point, a link, where the rule of who may change what looks),
    or as the drive letter given ("Q:")."""
    folder = unix(at) if len(at) > 2 else pathlib.Path(tempfile.mkdtemp(dir=BED))
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=755", "tmpfs", folder], check=True)
    letter = BED / "prefix/dosdevices" / at.lower()
    if len(at) == 2:
        letter.symlink_to(folder)
    try:
        yield
    finally:
        if len(at) == 2:
            letter.unlink()
        subprocess.run(["umount", "-l", folder], check=True)


def fill(folder, left=16384):
    """Fills the drive of folder but for about left bytes: room for the logs' lines, not for a program."""
    folder = unix(folder) if isinstance(folder, str) else folder
    with open(folder / "filler", "wb", buffering=0) as filler:
        with contextlib.suppress(OSError):
            while filler.write(bytes(4096)):
                pass
        filler.truncate(max(0, filler.seek(0, 2) - left))


def plain_service():
    """The stand-in as a plain service, copied once per bed (a rewrite would end a run of it); its path."""
    plain = unix(r"C:\plain.exe")
    if not plain.exists():
        plain.write_bytes((BUILD / "tools/javaw.exe").read_bytes())
    return r"C:\plain.exe"


@pytest.fixture(autouse=True)
def services():
    """Creates or names services; after the test, kills what runs (a stop could wedge, docs/testing.md) and deletes them."""
    made = []
    def make(name, command=None):
        if command:
            assert ask("create", name, command) == "0"
        made.append(name)
    yield make
    kill()  # first, so that a deletion finds no process and takes the service at once
    for name in made:
        ask("delete-service", name)
    for name in made:  # and again, for a host whose start was under way
        key = rf"HKLM\System\CurrentControlSet\Services\{name}"
        assert wait_for(lambda: kill() or registry(key) is None, 20), f"the service {name} outlived its host"
