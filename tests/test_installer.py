# Quorlin-setup.exe and its uninstaller, run silently as a script or a fleet tool runs them.
import re
import shutil
import subprocess
import pytest
from conftest import BUILD, NO_KEY, Installation, none_left, query, registry, store, unix, wait_for, wine

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the installer carries the 32-bit build")
ROOT = r"C:\Program Files\Quorlin Product"
ENTRY = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Quorlin"


def install():
    """The silent installer's exit code; /D= must stand last and unquoted: cmd gets one line."""
    setup = "Z:" + str(BUILD / "Quorlin-setup.exe").replace("/", "\\")
    out = wine("cmd", "/v:on", "/c", f"{setup} /S /D={ROOT}& echo exit=!errorlevel!")[0]
    return int(out.rpartition("exit=")[2])


def uninstall():
    """Runs the uninstaller silently, and waits for the copy of itself that does the work."""
    wine(ROOT + r"\Uninstall.exe", "/S")
    assert wait_for(lambda: subprocess.run(["pgrep", "-f", r"~nsu.*\.tmp\\Un"], stdout=subprocess.DEVNULL).returncode)


def left():
    """The files under the root, as paths below it."""
    top = unix(ROOT)
    return sorted(str(f.relative_to(top)) for f in top.rglob("*") if f.is_file()) if top.exists() else []


@pytest.mark.parametrize("story, java_home, behaviour, properties", [
    # story, JavaHome, the server's behaviour, the properties file (None: the installation fails)
    ("with a JRE 1.5", (1, "C:\\jre\0"), "", rb"Software\\JavaSoft\\Java\ Runtime\ Environment\\1.5_JavaHome=C:\\jre" b"\r\n"),
    ("without a JRE 1.5", NO_KEY, "", b""),
    ("the server ends before it is ready", (1, "C:\\jre\0"), "exit_before 0\n", None),
    ("JavaHome is of another type", (2, "C:\\jre\0"), "", None),
])
def test_install_upgrade_and_uninstall(story, java_home, behaviour, properties):
    shutil.rmtree(unix(ROOT), ignore_errors=True)
    unix(ROOT).mkdir(parents=True)
    (unix(ROOT) / "behaviour.txt").write_text(f"service Quorlin\n{behaviour}")
    store(java_home)
    if properties is None:
        assert install() == 2
    else:
        installed_upgraded_and_uninstalled(properties)
    assert query("Quorlin") is None and none_left()
    assert set(left()) <= {"behaviour.txt", "server.log"}, "only what the test and the server wrote"
    assert registry(ENTRY) is None


def installed_upgraded_and_uninstalled(properties):
    assert install() == 0
    assert query("Quorlin")[0] == 4
    assert (unix(ROOT) / "reg_values.properties").read_bytes() == properties
    server = Installation(ROOT)
    assert server.recorded("command") == ["javaw.exe  -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"]
    assert server.recorded("directory") == [ROOT]
    entry = registry(ENTRY)
    assert {k: entry[k] for k in ("DisplayName", "InstallLocation", "UninstallString")} == {
        "DisplayName": "Quorlin", "InstallLocation": ROOT, "UninstallString": f'"{ROOT}\\Uninstall.exe"'}

    archive = unix(ROOT) / "server/lib/ZQ_glimmerfold_server.jar"
    archive.write_text("the old archive")
    assert install() == 0, "an upgrade over the running installation"
    assert archive.read_bytes() == b"" and query("Quorlin")[0] == 4
    steps = re.findall("^(started|stop seen)$", server.log(), re.M)
    assert steps == ["started", "stop seen", "started"], "the old server was stopped first"
    uninstall()
