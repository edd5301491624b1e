"""replace_eof and line cutting."""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

from bench import reference
from tessarin import Hl7Json


@pytest.mark.parametrize(
    "text, stored",
    [
        ("A\r\nB", "A\nB"),
        ("A\n\rB", "A\nB"),
        ("A\rB", "A\nB"),
        ("A\nB", "A\nB"),
        ("A\r\n\rB", "A\nB"),
        ("A\r\r\nB", "A\n\nB"),
        ("A\n\r\nB", "A\n\nB"),
        ("A\n\r\rB", "A\n\nB"),
        ("\r\r", "\n\n"),
        ("\r", "\n"),
        ("\n\r", "\n"),
        ("\r\n\r\n", "\n\n"),
        ("\n\r\n\r", "\n\n"),
        ("\r\n\r", "\n"),
        ("\n\n\r\r", "\n\n\n"),
        ("", ""),
        ("no line end", "no line end"),
        # nothing else is a line end, nothing is trimmed
        ("A\x0bB\x0cC\x1cD\x85E\u2028F\u2029G", "A\x0bB\x0cC\x1cD\x85E\u2028F\u2029G"),
        ("  MSH|x  \t", "  MSH|x  \t"),
        ("é\rü\r\nß", "é\nü\nß"),
        ("\x00\r\x00", "\x00\n\x00"),
    ],
)
def test_replace_eof(text, stored):
    assert reference.replace_eof(text) == stored
    h = Hl7Json(text)
    assert h.hl7_string == stored
    assert "\r" not in h.hl7_string
    records = h.hl7_json
    assert len(records) == stored.count("\n") + 1
    assert [r["segment_name"] for r in records] == [line.split("|")[0] for line in stored.split("\n")]


def test_other_unicode_line_breaks_do_not_cut_lines():
    records = Hl7Json("A|1\u2028B|2\x85C|3\x0bD").hl7_json
    assert records == [{"1": "1\u2028B", "2": "2\x85C", "3": "3\x0bD", "segment_name": "A"}]


def test_trailing_terminator_gives_empty_last_record():
    for end in ("\r", "\n", "\r\n", "\n\r"):
        records = Hl7Json("MSH|a" + end).hl7_json
        assert records == [{"1": "a", "segment_name": "MSH"}, {"segment_name": ""}]
    assert Hl7Json("A\n\n").hl7_json == [{"segment_name": "A"}, {"segment_name": ""}, {"segment_name": ""}]
    assert Hl7Json("").hl7_json == [{"segment_name": ""}]


def test_unescaped_line_breaks_stay_inside_values():
    # line ends are normalised before parsing; escape sequences are undone afterwards
    h = Hl7Json("Z|a\\X0D\\b|c\\X0D0A\\d\\X0A\\")
    assert h.hl7_json == [{"1": "a\rb", "2": "c\r\nd\n", "segment_name": "Z"}]
    assert h.hl7_string == "Z|a\\X0D\\b|c\\X0D0A\\d\\X0A\\"


def test_options_do_not_affect_the_stored_text():
    text = "MSH|^~\\&|a b\r\n\rPID|\\T\\"
    for opts in [(False, False, False), (True, True, True), (None, None, None)]:
        assert Hl7Json(text, *opts).hl7_string == "MSH|^~\\&|a b\nPID|\\T\\"


@given(st.lists(st.sampled_from(["A", "|", "\r", "\n", "é", " ", "\r\n", "\n\r"]), max_size=30).map("".join))
def test_replace_eof_property(text):
    stored = reference.replace_eof(text)
    h = Hl7Json(text)
    assert h.hl7_string == stored
    assert len(h.hl7_json) == stored.count("\n") + 1
