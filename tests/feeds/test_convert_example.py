"""The main job, scripts/run-examples: the `tessarin` command on examples/."""

from __future__ import annotations

import json
import pathlib
import shlex
import subprocess
import sys

from tessarin import Hl7Json

from conftest import needs_command

pytestmark = needs_command

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_run_examples_command_converts_every_sample():
    script = (ROOT / "scripts" / "run-examples").read_text()
    command = shlex.split(next(line for line in script.splitlines() if line.startswith("exec ")))
    assert command[:2] == ["exec", ".venv/bin/tessarin"]
    # The console script appears with the next install; the module is the same program.
    assert command[-1] == "$@"
    args = [sys.executable, "-m", "tessarin_feeds", *command[2:-1]]
    done = subprocess.run(args, cwd=ROOT, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    samples = sorted((ROOT / "examples").glob("*.hl7"))
    assert [line["source"] for line in lines] == [f"examples/{p.name}" for p in samples]
    for line, path in zip(lines, samples, strict=True):
        assert line["records"] == Hl7Json(path.read_text().rstrip("\r\n")).hl7_json
    assert "messages: 3" in done.stderr.decode()
