# The service's life as the Service Control Manager, the event log and the server see it, and the
# checks of tests/inprocess.cpp on what no outside path reaches.
import contextlib
import os
import re
import shutil
from concurrent.futures import ThreadPoolExecutor
import pytest
from conftest import (BUILD, DRIVE, EventLog, ask, console, Root, checkpoints, events, kill, none_left, plain_service, query, registry,
                      restart, text, unix, wait_for, wine)
from conftest import fill, held, records, small_drive, text as text_of

ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"

LIVES = [
    # story, executable, JAVA_OPTS, server behaviour, the checkpoint that starting and stopping reach
    ("a slow server in a root with a blank", r"C:\slow root\bin\Quorlin.exe", None,
     "ready_after 14000\nignore_stop 14000\n", 2),
    ("a quick server in a drive's top folder, with JAVA_OPTS", r"C:\bin\Quorlin.exe",
     '-Xmx64m -Dquorlin.name="a b"', "ignore_stop 3000\n", None),
]


def steady(seen, reached):
    """Every checkpoint from the first on was seen, up to at least reached (a busy machine's first query may come late)."""
    return seen == set(range(min(seen), max(seen) + 1)) and min(seen) <= 1 and max(seen) >= reached


@pytest.fixture
def system_variables():
    """Sets system variables, which services see only in a new session; puts them back afterwards."""
    old = {}
    def set(name, value):
        old.setdefault(name, registry(ENVIRONMENT).get(name))
        ask("set", ENVIRONMENT, name, 2, (value + "\0").encode("utf-16-le").hex())  # REG_EXPAND_SZ, any character
        restart()
    yield set
    for name, value in old.items():
        wine("reg", *(("add", ENVIRONMENT, "/v", name, "/t", "REG_EXPAND_SZ", "/d", value) if value else
                      ("delete", ENVIRONMENT, "/v", name)), "/f")
    if old:
        wine("sc", "delete", "Quorlin")  # or the new session starts it again
        restart()


@pytest.mark.parametrize("story, exe, options, behaviour, progress", LIVES, ids=[life[0] for life in LIVES])
def test_a_life_from_start_to_stop(services, system_variables, story, exe, options, behaviour, progress):
    if options:
        system_variables("JAVA_OPTS", options)
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
    trustees = re.findall(r"\(A;[^;]*;[^;]*;[^;]*;[^;]*;([^)]+)\)", ask("security", "Quorlin"))
    assert trustees and set(trustees) <= {"SY", "BA"}, "nobody but the system and Administrators may signal the server"

    assert query("Quorlin", "stop") == (3, 0, 0, 0, 5000), "the stop is acknowledged before the server ends"
    assert root.said("stop seen"), "the stop signal is the named event"
    seen = checkpoints("Quorlin", 3, 1)
    assert progress is None or steady(seen, progress)
    stopped = query("Quorlin")
    assert stopped[:3] == (1, 0, 0) and stopped[3] >= max(seen, default=0) and stopped[4] == 5000
    assert none_left(), "the host and its server end"
    assert events.records() == [("information", 1, f"The server runs: {root.dir}\\javaw.exe")], "which runtime ran"

    directory = root.dir if len(root.dir) > 2 else root.dir + "\\"
    path = re.sub("%SystemRoot%", r"C:\\windows", registry(ENVIRONMENT)["PATH"], flags=re.I)
    assert root.recorded("command") == [f"javaw.exe {options or ''} -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"]
    assert root.recorded("directory") == [directory]
    assert [entry for entry in root.recorded("environment") if not re.match("SystemDrive=|WINE", entry)] == [
        f"PATH={root.dir}\\bin;{path}", r"SystemRoot=C:\windows"]


RUNS = r"The server runs: C:\failing\javaw.exe"
FAILURES = [
    # story, executable, with a server, its behaviour, -install's exit code and output (None: either outcome may win
    # the race), the exit code and service-specific code, the records (type, identifier, text; None: the system's
    # text of the exit code): a failed start stays error 0, what was added since has an identifier of its own
    ("the server ends before it is ready", r"C:\failing\bin\Quorlin.exe", True, "exit_before 3\n",
     (-1066, "Failed to start service\nService specific exit code 0\n"), (1066, 0),
     [("error", 0, "Startup failed (check VexilProxyError)")]),
    ("there is no javaw.exe", r"C:\failing\bin\Quorlin.exe", False, "", (2, "Failed to start service\nExit code -2\n"),
     (4294967294, 0), [("error", 0, "error -2")]),
    ("the server signals and ends at once", r"C:\failing\bin\Quorlin.exe", True, "exit_on_ready 5\n", None, (1066, 5),
     [("information", 1, RUNS), ("error", 3, "Server ended by itself with exit status 5")]),
    ("the executable lies in a drive's root", r"C:\Quorlin.exe", True, "", (-161, "Failed to start service\nExit code 161\n"),
     (161, 0), [("error", 0, None)]),
]


def refused_late():
    """-install's answer where Wine's SCM, busy, answers a host that stops at once with 1053 (Windows' poll sees it stop)."""
    return 1053, text(1053)


@pytest.mark.parametrize("story, exe, server, behaviour, install, codes, written", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failed_start_is_reported_stopped_with_its_cause(services, story, exe, server, behaviour, install, codes,
                                                             written):
    Root(exe, "Quorlin", behaviour, server)
    services("Quorlin")
    events = EventLog()
    installed = console(exe, "-install")[:2]
    assert install is None or installed in (install, refused_late())
    assert wait_for(lambda: query("Quorlin")[0] == 1)
    assert query("Quorlin")[:3] == (1, *codes)
    assert events.records() == [(kind, id, text or text_of(codes[0])[:-1]) for kind, id, text in written]
    assert none_left(), "a host that reported stopped ends"


MADE_FIRST = ('The event "Quorlin" was made by another program before the service: the server is not started, as '
              "that program could start or stop it")
TAKEN = [
    # story, what a user made first (the asker's word), the code the start stops with, record 7's text
    ("an event, already set", "make-event", 183, MADE_FIRST),
    ("an event that nobody may open", "make-closed-event", 5, MADE_FIRST),
    ("a mutex, which takes the name from any event", "make-mutex", 6, 'The name "Quorlin" is held by another '
     "program's object of another kind: the server is not started, as it could not be signalled"),
]


@pytest.mark.parametrize("story, made, code, told", TAKEN, ids=[t[0] for t in TAKEN])
def test_an_event_a_user_made_first_is_never_taken_as_ours(services, story, made, code, told):
    root = Root(r"C:\failing\bin\Quorlin.exe", "Quorlin")
    services("Quorlin")
    events = EventLog()
    with held("Quorlin", made):  # any user may make a global object of the name first
        assert console(root.exe, "-install")[:2] in ((-code, f"Failed to start service\nExit code {code}\n"), refused_late())
    assert query("Quorlin")[:2] == (1, code) and root.recorded("command") == [], "the server never started"
    assert events.records() == [("error", 7, told), ("error", 0, text_of(code)[:-1])]
    assert none_left()


def test_a_killed_host_takes_its_server_along(services):
    root = Root(r"C:\killed\bin\Quorlin.exe", "QKilled")
    services("QKilled", root.exe)
    ask("start", "QKilled")
    assert root.said("armed")
    kill(r"Quorlin\.exe")
    assert none_left()


def test_what_no_outside_path_reaches():
    out = wine(BUILD / "tests/inprocess.exe", f'"{plain_service()}"')[0]
    assert int(re.search(r"^checks (\d+), failed 0$", out, re.M)[1]) >= 60, out
    assert "Failed to start service\nExit code 0\n" in out, "a stalled start on the console"


BEYOND = "-javaagent:C:\\Za\u017c\u00f3\u0142\u0107\\agent.jar"  # Zażółć: beyond code page 1252 (the look-alike: Zazólc)


def test_options_the_host_cannot_pass_exactly_never_reach_the_server(services, system_variables):
    system_variables("JAVA_OPTS", BEYOND)
    root = Root(r"C:\optioned\bin\Quorlin.exe", "Quorlin")
    services("Quorlin")
    events = EventLog()
    assert console(root.exe, "-install")[:2] in ((-1113, "Failed to start service\nExit code 1113\n"), refused_late())
    assert root.recorded("command") == [], "the server never started"
    assert [r for r in events.records() if r[0] == "error"] == [
        ("error", 0, "JAVA_OPTS holds a character that this system's code page cannot spell: the server is not "
                     "started, as it would be given a look-alike"), ("error", 0, text_of(1113)[:-1])]


BOX = ("The server showed a window while it started, which nobody on the service's desktop can close: \"Java Virtual "
       "Machine Launcher\"\nError: Could not create the Java Virtual Machine.\nError: A fatal exception has occurred. "
       "Program will exit.")


def test_a_box_the_server_shows_while_it_starts_is_told_and_closed(display):
    # Wine gives a service no desktop: the search runs in a program of the session, on a real display.
    out, err, _ = wine(BUILD / "tests/inprocess.exe", "windows", env=display)
    assert re.search(r"^checks 6, failed 0$", out, re.M), out
    assert events(err) == [BOX, BOX], "the title and the text, as the box showed them"


def test_a_report_writes_one_record_and_a_null_text_none():
    told = records(wine(BUILD / "tests/inprocess.exe", "report")[1])
    assert [(kind, id) for kind, id, _ in told] == [("error", 0), ("error", 6)] and told[0][2] == "one record"


HEAP = "Invalid maximum heap size: -Xmx9zz"
NO_VM = "Error: Could not create the Java Virtual Machine."
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "
TALKING = ("information", 1, r"The server runs: C:\talking\javaw.exe")
OUTPUTS = [
    # story, the server's behaviour, the service's end (state, exit code, specific code), the records (type,
    # identifier, text), the lines its log holds after the time stamps
    ("a start that fails with two error lines", f"say {HEAP}\nsay {NO_VM}\nexit_before 1\n", (1, 1066, 0),
     [("error", 0, "Startup failed (check VexilProxyError)"), ("error", 2, f"The server's last output:\n{HEAP}\n{NO_VM}")],
     [HEAP, NO_VM]),
    ("a server that ends by itself after a line", "say shutting down: out of luck\nexit_after 500 7\n", (1, 1066, 7),
     [TALKING, ("error", 3, "Server ended by itself with exit status 7"),
      ("error", 2, "The server's last output:\nshutting down: out of luck")], ["shutting down: out of luck"]),
    ("a server that writes while running, and last as it stops", "say listening on 8080\nsay_at_stop saved: 3 records\n",
     (1, 0, 0), [TALKING], ["listening on 8080", "saved: 3 records"]),
]


@pytest.mark.parametrize("story, behaviour, end, written, lines", OUTPUTS, ids=[o[0] for o in OUTPUTS])
def test_the_servers_output_is_kept_and_a_failure_shows_its_last_lines(services, story, behaviour, end, written,
                                                                        lines):
    root = Root(r"C:\talking\bin\Quorlin.exe", "Quorlin", behaviour)
    services("Quorlin")
    events = EventLog()
    installed = console(root.exe, "-install")[:2]
    if end[1] == 0:
        assert installed == (0, "Service started\n") and root.said("armed")
        query("Quorlin", "stop")
    assert wait_for(lambda: query("Quorlin")[0] == 1) and query("Quorlin")[:3] == end
    assert events.records() == written
    logs = unix(r"C:\talking\logs")
    logged = (logs / "server.log").read_text()
    assert re.findall("^" + STAMP + "(.*)$", logged, re.M) == lines and logged.count("\n") == len(lines), "stamped"
    assert not logs.stat().st_mode & 0o002, "closed like the root: Everyone may not write"


def open_logs(logs, target):
    logs.mkdir(0o777)
    logs.chmod(0o777)
    return []


def users_logs(logs, target):
    logs.mkdir()
    os.chown(logs, 1000, 1000)  # Wine shows another uid's folder as S-1-5-7's
    return []


def linked_logs(logs, target):
    logs.symlink_to(target)  # as Wine shows a junction
    return []


def users_file(logs, target):
    """Made while an earlier version left the folder open: a user's own server.log, to read what comes."""
    open_logs(logs, target)
    (logs / "server.log").write_text("a user's words\n")
    os.chown(logs / "server.log", 1000, 1000)
    return [logs / "server.log"]


def hard_link(logs, target):
    """The same, but server.log a second name of a file of the system's, for the output to overwrite."""
    open_logs(logs, target)
    (target / "settings.ini").write_text("the system's settings\n")
    os.link(target / "settings.ini", logs / "server.log")
    return [target / "settings.ini"]


ASIDE = re.escape(r"C:\talking\logs\server.log was not the service's own (others could change it, or it was a second "
                  r"name of another file): it was moved aside as C:\talking\logs\server.log.") + r"\d+\.aside"
LOG_FOLDERS = [
    # story, what is at <root>\logs before the start (and the files a user made there), whether the output is
    # kept there, the records that are no information (type, identifier, a pattern of the text)
    ("open to everyone, as an earlier version left it: closed", open_logs, True, []),
    ("a user's", users_logs, False, [("error", 5, re.escape(r"The server's output is not kept in C:\talking\logs: " +
                                                          text_of(5)[:-1]))]),
    ("a link", linked_logs, False, [("error", 5, re.escape(r"The server's output is not kept in C:\talking\logs: " +
                                                         text_of(1920)[:-1]))]),
    ("open, with a user's server.log: set aside, never written", users_file, True, [("warning", 9, ASIDE)]),
    ("open, server.log a hard link to a file of the system's: set aside", hard_link, True, [("warning", 9, ASIDE)]),
]


@pytest.mark.parametrize("story, made, kept, written", LOG_FOLDERS, ids=[f[0] for f in LOG_FOLDERS])
def test_the_logs_folder_is_written_only_where_no_user_can_change_it(services, tmp_path, story, made, kept, written):
    root = Root(r"C:\talking\bin\Quorlin.exe", "Quorlin", "say listening on 8080\n")
    logs = unix(r"C:\talking\logs")
    theirs = {path.stat().st_ino: path.read_bytes() for path in made(logs, tmp_path)}
    services("Quorlin")
    events = EventLog()
    assert console(root.exe, "-install")[:2] == (0, "Service started\n"), "the server runs all the same"
    query("Quorlin", "stop")
    assert wait_for(lambda: query("Quorlin")[0] == 1)
    assert (logs / "server.log").exists() == kept and not list(tmp_path.glob("server*")), "nothing through a link"
    assert not kept or "listening on 8080" in (logs / "server.log").read_text()
    assert not kept or not logs.stat().st_mode & 0o002, "closed: Everyone may not write"
    files = [path for path in (*tmp_path.iterdir(), *(logs.iterdir() if kept else ())) if path.is_file()]
    assert {path.stat().st_ino: path.read_bytes() for path in files if path.stat().st_ino in theirs} == theirs, \
        "what a user made there stays as it was"
    records = [r for r in events.records() if r[0] != "information"]
    assert len(records) == len(written) and all(
        (kind, id) == r[:2] and re.fullmatch(pattern, r[2]) for (kind, id, pattern), r in zip(written, records)), records


def test_the_servers_last_output_is_in_its_log_when_the_service_reports_stopped(services):
    # A child of the server holds its output 1 s longer and writes the last line; the host ends it once it
    # reports stopped (its job), so a report that did not wait for the output's end would lose that line.
    root = Root(r"C:\talking\bin\Quorlin.exe", "Quorlin", "say_later 1000 saved: all records\n")
    services("Quorlin")
    assert console(root.exe, "-install")[:2] == (0, "Service started\n")
    query("Quorlin", "stop")
    assert wait_for(lambda: query("Quorlin")[0] == 1) and root.said("child left")
    assert (unix(r"C:\talking\logs") / "server.log").read_text().endswith(" saved: all records\n")


MB = 1000 * 1000


def test_a_flood_of_output_stays_bounded_and_the_newest_is_kept(services, up_26_days):
    # On a machine up 26 days: the rotation's clock past 2^31. How fast the output goes: bench/output.
    assert int(wine(BUILD / "tests/inprocess.exe", "tick")[0]) > 2 ** 31, "the tick count is past 2^31"
    root = Root(r"C:\flooding\bin\Quorlin.exe", "Quorlin", "flood 45\n")
    services("Quorlin")
    assert console(root.exe, "-install")[:2] == (0, "Service started\n")
    assert wait_for(lambda: root.recorded("at flood ends"), 600)
    query("Quorlin", "stop")
    assert wait_for(lambda: query("Quorlin")[0] == 1, 600) and none_left(), "the service stops"
    logs = unix(r"C:\flooding\logs")
    files = [logs / name for name in ("server.4.log", "server.3.log", "server.2.log", "server.1.log", "server.log")]
    assert sorted(logs.iterdir()) == sorted(files)
    assert max(f.stat().st_size for f in files) <= 10 * MB and sum(f.stat().st_size for f in files) <= 50 * MB
    numbers, text = flood_lines(logs)
    assert numbers == list(range(numbers[0], 450000)) and numbers[0] > 0, "the newest output, whole and in order"
    assert text.endswith(" flood done\n")


def flood_lines(logs):
    """The flood's line numbers in the server's logs, the file written last, last; and the logs' text."""
    rank = ["4.", "3.", "2.", "1.", "", "0."]
    files = sorted((f for f in (logs / f"server.{name}log" for name in rank) if f.exists()),
                   key=lambda f: (f.stat().st_mtime_ns, rank.index(f.name[7:-3])))
    text = "".join(f.read_text() for f in files)
    return [int(n) for n in re.findall(r"^" + STAMP + r"flood line (\d+) ", text, re.M)], text


def losses(text):  # the log's lines on output not kept, as (bytes, why)
    return [(int(n), why) for n, why in re.findall(r"^" + STAMP + r"Quorlin: (\d+) bytes of the server's output were "
                                                   r"not kept: (.*)$", text, re.M)]


def counted(lost, missing):  # the bytes told lost are the missing flood lines' (124 with their time), a line per edge
    return abs(sum(n for n, _ in lost) - missing * 124) <= 2 * 124 * len(lost)


HELD_LOGS = [
    # story, the file a reader holds, how (the asker's word), until when ("start": the service started; "flood": the
    # first flood's end; "": all along), the floods' megabytes, the most one file holds, whether output is lost,
    # the records no information but the losses'. 9 MB of an earlier run there at the start count toward 10 MB.
    ("a viewer that shares reads and writes, not deletion, all along", "server.log", "view", "", (15, 0), 12, False,
     []),
    ("a reader that shares reads only, while the service starts", "server.log", "hold", "start", (15, 0), 12, False,
     [("warning", 9)]),
    ("a reader of an older file: the log grows to twice its size, then its output is counted lost until it moves",
     "server.2.log", "hold", "flood", (15, 6), 20, True, []),
]
EARLIER = 9 * MB // 22  # lines of 22 bytes


@pytest.mark.parametrize("story, name, how, until, floods, most, losing, written", HELD_LOGS, ids=[h[0] for h in HELD_LOGS])
def test_a_reader_of_the_log_loses_no_line_and_keeps_it_bounded(services, story, name, how, until, floods, most,
                                                                 losing, written):
    # A viewer: the log cannot move, and is copied aside. A reader sharing no writes: the output goes to server.0.log.
    # An older file held: nothing moves, the log waits at twice its size, each second of output tries again.
    first, second = floods
    root = Root(r"C:\viewed\bin\Quorlin.exe", "Quorlin", f"flood {first}\nflood_again_when freed {second}\n"
                "tick_when ticking\n")
    logs = unix(r"C:\viewed\logs")
    logs.mkdir()
    for flag in ("freed", "ticking"):  # an earlier row's
        (logs.parent / flag).unlink(missing_ok=True)
    (logs / "server.log").write_text("an earlier run's line\n" * EARLIER)
    older = {"server.1.log", name} - {"server.log"}
    for file in older:
        (logs / file).write_text("an older file\n")
    services("Quorlin")
    events = EventLog()
    with contextlib.ExitStack() as reading:
        reading.enter_context(held(rf"C:\viewed\logs\{name}", how))
        assert console(root.exe, "-install")[:2] == (0, "Service started\n")
        if until == "start":
            reading.close()
        assert wait_for(lambda: root.recorded("at flood ends"), 300)
        if until == "flood":  # a line each 100 ms, each a chance to move the log
            reading.close()
            (unix(r"C:\viewed") / "ticking").write_text("")
            assert wait_for(lambda: (logs / "server.3.log").exists())
        (unix(r"C:\viewed") / "freed").write_text("")
        assert wait_for(lambda: len(root.recorded("at flood ends")) == 1 + bool(second), 300)
        query("Quorlin", "stop")
        assert wait_for(lambda: query("Quorlin")[0] == 1)
    numbers, text = flood_lines(logs)
    assert numbers == sorted(set(numbers)) and numbers[len(numbers) - second * 10000:] == list(
        range(first * 10000, (first + second) * 10000)), "in order, the last flood whole"
    lost, missing = losses(text), (first + second) * 10000 - len(numbers)
    assert counted(lost, missing) and bool(missing) == losing, "counted as lost"
    assert text.count("an earlier run's line\n") == EARLIER and text.count("an older file\n") == len(older), "kept"
    assert max(f.stat().st_size for f in logs.iterdir()) <= most * MB and (logs / "server.2.log").exists(), "rotated"
    assert [r[:2] for r in events.records() if r[0] != "information"] == written + [("error", 5)] * 2 * len(lost)


def test_a_full_disk_costs_only_what_could_not_be_written(services, tmp_path):
    with small_drive("Q:", "8m"):
        root = Root(r"Q:\full\bin\Quorlin.exe", "Quorlin", "flood 3\nflood_again_when freed 1\nflood_at_stop 1\n")
        fill(r"Q:\full", left=1000000)
        services("Quorlin")
        events = EventLog()
        assert console(root.exe, "-install")[:2] == (0, "Service started\n")
        assert wait_for(lambda: root.recorded("at flood ends"), 120)
        assert wait_for(lambda: ("error", 5) in [r[:2] for r in events.records()]), "told while the disk is full"
        (unix(r"Q:\full") / "filler").unlink()
        (unix(r"Q:\full") / "freed").write_text("")
        assert wait_for(lambda: len(root.recorded("at flood ends")) == 2, 120)
        fill(r"Q:\full", left=0)  # the output as the server ends is lost: told then
        query("Quorlin", "stop")
        assert wait_for(lambda: query("Quorlin")[0] == 1)
        numbers, text = flood_lines(unix(r"Q:\full\logs"))
        assert numbers == sorted(set(numbers)) and 0 < numbers.index(30000) < 30000, "in order, the first flood cut"
        later = numbers.index(30000)
        assert numbers[later:later + 10000] == list(range(30000, 40000)), "every later line, without a restart"
        lost = losses(text)
        assert lost and {why for _, why in lost} == {text_of(112)[:-1].rstrip()}
        first = losses(text[:text.index(" flood line 000030000 ")])  # the stop's is told by a record or a line
        assert counted(first, 30000 - later), "each byte counted"
        assert [r[:2] for r in events.records() if r[0] == "error"] == [("error", 5)] * 2 * (len(first) + 1), "as it began, as it ended"
        kill()


SYSTEM_PATH = (r'C:\user tools;C:\user java;C:\user home\jre\bin;C:/user home/jre/bin;C:\not there;C:\user links;'
               r'C:\javapath;"C:\runtime";%SystemRoot%\system32;%SystemRoot%\system32\only64;%SystemRoot%')
PASSED = [r"C:\user tools", r"C:\user java", r"C:\user home\jre\bin", "C:/user home/jre/bin", r"C:\user links"]
LEFT_OUT = ("Left out of the server's PATH, as users other than the system and Administrators may change them or "
            r"make them: C:\user tools;C:\user home\jre\bin;C:/user home/jre/bin;C:\not there")
PASSED_OVER = " was passed over: users other than the system and Administrators may change it"


def test_javaw_on_the_path_runs_only_from_where_no_user_can_change_it(services, system_variables):
    # A folder open to everyone (a user may put their program there), a user's program in a closed
    # folder (Wine shows another uid's file as S-1-5-7's), and a closed folder inside one a user owns
    # (they may rename it away and put their own in its place), also written with forward slashes, and a
    # folder not there (any user may make it), and a closed folder of links to a user's program, all ahead of
    # the Java runtime's own: reached first through a closed folder of links to it (as its javapath is), then
    # quoted. And a folder that only the 64-bit System32 holds, which the 32-bit host reaches as Sysnative.
    root = Root(r"C:\pathed\bin\Quorlin.exe", "Quorlin", "", server=False)
    for folder in (r"C:\user home", r"C:\not there"):
        shutil.rmtree(unix(folder), ignore_errors=True)
    for folder, mode, owner in (("user tools", 0o777, 0), ("user java", 0o755, 1000), ("user home\\jre\\bin", 0o755, 0),
                                ("runtime", 0o755, 0)):
        unix(f"C:\\{folder}").mkdir(mode, parents=True, exist_ok=True)
        unix(f"C:\\{folder}").chmod(mode)
        shutil.copy(BUILD / "tools/javaw.exe", unix(f"C:\\{folder}") / "javaw.exe")
        os.chown(unix(f"C:\\{folder}") / "javaw.exe", owner, owner)
    os.chown(unix(r"C:\user home"), 1000, 1000)
    (DRIVE / "windows/system32/only64").mkdir(exist_ok=True)
    for folder, target in (("user links", "user tools"), ("javapath", "runtime")):
        shutil.rmtree(unix(f"C:\\{folder}"), ignore_errors=True)
        unix(f"C:\\{folder}").mkdir()
        (unix(f"C:\\{folder}") / "javaw.exe").symlink_to(unix(f"C:\\{target}") / "javaw.exe")
    system_variables("PATH", SYSTEM_PATH)
    services("Quorlin")
    events = EventLog()
    assert console(root.exe, "-install")[:2] == (0, "Service started\n")
    assert root.recorded("program") == [r"C:\runtime\javaw.exe"]
    assert root.recorded("command") == ["javaw.exe  -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"]
    assert [e for e in root.recorded("environment") if e.startswith("PATH=")] == [
        r'PATH=C:\pathed\bin;C:\user java;C:\user links;C:\javapath;"C:\runtime";C:\windows\system32;'
        r"C:\windows\system32\only64;C:\windows"], \
        "no folder a user may change"
    assert events.records() == [("warning", 8, LEFT_OUT)] + [
        ("warning", 4, f"javaw.exe in {folder}" + PASSED_OVER) for folder in PASSED] + [
        ("information", 1, r"The server runs: C:\runtime\javaw.exe")]
    query("Quorlin", "stop")
    assert wait_for(lambda: query("Quorlin")[0] == 1) and none_left()
    (unix(r"C:\runtime") / "javaw.exe").unlink()
    events = EventLog()
    ask("start", "Quorlin")
    assert wait_for(lambda: query("Quorlin")[0] == 1) and query("Quorlin")[:2] == (1, 4294967294)
    assert events.since() == ["error -2"] and len(events.since("warn")) == len(PASSED) + 1
    assert root.recorded("program") == [r"C:\runtime\javaw.exe"], "nothing a user could change ran"
