"""The feed reader (splitting, MLLP deframing, envelopes, decoding) under
atheris, against a plain model that reads the whole input in one pass.

The first input byte picks the options: a forced Latin-1 encoding, "replace"
for undecodable bytes, gzip, and how the feed is read (as bytes; as a stream
cut into small chunks; as a caller's stream that hands over a few bytes at a
time). The second sets max_message_size: below 0x80 it is that byte plus one,
small enough that short feeds cross it; from 0x80 the default stands. The
rest is the feed. The read must give the messages and notices of the model,
in its order.

    python fuzz/fuzz_feed_reader.py CORPUS_DIR [libFuzzer flags]
"""

from __future__ import annotations

import gzip
import io
import os
import re
import sys

import atheris

with atheris.instrument_imports(include=["tessarin_feeds"]):
    from tessarin_feeds import reader

_BLOCK_BYTES = b"\x0b\x1c"
_LINE_START_AFTER = re.compile(rb"[\r\n\x0b\x1c]")
_NAME_BYTES = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
_ENVELOPE = (b"FHS", b"BHS", b"BTS", b"FTS")
_DEFAULT_HEADER = b"MSH|^~\\&"
# Between messages, white space and MLLP block bytes are framing, not data.
_FRAMING = b" \t\r\n\x0b\x0c\x1c"
_QUOTED_AT_MOST = 64 * 1024
# Charsets the model reads itself; a message that declares another one is
# only held to "decoded, or an error that points at a byte it really has".
_MODEL_CHARSETS = {
    "ASCII": ("ascii",),
    "8859/1": ("cp1252", "latin-1"),
    "8859/15": ("iso8859-15",),
    "UNICODE UTF-8": ("utf-8",),
}


class _Model:
    """The events of a feed, found by walking its line starts in one pass.

    The bytes between one message or envelope line and the next (MLLP block
    bytes included) are one stray fragment, reported when the next message
    or envelope segment starts, or at the end.
    """

    def __init__(self, feed: bytes, forced_latin1: bool, replace: bool, limit: int | None) -> None:
        self.events: list[tuple[object, ...]] = []
        self._forced = forced_latin1
        self._replace = replace
        self._limit = limit
        self._skipped = 3 if feed.startswith(b"\xef\xbb\xbf") else 0
        self._body = feed[self._skipped :]
        self._open: int | None = None
        self._gap = 0
        self._frame: int | None = None
        self._frame_first = 0
        self._batch = 0
        self._messages = 0

    def run(self) -> list[tuple[object, ...]]:
        body = self._body
        starts = [0] + [m.end() for m in _LINE_START_AFTER.finditer(body)]
        skip_to = 0
        for at in starts:
            if at < skip_to:
                continue
            if at > 0 and body[at - 1] in _BLOCK_BYTES:
                self._block(at - 1)
            if at >= len(body):
                break
            # A byte order mark that starts a line is dropped.
            name_at = at + 3 if body.startswith(b"\xef\xbb\xbf", at) else at
            name = body[name_at : name_at + 3]
            if name != b"MSH" and name not in _ENVELOPE:
                continue
            if name_at + 3 < len(body) and body[name_at + 3] in _NAME_BYTES:
                continue
            self._close(at)
            self._stray(at)
            if name == b"MSH":
                self._open = name_at
                self._batch += 1
                continue
            end = _LINE_START_AFTER.search(body, name_at + 3)
            line_end = end.start() if end else len(body)
            self._envelope(body[name_at:line_end], name_at)
            if body.startswith(b"\r\n", line_end):
                line_end += 2
            elif line_end < len(body) and body[line_end] in b"\r\n":
                line_end += 1
            self._gap = skip_to = line_end
        self._close(len(body), cut=self._frame is not None)
        stray_end = self._stray(len(body))
        if self._frame is not None:
            # A frame that holds no message, only stray bytes, is told by
            # the stray fragment alone.
            junk_only = self._messages == self._frame_first and stray_end > self._frame
            if not junk_only:
                self._truncated()
        return self.events

    def _block(self, at: int) -> None:
        # A frame start inside an open frame cuts its message short.
        self._close(at, cut=self._body[at] == 0x0B and self._frame is not None)
        if self._body[at] == 0x0B:
            # A frame start with nothing behind it before the next one is no loss.
            if self._frame is not None and self._messages > self._frame_first:
                self._truncated()
            self._frame, self._frame_first = at, self._messages
        else:
            self._frame = None

    def _close(self, end: int, cut: bool = False) -> None:
        if self._open is None:
            return
        start, self._open = self._open, None
        segment = self._body[start:end]
        if self._limit is None or len(_trimmed(segment)) <= self._limit:
            segment = re.sub(rb"(?<=[\r\n])\xef\xbb\xbf", b"", segment)
        self._message(start, _trimmed(segment), cut)
        self._gap = end

    def _stray(self, end: int) -> int:
        """Report the bytes between messages up to `end`; where their last non-framing byte ends."""
        gap, self._gap = self._gap, end
        fragment = self._body[gap:end]
        content = fragment.strip(_FRAMING)
        if not content:
            return -1
        at = gap + len(fragment) - len(fragment.lstrip(_FRAMING))
        quoted = content[:_QUOTED_AT_MOST]
        controls = sum(1 for b in quoted if (b < 32 and b not in b"\t\r\n\x0b\x1c") or b == 127)
        if 0 in quoted or controls * 16 > len(quoted):
            detail = f"{len(content)} bytes of binary data, no message in them"
        else:
            detail = self._shown(quoted)
            if len(content) > len(quoted):
                detail += f" ... ({len(content)} bytes in all)"
        self._notice("stray fragment", at, detail)
        return at + len(content)

    def _envelope(self, line: bytes, at: int) -> None:
        self._notice("envelope segment", at, self._shown(line))
        if line[:3] == b"BTS":
            fields = line.split(b"|")
            declared = fields[1].strip() if len(fields) > 1 else b""
            if declared and not (declared.isdigit() and int(declared) == self._batch):
                detail = f"BTS-1 says {self._shown(declared)}; the batch holds {self._batch} messages"
                self._notice("batch count mismatch", at, detail)
        if line[:3] != b"FTS":
            self._batch = 0

    def _shown(self, data: bytes) -> str:
        return data.decode("latin-1" if self._forced else "utf-8", "backslashreplace")

    def _truncated(self) -> None:
        behind = self._messages > self._frame_first
        detail = "a frame without its end block (0x1C)" if behind else "a frame start (0x0B) with no message behind it"
        assert self._frame is not None
        self._notice("truncated frame", self._frame, detail)
        self._frame = None

    def _notice(self, kind: str, at: int, detail: str) -> None:
        self.events.append(("notice", kind, self._skipped + at, detail))

    def _message(self, start: int, raw: bytes, cut: bool) -> None:
        index, offset = self._messages, self._skipped + start
        self._messages += 1
        if self._limit is not None and len(raw) > self._limit:
            error = f"message too large: {len(raw)} bytes, more than the limit of {self._limit} bytes"
            self.events.append(("message", index, offset, "", error, cut))
        elif not raw.startswith(_DEFAULT_HEADER):
            self.events.append(("message", index, offset, "", "non-default separators", cut))
        elif self._forced:
            self.events.append(("message", index, offset, raw.decode("latin-1"), None, cut))
        else:
            self.events.append(("message", index, offset, *self._decoded(raw, offset), cut))

    def _decoded(self, raw: bytes, offset: int) -> tuple[str, str | None]:
        try:
            return raw.decode("utf-8"), None
        except UnicodeDecodeError:
            pass
        first_line = re.split(rb"[\r\n]", raw, maxsplit=1)[0]
        fields = first_line.split(b"|")
        declared = fields[17].split(b"~")[0].strip().decode("latin-1") if len(fields) > 17 else ""
        codecs = _MODEL_CHARSETS.get(" ".join(declared.split()).upper())
        if codecs is None:
            return "?", "?"  # held to the weaker check in _same
        for codec in codecs:
            try:
                return raw.decode(codec), None
            except UnicodeDecodeError:
                pass
        if self._replace:
            return raw.decode(codecs[0], "replace"), None
        return "", "cannot decode"


def _trimmed(segment: bytes) -> bytes:
    """Up to the line end after its last non-blank byte: a last segment keeps
    the spaces it ends with."""
    last = len(segment.rstrip(b" \t\r\n"))
    cut = re.search(rb"[\r\n]", segment[last:])
    return segment[: last + cut.start()] if cut else segment


def _same(found: tuple[object, ...], expected: tuple[object, ...], feed: bytes) -> bool:
    if found[:3] != expected[:3]:
        return False
    if found[0] == "notice":
        return found[3] == expected[3]
    if found[5] != expected[5]:
        return False
    text, error = found[3], found[4]
    want_text, want_error = expected[3], expected[4]
    if want_error is None:
        return text == want_text and error is None
    assert isinstance(error, (str, type(None))) and isinstance(want_error, str)
    if want_error == "?":  # a charset the model does not know
        if error is None:
            return isinstance(text, str) and text != ""
        return text == "" and _points_at_its_byte(error, feed)
    return text == "" and error is not None and error.startswith(want_error)


def _points_at_its_byte(error: str, feed: bytes) -> bool:
    found = re.search(r"byte 0x([0-9a-f]{2}) at offset (\d+)", error)
    return (
        found is not None and int(found.group(2)) < len(feed) and feed[int(found.group(2))] == int(found.group(1), 16)
    )


class _Trickle(io.RawIOBase):
    """A caller's stream that hands over at most `step` bytes per read1."""

    def __init__(self, data: bytes, step: int) -> None:
        super().__init__()
        self._data, self._at, self._step = data, 0, step

    def readable(self) -> bool:
        return True

    def read1(self, size: int = -1) -> bytes:
        return self.read(min(size, self._step) if size >= 0 else self._step)

    def read(self, size: int = -1) -> bytes:
        end = len(self._data) if size < 0 else min(len(self._data), self._at + size)
        piece, self._at = self._data[self._at : end], end
        return piece


def _events(source: object, options: dict[str, object]) -> list[tuple[object, ...]]:
    events: list[tuple[object, ...]] = []
    notice = lambda n: events.append(("notice", n.kind, n.offset, n.detail))  # noqa: E731
    for m in reader.read_messages(source, on_notice=notice, **options):  # type: ignore[arg-type]
        events.append(("message", m.index, m.offset, m.text, m.error, m.cut_short is not None))
    return events


def test_one_input(data: bytes) -> None:
    if len(data) < 2:
        return
    flags, limit_byte, feed = data[0], data[1], data[2:]
    forced, replace = bool(flags & 1), bool(flags & 2)
    limit = limit_byte + 1 if limit_byte < 0x80 else None
    # Bytes that begin like gzip are read as gzip: such a feed is given zipped.
    zipped = bool(flags & 4) or feed.startswith(b"\x1f\x8b")
    options: dict[str, object] = {"encoding_errors": "replace" if replace else "strict"}
    if forced:
        options["encoding"] = "latin-1"
    if limit is not None:
        options["max_message_size"] = limit
    expected = _Model(feed, forced, replace, limit).run()
    source = gzip.compress(feed, mtime=0) if zipped else feed

    way = (flags >> 3) & 3
    if way < 2:
        found = _events(source, options)
    else:
        saved = reader.CHUNK_SIZE
        reader.CHUNK_SIZE = chunk = 4 + 8 * (flags >> 5)
        try:
            found = _events(_Trickle(source, chunk) if way == 3 else io.BytesIO(source), options)
        finally:
            reader.CHUNK_SIZE = saved
    if len(found) != len(expected) or not all(_same(f, e, feed) for f, e in zip(found, expected, strict=True)):
        raise AssertionError(f"reader and model differ\n reader: {found!r}\n model:  {expected!r}")


def main() -> None:
    # libFuzzer's merge starts argv[0] again: a wrapper that sets up the
    # interpreter names itself here, as this file cannot be run alone.
    argv = [os.environ.get("TESSARIN_FUZZ_COMMAND", sys.argv[0]), *sys.argv[1:]]
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
