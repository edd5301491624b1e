"""How one message's bytes become its text: the size and field limits, byte
order marks at line starts, the separators check and the character set. A
message that cannot be decoded keeps its error (and, where it can be read,
its MSH line for the header columns)."""

from __future__ import annotations

import re
from typing import NamedTuple

from . import charsets
from .model import Message

__all__ = ["MAX_FIELDS", "MAX_MESSAGE_SIZE", "Decoding", "Forced", "decode_message", "message_end", "too_large"]

_BOM = b"\xef\xbb\xbf"
_DEFAULT_HEADER = b"MSH|^~\\&"  # only the first four encoding characters change how text is cut
_BOM_AT_LINE_START = re.compile(rb"(?<=[\r\n])\xef\xbb\xbf")
_CR_OR_LF = re.compile(rb"[\r\n]")
_BLANK = frozenset(b" \t\r\n")

# A message larger than this is not held in memory: it becomes a message
# with an error, and its bytes are passed over as they are read. Far above
# real messages (a scanned document in OBX-5 is a few megabytes), low enough
# that a file with no line ends cannot exhaust memory.
MAX_MESSAGE_SIZE = 64 << 20
# A message of more fields than this (every |, ^, ~ and line end begins
# one) is not converted: records cost far more per field than its text, so
# this, beside the size limit, is what bounds a worker's memory.
MAX_FIELDS = 1_000_000
_FIELD_BYTES = (b"|", b"^", b"~", b"\r", b"\n")
Forced = tuple[str, tuple[str, ...]] | None


class Decoding(NamedTuple):
    """How a message's bytes become its text."""

    forced: Forced  # (charset, codec names) that every message is decoded with
    errors: str
    max_size: int
    max_fields: int = MAX_FIELDS


def too_large(size: int, limit: int) -> str:
    return f"message too large: {size} bytes, more than the limit of {limit} bytes"


def decode_message(
    source: str,
    index: int,
    offset: int,
    buf: bytes,
    start: int,
    end: int,
    decoding: Decoding,
    envelope: tuple[str, ...] = (),
) -> Message:
    """The message of buf[start:end], decoded; or, when it cannot be, with its error."""
    if end - start > decoding.max_size:
        return Message(source, index, offset, "", too_large(end - start, decoding.max_size), envelope=envelope)
    if end - start >= decoding.max_fields:  # fewer bytes cannot hold more fields
        fields = 1 + sum(buf.count(separator, start, end) for separator in _FIELD_BYTES)
        if fields > decoding.max_fields:
            error = f"message has too many fields: {fields}, more than the limit of {decoding.max_fields}"
            return Message(source, index, offset, "", error, envelope=envelope, header=_header_line(buf[start:end]))
    dropped: list[int] = []  # where byte order marks were taken out, for offsets in errors
    if buf.find(_BOM, start, end) >= 0:
        raw = buf[start:end]
        dropped = [found.start() for found in _BOM_AT_LINE_START.finditer(raw)]
        buf = _BOM_AT_LINE_START.sub(b"", raw)
        start, end = 0, message_end(buf, 0, len(buf))
    if not buf.startswith(_DEFAULT_HEADER, start, end):
        raw = buf[start:end]
        return Message(source, index, offset, "", _separators_error(raw), envelope=envelope, header=_header_line(raw))
    errors = decoding.errors
    try:
        if decoding.forced is None:
            try:
                # Decoded in place: a copy of a large message first costs
                # more than decoding it.
                text = str(memoryview(buf)[start:end], "utf-8")
            except UnicodeDecodeError:
                text = charsets.decode_declared(buf[start:end], errors)
        else:
            charset, codec_names = decoding.forced
            text = charsets.decode_forced(buf[start:end], charset, codec_names, errors)
    except charsets.Undecodable as error:
        return Message(
            source,
            index,
            offset,
            "",
            f"cannot decode message {index} of {source}: byte 0x{error.byte:02x}"
            f" at offset {offset + _position_before_drops(error.position, dropped)} is not valid {error.why}",
            envelope=envelope,
            header=_header_line(buf[start:end]),
        )
    return Message(source, index, offset, text, envelope=envelope)


def _position_before_drops(position: int, dropped: list[int]) -> int:
    """A position in a message's text as it was before the byte order marks
    at `dropped` (positions in the original) were taken out."""
    for count, at in enumerate(dropped):
        if at - len(_BOM) * count > position:
            break
        position += len(_BOM)
    return position


# A header line longer than this is not kept for the header columns.
_HEADER_LINE_LIMIT = 64 << 10


def _header_line(raw: bytes) -> str:
    """The MSH line of a message that cannot be converted, for its header columns."""
    line = _CR_OR_LF.split(raw[: _HEADER_LINE_LIMIT + 1], maxsplit=1)[0]
    return "" if len(line) > _HEADER_LINE_LIMIT else line.decode("utf-8", "backslashreplace")


def message_end(buf: bytes, start: int, end: int) -> int:
    """Where the message in buf[start:end] ends: before its final line end and
    any blank lines after it, but after spaces that end its last segment."""
    # Walks back byte by byte rather than rstrip: the blank tail is a line end
    # or two, and rstrip would copy the whole message.
    last = end
    while last > start and buf[last - 1] in _BLANK:
        last -= 1
    line_end = _CR_OR_LF.search(buf, last, end)
    return line_end.start() if line_end is not None else end


def _shown(header_bytes: bytes) -> str:
    # Quoted in an error before the message is decoded: UTF-8 where it is,
    # escapes for the bytes that are not.
    return header_bytes.decode("utf-8", "backslashreplace")


def _separators_error(raw: bytes) -> str:
    line = _CR_OR_LF.split(raw, maxsplit=1)[0]
    field_separator = line[3:4]
    if not field_separator:
        return "non-default separators: the MSH segment declares none (tessarin splits at | and ^~\\&)"
    encoding_characters = line[4:].split(field_separator, 1)[0]
    return (
        f'non-default separators: field separator "{_shown(field_separator)}"'
        f' and encoding characters "{_shown(encoding_characters)}"'
        " (tessarin splits only at | and ^~\\&)"
    )
