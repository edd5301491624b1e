"""Fields as written, from SQL: the DuckDB macros give every field of a
Parquet segment as python-hl7 reads it from the message text."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import CORPUS_DIR as CORPUS
from conftest import needs_peer

duckdb = pytest.importorskip("duckdb")
pa = pytest.importorskip("pyarrow")
needs_peer("hl7", "hl7")

from tessarin_feeds import sql  # noqa: E402
from tessarin_feeds.model import Message  # noqa: E402
from tessarin_feeds.parquet import convert_to_batch  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402

import hl7_text  # noqa: E402

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
    st.sampled_from(
        [
            "\\F\\",
            "\\S\\",
            "\\R\\",
            "\\T\\",
            "\\E\\",
            "\\\\",
            "\\X0A\\",
            "\\X0D0A\\",
            "\\X20\\",
            "\\.br\\",
            "\\H\\",
            "\\X41",
            "^~\\&",
            "^~\\&#",
            "\\",
        ]
    ),
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
    lines = [header] + [
        name + "".join("|" + field for field in fields) for name, fields in draw(st.lists(LINE, max_size=4))
    ]
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
