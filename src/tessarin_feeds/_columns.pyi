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
) -> ColumnBatch: ...
def encode_records(
    texts: Sequence[str],
    errors: Sequence[str | None] | None = None,
    *,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
) -> tuple[list[bytes | str], int]: ...
