# Quorlin-<version>.msi, deployed, upgraded and removed with msiexec as fleet tools do it.
import os
import re
import subprocess
import uuid
import pytest
from conftest import BUILD, MSI_LOG, SOURCE, VERSION, held, msiexec, query, registry, restarted, signed, store, unix, wine
from test_installer import DATA, JRE, LOG, ROOT, SERVICE, fresh_root, install, left

pytestmark = pytest.mark.skipif(BUILD.name != "i686", reason="the package carries the 32-bit build")
UNINSTALL = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall"
UPGRADE_CODE = re.search(r'UpgradeCode="([^"]+)"', (SOURCE / "installer/Quorlin.wxs").read_text())[1]
FAILED = (1603, 1627)  # Windows' code for a failed installation; Wine's msiexec gives 1627


def package(version, tmp_path):
    """The package of a version, carrying this build's installer: the one built, or one built now."""
    if version == VERSION:
        return BUILD / f"Quorlin-{VERSION}.msi"
    made = tmp_path / f"Quorlin-{version}.msi"
    subprocess.run([SOURCE / "installer/build-package", version, BUILD / "Quorlin-setup.exe",
                    BUILD / "installer/QuorlinPackage.dll", made], check=True, capture_output=True)
    return made


def product(version):
    return "{" + str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), version)).upper() + "}"


def entries():
    """The entries that Programs and Features shows: {key name: DisplayVersion}."""
    out = wine("reg", "query", UNINSTALL, "/s")[0]
    keys = {key.rsplit("\\", 1)[1]: values for key, values in re.findall(r"^(HKEY\S*.*)\n((?:    .*\n)*)", out, re.M)}
    return {key: re.search(r"DisplayVersion\s+REG_SZ\s+(.*)", values)[1] for key, values in keys.items()
            if "DisplayName" in values and not re.search(r"SystemComponent\s+REG_DWORD\s+0x1", values)}


@pytest.fixture(autouse=True)
def products():
    """After each story, the packages still registered are removed, so that the next one starts clean."""
    yield
    for code in re.findall(r"\\(\{[0-9A-F-]+\})$", wine("reg", "query", UNINSTALL)[0], re.M):
        msiexec("x", code)


STORIES = [
    # story, what was installed before: (how, version), JavaHome, the exit codes, the product's entries
    # afterwards, what the logs say
    ("a first installation", None, JRE, (0,), {product(VERSION): VERSION}, "Installed: Quorlin"),
    ("an upgrade of an older package", ("msi", "0.9.0"), JRE, (0,), {product(VERSION): VERSION}, "an upgrade in place"),
    ("an upgrade whose setup step fails", ("msi", "0.9.0"), (2, "C:\\jre\0"), FAILED, {product("0.9.0"): "0.9.0"},
     "Upgrade failed; the previous version runs again"),
    ("a first installation whose setup step fails", None, (2, "C:\\jre\0"), FAILED, {},
     "Install Error: Type of value JavaHome is wrong"),
    ("a downgrade", ("msi", "9.0.0"), JRE, FAILED, {product("9.0.0"): "9.0.0"}, "WIX_DOWNGRADE_DETECTED = {"),
    ("the exe's installation taken over", ("exe", VERSION), JRE, (0,), {product(VERSION): VERSION}, "an upgrade in place"),
]


@pytest.mark.parametrize("story, before, java_home, codes, after, logged", STORIES, ids=[s[0] for s in STORIES])
def test_a_package_installs_upgrades_and_removes(services, tmp_path, story, before, java_home, codes, after, logged):
    services("Quorlin")
    fresh_root("")
    store(JRE)
    if before:
        how, version = before
        assert (install() if how == "exe" else msiexec("i", package(version, tmp_path), f'INSTALLDIR="{ROOT}"')) == 0
        wine("sc", "config", "Quorlin", "start=", "demand")
        wine("sc", "description", "Quorlin", "The operator's words")
    registration = registry(SERVICE)
    store(java_home)
    assert msiexec("i", package(VERSION, tmp_path), "" if before else f'INSTALLDIR="{ROOT}"') in codes
    assert entries() == after, "one entry, whichever way the product came"
    assert logged in LOG.read_text() + MSI_LOG.read_text("latin-1")
    assert registry(SERVICE) == (registration or registry(SERVICE)), "the operator's settings stay"
    assert (query("Quorlin") or [None])[0] == (4 if after else None)
    if after:
        removed(next(iter(after)))
    assert set(left()) - {"server.log", "behaviour.txt"} == {DATA}, "what the server wrote itself stays"


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
