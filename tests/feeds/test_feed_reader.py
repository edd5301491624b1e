"""The feed reader: splitting sources into messages, framing, envelopes,
gzip, notices and character sets."""

from __future__ import annotations

import collections
import gzip
import io
import pathlib
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessarin_feeds.reader
from tessarin import Hl7Json
from tessarin_feeds import Message, Notice, read_messages

import feed_fixtures
from conftest import needs_corpus


def read(source: object, **options: object) -> tuple[list[Message], list[Notice]]:
    notices: list[Notice] = []
    messages = list(read_messages(source, on_notice=notices.append, **options))  # type: ignore[arg-type]
    return messages, notices


def kinds(notices: list[Notice]) -> dict[str, int]:
    return dict(collections.Counter(notice.kind for notice in notices))


# ---------------------------------------------------------------------------
# Any messages in any framing come back exactly

segment_names = st.sampled_from(["PID", "PV1", "OBX", "NTE", "ZZ1", "EVN", "MSA"])
field_text = st.text(st.characters(blacklist_characters="\r\n\x0b\x1c", blacklist_categories=("Cs",)), max_size=12)
segment = st.builds(lambda name, text: f"{name}|{text}", segment_names, field_text)
inner_line = st.one_of(segment, st.sampled_from(["", "  "]))
line_end = st.sampled_from(["\r", "\n", "\r\n"])


@st.composite
def message_texts(draw: st.DrawFn) -> str:
    header = "MSH|^~\\&#" if draw(st.booleans()) else "MSH|^~\\&"
    lines = [header + "|" + draw(field_text), *draw(st.lists(inner_line, max_size=4))]
    if draw(st.booleans()):
        lines.append(draw(segment))  # the last line is never blank
    while not lines[-1].strip():
        lines.pop()
    return draw(line_end).join(lines)


@st.composite
def framed_feeds(draw: st.DrawFn) -> tuple[list[str], bytes, dict[str, int]]:
    """Messages, a feed holding them, and the notices reading it gives."""
    texts = draw(st.lists(message_texts(), min_size=1, max_size=5))
    body = b""
    truncated = False
    for number, text in enumerate(texts):
        data = text.encode("utf-8")
        end = draw(line_end).encode()
        after = draw(st.sampled_from(["", "\r", "\r\n", "\n \n\r\n"])).encode()
        if draw(st.booleans()):  # MLLP
            truncated = number == len(texts) - 1 and draw(st.booleans())
            body += b"\x0b" + data + end + (b"" if truncated else b"\x1c" + after)
        else:
            body += data + end + after
    notices = {"truncated frame": 1} if truncated else {}
    if draw(st.booleans()):
        body = b"FHS|^~\\&|A\rBHS|^~\\&|A\r" + body + b"BTS|%d\rFTS|1\r" % len(texts)
        notices["envelope segment"] = 4
    if draw(st.booleans()):
        body = feed_fixtures.BOM + body
    return texts, body, notices


@given(framed_feeds(), st.booleans())
def test_any_messages_in_any_framing_come_back_exactly(
    feed: tuple[list[str], bytes, dict[str, int]], compress: bool
) -> None:
    texts, data, expected_notices = feed
    messages, notices = read(gzip.compress(data) if compress else data)
    assert [message.text for message in messages] == texts
    assert [message.index for message in messages] == list(range(len(texts)))
    assert kinds(notices) == expected_notices
    for message, text in zip(messages, texts, strict=True):
        assert message.error is None
        assert data[message.offset :].startswith(text.encode("utf-8"))
        assert Hl7Json(message.text).hl7_json == Hl7Json(text).hl7_json
    # The batch's headers go with every message; a frame that the feed ends
    # in, without its end block, cuts its message short (the batch trailer
    # after it ends the message).
    enveloped = "envelope segment" in expected_notices
    assert all(message.envelope == (("FHS|^~\\&|A", "BHS|^~\\&|A") if enveloped else ()) for message in messages)
    cut = [message.cut_short is not None for message in messages]
    assert cut == [False] * (len(texts) - 1) + ["truncated frame" in expected_notices and not enveloped]


@given(st.lists(framed_feeds(), min_size=2, max_size=4), st.booleans())
def test_files_glued_together_read_as_each_one(
    feeds: list[tuple[list[str], bytes, dict[str, int]]], zipped: bool
) -> None:
    """cat of files, each of which may start with a byte order mark (and
    cat of gzip files): every message of each file, none merged."""
    files = [data for _, data, notices in feeds if "truncated frame" not in notices]
    glued = b"".join(gzip.compress(data) if zipped else data for data in files)
    expected = [message.text for data in files for message in read(data)[0]]
    assert [message.text for message in read(glued)[0]] == expected


@given(framed_feeds(), st.integers(1, 12))
def test_chunk_boundaries_do_not_change_what_is_read(
    feed: tuple[list[str], bytes, dict[str, int]], chunk_size: int
) -> None:
    """Bytes holding one plain message are cut at once; a stream always goes
    through the chunked splitter. Both read the same."""
    _, data, _ = feed
    whole = read(data, name="feed")
    original = tessarin_feeds.reader.CHUNK_SIZE
    tessarin_feeds.reader.CHUNK_SIZE = chunk_size
    try:
        assert read(io.BytesIO(data), name="feed") == whole
    finally:
        tessarin_feeds.reader.CHUNK_SIZE = original


@given(framed_feeds(), st.integers(1, 40), st.integers(1, 12))
def test_a_message_over_the_size_limit_fails_with_its_size(
    feed: tuple[list[str], bytes, dict[str, int]], limit: int, chunk_size: int
) -> None:
    """Streamed, the bytes of a message too large to keep are passed over;
    it still gets its index, offset and exact size, and nothing else changes."""
    _, data, _ = feed
    unlimited, notices = read(data, name="feed")
    original = tessarin_feeds.reader.CHUNK_SIZE
    tessarin_feeds.reader.CHUNK_SIZE = chunk_size
    try:
        streamed = read(io.BytesIO(data), name="feed", max_message_size=limit)
    finally:
        tessarin_feeds.reader.CHUNK_SIZE = original
    assert read(data, name="feed", max_message_size=limit) == streamed
    limited, limited_notices = streamed
    assert limited_notices == notices
    assert [(m.index, m.offset) for m in limited] == [(m.index, m.offset) for m in unlimited]
    for whole, cut in zip(unlimited, limited, strict=True):
        size = len(whole.text.encode("utf-8"))
        if size > limit:
            assert (cut.text, cut.error) == (
                "",
                f"message too large: {size} bytes, more than the limit of {limit} bytes",
            )
        else:
            assert cut == whole


@pytest.mark.parametrize(
    "tail",
    [b"", b"\rMSHX|1", b"\nPID|1\rNTE|MSH|x", b"\rMSH|^~\\&|B", b"\nBTS|1", b"\r\nFTS|1\r\n"],
    ids=["one", "longer-name", "msh-inside-a-line", "second-message", "envelope-after-lf", "envelope-after-crlf"],
)
def test_a_large_message_reads_as_streamed(tail: bytes) -> None:
    """Bytes of one large message are checked line by line, not by the regex."""
    data = b"MSH|^~\\&|A\r" + b"OBX|1|" + b"x" * 40_000 + b"\rOBX|2|y" * 50 + tail + b"\r\n"
    assert read(data, name="feed") == read(io.BytesIO(data), name="feed")


# ---------------------------------------------------------------------------
# Splitting rules, one case each


@pytest.mark.parametrize(
    ("data", "texts", "notices"),
    [
        # a final line end and trailing blank or space-only lines are not part of the message,
        # but spaces that end the last segment are
        (b"MSH|^~\\&|A\r\n\r\n  \r\nMSH|^~\\&|B  ", ["MSH|^~\\&|A", "MSH|^~\\&|B  "], {}),
        # inner blank lines stay
        (b"MSH|^~\\&|A\r\rPID|1\r", ["MSH|^~\\&|A\r\rPID|1"], {}),
        # MSH inside a line or as part of a longer name starts nothing
        (b"MSH|^~\\&|A\rNTE|MSH|x\rMSHX|1", ["MSH|^~\\&|A\rNTE|MSH|x\rMSHX|1"], {}),
        (b"\xef\xbb\xbf\x0bMSH|^~\\&|A\r\x1c\r", ["MSH|^~\\&|A"], {}),
        # back to back frames without CR, and a frame end without its CR
        (b"\x0bMSH|^~\\&|A\x1c\x0bMSH|^~\\&|B\x1c", ["MSH|^~\\&|A", "MSH|^~\\&|B"], {}),
        (b"\x0bMSH|^~\\&|A\r\x1c\r\x0bMSH|^~\\&|B\r", ["MSH|^~\\&|A", "MSH|^~\\&|B"], {"truncated frame": 1}),
        # a frame start with nothing behind it (as some captures end)
        (b"MSH|^~\\&|A\r\x0b\r\n", ["MSH|^~\\&|A"], {"truncated frame": 1}),
        (b"", [], {}),
        (b" \r\n\t\r\n", [], {}),
        (b"FHS|^~\\&\rBHS|^~\\&\rBTS|0000000000\rFTS|1\n", [], {"envelope segment": 4}),
        (b"BHS|^~\\&\rMSH|^~\\&|A\rBTS|2\r", ["MSH|^~\\&|A"], {"envelope segment": 2, "batch count mismatch": 1}),
        (b"MSH|^~\\&|A\rBTS|x\r", ["MSH|^~\\&|A"], {"envelope segment": 1, "batch count mismatch": 1}),
        # an envelope segment ends a message; what follows it before the next MSH is stray
        (
            b"MSH|^~\\&|A\rBHS|^~\\&\rPID|1\rMSH|^~\\&|B",
            ["MSH|^~\\&|A", "MSH|^~\\&|B"],
            {"envelope segment": 1, "stray fragment": 1},
        ),
        (b"\x0bPID|1\x1c\r\x0bMSH|^~\\&|A\x1c", ["MSH|^~\\&|A"], {"stray fragment": 1}),
        # stray bytes on both sides of block bytes are one fragment; empty frames are nothing
        (b"junk\x0bmore\x1c\rjunk\x0b\x0b\x0bMSH|^~\\&|A\x1c\x0bPID|2", ["MSH|^~\\&|A"], {"stray fragment": 2}),
        (b"\x0b\x1c\r\x0b\x0bMSH|^~\\&|A\x1c\r", ["MSH|^~\\&|A"], {}),
        # stray bytes after a framed message do not hide that its frame was cut short
        (
            b"\x0bMSH|^~\\&|A\rBHS|x\rjunk",
            ["MSH|^~\\&|A"],
            {"envelope segment": 1, "stray fragment": 1, "truncated frame": 1},
        ),
    ],
)
def test_splitting(data: bytes, texts: list[str], notices: dict[str, int]) -> None:
    messages, found = read(data)
    assert [message.text for message in messages] == texts
    assert kinds(found) == notices


def test_notices_carry_offsets_and_text() -> None:
    data = b"\xef\xbb\xbf junk\rmore junk\r\nBHS|^~\\&|X\rMSH|^~\\&|A\rBTS|3\r\x0bMSH|^~\\&|B"
    messages, notices = read(data, name="feed")
    assert [(message.source, message.index, message.offset) for message in messages] == [
        ("feed", 0, data.index(b"MSH")),
        ("feed", 1, data.rindex(b"MSH")),
    ]
    assert [(notice.kind, notice.offset, notice.detail) for notice in notices] == [
        ("stray fragment", 4, "junk\rmore junk"),
        ("envelope segment", data.index(b"BHS"), "BHS|^~\\&|X"),
        ("envelope segment", data.index(b"BTS"), "BTS|3"),
        ("batch count mismatch", data.index(b"BTS"), "BTS-1 says 3; the batch holds 1 messages"),
        ("truncated frame", data.index(b"\x0b"), "a frame without its end block (0x1C)"),
    ]
    assert {notice.source for notice in notices} == {"feed"}


@pytest.mark.parametrize(
    ("data", "detail"),
    [
        (bytes(range(256)) * 40, "10240 bytes of binary data, no message in them"),
        (b"x" * 70_000 + b"\r\n", f"{'x' * 65536} ... (70000 bytes in all)"),
        (b"\x00PK\x03\x04" + b"a" * 50, "55 bytes of binary data, no message in them"),
    ],
    ids=["every-byte", "long-text", "zip-header"],
)
def test_a_source_without_messages_is_one_stray_fragment(data: bytes, detail: str) -> None:
    for source in (data, io.BytesIO(data)):
        messages, notices = read(source)
        assert messages == []
        assert [(n.kind, n.offset, n.detail) for n in notices] == [("stray fragment", 0, detail)]


@pytest.mark.parametrize(
    ("header", "error"),
    [
        (b"MSH|^~\\&#|A", None),  # a fifth (truncation) character changes no separator
        (b"MSH|^~\\}|A", 'non-default separators: field separator "|" and encoding characters "^~\\}"'),
        (b"MSH|^~&|A", 'non-default separators: field separator "|" and encoding characters "^~&"'),
        (b"MSH$^~\\&$A", 'non-default separators: field separator "$" and encoding characters "^~\\&"'),
        (b"MSH||A", 'non-default separators: field separator "|" and encoding characters ""'),
        (b"MSH|^\xef\xbf\xbd\\&|A", 'non-default separators: field separator "|" and encoding characters "^\ufffd\\&"'),
        (b"MSH|^\xe9\\&|A", 'non-default separators: field separator "|" and encoding characters "^\\xe9\\&"'),
        (b"MSH", "non-default separators: the MSH segment declares none"),
    ],
)
def test_non_default_separators_are_an_error(header: bytes, error: str | None) -> None:
    (message,), _ = read(header + b"\rPID|1\r")
    if error is None:
        assert (message.error, message.text) == (None, header.decode() + "\rPID|1")
    else:
        assert message.text == ""
        assert message.error is not None and message.error.startswith(error)


# ---------------------------------------------------------------------------
# Sources


def test_sources_and_their_names(tmp_path: pathlib.Path) -> None:
    data = b"MSH|^~\\&|A\rMSH|^~\\&|B\r"
    path = tmp_path / "feed.hl7"
    path.write_bytes(data)
    with path.open("rb") as stream:
        stream.read(0)
        from_file_object = [(m.source, m.text) for m in read_messages(stream)]
        assert not stream.closed
    texts = ["MSH|^~\\&|A", "MSH|^~\\&|B"]
    assert from_file_object == [(str(path), text) for text in texts]
    assert [(m.source, m.text) for m in read_messages(str(path))] == [(str(path), text) for text in texts]
    assert {m.source for m in read_messages(path, name="x")} == {"x"}
    assert {m.source for m in read_messages(data)} == {"<bytes>"}
    assert {m.source for m in read_messages(io.BytesIO(data))} == {"<stream>"}


def test_reading_is_lazy_and_streams_gzip() -> None:
    """A message comes out long before the input is read whole."""
    # Random values keep the compressed stream (about 4 MB) far larger than
    # gzip's own read buffer, 128 KiB from Python 3.12 on.
    rng = random.Random(0)
    messages = [b"MSH|^~\\&|A\rOBX|1|" + rng.randbytes(500).hex().encode() + b"\r" for _ in range(8_000)]
    data = gzip.compress(b"".join(messages), compresslevel=1)

    class CountingStream(io.BytesIO):
        taken = 0

        def read(self, size: int | None = -1) -> bytes:
            chunk = super().read(size)
            self.taken += len(chunk)
            return chunk

    stream = CountingStream(data)
    first = next(read_messages(stream))
    assert first.text == messages[0].rstrip(b"\r").decode()
    assert stream.taken < len(data) / 2


def test_a_live_stream_is_read_as_data_arrives() -> None:
    class Pipe(io.RawIOBase):
        """Gives its pieces one at a time, as a pipe would; read(n) waits for n bytes."""

        def __init__(self, pieces: list[bytes]) -> None:
            self.pieces = pieces
            self.arrived = b""

        def read1(self, size: int = -1) -> bytes:
            if not self.arrived and self.pieces:
                self.arrived = self.pieces.pop(0)
            data, self.arrived = self.arrived[:size], self.arrived[size:]
            return data

        def read(self, size: int | None = -1) -> bytes:
            assert size is not None and size >= 0
            data = b""
            while len(data) < size and (more := self.read1(size - len(data))):
                data += more
            return data

    pipe = Pipe([b"MSH|^~\\&|A\rPID|1\rMSH|^~\\&|B\rPID|2\r", b"MSH|^~\\&|C\r"])
    messages = read_messages(pipe)  # type: ignore[arg-type]
    assert next(messages).text == "MSH|^~\\&|A\rPID|1"
    assert len(pipe.pieces) == 1
    assert [message.text for message in messages] == ["MSH|^~\\&|B\rPID|2", "MSH|^~\\&|C"]


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"encoding_errors": "ignore"}, "encoding_errors"),
        ({"encoding": "no-such-charset"}, "unknown encoding"),
        ({"encoding": "utf-16"}, "unknown encoding"),
        ({"encoding": "latin\x001"}, "unknown encoding"),
    ],
)
def test_bad_options_fail_at_once(options: dict[str, str], error: str) -> None:
    with pytest.raises(ValueError, match=error):
        read_messages(b"", **options)  # type: ignore[arg-type]


@pytest.mark.parametrize("data", [gzip.compress(b"MSH|^~\\&|A\r" * 1000)[:-30], b"\x1f\x8bnot gzip at all"])
def test_corrupt_gzip_is_an_os_error(data: bytes) -> None:
    with pytest.raises(OSError, match="<bytes>: gzip data is corrupt or cut short"):
        read(data)


# ---------------------------------------------------------------------------
# Character sets


def msh18(charset: str) -> bytes:
    return b"MSH|^~\\&" + b"|" * 16 + charset.encode()


@pytest.mark.parametrize(
    ("data", "options", "text"),
    [
        (msh18("") + "\rPID|Zoë\r".encode(), {}, msh18("").decode() + "\rPID|Zoë"),
        (msh18("8859/1") + b"\rPID|Zo\xeb\r", {}, msh18("8859/1").decode() + "\rPID|Zoë"),
        # Windows-1252 bytes in a file declared Latin-1, as they come from Windows tools
        (msh18("8859/1") + b"\rNTE|\x93ok\x94\r", {}, msh18("8859/1").decode() + "\rNTE|\u201cok\u201d"),
        (msh18("8859/15") + b"\rNTE|\xa4\r", {}, msh18("8859/15").decode() + "\rNTE|\u20ac"),
        (msh18("8859/5") + b"\rPID|\xb8\r", {}, msh18("8859/5").decode() + "\rPID|\u0418"),
        (msh18("WINDOWS-1252") + b"\rNTE|\x80\r", {}, msh18("WINDOWS-1252").decode() + "\rNTE|\u20ac"),
        (b"MSH|^~\\&|Zo\xeb\r", {"encoding": "cp1252"}, "MSH|^~\\&|Zo\u00eb"),
        (b"MSH|^~\\&|Zo\xeb\r", {"encoding": "8859/1"}, "MSH|^~\\&|Zo\u00eb"),
        (b"MSH|^~\\&|Zo\xeb\r", {"encoding_errors": "replace"}, "MSH|^~\\&|Zo\ufffd"),
        (msh18("ASCII") + b"\rPID|Zo\xeb", {"encoding_errors": "replace"}, msh18("ASCII").decode() + "\rPID|Zo\ufffd"),
    ],
)
def test_charsets(data: bytes, options: dict[str, str], text: str) -> None:
    (message,), _ = read(data, **options)
    assert (message.error, message.text) == (None, text)


@pytest.mark.parametrize(
    ("charset", "options", "why"),
    [
        ("", {}, "UTF-8, and MSH-18 declares no character set"),
        ("UTF-8", {}, "UTF-8 (declared in MSH-18)"),
        ("ASCII", {}, "ASCII (declared in MSH-18)"),
        ("KLINGON", {}, "UTF-8, and MSH-18 names an unknown character set 'KLINGON'"),
        ("latin\x001", {}, "UTF-8, and MSH-18 names an unknown character set 'latin\\x001'"),
        ("8859/1", {"encoding": "utf-8"}, "utf-8 (the forced encoding)"),
    ],
)
def test_undecodable_message_error_names_source_index_and_offset(
    charset: str, options: dict[str, str], why: str
) -> None:
    first = b"MSH|^~\\&|fine\r"
    data = first + msh18(charset) + b"\rPID|Zo\xeb\r"
    bad_byte_offset = data.index(b"\xeb")
    messages, _ = read(data, name="feed.hl7", **options)
    assert messages[1].text == ""
    assert (
        messages[1].error
        == f"cannot decode message 1 of feed.hl7: byte 0xeb at offset {bad_byte_offset} is not valid {why}"
    )


# ---------------------------------------------------------------------------
# Fixtures and the corpus


@pytest.fixture(scope="module")
def fixtures(tmp_path_factory: pytest.TempPathFactory) -> dict[str, pathlib.Path]:
    return feed_fixtures.build_fixtures(tmp_path_factory.mktemp("feeds"))


@needs_corpus
@pytest.mark.parametrize("kind", feed_fixtures.KINDS)
def test_fixture_feeds(fixtures: dict[str, pathlib.Path], kind: str) -> None:
    expected = feed_fixtures.expected()[kind]
    messages, notices = read(fixtures[kind])
    assert [message.text if message.error is None else None for message in messages] == expected.texts
    assert kinds(notices) == expected.notices


@needs_corpus
@pytest.mark.parametrize(
    ("name", "count", "notices"),
    [
        ("cdc-dex-hl7__v251_batch_fhs_bhs_five_oru_covid.hl7", 5, {"envelope segment": 4}),
        ("python-hl7__v25_file_two_batches_three_adt_a04.hl7", 3, {"envelope segment": 6}),
        ("python-hl7__v25_batch_bhs_bts_two_adt_a04.hl7", 2, {"envelope segment": 2}),
        ("python-hl7__v25_file_fhs_fts_without_bhs.hl7", 2, {"envelope segment": 2}),
        ("python-hl7__v25_two_adt_a04_without_batch_header.hl7", 2, {}),
        ("ruby-hl7__malformed_v251_batch_fhs_bhs_two_oru_second_msh_missing_escape.hl7", 2, {"envelope segment": 4}),
        ("cdc-dex-hl7__v231_batch_with_blank_lines_between_segments.hl7", 1, {"envelope segment": 4}),
        ("python-hl7__malformed_mllp_framed_msh.hl7", 1, {}),
        ("ruby-hl7__oru_r03_no_version_field.hl7", 1, {"truncated frame": 1}),
        ("ruby-hl7__batch_fhs_bhs_no_messages.hl7", 0, {"envelope segment": 4, "batch count mismatch": 1}),
        (
            "python-hl7__malformed_v25_batch_bhs_without_msh.hl7",
            0,
            {"envelope segment": 2, "stray fragment": 1, "batch count mismatch": 1},
        ),
    ],
)
def test_corpus_feeds_give_their_messages(name: str, count: int, notices: dict[str, int]) -> None:
    messages, found = read(feed_fixtures.CORPUS_DIR / name)
    assert len(messages) == count
    assert kinds(found) == notices


@needs_corpus
def test_every_corpus_file_reads_to_clean_message_texts() -> None:
    for path in sorted(feed_fixtures.CORPUS_DIR.iterdir()):
        for message in read_messages(path):
            assert (message.text or message.error or "").strip(), path.name
            if message.error is None:
                assert message.text.startswith("MSH|^~\\&"), path.name
                assert not set(message.text) & {"\x0b", "\x1c", "\ufeff"}, path.name
                assert not message.text.endswith(("\r", "\n")), path.name


@needs_corpus
def test_every_corpus_file_reads_the_same_from_bytes_and_from_a_stream() -> None:
    """Bytes in memory take the one-message and one-chunk shortcuts; a stream never does."""
    for path in sorted(feed_fixtures.CORPUS_DIR.iterdir()):
        data = path.read_bytes()
        assert read(data, name=path.name) == read(io.BytesIO(data), name=path.name), path.name
