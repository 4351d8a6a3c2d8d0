# The release as an administrator's tools see it: what each program says it is, how Event Viewer shows
# the service's records, and a second build of the same commit compared byte for byte.
import subprocess
import pytest
from conftest import BUILD, SOURCE, VERSION, version, wine

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the release is the 32-bit build")
PROGRAMS = [
    # the program, its description, its file type (VFT_APP 1, VFT_DLL 2)
    ("Quorlin.exe", "Quorlin service host", 1),
    ("vexil_setup.exe", "Quorlin setup tool: records the Java home", 1),
    ("Quorlin-setup.exe", "Quorlin installer", 1),
    ("installer/QuorlinPackage.dll", "Quorlin package action: runs the installer for Windows Installer", 2),
]


@pytest.mark.parametrize("program, description, kind", PROGRAMS)
def test_every_program_says_what_and_which_version_it_is(program, description, kind):
    fields = version(BUILD / program)
    assert {key: fields.get(key) for key in ("ProductName", "FileDescription", "FileVersion", "ProductVersion",
                                             "OriginalFilename", "FileType")} == {
        "ProductName": "Quorlin", "FileDescription": description, "FileVersion": VERSION,
        "ProductVersion": VERSION, "OriginalFilename": program.rsplit("/", 1)[-1], "FileType": kind}
    assert len(VERSION.split(".")) == 3


@pytest.mark.parametrize("identifier", range(11))  # the service's failures, and each kind of record added since
def test_event_viewer_shows_a_record_as_it_was_written(identifier):
    text = "Startup failed (check VexilProxyError) 100% %2"
    assert wine(BUILD / "tests/inprocess.exe", "render", BUILD / "Quorlin.exe", identifier, text)[0] == f"[{text}]"


def test_two_builds_of_one_commit_are_the_same(tmp_path):
    subprocess.run(["cmake", "--preset", "i686", "-S", SOURCE, "-B", tmp_path, "-DBUILD_TESTING=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", tmp_path, "--target", "package"], check=True, stdout=subprocess.DEVNULL)
    made = [*(p for p, *_ in PROGRAMS), f"Quorlin-{VERSION}.msi"]
    assert [(tmp_path / p).read_bytes() == (BUILD / p).read_bytes() for p in made] == [True] * len(made)
