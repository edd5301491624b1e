"""Shared helpers and small pure-Python reference models of the converter's rules.

The models are written from the rules, not from the C++ code, and serve as
oracles for the property tests: line-end normalisation, escape and unescape,
segment parsing and rendering, and assembly from segment records (with the
index bound and the segment-name check).
Test modules import them with ``from conftest import ...``.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import re

import pytest
from hypothesis import HealthCheck, settings

import tessarin  # noqa: F401  (fail early and clearly when the module is missing)

CORPUS_DIR = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus" / "hl7"

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
# replace_eof

def replace_eof(text: str) -> str:
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def byte_key(key: str) -> bytes:
    return key.encode("utf-8")


def byte_sorted(record: dict) -> dict:
    return dict(sorted(record.items(), key=lambda kv: byte_key(kv[0])))


# ---------------------------------------------------------------------------
# Escape handler

ESCAPE_TABLE = {
    "F": "|",
    "S": "^",
    "R": "~",
    "E": "\\",
    "T": "&",
    "X0A": "\n",
    "X0D": "\r",
    "X0D0A": "\r\n",
    "X20": " ",
    "X09": "\t",
}

# Python's str.isalnum() misses the characters that are Alphabetic only through
# Other_Alphabetic (combining vowel signs, circled letters, ...).  The property
# tests draw from a fixed alphabet; these are the ones of it that need help.
OTHER_ALPHABETIC = frozenset("\u093e\u0345\u24b6")


def is_alnum(c: str) -> bool:
    return c.isalnum() or c in OTHER_ALPHABETIC


def py_escape(text: str) -> str:
    out = []
    for c in text:
        if c == "|":
            out.append("\\F\\")
        elif c == "^":
            out.append("\\S\\")
        elif c == "~":
            out.append("\\R\\")
        elif c == "&":
            out.append("\\T\\")
        elif c == "\\":
            out.append("\\\\")
        elif c == "\t":
            out.append("\\X09\\")
        elif c == "\n":
            out.append("\\X0A\\")
        elif c == "\r":
            out.append("\\X0D\\")
        elif c == " ":
            out.append("\\X20\\")
        else:
            out.append(c)
    return "".join(out)


def py_unescape(text: str) -> str:
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        i += 1
        if c != "\\":
            out.append(c)
            continue
        if i >= n:
            out.append("\\")
            break
        nxt = text[i]
        i += 1
        if nxt == "\\":
            out.append("\\")
            continue
        body = [nxt]
        terminator = None
        while i < n:
            ch = text[i]
            i += 1
            if is_alnum(ch):
                body.append(ch)
            else:
                terminator = ch
                break
        b = "".join(body)
        out.append(ESCAPE_TABLE[b] if b in ESCAPE_TABLE else "\\" + b)
        if terminator is None:
            break
        if terminator != "\\":
            out.append(terminator)
    return "".join(out)


# ---------------------------------------------------------------------------
# Segment parsing and rendering

GUARD = "^~\\&"


def _field_entries(n: int, text: str, escaping: bool) -> list[tuple[str, str]]:
    entries = []
    if "~" in text and GUARD not in text:
        for r, piece in enumerate(text.split("~")):
            value = py_unescape(piece) if escaping else piece
            if "^" in value:
                for c, comp in enumerate(value.split("^"), 1):
                    entries.append((f"{n}[{r}].{c}", comp))
            else:
                entries.append((f"{n}[{r}]", value))
        return entries
    if escaping:
        value = py_unescape(text)
        cut = "^" in value
    else:
        value = text
        cut = "^" in text and GUARD not in text
    if cut:
        for c, comp in enumerate(value.split("^"), 1):
            entries.append((f"{n}.{c}", comp))
    else:
        entries.append((str(n), value))
    return entries


def py_split_segment(line: str, escaping: bool = False) -> dict:
    """The segment record of one line, keys in byte-wise order."""
    pieces = line.split("|")
    record = {"segment_name": pieces[0]}
    for n, piece in enumerate(pieces[1:], 1):
        record.update(_field_entries(n, piece, escaping))
    return byte_sorted(record)


def py_hl7_json(text: str, escaping: bool = True) -> list[dict]:
    return [py_split_segment(line, escaping) for line in replace_eof(text).split("\n")]


# ---------------------------------------------------------------------------
# Assembly (with the index bound and the segment-name check)

MAX_INDEX = 65535


class ModelEncodingError(Exception):
    pass


def parse_index(text: str):
    if text.startswith("+"):
        text = text[1:]
    if not text or any(c not in "0123456789" for c in text):
        return None
    value = int(text)
    return value if value < 2**64 else None


def place_of_key(key: str):
    if key == "segment_name":
        return None
    n = parse_index(key)
    if n is not None:
        return (n, 0, 0)
    if "[" in key and "]" in key:
        left, right = key.index("["), key.index("]")
        if right < left:
            return None
        n, r = parse_index(key[:left]), parse_index(key[left + 1:right])
        if n is None or r is None:
            return None
        if right + 1 == len(key) or key[right + 1] != ".":
            return (n, r, 0)
        c = parse_index(key[right + 2:])
        return None if c is None else (n, r, c)
    if "." in key:
        parts = key.split(".")
        if len(parts) != 2:
            return None
        n, c = parse_index(parts[0]), parse_index(parts[1])
        if n is None or c is None:
            return None
        return (n, 0, c)
    return None


def py_assemble_record(record: dict, escape: bool) -> str:
    parts = []
    if "segment_name" in record:
        name = record["segment_name"]
        if escape and any(ch in name for ch in "|\r\n"):
            raise ModelEncodingError(f"segment name '{name}' contains a separator or line break")
        parts.append(name)
    tree: dict = {}
    for key in sorted(record, key=byte_key):
        place = place_of_key(key)
        if place is None:
            continue
        for index in place:
            if index > MAX_INDEX:
                raise ModelEncodingError(f"index {index} in key '{key}' exceeds the limit of {MAX_INDEX}")
        text = py_escape(record[key]) if escape else record[key]
        n, r, c = place
        tree.setdefault(n, {}).setdefault(r, {})[c] = text
    if tree and max(tree) > 0:
        for n in range(1, max(tree) + 1):
            if n not in tree:
                parts.append("")
                continue
            reps = tree[n]
            texts = []
            for r in range(0, max(reps) + 1):
                if r not in reps:
                    texts.append("")
                    continue
                comps = reps[r]
                top = max(comps)
                if top >= 1:
                    texts.append("^".join(comps.get(c, "") for c in range(1, top + 1)))
                else:
                    texts.append(comps[0])
            parts.append("~".join(texts))
    return "|".join(parts)


def py_assemble(records, escape: bool) -> str:
    return "\n".join(py_assemble_record(r, escape) for r in records)


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
