# Quorlin-<version>.msi, deployed, upgraded and removed with msiexec as fleet tools do it.
import contextlib
import os
import re
import shutil
import subprocess
import uuid
import pytest
from conftest import (BUILD, MSI_LOG, RUN, SOURCE, VERSION, ask, held, kill, made_once, msiexec, query, registry, restarted,
                      run, signed, store, unix, wait_for, windows, wine)
from test_installer import (DATA, ENTRY, JRE, LOG, LONG, RECORDS, ROOT, SERVICE, closed, fresh_root, fresh_start, install, left, product_files,
                            setup_of)
from test_sweeps import new_version_runs, taken

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the package carries the 32-bit build")
UNINSTALL = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
UPGRADE_CODE = re.search(r'UpgradeCode="([^"]+)"', (SOURCE / "installer/Quorlin.wxs").read_text())[1]
FAILED = (1603, 1627)  # Windows' code for a failed installation; Wine's msiexec gives 1627


def package(version):
    """The package of a version, carrying the installer of that version: the one built, or one made once per run."""
    if version == VERSION:
        return BUILD / f"Quorlin-{VERSION}.msi"
    setup = setup_of(version)  # first: made_once holds the run's lock while it makes
    return made_once(RUN / f"Quorlin-{version}.msi", lambda made: subprocess.run(
        [SOURCE / "installer/build-package", version, setup, BUILD / "installer/QuorlinPackage.dll", made],
        check=True, capture_output=True))


def deployed(how, version, root=ROOT):
    """The exit code of the exe or the package of a version, or of the entry's quiet uninstall string, as a
    fleet tool runs it; root None: not given."""
    if how == "uninstall":
        return run(registry(ENTRY)["QuietUninstallString"])
    if how == "exe":
        return install(installer=setup_of(version), root=root)
    return msiexec("i", package(version), f'INSTALLDIR="{root}"' if root else "")


def product(version):
    return "{" + str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), version)).upper() + "}"


def registered():
    """Every key right below Uninstall, with its values: {key name: {value name: text}}."""
    return {name: registry(UNINSTALL + "\\" + name) for name in ask("subkeys", UNINSTALL).split("\t") if name}


def entries():
    """The entries that Programs and Features shows: {key name: DisplayVersion}."""
    return {key: values["DisplayVersion"] for key, values in registered().items()
            if "DisplayName" in values and values.get("SystemComponent") != "0x1"}


@pytest.fixture(autouse=True)
def products():
    """After each story the packages still registered are removed (without the installer's entry, only unregistered:
    the services fixture ends the service), after a package run that a wedge left, which would keep msiexec busy."""
    yield
    kill(r"msiexec")
    ask("delete-key", ENTRY)
    for code in re.findall(r"\{[0-9A-F-]+\}", ask("subkeys", UNINSTALL)):
        msiexec("x", code)


OLD, NEW, NEWER, BAD = ("msi", "0.9.0"), ("msi", VERSION), ("exe", VERSION), (2, "C:\\jre\0")  # BAD: a wrong JavaHome
AFTER_NEW, AFTER_OLD, DOWNGRADED = {product(VERSION): VERSION}, {product("0.9.0"): "0.9.0"}, \
    "A newer version of Quorlin (1.0.0) is installed; nothing was changed"
STORIES = [
    # story, what was installed before: (how, version) each, then what is installed, JavaHome, the exit
    # codes, the product's entries afterwards, what the log of the last step says (the package's own)
    ("a first installation", [], NEW, JRE, (0,), AFTER_NEW, "Installed: Quorlin"),
    ("an upgrade of an older package", [OLD], NEW, JRE, (0,), AFTER_NEW, "an upgrade in place"),
    ("an upgrade whose setup step fails", [OLD], NEW, BAD, FAILED, AFTER_OLD, "Upgrade failed; the previous version runs"),
    ("a first installation whose setup step fails", [], NEW, BAD, FAILED, {}, "Install Error: Type of value JavaHome"),
    ("the exe's installation taken over", [NEWER], NEW, JRE, (0,), AFTER_NEW, "an upgrade in place"),
    # Downgrades change nothing, whatever the engine finds (Wine's msiexec finds no newer product after an upgrade).
    ("a downgrade by a package", [("msi", "9.0.0")], NEW, JRE, FAILED, {product("9.0.0"): "9.0.0"}, "WIX_DOWNGRADE_DETEC"),
    ("an older exe over a newer package", [NEW], ("exe", "0.9.0"), JRE, (2,), AFTER_NEW, DOWNGRADED),
    ("an older package over a newer one that upgraded it", [OLD, NEW], OLD, JRE, FAILED, AFTER_NEW, DOWNGRADED),
    ("an older package over a newer exe", [NEWER], OLD, JRE, FAILED, {"Quorlin": VERSION}, DOWNGRADED),
    ("the way back: an uninstall, then the older exe", [NEWER, ("uninstall", None)], ("exe", "0.9.0"), JRE, (0,),
     {"Quorlin": "0.9.0"}, "Installed: Quorlin 0.9.0 runs"),
]


@pytest.mark.parametrize("story, before, then, java_home, codes, after, logged", STORIES, ids=[s[0] for s in STORIES])
def test_a_package_installs_upgrades_and_removes(services, story, before, then, java_home, codes, after,
                                                 logged):
    fresh_start(services)
    for step in before:
        assert deployed(*step) == 0
    if query("Quorlin"):
        wine("sc", "config", "Quorlin", "start=", "demand")
        wine("sc", "description", "Quorlin", "The operator's words")
        unix(ROOT).chmod(0o777)  # and the operator's DACL
    registration, files, keys = registry(SERVICE), product_files(), registered()
    store(java_home)
    assert deployed(*then, root=None if before and then[0] == "msi" else ROOT) in codes
    assert entries() == after, "one entry, whichever way the product came"
    assert logged in (MSI_LOG.read_text("latin-1") if then[0] == "msi" else LOG.read_text())
    if registration:
        assert registry(SERVICE) == registration, "the operator's settings stay"
    elif after:
        assert {k: registry(SERVICE)[k] for k in ("Start", "ImagePath")} == {
            "Start": "0x2", "ImagePath": f'"{ROOT}\\bin\\Quorlin.exe"'}, "registered by -install, auto-start"
    assert (query("Quorlin") or [None])[0] == (4 if after else None)
    assert closed() == (registration is None), "a first installation closes the root; an upgrade leaves it as it was"
    assert DATA in left(), "what the server wrote itself stays"
    if codes != (0,) and registration:
        assert (product_files(), registered()) == (files, keys), "nothing changed"
    if codes == (0,) and "Quorlin" not in after:  # what a refused run left is removed as a row above removes it
        removed(next(iter(after)))
        assert set(left()) == {DATA, "behaviour.txt"} | RECORDS, "what the server wrote itself stays, its logs too"


ELSEWHERE = r"C:\Quorlin elsewhere"
SECOND_ROOTS = [
    # story, how the installation into another root is asked for, whether the service there was removed by
    # hand first (a stale entry), the exit codes
    ("the exe, while the product runs", "exe", False, (2,)),
    ("the package, while the product runs", "msi", False, FAILED),
    ("the package, over a stale entry whose service is gone", "msi", True, (0,)),
]


@pytest.mark.parametrize("story, how, stale, codes", SECOND_ROOTS, ids=[r[0] for r in SECOND_ROOTS])
def test_a_second_root_is_refused_and_a_stale_entry_steers_nothing(services, story, how, stale, codes):
    services("Quorlin")
    fresh_root("")
    shutil.rmtree(unix(ELSEWHERE), ignore_errors=True)
    store(JRE)
    assert deployed("msi", "0.9.0") == 0
    if stale:
        wine("sc", "delete", "Quorlin")
        assert wait_for(lambda: kill() or query("Quorlin") is None)
    files = product_files()
    assert deployed(how, VERSION, root=ELSEWHERE) in codes
    runs = ELSEWHERE if stale else ROOT
    assert query("Quorlin")[0] == 4 and registry(SERVICE)["ImagePath"] == f'"{runs}\\bin\\Quorlin.exe"'
    assert (unix(ELSEWHERE).exists(), product_files()) == (stale, files), "nothing laid down elsewhere or changed here"


FAULTY = BUILD / "tests/Quorlin-faults.msi"  # the tests' installer, and an action that fails the steps named too


def test_a_package_failed_at_any_of_its_actions_steps_changes_nothing(services, tmp_path):
    # The action's own steps fail in turn (those before the uninstaller's as the installer's do), then the first of the
    # installer's or uninstaller's (which the sweeps fail): nothing changes. A folder left goes at the restart; a
    # removal that needs the restart (a viewer holds a file) and cannot ask for it says so.
    fresh_start(services)
    for action, failures in (("i", ("packageFolder", "packageRun", "3", "packageFolderRemoved")),
                             ("x", ("3", "packageFolderRemoved,packageRestartMark"))):
        state = lambda: (product_files(), set(left()), entries(), (query("Quorlin") or [None])[0], registry(ENTRY))  # noqa: E731
        before = state()
        for failing in failures:
            (tmp_path / "steps").unlink(missing_ok=True)
            with held(ROOT + r"\bin\Quorlin.exe") if "Mark" in failing else contextlib.nullcontext():
                code = msiexec(action, FAULTY, f'INSTALLDIR="{ROOT}"' if action == "i" else "",
                               {"QUORLIN_FAIL_STEPS": failing, "QUORLIN_STEPS": windows(tmp_path / "steps")})
            steps = taken(tmp_path / "steps")
            what = f"/{action}, {failing} failing: {steps}, exit code {code}"
            first = failing.split(",")[0]
            assert [n for n, (step, failed) in enumerate(steps, 1) if failed][:1] == [
                int(first) if first.isdigit() else [step for step, _ in steps].index(first) + 1], what
            assert ("Mark" in failing) == ("restart Windows to finish" in MSI_LOG.read_text("latin-1")), what
            if first != "packageFolderRemoved":
                # Wine's msiexec drops the package from Programs and Features when a removal fails and is rolled back
                # (Windows Installer keeps it): then registered again by an installation over itself.
                assert code in FAILED and state() in (before, (*before[:2], {}, *before[3:])) and restarted() == [], what
                assert entries() == before[2] or msiexec("i", FAULTY, f'INSTALLDIR="{ROOT}"') == 0 and state() == before, what
                continue
            private = re.search(r"its temporary files in (.+)", MSI_LOG.read_text("latin-1"))[1]
            assert code == 0 and private in restarted(), what + ": the private folder waits for the restart"
            if action == "i":
                new_version_runs()
    assert entries() == {} and query("Quorlin") is None and set(left()) == {DATA, "behaviour.txt"} | RECORDS


def removed(code):
    """/x while a viewer holds bin\\Quorlin.exe open: done when it returns, the file goes at the next restart."""
    with held(ROOT + r"\bin\Quorlin.exe"):
        assert msiexec("x", code) == 3010
        assert query("Quorlin") is None and entries() == {}
        assert "In use, so deleted at the next restart: " + ROOT + r"\bin\Quorlin.exe" in LOG.read_text()
    assert ROOT + r"\bin\Quorlin.exe" in restarted()


def test_a_signed_release_verifies_and_installs(tmp_path):
    key, certificate, pfx, release = (tmp_path / name for name in ("key.pem", "cert.pem", "sign.pfx", "release"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", "2", "-subj", "/CN=Quorlin throwaway", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx, "-passout",
                    "pass:throwaway"], check=True)
    made = subprocess.run([SOURCE / "scripts/release", release], capture_output=True, text=True,
                          env=dict(os.environ, SIGN_PFX=str(pfx), SIGN_PASSWORD="throwaway"))
    assert f"Quorlin-{VERSION}.msi {VERSION}, signed, and SHA256SUMS" in made.stdout, made.stdout + made.stderr
    assert subprocess.run(["sha256sum", "--check", "SHA256SUMS"], cwd=release, capture_output=True).stdout.count(b"OK") == 2
    fresh_root("")
    store(JRE)
    assert msiexec("i", release / f"Quorlin-{VERSION}.msi", f'INSTALLDIR="{ROOT}"') == 0
    packaged = unix(rf"C:\Program Files (x86)\Quorlin\package\{VERSION}")  # in Program Files, wherever the root is
    installed = (packaged / "Quorlin-setup.exe", packaged / "QuorlinPackage.dll",
                 *(unix(ROOT) / p for p in ("bin/Quorlin.exe", "bin/vexil_setup.exe", "Uninstall.exe")))
    programs = [release / f"Quorlin-{VERSION}.msi", *installed]
    assert [signed(program, certificate) for program in programs] == [True] * 6
    assert msiexec("x", release / f"Quorlin-{VERSION}.msi") == 0 and query("Quorlin") is None


# Quotes (msiexec's JAVA_OPTS="-Dp=""a b""") cannot be tried here: Wine's msiexec drops a doubled quote
# that Windows' takes as one, before the package sees the property.
PACKAGE_OPTIONS = [
    # story, JAVA_OPTS as msiexec's command line gives it, the Environment after
    ("a property's brackets stay as they are", "-Xmx2g -Dname=[ProductCode]", "JAVA_OPTS=-Xmx2g -Dname=[ProductCode]"),
    ("3,000 characters", LONG, "JAVA_OPTS=" + LONG),
]


@pytest.mark.parametrize("story, given, after", PACKAGE_OPTIONS, ids=[o[0] for o in PACKAGE_OPTIONS])
def test_the_packages_java_opts_reach_the_services_environment_exactly(services, story, given, after):
    fresh_start(services)
    assert msiexec("i", package(VERSION), f'INSTALLDIR="{ROOT}" JAVA_OPTS="{given}"') == 0
    assert registry(SERVICE)["Environment"] == after
    assert query("Quorlin")[0] == 4
    # The installer's line reaches the package's log; Wine's msiexec formats a record's fields once more
    # (Windows does not), so brackets in it show expanded there.
    assert "Java options set in the service's Environment: JAVA_OPTS=-" in MSI_LOG.read_text("latin-1")
