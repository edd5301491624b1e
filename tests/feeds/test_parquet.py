"""Parquet output: its schema and rows, its row groups, and real clients
(DuckDB) answering questions from it."""

from __future__ import annotations

import io
import os
import pathlib
import pickle
import subprocess
import sys
from collections import Counter

import pytest

from conftest import CORPUS_DIR as CORPUS
from conftest import needs_command

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from bench.dict_paths import encode_rows  # noqa: E402
from tessarin import Hl7Json  # noqa: E402
from tessarin_feeds.model import Converted, Message  # noqa: E402
from tessarin_feeds.parquet import MISSING_PYARROW, SCHEMA, ParquetOutput, header_fields  # noqa: E402

pytestmark = needs_command

ROOT = pathlib.Path(__file__).resolve().parents[2]
TESSARIN = ROOT / ".venv" / "bin" / "tessarin"

HEADER = "MSH|^~\\&|LAB|CITY|EHR|CITY|20240302101500||ORU^R01^ORU_R01|M1|P|2.5.1"


def converted(text: str, source: str = "feed.hl7", index: int = 0, offset: int = 0) -> Converted:
    return Converted(Message(source, index, offset, text), Hl7Json(text).hl7_json, None)


def failed(error: str, text: str = "", source: str = "feed.hl7", index: int = 0, offset: int = 0) -> Converted:
    return Converted(Message(source, index, offset, text, error if not text else None), None, error)


def written(*batches: pa.RecordBatch, **limits: int) -> pq.ParquetFile:
    stream = io.BytesIO()
    with ParquetOutput(stream, **limits) as output:
        for batch in batches:
            output.write(batch)
    stream.seek(0)
    return pq.ParquetFile(stream)


def expected_row(row: Converted) -> dict[str, object]:
    """A row as the schema describes it, built from the record dicts."""
    segments = None
    if row.records is not None:
        segments = [
            {"segment_name": r["segment_name"], "fields": [(k, v) for k, v in r.items() if k != "segment_name"]}
            for r in row.records
        ]
    envelope = None
    if row.message.envelope:
        envelope = [
            {"segment_name": r["segment_name"], "fields": [(k, v) for k, v in r.items() if k != "segment_name"]}
            for line in row.message.envelope
            for r in Hl7Json(line).hl7_json
        ]
    return {
        "source": row.message.source,
        "message": row.message.index,
        "offset": row.message.offset,
        "envelope": envelope,
        "segments": segments,
        "error": row.error,
    }


# -- header columns --------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param(HEADER + "\rPID|1", ("ORU^R01^ORU_R01", "M1", "20240302101500"), id="cr"),
        pytest.param(HEADER + "\nPID|1", ("ORU^R01^ORU_R01", "M1", "20240302101500"), id="lf"),
        pytest.param(HEADER + "\r\nPID|1", ("ORU^R01^ORU_R01", "M1", "20240302101500"), id="crlf"),
        pytest.param(HEADER, ("ORU^R01^ORU_R01", "M1", "20240302101500"), id="header only"),
        # Written as they stand: escapes and repetitions are not undone.
        pytest.param(
            "MSH|^~\\&|A|B|C|D|2024~2025||X\\T\\Y^Z|id\\F\\1", ("X\\T\\Y^Z", "id\\F\\1", "2024~2025"), id="raw"
        ),
        pytest.param("MSH|^~\\&|A|B|C|D|20240101", (None, None, "20240101"), id="short header"),
        pytest.param("MSH|^~\\&|A|B|C|D|||ADT^A01|\rPID|1|||||||||X|Y", ("ADT^A01", None, None), id="empty fields"),
        pytest.param("MSH#^~\\&#A#B#C#D#2024##ADT^A01#7", ("ADT^A01", "7", "2024"), id="other field separator"),
        pytest.param("PID|1|2|3|4|5|6|7|8|9|10", (None, None, None), id="not a header"),
        pytest.param("", (None, None, None), id="no text"),
    ],
)
def test_header_fields_are_taken_from_the_msh_line_in_standard_numbering(text, expected):
    assert header_fields(Message("s", 0, 0, text)) == expected


# -- rows ------------------------------------------------------------------------


def test_rows_round_trip_through_parquet_with_fields_in_record_order():
    rows = [
        converted(HEADER + "\rPID|1||5551234^^^CITY^MR~B-77||OKAFOR^CHIDI\rOBX|1|NM|GLU||5.4|mmol/L", offset=0),
        failed("HL7 validation failed: Segment 2 has empty segment name", text=HEADER + "\r", index=1, offset=200),
        failed("non-default separators: MSH|^~\\}", index=2, offset=300),
        converted("MSH|^~\\&|caf\u00e9|\u65e5\u672c\r\rZZZ|", source="other.hl7"),
    ]
    table = written(encode_rows(rows)).read()
    assert table.schema.equals(SCHEMA)
    got = table.drop_columns(["message_type", "control_id", "sent_at"]).to_pylist()
    assert got == [expected_row(row) for row in rows]
    # A message that failed conversion keeps its header columns, one with no text has none.
    assert table.column("message_type").to_pylist() == ["ORU^R01^ORU_R01", "ORU^R01^ORU_R01", None, None]


def test_hand_built_records_keep_their_key_order_wherever_segment_name_is():
    records = [{"segment_name": "PID", "5": "x", "1": "1"}, {"2": "b", "segment_name": "NTE", "1": "a"}, {"1": "n"}]
    row = Converted(Message("s", 0, 0, "PID|1"), records, None)
    [segments] = encode_rows([row]).column("segments").to_pylist()
    assert segments == [
        {"segment_name": "PID", "fields": [("5", "x"), ("1", "1")]},
        {"segment_name": "NTE", "fields": [("2", "b"), ("1", "a")]},
        {"segment_name": None, "fields": [("1", "n")]},
    ]


def test_a_batch_survives_pickling_for_the_trip_from_a_worker():
    batch = encode_rows([converted(HEADER + "\rPID|1"), failed("bad bytes at 7", index=1)])
    assert pickle.loads(pickle.dumps(batch)).equals(batch)


def test_no_rows_give_an_empty_file_with_the_schema():
    parquet = written(encode_rows([]))
    assert parquet.metadata.num_rows == 0
    assert parquet.schema_arrow.equals(SCHEMA)


# -- writing ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "limits, batch_rows, expected_groups",
    [
        pytest.param({"row_group_rows": 5}, [2, 2, 2, 2, 1], [6, 3], id="rows"),
        pytest.param({"row_group_rows": 1}, [3, 1, 2], [3, 1, 2], id="each write"),
        pytest.param({"row_group_rows": 100, "row_group_bytes": 1}, [2, 3], [2, 3], id="bytes"),
        pytest.param({}, [4, 4], [8], id="defaults gather small writes"),
    ],
)
def test_row_groups_are_written_as_the_limits_say(limits, batch_rows, expected_groups):
    batches = [
        encode_rows([converted(HEADER + f"\rPID|{b}.{i}", index=i) for i in range(size)])
        for b, size in enumerate(batch_rows)
    ]
    parquet = written(*batches, **limits)
    groups = [parquet.metadata.row_group(i).num_rows for i in range(parquet.metadata.num_row_groups)]
    assert groups == expected_groups
    pids = [s[1]["fields"][0][1] for s in parquet.read().column("segments").to_pylist()]
    assert pids == [f"{b}.{i}" for b, size in enumerate(batch_rows) for i in range(size)]


def test_memory_held_by_the_output_stays_bounded():
    # Each write waits in memory only until its row group is written.
    rows = [converted(HEADER + "\rOBX|" + "|".join(["value"] * 50), index=i) for i in range(200)]
    batch = encode_rows(rows)
    stream = io.BytesIO()
    output = ParquetOutput(stream, row_group_rows=1000, row_group_bytes=3 * batch.nbytes)
    peak = 0
    for _ in range(30):
        output.write(batch)
        peak = max(peak, output._waiting_bytes)
    output.close()
    assert peak < 3 * batch.nbytes
    stream.seek(0)
    assert pq.ParquetFile(stream).metadata.num_row_groups == 10


@pytest.mark.parametrize(
    "action, message",
    [
        pytest.param(lambda out: out.write(pa.record_batch({"source": ["x"]})), "schema", id="other schema"),
        pytest.param(lambda out: (out.close(), out.write(encode_rows([]))), "closed", id="after close"),
    ],
)
def test_bad_writes_are_refused(action, message):
    output = ParquetOutput(io.BytesIO())
    with pytest.raises(ValueError, match=message):
        action(output)


def test_the_stream_is_left_open_for_its_owner():
    stream = io.BytesIO()
    ParquetOutput(stream).close()
    assert not stream.closed and stream.getvalue().startswith(b"PAR1")


# -- without pyarrow -------------------------------------------------------------


@pytest.fixture
def no_pyarrow(tmp_path):
    """A PYTHONPATH on which `import pyarrow` fails as it does when it is not installed."""
    fake = tmp_path / "blocked" / "pyarrow"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'pyarrow'\", name='pyarrow')\n")
    return dict(os.environ, PYTHONPATH=str(fake.parent))


def test_without_pyarrow_the_import_says_what_to_install(no_pyarrow):
    completed = subprocess.run(
        [sys.executable, "-c", "import tessarin_feeds.parquet"], env=no_pyarrow, capture_output=True, text=True
    )
    assert completed.returncode == 1
    assert f"ImportError: {MISSING_PYARROW}" in completed.stderr
    assert "pip install 'tessarin[parquet]'" in MISSING_PYARROW


def test_without_pyarrow_the_command_fails_in_one_line(no_pyarrow, tmp_path):
    source = tmp_path / "in.hl7"
    source.write_text(HEADER)
    out = tmp_path / "out.parquet"
    completed = subprocess.run(
        [str(TESSARIN), "convert", str(source), "-o", str(out), "--jobs", "1"],
        env=no_pyarrow,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert completed.returncode == 2
    assert completed.stderr.count("\n") == 1 and MISSING_PYARROW in completed.stderr
    # Nothing is left behind, not even the temporary file.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["blocked", "in.hl7"]


# -- real clients: DuckDB over feeds converted to Parquet -------------------------

feed_fixtures = pytest.importorskip("feed_fixtures")

PATIENT_RESULTS = """
WITH segment AS (
    SELECT source, message, unnest(segments) AS s FROM read_parquet($path)
),
patient AS (
    SELECT source, message,
           coalesce(s.fields['3'], s.fields['3.1'], s.fields['3[0]'], s.fields['3[0].1']) AS patient
    FROM segment WHERE s.segment_name = 'PID'
)
SELECT patient,
       coalesce(s.fields['3'], s.fields['3.1']) AS test,
       coalesce(s.fields['5'], concat_ws('^', s.fields['5.1'], s.fields['5.2'], s.fields['5.3'], s.fields['5.4'])) AS value,
       coalesce(s.fields['6'], s.fields['6.1']) AS units
FROM segment JOIN patient USING (source, message)
WHERE s.segment_name = 'OBX' AND patient = $patient
"""

MESSAGES_BY_TYPE = """
SELECT split_part(message_type, '^', 1) AS kind, split_part(message_type, '^', 2) AS event, count(*) AS messages
FROM read_parquet($path) WHERE error IS NULL GROUP BY ALL
"""


def feed_folder(tmp_path_factory: pytest.TempPathFactory, which: str) -> pathlib.Path:
    if not CORPUS.is_dir():
        pytest.skip(f"the corpus is not at {CORPUS}")
    if which == "corpus":
        return CORPUS
    folder = tmp_path_factory.mktemp("fixtures") / "feeds"
    feed_fixtures.build_fixtures(folder)
    return folder


@pytest.fixture(scope="module", params=["fixtures", "corpus"])
def feed(request, tmp_path_factory):
    """A folder of feeds, its rows converted here, and Parquet written directly and by the command."""
    from feed_answers import convert_folder, write_parquet

    folder = feed_folder(tmp_path_factory, request.param)
    rows = convert_folder(folder)
    out = tmp_path_factory.mktemp("parquet")
    write_parquet(rows, out / "direct.parquet")
    completed = subprocess.run(
        [str(TESSARIN), "convert", str(folder), "-o", str(out / "command.parquet"), "--jobs", "2", "--no-progress"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    # Both folders hold stray fragments, truncated frames and failing messages.
    assert completed.returncode == 1, completed.stderr[-3000:]
    return rows, out


WRITERS = ["direct.parquet", "command.parquet"]


@pytest.mark.integration
@pytest.mark.parametrize("name", WRITERS)
def test_every_message_is_one_row_of_the_schema(feed, name):
    rows, out = feed
    table = pq.read_table(out / name)
    assert table.schema.equals(SCHEMA)
    assert table.num_rows == len(rows) > len({row.message.source for row in rows})
    got = table.drop_columns(["message_type", "control_id", "sent_at"]).sort_by(
        [("source", "ascending"), ("message", "ascending")]
    )
    expected = sorted((expected_row(row) for row in rows), key=lambda r: (r["source"], r["message"]))
    assert got.to_pylist() == expected


@pytest.mark.integration
@pytest.mark.parametrize("name", WRITERS)
def test_duckdb_counts_messages_by_type(feed, name):
    from feed_answers import messages_by_type

    duckdb = pytest.importorskip("duckdb")
    rows, out = feed
    answer = duckdb.execute(MESSAGES_BY_TYPE, {"path": str(out / name)}).fetchall()
    assert {(kind, event): count for kind, event, count in answer} == messages_by_type(rows)
    failed = duckdb.execute(
        "SELECT count(*) FROM read_parquet($path) WHERE error IS NOT NULL", {"path": str(out / name)}
    )
    assert failed.fetchone() == (sum(row.error is not None for row in rows),)


@pytest.mark.integration
@pytest.mark.parametrize("name", WRITERS)
def test_duckdb_lists_the_obx_results_of_one_patient(feed, name):
    from feed_answers import obx_results

    duckdb = pytest.importorskip("duckdb")
    rows, out = feed
    results = obx_results(rows)
    # The patient with the most results.
    patient = max(Counter(r[0] for r in results).items(), key=lambda item: (item[1], item[0]))[0]
    expected = sorted(r for r in results if r[0] == patient)
    assert len(expected) >= 2
    answer = duckdb.execute(PATIENT_RESULTS, {"path": str(out / name), "patient": patient}).fetchall()
    assert sorted(answer) == expected
