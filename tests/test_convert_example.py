"""examples/convert.py, the main job: files and folders in, JSON Lines out."""

from __future__ import annotations

import json
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import CORPUS_DIR as CORPUS, needs_corpus
from tessarin import Hl7Json, JsonHl7

ROOT = pathlib.Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "examples" / "convert.py"
SUMMARY = re.compile(r"(\d+) files, (\d+) segments, (\d+) failures, (\d+) messages/s")

# How the module and the script word a failure; anything else is a crash that leaked out.
FAILURE_TEXTS = re.compile(
    r"not UTF-8 text: |empty file$|cannot read: |Missing required segment: |HL7 validation failed: "
    r"|Invalid field separators: |Invalid segment name: |HL7 version not supported: "
    r"|Field value exceeds maximum length: "
)


def run(*args: str, cwd: pathlib.Path = ROOT) -> tuple[list[dict], str]:
    completed = subprocess.run(
        [sys.executable, str(SCRIPT), *args], cwd=cwd, capture_output=True, text=True, timeout=300
    )
    assert completed.returncode == 0, completed.stderr
    return [json.loads(line) for line in completed.stdout.splitlines()], completed.stderr


def check_output(lines: list[dict], stderr: str, expected_files: list[str]) -> None:
    """One object per file, each with records or an error, and a summary that adds up."""
    assert [line["file"] for line in lines] == expected_files
    for line in lines:
        assert set(line) in ({"file", "records"}, {"file", "error"}), line.keys()
        if "records" in line:
            assert line["records"] and all(
                isinstance(k, str) and isinstance(v, str) for record in line["records"] for k, v in record.items()
            )
        else:
            assert FAILURE_TEXTS.match(line["error"]), line["error"]
    summary = SUMMARY.search(stderr.splitlines()[-1])
    assert summary, stderr
    files, segments, failures, _ = map(int, summary.groups())
    assert files == len(lines)
    assert failures == sum("error" in line for line in lines)
    assert segments == sum(len(line.get("records", ())) for line in lines)


def test_sample_messages(tmp_path):
    lines, stderr = run("examples/")
    expected = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "examples").glob("*.hl7"))
    check_output(lines, stderr, expected)
    assert all("records" in line for line in lines)
    assert len(stderr.splitlines()) == 1  # a few files: the summary alone


def test_line_ends_failures_and_output_file(tmp_path):
    body = ["MSH|^~\\&|A|B|C|D|20240101||ADT^A01^ADT_A01|1|P|2.5", "PID|1||42^^^H^MR", "NTE|1||a \\T\\ b"]
    (tmp_path / "crlf.hl7").write_bytes(("\r\n".join(body) + "\r\n").encode())
    (tmp_path / "cr.hl7").write_bytes(("\r".join(body) + "\r").encode())
    (tmp_path / "lf.hl7").write_bytes("\n".join(body).encode())
    (tmp_path / "latin1.hl7").write_bytes("MSH|^~\\&|caf\xe9".encode("latin-1"))
    (tmp_path / "blank.hl7").write_bytes(b" \r\n\r\n")
    (tmp_path / "notes.txt").write_text("not a message")
    missing = tmp_path / "missing.hl7"
    out = tmp_path / "out.jsonl"
    lines, stderr = run("--validate", "-o", str(out), str(tmp_path), str(missing))
    assert lines == []
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    names = ["blank.hl7", "cr.hl7", "crlf.hl7", "latin1.hl7", "lf.hl7"]
    check_output(lines, stderr, [str(tmp_path / n) for n in names] + [str(missing)])
    by_name = {pathlib.Path(line["file"]).name: line for line in lines}
    # Any line ends give the same records; the final line end is not an empty segment.
    assert by_name["cr.hl7"]["records"] == by_name["crlf.hl7"]["records"] == by_name["lf.hl7"]["records"]
    assert by_name["lf.hl7"]["records"][2]["3"] == "a & b"
    assert by_name["blank.hl7"]["error"] == "empty file"
    assert by_name["latin1.hl7"]["error"].startswith("not UTF-8 text: ")
    assert by_name["missing.hl7"]["error"].startswith("cannot read: ")


@pytest.mark.parametrize("flag, shown", [("--progress", True), ("--no-progress", False)])
def test_progress_bar_on_standard_error(tmp_path, flag, shown):
    for i in range(25):
        (tmp_path / f"m{i:02}.hl7").write_text(f"MSH|^~\\&|A|B\rPID|{i}")
    lines, stderr = run(flag, str(tmp_path))
    assert len(lines) == 25
    assert ("25/25 files" in stderr) is shown
    assert stderr.rstrip().splitlines()[-1].startswith("25 files, 50 segments, 0 failures")


@needs_corpus
@pytest.mark.parametrize("options", [[], ["--validate", "--strict"]], ids=["plain", "validated"])
def test_real_messages_convert_or_report(options):
    files = sorted(CORPUS.glob("*.hl7"))
    lines, stderr = run("--progress", *options, str(CORPUS))
    check_output(lines, stderr, [str(p) for p in files])
    assert "/{0} files".format(len(files)) in stderr
    if not options:
        # Without validation only files that hold no UTF-8 text fail.
        for path, line in zip(files, lines):
            try:
                readable = bool(path.read_bytes().decode("utf-8").strip())
            except UnicodeDecodeError:
                readable = False
            assert ("records" in line) is readable, line


@needs_corpus
def test_real_messages_come_back_from_the_json_lines():
    lines, _ = run("--no-escaping", str(CORPUS))
    converted = [line for line in lines if "records" in line]
    assert converted
    for line in converted:
        text = pathlib.Path(line["file"]).read_text(encoding="utf-8")
        expected = Hl7Json(text.rstrip("\r\n")).hl7_string
        assert JsonHl7(line["records"]).hl7_string_unescaped == expected, line["file"]
