"""The native feed functions (convert_buffers, convert_files, convert_file_pieces, feed_cut, list_folder) under
allocation failure, swept as the tessarin module's members are, and under
calls from several threads at once."""

from __future__ import annotations

import gzip
import pathlib
import threading

import pytest
from test_allocation_failure import (  # noqa: E402
    INTERPRETER,
    LEAK_PER_ROUND,
    REPEATS,
    _require,
    _testcapi,
    allocation_hook,
    compile_call,
    hook_mode,
    needs_interpreter_sweep,
    sweep,
)

from tessarin_feeds import _columns  # noqa: E402

from conftest import CORPUS_DIR

# _columns has its own operator new, so its own copy of the hook.
HOOK = allocation_hook(_columns.__file__)
COLUMNS = hook_mode(HOOK)

FEED = (
    b"FHS|^~\\&|LAB\r\x0bMSH|^~\\&|LAB|HOSP|||20240301||ADT^A01|1|P|2.5\rPID|1||123^^^H||DOE^JANE\r\x1c\r"
    b"junk\rMSH|^~\\&\rpid|lower\rMSH|^~\\&|A|||||||||||||||8859/1\rNTE|caf\xe9\rBTS|7\r"
)
HEAD = b'{"source":"a.hl7"'  # a line's start, as the command writes it
LIMITS = {"max_message_size": 1 << 20, "max_fields": 1000}
STATE = (0, 0, None, None, 0)


FILES = {"feed": FEED, "gzip": gzip.compress(FEED), "empty": b""}


def cases(folder: pathlib.Path) -> dict[str, tuple]:
    paths = {name: bytes(folder / name) for name in [*FILES, "missing"]}
    files = [
        (HEAD, paths[name], size)
        for name, size in [("feed", len(FEED)), ("missing", -1), ("gzip", -1), ("empty", 0), ("feed", -1)]
    ]
    file_limits = {
        **LIMITS,
        "budget": 1 << 20,
        "limit": 1 << 20,
        "first_read": 16,
        "whole_max": 1 << 20,
        "gzip_max": 1 << 20,
    }
    by_name = (bytes(folder) + b"/", HEAD[:-1] + b"/", b"empty\0feed\0gzip\0missing\0", 1)
    pieces = {**LIMITS, "pieces": 3, "piece_bytes": 40, "max_piece": 1 << 10}
    buffers = [
        (HEAD, FEED),
        (HEAD, b""),
        (HEAD, b"\x1f\x8b\x08"),
        (HEAD, FEED[40:], (40, 1, b"FHS|^~\\&|LAB", None, 0)),
    ]
    return {
        "buffers": (_columns.convert_buffers, (buffers,), {**LIMITS, "validation_enabled": True}),
        "buffers_threads": (_columns.convert_buffers, (buffers * 2,), {**LIMITS, "threads": 3}),
        "buffers_not_tuples": (_columns.convert_buffers, ([(HEAD, FEED), [HEAD, FEED]],), LIMITS),
        "buffers_bad_state": (_columns.convert_buffers, ([(HEAD, FEED, (0, -1, None, None, 0))],), LIMITS),
        "files": (_columns.convert_files, (files,), file_limits),
        "files_threads": (_columns.convert_files, (files * 2,), {**file_limits, "threads": 3}),
        "files_handed_back": (_columns.convert_files, (files,), {**file_limits, "whole_max": 8}),
        "files_nul": (_columns.convert_files, ([(HEAD, b"a\0b", -1)],), file_limits),
        "files_views": (_columns.convert_files, (files * 2,), {**file_limits, "threads": 3, "views": True}),
        "folder_files": (_columns.convert_files, (by_name,), {**file_limits, "threads": 1}),
        "folder_files_threads": (_columns.convert_files, (by_name,), {**file_limits, "threads": 3}),
        "folder_files_bad": (_columns.convert_files, ((*by_name[:2], b"feed", 0),), file_limits),
        "list_folder": (_columns.list_folder, (bytes(folder), 2), {}),
        "list_folder_missing": (_columns.list_folder, (paths["missing"], 2), {}),
        "pieces": (_columns.convert_file_pieces, (HEAD, paths["feed"], STATE), pieces),
        "pieces_threads": (_columns.convert_file_pieces, (HEAD, paths["feed"], STATE), {**pieces, "threads": 3}),
        "pieces_views": (_columns.convert_file_pieces, (HEAD, paths["feed"], STATE), {**pieces, "views": True}),
        "pieces_too_long": (_columns.convert_file_pieces, (HEAD, paths["feed"], STATE), {**pieces, "max_piece": 8}),
        "pieces_missing": (_columns.convert_file_pieces, (HEAD, paths["missing"], STATE), pieces),
        "pieces_carried": (_columns.convert_file_pieces, (HEAD, paths["feed"], STATE), {**pieces, "carried": 50}),
        "pieces_bad_state": (_columns.convert_file_pieces, (HEAD, paths["feed"], (0, 0, 1, None, 0)), pieces),
        "cut": (_columns.feed_cut, (FEED, (0, 0, b"FHS|x", b"BHS|y", 2), False), {}),
        "cut_final": (_columns.feed_cut, (bytearray(FEED), STATE, True), {}),
        "cut_bad_state": (_columns.feed_cut, (FEED, (0, 0, "FHS", None, 0), False), {}),
    }


CASE_NAMES = sorted(cases(pathlib.Path("/nowhere")))


def slack(name: str) -> tuple[int, int, int]:
    # Each new thread's malloc arena moves the heap by a few hundred bytes
    # either way; a leak still grows by its size on every call.
    blocks, heap, descriptors = LEAK_PER_ROUND
    return (blocks, 64 * REPEATS, descriptors) if name.endswith("threads") else LEAK_PER_ROUND


@pytest.fixture
def folder(tmp_path: pathlib.Path) -> pathlib.Path:
    for name, data in FILES.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


@needs_interpreter_sweep
@pytest.mark.parametrize("name", CASE_NAMES)
def test_interpreter_allocation_failure(name: str, folder: pathlib.Path) -> None:
    _require(_testcapi is not None, "_testcapi")
    problems = sweep(compile_call(*cases(folder)[name]), INTERPRETER, 0, slack(name))
    assert not problems, problems[:5]


@pytest.mark.parametrize("name", CASE_NAMES)
def test_native_allocation_failure(name: str, folder: pathlib.Path) -> None:
    _require(HOOK is not None, "the allocation hook of test builds")
    problems = sweep(compile_call(*cases(folder)[name]), COLUMNS, 1, slack(name))
    assert not problems, problems[:5]


def agree_across_threads(calls: list, workers: int = 4, rounds: int = 3) -> None:  # noqa: ANN001
    """Python threads making `calls` together (each given its own thread count
    for the native side, and large enough to release the interpreter lock)
    each get exactly what the call gives alone on one thread."""
    want = [call(1) for call in calls]
    got: dict[tuple[int, int], object] = {}
    barrier = threading.Barrier(workers)

    def run(number: int) -> None:
        barrier.wait()
        for round_ in range(rounds):
            got[number, round_] = calls[(number + round_) % len(calls)](1 + number % 3)

    threads = [threading.Thread(target=run, args=(number,)) for number in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert len(got) == workers * rounds
    for (number, round_), result in got.items():
        assert result == want[(number + round_) % len(calls)], (number, round_)


def corpus_datas() -> list[bytes]:
    return [path.read_bytes() for path in sorted(CORPUS_DIR.glob("*.hl7"))] or [FEED] * 50


def test_many_threads_converting_buffers_at_once_give_one_threads_result() -> None:
    datas = corpus_datas()
    datas = [data for data in datas for _ in range(max(1, (256 << 10) // sum(map(len, datas))))]
    agree_across_threads(
        [
            lambda threads, start=start: _columns.convert_buffers(
                [(HEAD, data) for data in datas[start::3]],
                **LIMITS,
                validation_enabled=bool(start % 2),
                threads=threads,
            )
            for start in range(3)
        ],
        workers=6,
    )


def test_many_threads_reading_files_at_once_give_one_threads_result(tmp_path: pathlib.Path) -> None:
    big = tmp_path / "big.hl7"
    big.write_bytes(b"\r".join(corpus_datas()) * 4)
    files = [(HEAD, bytes(path), -1) for path in sorted(CORPUS_DIR.glob("*.hl7"))] or [(HEAD, bytes(big), -1)]
    file_options = {**LIMITS, "budget": 1 << 30, "limit": 1 << 30, "first_read": 1 << 12}
    file_options |= {"whole_max": 1 << 20, "gzip_max": 1 << 16}
    piece_options = {**LIMITS, "pieces": 4, "piece_bytes": 1 << 16, "max_piece": 1 << 20}
    agree_across_threads(
        [
            lambda threads: _columns.convert_files(files, **file_options, threads=threads),
            lambda threads: _columns.convert_file_pieces(HEAD, bytes(big), STATE, **piece_options, threads=threads),
        ],
        rounds=4,
    )
