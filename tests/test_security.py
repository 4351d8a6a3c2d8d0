# What a standard user may try against the removals that fleet tools run as the system: plant a program
# where an earlier removal took one from (the uninstaller's copy, the plugins, the temporary files), hold
# it open or wait to rewrite it; or put a link in the root. (The root a user made open: fresh_root.)
import contextlib, os, re, shutil, threading
import pytest
from conftest import (BUILD, DRIVE, MSI_LOG, VERSION, ask, console, held, msiexec, query, registry, restarted, run, store, text, unix, wait_for,
                      wine, windows)
from test_installer import DATA, ENTRY, JRE, LOG, ROOT, fresh_root, fresh_start, install, left
from test_package import deployed, product, products  # noqa: F401 (products: the packages go after each story)

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the installer carries the 32-bit build")
PROGRAM = (BUILD / "tools/javaw.exe").read_bytes()  # under any name but javaw.exe, it notes in <name>.ran that it ran


def removed(how):
    """The exit code of a removal as a fleet tool runs it, and the private folders that the logs name."""
    LOG.unlink()
    code = run(registry(ENTRY)["QuietUninstallString"]) if how == "exe" else msiexec("x", product(VERSION))
    logs = LOG.read_text() + (MSI_LOG.read_text("latin-1") if how == "msi" else "")
    named = re.findall(r"private copy: ([^\r\n]*)\\Uninstall\.exe|temporary files in ([^\r\n]*)", logs)
    return code, {unix(folder) for pair in named for folder in pair if folder}


# Where a run's private folder may lie: folders that no standard user can write. The temporary folders,
# ProgramData and the Windows folder let them create folders of their own.
PRIVATE_PARENTS = ["Program Files", "Program Files (x86)", "windows/SystemTemp"]
PRIVATE_NAMES = r"ns\w+\.tmp|Quorlin-[0-9a-f]{16}"  # the installer's runs, the package's action


@contextlib.contextmanager
def private_folders():
    """The runs' private folders seen meanwhile in every place one could lie, each with whether others could write it
    when last seen (Wine keeps Everyone's write right, and no other DACL, in the others' write bit)."""
    seen, stop = {}, threading.Event()
    places = [DRIVE / p for p in (*PRIVATE_PARENTS, "windows", "windows/temp", "ProgramData", "users/Public")]
    places += [*DRIVE.glob("users/*/Temp"), *DRIVE.glob("users/*/AppData/Local/Temp")]
    def named():
        return {f for place in places for f in place.glob("*") if re.fullmatch(PRIVATE_NAMES, f.name)}
    earlier = named()  # an earlier story's, where it planted a user's program
    def watch():
        while not stop.wait(0.1):
            for folder in named() - earlier:
                with contextlib.suppress(OSError):
                    if folder.is_dir():  # NSIS tries its temporary folder with a file of such a name
                        seen[folder] = folder.stat().st_mode & 0o002
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield seen
    finally:
        stop.set()
        watcher.join()


@pytest.mark.parametrize("how", ["exe", "msi"])
def test_nothing_planted_where_a_removal_took_its_files_runs(services, how):
    fresh_start(services)
    with private_folders() as seen:
        assert deployed(how, VERSION) == 0
        code, before = removed(how)
    assert {f.name[:2] for f in seen} == ({"ns", "Qu"} if how == "msi" else {"ns"}), "every run's private folder seen"
    assert {str(f.parent.relative_to(DRIVE)) for f in seen} <= set(PRIVATE_PARENTS), "where no standard user writes"
    assert [f for f, others in seen.items() if others] == [], "open to no one but the system and Administrators in use"
    # The user's programs, in folders open to everyone, where that removal's folders were, to be written and
    # rewritten; one of them held open.
    planted = [folder / name for folder in before for name in ("Uninstall.exe", "System.dll", "QuorlinSetup.dll")]
    for path in planted:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(PROGRAM)
        path.parent.chmod(0o777) or path.chmod(0o777)
    restarted()
    assert code == 0 and before and deployed(how, VERSION) == 0
    with held(windows(planted[0])):
        code, used = removed(how)
    assert code == 0 and query("Quorlin") is None and registry(ENTRY) is None
    assert [p.read_bytes() == PROGRAM and not p.with_name(p.name + ".ran").exists() for p in planted] == \
        [True] * len(planted), "nothing planted was written or ran"
    assert used and not used & before and not [f for f in used if f.exists()], "this run's own folders, gone after"


def test_a_root_holding_a_link_is_refused(services, tmp_path):
    fresh_root("")
    (unix(ROOT) / "bin").rmdir()
    (unix(ROOT) / "bin").symlink_to(tmp_path)  # as Wine shows a junction: the programs would land elsewhere
    assert install() == 2 and query("Quorlin") is None and not list(tmp_path.iterdir())
    assert "The root holds a link, " + ROOT + r"\bin" in LOG.read_text()


def user_root(top, target):
    """A root a user made and owns, holding their program."""
    top.mkdir(parents=True)
    (top / "javaw.exe").write_bytes(PROGRAM)
    for path in (top, top / "javaw.exe"):
        os.chown(path, 1000, 1000)  # Wine shows another uid's file as S-1-5-7's


def user_program(top, target):
    """A root an administrator made and left open to everyone, where a user put their program."""
    fresh_root("")
    user_root(top / "planted", target)
    (top / "planted/javaw.exe").rename(top / "javaw.exe")


def open_parent(top, target):
    top.parent.mkdir()
    top.parent.chmod(0o777)


def linked_root(top, target):
    top.parent.mkdir()
    top.symlink_to(target)  # a junction any user may make under C:\ before the first installation


def linked_parent(top, target):
    top.parent.symlink_to(target)  # as Wine shows a junction a user made


def open_file(top, target):
    """An administrator's root holding an administrator's file that everyone may write: a user may have changed it."""
    fresh_root("")
    (top / "notes.txt").write_text("an administrator's notes")
    (top / "notes.txt").chmod(0o666)


def hard_link(top, target):
    """An administrator's root where a user made a second name of a file beside it (any user may in a folder
    under C:\\ that passes Authenticated Users' Modify down): closing the root would re-permission that file."""
    fresh_root("")
    outside = top.parent / "outside.ini"
    outside.write_text("the system's settings")
    outside.chmod(0o600)
    os.link(outside, top / "settings.ini")


APPS = r"C:\Apps\Quorlin"
OTHERS = " belongs to someone other than the system, Administrators or this account"
ROOTS = [
    # story, how it is deployed, the root, what a user did before, the exit codes, what the log says
    ("a root a user made and owns, holding their javaw.exe", "exe", ROOT, user_root, (2,), ROOT + OTHERS),
    ("the same by the package", "msi", ROOT, user_root, (1603, 1627), ROOT + OTHERS),
    ("an administrator's open root where a user put a javaw.exe", "exe", ROOT, user_program, (2,),
     ROOT + r"\javaw.exe" + OTHERS),
    ("an administrator's open root holding a file that others may write", "exe", ROOT, open_file, (2,),
     ROOT + r"\notes.txt" + OTHERS),
    ("an administrator's open root holding a hard link to a file beside it", "exe", ROOT, hard_link, (2,),
     "The root holds a link, " + ROOT + r"\settings.ini"),
    ("a parent open to everyone", "exe", APPS, open_parent, (2,), r"re-permission the root's parent C:\Apps:"),
    ("a parent that is a link", "exe", APPS, linked_parent, (2,), r"The root's parent C:\Apps is a link"),
    ("a root that is itself a link", "exe", APPS, linked_root, (2,), r"The root C:\Apps\Quorlin is a link"),
]


@pytest.mark.parametrize("story, how, root, prepared, codes, named", ROOTS, ids=[r[0] for r in ROOTS])
def test_a_root_a_user_can_change_is_refused_and_nothing_changes(services, tmp_path, story, how, root, prepared, codes,
                                                                 named):
    services("Quorlin")
    store(JRE)
    ask("delete-key", ENTRY)
    for top in (unix(ROOT), unix(APPS).parent):
        top.unlink() if top.is_symlink() else shutil.rmtree(top, ignore_errors=True)
    prepared(unix(root), tmp_path)
    before = sorted((p, p.stat().st_uid, p.stat().st_mode) for p in unix(root).parent.rglob("*"))
    LOG.unlink(missing_ok=True)
    assert deployed(how, VERSION, root=root) in codes
    assert named in LOG.read_text() and "nothing was changed; exit code 2" in LOG.read_text()
    assert query("Quorlin") is None and registry(ENTRY) is None
    assert sorted((p, p.stat().st_uid, p.stat().st_mode) for p in unix(root).parent.rglob("*")) == before, "nothing changed"
    assert not list(tmp_path.iterdir()) and not (unix(root) / "stand-in.log").exists(), "nothing ran or was laid down"


BEYOND = "C:\\Za\u017c\u00f3\u0142\u0107"  # Zażółć: beyond code page 1252, whose look-alike is Zazólc
LOOK_ALIKE = DRIVE / "Za\u007a\u00f3\u006c\u0063/bin/Quorlin.exe"
BEYOND_CODE_PAGE = [
    # story, how it is deployed, the exit codes
    ("by the exe", "exe", (2,)),
    ("by the package", "msi", (1603, 1627)),
    ("by Quorlin -install run from there by hand", "hand", (1113,)),  # ERROR_NO_UNICODE_TRANSLATION
]


@pytest.mark.parametrize("story, how, codes", BEYOND_CODE_PAGE, ids=[b[0] for b in BEYOND_CODE_PAGE])
def test_a_root_the_host_cannot_name_exactly_is_refused(services, story, how, codes):
    # The host, an ANSI program, would register the look-alike path, where a user put their program first.
    services("Quorlin")
    store(JRE)
    for top in (unix(BEYOND), LOOK_ALIKE.parent.parent):
        shutil.rmtree(top, ignore_errors=True)
    LOOK_ALIKE.parent.mkdir(parents=True)
    LOOK_ALIKE.write_bytes(PROGRAM)
    LOOK_ALIKE.chmod(0o755)
    LOG.unlink(missing_ok=True)
    if how == "hand":
        (unix(BEYOND) / "bin").mkdir(parents=True)
        (unix(BEYOND) / "bin/Quorlin.exe").write_bytes((BUILD / "Quorlin.exe").read_bytes())
        code, out, _ = console(BEYOND + r"\bin\Quorlin.exe", "-install")
        assert out == text(1113)
    else:
        code = deployed(how, VERSION, root=BEYOND)
    assert code in codes and query("Quorlin") is None
    assert not LOOK_ALIKE.with_name("Quorlin.exe.ran").exists(), "the user's program never ran"
    assert how == "hand" or "cannot name the root" in LOG.read_text("latin-1")
    assert how == "hand" or not (unix(BEYOND) / "bin").exists(), "nothing laid down"


@pytest.mark.parametrize("locale, told", [(None, "1252 0"), ("hi_IN.UTF-8", "65001 1")])  # Hindi's: UTF-8, none other
def test_a_root_is_spelt_exactly_where_the_code_page_spells_it(locale, told):
    assert wine(BUILD / "tests/inprocess.exe", "exact", env={"LC_ALL": locale} if locale else None)[0] == told + "\n"


AGENT = f"-javaagent:{BEYOND}\\agent.jar"
OPTIONS_BEYOND = [
    # story, how they are handed over, the exit codes
    ("by the exe", f'"/JAVA_OPTS={AGENT}"', (2,)),
    ("by the package", f'JAVA_OPTS="{AGENT}"', (1603, 1627)),
]


@pytest.mark.parametrize("story, options, codes", OPTIONS_BEYOND, ids=[o[0] for o in OPTIONS_BEYOND])
def test_options_the_host_cannot_pass_exactly_are_refused(services, story, options, codes):
    # The host would start the server with -javaagent:C:\\Zazólc\\agent.jar, a folder any user may make.
    fresh_start(services)
    LOG.unlink(missing_ok=True)
    code = install(options=options) if options.startswith('"') else msiexec("i", BUILD / f"Quorlin-{VERSION}.msi",
                                                                          f'{options} INSTALLDIR="{ROOT}"')
    assert code in codes and query("Quorlin") is None and registry(ENTRY) is None
    assert "The Java options hold a character that this system's code page cannot spell" in LOG.read_text("latin-1")
    assert not (unix(ROOT) / "bin/Quorlin.exe").exists(), "nothing laid down"


LOG_LINKS = [
    # story, the names a user linked to a folder of theirs beforehand
    ("where the log lay before, and the names beside it that a run once took", ["ProgramData/Quorlin",
                                                                               *(f"ProgramData/Quorlin.{n}" for n in range(20))]),
    # Only an administrator can make a name in the system's Logs folder on Windows; Wine lets anyone.
    ("the log's own folder", ["windows/logs/Quorlin"]),
]


@pytest.mark.parametrize("story, names", LOG_LINKS, ids=[link[0] for link in LOG_LINKS])
def test_a_link_a_user_made_never_steers_the_log(services, tmp_path, story, names):
    fresh_start(services)
    links = [DRIVE / name for name in names]
    for link in links:
        shutil.rmtree(link, ignore_errors=True)
        link.unlink(missing_ok=True)
        link.symlink_to(tmp_path)  # as Wine shows a junction a user made
    try:
        assert install() == 0 and query("Quorlin")[0] == 4
        assert not list(tmp_path.iterdir()), "nothing written through a link"
        assert os.readlink(LOG.parent) == str(tmp_path) if LOG.parent in links else "Installed: Quorlin" in LOG.read_text()
    finally:
        for link in links:
            link.unlink()


@pytest.mark.parametrize("how", ["exe", "msi"])
def test_a_held_service_handle_neither_blocks_a_removal_nor_lets_an_installation_report_success(services, how):
    fresh_start(services)
    assert deployed(how, VERSION) == 0
    with held("Quorlin", "hold-service"):  # as the services console or a monitoring agent does
        assert removed(how)[0] == 3010
        assert "marked for deletion, but another program holds it open" in LOG.read_text()
        assert query("Quorlin")[0] == 1 and registry(ENTRY) is None and DATA in left() and "bin/Quorlin.exe" not in left()
        LOG.unlink()
        assert install() == 2 and "The service Quorlin is marked for deletion" in LOG.read_text()
        assert query("Quorlin")[0] == 1 and "bin/Quorlin.exe" not in left(), "nothing changed"
    assert wait_for(lambda: query("Quorlin") is None), "gone once the handle is let go"
