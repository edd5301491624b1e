"""bench/feeds.py runs and reports every figure (no timing is asserted)."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys

from conftest import needs_command, needs_corpus

pytestmark = needs_command

ROOT = pathlib.Path(__file__).resolve().parents[2]


@needs_corpus
def test_quick_benchmark_writes_its_own_key(tmp_path):
    out = tmp_path / "results.json"
    out.write_text(json.dumps({"other": {"kept": True}}))
    done = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "feeds.py"), "--quick", "--out", str(out)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    results = json.loads(out.read_text())
    assert results["other"] == {"kept": True}
    speed, memory = results["feeds"]["speed"], results["feeds"]["memory"]
    assert speed["messages"] > 0 and all(rate > 0 for rate in speed["messages_per_s"].values())
    assert speed["1 job / Hl7Json+orjson"] > 0 and speed["2 jobs / 1 job"] > 0
    assert memory["large"]["input_bytes"] > 10 * memory["small"]["input_bytes"]
    assert "2 jobs / 1 job" in done.stdout
