"""Feed files for tests, built from the corpus: one file per kind of real feed.

`build_fixtures(folder)` writes them and returns their paths by kind;
`expected()` says what reading each one must give.
"""

from __future__ import annotations

import gzip
import pathlib
from dataclasses import dataclass, field

from conftest import CORPUS_DIR

# Single messages with the default separators, valid UTF-8; the last has non-ASCII letters.
SAMPLE_FILES = (
    "hapi-hl7v2__v24_adt_a01_docs_example.hl7",
    "python-hl7__v24_oru_r01_glucose_hl7_normative_sample.hl7",
    "hapi-hl7v2__v25_oml_o21_utf8_accented_name.hl7",
)
NON_DEFAULT_SEPARATORS_FILE = "python-hl7__nonstandard_separators_dollar_percent.hl7"

BOM = b"\xef\xbb\xbf"

KINDS = ("batch", "mllp", "bom", "crlf", "latin1", "gzip", "junk", "truncated", "separators")


@dataclass(frozen=True)
class Expected:
    """What reading a fixture gives: its messages' texts (None for a message
    with an error) and how many notices of each kind."""

    texts: list[str | None]
    notices: dict[str, int] = field(default_factory=dict)


def corpus_available() -> bool:
    return CORPUS_DIR.is_dir()


def sample_messages() -> list[bytes]:
    """The sample messages, CR between segments, without a final line end."""
    return [(CORPUS_DIR / name).read_bytes().rstrip(b"\r\n") for name in SAMPLE_FILES]


def with_msh18(message: bytes, charset: bytes) -> bytes:
    """The message with MSH-18 (the character set) set to `charset`."""
    header, _, rest = message.partition(b"\r")
    fields = header.split(b"|")
    fields += [b""] * (18 - len(fields))
    fields[17] = charset
    return b"|".join(fields) + b"\r" + rest


def mllp_frame(message: bytes) -> bytes:
    return b"\x0b" + message + b"\r\x1c\r"


def build_fixtures(folder: pathlib.Path) -> dict[str, pathlib.Path]:
    """Write one feed file per kind (KINDS) into `folder`; returns their paths by kind."""
    messages = sample_messages()
    accented = messages[-1]
    batch = (
        b"FHS|^~\\&|LAB|CITYHOSP|||20240302101500||feed-1.hl7\r"
        b"BHS|^~\\&|LAB|CITYHOSP|||20240302101500\r" + b"\r".join(messages) + b"\rBTS|%d\rFTS|1\r" % len(messages)
    )
    contents = {
        "batch": batch,
        "mllp": b"".join(mllp_frame(message) for message in messages),
        "bom": BOM + messages[0] + b"\r",
        "crlf": b"\r\n".join(message.replace(b"\r", b"\r\n") for message in messages) + b"\r\n",
        "latin1": with_msh18(accented, b"8859/1").decode("utf-8").encode("latin-1"),
        # gzip is known by its magic bytes, not by a name ending in .gz
        "gzip": gzip.compress(b"\r\n".join(messages)),
        "junk": b"exported by ACME interface engine 4.2\r\n\r\n" + b"\r".join(messages),
        "truncated": b"".join(mllp_frame(message) for message in messages[:-1]) + b"\x0b" + accented[:200],
        "separators": messages[0] + b"\r" + (CORPUS_DIR / NON_DEFAULT_SEPARATORS_FILE).read_bytes(),
    }
    folder.mkdir(parents=True, exist_ok=True)
    paths = {}
    for kind, content in contents.items():
        path = folder / f"{kind}.hl7"
        path.write_bytes(content)
        paths[kind] = path
    return paths


def expected() -> dict[str, Expected]:
    """What reading each fixture of build_fixtures must give."""
    texts = [message.decode("utf-8") for message in sample_messages()]
    latin1 = with_msh18(sample_messages()[-1], b"8859/1").decode("utf-8")
    return {
        "batch": Expected(texts, {"envelope segment": 4}),
        "mllp": Expected(texts),
        "bom": Expected(texts[:1]),
        "crlf": Expected([text.replace("\r", "\r\n") for text in texts]),
        "latin1": Expected([latin1]),
        "gzip": Expected(texts),
        "junk": Expected(texts, {"stray fragment": 1}),
        "truncated": Expected([*texts[:-1], texts[-1].encode("utf-8")[:200].decode("utf-8")], {"truncated frame": 1}),
        "separators": Expected([texts[0], None]),
    }
