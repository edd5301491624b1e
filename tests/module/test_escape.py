"""The escape handler, seen through the public API.

unescape: ``Hl7Json._split_hl7_seg_to_json_with_escaping("ZZZ|" + raw)``; the
field comes back whole (key "1") or, when the unescaped text holds "^", as
components that join back with "^".
escape: ``JsonHl7([{"1": text}]).hl7_string`` (a record without a name yields
field 1 alone).
"""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

from bench import reference
from tessarin import Hl7Json, JsonHl7

_H = Hl7Json("")


def unescape(raw: str) -> str:
    """The unescaped text of a field whose raw text holds neither "|" nor "~"."""
    assert "|" not in raw and "~" not in raw
    record = _H._split_hl7_seg_to_json_with_escaping("ZZZ|" + raw)
    assert record.pop("segment_name") == "ZZZ"
    if list(record) == ["1"]:
        return record["1"]
    components = sorted(record.items(), key=lambda kv: int(kv[0].split(".")[1]))
    assert [k for k, _ in components] == [f"1.{i}" for i in range(1, len(components) + 1)]
    assert len(components) >= 2
    return "^".join(v for _, v in components)


def escape(text: str) -> str:
    return JsonHl7([{"1": text}]).hl7_string


# ---------------------------------------------------------------------------
# Worked examples


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Smith^John", "Smith\\S\\John"),
        ("A|B~C&D", "A\\F\\B\\R\\C\\T\\D"),
        ("C:\\temp", "C:\\\\temp"),
        ("John Smith", "John\\X20\\Smith"),
        ("", ""),
        ("\t", "\\X09\\"),
        ("\n", "\\X0A\\"),
        ("\r", "\\X0D\\"),
        ("\r\n", "\\X0D\\\\X0A\\"),
        ("\\", "\\\\"),
        ("\\E\\", "\\\\E\\\\"),
        ("^~\\&", "\\S\\\\R\\\\\\\\T\\"),
        # other control characters and non-ASCII text pass unchanged
        ("\x00\x01\x0b\x0c\x1f\x7f", "\x00\x01\x0b\x0c\x1f\x7f"),
        ("\u00a0\u2028\u3000\x85", "\u00a0\u2028\u3000\x85"),
        ("é€中😀", "é€中😀"),
        ("a\u00a0b c", "a\u00a0b\\X20\\c"),
    ],
)
def test_escape_examples(text, expected):
    assert escape(text) == expected
    assert reference.escape(text) == expected


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("Smith\\S\\John", "Smith^John"),
        ("a\\E\\b", "a\\b"),
        ("a\\\\b", "a\\b"),
        ("\\X0D0A\\", "\r\n"),
        ("\\X0D\\\\X0A\\", "\r\n"),
        ("\\H\\bold\\N\\", "\\Hbold\\N"),
        ("\\.br\\", "\\.br"),
        ("\\F-x", "|-x"),
        ("\\x0a\\", "\\x0a"),
        ("abc\\", "abc\\"),
        ("", ""),
        ("\\", "\\"),
        ("\\\\", "\\"),
        ("\\\\\\", "\\\\"),
        ("\\X0D\\X0A\\", "\rX0A\\"),
        ("\\Z\\", "\\Z"),
        ("\\F", "|"),
        ("\\X41\\", "\\X41"),
        ("\\Fé\\", "\\Fé"),
        ("\\T\\", "&"),
        ("\\R\\", "~"),
        ("\\X20\\", " "),
        ("\\X09\\", "\t"),
        ("\\X0A\\", "\n"),
        ("\\X0D\\", "\r"),
        ("\\F\\\\S\\", "|^"),
        ("\\F\\S\\", "|S\\"),
        ("\\f\\", "\\f"),
        ("\\FF\\", "\\FF"),
        ("\\X0a\\", "\\X0a"),
        ("\\X0D0\\", "\\X0D0"),
        ("\\F x", "| x"),
        ("\\F\tx", "|\tx"),
        ("\\F\x00x", "|\x00x"),
        ("\\\x00", "\\\x00"),
        ("\\é", "\\é"),
        ("\\ ", "\\ "),
        ("\\ \\", "\\ "),
        ("\\-\\", "\\-"),
        ("\\F&", "|&"),
        ("\\S\\X20\\", "^X20\\"),
        ("\\S\\\\X20\\", "^ "),
        # Unicode alphanumerics continue a body, other characters end it
        ("\\F\u0663\\", "\\F\u0663"),  # ARABIC-INDIC DIGIT THREE (Nd)
        ("\\F\u00b2\\", "\\F\u00b2"),  # SUPERSCRIPT TWO (No)
        ("\\F\u2160\\", "\\F\u2160"),  # ROMAN NUMERAL ONE (Nl)
        ("\\F\u00aa\\", "\\F\u00aa"),  # FEMININE ORDINAL INDICATOR (Lo)
        ("\\F\u02b0\\", "\\F\u02b0"),  # MODIFIER LETTER SMALL H (Lm)
        ("\\F中\\", "\\F中"),
        ("\\F\U0001d7ce\\", "\\F\U0001d7ce"),  # MATHEMATICAL BOLD DIGIT ZERO (Nd, astral)
        ("\\F\u093e\\", "\\F\u093e"),  # DEVANAGARI VOWEL SIGN AA: Alphabetic (Other_Alphabetic, Mc)
        ("\\F\u0345\\", "\\F\u0345"),  # COMBINING GREEK YPOGEGRAMMENI: Alphabetic (Mn)
        ("\\F\u24b6\\", "\\F\u24b6"),  # CIRCLED LATIN CAPITAL LETTER A: Alphabetic (So)
        ("\\F\u0301x", "|\u0301x"),  # COMBINING ACUTE ACCENT: not alphanumeric
        ("\\F\u20ac", "|\u20ac"),  # EURO SIGN
        ("\\F\u00a0", "|\u00a0"),  # NO-BREAK SPACE
        ("\\F_x", "|_x"),
        ("\\F😀", "|😀"),
        ("\\F\ufeff", "|\ufeff"),
    ],
)
def test_unescape_examples(raw, expected):
    assert reference.unescape(raw) == expected
    assert unescape(raw) == expected


def test_escape_ignores_the_table_and_never_writes_x0d0a():
    assert "X0D0A" not in escape("\r\n" * 3)
    assert escape("\r\n\r\n") == "\\X0D\\\\X0A\\" * 2


@pytest.mark.parametrize(
    "raw, components",
    [
        ("Doe^John^A", ["Doe", "John", "A"]),
        ("Doe\\S\\John", ["Doe", "John"]),
        ("^", ["", ""]),
        ("\\S\\", ["", ""]),
        ("A\\S\\\\S\\B", ["A", "", "B"]),
        ("A^B\\S\\C", ["A", "B", "C"]),
        ("\\F\\^\\T\\", ["|", "&"]),
    ],
)
def test_parse_field_with_escaping(raw, components):
    record = _H._split_hl7_seg_to_json_with_escaping("ZZZ|" + raw)
    expected = {f"1.{i}": c for i, c in enumerate(components, 1)}
    expected["segment_name"] = "ZZZ"
    assert record == expected


def test_empty_field_with_handler_is_one_empty_value():
    assert _H._split_hl7_seg_to_json_with_escaping("ZZZ|") == {"1": "", "segment_name": "ZZZ"}


def test_escaped_repetition_separator_never_cuts_repetitions():
    assert _H._split_hl7_seg_to_json_with_escaping("ZZZ|A\\R\\B") == {"1": "A~B", "segment_name": "ZZZ"}


def test_unescape_is_not_idempotent_reverse():
    # "\E\" unescapes to one backslash, which escapes to two backslashes.
    assert unescape("\\E\\") == "\\"
    assert escape(unescape("\\E\\")) == "\\\\"


# ---------------------------------------------------------------------------
# Property tests against the reference model

# A fixed alphabet (so the Unicode version of the interpreter does not matter):
# the characters that matter to the handler, ASCII letters and digits, and
# non-ASCII characters on both sides of the alphanumeric line.
SPECIAL = list("|^~\\&\t\n\r ")
ASCII = list("AaFSRETXZx0123456789.-_/#")
NON_ASCII = [
    "é",
    "ß",
    "Ω",
    "Ж",
    "中",
    "\u0663",
    "\u00b2",
    "\u2160",
    "\u00aa",
    "\u02b0",
    "\U0001d7ce",
    "\u093e",
    "\u0345",
    "\u24b6",  # Alphabetic through Other_Alphabetic
    "€",
    "—",
    "«",
    "\u00a0",
    "\u0301",
    "😀",
    "\u2028",
    "\ufeff",
    "\x00",
    "\x01",
    "\x7f",
    "\x85",
]
TOKENS = [
    "\\F\\",
    "\\S\\",
    "\\R\\",
    "\\E\\",
    "\\T\\",
    "\\X0A\\",
    "\\X0D\\",
    "\\X0D0A\\",
    "\\X20\\",
    "\\X09\\",
    "\\X41\\",
    "\\H\\",
    "\\.br\\",
    "\\\\",
    "\\",
    "X0D",
    "X0A",
]
ALPHABET = SPECIAL + ASCII + NON_ASCII

any_text = st.lists(st.sampled_from(ALPHABET), max_size=40).map("".join)
escaped_like = st.lists(st.sampled_from(ALPHABET + TOKENS), max_size=30).map("".join)
raw_field = escaped_like.map(lambda s: s.replace("|", "").replace("~", ""))


@given(any_text)
def test_escape_matches_model(text):
    assert escape(text) == reference.escape(text)


@given(raw_field)
def test_unescape_matches_model(raw):
    assert unescape(raw) == reference.unescape(raw)


@given(any_text)
def test_unescape_of_escape_is_identity(text):
    assert reference.unescape(reference.escape(text)) == text
    escaped = escape(text)
    assert "|" not in escaped and "~" not in escaped and "^" not in escaped
    assert unescape(escaped) == text


@given(escaped_like)
def test_escape_leaves_no_separator_or_line_break(text):
    escaped = escape(text)
    for ch in "|^~&\r\n\t ":
        assert ch not in escaped
