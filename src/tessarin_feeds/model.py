"""The values that pass between reading, converting and writing a feed."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

NoticeKind = Literal["stray fragment", "batch count mismatch", "truncated frame", "envelope segment", "read error"]


@dataclass(frozen=True, slots=True)
class Message:
    """One message of a source, as the reader found it."""

    source: str
    index: int  # counts from 0 in its source
    offset: int  # of its first byte, after gzip is undone
    text: str  # decoded, without its final line end; "" when `error` is set
    error: str | None = None  # why it cannot be converted (undecodable bytes, other separators)
    # Why `text` is only what was read before the source broke off (a frame
    # without its end block, a gzip stream cut short, a read error).
    cut_short: str | None = None
    # The FHS and BHS lines that enclose it, file header first.
    envelope: tuple[str, ...] = ()
    # Its MSH line when `error` is set and the line could be read: the
    # header columns are filled from it.
    header: str = ""


@dataclass(frozen=True, slots=True)
class Notice:
    """Something in a source that is not a message: reported, never dropped."""

    kind: NoticeKind
    source: str
    offset: int
    detail: str  # the text of a stray fragment or envelope segment, or what was wrong


@dataclass(frozen=True, slots=True)
class Converted:
    """A message with its records, or the reason it has none; a message cut
    short has both: the records of what was read, and why it is incomplete."""

    message: Message
    records: list[dict[str, str]] | None
    error: str | None
