"""Reading the messages of an HL7 v2 feed: a file, bytes or a binary stream
holding any number of messages, plain or MLLP-framed, in batch envelopes or
not, gzip-compressed or not. This module reads the sources; the framing
module finds the messages in their bytes, and the decoding module makes each
one's text.

The input is read in chunks and split with bytes.find over whole chunks, so
memory stays flat (one chunk plus the message being read) and the cost per
message is a handful of C-level calls.
"""

from __future__ import annotations

import gzip
import io
import os
import zlib
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO, cast

from . import charsets
from .decoding import MAX_FIELDS, MAX_MESSAGE_SIZE, Decoding, Forced, decode_message, message_end
from .framing import BOM, Splitter, is_one_plain_message, notices_of_parts
from .model import Message, Notice

__all__ = [
    "read_messages",
    "is_gzip",
    "GZIP_MAGIC",
    "read_piece",
    "read_rest",
    "notices_of_parts",
    "FEED_START",
    "PieceState",
    "decompressed",
    "SourceBroken",
    "CHUNK_SIZE",
    "MAX_FIELDS",
    "MAX_MESSAGE_SIZE",
]

CHUNK_SIZE = 1 << 20
GZIP_MAGIC = b"\x1f\x8b"


def is_gzip(head: bytes) -> bool:
    """Whether bytes that begin a source are gzip's: the one test, wherever a source is looked at."""
    return head.startswith(GZIP_MAGIC)


def read_messages(
    source: str | os.PathLike[str] | bytes | BinaryIO,
    *,
    name: str | None = None,
    encoding: str | None = None,
    encoding_errors: str = "strict",
    on_notice: Callable[[Notice], None] | None = None,
    max_message_size: int = MAX_MESSAGE_SIZE,
    max_fields: int = MAX_FIELDS,
) -> Iterator[Message]:
    """Yield the messages of `source` in order.

    `source` is a path, the bytes of a feed, or a binary file object (read
    from its current position, not closed). `name` is the source name that
    messages and notices carry; it defaults to the path as given, "<bytes>",
    or the file object's name ("<stream>" when it has none).

    Messages are UTF-8 unless they are not valid UTF-8 and MSH-18 declares
    another charset; `encoding` forces one charset (an HL7 table 0211 name,
    a Windows code page or a Python codec name) for every message. A message
    that cannot be decoded, or that declares separators other than | and
    ^~\\&, is yielded with text "" and its `error` set.
    With `encoding_errors="replace"`, undecodable bytes become U+FFFD instead.
    A message of more than `max_message_size` bytes is yielded with text ""
    and its `error` set, without its bytes ever being held whole; so is one
    of more than `max_fields` fields (each |, ^, ~ and line end counts one).

    Stray fragments, envelope segments (FHS, BHS, BTS, FTS), batch count
    mismatches and truncated MLLP frames go to `on_notice`. A message whose
    frame has no end block, or that the source breaks off in, is yielded
    with what was read and `cut_short` set.

    Raises ValueError at once for an unknown encoding or encoding_errors
    value; OSError while iterating when the source cannot be read or its
    gzip data is corrupt, after the messages read before the break.
    """
    if encoding_errors not in ("strict", "replace"):
        raise ValueError(f'encoding_errors must be "strict" or "replace", not {encoding_errors!r}')
    if max_message_size < 1:
        raise ValueError(f"max_message_size must be at least 1, not {max_message_size}")
    forced: Forced = None
    if encoding is not None:
        codec_names = charsets.codecs_for(encoding)
        if codec_names is None:
            raise ValueError(f"unknown encoding {encoding!r} (or one that does not write ASCII as ASCII)")
        forced = (encoding, codec_names)
    if max_fields < 1:
        raise ValueError(f"max_fields must be at least 1, not {max_fields}")
    decoding = Decoding(forced, encoding_errors, max_message_size, max_fields)

    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
        if is_one_plain_message(data):
            # Most files of a feed folder hold one message: cut it at once,
            # without the chunked splitter.
            end = message_end(data, 0, len(data))
            return iter((decode_message(name or "<bytes>", 0, 0, data, 0, end, decoding),))
        if len(data) <= CHUNK_SIZE and not is_gzip(data):
            return _split_whole(data, name or "<bytes>", decoding, on_notice)
        return _read(lambda: io.BytesIO(data), True, name or "<bytes>", decoding, on_notice)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        return _read(lambda: open(path, "rb"), True, name or path, decoding, on_notice)
    stream = source
    stream_name = getattr(stream, "name", None)
    default_name = stream_name if isinstance(stream_name, str) else "<stream>"
    return _read(lambda: stream, False, name or default_name, decoding, on_notice)


class SourceBroken(OSError):
    """A source that broke off after `offset` bytes (after gzip is undone)."""

    def __init__(self, reason: str, offset: int) -> None:
        super().__init__(reason)
        self.offset = offset


def _read(
    open_stream: Callable[[], BinaryIO],
    close: bool,
    source: str,
    decoding: Decoding,
    on_notice: Callable[[Notice], None] | None,
) -> Iterator[Message]:
    raw = open_stream()
    try:
        stream, head = _decompressed(raw)
        # A pipe or socket given by the caller is read as data arrives, so a
        # live feed is not held back until a whole chunk has come; a message
        # larger than a chunk is then waited for whole.
        read_some = getattr(stream, "read1", None) if stream is raw and not close else None
        zipped = stream is not raw
        broken: list[OSError] = []

        def read(size: int) -> bytes:
            if broken:
                raise broken[0]
            if zipped:
                return _read_gzip(stream, size, broken, source)
            if read_some is not None and size <= CHUNK_SIZE:
                return cast(bytes, read_some(size))
            return stream.read(size)

        head += read(CHUNK_SIZE)
        while 0 < len(head) < len(BOM) and (more := read(CHUNK_SIZE)):
            head += more
        skipped = len(BOM) if head.startswith(BOM) else 0
        splitter = Splitter(source, skipped, decoding, on_notice)
        try:
            chunk = head[skipped:] or read(CHUNK_SIZE)
            while chunk:
                yield from splitter.feed(chunk)
                chunk = read(max(CHUNK_SIZE, splitter.carried))
        except OSError as error:
            # What was read before the break is kept; the open message is
            # marked as cut short there.
            reason = _describe(error)
            yield from splitter.finish(broken=reason)
            raise SourceBroken(reason, splitter.read_to) from error
        yield from splitter.finish()
    finally:
        if close:
            raw.close()


# Where a piece of a feed starts (_columns.feed_cut): its offset, the index
# of its first message, the FHS and BHS lines around it, and the messages
# of the open batch so far.
PieceState = tuple[int, int, bytes | None, bytes | None, int]
FEED_START: PieceState = (0, 0, None, None, 0)


def _resumed(
    name: str, state: PieceState, data: bytes, decoding: Decoding, on_notice: Callable[[Notice], None] | None
) -> tuple[Splitter, int]:
    """A splitter that goes on where the pieces before `data` left it; how
    many bytes of `data` (a byte order mark at the feed's start) it skips."""
    offset, index, file_header, batch_header, batch_messages = state
    skipped = len(BOM) if offset == 0 and data.startswith(BOM) else 0
    splitter = Splitter(name, offset + skipped, decoding, on_notice)
    splitter._index = splitter._frame_first_index = index
    splitter._batch_messages = batch_messages
    splitter._file_header = None if file_header is None else splitter._text(file_header)
    splitter._batch_header = None if batch_header is None else splitter._text(batch_header)
    splitter._envelope = tuple(line for line in (splitter._file_header, splitter._batch_header) if line is not None)
    return splitter, skipped


def read_piece(
    data: bytes,
    name: str,
    state: PieceState,
    *,
    encoding_errors: str = "strict",
    on_notice: Callable[[Notice], None] | None = None,
    max_message_size: int = MAX_MESSAGE_SIZE,
    max_fields: int = MAX_FIELDS,
    broken: str | None = None,
) -> Iterator[Message]:
    """The messages of `data`, a piece of a feed that starts at `state`, as
    read_messages gives them from the whole feed; with `broken`, the feed
    broke off for that reason after the piece."""
    splitter, skipped = _resumed(
        name, state, data, Decoding(None, encoding_errors, max_message_size, max_fields), on_notice
    )
    return splitter.finish(data[skipped:], broken)


def read_rest(
    stream: BinaryIO,
    carried: bytes,
    name: str,
    state: PieceState,
    *,
    encoding_errors: str = "strict",
    on_notice: Callable[[Notice], None] | None = None,
    max_message_size: int = MAX_MESSAGE_SIZE,
    max_fields: int = MAX_FIELDS,
) -> Iterator[Message]:
    """The messages of a feed from `state` on: `carried`, the bytes read from
    there, then the rest of `stream`, read in chunks as read_messages reads."""
    decoding = Decoding(None, encoding_errors, max_message_size, max_fields)
    splitter, skipped = _resumed(name, state, carried, decoding, on_notice)
    try:
        chunk = carried[skipped:]
        while chunk:
            yield from splitter.feed(chunk)
            chunk = stream.read(max(CHUNK_SIZE, splitter.carried))
    except OSError as error:
        reason = _describe(error)
        yield from splitter.finish(broken=reason)
        raise SourceBroken(reason, splitter.read_to) from error
    yield from splitter.finish()


def _read_gzip(stream: BinaryIO, size: int, broken: list[OSError], source: str) -> bytes:
    """Up to `size` bytes of a gzip stream, one decompression step at a time,
    so that the bytes before a break are not lost with it: the break is kept
    in `broken` and raised by the next read."""
    parts: list[bytes] = []
    got = 0
    try:
        while got < size and (piece := cast(Any, stream).read1(size - got)):
            parts.append(piece)
            got += len(piece)
    except (EOFError, zlib.error, gzip.BadGzipFile, OSError) as error:
        broken.append(OSError(f"{source}: gzip data is corrupt or cut short ({error})"))
        if not parts:
            raise broken[0] from error
    return b"".join(parts)


def _describe(error: OSError) -> str:
    return error.strerror or str(error) if isinstance(error, OSError) else str(error)


def _split_whole(
    data: bytes,
    source: str,
    decoding: Decoding,
    on_notice: Callable[[Notice], None] | None,
) -> Iterator[Message]:
    """What _read does with bytes that fit in one chunk, without the stream."""
    skipped = len(BOM) if data.startswith(BOM) else 0
    splitter = Splitter(source, skipped, decoding, on_notice)
    yield from splitter.finish(data[skipped:])


class _Prefixed(io.RawIOBase):
    """A stream whose first bytes were already read: gives them back first."""

    def __init__(self, head: bytes, rest: BinaryIO) -> None:
        super().__init__()
        self._head = head
        self._rest = rest

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if self._head:
            head = self._head if size < 0 else self._head[:size]
            self._head = self._head[len(head) :]
            return head
        return self._rest.read(size)

    def readinto(self, buffer: Any) -> int:
        data = self.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)


def decompressed(raw: BinaryIO) -> BinaryIO:
    """`raw`, with gzip undone when it starts with the gzip magic bytes,
    whatever the source is called."""
    stream, head = _decompressed(raw)
    return cast(BinaryIO, io.BufferedReader(_Prefixed(head, stream))) if head else stream


def _decompressed(raw: BinaryIO) -> tuple[BinaryIO, bytes]:
    """The stream to split, and the bytes of it already read."""
    head = b""
    while len(head) < len(GZIP_MAGIC) and (more := raw.read(len(GZIP_MAGIC) - len(head))):
        head += more
    if is_gzip(head):
        return cast(BinaryIO, gzip.GzipFile(fileobj=_Prefixed(head, raw), mode="rb")), b""
    return raw, head
