"""The journal of `tessarin listen`: what was acknowledged is here, on disk,
until it is in an output file.

Messages are appended to a segment file in DIR/.journal as entries (length,
CRC-32, payload). A closed segment is rolled into one output file: written
under a temporary name, flushed, renamed, and only then is the segment
removed. The output's name follows from the segment's, so rolling a segment
again after a crash replaces the file with the same rows: each row lands
exactly once.
"""

from __future__ import annotations

import errno
import fcntl
import os
import re
import struct
import tempfile
import time
import zlib
from collections.abc import Iterator
from dataclasses import dataclass

import orjson

from .model import Message

JOURNAL_FOLDER = ".journal"
_ENTRY = struct.Struct("<II")  # payload length, CRC-32 of the payload
_SEGMENT_NAME = re.compile(r"^(\d{8})-(\d{8}T\d{6})\.log$")
_OUTPUT_NAME = re.compile(r"^(\d{8}T\d{6})-(\d{8})\.(?:jsonl|parquet)$")
_TEMP_NAME = re.compile(r"^\.\d{8}T\d{6}-\d{8}\.(?:jsonl|parquet)\..*\.part$")
# Parquet rows are converted in batches of this many messages while rolling.
ROLL_BATCH = 1000


class JournalError(Exception):
    """The journal folder cannot be used: the command stops with status 2."""


@dataclass(frozen=True, slots=True)
class Segment:
    path: str
    sequence: int
    stamp: str  # when it was opened, UTC

    def output_name(self, encoding: str) -> str:
        return f"{self.stamp}-{self.sequence:08d}.{encoding}"


def encode_entry(payload: bytes) -> bytes:
    return _ENTRY.pack(len(payload), zlib.crc32(payload)) + payload


def read_entries(path: str) -> Iterator[bytes]:
    """The payloads of a segment, up to the first entry that is cut short or
    damaged: a tail that was never acknowledged (or never made it to disk)."""
    with open(path, "rb", buffering=1 << 20) as file:
        while True:
            head = file.read(_ENTRY.size)
            if len(head) < _ENTRY.size:
                return
            size, crc = _ENTRY.unpack(head)
            payload = file.read(size)
            if len(payload) < size or zlib.crc32(payload) != crc:
                return
            yield payload


def _fsync_folder(folder: str) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class Journal:
    """The segments of one output folder. Not thread-safe: one thread appends
    and rotates at a time; rolling a closed segment may run in another."""

    def __init__(self, folder: str, header: dict[str, object], sync: bool) -> None:
        self.folder = folder
        self.path = os.path.join(folder, JOURNAL_FOLDER)
        self._header = orjson.dumps(header)
        self._sync = sync
        try:
            os.makedirs(self.path, exist_ok=True)
            self._lock = os.open(os.path.join(self.path, "lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as error:
            raise JournalError(f"cannot write {folder}: {error.strerror or error}") from None
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            os.close(self._lock)
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise JournalError(f"{folder} is in use by another tessarin listen") from None
            raise JournalError(f"cannot lock {folder}: {error.strerror or error}") from None
        for name in os.listdir(folder):
            if _TEMP_NAME.match(name):
                os.unlink(os.path.join(folder, name))  # a roll cut short: done again from its segment
        self._next = 1 + max(self._sequences(), default=0)
        self._fd: int | None = None
        self._segment: Segment | None = None
        self.size = 0  # bytes of messages in the open segment
        self.opened_at = 0.0  # monotonic time of its first message

    def _sequences(self) -> Iterator[int]:
        for name in os.listdir(self.path):
            if match := _SEGMENT_NAME.match(name):
                yield int(match[1])
        for name in os.listdir(self.folder):
            if match := _OUTPUT_NAME.match(name):
                yield int(match[2])

    def leftovers(self) -> list[Segment]:
        """Segments a previous run left: closed or not, they are complete up to their last good entry."""
        found = []
        for name in sorted(os.listdir(self.path)):
            if match := _SEGMENT_NAME.match(name):
                found.append(Segment(os.path.join(self.path, name), int(match[1]), match[2]))
        return found

    def append(self, payloads: list[bytes]) -> None:
        """Write the entries, flushed to disk when syncing: when this returns,
        they survive a crash of the process (and of the machine with sync)."""
        if self._fd is None:
            self._open()
        assert self._fd is not None
        data = memoryview(b"".join(map(encode_entry, payloads)))
        while data:
            written = os.write(self._fd, data)
            data = data[written:]
        self.size += sum(map(len, payloads))
        if self._sync:
            os.fdatasync(self._fd)

    def _open(self) -> None:
        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
        segment = Segment(os.path.join(self.path, f"{self._next:08d}-{stamp}.log"), self._next, stamp)
        self._next += 1
        self._fd = os.open(segment.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND | os.O_CLOEXEC, 0o644)
        self._segment = segment
        os.write(self._fd, encode_entry(self._header))
        if self._sync:
            os.fdatasync(self._fd)
            _fsync_folder(self.path)  # the new name must survive too
        self.size = 0
        self.opened_at = time.monotonic()

    def rotate(self) -> Segment | None:
        """Close the open segment and return it, for rolling; None when none is open."""
        if self._fd is None:
            return None
        os.close(self._fd)
        segment, self._fd, self._segment = self._segment, None, None
        self.size = 0
        return segment

    def close(self) -> None:
        self.rotate()
        os.close(self._lock)


@dataclass(frozen=True, slots=True)
class Rolled:
    path: str | None  # None when the segment held no message
    rows: int


def roll(segment: Segment, folder: str) -> Rolled:
    """Write the segment's rows into their output file, then remove it."""
    entries = read_entries(segment.path)
    header_bytes = next(entries, None)
    header = orjson.loads(header_bytes) if header_bytes is not None else {"format": "jsonl"}
    encoding = str(header.get("format", "jsonl"))
    target = os.path.join(folder, segment.output_name(encoding))
    fd, temp = tempfile.mkstemp(dir=folder, prefix=f".{segment.output_name(encoding)}.", suffix=".part")
    rows = 0
    try:
        with os.fdopen(fd, "wb", buffering=1 << 20) as stream:
            if encoding == "parquet":
                rows = _write_parquet(entries, header, stream)
            else:
                for payload in entries:
                    stream.write(payload)
                    stream.write(b"\n")
                    rows += 1
            stream.flush()
            os.fsync(stream.fileno())
        if rows:
            os.chmod(temp, 0o644)
            os.replace(temp, target)
        else:
            os.unlink(temp)
        temp = ""
        _fsync_folder(folder)
        os.unlink(segment.path)
    finally:
        if temp:
            try:
                os.unlink(temp)
            except FileNotFoundError:
                pass
    return Rolled(target if rows else None, rows)


def parquet_payload(message: Message) -> bytes:
    """A message as the journal keeps it for Parquet, converted when rolled."""
    return orjson.dumps([message.source, message.index, message.offset, message.text, message.error])


def _write_parquet(entries: Iterator[bytes], header: dict[str, object], stream: object) -> int:
    from .parquet import ParquetOutput, convert_to_batch

    rows = 0
    output = ParquetOutput(stream)  # type: ignore[arg-type]
    batch: list[Message] = []

    def flush() -> None:
        output.write(
            convert_to_batch(
                batch,
                validation_enabled=bool(header.get("validate")),
                strict_validation=bool(header.get("strict")),
                escaping_enabled=bool(header.get("escaping", True)),
            )
        )
        batch.clear()

    for payload in entries:
        source, index, offset, text, error = orjson.loads(payload)
        batch.append(Message(source, index, offset, text, error))
        rows += 1
        if len(batch) >= ROLL_BATCH:
            flush()
    if batch:
        flush()
    output.close()
    return rows
