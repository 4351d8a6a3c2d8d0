# vexil_setup end to end: the JRE key as an installation finds it, the file it writes, the message box
# it shows, and Java's own reader on the result.
import pathlib
import shutil
import subprocess
import pytest
from conftest import BUILD, NO_KEY, NO_VALUE, console, quoted, store, text, unix

LINE = r"Software\\JavaSoft\\Java\ Runtime\ Environment\\1.5_JavaHome="

CASES = [
    # story, JavaHome: (registry type, data as stored), exit code, file, message box
    ("the worked example", (1, "C:\\Program Files\\Java\\jre1.5.0\0"), 0,
     LINE + r"C:\\Program\ Files\\Java\\jre1.5.0" + "\r\n", None),
    ("no JRE 1.5", NO_KEY, 0, "", None),
    ("no JavaHome", NO_VALUE, 1, "", "Failed to query name JavaHome. " + text(2)[:-1]),
    ("JavaHome of another type", (2, "%JRE%\0"), 1, "", "Type of value JavaHome is wrong"),
    ("text stored without its NUL", (1, "C:\\jre"), 0, LINE + r"C:\\jre" + "\r\n", None),
    ("text of no bytes at all", (1, ""), 0, LINE + "\r\n", None),
    ("a NUL inside the text ends it", (1, "C:\\a\0junk\0"), 0, LINE + r"C:\\a" + "\r\n", None),
    ("line breaks cannot forge a property", (1, "C:\\My Apps\\j=r#e:1!\r\nforged=yes\ttab\fend \\\0"), 0,
     LINE + r"C:\\My\ Apps\\j=r#e:1!\r\nforged=yes\ttab\fend\ \\" + "\r\n", None),
    # A read-only file would not do, since the tests run as root.
    ("a folder in the file's place", (1, "C:\\jre\0"), 1, None, "Failed to create reg_values.properties. " + text(5)[:-1]),
]


def run_setup(folder):
    """vexil_setup's exit code and message boxes (from Wine's trace), captioned "Install Error"."""
    code, _, trace = console(BUILD / "vexil_setup.exe", env={"WINEDEBUG": "-all,+relay"}, cwd=folder)
    boxes = quoted(trace, r"Call user32\.MessageBoxA\(\w+,\w+ ")
    assert quoted(trace, r'Call user32\.MessageBoxA\(\w+,\w+ "(?:[^"\\]|\\.)*",\w+ ') == ["Install Error"] * len(boxes)
    return code, boxes


@pytest.mark.parametrize("story, java_home, code, file, box", CASES, ids=[c[0] for c in CASES])
def test_writes_java_home_as_one_property_line(story, java_home, code, file, box):
    store(java_home)
    properties = unix(r"C:\setup\reg_values.properties")
    shutil.rmtree(properties.parent, ignore_errors=True)
    properties.parent.mkdir()
    properties.mkdir() if file is None else properties.write_bytes(b"JavaHome=from an earlier run\r\n")
    assert run_setup(properties.parent) == (code, [box] if box else [])
    assert file is None or properties.read_bytes().decode("latin-1") == file
    if file:
        value = java_home[1].split("\0")[0]
        key = r"Software\JavaSoft\Java Runtime Environment\1.5_JavaHome"
        assert subprocess.run(["java", pathlib.Path(__file__).parent / "ReadProperties.java", properties, key, value]
                              ).returncode == 0
