# Quorlin-setup.exe and its uninstaller, run silently as a script or a fleet tool runs them.
import contextlib
import os
import pathlib
import re
import shutil
import subprocess
import pytest
from conftest import (BUILD, DRIVE, NO_KEY, RUN, SESSION, SOURCE, VERSION, Installation, Root, ask, held, made_once, none_left, query, registry,
                      restarted, run, small_drive, software, store, unix, version, wait_for, windows, wine)


ROOT = r"C:\Program Files\Quorlin Product"
ENTRY = software(r"Microsoft\Windows\CurrentVersion\Uninstall\Quorlin")  # an installer's entry, in its bitness's view
SERVICE = r"HKLM\System\CurrentControlSet\Services\Quorlin"
EVENTS = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\Quorlin"
LOG = DRIVE / "windows/logs/Quorlin/Quorlin-setup.log"  # %SystemRoot%\Logs\Quorlin, as Wine spells the folder
DATA = "server/data/records.db"  # what the server wrote itself
# What every run of the stand-in leaves beside the data: its own record, and its output as the host keeps it.
RECORDS = {"stand-in.log", "logs/server.log"}
PRODUCT = ["bin/Quorlin.exe", "bin/vexil_setup.exe", "javaw.exe", "server/lib/ZQ_glimmerfold_server.jar",
           "reg_values.properties", "Uninstall.exe"]
JRE = (1, "C:\\jre\0")
LINE = rb"Software\\JavaSoft\\Java\ Runtime\ Environment\\1.5_JavaHome=C:\\jre" b"\r\n"


@pytest.fixture(autouse=True)
def its_build(request):  # the deliverable's installer, or for a row marked native the 64-bit build's
    wanted = "x86_64" if request.node.get_closest_marker("native") else "i686"
    if BUILD.name != wanted:
        pytest.skip(f"run by the {wanted} build")


def native(*row):  # a row that varies the deliverable's rows: the 64-bit build of the same script and plugin runs it
    return pytest.param(*row, id=row[0], marks=pytest.mark.native)


def named(table):  # a table's stories, as pytest names its rows
    return [getattr(row, "id", None) or row[0] for row in table]


def install(display=None, installer=BUILD / "Quorlin-setup.exe", root=ROOT, options=""):
    """The silent installer's exit code; /D= stands last and unquoted."""
    return run(f'"{windows(installer)}" /S {options} /D={root}', display)


def setup_of(version):
    """Quorlin-setup.exe of a version: this build's, or one made once per run that says it is that version."""
    if version == VERSION:
        return BUILD / "Quorlin-setup.exe"
    files = BUILD / "installer"
    target = "x86-unicode" if BUILD.name == "i686" else "amd64-unicode"
    return made_once(RUN / f"Quorlin-setup-{BUILD.name}-{version}.exe", lambda made: subprocess.run(
        ["makensis", f"-DPROGRAMS={BUILD}", f"-DSERVER_FILES={files}/stand-in", f"-DOUTFILE={made}", f"-DPLUGINS={files}/plugins",
         f"-DSERVER_LIST={files}/server-files.nsh", f"-DVERSION={version}", f"-DTARGET={target}", SOURCE / "installer/Quorlin.nsi"],
        check=True, capture_output=True))


def uninstall():
    """The entry's quiet uninstall string, done when it returns; the uninstaller and the root go at the next restart
    where it cannot leave the root (Wine renames no running program, Windows does), as the log says."""
    assert run(registry(ENTRY)["QuietUninstallString"]) == 0
    assert query("Quorlin") is None and none_left()  # its process may end a moment after its exit code
    waits = re.search(r"Running, so deleted at the next restart: (.+)", LOG.read_text())
    assert set(restarted()) == ({waits[1], ROOT} if waits else set())


@pytest.mark.native
def test_a_removal_that_fails_keeps_its_uninstaller(services):
    # The run's private folder with room for the uninstaller's plugins and its copy, not the copy's: the copy fails.
    fresh_start(services)
    assert install() == 0
    page = lambda size: -(-size // 4096) * 4096
    room = sum(page(f.stat().st_size) for f in (BUILD / "installer/plugins/QuorlinSetup.dll", unix(ROOT) / "Uninstall.exe",
                                                pathlib.Path("/usr/share/nsis/Plugins/amd64-unicode/System.dll")))
    quiet = registry(ENTRY)["QuietUninstallString"]
    with small_drive(r"C:\windows\SystemTemp", f"{room // 1024 + 8}k"):
        assert run(quiet) == 2 and "The private copy ended with exit code 2" in LOG.read_text()
    unix(r"C:\windows\SystemTemp").rmdir()
    assert query("Quorlin")[0] == 4 and restarted() == [], "nothing deleted, nothing left to the next restart"
    assert run(quiet) == 0 and query("Quorlin") is None, "the entry's string still runs"


def closed():  # whether Everyone may write neither the root nor its bin (Wine keeps that in the others' write bit)
    return not [f for f in (unix(ROOT), unix(ROOT) / "bin") if f.exists() and f.stat().st_mode & 0o002]


def left():  # the files under the root, as paths below it
    top = unix(ROOT)
    return sorted(str(f.relative_to(top)) for f in top.rglob("*") if f.is_file()) if top.exists() else []


def fresh_start(services):  # the service Quorlin deleted after the story, a fresh root, a JRE 1.5
    services("Quorlin")
    fresh_root("")
    store(JRE)


def fresh_root(behaviour):
    """An empty root but for the stand-in's behaviour, the server's data and bin, which an administrator made
    and left open to everyone (what it holds is closed); no entry left by an earlier story; an empty log;
    nothing waiting for a restart."""
    restarted()
    shutil.rmtree(unix(ROOT), ignore_errors=True)
    ask("delete-key", ENTRY)
    (unix(ROOT) / DATA).parent.mkdir(parents=True)
    (unix(ROOT) / "bin").mkdir()
    unix(ROOT).chmod(0o777)
    (unix(ROOT) / DATA).write_text("the server's records")
    (unix(ROOT) / "behaviour.txt").write_text(f"service Quorlin\n{behaviour}")
    for folder in LOG.parent.parent.glob("Quorlin*"):  # what a log-folder story left
        folder.unlink() if folder.is_symlink() else shutil.rmtree(folder)


FIRST = [
    # story, JavaHome, the server's behaviour, a display, a file there before and held open, the properties file
    # (None: the installation fails), what the log says. A server 6 s to stop: the uninstall waits for it.
    ("a JRE 1.5", JRE, "ignore_stop 6000\n", False, None, LINE, "Uninstalled"),
    ("without a JRE 1.5", NO_KEY, "", False, None, b"", "Uninstalled"),
    native("the server ends before it is ready", JRE, "exit_before 0\n", False, None, None, "Service specific exit code 0"),
    ("JavaHome of another type, its box on a display", (2, "C:\\jre\0"), "", True, None, None,
     "vexil_setup was ended after 10000 ms"),
    native("a file of the package held open", JRE, "", False, "bin/vexil_setup.exe", None, "A file could not be written"),
]


@pytest.mark.parametrize("story, java_home, behaviour, shown, hold, properties, logged", FIRST, ids=named(FIRST))
def test_a_first_installation_and_its_uninstall(request, story, java_home, behaviour, shown, hold, properties, logged):
    fresh_root(behaviour)
    store(java_home)
    if hold:
        (unix(ROOT) / hold).parent.mkdir(exist_ok=True)
        (unix(ROOT) / hold).write_text("a file of someone else's")
    with held(f"{ROOT}\\{hold}") if hold else contextlib.nullcontext():
        if properties is None:
            assert install(request.getfixturevalue("display") if shown else None) == 2
            assert (hold.replace("/", "\\") + " could not be deleted" if hold else "failed and was rolled back") in LOG.read_text()
        else:
            installed_and_uninstalled(properties)
    assert logged in LOG.read_text()
    assert query("Quorlin") is None and none_left()
    ran = RECORDS if (unix(ROOT) / "stand-in.log").exists() else set()
    assert set(left()) == {"behaviour.txt", DATA, hold} - {None} | ran, "what was there before, and the server's logs"
    assert registry(ENTRY) is None


def installed_and_uninstalled(properties):
    LOG.parent.mkdir(parents=True)
    LOG.parent.chmod(0o777)  # the installer's log folder, as an administrator left it: closed, then written
    assert install() == 0 and closed() and not LOG.parent.stat().st_mode & 0o002
    assert query("Quorlin")[0] == 4
    assert (unix(ROOT) / "reg_values.properties").read_bytes() == properties
    server = Installation(ROOT)
    assert server.recorded("command") == ["javaw.exe  -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"]
    assert server.recorded("directory") == [ROOT]
    entry = registry(ENTRY)
    assert {k: entry[k] for k in ("DisplayName", "InstallLocation", "UninstallString", "QuietUninstallString")} == {
        "DisplayName": "Quorlin", "InstallLocation": ROOT, "UninstallString": f'"{ROOT}\\Uninstall.exe"',
        "QuietUninstallString": f'"{ROOT}\\Uninstall.exe" /S _?={ROOT}'}
    assert registry(EVENTS) == {"EventMessageFile": ROOT + r"\bin\Quorlin.exe", "TypesSupported": "0x7"}
    assert version(unix(ROOT) / "Uninstall.exe")["ProductVersion"] == VERSION
    uninstall()
    assert registry(EVENTS) == {}, "the uninstaller takes its values and leaves the key, as -remove does"


UPGRADES = [
    # story, JavaHome, behaviour of the new server and of the old one, a file held open, the exit code,
    # what the log says (a full drive: test_sweeps). A running program cannot be overwritten: the old server must have ended first.
    ("the operator's settings stay, a new server that needs 12 s, an old one 6 s to stop", JRE, "ready_after 12000\n",
     "ready_after 0\nignore_stop 6000\n", None, 0, "Installed: Quorlin"),
    native("vexil_setup fails, its reason in the log", (2, "C:\\jre\0"), "", "", None, 2,
     "Install Error: Type of value JavaHome is wrong"),
    native("the new server ends before it is ready", JRE, "exit_before 0\n", "exit_before -1\n", None, 2,
     "The service Quorlin stopped: exit code 1066"),
    native("a file of the package held open", JRE, "", "", "javaw.exe", 2, "A file could not be written"),
    native("the uninstaller held open", JRE, "", "", "Uninstall.exe", 2, r"\Uninstall.exe could not be written"),
]


@pytest.mark.parametrize("story, java_home, behaviour, old_behaviour, hold, code, logged", UPGRADES, ids=named(UPGRADES))
def test_an_upgrade_keeps_the_service_and_falls_back_when_it_fails(services, story, java_home, behaviour,
                                                                    old_behaviour, hold, code, logged):
    fresh_root(behaviour)
    previous = previous_version(services, behaviour, old_behaviour)
    registration = registry(SERVICE)
    store(java_home)
    with held(f"{ROOT}\\{hold}") if hold else contextlib.nullcontext():
        assert install() == code
    upgraded_or_back(previous, registration, code, logged)


def upgraded_or_back(previous, registration, code, logged):
    """The new version runs, or the previous one again, byte for byte; the operator's registration as it was."""
    assert registry(SERVICE) == registration and query("Quorlin")[0] == 4
    files = product_files()
    if code:
        assert files == previous, "the previous version, byte for byte"
        assert "Upgrade failed; the previous version runs again; exit code 2" in LOG.read_text()
    else:
        assert files["bin/Quorlin.exe"] == (BUILD / "Quorlin.exe").read_bytes() and files["reg_values.properties"] == LINE
        steps = re.findall("^(started|stop seen|ended|ready)$", Installation(ROOT).log(), re.M)
        assert steps == ["started", "ready", "stop seen", "ended", "started", "ready"], "the old server ended first"
    assert logged in LOG.read_text()
    assert DATA in left()


def previous_version(services, behaviour, old_behaviour):
    """The previous version running, registered (by hand, with a description); its files, unlike the new ones (the
    properties of their size), without the setup tool but for a dead run's copy beside it."""
    root = Root(ROOT + r"\bin\Quorlin.exe", "Quorlin", behaviour)
    top = unix(ROOT)
    (top / "server/lib/ZQ_glimmerfold_server.jar").write_text(f"the previous archive\n{old_behaviour}")
    (top / "bin/vexil_setup.exe").unlink(missing_ok=True)
    (top / "bin/vexil_setup.exe.new").write_bytes(b"half a copy")
    (top / "reg_values.properties").write_bytes(LINE.replace(b"jre", b"JRE"))
    (top / "Uninstall.exe").write_bytes(b"the previous uninstaller")
    for program in ("bin/Quorlin.exe", "javaw.exe"):
        (top / program).write_bytes((top / program).read_bytes() + b"previous")
    services("Quorlin", f'"{root.exe}"')
    wine("sc", "description", "Quorlin", "The operator's words")
    ask("start", "Quorlin")
    assert wait_for(lambda: query("Quorlin")[0] == 4)
    return product_files()


def product_files():  # the bytes of the product's files that are there
    return {name: (unix(ROOT) / name).read_bytes() for name in PRODUCT if (unix(ROOT) / name).exists()}


def stamp_version(program, major, minor, patch):
    """Gives a program the version information of another version, as pefile writes it."""
    import pefile
    pe = pefile.PE(program)
    pe.VS_FIXEDFILEINFO[0].FileVersionMS, pe.VS_FIXEDFILEINFO[0].FileVersionLS = (major << 16) | minor, patch << 16
    data = pe.write()
    pe.close()
    pathlib.Path(program).write_bytes(data)


DOWNGRADES = [
    # story, the version of the installed Quorlin.exe (its entry keeps no DisplayVersion), the version offered
    ("a newer one named by its program alone", (9, 0, 0), VERSION),
    native("1.10.0 against 1.9.0, compared as numbers", (1, 10, 0), "1.9.0"),
    native("1.0.10 against 1.0.9: the patch counts", (1, 0, 10), "1.0.9"),
]


@pytest.mark.parametrize("story, installed, offered", DOWNGRADES, ids=named(DOWNGRADES))
def test_a_newer_installation_is_left_as_it_is(services, story, installed, offered):
    fresh_start(services)
    assert install() == 0
    query("Quorlin", "stop")
    assert wait_for(lambda: query("Quorlin")[0] == 1) and none_left()
    stamp_version(unix(ROOT) / "bin/Quorlin.exe", *installed)
    ask("delete-value", ENTRY, "DisplayVersion")
    files = product_files()
    assert install(installer=setup_of(offered)) == 2
    assert "A newer version of Quorlin (%d.%d.%d) is installed; nothing was changed" % installed in LOG.read_text()
    assert product_files() == files, "nothing changed"


LONG = "-Dlong=" + "x" * 2993  # 3,000 characters
OPTIONS = [
    # story, the service's Environment before (None: a first installation; "": no value), the switch, the new
    # server's behaviour, the exit code, the Environment after (None: no value)
    native("a first installation without options", None, "", "", 0, None),
    ("a first installation with options", None, '"/JAVA_OPTS=-Xmx2g -Dname=value"', "", 0,
     "JAVA_OPTS=-Xmx2g -Dname=value"),
    native("options with quotes, as the system splits a command line", None, r'"/JAVA_OPTS=-Dp=\"a b\" -Xmx64m"', "", 0,
     'JAVA_OPTS=-Dp="a b" -Xmx64m'),
    native("3,000 characters of options", None, f"/JAVA_OPTS={LONG}", "", 0, f"JAVA_OPTS={LONG}"),
    native("an upgrade that names none keeps the operator's", r"TZ=UTC\0JAVA_OPTS=-Xmx1g", "", "", 0,
     r"TZ=UTC\0JAVA_OPTS=-Xmx1g"),
    native("an upgrade that names them replaces JAVA_OPTS alone", r"JAVA_OPTS=-Xmx1g\0TZ=UTC", "/JAVA_OPTS=-Xmx3g", "", 0,
     r"TZ=UTC\0JAVA_OPTS=-Xmx3g"),
    ("an upgrade whose server fails puts the operator's back", r"TZ=UTC\0JAVA_OPTS=-Xmx1g", "/JAVA_OPTS=-Xmx3g",
     "exit_before 0\n", 2, r"TZ=UTC\0JAVA_OPTS=-Xmx1g"),
    native("the same where there were none: none again", "", "/JAVA_OPTS=-Xmx3g", "exit_before 0\n", 2, None),
]


@pytest.mark.parametrize("story, before, switch, behaviour, code, after", OPTIONS, ids=named(OPTIONS))
def test_the_servers_options_go_to_the_services_environment(services, story, before, switch, behaviour, code, after):
    fresh_start(services)
    if before is not None:
        assert install() == 0
        before and wine("reg", "add", SERVICE, "/v", "Environment", "/t", "REG_MULTI_SZ", "/d", before, "/f")
        (unix(ROOT) / "behaviour.txt").write_text(f"service Quorlin\n{behaviour}")
        (unix(ROOT) / "server/lib/ZQ_glimmerfold_server.jar").write_text("exit_before -1\n")  # the old one runs
        LOG.unlink()
    assert install(options=switch) == code and query("Quorlin")[0] == 4
    assert registry(SERVICE).get("Environment") == after
    assert ("Java options set in the service's Environment: " + after.split("\\0")[-1][:900] if switch and not code else
            "No Java options named: the service's Environment stays as it is" if not switch else "") in LOG.read_text()
    if before is None and switch:  # Wine gives a service no Environment: the restart shows in the server's starts
        steps = re.findall("^(started|stop seen|ended|ready)$", Installation(ROOT).log(), re.M)
        assert steps == ["started", "ready", "stop seen", "ended", "started", "ready"], "restarted to take them"
    # Wine knows no level of the flag for stops with an error code (124); Windows sets both.
    recovery = re.findall(r"^Recovery: restart after 60 s, twice, then nothing, .*: (done|error 124 .*)$", LOG.read_text(),
                          re.M)
    assert len(recovery) == (before is None), "set at a first installation, with the call's result; an upgrade keeps it"


DEFAULT = r"C:\Program Files (x86)\Quorlin"  # $PROGRAMFILES of a 32-bit installer on 64-bit Windows
ELSEWHERE = r"C:\Bars Elsewhere"
LONG_ROOTS = [
    # story, whether installed at ROOT before, the switches after /S, the root it lands in: the /D= of the
    # command line's own, last, else the installed root, else the default; never one inside long options
    native("options holding /D=, and the line's own after them", False, f'"/JAVA_OPTS={LONG} /D={ELSEWHERE}" /D={ROOT}',
     ROOT),
    ("options holding /D=, and none of the line's own: the default", False, f'"/JAVA_OPTS={LONG} /D={ELSEWHERE}"',
     DEFAULT),
    native("the same as an upgrade: the installed root", True, f'"/JAVA_OPTS={LONG} /D={ELSEWHERE}"', ROOT),
]


@pytest.mark.parametrize("story, installed, switches, root", LONG_ROOTS, ids=named(LONG_ROOTS))
def test_the_root_is_the_command_lines_own_last_d(services, story, installed, switches, root):
    fresh_start(services)
    for top in (ELSEWHERE, DEFAULT):
        shutil.rmtree(unix(top), ignore_errors=True)
    try:
        assert not installed or install() == 0
        assert run(f'"{windows(BUILD / "Quorlin-setup.exe")}" /S {switches}') == 0
        assert registry(SERVICE)["ImagePath"] == f'"{root}\\bin\\Quorlin.exe"' and query("Quorlin")[0] == 4
        assert registry(ENTRY)["InstallLocation"] == root and not unix(ELSEWHERE).exists()
    finally:
        shutil.rmtree(unix(DEFAULT), ignore_errors=True)


IN_USE = [
    # story, how vexil_setup.exe is in use at the removal, what the removal logs, then the installation
    native("a user's viewer holds it: its name waits for the restart", "hold", "In use, so deleted at the next restart: ",
     "taken back"),
    ("it still runs: it is moved aside, and that name waits", "run", "In use, so moved aside and deleted at the next "
     "restart: ", "Installed"),
]


@pytest.mark.parametrize("story, use, removal, installation", IN_USE, ids=named(IN_USE))
def test_an_installation_before_the_restart_is_whole_after_it(services, story, use, removal, installation):
    fresh_start(services)
    assert install() == 0
    with held(ROOT + r"\bin\vexil_setup.exe", use):
        assert run(registry(ENTRY)["QuietUninstallString"]) == 3010
        assert removal + ROOT + r"\bin\vexil_setup.exe" in LOG.read_text()
    LOG.unlink()
    beside = ROOT + r"2\old.log"  # its name begins as the root's: not the installation's to take back
    entries = registry(SESSION)["PendingFileRenameOperations"].split("\\0")  # pairs, the last one's "" left off
    entries += [""] * (len(entries) % 2) + ["\\??\\" + beside, ""]
    ask("set", SESSION, "PendingFileRenameOperations", 7, "".join(e + "\0" for e in entries).encode("utf-16-le").hex())
    assert install() == 0 and installation in LOG.read_text()
    pending = restarted()
    aside = [path for path in pending if path.endswith(".deleted")]
    assert set(PRODUCT) <= set(left()) and query("Quorlin")[0] == 4 and beside in pending, "nothing else went"
    assert len(aside) == (use == "run") and not [f for f in left() if f.endswith(".deleted")], "what was set aside went"


def test_copies_a_user_made_are_never_put_back(services):
    # Wine lets anyone make a name in the system's Logs folder (Windows does not): a user's "earlier run's
    # copies", their program among them, marked complete.
    store(JRE)
    fresh_root("")
    previous = previous_version(services, "", "")
    kept = LOG.parent / "previous"
    (kept / "bin").mkdir(parents=True, exist_ok=True)
    (kept / "bin/Quorlin.exe").write_bytes(b"a user's program")
    (kept / "complete").write_text("")
    for path in (kept, kept / "bin", kept / "bin/Quorlin.exe", kept / "complete"):
        os.chown(path, 1000, 1000)  # Wine shows another uid's file as S-1-5-7's
    try:
        assert install() == 2 and "the copies there are not put back, and nothing was changed" in LOG.read_text()
        assert product_files() == previous and query("Quorlin")[0] == 4, "nothing changed"
        assert (kept / "bin/Quorlin.exe").read_bytes() == b"a user's program", "theirs stays as it was"
    finally:
        shutil.rmtree(kept)
