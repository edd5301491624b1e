"""The type stubs that ship in the wheel: found by mypy from the installed
package, complete for every member, and in agreement with the runtime.

stubtest compares names, parameters and defaults but not whether a property
can be written, nor what a call returns; the misuse cases below check those
from both sides: mypy must reject each one, and the module must refuse it.
"""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import tessarin

from conftest import needs_command

pytest.importorskip("mypy")

SAMPLE = """
from __future__ import annotations

import json
import pathlib
from collections.abc import Sequence
from typing import TYPE_CHECKING

import tessarin
from tessarin import Hl7Json, JsonHl7

TEXT = "MSH|^~\\\\&|APP|FAC|||20240101||ADT^A01^ADT_A01|MSG1|P|2.5\\rPID|1||123^^^H^MR"


def convert(text: str) -> list[dict[str, str]]:
    h = Hl7Json(text, validation_enabled=None, strict_validation=False, escaping_enabled=True)
    h.validation_enabled = True
    h.strict_validation = h.validation_enabled and False
    h.escaping_enabled = not h.escaping_enabled
    h.validate(None, None)
    h.validate(strict_mode=True, validate_required_fields=False)
    segment: dict[str, str] = h._split_hl7_seg_to_json("PID|1")
    segment = h._split_hl7_seg_to_json_with_escaping(seg="PID|a\\\\T\\\\b")
    assert segment
    stored: str = h.hl7_string
    assert stored
    records = h.hl7_json
    assert records == h._convert_hl7_to_json()
    return records


def back(records: Sequence[dict[str, str]], folder: pathlib.Path) -> str:
    j = JsonHl7(records)
    again: list[dict[str, str]] = j.json_data
    path = folder / "records.json"
    path.write_text(json.dumps(again))
    k = JsonHl7.from_file(str(path))
    escaped: str = k.hl7_string
    plain: str = k.hl7_string_unescaped
    assert k._convert_json_to_hl7(True) == escaped
    assert k._convert_json_to_hl7(escape=False) == plain
    return plain


def main(folder: pathlib.Path) -> None:
    (folder / "message.hl7").write_text(TEXT)
    h = Hl7Json.from_file(str(folder / "message.hl7"), None, None, False)
    assert back(tuple(convert(h.hl7_string)), folder)
    names: list[str] = tessarin.__all__
    assert names == ["Hl7Json", "JsonHl7"]


if TYPE_CHECKING:
    reveal_type(Hl7Json.from_file("x").hl7_json)
    reveal_type(JsonHl7([]).hl7_string)
    reveal_type(Hl7Json("").validate(None, None))
"""

# Each line: mypy must report an error on it, and the module must raise.
MISUSES = {
    "read-only hl7_string": ('Hl7Json("").hl7_string = "x"', AttributeError),
    "read-only hl7_json": ('Hl7Json("").hl7_json = []', AttributeError),
    "read-only json_data": ("JsonHl7([]).json_data = []", AttributeError),
    "read-only JsonHl7.hl7_string": ('JsonHl7([]).hl7_string = ""', AttributeError),
    "read-only hl7_string_unescaped": ('JsonHl7([]).hl7_string_unescaped = ""', AttributeError),
    "option set to None": ('Hl7Json("").escaping_enabled = None', TypeError),
    "option set to int": ('Hl7Json("").strict_validation = 1', TypeError),
    "validate arguments required": ('Hl7Json("").validate()', TypeError),
    "validate second argument required": ('Hl7Json("").validate(True)', TypeError),
    "text not str": ("Hl7Json(b'MSH|')", TypeError),
    "unknown keyword": ('Hl7Json("", strict=True)', TypeError),
    "from_file unknown keyword": ('Hl7Json.from_file(path="x", escape=True)', TypeError),
    "records as str": ('JsonHl7("[]")', TypeError),
    "record value not str": ('JsonHl7([{"1": 5}])', TypeError),
    "records as dict": ('JsonHl7({"1": "a"})', TypeError),
    "escape not optional": ("JsonHl7([])._convert_json_to_hl7(None)", TypeError),
    "no-argument method": ('Hl7Json("")._convert_hl7_to_json(True)', TypeError),
    "final Hl7Json": ("class Sub(Hl7Json): ...", TypeError),
    "final JsonHl7": ("class Sub(JsonHl7): ...", TypeError),
}


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    """One strict mypy run over the sample program and every misuse, file by file."""
    folder = tmp_path_factory.mktemp("typing")
    (folder / "sample.py").write_text(SAMPLE)
    for index, (code, _) in enumerate(MISUSES.values()):
        (folder / f"misuse_{index}.py").write_text(f"from tessarin import Hl7Json, JsonHl7\n{code}\n")
    # Run outside the source tree, so only the installed package can supply stubs.
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(folder / ".cache"), "."],
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=300,
    )
    by_file: dict[str, list[str]] = {}
    for line in completed.stdout.splitlines():
        name, _, rest = line.partition(":")
        by_file.setdefault(name, []).append(rest)
    return folder, by_file, completed


def test_sample_program_passes_strict_mypy_and_runs(mypy_run, tmp_path):
    folder, by_file, completed = mypy_run
    messages = by_file.get("sample.py", [])
    errors = [m for m in messages if " error: " in m]
    assert errors == [], completed.stdout + completed.stderr
    # Older mypy spells builtin types with their module.
    revealed = [
        re.sub(r"^\d+: note: Revealed type is ", "", m).replace("builtins.", "")
        for m in messages
        if "Revealed type" in m
    ]
    assert revealed == ['"list[dict[str, str]]"', '"str"', '"None"']
    # The same program runs against the module.
    namespace: dict[str, object] = {}
    exec(compile((folder / "sample.py").read_text(), "sample.py", "exec"), namespace)
    namespace["main"](tmp_path)


@pytest.mark.parametrize("name", MISUSES)
def test_misuse_is_rejected_by_mypy_and_at_runtime(mypy_run, name):
    _, by_file, completed = mypy_run
    index = list(MISUSES).index(name)
    code, exception = MISUSES[name]
    errors = [m for m in by_file.get(f"misuse_{index}.py", []) if " error: " in m]
    assert errors, f"mypy accepted {code!r}\n{completed.stdout}"
    with pytest.raises(exception):
        exec(code, {"Hl7Json": tessarin.Hl7Json, "JsonHl7": tessarin.JsonHl7})


def test_stubtest_finds_no_difference(tmp_path):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tessarin"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_stubs_name_every_member():
    # The wheel's copy is checked against this one in the packaging tests.
    text = (pathlib.Path(__file__).resolve().parents[2] / "tessarin-stubs" / "__init__.pyi").read_text()
    for cls in (tessarin.Hl7Json, tessarin.JsonHl7):
        body = text.split(f"class {cls.__name__}:", 1)[1].split("\nclass ", 1)[0]
        declared = set(re.findall(r"def (\w+)\(", body))
        runtime = {name for name in vars(cls) if not name.startswith("__")} | {"__new__"}
        assert runtime == declared, textwrap.shorten(body, 200)


@needs_command  # its imports are part of what mypy checks
def test_feed_package_passes_strict_mypy(tmp_path):
    package = pathlib.Path(__file__).resolve().parents[2] / "src" / "tessarin_feeds"
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / ".cache"), str(package)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
