# What a standard user may try against the runs that fleet tools make as the system: plant a program
# where an earlier removal took one from (the uninstaller's copy, the plugins, the temporary files) and
# hold it open or wait to rewrite it; make the root open to everyone before the installation.
import re
import pytest
from conftest import BUILD, MSI_LOG, VERSION, held, msiexec, query, registry, restarted, run, unix, wine, windows
from test_installer import ENTRY, LOG, ROOT, fresh_root, install
from test_package import package, product, products  # noqa: F401 (products: the packages go after each story)

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the installer carries the 32-bit build")
PROGRAM = (BUILD / "tools/javaw.exe").read_bytes()  # under any name but javaw.exe, it notes in <name>.ran that it ran


def installed(how, tmp_path):
    return (install() if how == "exe" else msiexec("i", package(VERSION, tmp_path), f'INSTALLDIR="{ROOT}"')) == 0


def removed(how):
    """Removes the product as a fleet tool does: its exit code and the private folders the logs name."""
    LOG.unlink()
    code = run(registry(ENTRY)["QuietUninstallString"]) if how == "exe" else msiexec("x", product(VERSION))
    logs = LOG.read_text() + (MSI_LOG.read_text("latin-1") if how == "msi" else "")
    folders = re.findall(r"private copy: ([^\r\n]*)\\Uninstall\.exe|temporary files in ([^\r\n]*)", logs)
    return code, {unix(folder) for pair in folders for folder in pair if folder}


@pytest.mark.parametrize("how", ["exe", "msi"])
def test_nothing_planted_where_a_removal_took_its_files_runs(services, tmp_path, how):
    services("Quorlin")
    fresh_root("")
    assert installed(how, tmp_path)
    code, before = removed(how)
    assert code == 0 and before
    # The user's programs, in folders the user made open to everyone: one held open at the name the
    # uninstaller's copy once had in the temporary folder, the others waiting to be written and rewritten.
    temp = unix(wine("cmd", "/c", "echo %TEMP%")[0].strip())
    planted = [temp / "Quorlin-uninstall.exe",
               *(folder / name for folder in before for name in ("Uninstall.exe", "System.dll", "nsExec.dll"))]
    for path in planted:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.parent.chmod(0o777)
        path.write_bytes(PROGRAM)
        path.chmod(0o777)
    restarted()
    assert installed(how, tmp_path)
    with held(windows(planted[0])):
        code, used = removed(how)
    assert code == 0 and query("Quorlin") is None and registry(ENTRY) is None
    assert [p.read_bytes() == PROGRAM and not p.with_name(p.name + ".ran").exists() for p in planted] == \
        [True] * len(planted), "nothing planted was written or ran"
    assert used and not used & before and not [folder for folder in used if folder.exists()], \
        "folders of this run's own, gone afterwards"


def writable(path):
    """Whether the DACL lets Everyone write, as GetNamedSecurityInfo reads it."""
    return wine(BUILD / "tests/inprocess.exe", "writable", path)[0].strip() == "yes"


ROOTS = [
    # story, how the product is installed, whether the operator opens the root between two installations
    ("a first installation by the exe closes a root that a user made open", "exe", False),
    ("a first installation by the package likewise", "msi", False),
    ("an upgrade keeps the DACL that the operator left", "exe", True),
]


@pytest.mark.parametrize("story, how, reopened", ROOTS, ids=[r[0] for r in ROOTS])
def test_the_root_is_closed_like_program_files(services, tmp_path, story, how, reopened):
    services("Quorlin")
    fresh_root("")
    for folder in (unix(ROOT), unix(ROOT) / "bin"):
        folder.mkdir(exist_ok=True)
        folder.chmod(0o777)
    assert writable(ROOT) and writable(ROOT + r"\bin")
    assert installed(how, tmp_path)
    if reopened:
        unix(ROOT).chmod(0o777)
        assert installed(how, tmp_path)
    assert [writable(ROOT), writable(ROOT + r"\bin")] == [reopened, False]
