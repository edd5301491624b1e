"""to-hl7: what it writes reads back, through tessarin and through python-hl7.

The law: convert, then to-hl7, then convert gives the same records, with
escaping on (the defaults) and off (--no-escaping with --unescaped).
It is stated over the records convert can produce, so the generated feeds
below are fed to the same reader and converter the command uses.
"""

from __future__ import annotations

import io
import json
import pathlib
import subprocess
import sys

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from conftest import CORPUS_DIR as CORPUS
from conftest import needs_command, needs_corpus, needs_peer

pytestmark = needs_command
# The modules below import orjson themselves.
pytest.importorskip("orjson", reason="the tessarin command needs orjson, not installed for this interpreter")

from tessarin_feeds.hl7_output import Row, encode_message, output_codec, write_messages  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402
from tessarin_feeds.tasks import Settings, convert_message  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
COMMAND = [sys.executable, "-m", "tessarin_feeds"]

# Raw text of values: separators, every escape the converter knows, some it
# does not (they keep their backslash), a backslash at the end, NUL.
RAW = [
    "a",
    "Z",
    "7",
    " ",
    "  ",
    "\t",
    "\x00",
    "\x1f",
    "^",
    "~",
    "&",
    "\\",
    "^~\\&",
    "\\F\\",
    "\\S\\",
    "\\R\\",
    "\\E\\",
    "\\\\",
    "\\T\\",
    "\\X0D\\",
    "\\X0A\\",
    "\\X0D0A\\",
    "\\X20\\",
    "\\X09\\",
    "\\H\\",
    "\\.br\\",
    "\\X41\\",
    "\\E",
]
# MSH-18 as written, with characters that charset holds and that read back
# as written. The reader tries UTF-8 before MSH-18, so the non-ASCII letters
# of the single-byte sets are ones whose bytes never make valid UTF-8.
CHARSETS = {
    "": ["é", "中", "😀", "’", "\u2028", "\ufeff"],
    "UNICODE UTF-8": ["é", "Ω", "𝄞"],
    "NO SUCH SET": ["é", "ж"],  # unknown: read, and so written, as UTF-8
    "8859/1": ["é", "ß", "Ø", "ÿ"],
    "8859/7": ["Ω", "α", "ώ"],
}
NAMES = ["PID", "OBX", "NTE", "ZZ1", "Z\\F\\Z", "obx", ""]
LINE_ENDS = {"cr": "\r", "lf": "\n", "crlf": "\r\n"}


@st.composite
def feeds(draw: st.DrawFn) -> tuple[bytes, list[str], list[str]]:
    """A feed of one to three messages; and the MSH-18 and MSH-2 of each."""
    data, declared, encodings = b"", [], []
    for _ in range(draw(st.integers(1, 3))):
        charset = draw(st.sampled_from(sorted(CHARSETS)))
        pieces = st.sampled_from(RAW + CHARSETS[charset])
        value = st.lists(pieces, max_size=8).map("".join)
        header_value = st.lists(pieces.filter(lambda p: "|" not in p and "~" not in p), max_size=4).map("".join)
        encoding_characters = draw(st.sampled_from(["^~\\&", "^~\\&#", "^~\\&\\F\\x^y~z"]))
        header = "|".join(
            ["MSH", encoding_characters, *draw(st.lists(header_value, min_size=15, max_size=15)), charset]
        )
        lines = [header]
        for _ in range(draw(st.integers(0, 4))):
            fields = draw(st.lists(value, max_size=4))
            lines.append("|".join([draw(st.sampled_from(NAMES)), *fields]) if fields else draw(st.sampled_from(NAMES)))
        end = draw(st.sampled_from(list(LINE_ENDS.values())))
        text = end.join(lines) + draw(st.sampled_from(["", end, end + end]))
        codec = output_codec(charset) or "utf-8"
        data += text.encode(codec)
        declared.append(charset)
        encodings.append(encoding_characters)
        if not text.endswith(("\r", "\n")):
            data += b"\r"
    return data, declared, encodings


def convert(data: bytes, escaping: bool) -> list[list[dict[str, str]]]:
    settings = Settings(escaping=escaping)
    rows = [convert_message(message, settings) for message in read_messages(data)]
    assert all(row.error is None for row in rows), [row.error for row in rows]
    return [row.records for row in rows]  # type: ignore[misc]


def to_hl7(messages: list[list[dict[str, str]]], **options: object) -> bytes:
    out = io.BytesIO()
    problems: list[str] = []
    counts = write_messages(
        (Row(f"m{n}", records, None) for n, records in enumerate(messages)), out, on_problem=problems.append, **options
    )  # type: ignore[arg-type]
    assert counts.clean and counts.written == len(messages), problems
    return out.getvalue()


@given(feeds(), st.booleans(), st.sampled_from(sorted(LINE_ENDS)), st.booleans())
def test_convert_to_hl7_convert_gives_the_same_records(feed, escaping, line_end, mllp):
    data, _, encoding_characters = feed
    # MSH-2 goes out as it stands, and the converter unescapes it on reading:
    # with escaping on, the law holds for what HL7 allows there.
    assume(not escaping or all(e in ("^~\\&", "^~\\&#") for e in encoding_characters))
    records = convert(data, escaping)
    written = to_hl7(records, escaping="hl7" if escaping else "none", line_end=line_end, mllp=mllp)
    assert convert(written, escaping) == records


def python_hl7_records(text: str) -> list[dict[str, str]]:
    """The records of a message as python-hl7 reads it, in tessarin's key
    scheme; MSH-1 and MSH-2 left out."""
    hl7 = needs_peer("hl7", "python-hl7")
    # A last segment of our own: python-hl7 strips the message's white space.
    message = hl7.parse(text + "ZZZ|end")
    records = []
    for segment in message[:-1]:
        if isinstance(segment, str):  # a line without a field separator
            records.append({"segment_name": segment})
            continue
        header = str(segment[0]) == "MSH"
        record = {"segment_name": str(segment[0])}
        if header and len(segment) == 3 and text.split("\r", 1)[0].count("|") == 2:
            record["2"] = ""  # python-hl7 gives no field for an empty one right after MSH-2
        for index, field in enumerate(segment[3:] if header else segment[1:], start=2 if header else 1):
            if isinstance(field[0], str):
                record[str(index)] = message.unescape(field[0])
                continue
            for number, repetition in enumerate(field):
                key = f"{index}[{number}]" if len(field) > 1 else str(index)
                if isinstance(repetition[0], str):
                    record[key] = message.unescape(repetition[0])
                else:
                    for place, component in enumerate(repetition, start=1):
                        assert len(component) == 1  # & is always escaped: no sub-components
                        record[f"{key}.{place}"] = message.unescape(str(component))
        records.append(record)
    return records


def but_msh_2(records: list[dict[str, str]]) -> list[dict[str, str]]:
    return [{k: v for k, v in r.items() if not (r["segment_name"] == "MSH" and k.startswith("1."))} for r in records]


@given(feeds())
def test_python_hl7_reads_the_same_values(feed):
    data, _, _ = feed
    for records in convert(data, True):
        codec = output_codec(records[0].get("17", "")) or "utf-8"
        assert python_hl7_records(encode_message(records).decode(codec)) == but_msh_2(records)


def tessarin(*args: str, stdin: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*COMMAND, *args], input=stdin, capture_output=True, cwd=ROOT, timeout=300)


def records_of(jsonl: bytes) -> list[object]:
    return [json.loads(line).get("records") for line in jsonl.splitlines()]


@needs_corpus
@pytest.mark.parametrize("convert_options, to_hl7_options", [([], []), (["--no-escaping"], ["--unescaped"])])
def test_the_corpus_reads_back_as_the_same_records(tmp_path, convert_options, to_hl7_options):
    first = tessarin("convert", *convert_options, "-o", str(tmp_path / "rows.jsonl"), str(CORPUS))
    assert first.returncode == 1  # the corpus holds malformed files on purpose
    rows = [r for r in records_of((tmp_path / "rows.jsonl").read_bytes()) if r is not None]
    written = tessarin("to-hl7", *to_hl7_options, "-o", str(tmp_path / "again.hl7"), str(tmp_path / "rows.jsonl"))
    assert b"messages written: %d" % len(rows) in written.stderr and len(rows) > 100
    again = tessarin("convert", *convert_options, str(tmp_path / "again.hl7"))
    assert again.returncode == 0, again.stderr[-500:]
    assert records_of(again.stdout) == rows
    if not convert_options:  # and python-hl7 reads the same values from what was written
        for message, records in zip(read_messages(tmp_path / "again.hl7"), rows, strict=True):
            assert python_hl7_records(message.text + "\r") == but_msh_2(records)  # type: ignore[arg-type]


def header(charset: str) -> str:
    return f"MSH|^~\\&|LAB|HOSP|EHR|HOSP|20240301||ORU^R01^ORU_R01|C1|P|2.5.1||||||{charset}"


def rows_file(path: pathlib.Path, *messages: tuple[str, str], **extra: object) -> pathlib.Path:
    """JSON Lines as convert writes them: one row per (MSH-18, PID-5) pair."""
    from tessarin import Hl7Json

    lines = []
    for number, (charset, name) in enumerate(messages):
        records = Hl7Json(f"{header(charset)}\rPID|1||42||{name}").hl7_json
        lines.append(json.dumps({"source": "s", "message": number, "offset": 0, **extra, "records": records}))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize(
    "charset, options, pid_5",
    [
        ("8859/1", [], b"M\xfcller^J\xf6rg"),  # Latin-1, not the Windows-1252 it is read as
        (" 8859/1 ", [], b"M\xfcller^J\xf6rg"),  # trimmed, as on reading
        ("8859/15", [], b"M\xfcller^J\xf6rg"),
        ("UNICODE UTF-8", [], "Müller^Jörg".encode()),
        ("", [], "Müller^Jörg".encode()),  # none declared: UTF-8
        ("X-KLINGON", [], "Müller^Jörg".encode()),  # unknown: UTF-8, as it is read
        ("8859/1", ["--encoding", "UTF-8"], "Müller^Jörg".encode()),
        ("", ["--encoding", "8859/1"], b"M\xfcller^J\xf6rg"),
        ("", ["--encoding", "cp850"], b"M\x81ller^J\x94rg"),
        ("8859/1", ["--escape-all"], b"M\xfcller^J\xf6rg"),
        ("8859/1", ["--unescaped"], b"M\xfcller^J\xf6rg"),
    ],
)
def test_each_message_in_the_charset_its_header_declares_or_the_forced_one(tmp_path, charset, options, pid_5):
    rows = rows_file(tmp_path / "rows.jsonl", (charset, "Müller^Jörg"))
    done = tessarin("to-hl7", *options, "-o", str(tmp_path / "out.hl7"), str(rows))
    assert done.returncode == 0, done.stderr
    assert b"\rPID|1||42||" + pid_5 + b"\r" in (tmp_path / "out.hl7").read_bytes()
    if not options:  # read back by the same table
        again = tessarin("convert", str(tmp_path / "out.hl7"))
        assert records_of(again.stdout) == records_of(rows.read_bytes())


@pytest.mark.parametrize(
    "options, written, reason",
    [
        ([], [1, 2], "U+2019 '’' in segment 2 (PID) cannot be written in 8859/1 (declared in MSH-18)"),
        (["--encoding", "ascii"], [], "U+2019 '’' in segment 2 (PID) cannot be written in ascii (the forced encoding)"),
        (
            ["--escape-all", "--line-end", "crlf"],
            [1, 2],
            "U+2019 '’' in segment 2 (PID) cannot be written in 8859/1 (declared in MSH-18)",
        ),
    ],
)
def test_a_character_the_charset_cannot_hold_fails_that_message_alone(tmp_path, options, written, reason):
    rows = rows_file(tmp_path / "rows.jsonl", ("8859/1", "O’Brien"), ("8859/1", "Renée"), ("", "O’Brien"))
    done = tessarin("to-hl7", *options, str(rows))
    assert done.returncode == 1
    names = [chunk.split(b"|42||")[1].split(b"\r")[0] for chunk in done.stdout.split(b"MSH|")[1:]]
    assert names == [[b"", b"Ren\xe9e", "O’Brien".encode()][n] for n in written]
    problems = [line for line in done.stderr.decode().splitlines() if line.startswith("tessarin: ")]
    assert problems[0] == f"tessarin: s: message 0: {reason}"
    assert len(problems) == 3 - len(written)
    assert f"failed messages: {3 - len(written)}" in done.stderr.decode()
