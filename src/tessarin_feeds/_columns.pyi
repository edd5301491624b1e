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
def convert_buffers(
    buffers: Sequence[tuple[bytes, bytes] | tuple[bytes, bytes, tuple[int, int, bytes | None, bytes | None, int]]],
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    max_message_size: int,
    max_fields: int,
    threads: int = 1,
) -> tuple[bytes, list[int], int, int, int, list[tuple[int, str | None, list[str], list[tuple[int, int, bytes, int]]]]]: ...
def feed_cut(
    data: bytes, state: tuple[int, int, bytes | None, bytes | None, int], final: bool, /
) -> tuple[int, tuple[int, int, bytes | None, bytes | None, int]]: ...
