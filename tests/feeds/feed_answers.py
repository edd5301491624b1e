"""What SQL over the Parquet output must answer, worked out from the message
texts themselves rather than from the records the Parquet was made of."""

from __future__ import annotations

import pathlib
from collections import Counter
from collections.abc import Iterable

from bench.dict_paths import encode_rows
from tessarin_feeds.model import Converted
from tessarin_feeds.parquet import ParquetOutput
from tessarin_feeds.pipeline import Settings, convert_message
from tessarin_feeds.reader import read_messages


def convert_folder(folder: pathlib.Path) -> list[Converted]:
    """Every message of every file under `folder`, converted, the source named as the command names it."""
    return [
        convert_message(message, Settings())
        for path in sorted(p for p in folder.rglob("*") if p.is_file())
        for message in read_messages(path, name=str(path))
    ]


def write_parquet(rows: list[Converted], path: pathlib.Path, batch: int = 4) -> None:
    with path.open("wb") as stream, ParquetOutput(stream, row_group_rows=2 * batch) as output:
        for start in range(0, len(rows), batch):
            output.write(encode_rows(rows[start : start + batch]))


def _segments(row: Converted) -> list[list[str]]:
    """The raw fields of each line of a converted message; [0] is the segment name."""
    if row.records is None:
        return []
    return [line.split("|") for line in row.message.text.replace("\r\n", "\r").replace("\n", "\r").split("\r")]


def _field(fields: list[str], n: int) -> str | None:
    """Field n as written; None when the line stops before it."""
    return fields[n] if len(fields) > n else None


def _plain(value: str | None) -> bool:
    # Escapes, repetitions and sub-components read differently in the records.
    return value is None or not any(c in value for c in "\\~&")


def messages_by_type(rows: Iterable[Converted]) -> Counter[tuple[str | None, str | None]]:
    """(MSH-9.1, MSH-9.2) of every converted message; (None, None) when MSH-9 is empty."""
    found: Counter[tuple[str | None, str | None]] = Counter()
    for row in rows:
        if row.error is not None:
            continue  # cut short: its records are there, but it did not convert
        for header in _segments(row)[:1]:
            message_type = _field(header, 8)
            if not message_type:
                found[(None, None)] += 1
                continue
            components = message_type.split("^")
            found[(components[0], components[1] if len(components) > 1 else "")] += 1
    return found


def obx_results(rows: Iterable[Converted]) -> list[tuple[str, str | None, str, str | None]]:
    """(patient, test, value, units) for every OBX of a converted message with
    a PID: PID-3.1, OBX-3.1, OBX-5 as written and OBX-6.1.

    Only OBX segments written plainly, with at most four components in OBX-5."""
    results = []
    for row in rows:
        segments = _segments(row)
        patients = [
            patient
            for s in segments
            if s[0] == "PID" and _plain(_field(s, 3))
            for patient in [(_field(s, 3) or "").split("^")[0]]
            if patient
        ]
        for obx in (s for s in segments if s[0] == "OBX"):
            test, value, units = _field(obx, 3), _field(obx, 5), _field(obx, 6)
            if not (_plain(test) and _plain(value) and _plain(units)) or (value or "").count("^") > 3:
                continue
            result = (_first(test), value or "", _first(units))
            results.extend((patient, *result) for patient in patients)
    return results


def _first(field: str | None) -> str | None:
    return None if field is None else field.split("^")[0]
