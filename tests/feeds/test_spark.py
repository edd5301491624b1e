"""examples/spark_convert.py on local[2] writes the rows the Parquet output
writes, and Spark's own Parquet reader reads them back."""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import CORPUS_DIR as CORPUS
from conftest import needs_peer

pytestmark = pytest.mark.integration
needs_peer("pyspark", "pyspark")
pq = pytest.importorskip("pyarrow.parquet")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs a Java runtime", allow_module_level=True)

needs_peer("hl7", "hl7")

from bench.dict_paths import encode_rows  # noqa: E402
from tessarin_feeds.pipeline import Settings, convert_message  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402
from tessarin_feeds.sql import spark_fields_sql  # noqa: E402

import feed_fixtures  # noqa: E402
import hl7_text  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]

# The columns of tessarin's Parquet output, as Spark names their types.
SPARK_SCHEMA = (
    "struct<source:string,message:int,offset:bigint,message_type:string,control_id:string,sent_at:string,"
    "envelope:array<struct<segment_name:string,fields:map<string,string>>>,"
    "segments:array<struct<segment_name:string,fields:map<string,string>>>,error:string>"
)


@pytest.fixture
def feeds(tmp_path):
    """The corpus with the feed fixtures in a sub-folder, or the samples when the corpus is missing."""
    folder = tmp_path / "in"
    if CORPUS.is_dir():
        shutil.copytree(CORPUS, folder)
        feed_fixtures.build_fixtures(folder / "fixtures")
    else:
        shutil.copytree(ROOT / "examples", folder, ignore=shutil.ignore_patterns("*.py"))
    (folder / "zz_latin1.hl7").write_bytes("MSH|^~\\&|caf\xe9".encode("latin-1"))
    return folder


def expected_rows(folder: pathlib.Path, source_names: dict[pathlib.Path, str]) -> list[dict]:
    """What the Parquet output gives for every file, converted in this process."""
    settings = Settings(validate=True)
    rows = []
    for path in sorted(p for p in folder.rglob("*") if p.is_file()):
        name = source_names.get(path, str(path))
        messages = read_messages(path.read_bytes(), name=name)
        rows.extend(encode_rows([convert_message(m, settings) for m in messages]).to_pylist())
    return sorted(rows, key=lambda row: (row["source"], row["message"]))


def message_texts(folder: pathlib.Path, source_names: dict[pathlib.Path, str]) -> dict[tuple[str, int], str]:
    """Every converted message's text by (source, index)."""
    return {
        (name, message.index): message.text
        for path in sorted(p for p in folder.rglob("*") if p.is_file())
        for name in [source_names.get(path, str(path))]
        for message in read_messages(path.read_bytes(), name=name)
    }


def as_dicts(rows: list[dict]) -> list[dict]:
    """Rows with each map as a dict: Spark hands maps to Python as dicts."""
    for row in rows:
        for segment in [*(row["envelope"] or ()), *(row["segments"] or ())]:
            segment["fields"] = dict(segment["fields"])
    return rows


def spark_env() -> dict[str, str]:
    env = dict(os.environ, PYSPARK_PYTHON=sys.executable, SPARK_LOCAL_IP="127.0.0.1")
    if pathlib.Path("/lib/ld-musl-x86_64.so.1").exists():
        # snappy-java takes a machine with musl's loader for a musl system and
        # loads the wrong native library; the rows are what is tested here.
        env["PYSPARK_SUBMIT_ARGS"] = "--conf spark.sql.parquet.compression.codec=uncompressed pyspark-shell"
    return env


@pytest.mark.slow
def _end_the_gateway() -> None:
    """Stop the JVM and py4j's threads, which Spark keeps for a next session:
    the allocation sweeps that run later in this process fail every thread's
    allocations, not only their own."""
    from pyspark import SparkContext

    gateway = SparkContext._gateway
    if gateway is None:
        return
    gateway.shutdown()
    if getattr(gateway, "proc", None) is not None:
        gateway.proc.stdin.close()  # the JVM ends when its standard input does
        gateway.proc.wait(60)
    SparkContext._gateway = SparkContext._jvm = None


def test_spark_writes_the_parquet_rows_and_reads_them_back(feeds, tmp_path, monkeypatch):
    out = tmp_path / "out"
    env = spark_env()
    completed = subprocess.run(
        [
            sys.executable,
            str(ROOT / "examples" / "spark_convert.py"),
            "--validate",
            "--partitions",
            "3",
            str(feeds),
            str(out),
        ],
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
    )
    # The Latin-1 file declares no charset, so one message fails: status 1, as the command.
    assert completed.returncode == 1, completed.stderr[-5000:]

    from pyspark.sql import SparkSession

    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    monkeypatch.setenv("SPARK_LOCAL_IP", "127.0.0.1")
    spark = SparkSession.builder.master("local[1]").appName("tessarin-test-read").getOrCreate()
    try:
        written = spark.read.parquet(str(out))
        schema = written.schema.simpleString()
        got = [row.asDict(recursive=True) for row in written.collect()]
        fields = written.selectExpr("source", "message", f"transform(segments, s -> {spark_fields_sql('s')})").collect()
    finally:
        spark.stop()
        _end_the_gateway()
    assert schema == SPARK_SCHEMA

    # Spark names each source by its URI.
    names = {pathlib.Path(row["source"].removeprefix("file:")): row["source"] for row in got}
    expected = expected_rows(feeds, names)
    got.sort(key=lambda row: (row["source"], row["message"]))
    assert got == as_dicts([dict(row) for row in expected])
    assert len(got) > len(names)  # files of many messages gave many rows

    # The maps keep the records' key order on disk, which Spark's dicts do not show.
    on_disk = pq.read_table(out).sort_by([("source", "ascending"), ("message", "ascending")])
    assert on_disk.column("segments").to_pylist() == [row["segments"] for row in expected_rows(feeds, names)]

    # Every field of every segment, read whole from the maps by Spark SQL, as python-hl7 reads the text.
    texts = message_texts(feeds, names)
    converted = [(source, index, found) for source, index, found in fields if found is not None]
    assert len(converted) == sum(row["segments"] is not None for row in expected)  # cut messages have both
    for source, index, found in converted:
        assert found == hl7_text.expected_fields(texts[source, index], escaping=True), (source, index)

    failures = sum(row["error"] is not None for row in expected)
    segments = sum(len(row["segments"] or ()) for row in expected)
    files = sum(1 for p in feeds.rglob("*") if p.is_file() and p.stat().st_size)  # Spark skips empty files
    summary = re.search(r"(\d+) files, (\d+) messages, (\d+) segments, (\d+) failures", completed.stderr)
    assert summary, completed.stderr[-2000:]
    assert summary.groups() == (str(files), str(len(expected)), str(segments), str(failures))
    assert failures >= 1


@pytest.mark.slow
def test_an_existing_output_folder_is_refused_or_replaced(tmp_path):
    out = tmp_path / "out"
    env = spark_env()

    def convert(*options: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [
                sys.executable,
                str(ROOT / "examples" / "spark_convert.py"),
                *options,
                "--glob",
                "*.hl7",
                str(ROOT / "examples"),
                str(out),
            ],
            capture_output=True,
            text=True,
            env=env,
            timeout=600,
        )

    out.mkdir()
    (out / "kept").write_text("not Parquet")
    refused = convert()
    assert refused.returncode == 2 and refused.stderr.strip().endswith("pass --overwrite to replace it")
    assert [p.name for p in out.iterdir()] == ["kept"]

    replaced = convert("--overwrite")
    assert replaced.returncode == 0, replaced.stderr[-3000:]
    assert not (out / "kept").exists()
    assert pq.read_table(out).num_rows == 3  # one message in each sample file
