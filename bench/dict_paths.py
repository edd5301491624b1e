"""The dict paths: JSON Lines and Parquet rows built from Hl7Json's record
dicts, with orjson and pyarrow. The command writes both natively; tests check
its output against these models and benchmarks race the two."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING

import pyarrow as pa

from tessarin_feeds.model import Converted, Message
from tessarin_feeds.parquet import SCHEMA, SEGMENT, _envelope_column, header_fields
from tessarin_feeds.summary import Tally, reason_of

if TYPE_CHECKING:
    from tessarin_feeds.tasks import Settings


def encode_rows(rows: Sequence[Converted], *, escaping_enabled: bool = True) -> pa.RecordBatch:
    """The rows as one record batch of SCHEMA, built column by column;
    `escaping_enabled` is the option the envelope lines are converted with."""
    sources: list[str] = []
    indexes: list[int] = []
    offsets: list[int] = []
    message_types: list[str | None] = []
    control_ids: list[str | None] = []
    sent_ats: list[str | None] = []
    errors: list[str | None] = []
    # Flattened segments: per message its first segment, per segment its
    # first map entry, and every entry's key and value in one list each.
    segment_starts = [0]
    no_segments: list[bool] = []
    segment_names: list[str | None] = []
    entry_starts = [0]
    keys: list[str] = []
    values: list[str] = []

    for row in rows:
        message = row.message
        sources.append(message.source)
        indexes.append(message.index)
        offsets.append(message.offset)
        message_type, control_id, sent_at = header_fields(message)
        message_types.append(message_type)
        control_ids.append(control_id)
        sent_ats.append(sent_at)
        errors.append(row.error)
        records = row.records
        if records is None:
            no_segments.append(True)
            segment_starts.append(segment_starts[-1])
            continue
        no_segments.append(False)
        segment_starts.append(segment_starts[-1] + len(records))
        for record in records:
            # The converter puts "segment_name" last; take everything and
            # drop it from the end rather than test every key.
            if record and next(reversed(record)) == "segment_name":
                keys.extend(record)
                values.extend(record.values())
                keys.pop()
                segment_names.append(values.pop())
            else:
                segment_names.append(record.get("segment_name"))
                for key, value in record.items():
                    if key != "segment_name":
                        keys.append(key)
                        values.append(value)
            entry_starts.append(len(keys))

    string = pa.string()
    fields = pa.MapArray.from_arrays(
        pa.array(entry_starts, pa.int32()),
        pa.array(keys, string),
        pa.array(values, string),
        type=SEGMENT.field("fields").type,
    )
    segments = pa.StructArray.from_arrays([pa.array(segment_names, string), fields], fields=list(SEGMENT))
    envelopes = _envelope_column([row.message for row in rows], escaping_enabled)
    segment_lists = pa.ListArray.from_arrays(
        pa.array(segment_starts, pa.int32()),
        segments,
        type=SCHEMA.field("segments").type,
        mask=pa.array(no_segments, pa.bool_()) if any(no_segments) else None,
    )
    return pa.RecordBatch.from_arrays(
        [
            pa.array(sources, string),
            pa.array(indexes, pa.int32()),
            pa.array(offsets, pa.int64()),
            pa.array(message_types, string),
            pa.array(control_ids, string),
            pa.array(sent_ats, string),
            envelopes,
            segment_lists,
            pa.array(errors, string),
        ],
        schema=SCHEMA,
    )


def jsonl_by_dicts(messages: Iterable[Message], settings: Settings, tally: Tally) -> bytes:
    """process_messages' JSON Lines through Hl7Json's record dicts and orjson."""
    # Here, not above: the Parquet model serves where orjson is not installed.
    from tessarin_feeds.jsonl import encode_line, join_lines
    from tessarin_feeds.tasks import _records_or_error, envelope_records

    lines = []
    for message in messages:
        records, error = _records_or_error(message, settings)
        if error is not None:
            tally.failures[reason_of(error, message.source)] += 1
        elif records is not None:
            tally.converted += 1
        if records is not None:
            tally.segments += len(records)
        lines.append(encode_line(message, records, error, envelope_records(message, settings)))
    tally.messages += len(lines)
    return join_lines(lines, compress=settings.output_format == "jsonl.gz")
