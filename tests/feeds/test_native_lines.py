"""The native JSON Lines of whole files (_columns.convert_buffers) against
the reader and process_messages, which stay the model: the same bytes, the
same notices and counts, or the buffer declined."""

from __future__ import annotations

import dataclasses
import errno
import gzip
import io
import pathlib

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from conftest import CORPUS_DIR, needs_corpus

# The modules below import orjson themselves.
orjson = pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds import _columns, tasks  # noqa: E402
from tessarin_feeds.sources import Source  # noqa: E402
from tessarin_feeds.summary import Tally  # noqa: E402

MESSAGES = [
    b"MSH|^~\\&|LAB|HOSP|||20240301||ADT^A01^ADT_A01|1|P|2.5\rPID|1||123^^^H||DOE^JANE\rPV1|1|I",
    b'MSH|^~\\&|A|B|||20240301||ORU^R01^ORU_R01|2|P|2.5.1\rOBX|1|TX|x||caf\xc3\xa9 \\T\\ "q"\t\x00|',
    b"MSH|^~\\&|A\rZZ1|x\x7f\r\r\rNTE|1|  ",
    b"MSH|^~\\&\rpid|lower name",  # fails the command's validation
    b"MSH|$%*+|A|B",  # other separators
    b"MSH",
    b"MSH|^~\\&|A|B|||||||2.5|||||||8859/1\rPID|1||caf\xe9",  # not UTF-8
    b"MSH|^~\\&|A\r\xef\xbb\xbfPID|1",  # a byte order mark inside
    b"MSH|^~\\&|A|" + b"^" * 40,  # many fields
    b"MSH|^~\\&|A|B|||||||2.5||||||| 8859/1 \rNTE|1|\x93q\x94 \x80\x9f \xe9",  # Windows-1252
    b"MSH|^~\\&|A|||||||||||||||8859/1~UNICODE|x\rNTE|\x81\x9d\xff\x80",  # Latin-1: 0x81 is none of Windows-1252
    b"MSH|^~\\&|A|||||||||||||||8859/2\rNTE|\xb1",  # another charset: the reader's
]
ENVELOPES = [b"FHS|^~\\&|LAB|HOSP", b"BHS|^~\\&|LAB", b"BTS|1", b"BTS|0002", b"BTS| 7x", b"FTS|1", b"BHS"]
PIECES = st.one_of(
    st.sampled_from(MESSAGES),
    st.sampled_from(ENVELOPES),
    st.sampled_from([b"\r", b"\n", b"\r\n", b"\x0b", b"\x1c", b"\x1c\r", b" \t", b"\x0c", b"\xef\xbb\xbf"]),
    st.sampled_from([b"junk text", b"\x00\x01\x02binary", b"MSHX|not a header", b"BTS1|nor a trailer", b"caf\xe9"]),
    st.binary(max_size=6),
)
# Pieces mostly end a line, so that envelopes, frames and messages follow one another as in feeds.
FEEDS = st.lists(
    st.tuples(PIECES, st.sampled_from([b"\r", b"\n", b"\r\n", b"", b"\x0b", b"\r\x1c\r"])), max_size=24
).map(lambda parts: b"".join(piece + end for piece, end in parts))


def model(data: bytes, settings: tasks.Settings) -> tuple[bytes, Tally]:
    tally = Tally()
    source = Source("feed one.hl7", "/nowhere", len(data))
    files: list[tuple[Source, bytes | BaseException]] = [(source, data)]
    return tasks.process_messages(tasks._read_files(files, settings, tally), settings, tally), tally  # type: ignore[return-value]


def native(data: bytes, settings: tasks.Settings) -> tuple[bytes, Tally] | str:
    """The native path's lines and tally, or why it declined the buffer."""
    head = orjson.dumps({"source": "feed one.hl7"})[:-1]
    result = _columns.convert_buffers(
        [(head, data)],
        validation_enabled=settings.validate,
        strict_validation=settings.strict,
        escaping_enabled=settings.escaping,
        max_message_size=settings.max_message_size,
        max_fields=settings.max_fields,
    )
    special = result[5]
    if special and special[0][1] is not None:
        return special[0][1]
    tally = Tally()
    source = Source("feed one.hl7", "/nowhere", len(data))
    lines = b"".join(tasks.convert_buffers_natively([(source, data)], settings, tally))
    return lines, tally


def same_as_model(data: bytes, settings: tasks.Settings) -> bool:
    """Asserts the native result equals the model's; False when declined."""
    got = native(data, settings)
    if isinstance(got, str):
        return False
    want_lines, want_tally = model(data, settings)
    assert got[0] == want_lines
    assert got[1] == want_tally
    return True


settings_strategy = st.builds(
    tasks.Settings,
    validate=st.booleans(),
    strict=st.booleans(),
    escaping=st.booleans(),
    max_message_size=st.sampled_from([tasks.MAX_MESSAGE_SIZE, 40, 200]),
    max_fields=st.sampled_from([tasks.MAX_FIELDS, 5, 30]),
)


@given(st.one_of(FEEDS, st.lists(PIECES, max_size=24).map(b"".join)), settings_strategy)
def test_generated_feeds_match_the_reader(data: bytes, settings: tasks.Settings) -> None:
    same_as_model(data, settings)


@given(
    st.lists(st.sampled_from(MESSAGES[:6] + MESSAGES[9:11]), min_size=1, max_size=6),
    st.sampled_from(ENVELOPES[:2]),
    st.sampled_from([b"\r", b"\n", b"\r\n"]),
    st.booleans(),
    settings_strategy,
)
def test_framed_batches_are_taken_natively(
    messages: list[bytes], header: bytes, end: bytes, mllp: bool, settings: tasks.Settings
) -> None:
    """The common shapes (envelopes, MLLP, line ends of each kind, Latin-1 declared) are never declined."""
    assume(settings.max_message_size > 200)
    body = [b"\x0b" + m + b"\r\x1c\r" if mllp else m + end for m in messages]
    data = header + end + b"".join(body) + b"BTS|%d" % len(messages) + end
    assert same_as_model(data, settings)


@pytest.mark.parametrize(
    ("data", "declined"),
    [
        (b"\x1f\x8b\x08\x00", "gzip data"),
        (MESSAGES[11], "a message neither UTF-8 nor declared 8859/1"),
        (MESSAGES[7], "a byte order mark inside a message"),
        (b"FHS|" + b"x" * (64 << 10), "an envelope line over 64 KiB"),
        (b"FHS|caf\xe9\rMSH|^~\\&", "an envelope line that is not UTF-8"),
    ],
)
def test_rare_shapes_are_left_to_the_reader(data: bytes, declined: str) -> None:
    assert native(data, tasks.Settings()) == declined
    assert (
        native(MESSAGES[0] + b"\r" + b"x" * 300, tasks.Settings(max_message_size=200))
        == "a message over the size limit"
    )


def test_large_buffers_match_the_chunked_reader() -> None:
    """Past a megabyte the reader reads bytes in chunks; the native path cuts them whole."""
    unit = b"FHS|^~\\&|A\r" + b"".join(b"\x0b" + m + b"\r\x1c\r" for m in MESSAGES[:6]) + b"junk\rBTS|6\r" + MESSAGES[2]
    assert same_as_model(unit * (3 * (1 << 20) // len(unit)), tasks.Settings())


@needs_corpus
@pytest.mark.parametrize("settings", [tasks.Settings(), tasks.Settings(validate=True, strict=True, escaping=False)])
def test_corpus_files_match_the_reader(settings: tasks.Settings) -> None:
    taken = [same_as_model(path.read_bytes(), settings) for path in sorted(CORPUS_DIR.glob("*.hl7"))]
    # Only the corpus's few files in other charsets may go to the reader.
    assert taken.count(False) <= 5 and len(taken) > 100


@pytest.mark.parametrize("small", [False, True])
def test_a_folder_converts_as_before(tmp_path: pathlib.Path, small: bool) -> None:
    """convert_whole_files, streaming and not, gzip or not, with unreadable,
    declined, gzip and too large files among the taken; with `small` limits,
    flushes, hand-backs and files of unknown size over the first read come often."""
    contents = [
        MESSAGES[0],
        MESSAGES[6],
        b"junk\r" + MESSAGES[1],
        b"",
        MESSAGES[11],
        gzip.compress(MESSAGES[2]),
        MESSAGES[2] * 9,
    ]
    sources = []
    for number, data in enumerate(contents * 12):
        path = tmp_path / f"{number:03}.hl7"
        path.write_bytes(data)
        sources.append(Source(path.name, str(path), None if number % 3 else len(data)))
    sources.insert(7, Source("gone.hl7", str(tmp_path / "gone.hl7"), None))
    with pytest.MonkeyPatch.context() as patch:
        if small:
            for name, value in [
                ("FIRST_READ", 32),
                ("WHOLE_FILE_MAX", 200),
                ("WHOLE_GZIP_MAX", 40),
                ("FLUSH_BYTES", 300),
                ("WHOLE_TASK_TEXT", 2000),
                ("STREAMED_TASK_TEXT", 1500),
                ("DECLINED_PART", 40),
            ]:
                patch.setattr(tasks, name, value)
        for output_format in ("jsonl", "jsonl.gz"):
            settings = tasks.Settings(output_format=output_format)  # type: ignore[arg-type]
            for streamed in (False, True):
                assert _task_by_task(sources, settings, streamed, True) == _task_by_task(
                    sources, settings, streamed, False
                )


def _task_by_task(sources: list[Source], settings: tasks.Settings, streamed: bool, native: bool) -> list[object]:
    """Each task's output and counts, the sources it hands back going to the next."""
    original = tasks.native_lines
    tasks.native_lines = original if native else (lambda settings: False)  # type: ignore[assignment]
    seen: list[object] = []
    try:
        while sources:
            sink: list[bytes] = []
            result = tasks.convert_whole_files(sources, settings, sink.append if streamed else None)
            seen.append((result.payloads, sink, result.tally, result.tally.notices, result.sources_done))
            sources = result.handed_back
    finally:
        tasks.native_lines = original  # type: ignore[assignment]
    return seen


@needs_corpus
@pytest.mark.parametrize("threads", [2, 3, 8])
def test_threads_give_the_same_lines(threads: int) -> None:
    """Runs of buffers converted side by side: output in input order, byte for byte, whatever the count."""
    datas = [path.read_bytes() for path in sorted(CORPUS_DIR.glob("*.hl7"))]
    files: list[tuple[Source, bytes | BaseException]] = [
        (Source(f"{n}.hl7", f"/nowhere/{n}", len(data)), data) for n, data in enumerate(datas)
    ]
    files.insert(3, (Source("gone.hl7", "/nowhere/gone", None), FileNotFoundError(2, "No such file or directory")))
    one, many = Tally(), Tally()
    want = b"".join(tasks.convert_buffers_natively(files, tasks.Settings(), one))
    assert b"".join(tasks.convert_buffers_natively(files, tasks.Settings(), many, threads=threads)) == want
    assert many == one and one.notices


def task_outputs(
    sources: list[Source], settings: tasks.Settings, native: bool, here: bool = False, threads: int = 1
) -> tuple[list[object], Tally]:
    """The command's tasks in this process, the sources a task hands back going
    on first: each task's output, and the tally they add up to. `native`
    False turns the native path of the output format off; `here`: as a run
    in this process cuts them (large files read natively), with `threads`."""
    switch = "parquet_natively" if settings.output_format == "parquet" else "native_lines"
    total, out = Tally(), []
    with pytest.MonkeyPatch.context() as patch:
        if not native:
            patch.setattr(tasks, switch, lambda settings: False)
        settings = dataclasses.replace(settings, threads=threads)
        pending = list(tasks.cut_into_tasks(sources, settings, here=here))
        while pending:
            function, arguments = pending.pop(0)
            result = function(*arguments)
            out += result.payloads
            total.add(result.tally)
            total.notices += result.tally.notices
            pending[:0] = list(tasks.cut_into_tasks(result.handed_back, settings, here=here))
    return out, total


def run_tasks(
    sources: list[Source], settings: tasks.Settings, native: bool, here: bool = False, threads: int = 1
) -> tuple[bytes, Tally]:
    """task_outputs as one output: the lines of every task, in order."""
    out, total = task_outputs(sources, settings, native, here, threads)
    return b"".join(out), total  # type: ignore[arg-type]


@given(
    FEEDS,
    settings_strategy,
    st.sampled_from([1, 7, 64]),
    st.sampled_from([16, 200]),
    st.sampled_from([(False, 1), (True, 1), (True, 3)]),
)
def test_large_files_cut_into_pieces_match_the_reader(
    tmp_path_factory: pytest.TempPathFactory,
    data: bytes,
    settings: tasks.Settings,
    piece: int,
    most: int,
    here_threads: tuple[bool, int],
) -> None:
    """A large file is cut into pieces at message starts; pieces of any size
    (down to one byte read at a time, and the reader taking over from a piece
    with no place to cut), cut by the parent or read natively a few at a time
    on any number of threads, give the reader's output."""
    path = tmp_path_factory.mktemp("pieces") / "big.hl7"
    path.write_bytes(data)
    sources = [Source("big.hl7", str(path), path.stat().st_size)]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tasks, "WHOLE_FILE_MAX", 0)
        patch.setattr(tasks, "PIECE_BYTES", piece)
        patch.setattr(tasks, "PIECE_MAX", most)
        patch.setattr(tasks, "DECLINED_PART", 24)  # declined pieces halved down to a message or two
        got, want = run_tasks(sources, settings, True, *here_threads), run_tasks(sources, settings, False)
    assert got[0] == want[0]
    assert (got[1], got[1].notices) == (want[1], want[1].notices)


@needs_corpus
@pytest.mark.parametrize(
    "fmt, here, threads", [("jsonl", False, 1), ("jsonl", True, 1), ("jsonl", True, 2), ("jsonl.gz", True, 3)]
)
def test_a_large_file_of_the_corpus_matches_the_reader(
    tmp_path: pathlib.Path, fmt: str, here: bool, threads: int
) -> None:
    """Pieces read natively in this process, on any threads, give the reader's
    lines; compressed, one member a piece, as pieces cut by the parent are."""
    path = tmp_path / "all.hl7"
    path.write_bytes(b"\r\n".join(p.read_bytes() for p in sorted(CORPUS_DIR.glob("*.hl7"))) * 3)
    sources = [Source("all.hl7", str(path), path.stat().st_size)]
    settings = tasks.Settings(output_format=fmt)  # type: ignore[arg-type]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tasks, "WHOLE_FILE_MAX", 0)
        patch.setattr(tasks, "PIECE_BYTES", 64 << 10)
        got = run_tasks(sources, settings, True, here, threads)
        want = run_tasks(sources, tasks.Settings(), False)
        if fmt == "jsonl.gz":
            assert got == run_tasks(sources, settings, True, False)
            got = (gzip.decompress(got[0]), got[1])
    assert got[0] == want[0] and len(got[0]) > 1 << 20
    assert (got[1], got[1].notices) == (want[1], want[1].notices)


def test_a_message_only_the_reader_decodes_costs_a_small_part_of_its_piece(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    """A piece declined for one message is halved until the reader gets a
    small part that holds it; the rest stays on the native path."""
    undecodable = b"MSH|^~\\&|A|\x96|B\rPID|1||x\r"  # not UTF-8, and no MSH-18
    data = b"".join(MESSAGES[n % 4] + b"\r" + (undecodable if n % 600 == 300 else b"") for n in range(6000))
    path = tmp_path / "big.hl7"
    path.write_bytes(data)
    sources = [Source("big.hl7", str(path), len(data))]
    read_by_reader: list[int] = []
    read_piece = tasks._read_piece
    monkeypatch.setattr(tasks, "WHOLE_FILE_MAX", 0)
    monkeypatch.setattr(tasks, "PIECE_BYTES", 64 << 10)
    monkeypatch.setattr(tasks, "DECLINED_PART", 2 << 10)
    monkeypatch.setattr(
        tasks, "_read_piece", lambda piece, *rest: read_by_reader.append(len(piece)) or read_piece(piece, *rest)
    )
    got = run_tasks(sources, tasks.Settings(), True, True)
    assert max(read_by_reader) <= 2 << 10 and sum(read_by_reader) < len(data) // 10
    assert got == run_tasks(sources, tasks.Settings(), False)


class _Breaking(io.RawIOBase):
    """A file that gives `data` a few bytes a read, then fails at byte `fail_at` as a disk might."""

    def __init__(self, data: bytes, fail_at: int | None) -> None:
        super().__init__()
        self._data, self._at, self._fail_at = data, 0, fail_at

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if self._fail_at is not None and self._at >= self._fail_at:
            raise OSError(errno.EIO, "Input/output error")
        end = self._at + min(size, 50)
        piece = self._data[self._at : end if self._fail_at is None else min(end, self._fail_at)]
        self._at += len(piece)
        return piece

    def tell(self) -> int:
        return self._at


@pytest.mark.parametrize("fail_at", [None, 0, 120, 400, 1 << 20])
def test_a_large_file_that_breaks_off_reads_as_before(tmp_path: pathlib.Path, fail_at: int | None) -> None:
    """What was read before the break stays, its open message cut short there, then the read error."""
    data = b"FHS|^~\\&\r" + b"".join(b"\x0b" + m + b"\r\x1c\r" for m in MESSAGES[:6]) + MESSAGES[1] * 3 + b"\rBTS|7\r"
    path = tmp_path / "big.hl7"
    path.write_bytes(data)
    sources = [Source("big.hl7", str(path), len(data))]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tasks, "WHOLE_FILE_MAX", 0)
        patch.setattr(tasks, "PIECE_BYTES", 64)
        patch.setattr(tasks, "open", lambda *args, **kwargs: _Breaking(data, fail_at), raising=False)
        got, want = run_tasks(sources, tasks.Settings(), True), run_tasks(sources, tasks.Settings(), False)
    assert got[0] == want[0]
    assert (got[1], got[1].notices) == (want[1], want[1].notices)
    assert (got[1].notice_counts["read error"] == 1) == (fail_at is not None and fail_at < len(data))


def test_a_large_file_the_native_reading_cannot_read_goes_on_as_before(tmp_path: pathlib.Path) -> None:
    """A read that fails natively (a folder named with a size) is left to the
    reader's path, which tells it as it always did."""
    sources = [Source("folder", str(tmp_path), 10 << 20)]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tasks, "WHOLE_FILE_MAX", 0)
        got, want = run_tasks(sources, tasks.Settings(), True, True, 2), run_tasks(sources, tasks.Settings(), False)
    assert got[0] == want[0] == b""
    assert (got[1], got[1].notices) == (want[1], want[1].notices) and got[1].notice_counts["read error"] == 1


@needs_corpus
@pytest.mark.parametrize("budget", [1, 3000, 256 << 10, 1 << 40])
@pytest.mark.parametrize("threads", [2, 5])
def test_files_read_on_threads_give_what_one_thread_gives(tmp_path: pathlib.Path, budget: int, threads: int) -> None:
    """Each thread reads its own files; the files done, bytes read, file handed
    back, lines and notices are one thread's, whatever the budget."""
    paths = sorted(CORPUS_DIR.glob("*.hl7"))
    big = tmp_path / "big.hl7"
    big.write_bytes(paths[0].read_bytes() * 40)  # over whole_max: handed back
    items = [(b'{"source":"%d"' % n, bytes(path), -1) for n, path in enumerate(paths)]
    items[7:7] = [(b'{"source":"gone"', bytes(tmp_path / "gone"), -1), (b'{"source":"big"', bytes(big), -1)]
    items[60:60] = [(b'{"source":"folder"', bytes(tmp_path), -1)]
    options = {
        "max_message_size": 1 << 20,
        "max_fields": 1 << 16,
        "budget": budget,
        "limit": 1 << 40,
        "first_read": 1 << 10,
        "whole_max": len(big.read_bytes()) - 1,
        "gzip_max": 1 << 10,
    }

    def calls(threads: int) -> list[object]:
        seen, start = [], 0
        while start < len(items):
            converted, (done, read, handed_back) = _columns.convert_files(items[start:], threads=threads, **options)
            seen.append((converted, done, read, handed_back))
            start += done + (handed_back >= 0)
        return seen

    one = calls(1)
    assert calls(threads) == one
    assert any(handed_back >= 0 for *_, handed_back in one) and any(c[5] for c, *_ in one)


def _mixed_folder(folder: pathlib.Path) -> None:
    """Small files, files too large to go whole, a broken link and a notice or two."""
    folder.mkdir()
    for n in range(40):
        body = b"\r".join(MESSAGES[(n + k) % 6] for k in range(1 + n % 5))
        (folder / f"{n:03}.hl7").write_bytes(body * (60 if n % 9 == 4 else 1) + b"\rjunk\r")
    (folder / "017 gone.hl7").symlink_to(folder / "nowhere")


@pytest.mark.parametrize("fmt", ["jsonl", "jsonl.gz"])
def test_runs_on_threads_give_one_jobs_bytes_and_counts(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, fmt: str
) -> None:
    """--jobs N for files to JSON Lines runs on threads: the same output and
    counts as one job, files handed back included, whatever N."""
    from tessarin_feeds import jsonl, pipeline
    from tessarin_feeds.sources import find_sources

    folder = tmp_path / "in"
    _mixed_folder(folder)
    monkeypatch.setattr(tasks, "FIRST_READ", 1000)
    monkeypatch.setattr(tasks, "WHOLE_FILE_MAX", 3000)  # larger files are handed back, then read in pieces
    monkeypatch.setattr(tasks, "PIECE_BYTES", 500)
    handed_back = []
    pieces = tasks._FilePieces.tasks
    monkeypatch.setattr(tasks._FilePieces, "tasks", lambda self: handed_back.append(self) or pieces(self))
    monkeypatch.setattr(tasks, "BATCH_FILES", 7)
    seen = []
    for jobs in (1, 2, 3):
        path = tmp_path / f"out{jobs}"
        with open(path, "wb") as stream:
            out = jsonl.JsonlOutput(stream)
            notices: list[object] = []
            settings = pipeline.Settings(output_format=fmt)  # type: ignore[arg-type]
            tally = pipeline.run(find_sources([str(folder)]), settings, out, jobs=jobs, on_notice=notices.append)
            out.close()
        seen.append((path.read_bytes(), tally, notices))
    assert seen[0] == seen[1] == seen[2]
    assert seen[0][1].notice_counts["read error"] == 1 and seen[0][1].sources == 41
    assert len(handed_back) == 3 * 4  # files 4, 13, 22 and 31, in each run


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_write_error_on_the_tasks_thread_is_raised_as_one_jobs(tmp_path: pathlib.Path, jobs: int) -> None:
    from tessarin_feeds import pipeline
    from tessarin_feeds.outputs import OutputBase
    from tessarin_feeds.sources import find_sources

    folder = tmp_path / "in"
    _mixed_folder(folder)

    class Full(OutputBase):
        def __init__(self) -> None:
            self.writes = 0

        def write(self, batch: object, /) -> None:
            self.writes += 1
            if self.writes > 1:
                raise OSError(errno.ENOSPC, "No space left on device")

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tasks, "FLUSH_BYTES", 100)
        with pytest.raises(OSError, match="No space left") as raised:
            pipeline.run(find_sources([str(folder)]), pipeline.Settings(), Full(), jobs=jobs)
    assert raised.value.errno == errno.ENOSPC


def _paths_of_every_kind(root: pathlib.Path) -> dict[str, str]:
    """Files in two folders, reached directly, through a link, a '..' or the
    working folder, and paths that fail in each way a folder can fail."""
    a, b = root / "a", root / "b"
    for n, folder in enumerate((a, b)):
        folder.mkdir()
        for k in range(3):
            (folder / f"{k}.hl7").write_bytes(MESSAGES[(3 * n + k) % len(MESSAGES)])
    (root / "link").symlink_to(a)
    (a / "loop").symlink_to(a / "loop")
    (a / "dangling").symlink_to(root / "nowhere")
    paths = {f"{folder.name}{k}": str(folder / f"{k}.hl7") for folder in (a, b) for k in range(3)}
    paths.update(
        {
            "through a link": f"{root}/link/1.hl7",
            "up and over": f"{a}/../b/2.hl7",
            "working folder": "0.hl7",
            "relative": "../b/1.hl7",
            "missing folder": f"{root}/gone/0.hl7",
            "a file as folder": f"{a}/0.hl7/x",
            "a folder": str(b),
            "a folder, ending in /": f"{b}/",
            "a link loop": f"{a}/loop",
            "a broken link": f"{a}/dangling",
            "the root": "/",
        }
    )
    return paths


@pytest.mark.parametrize("threads", [1, 3])
def test_files_opened_through_their_folder_read_as_each_path_alone(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, threads: int
) -> None:
    """Files are opened relative to the folder of the one before: any mix of
    folders and failures gives, file by file, the bytes or the error that
    opening the path alone gives (os.open as the model)."""
    import os
    import random

    paths = _paths_of_every_kind(tmp_path)
    monkeypatch.chdir(tmp_path / "a")
    options = {"max_message_size": 1 << 20, "max_fields": 1 << 16}
    limits = {"budget": 1 << 40, "limit": 1 << 40, "first_read": 1 << 10, "whole_max": 1 << 20, "gzip_max": 1 << 10}
    names = list(paths) * 3
    random.Random(threads).shuffle(names)
    want: list[bytes | int] = []
    for name in names:
        try:
            fd = os.open(paths[name], os.O_RDONLY)
            try:
                data = os.read(fd, 1 << 20)
            finally:
                os.close(fd)
        except OSError as error:
            want.append(error.errno)  # type: ignore[arg-type]
            continue
        (lines, *_), _ = _columns.convert_buffers([(b'{"source":"x"', data)], **options), None
        want.append(lines)
    items = [(b'{"source":"x"', os.fsencode(paths[name]), -1) for name in names]
    (lines, ends, *_, notices), (done, _, handed_back) = _columns.convert_files(
        items, threads=threads, **options, **limits
    )
    assert (done, handed_back) == (len(items), -1)
    errors = {notice[0]: notice[-1] for notice in notices if notice[-1] is not None}
    got = [
        errors.get(index, lines[start:end])
        for index, (start, end) in enumerate(zip([0, *ends[:-1]], ends, strict=True))
    ]
    assert list(zip(names, got, strict=True)) == list(zip(names, want, strict=True))
    assert {errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.ELOOP} <= {w for w in want if type(w) is int}


def _addresses(views: list[memoryview]) -> set[int]:
    np = pytest.importorskip("numpy")
    return {np.frombuffer(view, dtype=np.uint8).ctypes.data for view in views}


@pytest.mark.parametrize("threads", [1, 3])
def test_views_of_a_call_keep_their_bytes_and_their_buffers_serve_later_calls(
    tmp_path: pathlib.Path, threads: int
) -> None:
    """Lines handed out as views equal the call's bytes; later calls never
    write over a view still held, and reuse its buffer once it is dropped."""
    paths = []
    for number in range(2):
        path = tmp_path / f"{number}.hl7"
        path.write_bytes(b"".join(MESSAGES[(n + number) % 2] + b"\r" for n in range(3000)))
        paths.append(bytes(path))
    options = {**tasks.feed_options(tasks.Settings()), "pieces": 4, "piece_bytes": 32 << 10, "max_piece": 1 << 20}

    def call(path: bytes, views: bool) -> object:
        return _columns.convert_file_pieces(
            b'{"source":"f"', path, tasks.FEED_START, **options, threads=threads, views=views
        )

    held = call(paths[0], True)[0][0]  # type: ignore[index]
    want = call(paths[0], False)[0][0]  # type: ignore[index]
    assert all(isinstance(view, memoryview) and view.readonly for view in held)
    for _ in range(4):
        assert b"".join(call(paths[1], True)[0][0]) != want  # type: ignore[index]
    assert b"".join(held) == want and len(want) > 1 << 16
    addresses = _addresses(held)
    del held
    assert addresses & _addresses(call(paths[1], True)[0][0])  # type: ignore[index]


@pytest.mark.parametrize("length, count, threads_after", [(200, 8000, 2), (100_000, 40, 1)])
def test_a_file_of_large_messages_goes_on_one_thread(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, length: int, count: int, threads_after: int
) -> None:
    """The first call of a large file runs on one thread; after it, the
    pieces go on the threads only where messages average less than
    LARGE_MESSAGE, with the same lines."""
    path = tmp_path / "big.hl7"
    path.write_bytes(b"".join(MESSAGES[0] + b"\rOBX|1|ED|||" + b"QUJD" * (length // 4) + b"\r" for _ in range(count)))
    sources = [Source("big.hl7", str(path), path.stat().st_size)]
    threads_given: list[int] = []
    convert = tasks.convert_file_pieces

    def recording(*args: object, **kwargs: object) -> object:
        threads_given.append(kwargs["threads"])  # type: ignore[arg-type]
        return convert(*args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(tasks, "WHOLE_FILE_MAX", 0)
    monkeypatch.setattr(tasks, "PIECE_BYTES", 200 << 10)
    monkeypatch.setattr(tasks, "convert_file_pieces", recording)
    got = run_tasks(sources, tasks.Settings(), True, True, threads=2)
    assert threads_given[0] == 1 and set(threads_given[1:]) == {threads_after} and len(threads_given) > 2
    assert got == run_tasks(sources, tasks.Settings(), False)


@given(st.lists(FEEDS, min_size=1, max_size=6), st.sampled_from([1, 2, 3]), st.sampled_from([7, 64, 1 << 20]))
def test_views_hold_the_bytes_a_call_returns(
    tmp_path_factory: pytest.TempPathFactory, feeds: list[bytes], threads: int, piece: int
) -> None:
    """Files and pieces of a file, with the lines as views: the same ends,
    counts and notices as with bytes, and the views joined are those bytes."""
    folder = tmp_path_factory.mktemp("views")
    files = []
    for number, data in enumerate(feeds):
        (folder / f"{number}.hl7").write_bytes(data)
        files.append((b'{"source":"f"', bytes(folder / f"{number}.hl7"), len(data)))
    limits = {**tasks.feed_options(tasks.Settings()), "budget": 1 << 20, "limit": 1 << 20, "first_read": 64}
    limits |= {"whole_max": 1 << 20, "gzip_max": 1 << 20, "threads": threads}
    pieces = {**tasks.feed_options(tasks.Settings()), "pieces": 3, "piece_bytes": piece, "max_piece": 1 << 20}
    calls = [
        lambda views: _columns.convert_files(files, **limits, views=views),
        lambda views: _columns.convert_file_pieces(
            *files[0][:2], tasks.FEED_START, **pieces, threads=threads, views=views
        ),
    ]
    for call in calls:
        (lines, *rest), *more = call(False)
        (views, *rest_of_views), *more_of_views = call(True)
        assert (b"".join(views), rest_of_views, more_of_views) == (lines, rest, more)
        assert all(views)  # no empty view is handed out
