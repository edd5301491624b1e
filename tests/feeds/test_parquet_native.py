"""Parquet rows built natively from the splitter (_columns.build_feeds and
build_files) against the reader and convert_to_batch, which stay the model:
the same rows, notices and counts, whatever the framing, the files or the
pieces a large file is cut into."""

from __future__ import annotations

import dataclasses
import gzip
import pathlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import CORPUS_DIR, needs_corpus

pa = pytest.importorskip("pyarrow")
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from test_native_lines import ENVELOPES, FEEDS, MESSAGES, settings_strategy, task_outputs  # noqa: E402

from tessarin_feeds import _columns, parquet, tasks  # noqa: E402
from tessarin_feeds.sources import Source  # noqa: E402
from tessarin_feeds.summary import Tally  # noqa: E402

parquet_settings = settings_strategy.map(lambda s: dataclasses.replace(s, output_format="parquet"))


def table(batches: list[object]) -> pa.Table:
    return pa.Table.from_batches(batches, schema=parquet.SCHEMA)  # type: ignore[arg-type]


def model(sources: list[tuple[Source, bytes]], settings: tasks.Settings) -> tuple[pa.Table, Tally]:
    tally = Tally()
    messages = tasks._read_files(list(sources), settings, tally)  # type: ignore[arg-type]
    return table([tasks.process_messages(messages, settings, tally)]), tally


def native(sources: list[tuple[Source, bytes]], settings: tasks.Settings) -> tuple[pa.Table, Tally, list[int]]:
    """The rows and tally of one native call, and the indexes of the feeds it declined."""
    tally = Tally()
    built = _columns.build_feeds(
        [(source.name.encode(), data) for source, data in sources],
        validation_enabled=settings.validate,
        strict_validation=settings.strict,
        escaping_enabled=settings.escaping,
        max_message_size=settings.max_message_size,
        max_fields=settings.max_fields,
    )
    declined = [index for index, why, _, _ in built[4] if why is not None]

    def read_declined(source: Source, data: bytes) -> object:
        return tasks.process_messages(tasks._read_files([(source, data)], settings, tally), settings, tally)

    return (
        table(parquet.take_rows([s for s, _ in sources], built, tally, read_declined, [d for _, d in sources])),
        tally,
        declined,
    )


def assert_same(got: tuple[pa.Table, Tally], want: tuple[pa.Table, Tally]) -> None:
    # Rows compared as Python values: a null list may hold any child values.
    assert got[0].to_pylist() == want[0].to_pylist()
    assert (got[1], got[1].notices) == (want[1], want[1].notices)


def feed_source(number: int, data: bytes) -> tuple[Source, bytes]:
    return Source(f"feed {number} é.hl7", f"/nowhere/{number}", len(data)), data


@given(st.lists(st.one_of(FEEDS, st.sampled_from(MESSAGES)), min_size=1, max_size=4), parquet_settings)
def test_generated_feeds_give_the_readers_rows(datas: list[bytes], settings: tasks.Settings) -> None:
    """Several feeds in one call, any of them declined and read by the
    reader in its place: rows, envelopes, cuts, failures and notices as the model's."""
    sources = [feed_source(n, data) for n, data in enumerate(datas)]
    rows, tally, _ = native(sources, settings)
    assert_same((rows, tally), model(sources, settings))


@given(
    st.lists(st.sampled_from(MESSAGES[:6] + MESSAGES[8:11]), min_size=1, max_size=6),
    st.sampled_from(ENVELOPES[:2]),
    st.booleans(),
    st.sampled_from([None, 0, 1]),
    parquet_settings,
)
def test_common_shapes_are_built_natively(
    messages: list[bytes], header: bytes, mllp: bool, cut: int | None, settings: tasks.Settings
) -> None:
    """Envelopes, MLLP frames (one left open: a message cut short), other
    separators, too many fields and Latin-1 never go to the reader."""
    settings = dataclasses.replace(settings, max_message_size=tasks.MAX_MESSAGE_SIZE)
    body = [b"\x0b" + m + b"\r\x1c\r" if mllp else m + b"\r" for m in messages]
    if cut is not None:
        body[cut % len(body)] = b"\x0b" + messages[cut % len(body)] + b"\r"
    sources = [feed_source(0, header + b"\r" + b"".join(body) + b"BTS|%d\r" % len(messages))]
    rows, tally, declined = native(sources, settings)
    assert declined == []
    assert_same((rows, tally), model(sources, settings))


@needs_corpus
@pytest.mark.parametrize(
    "settings",
    [tasks.Settings(output_format="parquet"), tasks.Settings(output_format="parquet", validate=True, escaping=False)],
)
def test_corpus_files_give_the_readers_rows(settings: tasks.Settings) -> None:
    sources = [feed_source(n, p.read_bytes()) for n, p in enumerate(sorted(CORPUS_DIR.glob("*.hl7")))]
    rows, tally, declined = native(sources, settings)
    assert_same((rows, tally), model(sources, settings))
    # Only the corpus's few files in other charsets may go to the reader.
    assert len(declined) <= 5 and rows.num_rows > 100


def rows_of_tasks(sources: list[Source], settings: tasks.Settings, natively: bool) -> tuple[list[object], Tally]:
    """The command's tasks' rows in order, and the tally they add up to, with its notices."""
    batches, tally = task_outputs(sources, settings, natively)
    return table(batches).to_pylist(), (tally, tally.notices)  # type: ignore[return-value]


@pytest.mark.parametrize("small", [False, True])
def test_a_folder_converts_as_before(tmp_path: pathlib.Path, small: bool) -> None:
    """Whole-file tasks with unreadable, declined, gzip, empty and too large
    files among the taken; with `small` limits, hand-backs and files of
    unknown size over the first read come often."""
    contents = [MESSAGES[0], MESSAGES[6], b"junk\r" + MESSAGES[1], b"", MESSAGES[11], gzip.compress(MESSAGES[2])]
    contents += [b"FHS|^~\\&|A\r" + MESSAGES[3] + b"\r\x0b" + MESSAGES[4], MESSAGES[2] * 9]
    sources = []
    for number, data in enumerate(contents * 6):
        path = tmp_path / f"{number:03}.hl7"
        path.write_bytes(data)
        sources.append(Source(path.name, str(path), None if number % 3 else len(data)))
    sources.insert(7, Source("gone.hl7", str(tmp_path / "gone.hl7"), None))
    with pytest.MonkeyPatch.context() as patch:
        if small:
            for name, value in [("FIRST_READ", 32), ("WHOLE_FILE_MAX", 200), ("WHOLE_GZIP_MAX", 40)]:
                patch.setattr(tasks, name, value)
            patch.setattr(tasks, "WHOLE_TASK_TEXT", 300)
        settings = tasks.Settings(output_format="parquet")
        assert rows_of_tasks(sources, settings, True) == rows_of_tasks(sources, settings, False)


@given(FEEDS, parquet_settings, st.sampled_from([1, 7, 64]), st.sampled_from([16, 200]))
def test_large_files_cut_into_pieces_give_the_readers_rows(
    tmp_path_factory: pytest.TempPathFactory, data: bytes, settings: tasks.Settings, piece: int, most: int
) -> None:
    """A large file in pieces of any size (down to a byte a read, and the
    reader taking over from a piece with no place to cut)."""
    path = tmp_path_factory.mktemp("pieces") / "big.hl7"
    path.write_bytes(data)
    sources = [Source("big.hl7", str(path), len(data))]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(tasks, "WHOLE_FILE_MAX", 0)
        patch.setattr(tasks, "PIECE_BYTES", piece)
        patch.setattr(tasks, "PIECE_MAX", most)
        assert rows_of_tasks(sources, settings, True) == rows_of_tasks(sources, settings, False)


@pytest.mark.parametrize(
    ("feeds", "error"),
    [
        ([(b"x", b"MSH", (0, 0, None, None))], "state"),
        ([(b"x", "MSH")], "feeds[0]"),
        ("MSH", "feeds[0]"),
    ],
)
def test_bad_arguments_are_refused(feeds: object, error: str) -> None:
    with pytest.raises(TypeError, match=error.replace("[", r"\[")):
        _columns.build_feeds(feeds, max_message_size=10, max_fields=10)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="at least 1"):
        _columns.build_feeds([], max_message_size=0, max_fields=10)
