# Quorlin's console commands, as an operator runs them.
import os
import re
import subprocess
import pytest
from conftest import (BUILD, DRIVE, Root, ask, console, events, held, loaded, none_left, plain_service, query, registry, running, text,
                      unix, wait_for)

SERVICE = r"HKLM\System\CurrentControlSet\Services\Quorlin"
SOURCE = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\Quorlin"


@pytest.mark.parametrize("arguments, code, out, written", [
    (["-start"], 0, "", []),
    (["/install"], 0, "", []),
    (["-REMOVE", "also", "ignored"], 1060, text(1060), []),
    ([], 0, "", [text(1063)[:-1]]),  # the service process, started from a console
])
def test_the_first_argument_picks_the_mode(arguments, code, out, written):
    result = console(BUILD / "Quorlin.exe", *arguments)
    assert (*result[:2], events(result[2])) == (code, out, written)


INSTALLS = [
    # story, executable, how it is called, the registered path
    ("a root with blanks, by its full path", r"C:\Program Files\Quorlin Root\bin\Quorlin.exe",
     lambda exe: console(exe, "-INSTALL", "further", "arguments"), r'"C:\Program Files\Quorlin Root\bin\Quorlin.exe"'),
    ("by its bare name through PATH, from elsewhere", r"C:\quorlin\bin\Quorlin.exe",
     lambda exe: console("cmd", "/c", "Quorlin.exe", "-install", env={"PATH": r"C:\quorlin\bin"}, cwd=DRIVE / "users"),
     r"C:\quorlin\bin\Quorlin.exe"),
]


@pytest.mark.parametrize("story, exe, install, registered", INSTALLS, ids=[i[0] for i in INSTALLS])
def test_install_and_remove(services, story, exe, install, registered):
    root = Root(exe, "Quorlin")
    services("Quorlin")
    ask("delete-key", SOURCE)
    unix(r"C:\Program Files\Quorlin.exe").write_bytes((BUILD / "tools/javaw.exe").read_bytes())  # run for the path unquoted
    assert install(exe)[:2] == (0, "Service started\n")
    assert {name: value for name, value in registry(SERVICE).items() if name != "WOW64"} == {
        "DisplayName": "Quorlin", "ErrorControl": "0x1", "ImagePath": registered, "ObjectName": "LocalSystem",
        "PreshutdownTimeout": "0x2bf20", "Start": "0x2", "Type": "0x10"}
    assert registry(SOURCE) == {}
    assert root.said("armed") and not unix(r"C:\Program Files\Quorlin.exe.ran").exists()

    assert console(exe, "-install")[:2] == (1073, text(1073)), "installed already"
    assert registry(SERVICE)["ImagePath"] == registered
    with held("Quorlin", "hold-service"):  # as the services console does: the service stays, marked for deletion
        assert console(exe, "-Remove")[:2] == (0, "Service removed\n"), "at once, while the server stops"
        assert console(exe, "-remove")[:2] == (1072, text(1072)), "marked for deletion"
        assert root.said("stop seen")
    assert wait_for(lambda: query("Quorlin") is None)
    assert none_left()
    assert console(exe, "-remove")[:2] == (1060, text(1060))
    assert registry(SOURCE) == {}, "removal leaves the source key"

    assert install(exe)[:2] == (0, "Service started\n"), "the source key is opened again"
    assert registry(SOURCE) == {}


def test_the_start_is_retried_while_another_service_holds_the_lock(services, tmp_path):
    # A service's start holds the lock until the trace shows -install refused twice (tried, retried); then the
    # start goes through. The preshutdown time is seen in the trace: Wine gives every service -install's 180 s.
    root = Root(r"C:\quorlin-locked\bin\Quorlin.exe")
    services("Quorlin")
    services("QLocker", f'"{plain_service()}" until C:\\unlock')
    unix(r"C:\unlock").unlink(missing_ok=True)
    locker = subprocess.Popen(loaded("sc", "start", "QLocker"), stdout=subprocess.DEVNULL)
    assert wait_for(lambda: running("plain.exe.* until"))
    calls = "advapi32.StartServiceA;advapi32.ChangeServiceConfig2A\0"
    ask("set", r"HKCU\Software\Wine\Debug", "RelayInclude", 1, calls.encode("utf-16-le").hex())
    trace = tmp_path / "trace"
    refused = r"Ret  advapi32\.StartServiceA\(\) retval=0+\b"
    with open(tmp_path / "out", "w") as out, open(trace, "w") as err:
        install = subprocess.Popen(loaded("cmd", "/c", root.exe, "-install"), stdout=out,
                                   stderr=err, env=dict(os.environ, WINEDEBUG="-all,+relay"))
        assert wait_for(lambda: len(re.findall(refused, trace.read_text())) >= 2, 90, every=0.2), (
            "it met the lock: " + str(re.findall(r"StartServiceA\(\) retval=(\w+)", trace.read_text())) +
            f", the locker {'waits' if running('plain.exe.* until') else 'is gone'}")
        unix(r"C:\unlock").write_text("")
        assert install.wait(90) == 0 and (tmp_path / "out").read_text().replace("\r", "") == "Service started\n"
    results = re.findall(r"Ret  advapi32\.StartServiceA\(\) retval=([0-9a-f]+)", trace.read_text())
    assert set(results[:-1]) == {"0" * len(results[0])} and int(results[-1], 16), "refused while held, then started"
    assert re.search(r"Call advapi32\.ChangeServiceConfig2A\([0-9a-f]+,0+7,", trace.read_text()), "the preshutdown time"
    locker.wait()
