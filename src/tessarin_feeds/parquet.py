"""Parquet output: one row per message, written in bounded row groups.

Records have keys that change from message to message, so each segment is
stored as its name and a map of its other keys, in the record's order.
"""

from __future__ import annotations

import array
import itertools
import os
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, BinaryIO

from ._columns import build
from .model import Message
from .outputs import OutputBase

if TYPE_CHECKING:
    from ._columns import ColumnBatch, _Built
    from .sources import Source
    from .summary import Tally

MISSING_PYARROW = "Parquet output needs pyarrow: pip install 'tessarin[parquet]'"

try:
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]
except ImportError as error:  # pragma: no cover - exercised in a subprocess
    raise ImportError(MISSING_PYARROW, name="pyarrow") from error

__all__ = [
    "MISSING_PYARROW",
    "SCHEMA",
    "ParquetOutput",
    "convert_to_batch",
    "count_rows",
    "header_fields",
    "take_rows",
]

# The column builder's batch is the one definition of the columns it makes
# (the header fields, segments and error); the source and position columns,
# and the envelope, which holds segments as they are, are added here.
_BUILT = pa.record_batch(build([])).schema
SEGMENT = _BUILT.field("segments").type.value_type
_NO_SEGMENTS = pa.nulls(0, SEGMENT)

SCHEMA = pa.schema(
    [
        pa.field("source", pa.string(), nullable=False),
        pa.field("message", pa.int32(), nullable=False),
        pa.field("offset", pa.int64(), nullable=False),
        *(_BUILT.field(name) for name in ("message_type", "control_id", "sent_at")),
        pa.field("envelope", _BUILT.field("segments").type),
        _BUILT.field("segments"),
        _BUILT.field("error"),
    ]
)

# Positions in the MSH line cut at its field separator: piece n is the
# standard's MSH-(n+1), because the separator itself is MSH-1.
_SENT_AT, _MESSAGE_TYPE, _CONTROL_ID = 6, 8, 9

# Columns whose min and max tell an engine which row groups to skip; those
# of the segments are taken over every key and value and tell nothing.
FLAT_COLUMNS = ("source", "message", "offset", "message_type", "control_id", "sent_at", "error")

# Snappy, as pyarrow, Spark and DuckDB write by default (see the README).
# Values go to the column writers 16 Ki at a time rather than 1 Ki: the
# nested segment columns take an eighth less time, the pages read the same.
WRITER_OPTIONS: dict[str, object] = {
    "compression": "snappy",
    "use_dictionary": False,
    "write_statistics": list(FLAT_COLUMNS),
    "write_batch_size": 16384,
}

# A row group is written once this many rows, or this many bytes of Arrow
# data, are waiting; whichever comes first bounds the memory held.
ROW_GROUP_ROWS = 50_000
ROW_GROUP_BYTES = 8 * 1024 * 1024


def header_fields(message: Message) -> tuple[str | None, str | None, str | None]:
    """MSH-9, MSH-10 and MSH-7 as written, cut at the MSH line's own field
    separator; None when absent or empty."""
    text = message.text if message.error is None else message.header
    if not text.startswith("MSH") or len(text) < 4:
        return None, None, None
    end = len(text)
    for line_end in ("\r", "\n"):
        found = text.find(line_end, 0, end)
        if found != -1:
            end = found
    pieces = text[:end].split(text[3], _CONTROL_ID + 1)
    count = len(pieces)
    # An HL7 field left empty is not present, so it reads as null too.
    message_type = pieces[_MESSAGE_TYPE] if count > _MESSAGE_TYPE else None
    control_id = pieces[_CONTROL_ID] if count > _CONTROL_ID else None
    sent_at = pieces[_SENT_AT] if count > _SENT_AT else None
    return message_type or None, control_id or None, sent_at or None


def convert_to_batch(
    messages: Sequence[Message],
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    hl7_syntax: bool = False,
) -> pa.RecordBatch:
    """The messages converted straight to one record batch of SCHEMA.

    The rows equal those the dict path (bench/dict_paths.py) builds from
    Hl7Json's records with the same
    options, but no record dict is made: the native builder writes the Arrow
    buffers, without the interpreter lock. With `hl7_syntax`, validation
    follows the command's rules instead of Hl7Json's.
    """
    errors = [message.error for message in messages]
    columns = pa.record_batch(
        build(
            [message.text for message in messages],
            errors if any(error is not None for error in errors) else None,
            validation_enabled=validation_enabled,
            strict_validation=strict_validation,
            escaping_enabled=escaping_enabled,
            hl7_syntax=hl7_syntax,
        )
    )
    message_type, control_id, sent_at, segments, error = columns.columns
    # Rare rows the builder cannot know about: failed messages whose MSH line
    # still gives the header columns, and messages cut short.
    if any(m.error is not None and m.header for m in messages):
        message_type, control_id, sent_at = _headers_of_failed(messages, [message_type, control_id, sent_at])
    if any(m.cut_short is not None for m in messages):
        error = _with_cuts(messages, error)
    head = [
        _string_array([message.source for message in messages]),
        _number_array([message.index for message in messages], "i", pa.int32()),
        _number_array([message.offset for message in messages], "q", pa.int64()),
    ]
    envelope = _envelope_column(messages, escaping_enabled)
    return pa.RecordBatch.from_arrays(
        [*head, message_type, control_id, sent_at, envelope, segments, error], schema=SCHEMA
    )


def _headers_of_failed(messages: Sequence[Message], columns: list[pa.Array]) -> list[pa.Array]:
    values = [column.to_pylist() for column in columns]
    for row, message in enumerate(messages):
        if message.error is not None and message.header:
            for column, value in zip(values, header_fields(message), strict=True):
                column[row] = value
    return [_string_array(column) for column in values]


def _with_cuts(messages: Sequence[Message], error: pa.Array) -> pa.Array:
    """The error column with every cut-short message's reason, ahead of any
    other failure, as in JSON Lines."""
    errors = error.to_pylist()
    for row, message in enumerate(messages):
        if message.cut_short is not None and message.error is None:
            errors[row] = message.cut_short if errors[row] is None else f"{message.cut_short}; {errors[row]}"
    return _string_array(errors)


def _envelope_column(messages: Sequence[Message], escaping_enabled: bool) -> pa.Array:
    """Per message, the records of the FHS and BHS lines that enclose it; null outside an envelope."""
    kind = SCHEMA.field("envelope").type
    if not any(message.envelope for message in messages):
        return pa.nulls(len(messages), kind)
    # The lines of one envelope, one per line, convert as one text does.
    lines = pa.record_batch(
        build(["\r".join(message.envelope) for message in messages], escaping_enabled=escaping_enabled)
    ).column("segments")
    outside = pa.Array.from_buffers(pa.bool_(), len(messages), [None, _bitmap([not m.envelope for m in messages])])
    return pa.ListArray.from_arrays(lines.offsets, lines.values, type=kind, mask=outside)


# pyarrow.array imports pandas, where it is installed, to look for its types:
# 40 MB and a third of a second that the column path does without.
def _string_array(values: Sequence[str | None]) -> pa.Array:
    data = [b"" if value is None else value.encode() for value in values]
    offsets = array.array("i", [0, *itertools.accumulate(map(len, data))])
    valid = _bitmap([value is not None for value in values]) if None in values else None
    return pa.Array.from_buffers(pa.string(), len(values), [valid, pa.py_buffer(offsets), pa.py_buffer(b"".join(data))])


def _bitmap(flags: Sequence[bool]) -> pa.Buffer:
    """The flags as an Arrow bitmap: eight to a byte, the first in the lowest bit."""
    bits = bytearray((len(flags) + 7) // 8)
    for index, flag in enumerate(flags):
        if flag:
            bits[index >> 3] |= 1 << (index & 7)
    return pa.py_buffer(bits)


def _number_array(values: list[int], typecode: str, kind: pa.DataType) -> pa.Array:
    return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(array.array(typecode, values))])


def count_rows(batch: pa.RecordBatch, tally: Tally) -> None:
    """Counts a batch of SCHEMA into `tally`: its messages, those converted,
    their segments (from the list offsets) and the reason of every failure."""
    from .summary import reason_of

    errors = batch.column("error")
    tally.messages += batch.num_rows
    tally.converted += errors.null_count  # a row converted has no error
    lists = batch.column("segments")
    tally.segments += int(lists.offsets[-1].as_py() - lists.offsets[0].as_py()) if len(lists) else 0
    if errors.null_count < batch.num_rows:
        names = batch.column("source")
        for row, error in enumerate(errors.to_pylist()):
            if error is not None:
                tally.failures[reason_of(error, names[row].as_py())] += 1


def take_rows(
    sources: Sequence[Source],
    built: _Built,
    tally: Tally,
    read_declined: Callable[[Source, bytes], pa.RecordBatch],
    given: Sequence[bytes] | None = None,
) -> list[pa.RecordBatch]:
    """The batches of a native call over `sources` (_columns.build_files or
    build_feeds), in order, with its counts, notices and failures put into
    `tally`; a source the call declined goes to `read_declined`, its rows put
    where it stands. `given`: the sources' bytes, where the caller read them."""
    from .framing import notices_of_parts

    rows, envelopes, columns, ends, special = built
    batch = _assembled(rows, envelopes, columns)
    count_rows(batch, tally)
    if not special:
        return [batch] if batch.num_rows else []
    out: list[pa.RecordBatch] = []
    taken = 0  # rows of `batch` given out
    for index, declined, notices, data in special:
        source = sources[index]
        if isinstance(data, int):
            tally.note_read_error(source.name, os.strerror(data))
        elif declined is None:
            for notice in notices_of_parts(source.name, notices or []):
                tally.note(notice)
        else:
            at = ends[index]
            out.append(batch.slice(taken, at - taken))
            taken = at
            out.append(read_declined(source, data if data is not None else given[index]))  # type: ignore[index]
    out.append(batch.slice(taken))
    return [part for part in out if part.num_rows]


def _assembled(
    rows: ColumnBatch, envelopes: ColumnBatch | None, columns: tuple[bytes, bytes, bytes, bytes, bytes | None]
) -> pa.RecordBatch:
    """One batch of SCHEMA from the native call's parts: no value passes through Python."""
    source_offsets, source_data, message, offset, outside = columns
    message_type, control_id, sent_at, segments, error = pa.record_batch(rows).columns
    count = len(message_type)
    kind = SCHEMA.field("envelope").type
    if envelopes is None:
        # Zeroed bytes rather than pa.nulls, which takes its buffers from
        # pyarrow's memory pool: half the text again at a batch's peak.
        zeros = pa.py_buffer(bytes(4 * (count + 1)))
        envelope = pa.Array.from_buffers(kind, count, [zeros, zeros], null_count=count, children=[_NO_SEGMENTS])
    else:
        lines = pa.record_batch(envelopes).column("segments")
        mask = pa.Array.from_buffers(pa.bool_(), count, [None, pa.py_buffer(outside)])
        envelope = pa.ListArray.from_arrays(lines.offsets, lines.values, type=kind, mask=mask)
    head = [
        pa.Array.from_buffers(pa.string(), count, [None, pa.py_buffer(source_offsets), pa.py_buffer(source_data)]),
        pa.Array.from_buffers(pa.int32(), count, [None, pa.py_buffer(message)]),
        pa.Array.from_buffers(pa.int64(), count, [None, pa.py_buffer(offset)]),
    ]
    return pa.RecordBatch.from_arrays(
        [*head, message_type, control_id, sent_at, envelope, segments, error], schema=SCHEMA
    )


class ParquetOutput(OutputBase):
    """Writes record batches of SCHEMA to a binary stream as Parquet.

    Batches wait in memory until ROW_GROUP_ROWS rows or ROW_GROUP_BYTES bytes
    have gathered, then become one row group. The stream is left open.
    """

    def __init__(
        self,
        stream: BinaryIO,
        *,
        row_group_rows: int = ROW_GROUP_ROWS,
        row_group_bytes: int = ROW_GROUP_BYTES,
        compression: str | None = None,
    ) -> None:
        """`compression` is a codec pyarrow knows ("none", "snappy", "zstd",
        "lz4", "gzip"); by default that of WRITER_OPTIONS."""
        if row_group_rows < 1 or row_group_bytes < 1:
            raise ValueError("row group limits must be positive")
        options = dict(WRITER_OPTIONS)
        if compression is not None:
            options["compression"] = compression
        self._writer = pq.ParquetWriter(stream, SCHEMA, **options)
        self._row_group_rows = row_group_rows
        self._row_group_bytes = row_group_bytes
        self._waiting: list[pa.RecordBatch] = []
        self._waiting_rows = 0
        self._waiting_bytes = 0
        self._closed = False
        self.rows = 0

    def write(self, batch: pa.RecordBatch) -> None:
        if self._closed:
            raise ValueError("write to a closed ParquetOutput")
        if not batch.schema.equals(SCHEMA):
            raise ValueError(f"batch schema differs from SCHEMA:\n{batch.schema}")
        if batch.num_rows == 0:
            return
        self._waiting.append(batch)
        self._waiting_rows += batch.num_rows
        self._waiting_bytes += batch.nbytes
        self.rows += batch.num_rows
        if self._waiting_rows >= self._row_group_rows or self._waiting_bytes >= self._row_group_bytes:
            self._flush()

    def close(self) -> None:
        """Write what waits and the file footer; the stream stays open."""
        if self._closed:
            return
        self._closed = True
        self._flush()
        self._writer.close()

    def abort(self) -> None:
        """Give up after a failure: nothing more is written, and the stream
        (about to be discarded) is not touched again, not even at exit."""
        self._closed = True
        self._waiting = []
        self._writer.is_open = False

    def _flush(self) -> None:
        if not self._waiting:
            return
        table = pa.Table.from_batches(self._waiting, schema=SCHEMA)
        self._waiting = []
        self._waiting_rows = self._waiting_bytes = 0
        self._writer.write_table(table, row_group_size=table.num_rows)

    def __enter__(self) -> ParquetOutput:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()
