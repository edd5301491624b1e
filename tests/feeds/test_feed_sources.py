"""The command on awkward sources and outputs: file names that are not
UTF-8, pipes named as paths, bytes that arrive in any pieces, envelopes,
output names and Parquet compression."""

from __future__ import annotations

import os
import pathlib
import subprocess
import threading

import pytest
from test_cli import HEADER, message, rows, summary, tessarin

from conftest import needs_command

pytestmark = needs_command


def _unescaped(name: str) -> bytes:
    """The bytes a source name stands for: \\xHH is a byte, \\\\ a backslash."""
    out, at = bytearray(), 0
    while at < len(name):
        if name.startswith("\\\\", at):
            out += b"\\"
            at += 2
        elif name.startswith("\\x", at):
            out.append(int(name[at + 2 : at + 4], 16))
            at += 4
        else:
            out += name[at].encode()
            at += 1
    return bytes(out)


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_file_names_that_are_not_utf8_are_named_unambiguously(tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    folder = tmp_path / "feed"
    folder.mkdir()
    names = [b"M\xfcller.hl7", b"M\\xfcller.hl7", b"caf\xc3\xa9.hl7", b"a\\b.hl7"]
    for number, name in enumerate(names):
        with open(os.path.join(os.fsencode(folder), name), "wb") as file:
            file.write(b"stray\r" + message(number).encode())
    out = tmp_path / f"out.{fmt}"
    done = tessarin("convert", "--no-progress", str(folder), "-o", str(out))
    assert done.returncode == 1, done.stderr  # the stray fragments
    if fmt == "parquet":
        import pyarrow.parquet as pq

        sources = pq.read_table(out).column("source").to_pylist()
    else:
        sources = [row["source"] for row in rows(out.read_bytes())]
    prefix = str(folder) + "/"
    assert sorted(_unescaped(source.removeprefix(prefix)) for source in sources) == sorted(names)
    told = [
        line.split(": stray fragment")[0].removeprefix("tessarin: ")
        for line in done.stderr.decode().splitlines()
        if "stray fragment at" in line
    ]
    assert sorted(told) == sorted(sources)


def _through_fifo(tmp_path: pathlib.Path, data: bytes, *args: str) -> subprocess.CompletedProcess[bytes]:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed() -> None:
        with open(fifo, "wb") as pipe:
            pipe.write(data)

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    try:
        return tessarin(*args, str(fifo))
    finally:
        writer.join(timeout=60)


LONG_FHS = b"FHS|^~\\&|" + b"x" * 200_000 + b"\r"


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(LONG_FHS + message(1).encode() + b"\rBTS|1\r", id="long envelope line"),
        pytest.param(
            b"\xef\xbb\xbf" + message(1).encode() + b"\r\xef\xbb\xbf" + message(2).encode() + b"\r",
            id="glued BOM files",
        ),
        pytest.param(b"BHS|\r" + message(1).encode() + b"\rBTS|" + b"9" * 5000 + b"\r", id="absurd batch count"),
        pytest.param(b"\x0b" + message(1).encode()[:60], id="cut frame"),
    ],
)
def test_the_same_bytes_give_the_same_result_from_a_file_a_pipe_and_stdin(tmp_path, data):
    (tmp_path / "f.hl7").write_bytes(data)
    ways = {
        "file": tessarin("convert", "--no-progress", str(tmp_path / "f.hl7")),
        "stdin": tessarin("convert", "--no-progress", "-", stdin=data),
        "pipe": _through_fifo(tmp_path, data, "convert", "--no-progress"),
    }

    def outcome(done: subprocess.CompletedProcess[bytes]) -> tuple[object, ...]:
        found = [{k: v for k, v in row.items() if k != "source"} for row in rows(done.stdout)]
        told = [line.split(": ", 2)[2] for line in done.stderr.decode().splitlines() if line.startswith("tessarin: ")]
        counts = {k: v for k, v in summary(done.stderr).items() if k != "sources"}
        return done.returncode, found, told, counts

    first = outcome(ways["file"])
    assert all(outcome(done) == first for done in ways.values())
    assert first[0] in (0, 1) and first[1], ways["file"].stderr


def test_a_pipe_named_as_a_path_keeps_the_size_limit(tmp_path):
    big = message(1, extra="x" * 5000).encode()
    done = _through_fifo(
        tmp_path, big + b"\r" + message(2).encode(), "convert", "--no-progress", "--max-message-size", "1K"
    )
    found = rows(done.stdout)
    assert done.returncode == 1
    assert found[0]["error"].startswith("message too large: ") and "records" in found[1]


def test_failed_messages_keep_their_header_columns(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    header = HEADER.format(id="H1")
    (tmp_path / "f.hl7").write_bytes(
        (header.replace("^~\\&", "^~\\}") + "\rPID|1\r").encode()  # other encoding characters
        + header.replace("|", "$").encode()
        + b"\rPID$1\r"  # another field separator
        + header.encode()
        + b"\rNTE|1||caf\xe9\r"  # not UTF-8, no charset declared
    )
    done = tessarin("convert", "--no-progress", str(tmp_path / "f.hl7"), "-o", str(tmp_path / "o.parquet"))
    table = pq.read_table(tmp_path / "o.parquet")
    assert done.returncode == 1
    assert table.column("error").null_count == 0
    assert table.column("message_type").to_pylist() == ["ORU^R01^ORU_R01"] * 3
    assert table.column("control_id").to_pylist() == ["H1"] * 3


@pytest.mark.parametrize("name", ["x.csv", "x.pq", "x.parquet.gz", "x"])
def test_unknown_output_names_are_refused(tmp_path, name):
    (tmp_path / "in").mkdir()
    done = tessarin("convert", str(tmp_path / "in"), "-o", str(tmp_path / name))
    assert done.returncode == 2
    assert done.stderr.decode().strip().endswith("use .jsonl, .jsonl.gz, .parquet or give --format")
    assert tessarin("convert", "--format", "jsonl", str(tmp_path / "in"), "-o", str(tmp_path / name)).returncode == 0


@pytest.mark.parametrize("codec", [None, "none", "snappy", "zstd", "lz4", "gzip"])
def test_parquet_compression(tmp_path, codec):
    pq = pytest.importorskip("pyarrow.parquet")
    (tmp_path / "a.hl7").write_text(message(1))
    out = tmp_path / "o.parquet"
    done = tessarin("convert", str(tmp_path / "a.hl7"), "-o", str(out), *(["--compression", codec] if codec else []))
    assert done.returncode == 0, done.stderr
    written = pq.ParquetFile(out).metadata.row_group(0).column(0).compression
    assert written == {None: "SNAPPY", "none": "UNCOMPRESSED", "lz4": "LZ4"}.get(codec, (codec or "").upper())


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_a_message_of_too_many_fields_is_an_error_row(tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    text = message(1) + "\rOBX" + "|" * 3000
    (tmp_path / "f.hl7").write_text(text + "\r" + message(2))
    out = tmp_path / f"o.{fmt}"
    done = tessarin("convert", "--no-progress", "--max-fields", "3000", str(tmp_path / "f.hl7"), "-o", str(out))
    if fmt == "parquet":
        import pyarrow.parquet as pq

        errors = pq.read_table(out).column("error").to_pylist()
    else:
        errors = [row.get("error") for row in rows(out.read_bytes())]
    fields = 1 + sum(text.count(c) for c in "|^~\r")
    assert done.returncode == 1
    assert errors == [f"message has too many fields: {fields}, more than the limit of 3000", None]


@pytest.mark.parametrize("place", ["the input", "inside an input folder"])
@pytest.mark.parametrize("command", ["convert", "to-hl7"])
def test_the_output_is_never_an_input(tmp_path, place, command):
    (tmp_path / "in").mkdir()
    source = tmp_path / "in" / "a.hl7"
    source.write_text(message(1))
    before = source.read_bytes()
    given, out = (source, source) if place == "the input" else (tmp_path / "in", tmp_path / "in" / "o.jsonl")
    if command == "to-hl7":
        if place != "the input":
            pytest.skip("to-hl7 reads one file")
        source.write_text('{"source":"s","message":0,"offset":0,"records":[{"segment_name":"PID"}]}\n')
        before = source.read_bytes()
    fmt = ["--format", "jsonl"] if command == "convert" else []
    done = tessarin(command, str(given), "-o", str(out), *fmt)
    assert done.returncode == 2 and b"write it elsewhere" in done.stderr
    assert source.read_bytes() == before


def test_an_output_name_of_255_bytes_is_written(tmp_path):
    (tmp_path / "a.hl7").write_text(message(1))
    out = tmp_path / ("o" * (255 - len(".jsonl")) + ".jsonl")
    done = tessarin("convert", str(tmp_path / "a.hl7"), "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert rows(out.read_bytes())[0]["message"] == 0
