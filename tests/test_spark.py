"""examples/spark_convert.py on local[2] gives what a single process gives."""

from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
from conftest import CORPUS_DIR as CORPUS, needs_peer

pytestmark = pytest.mark.integration
needs_peer("pyspark", "pyspark")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs a Java runtime", allow_module_level=True)

ROOT = pathlib.Path(__file__).resolve().parents[1]


@pytest.fixture
def messages(tmp_path):
    """The real messages when present, else the samples, plus two that must fail."""
    folder = tmp_path / "in"
    folder.mkdir()
    source = CORPUS if CORPUS.is_dir() else ROOT / "examples"
    for path in source.glob("*.hl7"):
        shutil.copy(path, folder)
    (folder / "zz_latin1.hl7").write_bytes("MSH|^~\\&|caf\xe9".encode("latin-1"))
    (folder / "zz_blank.hl7").write_bytes(b"\r\n")
    return folder


def by_file(lines: list[dict]) -> dict[str, dict]:
    result = {}
    for line in lines:
        name = pathlib.PurePosixPath(line.pop("file")).name
        assert name not in result, f"{name} written twice"
        result[name] = line
    return result


@pytest.mark.slow
def test_spark_local_matches_single_process(messages, tmp_path):
    out = tmp_path / "out"
    env = dict(os.environ, PYSPARK_PYTHON=sys.executable, SPARK_LOCAL_IP="127.0.0.1")
    args = ["--validate", "--partitions", "3"]
    completed = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "spark_convert.py"), *args, str(messages), str(out)],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stderr[-5000:]
    parts = sorted(out.glob("part-*"))
    assert len(parts) == 3
    spark = by_file([json.loads(line) for part in parts for line in part.read_text().splitlines()])

    single = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "convert.py"), "--validate", str(messages)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert single.returncode == 0, single.stderr
    expected = by_file([json.loads(line) for line in single.stdout.splitlines()])

    assert spark == expected
    failures = sum("error" in line for line in expected.values())
    segments = sum(len(line.get("records", ())) for line in expected.values())
    assert 2 <= failures < len(expected)
    summary = re.search(r"(\d+) files, (\d+) segments, (\d+) failures", completed.stderr)
    assert summary and summary.groups() == (str(len(expected)), str(segments), str(failures))
