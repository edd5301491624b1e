"""build_feeds and build_files under allocation failure of the native code,
and called from several threads at once."""

from __future__ import annotations

import pathlib

import pytest
from test_allocation_failure import _require, compile_call, sweep  # noqa: E402
from test_native_reliability import (  # noqa: E402
    COLUMNS,
    FEED,
    FILES,
    HOOK,
    LIMITS,
    agree_across_threads,
    corpus_datas,
    folder,  # noqa: F401 - a fixture
    slack,
)

pa = pytest.importorskip("pyarrow")

from tessarin_feeds import _columns, parquet  # noqa: E402

SOURCE = b"a.hl7"


def comparable(function, *args, **kwargs):  # noqa: ANN001, ANN201 - any of the two functions
    """The call's result with its batches read out: batch objects compare by identity."""
    result = function(*args, **kwargs)
    built, rest = (result, None) if function is _columns.build_feeds else result
    table = parquet._assembled(*built[:3])
    return table.to_pylist(), built[3:], rest


def cases(root: pathlib.Path) -> dict[str, tuple]:
    paths = {name: bytes(root / name) for name in [*FILES, "missing"]}
    files = [
        (SOURCE, paths[name], size)
        for name, size in [("feed", len(FEED)), ("missing", -1), ("gzip", -1), ("empty", 0), ("feed", -1)]
    ]
    file_limits = {**LIMITS, "limit": 1 << 20, "first_read": 16, "whole_max": 1 << 20, "gzip_max": 1 << 20}
    feeds = [
        (SOURCE, FEED),
        (SOURCE, b""),
        (SOURCE, b"\x1f\x8b\x08"),
        (SOURCE, FEED[40:], (40, 1, b"FHS|^~\\&|LAB", None, 0)),
    ]
    build_feeds, build_files = _columns.build_feeds, _columns.build_files
    return {
        "feeds": (comparable, (build_feeds, feeds), {**LIMITS, "validation_enabled": True}),
        "feeds_cut_short": (comparable, (build_feeds, [(SOURCE, FEED + b"\x0bMSH|^~\\&|A")]), LIMITS),
        "files": (comparable, (build_files, files), file_limits),
        "files_handed_back": (comparable, (build_files, files), {**file_limits, "whole_max": 8}),
    }


@pytest.mark.parametrize("name", sorted(cases(pathlib.Path("/nowhere"))))
def test_native_allocation_failure(name: str, folder: pathlib.Path) -> None:  # noqa: F811
    _require(HOOK is not None, "the allocation hook of test builds")
    problems = sweep(compile_call(*cases(folder)[name]), COLUMNS, 1, slack(name))
    assert not problems, problems[:5]


def test_many_threads_calling_at_once_give_one_threads_rows() -> None:
    datas = corpus_datas()
    agree_across_threads(
        [
            lambda _, start=start: comparable(
                _columns.build_feeds,
                [(SOURCE, d) for d in datas[start::3]],
                **LIMITS,
                validation_enabled=bool(start % 2),
            )
            for start in range(3)
        ]
    )
