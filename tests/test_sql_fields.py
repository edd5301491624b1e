"""Fields as written, from SQL: the DuckDB macros give every field of a
Parquet segment as python-hl7 reads it from the message text."""

from __future__ import annotations

import subprocess
import sys

import pytest
from conftest import CORPUS_DIR as CORPUS, needs_peer
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

duckdb = pytest.importorskip("duckdb")
pa = pytest.importorskip("pyarrow")
needs_peer("hl7", "hl7")

import hl7_text  # noqa: E402

from tessarin_feeds import sql  # noqa: E402
from tessarin_feeds.model import Converted, Message  # noqa: E402
from tessarin_feeds.parquet import convert_to_batch, encode_rows  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402

ESCAPING = pytest.mark.parametrize("escaping", [False, True], ids=["escaping off", "escaping on"])


@pytest.fixture(scope="module")
def connection():
    connection = duckdb.connect()
    sql.install(connection)
    yield connection
    connection.close()


def segment_fields(connection, batch: pa.RecordBatch) -> list[tuple[list[list[str]] | None, list[str | None] | None]]:
    """Per row: hl7_fields of each segment, and hl7_field just past each segment's last field."""
    connection.register("batch", pa.Table.from_batches([batch]))
    try:
        return connection.execute(
            "SELECT list_transform(segments, lambda s: hl7_fields(s)),"
            " list_transform(segments, lambda s: hl7_field(s, hl7_field_count(s) + 1)) FROM batch"
        ).fetchall()
    finally:
        connection.unregister("batch")


@pytest.mark.integration
@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"the sample messages are not at {CORPUS}")
@ESCAPING
def test_every_field_of_the_corpus_reads_as_python_hl7_reads_it(connection, escaping):
    messages = [message for path in sorted(CORPUS.rglob("*")) if path.is_file() for message in read_messages(path)]
    rows = segment_fields(connection, convert_to_batch(messages, escaping_enabled=escaping))
    compared = 0
    for message, (got, past_end) in zip(messages, rows, strict=True):
        if got is None:
            continue  # not converted: other separators, or not decodable
        assert got == hl7_text.expected_fields(message.text, escaping), message.source
        assert past_end == [None] * len(got)
        compared += len(got)
    assert compared > 1000  # the corpus holds about 1,500 segments that convert


# Field text with every separator and escape in odd places, the encoding
# characters included; line ends are the message's own.
PIECES = st.one_of(
    st.text(alphabet="ab1 é€\x00^~&\\", max_size=6),
    st.sampled_from(["\\F\\", "\\S\\", "\\R\\", "\\T\\", "\\E\\", "\\\\", "\\X0A\\", "\\X0D0A\\", "\\X20\\",
                     "\\.br\\", "\\H\\", "\\X41", "^~\\&", "^~\\&#", "\\"]),
)
FIELD = st.lists(PIECES, max_size=4).map("".join)
LINE = st.one_of(
    st.tuples(st.sampled_from(["PID", "OBX", "NTE", "ZZ1", ""]), st.lists(FIELD, max_size=14)),
    # A batch header inside a message is numbered as MSH is.
    st.tuples(st.just("BHS"), st.lists(FIELD, min_size=2, max_size=5)),
)


@st.composite
def messages(draw) -> str:
    header = "MSH|^~\\&" + "".join("|" + field for field in draw(st.lists(FIELD, max_size=14)))
    lines = [header] + [name + "".join("|" + field for field in fields) for name, fields in draw(st.lists(LINE, max_size=4))]
    return draw(st.sampled_from(["\r", "\n", "\r\n"])).join(lines)


@ESCAPING
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=messages())
def test_every_field_of_a_generated_message_reads_as_python_hl7_reads_it(connection, escaping, text):
    batch = convert_to_batch([Message("gen.hl7", 0, 0, text)], escaping_enabled=escaping)
    assert batch.column("error").to_pylist() == [None]
    [(got, past_end)] = segment_fields(connection, batch)
    assert got == hl7_text.expected_fields(text, escaping)
    assert past_end == [None] * len(got)


# Records a converter never makes but a user may write (gaps), and the
# numeric order of keys the map keeps in byte order.
GAPS = [
    pytest.param("PID", {"3[0]": "a", "3[1]": "", "3[2]": "c"}, 3, "a~~c", id="only repetitions"),
    pytest.param("PID", {"3[0].1": "a", "3[0].2": "b", "3[1]": "c", "3[2].1": "", "3[2].2": "d"}, 3, "a^b~c~^d",
                 id="repetition components"),
    pytest.param("OBX", {f"5.{n}": str(n) for n in range(12, 0, -1)}, 5, "^".join(map(str, range(1, 13))),
                 id="components past nine"),
    pytest.param("OBX", {"5[10]": "k", "5[2]": "c", "5[0]": "a"}, 5, "a~~c" + "~" * 8 + "k", id="repetitions past nine"),
    pytest.param("OBX", {"5.3": "c", "5.1": "a"}, 5, "a^^c", id="missing component"),
    pytest.param("OBX", {"5.2": "b"}, 5, "^b", id="missing first component"),
    pytest.param("PID", {"3[2].2": "b", "3[0]": "a"}, 3, "a~~^b", id="missing repetition"),
    pytest.param("PID", {"1": "a", "3": "c"}, 2, None, id="missing field"),
    pytest.param("PID", {"1": "a"}, 0, None, id="field 0"),
    pytest.param("PID", {"10": "j", "1": "a", "1.1": "x"}, 10, "j", id="field 10 is not field 1"),
    pytest.param("MSH", {"1": "^~\\&", "8.1": "ORU", "8.2": "R01"}, 9, "ORU^R01", id="header numbering"),
    pytest.param("FHS", {"1": "^~\\&"}, 1, "|", id="header separator"),
    pytest.param("BHS", {"1.1": "", "1.2": "~\\&"}, 2, "^~\\&", id="header encoding characters"),
]


@pytest.mark.parametrize("name, fields, number, expected", GAPS)
def test_hl7_field_puts_every_piece_in_its_place(connection, name, fields, number, expected):
    records = [{**fields, "segment_name": name}]
    batch = encode_rows([Converted(Message("hand.jsonl", 0, 0, ""), records, None)])
    connection.register("batch", pa.Table.from_batches([batch]))
    try:
        # The segment may be any expression: here a column named like a lambda parameter.
        got = connection.execute("SELECT hl7_field(e, ?) FROM (SELECT segments[1] AS e FROM batch)", [number]).fetchall()
    finally:
        connection.unregister("batch")
    assert got == [(expected,)]


def test_the_macros_print_for_the_duckdb_command_line(tmp_path):
    printed = subprocess.run([sys.executable, "-m", "tessarin_feeds.sql"], capture_output=True, text=True, check=True)
    other = duckdb.connect()
    other.execute(printed.stdout)
    assert other.execute("SELECT hl7_field({'segment_name': 'PID', 'fields': MAP {'5.2': 'b'}}, 5)").fetchall() == [("^b",)]
