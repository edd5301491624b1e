"""JSON Lines output: one object per message, keys in a fixed order."""

from __future__ import annotations

import errno
import gzip
import io
import os
from typing import BinaryIO

import orjson

from .model import Message
from .outputs import OutputBase

__all__ = ["JsonlOutput", "encode_line", "encode_line_of_json", "join_lines"]


def encode_line(
    message: Message,
    records: list[dict[str, str]] | None,
    error: str | None,
    envelope: list[dict[str, str]] | None = None,
) -> bytes:
    """The JSON line of one message, without its line feed: source, message,
    offset, the envelope's records when there is one, then records or error
    (both for a message cut short)."""
    line: dict[str, object] = {"source": message.source, "message": message.index, "offset": message.offset}
    if envelope is not None:
        line["envelope"] = envelope
    if records is not None:
        line["records"] = records
    if error is not None or records is None:
        line["error"] = error
    return orjson.dumps(line)


def encode_line_of_json(
    message: Message,
    records: bytes | None,
    error: str | None,
    envelope: list[dict[str, str]] | None,
    heads: dict[str, bytes],
) -> bytes:
    """encode_line's line, with the records given as their JSON text (from
    _columns.encode_records). `heads` keeps '{"source":"..."' per source
    from one line to the next: a batch mostly has one source."""
    if records is None:
        return encode_line(message, None, error, envelope)
    head = heads.get(message.source)
    if head is None:
        head = heads[message.source] = orjson.dumps({"source": message.source})[:-1]
    # orjson writes an int as %d does.
    if envelope is None and error is None:
        return b'%b,"message":%d,"offset":%d,"records":%b}' % (head, message.index, message.offset, records)
    line = b'%b,"message":%d,"offset":%d' % (head, message.index, message.offset)
    if envelope is not None:
        line += b',"envelope":' + orjson.dumps(envelope)
    line += b',"records":' + records
    if error is not None:
        line += b',"error":' + orjson.dumps(error)
    return line + b"}"


def join_lines(lines: list[bytes], compress: bool = False) -> bytes:
    """Lines from encode_line as JSON Lines (`lines` is used up), each ended by a line feed;
    with `compress`, as one gzip member. Members written one after another
    make a valid gzip file, so each batch can be compressed in its own worker."""
    if not lines:
        return b""
    lines.append(b"")  # the last line's feed, without copying the whole
    data = b"\n".join(lines)
    return gzip.compress(data, compresslevel=6, mtime=0) if compress else data


class JsonlOutput(OutputBase):
    """Writes encoded batches to a binary stream, which it leaves open."""

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream
        self.closed = False

    def write(self, batch: bytes) -> None:
        if self.closed:
            raise ValueError("write to a closed JsonlOutput")
        if batch:
            self._stream.write(batch)

    def write_from(self, fd: int, size: int) -> None:
        """Append `size` bytes read from file descriptor `fd` (at its start),
        copied by the kernel where it can."""
        if self.closed:
            raise ValueError("write to a closed JsonlOutput")
        self._stream.flush()
        offset = 0
        try:
            out = self._stream.fileno()
            while offset < size:
                sent = os.sendfile(out, fd, offset, size - offset)
                if sent == 0:
                    raise OSError(errno.EIO, "the part ended early")
                offset += sent
            return
        except io.UnsupportedOperation:
            pass  # no file descriptor behind the stream
        except OSError as error:
            if error.errno not in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP) or offset:
                raise
        self._stream.write(os.pread(fd, size, 0))

    def direct_fd(self) -> int | None:
        """The file descriptor that worker processes may write to directly,
        everything written so far flushed to it; None without one."""
        if self.closed:
            raise ValueError("write to a closed JsonlOutput")
        self._stream.flush()
        try:
            return self._stream.fileno()
        except io.UnsupportedOperation:
            return None

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._stream.flush()
