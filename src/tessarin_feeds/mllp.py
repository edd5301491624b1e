"""MLLP framing and HL7 acknowledgements, shared by `listen` and `send`.

A frame is 0x0B, the message, 0x1C and (usually) 0x0D. FrameReader cuts a
byte stream into frames holding at most a bounded number of bytes per
connection, whatever the peer sends.
"""

from __future__ import annotations

import itertools
import os
import re
import time
from dataclasses import dataclass

START = b"\x0b"
END = b"\x1c"
TRAILER = b"\x1c\r"

# The first bytes of a refused frame kept to answer it: its MSH line.
HEAD_KEPT = 4096


@dataclass(frozen=True, slots=True)
class Frame:
    """A whole frame's content, or a refused one: `data` is then only its
    first bytes and `size` the whole size."""

    data: bytes
    offset: int  # of its first content byte in the connection
    size: int
    oversized: bool = False


class FrameReader:
    """Cuts a connection's bytes into frames. Bytes outside frames are
    counted in `junk` and dropped; a frame larger than `max_size` is passed
    over as it arrives and returned with `oversized` set."""

    def __init__(self, max_size: int) -> None:
        self.max_size = max_size
        self.junk = 0
        self._parts: list[bytes] = []  # the open frame's content so far
        self._held = 0
        self._in_frame = False
        self._frame_at = 0
        self._dropped = 0  # bytes of an oversized open frame that were not kept
        self._over = False  # the open frame is past max_size
        self._position = 0  # connection offset of the next byte fed

    @property
    def in_frame(self) -> bool:
        return self._in_frame

    def feed(self, data: bytes) -> list[Frame]:
        frames: list[Frame] = []
        at, size = 0, len(data)
        base = self._position
        self._position += size
        while at < size:
            if not self._in_frame:
                start = data.find(START, at)
                if start < 0:
                    self.junk += _not_blank(data, at, size)
                    return frames
                self.junk += _not_blank(data, at, start)
                self._in_frame = True
                self._frame_at = base + start + 1
                at = start + 1
                continue
            end = data.find(END, at)
            stop = size if end < 0 else end
            self._take(data, at, stop)
            if end < 0:
                return frames
            frames.append(self._close())
            at = end + 1
            if at < size and data[at] == 0x0D:
                at += 1
        return frames

    def _take(self, data: bytes, start: int, stop: int) -> None:
        # A frame start inside a frame means the sender gave up on the last one:
        # begin again there rather than join two messages.
        restart = data.rfind(START, start, stop)
        if restart >= 0:
            self.junk += self._held + self._dropped + (restart - start)
            self._parts, self._held, self._dropped, self._over = [], 0, 0, False
            self._frame_at = self._position - len(data) + restart + 1
            start = restart + 1
        piece = data[start:stop]
        if not self._over and len(piece) <= self.max_size - self._held:
            if piece:
                self._parts.append(piece)
                self._held += len(piece)
            return
        # Past the limit: keep only the head for the answer, count the rest.
        self._over = True
        if self._held > HEAD_KEPT:
            head = b"".join(self._parts)[:HEAD_KEPT]
            self._parts, self._dropped = [head], self._dropped + self._held - HEAD_KEPT
            self._held = HEAD_KEPT
        keep = max(0, HEAD_KEPT - self._held)
        if keep:
            self._parts.append(piece[:keep])
            self._held += min(keep, len(piece))
        self._dropped += len(piece) - min(keep, len(piece))

    def _close(self) -> Frame:
        data = b"".join(self._parts)
        frame = Frame(data, self._frame_at, self._held + self._dropped, self._over)
        self._parts, self._held, self._dropped, self._in_frame, self._over = [], 0, 0, False, False
        return frame


def _not_blank(data: bytes, start: int, stop: int) -> int:
    """Bytes in data[start:stop] other than line ends and spaces between frames."""
    if stop <= start:
        return 0
    return stop - start - sum(data.count(blank, start, stop) for blank in (b"\r", b"\n", b" ", b"\t"))


def frame(message: bytes) -> bytes:
    return START + message + TRAILER


# -- acknowledgements -----------------------------------------------------------------

_ESCAPES = {"\\": "\\E\\", "|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\", "\r": "\\X0D\\", "\n": "\\X0A\\"}
_ESCAPE_TABLE = str.maketrans(_ESCAPES)

_counter = itertools.count(1)
_process_tag = f"{os.getpid() % 100000:05d}"


def escape(text: str) -> str:
    """Text for one HL7 field, separators escaped."""
    return text.translate(_ESCAPE_TABLE)


def new_control_id() -> str:
    """Unique within this process and across restarts (time, process, count)."""
    return f"T{time.time_ns() // 1000 % 10**13:013d}{_process_tag}{next(_counter) % 10**6:06d}"


def header_line(message: bytes) -> list[str]:
    """The MSH fields of a message (MSH-1 is the "|" it starts with): [] when
    it does not begin with an MSH segment."""
    line = message.split(b"\r", 1)[0].split(b"\n", 1)[0]
    if not line.startswith(b"MSH") or len(line) < 4:
        return []
    text = line.decode("utf-8", "replace")
    return [text[:3], *text[4:].split(text[3])]


def _field(fields: list[str], number: int) -> str:
    """MSH-number, the standard's way (MSH-1 is the separator)."""
    if number == 1:
        return "|"
    return fields[number - 1] if len(fields) > number - 1 else ""


# ERR-3: table 0357 has no code for "does not convert" or "frame too large";
# 207 is what receivers use for a message they could not process.
ERROR_CODE = "207^Application internal error^HL70357"


def build_ack(received: bytes, code: str, text: str | None = None, now: str | None = None) -> bytes:
    """The acknowledgement of `received`: its MSH with sender and receiver
    swapped, MSA with `code` and its control id, and for an error an ERR
    segment carrying `text`."""
    fields = header_line(received)
    encoding = _field(fields, 2) or "^~\\&"
    trigger = _field(fields, 9).split("^")[1:2]
    stamp = now or time.strftime("%Y%m%d%H%M%S")
    msh = [
        "MSH",
        encoding,
        _field(fields, 5),
        _field(fields, 6),
        _field(fields, 3),
        _field(fields, 4),
        stamp,
        "",
        f"ACK^{trigger[0]}^ACK" if trigger and trigger[0] else "ACK",
        new_control_id(),
        _field(fields, 11) or "P",
        _field(fields, 12) or "2.5",
    ]
    segments = ["|".join(msh), f"MSA|{code}|{_field(fields, 10)}"]
    if code != "AA":
        segments.append(f"ERR|||{ERROR_CODE}|E||||{escape(text or '')}")
    return "\r".join(segments).encode("utf-8") + b"\r"


@dataclass(frozen=True, slots=True)
class Ack:
    code: str  # MSA-1; "" when the answer holds no MSA
    control_id: str  # MSA-2
    text: str  # ERR-8, else MSA-3, else ""


def parse_ack(data: bytes) -> Ack:
    code = control_id = text = ""
    for segment in data.decode("utf-8", "replace").replace("\n", "\r").split("\r"):
        fields = segment.split("|")
        if fields[0] == "MSA":
            code = fields[1] if len(fields) > 1 else ""
            control_id = fields[2] if len(fields) > 2 else ""
            if len(fields) > 3 and fields[3] and not text:
                text = fields[3]
        elif fields[0] == "ERR" and len(fields) > 8 and fields[8]:
            text = fields[8]
    return Ack(code, control_id, _unescape(text))


_UNESCAPES = {escaped: plain for plain, escaped in _ESCAPES.items()}
_ESCAPED = re.compile("|".join(re.escape(escaped) for escaped in _UNESCAPES))


def _unescape(text: str) -> str:
    return _ESCAPED.sub(lambda match: _UNESCAPES[match[0]], text)
