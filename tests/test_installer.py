# Quorlin-setup.exe and its uninstaller, run silently as a script or a fleet tool runs them.
import os
import re
import shutil
import subprocess
import pytest
from conftest import (BUILD, NO_KEY, SOURCE, VERSION, Installation, Root, none_left, query, registry, restart, running,
                      signed, store, unix, version, wait_for, wine)

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the installer carries the 32-bit build")
ROOT = r"C:\Program Files\Quorlin Product"
ENTRY = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Quorlin"
SERVICE = r"HKLM\System\CurrentControlSet\Services\Quorlin"
EVENTS = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\Quorlin"
LOG = unix(r"C:\ProgramData\Quorlin\Quorlin-setup.log")
DATA = "server/data/records.db"  # what the server wrote itself
PRODUCT = ["bin/Quorlin.exe", "bin/vexil_setup.exe", "javaw.exe", "server/lib/ZQ_glimmerfold_server.jar",
           "reg_values.properties"]
JRE = (1, "C:\\jre\0")
LINE = rb"Software\\JavaSoft\\Java\ Runtime\ Environment\\1.5_JavaHome=C:\\jre" b"\r\n"


def install(display=None, installer=BUILD / "Quorlin-setup.exe"):
    """The silent installer's exit code; /D= must stand last and unquoted: cmd gets one line."""
    setup = "Z:" + str(installer).replace("/", "\\")
    out = wine("cmd", "/v:on", "/c", f"{setup} /S /D={ROOT}& echo exit=!errorlevel!", env=display)[0]
    return int(out.rpartition("exit=")[2])


def uninstall():
    """Runs the uninstaller silently, and waits for the copy of itself that does the work."""
    wine(ROOT + r"\Uninstall.exe", "/S")
    assert wait_for(lambda: not running(r"~nsu.*\.tmp\\Un"))


def left():
    """The files under the root, as paths below it."""
    top = unix(ROOT)
    return sorted(str(f.relative_to(top)) for f in top.rglob("*") if f.is_file()) if top.exists() else []


def fresh_root(behaviour):
    """An empty root but for the stand-in's behaviour and the server's data; an empty log."""
    shutil.rmtree(unix(ROOT), ignore_errors=True)
    (unix(ROOT) / DATA).parent.mkdir(parents=True)
    (unix(ROOT) / DATA).write_text("the server's records")
    (unix(ROOT) / "behaviour.txt").write_text(f"service Quorlin\n{behaviour}")
    LOG.unlink(missing_ok=True)


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


FIRST = [
    # story, JavaHome, the server's behaviour, a display, the properties file (None: the installation
    # fails), what the log says
    ("a JRE 1.5", JRE, "", False, LINE, "Uninstalled"),
    ("without a JRE 1.5", NO_KEY, "", False, b"", "Uninstalled"),
    ("the server ends before it is ready", JRE, "exit_before 0\n", False, None, "Service specific exit code 0"),
    ("JavaHome of another type, its box on a display", (2, "C:\\jre\0"), "", True, None,
     "vexil_setup was ended after 10000 ms"),
]


@pytest.mark.parametrize("story, java_home, behaviour, shown, properties, logged", FIRST, ids=[f[0] for f in FIRST])
def test_a_first_installation_and_its_uninstall(request, story, java_home, behaviour, shown, properties, logged):
    fresh_root(behaviour)
    store(java_home)
    if properties is None:
        assert install(request.getfixturevalue("display") if shown else None) == 2
        assert "Installation failed and was rolled back; exit code 2" in LOG.read_text()
    else:
        installed_and_uninstalled(properties)
    assert logged in LOG.read_text()
    assert query("Quorlin") is None and none_left()
    assert set(left()) - {"server.log"} == {"behaviour.txt", DATA}, "only what the test and the server wrote"
    assert registry(ENTRY) is None


def installed_and_uninstalled(properties):
    assert install() == 0
    assert query("Quorlin")[0] == 4
    assert (unix(ROOT) / "reg_values.properties").read_bytes() == properties
    server = Installation(ROOT)
    assert server.recorded("command") == ["javaw.exe  -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"]
    assert server.recorded("directory") == [ROOT]
    entry = registry(ENTRY)
    assert {k: entry[k] for k in ("DisplayName", "InstallLocation", "UninstallString")} == {
        "DisplayName": "Quorlin", "InstallLocation": ROOT, "UninstallString": f'"{ROOT}\\Uninstall.exe"'}
    assert registry(EVENTS) == {"EventMessageFile": ROOT + r"\bin\Quorlin.exe", "TypesSupported": "0x1"}
    assert version(unix(ROOT) / "Uninstall.exe")["ProductVersion"] == VERSION
    uninstall()
    assert registry(EVENTS) == {}, "the uninstaller takes its values and leaves the key, as -remove does"


UPGRADES = [
    # story, JavaHome, behaviour of the new server and of the old one, the exit code, what the log says
    ("the operator's settings stay, a new server that needs 12 s", JRE, "ready_after 12000\n", "ready_after 0\n", 0,
     "Installed: Quorlin"),
    ("vexil_setup fails", (2, "C:\\jre\0"), "", "", 2, "vexil_setup failed"),
    ("the new server ends before it is ready", JRE, "exit_before 0\n", "exit_before -1\n", 2,
     "The service Quorlin stopped: exit code 1066"),
]


@pytest.mark.parametrize("story, java_home, behaviour, old_behaviour, code, logged", UPGRADES, ids=[u[0] for u in UPGRADES])
def test_an_upgrade_keeps_the_service_and_falls_back_when_it_fails(services, story, java_home, behaviour,
                                                                    old_behaviour, code, logged):
    fresh_root(behaviour)
    previous = previous_version(services, behaviour, old_behaviour)
    registration = registry(SERVICE)
    assert registration["Start"] == "0x3" and registration["Description"] == "The operator's words"
    store(java_home)
    assert install() == code
    assert registry(SERVICE) == registration and query("Quorlin")[0] == 4
    files = {name: (unix(ROOT) / name).read_bytes() for name in PRODUCT}
    if code:
        assert files == previous, "the previous version, byte for byte"
        assert "Upgrade failed; the previous version runs again; exit code 2" in LOG.read_text()
    else:
        assert files["bin/Quorlin.exe"] == (BUILD / "Quorlin.exe").read_bytes() and files["reg_values.properties"] == LINE
        steps = re.findall("^(started|stop seen|ready)$", Installation(ROOT).log(), re.M)
        assert steps == ["started", "ready", "stop seen", "started", "ready"], "the old server stopped first"
    assert logged in LOG.read_text()
    assert DATA in left()


def previous_version(services, behaviour, old_behaviour):
    """The previous version running, registered by the operator (started by hand, with a description),
    its files unlike the new package's; their bytes."""
    root = Root(ROOT + r"\bin\Quorlin.exe", "Quorlin", behaviour)
    top = unix(ROOT)
    (top / "server/lib/ZQ_glimmerfold_server.jar").write_text(f"the previous archive\n{old_behaviour}")
    (top / "bin/vexil_setup.exe").write_bytes((BUILD / "vexil_setup.exe").read_bytes() + b"previous")
    (top / "reg_values.properties").write_bytes(b"JavaHome=the previous one\r\n")
    for program in ("bin/Quorlin.exe", "javaw.exe"):
        (top / program).write_bytes((top / program).read_bytes() + b"previous")
    services("Quorlin", f'"{root.exe}"')
    wine("sc", "description", "Quorlin", "The operator's words")
    wine("sc", "start", "Quorlin")
    assert wait_for(lambda: query("Quorlin")[0] == 4)
    return {name: (top / name).read_bytes() for name in PRODUCT}


def test_a_signed_release_verifies_and_installs(tmp_path):
    key, certificate, pfx, release = (tmp_path / name for name in ("key.pem", "cert.pem", "sign.pfx", "release"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", "2", "-subj", "/CN=Quorlin throwaway", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx, "-passout",
                    "pass:throwaway"], check=True)
    made = subprocess.run([SOURCE / "scripts/release", release], capture_output=True, text=True,
                          env=dict(os.environ, SIGN_PFX=str(pfx), SIGN_PASSWORD="throwaway"))
    assert f"Quorlin-setup.exe {VERSION}, signed, and SHA256SUMS" in made.stdout, made.stdout + made.stderr
    assert subprocess.run(["sha256sum", "--check", "SHA256SUMS"], cwd=release, stdout=subprocess.DEVNULL).returncode == 0
    fresh_root("")
    store(JRE)
    assert install(installer=release / "Quorlin-setup.exe") == 0
    programs = [release / "Quorlin-setup.exe", *(unix(ROOT) / p for p in ("bin/Quorlin.exe", "bin/vexil_setup.exe",
                                                                         "Uninstall.exe"))]
    assert [signed(program, certificate) for program in programs] == [True] * 4
    uninstall()
