# vexil_setup end to end: the JRE key as an installation finds it, the file it writes, the message box
# it shows, and Java's own reader on the result.
import contextlib
import os
import pathlib
import shutil
import subprocess
import pytest
from conftest import BUILD, NO_KEY, NO_VALUE, RUN, console, fill, made_once, quoted, small_drive, store, text, unix

LINE = r"Software\\JavaSoft\\Java\ Runtime\ Environment\\1.5_JavaHome="

CASES = [
    # story, the machine's language (LC_ALL; None: Wine's default, code page 1252), JavaHome: (registry
    # type, data as stored), exit code, file, message box
    ("the worked example", None, (1, "C:\\Program Files\\Java\\jre1.5.0\0"), 0,
     LINE + r"C:\\Program\ Files\\Java\\jre1.5.0" + "\r\n", None),
    ("no JRE 1.5", None, NO_KEY, 0, "", None),
    ("no JavaHome", None, NO_VALUE, 1, "", "Failed to query name JavaHome. " + text(2)[:-1]),
    ("JavaHome of another type", None, (2, "%JRE%\0"), 1, "", "Type of value JavaHome is wrong"),
    ("text stored without its NUL", None, (1, "C:\\jre"), 0, LINE + r"C:\\jre" + "\r\n", None),
    ("text of no bytes at all", None, (1, ""), 0, LINE + "\r\n", None),
    ("a NUL inside the text ends it", None, (1, "C:\\a\0junk\0"), 0, LINE + r"C:\\a" + "\r\n", None),
    ("line breaks cannot forge a property", None, (1, "C:\\My Apps\\j=r#e:1!\r\nforged=yes\ttab\fend \\\0"), 0,
     LINE + r"C:\\My\ Apps\\j=r#e:1!\r\nforged=yes\ttab\fend\ \\" + "\r\n", None),
    # A read-only file would not do, since the tests run as root.
    ("a folder in the file's place", None, (1, "C:\\jre\0"), 1, None, "Failed to create reg_values.properties. " + text(5)[:-1]),
    ("a full disk", None, (1, "C:\\jre\0"), 1, "", "Failed to write reg_values.properties. " + text(112)[:-1]),
    ("an umlaut on a German machine (1252)", "de_DE.UTF-8", (1, "C:\\Jäva\0"), 0, LINE + r"C:\\J\u00E4va" + "\r\n", None),
    ("a Russian machine (1251)", "ru_RU.UTF-8", (1, "C:\\Ява\0"), 0, LINE + r"C:\\\u042F\u0432\u0430" + "\r\n", None),
    ("a Japanese machine (932), a second byte 0x5C", "ja_JP.UTF-8", (1, "C:\\ソフト\\表\0"), 0,
     LINE + r"C:\\\u30BD\u30D5\u30C8\\\u8868" + "\r\n", None),
    ("Cyrillic beyond a German machine's code page", "de_DE.UTF-8", (1, "C:\\Ява\0"), 0,
     LINE + r"C:\\\u042F\u0432\u0430" + "\r\n", None),
]


def run_setup(folder, locale):
    """vexil_setup's exit code and message boxes (from Wine's trace), captioned "Install Error", each
    text on standard error too, where a silent installation's log finds it."""
    language = {"LC_ALL": locale} if locale else {}
    code, _, trace = console(BUILD / "vexil_setup.exe", env={"WINEDEBUG": "-all,+relay", **language}, cwd=folder)
    boxes = quoted(trace, r"Call user32\.MessageBoxA\(\w+,\w+ ")
    assert quoted(trace, r'Call user32\.MessageBoxA\(\w+,\w+ "(?:[^"\\]|\\.)*",\w+ ') == ["Install Error"] * len(boxes)
    assert [box for box in boxes if f"Install Error: {box}" not in trace.replace("\r", "")] == []
    return code, boxes


@pytest.fixture(scope="session")
def reader():
    """Java's own reader of properties files (ReadProperties.java), compiled once per run."""
    source = pathlib.Path(__file__).parent / "ReadProperties.java"
    return made_once(RUN / "classes", lambda made: subprocess.run(["javac", "-d", made, source], check=True))


@pytest.mark.parametrize("story, locale, java_home, code, file, box", CASES, ids=[c[0] for c in CASES])
def test_writes_java_home_as_one_property_line(reader, story, locale, java_home, code, file, box):
    store(java_home)
    full = story == "a full disk"
    with small_drive("Q:", "1m") if full else contextlib.nullcontext():
        properties = unix(r"Q:\setup\reg_values.properties" if full else r"C:\setup\reg_values.properties")
        shutil.rmtree(properties.parent, ignore_errors=True)
        properties.parent.mkdir()
        properties.mkdir() if file is None else properties.write_bytes(b"JavaHome=from an earlier run\r\n")
        if full:  # and no page of an earlier file to free
            properties.unlink()
            fill(properties.parent, left=0)
        assert run_setup(properties.parent, locale) == (code, [box] if box else [])
        written = None if file is None else properties.read_bytes().decode("latin-1")
    assert written == file
    if file:
        value = java_home[1].split("\0")[0]
        key = r"Software\JavaSoft\Java Runtime Environment\1.5_JavaHome"
        assert subprocess.run(["java", "-cp", reader, "ReadProperties", properties, key, value],
                              env=dict(os.environ, LC_ALL="C.UTF-8")).returncode == 0
