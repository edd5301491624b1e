from collections.abc import Sequence
from typing import final

@final
class ColumnBatch:
    def __len__(self) -> int: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_schema__(self) -> object: ...

def build(
    texts: Sequence[str],
    errors: Sequence[str | None] | None = None,
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    hl7_syntax: bool = False,
) -> ColumnBatch: ...
def encode_records(
    texts: Sequence[str],
    errors: Sequence[str | None] | None = None,
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    hl7_syntax: bool = False,
) -> tuple[list[bytes | str], int]: ...
def validate(text: str, *, strict_mode: bool = False, validate_required_fields: bool = False) -> str | None: ...

_State = tuple[int, int, bytes | None, bytes | None, int]
# (index, declined, errors, notices, data or errno)
_Special = tuple[int, str | None, list[str] | None, list[tuple[int, int, bytes, int]] | None, bytes | int | None]
# lines as bytes, or with views=True as a list of read-only memoryviews
_Converted = tuple[bytes | list[memoryview], list[int], int, int, int, list[_Special]]

def convert_buffers(
    buffers: Sequence[tuple[bytes, bytes] | tuple[bytes, bytes, _State]],
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    max_message_size: int,
    max_fields: int,
    threads: int = 1,
) -> _Converted: ...
def convert_files(
    # (head, path, size) triples, or (folder, head, names, first): names as list_folder gives them
    files: Sequence[tuple[bytes, bytes, int]] | tuple[bytes, bytes, bytes, int],
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    max_message_size: int,
    max_fields: int,
    budget: int,
    limit: int,
    first_read: int,
    whole_max: int,
    gzip_max: int,
    threads: int = 1,
    views: bool = False,
) -> tuple[_Converted, tuple[int, int, int]]: ...
def list_folder(path: bytes, batch: int, /) -> list[tuple[int, bytes]] | None: ...
def feed_cut(data: bytes, state: _State, final: bool, /) -> tuple[int, _State]: ...
def convert_file_pieces(
    head: bytes,
    path: bytes,
    state: _State,
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    max_message_size: int,
    max_fields: int,
    pieces: int,
    piece_bytes: int,
    max_piece: int,
    carried: int = 0,
    threads: int = 1,
    views: bool = False,
) -> tuple[_Converted, list[_State], int, int, int]: ...

# (index, declined, notices, data or errno)
_RowsSpecial = tuple[int, str | None, list[tuple[int, int, bytes, int]] | None, bytes | int | None]
# (rows, envelopes, (source offsets, source data, message, offset, envelope mask), ends, special)
_Built = tuple[
    ColumnBatch, ColumnBatch | None, tuple[bytes, bytes, bytes, bytes, bytes | None], list[int], list[_RowsSpecial]
]

def build_feeds(
    feeds: Sequence[tuple[bytes, bytes] | tuple[bytes, bytes, _State]],
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    max_message_size: int,
    max_fields: int,
) -> _Built: ...
def build_files(
    files: Sequence[tuple[bytes, bytes, int]],
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    max_message_size: int,
    max_fields: int,
    limit: int,
    first_read: int,
    whole_max: int,
    gzip_max: int,
) -> tuple[_Built, tuple[int, int, int]]: ...
