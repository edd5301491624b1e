"""bench/parquet_feed.py runs and reports every figure (no timing is asserted)."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys

import pytest

from conftest import needs_command, needs_corpus

pytestmark = [needs_command, pytest.mark.slow]

ROOT = pathlib.Path(__file__).resolve().parents[2]


@needs_corpus
def test_quick_benchmark_writes_its_own_key(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("pyarrow")
    out = tmp_path / "results.json"
    out.write_text(json.dumps({"other": {"kept": True}}))
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "parquet_feed.py"), "--quick", "--out", str(out)],
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert done.returncode == 0, done.stderr
    results = json.loads(out.read_text())
    assert results["other"] == {"kept": True}
    ours = results["parquet feed"]
    ratios = ours["baseline / command (CPU, start-up subtracted)"]
    assert set(ratios) == {f"{i}, {w}" for i in ("folder", "big file") for w in ("now", "before")}
    assert all(value > 0 for value in ratios.values())
    assert all(value > 0 for value in ours["2 jobs / 1 job (wall)"].values())
    assert ours["memory"]["large"]["input_bytes"] > 5 * ours["memory"]["small"]["input_bytes"]
    assert 0 < ours["batch memory"]["batch peak / text"] < 100
    options = ours["writer options"]
    assert set(options["CPU / kept"]) == set(options["MB"]) and options["CPU / kept"]["kept"] == 1
    assert all(value > 0 for value in options["CPU / kept"].values())
    assert "baseline CPU / command CPU" in done.stdout
