"""Shared helpers: exception checks, the validator's texts, file writing, and
the integration group.

The plain-Python model of the converter's rules, the oracle of the property
tests, is bench/reference.py, which the benchmark shares; test modules import
it as ``from bench import reference``. Helpers here are imported with
``from conftest import ...``.
"""

from __future__ import annotations

import contextlib
import importlib.util
import os
import pathlib
import re

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import tessarin  # noqa: F401  (fail early and clearly when the module is missing)

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORPUS_DIR = ROOT.parent / "shared" / "corpus" / "hl7"


def needs_corpus(test):
    """Marks `test` as integration; it skips, naming the folder, when the sample messages are missing."""
    missing = pytest.mark.skipif(not CORPUS_DIR.is_dir(), reason=f"the sample messages are not at {CORPUS_DIR}")
    return pytest.mark.integration(missing(test))


# The tessarin command needs orjson, which has no wheel for every interpreter
# (free-threaded 3.13 has none); its tests skip there, saying so.
needs_command = pytest.mark.skipif(
    importlib.util.find_spec("orjson") is None,
    reason="the tessarin command needs orjson, not installed for this interpreter",
)


def needs_peer(module: str, package: str):
    """Imports a peer package for an integration test, or skips saying what to install."""
    return pytest.importorskip(module, reason=f"the peer package {package} is not installed (the bench extra has it)")


settings.register_profile(
    "tessarin",
    deadline=None,
    max_examples=100,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.load_profile(os.environ.get("TESSARIN_HYPOTHESIS_PROFILE", "tessarin"))


# ---------------------------------------------------------------------------
# Exceptions


@contextlib.contextmanager
def raises_plain(text: str):
    """Expect the built-in ``Exception`` itself (no subclass) with ``text`` as its only argument."""
    with pytest.raises(Exception) as info:
        yield info
    assert type(info.value) is Exception, f"expected Exception itself, got {type(info.value)!r}: {info.value}"
    assert info.value.args == (text,)
    assert str(info.value) == text


@contextlib.contextmanager
def raises_type_error(text: str, note: str | None = None):
    """Expect ``TypeError`` with exactly ``text`` and, when given, exactly the one note ``note``."""
    with pytest.raises(TypeError) as info:
        yield info
    assert type(info.value) is TypeError
    assert str(info.value) == text
    if note is not None:
        assert getattr(info.value, "__notes__", None) == [f"while processing '{note}'"]


# ---------------------------------------------------------------------------
# Validation texts and file texts

SUPPORTED = "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9"

VALIDATION_PATTERNS = [
    r"HL7 validation error: Message contains no segments",
    r"Missing required segment: MSH \(Message Header\)",
    r"HL7 validation failed: MSH segment must have at least 12 fields",
    r"HL7 validation failed: Field separators \(field 1\) are required",
    r"Invalid field separators: .* \(must be exactly 4 characters\)",
    r"HL7 validation failed: HL7 version \(field 12\) is required",
    r"HL7 version not supported: .* \(supported versions: " + re.escape(SUPPORTED) + r"\)",
    r"HL7 validation failed: Message type \(field 8\) is required",
    r"HL7 validation failed: Message type \(field 8\) must have at least 3 components: event\^structure\^version",
    r"Missing required segment: PID \(Patient Identification\)",
    r"HL7 validation failed: Segment [1-9][0-9]* has empty segment name",
    r"Invalid segment name: .* \(must be exactly 3 alphabetic characters\)",
    r"Field value exceeds maximum length: [0-9]+ > 65536 characters",
    r"Component value exceeds maximum length: [0-9]+ > 65536 characters",
]


def is_validation_text(text: str) -> bool:
    return any(re.fullmatch(p, text, re.DOTALL) for p in VALIDATION_PATTERNS)


@pytest.fixture
def write_file(tmp_path):
    """Write bytes or text (UTF-8, no newline translation) to a fresh file and return its path as str."""
    counter = iter(range(10**9))

    def write(content, name: str | None = None) -> str:
        path = tmp_path / (name or f"file{next(counter)}")
        if isinstance(content, str):
            content = content.encode("utf-8")
        path.write_bytes(content)
        return str(path)

    return write


# A worked example: two records, with the texts they assemble to.
WORKED = [
    {"segment_name": "MSH", "1": "^~\\&", "2": "LAB", "5.1": "ADT", "5.2": "A01"},
    {
        "segment_name": "PID",
        "3[0].1": "123",
        "3[0].4": "HOSP",
        "3[1]": "456",
        "5.1": "Doe",
        "5.2": "John Q",
        "7": "R&D",
    },
]
WORKED_UNESCAPED = "MSH|^~\\&|LAB|||ADT^A01\nPID|||123^^^HOSP~456||Doe^John Q||R&D"
WORKED_ESCAPED = "MSH|\\S\\\\R\\\\\\\\T\\|LAB|||ADT^A01\nPID|||123^^^HOSP~456||Doe^John\\X20\\Q||R\\T\\D"

# Record keys that name no place: JsonHl7 skips each of them.
MALFORMED_KEYS = [
    "",
    "-1",
    " 1",
    "1 ",
    "1.",
    ".1",
    "1.2.3",
    "1[",
    "1]",
    "1[x]",
    "x[0]",
    "1[0].",
    "1[0].x",
    "]1[",
    "Segment_Name",
    "SEGMENT_NAME",
    "segment_name ",
    "+",
    "++1",
    "1+",
    "+-1",
    "1e3",
    "0x1",
    "1_000",
    "١",
    "²",
    "１",
    "1[0].1.2",
    "[0]",
    "1[]",
    "1[0].-1",
    "1..2",
    "a.1",
    "1.a",
    "1]0[",
    "1\x00",
    "\x001",
    "1.\x00",
    "é",
    "1[-0]",
    "18446744073709551616",
    "99999999999999999999999",
    "1[18446744073709551616]",
    "1.18446744073709551616",
    "18446744073709551616[0].1",
]

# Pieces that generated message texts are glued from: separators, line ends,
# escape sequences, header starts, and bytes that JSON must escape.
HL7_PIECES = [
    "|", "^", "~", "\\", "&", "\r", "\n", "\r\n", "\n\r", "MSH|^~\\&|", "MSH\u20ac", "PID", "OBX", "A", "12", " ",
    '"', "\x00", "\x1f", "\x7f", "\t", "\u00e9", "\U0001f600", "\\T\\", "\\X0D0A\\", "\\E\\", "|2.5", "|ADT^A01",
    "0123456789abcdef",
]  # fmt: skip


def hl7_like_texts(max_size: int = 60) -> st.SearchStrategy[str]:
    """Texts of HL7_PIECES and short arbitrary text, glued together."""
    return st.lists(st.one_of(st.sampled_from(HL7_PIECES), st.text(max_size=4)), max_size=max_size).map("".join)
