"""Framing: where the messages of a feed's bytes begin and end. MSH lines,
MLLP blocks, byte order marks, batch envelopes, stray fragments between
messages, truncated frames and messages too large to keep are all found
here; the decoding module makes each message's text, and the reader module
feeds the splitter from files, bytes and streams.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from dataclasses import replace

from .decoding import Decoding, decode_message, message_end, too_large
from .model import Message, Notice, NoticeKind

# An envelope segment's line is kept this far; the rest of a longer one is
# passed over, however the bytes arrive.
_ENVELOPE_LINE_LIMIT = 64 << 10

BOM = b"\xef\xbb\xbf"
_START_BLOCK = 0x0B  # MLLP: before a message
_END_BLOCK = 0x1C  # MLLP: after a message, usually followed by CR
_HEADER = b"MSH"
_ENVELOPE = (b"FHS", b"BHS", b"BTS", b"FTS")
_NAMES = frozenset((_HEADER, *_ENVELOPE))
# A segment name is three letters or digits: "MSHX" or "BTS1" is not MSH or BTS.
_NAME_BYTES = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
# A byte order mark at the start of a line (files glued together by cat) is
# dropped: the line is read as what follows it.
_NAMES_AFTER_LINE_END = (
    (b"\r", re.compile(rb"\r(?:\xef\xbb\xbf)?(?:MSH|[FB][HT]S)")),
    (b"\n", re.compile(rb"\n(?:\xef\xbb\xbf)?(?:MSH|[FB][HT]S)")),
)
# Bytes needed after a place to tell what starts there: a BOM, a name and the byte after it.
_LOOKAHEAD = 3 + 3 + 1
_SCAN_BY_LINES_FROM = 32 << 10
_LINE_END = re.compile(rb"[\r\n\x0b\x1c]")
_CR_OR_LF = re.compile(rb"[\r\n]")
_BLANK = frozenset(b" \t\r\n")
# Between messages, MLLP block bytes and white space are framing, not data.
_STRAY_BLANK = b" \t\r\n\x0b\x0c\x1c"
# How much of one stray fragment a notice quotes; the rest is counted.
_STRAY_QUOTE_LIMIT = 64 * 1024
# Bytes that text never holds; a fragment with many of them is not quoted.
_CONTROL_BYTES = bytes(b for b in range(32) if b not in b"\t\r\n\x0b\x1c") + b"\x7f"


class Splitter:
    """Cuts a byte stream into messages, fed chunk by chunk.

    `_buf` holds the unfinished part: always the byte before the next place
    to look (a line start needs it), and the open message from its first
    byte. `_base` is the source offset of `_buf[0]`.
    """

    def __init__(
        self,
        source: str,
        skipped: int,
        decoding: Decoding,
        on_notice: Callable[[Notice], None] | None,
    ) -> None:
        self._source = source
        self._decoding = decoding
        self._on_notice = on_notice
        # A line end in front of the data, so the first line starts a line.
        self._buf = b"\n"
        self._base = skipped - 1
        self._scan = 1
        self._message_at: int | None = None
        # An open message that outgrew the limit: its bytes are not kept.
        self._oversized: _Oversized | None = None
        self._gap_at = 1  # where the bytes between messages begin, when no message is open
        self._stray = _Stray()
        self._frame_at: int | None = None  # source offset of the open MLLP frame's 0x0B
        self._frame_first_index = 0
        self._batch_messages = 0
        self._index = 0
        self._file_header: str | None = None
        self._batch_header: str | None = None
        self._envelope: tuple[str, ...] = ()
        self._in_long_line = False  # passing over the rest of a long envelope line

    @property
    def carried(self) -> int:
        return len(self._buf)

    @property
    def read_to(self) -> int:
        """The source offset of the end of what was fed."""
        return self._base + len(self._buf)

    def feed(self, chunk: bytes) -> Iterator[Message]:
        self._buf += chunk
        yield from self._split(final=False)
        self._trim()

    def finish(self, last: bytes = b"", broken: str | None = None) -> Iterator[Message]:
        """The rest of the messages, once `last` (the final chunk, if not fed)
        is added; `broken` says why the source ended early, if it did."""
        self._buf += last
        yield from self._split(final=True)
        end = len(self._buf)
        why: str | None = None
        if broken is not None:
            why = f"the source broke off ({broken})"
        else:
            why = "its frame has no end block (0x1C)" if self._frame_at is not None else None
        message = self._close(end, why)
        if message is not None:
            yield message
        # A frame start followed only by bytes that are no message: those are
        # the stray fragment, reported once. A frame that holds a message is
        # truncated whatever follows it.
        frame_is_stray = (
            self._frame_at is not None
            and self._index == self._frame_first_index
            and self._stray.reaches_past(self._frame_at)
        )
        self._report_stray()
        if self._frame_at is not None and not frame_is_stray:
            self._report_truncated_frame()

    def _split(self, final: bool) -> Iterator[Message]:
        buf = self._buf
        size = len(buf)
        limit = size if final else size - _LOOKAHEAD
        if self._in_long_line:
            line_end = _LINE_END.search(buf, self._scan)
            if line_end is None:
                self._scan = self._gap_at = max(self._scan, size - 1)
                return
            self._in_long_line = False
            self._scan = self._gap_at = line_end.start()
        resume = max(limit, self._scan)
        for at in _candidates(buf, self._scan, limit):
            byte = buf[at]
            if byte == _START_BLOCK or byte == _END_BLOCK:
                # Stray bytes on both sides of a block byte are one fragment.
                unended = byte == _START_BLOCK and self._frame_at is not None
                message = self._close(at, "its frame has no end block (0x1C)" if unended else None)
                if message is not None:
                    yield message
                if byte == _START_BLOCK:
                    if self._frame_at is not None and self._index > self._frame_first_index:
                        self._report_truncated_frame()
                    self._frame_at = self._base + at
                    self._frame_first_index = self._index
                else:
                    self._frame_at = None
                continue
            name_at = at + len(BOM) if buf.startswith(BOM, at) else at
            name = buf[name_at : name_at + 3]
            if name not in _NAMES or (name_at + 3 < size and buf[name_at + 3] in _NAME_BYTES):
                continue
            if name == _HEADER:
                message = self._close(at)
                if message is not None:
                    yield message
                self._report_stray()
                self._message_at = name_at
                self._batch_messages += 1
                continue
            line_end = _LINE_END.search(buf, name_at + 3)
            if line_end is None and not final and size - name_at <= _ENVELOPE_LINE_LIMIT:
                resume = at  # the segment's line is not all here yet
                break
            end = line_end.start() if line_end is not None else size
            message = self._close(at)
            if message is not None:
                yield message
            self._report_stray()
            self._envelope_segment(buf[name_at : min(end, name_at + _ENVELOPE_LINE_LIMIT)], name_at)
            if line_end is None and not final:
                self._in_long_line = True  # its end is yet to come: pass over the bytes till then
                self._gap_at = size
                break
            if buf.startswith(b"\r\n", end):
                end += 2
            elif end < size and buf[end] in b"\r\n":
                end += 1
            self._gap_at = end
        self._scan = resume

    def _trim(self) -> None:
        """Drop what is done with, keeping the open message and one byte before the scan point."""
        keep_from = self._scan - 1
        start = self._message_at
        if start is not None and self._scan - start > self._decoding.max_size:
            # Too large to keep: pass over the rest of it, counting its bytes.
            # Blank lines may be all that made it so: keep the text before
            # them until more text shows that they were inside it.
            content_end = self._scan
            while content_end > start and self._buf[content_end - 1] in _BLANK:
                content_end -= 1
            fits = content_end - start <= self._decoding.max_size
            kept = self._buf[start:content_end] if fits else None
            self._oversized = _Oversized(self._base + start, kept, self._decoding.max_size)
            self._gap_at, self._message_at = content_end if fits else start, None
        if self._message_at is not None:
            keep_from = min(keep_from, self._message_at)
            self._message_at -= keep_from
        else:
            if self._oversized is not None:
                self._oversized.see(self._buf, self._gap_at, self._scan, self._base)
            elif self._gap_at < self._scan:
                self._stray.add(self._buf[self._gap_at : self._scan], self._base + self._gap_at)
            self._gap_at = max(self._scan, self._gap_at) - keep_from
        if keep_from > 0:
            self._buf = self._buf[keep_from:]
            self._base += keep_from
            self._scan -= keep_from

    def _close(self, end: int, cut_because: str | None = None) -> Message | None:
        """End the open message at buffer index `end`, as cut short there when
        `cut_because` says why; or gather the bytes between messages up to
        it, which _report_stray reports."""
        message = self._end_message(end)
        if message is None or cut_because is None:
            return message
        return replace(message, cut_short=f"message cut short at byte {self._base + end}: {cut_because}")

    def _end_message(self, end: int) -> Message | None:
        start = self._message_at
        if start is not None:
            self._message_at = None
            self._gap_at = end
            return self._message(start, message_end(self._buf, start, end))
        if self._oversized is not None:
            oversized, self._oversized = self._oversized, None
            oversized.see(self._buf, self._gap_at, end, self._base)
            self._gap_at = end
            if oversized.kept is not None:
                self._index += 1
                kept = oversized.kept
                return decode_message(
                    self._source, self._index - 1, oversized.offset, kept, 0, len(kept), self._decoding, self._envelope
                )
            index = self._index
            self._index += 1
            size = oversized.size(self._base + end)
            too_large_error = too_large(size, self._decoding.max_size)
            return Message(self._source, index, oversized.offset, "", too_large_error, envelope=self._envelope)
        if self._gap_at < end:
            self._stray.add(self._buf[self._gap_at : end], self._base + self._gap_at)
        self._gap_at = end
        return None

    def _report_stray(self) -> None:
        stray = self._stray.take()
        if stray is None:
            return
        offset, quoted, size = stray
        self._notice("stray fragment", offset, _stray_detail(quoted, size, self._text))

    def _message(self, start: int, end: int) -> Message:
        index = self._index
        self._index += 1
        return decode_message(
            self._source, index, self._base + start, self._buf, start, end, self._decoding, self._envelope
        )

    def _envelope_segment(self, line: bytes, at: int) -> None:
        text = self._text(line)
        self._notice("envelope segment", self._base + at, text)
        name = line[:3]
        # The headers that enclose the messages after them, until their trailer.
        if name == b"FHS":
            self._file_header, self._batch_header = text, None
        elif name == b"BHS":
            self._batch_header = text
        elif name == b"BTS":
            self._batch_header = None
        else:
            self._file_header = self._batch_header = None
        self._envelope = tuple(line for line in (self._file_header, self._batch_header) if line is not None)
        if name == b"BTS":
            mismatch = _batch_count_mismatch(line, self._batch_messages, self._text)
            if mismatch is not None:
                self._notice("batch count mismatch", self._base + at, mismatch)
            self._batch_messages = 0
        elif name in (b"BHS", b"FHS"):
            self._batch_messages = 0

    def _report_truncated_frame(self) -> None:
        assert self._frame_at is not None
        self._notice("truncated frame", self._frame_at, _truncated_frame_detail(self._index == self._frame_first_index))
        self._frame_at = None

    def _notice(self, kind: NoticeKind, offset: int, detail: str) -> None:
        if self._on_notice is not None:
            self._on_notice(Notice(kind, self._source, offset, detail))

    def _text(self, data: bytes) -> str:
        """Text of bytes that are no message, for notices: never fails."""
        forced = self._decoding.forced
        codec = forced[1][0] if forced is not None else "utf-8"
        return data.decode(codec, "backslashreplace")


def _stray_detail(quoted: bytes, size: int, text: Callable[[bytes], str]) -> str:
    if _looks_binary(quoted):
        return f"{size} bytes of binary data, no message in them"
    detail = text(quoted)
    if size > len(quoted):
        detail += f" ... ({size} bytes in all)"
    return detail


def _batch_count_mismatch(line: bytes, found: int, text: Callable[[bytes], str]) -> str | None:
    """What a BTS line's count says against the `found` messages of its batch, if they differ."""
    fields = line.split(b"|", 2)
    declared = fields[1].strip() if len(fields) > 1 else b""
    # Compared as text: a count of thousands of digits is no number to convert.
    if declared and declared.lstrip(b"0").decode("ascii", "replace") != str(found).lstrip("0"):
        return f"BTS-1 says {text(declared)}; the batch holds {found} messages"
    return None


def _truncated_frame_detail(empty: bool) -> str:
    return "a frame start (0x0B) with no message behind it" if empty else "a frame without its end block (0x1C)"


def _utf8_text(data: bytes) -> str:
    return data.decode("utf-8", "backslashreplace")


def notices_of_parts(source: str, parts: list[tuple[int, int, bytes, int]]) -> Iterator[Notice]:
    """The notices of a feed split natively (_columns.convert_buffers), from
    its (kind, offset, bytes, number) parts, worded as the splitter words them."""
    for kind, offset, data, number in parts:
        if kind == 0:
            yield Notice("stray fragment", source, offset, _stray_detail(data, number, _utf8_text))
        elif kind == 1:
            yield Notice("envelope segment", source, offset, _utf8_text(data))
            if data.startswith(b"BTS") and (mismatch := _batch_count_mismatch(data, number, _utf8_text)) is not None:
                yield Notice("batch count mismatch", source, offset, mismatch)
        else:
            yield Notice("truncated frame", source, offset, _truncated_frame_detail(bool(number)))


class _Oversized:
    """A message too large to keep, seen piece by piece: where it ends is
    found as _message_end would find it in the whole."""

    def __init__(self, offset: int, kept: bytes | None, limit: int) -> None:
        self.offset = offset
        # Its bytes while only blank lines have come after them: it may fit yet.
        self.kept = kept
        self._limit = limit
        self._cut: int | None = None  # the line end after its last non-blank byte, once seen

    def see(self, buf: bytes, start: int, end: int, base: int) -> None:
        """Take in buf[start:end], the message's next bytes; `base` is buf's source offset."""
        last = end
        while last > start and buf[last - 1] in _BLANK:
            last -= 1
        if last > start:
            self._cut = None  # more of the message: its end is after this
            self.kept = None
        elif self._cut is not None:
            return
        line_end = _CR_OR_LF.search(buf, last, end)
        if line_end is not None:
            self._cut = base + line_end.start()
        if self.kept is not None:
            # Spaces that end its last line are part of it.
            self.kept += buf[last : line_end.start() if line_end is not None else end]
            if len(self.kept) > self._limit:
                self.kept = None

    def size(self, end: int) -> int:
        """Its size, once it is closed at source offset `end`."""
        return (self._cut if self._cut is not None else end) - self.offset


def _looks_binary(data: bytes) -> bool:
    """Whether bytes are no text at all (a quote of them would be noise)."""
    if b"\x00" in data:
        return True  # no text holds NUL; UTF-16, archives and images do
    controls = len(data) - len(data.translate(None, _CONTROL_BYTES))
    return controls * 16 > len(data)


def is_one_plain_message(data: bytes) -> bool:
    """Whether `data` is one message with nothing the splitter would act on:
    no gzip, BOM or MLLP block byte, no line that may start a message or an
    envelope segment but the first."""
    if not data.startswith(_HEADER) or (len(data) > 3 and data[3] in _NAME_BYTES):
        return False
    if b"\x0b" in data or b"\x1c" in data or BOM in data:
        return False
    if len(data) < _SCAN_BY_LINES_FROM:
        for line_end, names_after_line_end in _NAMES_AFTER_LINE_END:
            if line_end in data and names_after_line_end.search(data) is not None:
                return False
        return True
    # A large message has long lines: jumping from line end to line end
    # (memchr) beats the regex's byte-by-byte scan.
    for line_end in (b"\r", b"\n"):
        at = data.find(line_end)
        while at >= 0:
            if data[at + 1 : at + 4] in _NAMES:
                return False
            at = data.find(line_end, at + 1)
    return True


def _candidates(buf: bytes, start: int, stop: int) -> list[int]:
    """Sorted positions in buf[start:stop] of MLLP block bytes, and of names
    that may start a message or an envelope segment (after CR, LF or a block byte)."""
    found: list[int] = []
    if stop <= start:  # also keeps a negative stop from counting from the end
        return found
    for block in (b"\x0b", b"\x1c"):
        # From the byte before `start`: a name right after it was not yet looked at.
        at = buf.find(block, start - 1, stop)
        while at >= 0:
            if at >= start:
                found.append(at)
            if at + 1 < stop:
                found.append(at + 1)
            at = buf.find(block, at + 1, stop)
    # A pattern that begins with one literal byte is searched at memchr speed.
    for line_end, names_after_line_end in _NAMES_AFTER_LINE_END:
        if buf.find(line_end, start - 1, stop) < 0:
            continue  # most feeds use one kind of line end: skip the other's search
        for match in names_after_line_end.finditer(buf, start - 1, stop + _LOOKAHEAD - 1):
            if match.start() < stop - 1:
                found.append(match.start() + 1)
    # A block byte right after another is found twice.
    return sorted(set(found))


class _Stray:
    """The non-blank bytes between messages, gathered across chunks."""

    def __init__(self) -> None:
        self._offset: int | None = None
        self._end = 0
        self._quoted: list[bytes] = []
        self._quoted_size = 0

    def _reset(self) -> None:
        self._offset = None
        self._end = 0
        self._quoted = []
        self._quoted_size = 0

    def add(self, data: bytes, offset: int) -> None:
        if self._offset is None:
            content = data.lstrip(_STRAY_BLANK)
            if not content:
                return
            offset += len(data) - len(content)
            data = content
            self._offset = offset
        if data.strip(_STRAY_BLANK):
            self._end = offset + len(data.rstrip(_STRAY_BLANK))
        if self._quoted_size < _STRAY_QUOTE_LIMIT:
            piece = data[: _STRAY_QUOTE_LIMIT - self._quoted_size]
            self._quoted.append(piece)
            self._quoted_size += len(piece)

    def reaches_past(self, offset: int) -> bool:
        """Whether the gathered fragment holds data after source offset `offset`."""
        return self._offset is not None and self._end > offset

    def take(self) -> tuple[int, bytes, int] | None:
        """(offset, quoted bytes, size) of the gathered fragment, if any; starts afresh."""
        if self._offset is None:
            return None
        offset, size = self._offset, self._end - self._offset
        quoted = b"".join(self._quoted)[:size]
        self._reset()
        return offset, quoted, size
