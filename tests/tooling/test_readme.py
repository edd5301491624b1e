"""The README's examples run, and its tables and promises match the module."""

from __future__ import annotations

import doctest
import importlib.util
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

import tessarin
from tessarin import Hl7Json, JsonHl7

from conftest import CORPUS_DIR as CORPUS
from conftest import needs_command, needs_corpus

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
BLOCKS = [(README[: m.start()].count("\n") + 1, m.group(1), m.group(2)) for m in FENCE.finditer(README)]
PYTHON_BLOCKS = [(line, body) for line, lang, body in BLOCKS if lang == "python"]


def section(title: str) -> str:
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def table_rows(text: str) -> list[list[str]]:
    rows = []
    for line in text.splitlines():
        if line.startswith("|") and not line.startswith("|---"):
            cells = re.split(r"(?<!\\)\|", line.strip())[1:-1]
            rows.append([c.strip().replace("\\|", "|") for c in cells])
    return rows[1:]  # without the header


def test_every_code_block_is_a_tested_doctest_a_shell_command_or_a_tested_query():
    assert PYTHON_BLOCKS
    for line, lang, body in BLOCKS:
        # sql blocks are run by test_readme_feeds.py.
        assert lang in ("python", "sh", "sql"), f"README line {line}: untested block language {lang!r}"
        if lang == "python":
            assert body.lstrip().startswith(">>>"), f"README line {line}: python block without doctest"


@pytest.mark.parametrize("line, body", PYTHON_BLOCKS, ids=[f"line{line}" for line, _ in PYTHON_BLOCKS])
def test_python_examples(line, body, tmp_path, monkeypatch):
    # An example that imports an optional package (duckdb, pyarrow) needs it installed.
    for module in re.findall(r"^>>> import (.+)$", body, re.MULTILINE):
        for name in (part.split()[0] for part in module.split(",")):
            if importlib.util.find_spec(name) is None:
                pytest.skip(f"the example needs {name}, not installed here")
    # The examples read the sample messages from examples/ and may write files.
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    parser = doctest.DocTestParser()
    test = parser.get_doctest(body, {"Hl7Json": Hl7Json, "JsonHl7": JsonHl7}, f"README.md:{line}", "README.md", line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 0
    assert result.failed == 0, f"README example at line {line} failed (details above)"


def test_api_table_names_every_member():
    api = section("The API")
    for cls in (Hl7Json, JsonHl7):
        for name in vars(cls):
            if not name.startswith("__"):
                assert re.search(rf"`[^`]*\b{re.escape(name)}\b", api), f"{cls.__name__}.{name} is not documented"


def test_the_two_commands_exist():
    setup = section("Set-up and the two commands")
    commands = re.findall(r"`bash (scripts/[\w-]+)`", setup)
    assert commands == ["scripts/run-examples", "scripts/run-tests"]
    for script in commands:
        assert (ROOT / script).is_file()
    assert "tessarin convert" in (ROOT / "scripts/run-examples").read_text()


HEADER = "MSH|^~\\&|APP|FAC|APP|FAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5"

# For each rule of the README's validation table: (text, strict_mode, validate_required_fields).
VALIDATION_FAILURES = {
    "1": ("PID|1\rMSH|^~\\&", False, False),
    "2": ("MSH|^~\\&|APP|FAC|APP|FAC|20240101||ADT^A01^ADT_A01|MSG1|P", False, False),
    "3": (HEADER.replace("^~\\&", "^~\\&#"), False, False),
    "4": (HEADER.replace("|2.5", "|2.5 "), True, False),
    "5": (HEADER.replace("ADT^A01^ADT_A01", "ADT^A01"), True, False),
    "6": (HEADER + "\rEVN|A01", False, True),
    "7": (HEADER + "\r\rPID|1", False, False),
    "8": (HEADER + "\rPV1|1", False, False),
    "9": (HEADER + "\rNTE|1||" + "x" * 65537, False, False),
}


def validation_table():
    return {row[0]: row[2] for row in table_rows(section("Validation"))}


def test_validation_table_lists_the_rules():
    assert list(validation_table()) == list(VALIDATION_FAILURES)


@pytest.mark.parametrize("rule", VALIDATION_FAILURES)
def test_validation_table_messages(rule):
    text, strict, required = VALIDATION_FAILURES[rule]
    documented = re.match(r"`([^`]*)`", validation_table()[rule]).group(1)
    # "..." stands for the rejected text, N and LENGTH for numbers.
    pattern = re.sub(r"\bN\b|\bLENGTH\b", r"\\d+", re.escape(documented)).replace(r"\.\.\.", ".*")
    with pytest.raises(Exception) as info:
        Hl7Json(text).validate(strict, required)
    assert type(info.value) is Exception
    assert re.fullmatch(pattern, str(info.value)), (documented, str(info.value))


def test_every_validation_rule_passes_on_a_valid_message():
    message = HEADER + "\rPID|1||123^^^H^MR\rNTE|1||" + "x" * 65536
    assert Hl7Json(message).validate(True, True) is None
    assert Hl7Json(message, validation_enabled=True, strict_validation=True).hl7_json


corpus_files = sorted(CORPUS.glob("*.hl7")) if CORPUS.is_dir() else []


@needs_corpus
@pytest.mark.parametrize("path", corpus_files, ids=[p.name for p in corpus_files])
def test_round_trip_promises_on_real_messages(path):
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    plain = Hl7Json(text, escaping_enabled=False)
    assert JsonHl7(plain.hl7_json).hl7_string_unescaped == plain.hl7_string
    records = Hl7Json(text).hl7_json
    escaped = JsonHl7(records).hl7_string
    assert Hl7Json(escaped).hl7_json == records


def test_module_attributes_are_the_documented_ones():
    # The README sends users to importlib.metadata for the version.
    assert not hasattr(tessarin, "__version__")
    assert tessarin.__all__ == ["Hl7Json", "JsonHl7"]


SAMPLE_COMMANDS = [
    line.split("#")[0].strip()
    for _, lang, body in BLOCKS
    if lang == "sh"
    for line in body.splitlines()
    if line.startswith("tessarin ") and "examples/" in line
]


@needs_command
@pytest.mark.parametrize("command", SAMPLE_COMMANDS)
def test_command_examples_on_the_samples_succeed(command, tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    program = [sys.executable, "-m", "tessarin_feeds", *shlex.split(command)[1:]]
    completed = subprocess.run(program, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.count("\n") >= 2
