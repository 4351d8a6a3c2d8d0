# The service's life as the Service Control Manager, the event log and the server see it, and the
# checks of tests/inprocess.cpp on what no outside path reaches.
import re
from concurrent.futures import ThreadPoolExecutor
import pytest
from conftest import BUILD, EventLog, console, Root, checkpoints, events, kill, none_left, plain_service, query, registry, restart, text, wait_for, wine

ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"

LIVES = [
    # story, executable, JAVA_OPTS, server behaviour, the checkpoint that starting and stopping reach
    ("a slow server in a root with a blank", r"C:\slow root\bin\Quorlin.exe", None,
     "ready_after 14000\nignore_stop 14000\n", 2),
    ("a quick server in a drive's top folder, with JAVA_OPTS", r"C:\bin\Quorlin.exe",
     '-Xmx64m -Dquorlin.name="a b"', "ignore_stop 3000\n", None),
]


def steady(seen, reached):
    """Every checkpoint from the first on was seen, up to at least reached. On a busy machine the first
    query may come after checkpoint 0."""
    return seen == set(range(min(seen), max(seen) + 1)) and min(seen) <= 1 and max(seen) >= reached


@pytest.fixture
def java_opts():
    """Sets JAVA_OPTS as a system variable, which services see only in a new session."""
    def set(options):
        wine("reg", "add", ENVIRONMENT, "/v", "JAVA_OPTS", "/d", options, "/f")
        restart()
    yield set
    if "JAVA_OPTS" in registry(ENVIRONMENT):
        wine("reg", "delete", ENVIRONMENT, "/v", "JAVA_OPTS", "/f")
        wine("sc", "delete", "Quorlin")  # or the new session starts it again
        restart()


@pytest.mark.parametrize("story, exe, options, behaviour, progress", LIVES, ids=[life[0] for life in LIVES])
def test_a_life_from_start_to_stop(services, java_opts, story, exe, options, behaviour, progress):
    if options:
        java_opts(options)
    root = Root(exe, "Quorlin", behaviour)
    services("Quorlin")
    events = EventLog()
    install = ThreadPoolExecutor().submit(console, exe, "-install")
    assert wait_for(lambda: query("Quorlin"))
    seen = checkpoints("Quorlin", 2, 4)
    assert progress is None or steady(seen, progress)
    assert install.result()[:2] == (0, "Service started\n"), "-install waits as long as the checkpoint rises"
    started = query("Quorlin")
    assert started[:3] == (4, 0, 0) and started[3] >= max(seen, default=0) and started[4] == 5000
    assert root.said("armed")
    assert root.recorded("accepts") == ["0x105"], "stop, shutdown and preshutdown"

    assert query("Quorlin", "stop") == (3, 0, 0, 0, 5000), "the stop is acknowledged before the server ends"
    assert root.said("stop seen"), "the stop signal is the named event"
    seen = checkpoints("Quorlin", 3, 1)
    assert progress is None or steady(seen, progress)
    stopped = query("Quorlin")
    assert stopped[:3] == (1, 0, 0) and stopped[3] >= max(seen, default=0) and stopped[4] == 5000
    assert none_left(), "the host and its server end"
    assert events.since() == []

    directory = root.dir if len(root.dir) > 2 else root.dir + "\\"
    path = re.sub("%SystemRoot%", r"C:\\windows", registry(ENVIRONMENT)["PATH"], flags=re.I)
    assert root.recorded("command") == [f"javaw.exe {options or ''} -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"]
    assert root.recorded("directory") == [directory]
    assert [entry for entry in root.recorded("environment") if not re.match("SystemDrive=|WINE", entry)] == [
        f"PATH={root.dir}\\bin;{path}", r"SystemRoot=C:\windows"]


FAILURES = [
    # story, executable, with a server, its behaviour, -install's exit code and output (None: either
    # outcome may win the race), the exit code and service-specific code, the event
    ("the server ends before it is ready", r"C:\failing\bin\Quorlin.exe", True, "exit_before 3\n",
     (-1066, "Failed to start service\nService specific exit code 0\n"), (1066, 0),
     "Startup failed (check VexilProxyError)"),
    ("there is no javaw.exe", r"C:\failing\bin\Quorlin.exe", False, "", (2, "Failed to start service\nExit code -2\n"),
     (4294967294, 0), "error -2"),
    ("the server ends after running", r"C:\failing\bin\Quorlin.exe", True, "exit_after 500 7\n",
     (0, "Service started\n"), (1066, 7), "Server ended by itself with exit status 7"),
    ("the server signals and ends at once", r"C:\failing\bin\Quorlin.exe", True, "exit_on_ready 5\n", None, (1066, 5),
     "Server ended by itself with exit status 5"),
    ("the executable lies in a drive's root", r"C:\Quorlin.exe", True, "", (-161, "Failed to start service\nExit code 161\n"),
     (161, 0), None),
]


@pytest.mark.parametrize("story, exe, server, behaviour, install, codes, event", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failed_start_is_reported_stopped_with_its_cause(services, story, exe, server, behaviour, install, codes, event):
    root = Root(exe, "Quorlin", behaviour, server)
    services("Quorlin")
    events = EventLog()
    installed = console(exe, "-install")[:2]
    assert install is None or installed == install
    assert wait_for(lambda: query("Quorlin")[0] == 1)
    assert query("Quorlin")[:3] == (1, *codes)
    assert events.since() == [event or text(codes[0])[:-1]]
    assert none_left(), "a host that reported stopped ends"


def test_a_killed_host_takes_its_server_along(services):
    root = Root(r"C:\killed\bin\Quorlin.exe", "QKilled")
    services("QKilled", root.exe)
    wine("sc", "start", "QKilled")
    assert root.said("armed")
    kill(r"Quorlin\.exe")
    assert none_left()


def test_what_no_outside_path_reaches():
    out = wine(BUILD / "tests/inprocess.exe", f'"{plain_service()}"')[0]
    assert re.search(r"^checks \d+, failed 0$", out, re.M), out
    assert "Failed to start service\nExit code 0\n" in out, "a stalled start on the console"


def test_a_report_writes_one_record_and_a_null_text_none():
    assert events(wine(BUILD / "tests/inprocess.exe", "report")[1]) == ["one record"]
