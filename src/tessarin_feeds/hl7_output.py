"""to-hl7: the JSON Lines of `convert` (or a JSON file holding one list of
records) back to HL7 messages."""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import BinaryIO, Literal

import orjson

import tessarin

from .charsets import HL7_CHARSETS, codecs_for, declared_charset
from .reader import decompressed
from .sources import InputError

__all__ = [
    "LINE_ENDS",
    "Escaping",
    "HL7Rows",
    "MessageError",
    "Row",
    "encode_message",
    "hl7_escaped",
    "output_codec",
    "read_rows",
    "write_messages",
]

LINE_ENDS: dict[str, str] = {"cr": "\r", "lf": "\n", "crlf": "\r\n"}
LineEnd = Literal["cr", "lf", "crlf"]
# "hl7": only what HL7 requires (the command's default); "all": the module's
# JsonHl7.hl7_string; "none": values as they stand.
Escaping = Literal["hl7", "all", "none"]

MLLP_START = b"\x0b"
MLLP_END = b"\x1c\r"


@dataclass(frozen=True, slots=True)
class Row:
    """One message to write: its records, the error `convert` gave it, or
    both (records read before the message was cut short)."""

    label: str  # where it came from, for messages about it
    records: list[dict[str, str]] | None
    error: str | None


@dataclass(slots=True)
class HL7Rows:
    """Counts of a to-hl7 run."""

    rows: int = 0
    written: int = 0
    had_error: int = 0
    cut_short: int = 0  # written, but convert reported an error with the records
    failures: Counter[str] = field(default_factory=Counter)

    @property
    def clean(self) -> bool:
        return not self.had_error and not self.cut_short and not self.failures


def _row_from_object(value: object, where: str) -> Row:
    if not isinstance(value, dict):
        raise InputError(f"{where}: not a row of tessarin convert (a JSON object)")
    label = f"{value.get('source', '?')}: message {value.get('message', '?')}"
    records, error = value.get("records"), value.get("error")
    if records is None:
        if "error" not in value:
            raise InputError(f'{where}: the row has neither "records" nor "error"')
        return Row(label, None, str(error))
    if not isinstance(records, list):
        raise InputError(f'{where}: "records" is not a list')
    # Both: the records read before the message was cut short.
    return Row(label, records, None if error is None else str(error))


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


# MSH-1/MSH-2 go out as they stand; only what would cut the header itself is escaped.
_HEADER_ESCAPES = str.maketrans({"|": "\\F\\", "\r": "\\X0D\\", "\n": "\\X0A\\"})
_BREAKS_LINE = re.compile(r"[|\r\n]")
_JOIN = "\x1f"  # between a record's values while they are escaped as one text


def _needs_escape(text: str) -> bool:
    # Separate searches for single characters run at memchr speed; a
    # character-class regex walks the text one character at a time.
    return "\\" in text or "|" in text or "^" in text or "~" in text or "&" in text or "\r" in text or "\n" in text


def _escape(value: str) -> str:
    """What HL7 requires escaped in a value: the field separator, the four
    encoding characters, and line breaks, which would end the segment. The
    backslash goes first: the other escapes bring in backslashes of their own."""
    return (
        value.replace("\\", "\\E\\")
        .replace("|", "\\F\\")
        .replace("^", "\\S\\")
        .replace("~", "\\R\\")
        .replace("&", "\\T\\")
        .replace("\r", "\\X0D\\")
        .replace("\n", "\\X0A\\")
    )


_LATIN_1 = HL7_CHARSETS["8859/1"]


class MessageError(Exception):
    """A message that cannot be written: `reason` is what the summary counts,
    the text says where."""

    def __init__(self, reason: str, detail: str) -> None:
        super().__init__(detail)
        self.reason = reason


def _is_encoding_characters(key: str) -> bool:
    """Whether an MSH key is field 1 (the encoding characters, MSH-2) or a piece of it."""
    return key == "1" or key.startswith(("1.", "1["))


def _header_escaped(value: str) -> str:
    return value.translate(_HEADER_ESCAPES) if _BREAKS_LINE.search(value) else value


def hl7_escaped(records: list[dict[str, str]]) -> list[dict[str, str]]:
    """The records with each value escaped as HL7 requires, ready for the
    module's unescaped assembly. Anything that is not a record of strings is
    passed on as it is, for JsonHl7 to refuse with its own TypeError."""
    escaped: list[dict[str, str]] = []
    for record in records:
        if not isinstance(record, dict):
            escaped.append(record)
            continue
        name = record.get("segment_name")
        if type(name) is str and _BREAKS_LINE.search(name):
            raise MessageError(
                "a segment name holding | or a line break",
                f"segment name {name!r} contains a separator or line break",
            )
        header = name == "MSH"
        try:
            # One search, and one escape, over all the values of a record at
            # once: most records hold nothing to escape.
            joined = _JOIN.join(record.values())
        except TypeError:
            pass  # a value that is no string: the path below passes it on
        else:
            if not _needs_escape(joined):
                escaped.append(record)
                continue
            if joined.count(_JOIN) == len(record) - 1:
                whole = dict(zip(record, _escape(joined).split(_JOIN), strict=True))
                if name is not None:  # names are never escaped
                    whole["segment_name"] = name
                if header:
                    for key in [key for key in record if _is_encoding_characters(key)]:
                        whole[key] = _header_escaped(record[key])
                escaped.append(whole)
                continue
        changed = {}
        for key, value in record.items():
            if type(value) is not str or key == "segment_name":
                continue
            if header and _is_encoding_characters(key):
                changed[key] = _header_escaped(value)
            elif _needs_escape(value):
                changed[key] = _escape(value)
        escaped.append({**record, **changed} if changed else record)
    return escaped


def output_codec(charset: str) -> str | None:
    """The Python codec that writes `charset`, read as the reading side reads
    it; None when the name is unknown. 8859/1 is written as exact Latin-1."""
    codec_names = codecs_for(charset)
    if codec_names is None:
        return None
    return "latin-1" if codec_names == _LATIN_1 else codec_names[0]


def _message_charset(text: str) -> tuple[str, str]:
    """(codec, how it was chosen) for a message by its MSH-18; UTF-8 when it
    declares none or one the reading side does not know either."""
    end = text.find("\n")
    first_line = text if end < 0 else text[:end]
    declared = declared_charset(first_line.encode("utf-8")) if first_line.startswith("MSH") else ""
    codec = output_codec(declared) if declared else None
    if codec is None:
        return "utf-8", "UTF-8"
    return codec, f"{declared} (declared in MSH-18)"


def encode_message(
    records: list[dict[str, str]],
    *,
    escaping: Escaping = "hl7",
    line_end: str = "\r",
    mllp: bool = False,
    charset: str | None = None,
) -> bytes:
    """One message: segments ended by `line_end`, in the charset its MSH-18
    declares (or `charset`), framed for MLLP if asked.

    Raises MessageError for a character the charset cannot hold or a segment
    name that would cut the text; the module's own errors as they are.
    """
    if escaping == "hl7":
        text = tessarin.JsonHl7(hl7_escaped(records)).hl7_string_unescaped
    else:
        converter = tessarin.JsonHl7(records)
        text = converter.hl7_string if escaping == "all" else converter.hl7_string_unescaped
    if charset is not None:
        codec, why = output_codec(charset) or "utf-8", f"{charset} (the forced encoding)"
    else:
        codec, why = _message_charset(text)
    # JsonHl7 ends segments with "\n"; values hold none (escaped, or the
    # records were cut at it when they were made).
    if line_end != "\n":
        text = text.replace("\n", line_end)
    text += line_end
    try:
        data = text.encode(codec)
    except UnicodeEncodeError as error:
        raise MessageError(f"a character that {why} cannot hold", _unwritable(text, error, line_end, why)) from None
    return MLLP_START + data + MLLP_END if mllp else data


def _unwritable(text: str, error: UnicodeEncodeError, line_end: str, why: str) -> str:
    at = error.start
    line_start = text.rfind(line_end, 0, at) + len(line_end) if text.rfind(line_end, 0, at) >= 0 else 0
    name = text[line_start:at].split("|", 1)[0]
    char = text[at]
    segment = text.count(line_end, 0, at) + 1
    return f"U+{ord(char):04X} {char!r} in segment {segment} ({name}) cannot be written in {why}"


def write_messages(
    rows: Iterator[Row],
    out: BinaryIO,
    *,
    escaping: Escaping = "hl7",
    line_end: LineEnd = "cr",
    mllp: bool = False,
    charset: str | None = None,
    on_problem: Callable[[str], None] | None = None,
) -> HL7Rows:
    """Write a message for every row with records; count the others, and the
    rows whose records come with an error (a message cut short)."""
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
            data = encode_message(row.records, escaping=escaping, line_end=end, mllp=mllp, charset=charset)
        except TypeError as error:
            raise InputError(f"{row.label}: records are not objects of strings ({error})") from None
        except MessageError as error:
            counts.failures[error.reason] += 1
            if report is not None:
                report(f"{row.label}: {error}")
            continue
        except Exception as error:  # the assembler's own errors, such as a key above the limit
            counts.failures[str(error)] += 1
            if report is not None:
                report(f"{row.label}: {error}")
            continue
        out.write(data)
        counts.written += 1
        if row.error is not None:
            counts.cut_short += 1
            if report is not None:
                report(f"{row.label}: written as far as it was read; convert reported: {row.error}")
    return counts
