"""to-hl7: the JSON Lines of `convert` (or a JSON file holding one list of
records) back to HL7 messages."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import BinaryIO, Literal

import orjson
import tessarin

from .reader import decompressed
from .sources import InputError

__all__ = ["LINE_ENDS", "HL7Rows", "Row", "encode_message", "read_rows", "write_messages"]

LINE_ENDS: dict[str, str] = {"cr": "\r", "lf": "\n", "crlf": "\r\n"}
LineEnd = Literal["cr", "lf", "crlf"]

MLLP_START = b"\x0b"
MLLP_END = b"\x1c\r"


@dataclass(frozen=True, slots=True)
class Row:
    """One message to write: its records, or the error `convert` gave it."""

    label: str  # where it came from, for messages about it
    records: list[dict[str, str]] | None
    error: str | None


@dataclass(slots=True)
class HL7Rows:
    """Counts of a to-hl7 run."""

    rows: int = 0
    written: int = 0
    had_error: int = 0
    failures: Counter[str] = field(default_factory=Counter)

    @property
    def clean(self) -> bool:
        return not self.had_error and not self.failures


def _row_from_object(value: object, where: str) -> Row:
    if not isinstance(value, dict):
        raise InputError(f"{where}: not a row of tessarin convert (a JSON object)")
    label = f"{value.get('source', '?')}: message {value.get('message', '?')}"
    if "records" in value:
        records = value["records"]
        if not isinstance(records, list):
            raise InputError(f"{where}: \"records\" is not a list")
        return Row(label, records, None)
    if "error" in value:
        return Row(label, None, str(value["error"]))
    raise InputError(f"{where}: the row has neither \"records\" nor \"error\"")


def read_rows(stream: BinaryIO, name: str) -> Iterator[Row]:
    """Rows from JSON Lines, one at a time; or the one message of a JSON list."""
    lines = iter(decompressed(stream))
    number = 0
    first = True
    try:
        for line in lines:
            number += 1
            stripped = line.strip()
            if not stripped:
                continue
            if first and stripped.startswith(b"["):
                yield _whole_document(stripped + b"".join(lines), name)
                return
            first = False
            try:
                value = orjson.loads(stripped)
            except orjson.JSONDecodeError as error:
                raise InputError(f"{name} line {number}: not valid JSON ({error})") from None
            yield _row_from_object(value, f"{name} line {number}")
    except (OSError, EOFError) as error:
        raise InputError(f"cannot read {name}: {error}") from None


def _whole_document(data: bytes, name: str) -> Row:
    try:
        value = orjson.loads(data)
    except orjson.JSONDecodeError as error:
        raise InputError(f"{name}: not valid JSON ({error})") from None
    if not isinstance(value, list):
        raise InputError(f"{name}: not a list of records")
    return Row(name, value, None)


def encode_message(records: list[dict[str, str]], *, unescaped: bool, line_end: str, mllp: bool) -> bytes:
    """One message: segments ended by `line_end`, framed for MLLP if asked."""
    converter = tessarin.JsonHl7(records)
    text = converter.hl7_string_unescaped if unescaped else converter.hl7_string
    # JsonHl7 ends segments with "\n"; values never hold one (it is escaped, or
    # it would have ended a segment when the records were made).
    if line_end != "\n":
        text = text.replace("\n", line_end)
    data = (text + line_end).encode("utf-8")
    return MLLP_START + data + MLLP_END if mllp else data


def write_messages(
    rows: Iterator[Row],
    out: BinaryIO,
    *,
    unescaped: bool = False,
    line_end: LineEnd = "cr",
    mllp: bool = False,
    on_problem: Callable[[str], None] | None = None,
) -> HL7Rows:
    """Write a message for every row with records; count the others."""
    counts = HL7Rows()
    end = LINE_ENDS[line_end]
    report = on_problem
    for row in rows:
        counts.rows += 1
        if row.records is None:
            counts.had_error += 1
            if report is not None:
                report(f"{row.label}: no message, convert failed: {row.error}")
            continue
        try:
            data = encode_message(row.records, unescaped=unescaped, line_end=end, mllp=mllp)
        except TypeError as error:
            raise InputError(f"{row.label}: records are not objects of strings ({error})") from None
        except Exception as error:  # the assembler's own errors, such as a key above the limit
            counts.failures[str(error)] += 1
            if report is not None:
                report(f"{row.label}: {error}")
            continue
        out.write(data)
        counts.written += 1
    return counts
