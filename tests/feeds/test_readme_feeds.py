"""The DuckDB query of the README's "Converting feeds" section answers right
on Parquet that the command made from the feed fixtures."""

from __future__ import annotations

import pathlib
import re
import shutil
import subprocess

import pytest

import feed_fixtures
from conftest import needs_command

pytestmark = needs_command

ROOT = pathlib.Path(__file__).resolve().parents[2]
TESSARIN = ROOT / ".venv" / "bin" / "tessarin"
TITLE = "## Converting feeds"


def feeds_section() -> str | None:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    if f"\n{TITLE}\n" not in readme:
        return None
    return readme.split(f"\n{TITLE}\n", 1)[1].split("\n## ", 1)[0]


@pytest.mark.integration
def test_the_readme_query_lists_every_obx_result_with_its_patient(tmp_path, monkeypatch):
    section = feeds_section()
    if section is None:
        pytest.skip(f"README.md has no '{TITLE}' section yet")
    queries = re.findall(r"^```sql\n(.*?)^```$", section, re.M | re.S)
    assert len(queries) == 1, "the section should hold exactly one sql block"
    if not feed_fixtures.corpus_available():
        pytest.skip(f"the corpus is not at {feed_fixtures.CORPUS_DIR}")
    duckdb = pytest.importorskip("duckdb")
    pytest.importorskip("hl7", reason="the peer package hl7 is not installed")
    from tessarin_feeds.sql import install

    from feed_answers import convert_folder
    from hl7_text import obx_results

    # The feed fixtures, and the corpus itself for the fields real feeds hold.
    folder = tmp_path / "feeds"
    feed_fixtures.build_fixtures(folder / "fixtures")
    shutil.copytree(feed_fixtures.CORPUS_DIR, folder / "corpus")
    # The query reads messages.parquet from the working folder, as the README's command writes it.
    completed = subprocess.run(
        [str(TESSARIN), "convert", str(folder), "-o", "messages.parquet", "--jobs", "1", "--no-progress"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 1, completed.stderr[-3000:]  # the fixtures hold faults to report
    monkeypatch.chdir(tmp_path)

    install(duckdb.default_connection())
    answer = duckdb.sql(queries[0]).fetchall()

    # Every OBX, its fields whole as python-hl7 reads them: repetitions, a
    # fifth component and escapes included.
    expected = sorted(obx_results(convert_folder(folder)), key=repr)
    assert len(expected) >= 4
    assert any("~" in (value or "") or (value or "").count("^") > 3 for _, _, value, _ in expected)
    assert sorted(answer, key=repr) == expected
    assert [row[0] for row in answer] == sorted(row[0] for row in answer)  # ordered by patient
