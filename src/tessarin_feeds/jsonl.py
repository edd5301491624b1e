"""JSON Lines output: one object per message, keys in a fixed order."""

from __future__ import annotations

import gzip
from collections.abc import Sequence
from typing import BinaryIO

import orjson

from .model import Converted

__all__ = ["JsonlOutput", "encode_rows", "encode_rows_gzip", "row_object"]


def row_object(row: Converted) -> dict[str, object]:
    """The object of one message: source, message, offset, then records or error."""
    message = row.message
    if row.records is not None:
        return {"source": message.source, "message": message.index, "offset": message.offset, "records": row.records}
    return {"source": message.source, "message": message.index, "offset": message.offset, "error": row.error}


def encode_rows(rows: Sequence[Converted]) -> bytes:
    """The rows as JSON Lines, each line ended by a line feed."""
    if not rows:
        return b""
    dumps = orjson.dumps
    return b"\n".join([dumps(row_object(row)) for row in rows]) + b"\n"


def encode_rows_gzip(rows: Sequence[Converted]) -> bytes:
    """The rows as one gzip member. Members written one after another make a
    valid gzip file, so each batch can be compressed in its own worker."""
    data = encode_rows(rows)
    return gzip.compress(data, compresslevel=6, mtime=0) if data else b""


class JsonlOutput:
    """Writes encoded batches to a binary stream, which it leaves open."""

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream
        self.closed = False

    def write(self, batch: bytes) -> None:
        if self.closed:
            raise ValueError("write to a closed JsonlOutput")
        if batch:
            self._stream.write(batch)

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._stream.flush()
