"""bench/feeds.py and bench/parquet_feed.py run and report every figure (no timing is asserted)."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys

import pytest

from conftest import needs_command, needs_corpus

pytestmark = needs_command

ROOT = pathlib.Path(__file__).resolve().parents[2]


def check_feeds(results: dict, stdout: str) -> None:
    speed, memory = results["feeds"]["speed"], results["feeds"]["memory"]
    assert speed["messages"] > 0 and all(rate > 0 for rate in speed["messages_per_s"].values())
    assert speed["1 job / Hl7Json+orjson"] > 0 and speed["2 jobs / 1 job"] > 0
    assert memory["large"]["input_bytes"] > 10 * memory["small"]["input_bytes"]
    assert "2 jobs / 1 job" in stdout


def check_parquet_feed(results: dict, stdout: str) -> None:
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
    assert "baseline CPU / command CPU" in stdout


@needs_corpus
@pytest.mark.parametrize(
    "script, check",
    [
        ("feeds.py", check_feeds),
        pytest.param("parquet_feed.py", check_parquet_feed, marks=pytest.mark.slow),
    ],
)
def test_quick_benchmark_writes_its_own_key(tmp_path: pathlib.Path, script: str, check) -> None:  # noqa: ANN001
    if script == "parquet_feed.py":
        pytest.importorskip("pyarrow")
    out = tmp_path / "results.json"
    out.write_text(json.dumps({"other": {"kept": True}}))
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / script), "--quick", "--out", str(out)],
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert done.returncode == 0, done.stderr
    results = json.loads(out.read_text())
    assert results["other"] == {"kept": True}
    check(results, done.stdout)
