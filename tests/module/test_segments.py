"""Segment model: key scheme, key order, guard text, and a whole message converted."""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

from bench import reference
from tessarin import Hl7Json

_H = Hl7Json("")


def plain(line: str) -> dict:
    return _H._split_hl7_seg_to_json(line)


def escaped(line: str) -> dict:
    return _H._split_hl7_seg_to_json_with_escaping(line)


def items(d: dict) -> list:
    return list(d.items())


# ---------------------------------------------------------------------------
# Worked examples


def test_worked_example_without_handler():
    line = "PID|1||12345^^^HOSP^MR~67890||DOE^JOHN||19800101|M|||MAIN ST&5^^TOWN|"
    expected = [
        ("1", "1"),
        ("10", ""),
        ("11.1", "MAIN ST&5"),
        ("11.2", ""),
        ("11.3", "TOWN"),
        ("12", ""),
        ("2", ""),
        ("3[0].1", "12345"),
        ("3[0].2", ""),
        ("3[0].3", ""),
        ("3[0].4", "HOSP"),
        ("3[0].5", "MR"),
        ("3[1]", "67890"),
        ("4", ""),
        ("5.1", "DOE"),
        ("5.2", "JOHN"),
        ("6", ""),
        ("7", "19800101"),
        ("8", "M"),
        ("9", ""),
        ("segment_name", "PID"),
    ]
    assert items(plain(line)) == expected
    assert items(Hl7Json(line, escaping_enabled=False).hl7_json[0]) == expected


def test_worked_example_of_the_two_paths():
    line = "NTE|1||Smith \\T\\ Co~A\\S\\B^C"
    assert items(plain(line)) == [
        ("1", "1"),
        ("2", ""),
        ("3[0]", "Smith \\T\\ Co"),
        ("3[1].1", "A\\S\\B"),
        ("3[1].2", "C"),
        ("segment_name", "NTE"),
    ]
    assert items(escaped(line)) == [
        ("1", "1"),
        ("2", ""),
        ("3[0]", "Smith & Co"),
        ("3[1].1", "A"),
        ("3[1].2", "B"),
        ("3[1].3", "C"),
        ("segment_name", "NTE"),
    ]


def test_msh_line_both_paths():
    line = "MSH|^~\\&|APP|FAC"
    assert items(plain(line)) == [("1", "^~\\&"), ("2", "APP"), ("3", "FAC"), ("segment_name", "MSH")]
    assert items(escaped(line)) == [("1.1", ""), ("1.2", "~\\&"), ("2", "APP"), ("3", "FAC"), ("segment_name", "MSH")]


def test_worked_example_of_hl7json():
    h = Hl7Json("MSH|^~\\&|APP|FAC\r\nPID|1||12345^^^HOSP^MR\r\n")
    assert h.hl7_string == "MSH|^~\\&|APP|FAC\nPID|1||12345^^^HOSP^MR\n"
    assert (h.validation_enabled, h.strict_validation, h.escaping_enabled) == (False, False, True)
    records = h.hl7_json
    assert [items(r) for r in records] == [
        [("1.1", ""), ("1.2", "~\\&"), ("2", "APP"), ("3", "FAC"), ("segment_name", "MSH")],
        [
            ("1", "1"),
            ("2", ""),
            ("3.1", "12345"),
            ("3.2", ""),
            ("3.3", ""),
            ("3.4", "HOSP"),
            ("3.5", "MR"),
            ("segment_name", "PID"),
        ],
        [("segment_name", "")],
    ]
    assert h._convert_hl7_to_json() == records
    h.escaping_enabled = False
    after = h.hl7_json
    assert items(after[0]) == [("1", "^~\\&"), ("2", "APP"), ("3", "FAC"), ("segment_name", "MSH")]
    assert after[1:] == records[1:]
    h.escaping_enabled = True
    assert h.hl7_json == records


# ---------------------------------------------------------------------------
# Edge cases of segment parsing


@pytest.mark.parametrize(
    "line, expected",
    [
        ("", [("segment_name", "")]),
        ("EVN", [("segment_name", "EVN")]),
        ("EVN|", [("1", ""), ("segment_name", "EVN")]),
        ("|a", [("1", "a"), ("segment_name", "")]),
        ("|", [("1", ""), ("segment_name", "")]),
        ("PID||||", [("1", ""), ("2", ""), ("3", ""), ("4", ""), ("segment_name", "PID")]),
        ("PID|a|", [("1", "a"), ("2", ""), ("segment_name", "PID")]),
        ("PID|a \r", [("1", "a \r"), ("segment_name", "PID")]),
        ("PID \r", [("segment_name", "PID \r")]),
        (" pid |x", [("1", "x"), ("segment_name", " pid ")]),
        ("Z|A^^B", [("1.1", "A"), ("1.2", ""), ("1.3", "B"), ("segment_name", "Z")]),
        ("Z|^", [("1.1", ""), ("1.2", ""), ("segment_name", "Z")]),
        ("Z|~", [("1[0]", ""), ("1[1]", ""), ("segment_name", "Z")]),
        ("Z|A~", [("1[0]", "A"), ("1[1]", ""), ("segment_name", "Z")]),
        ("Z|~A", [("1[0]", ""), ("1[1]", "A"), ("segment_name", "Z")]),
        ("Z|A^B~C", [("1[0].1", "A"), ("1[0].2", "B"), ("1[1]", "C"), ("segment_name", "Z")]),
        ("Z|A~B^C", [("1[0]", "A"), ("1[1].1", "B"), ("1[1].2", "C"), ("segment_name", "Z")]),
        ("Z|^~^", [("1[0].1", ""), ("1[0].2", ""), ("1[1].1", ""), ("1[1].2", ""), ("segment_name", "Z")]),
        ("Z|x^~\\&y", [("1", "x^~\\&y"), ("segment_name", "Z")]),
        ("Z|^~\\&~a^b", [("1", "^~\\&~a^b"), ("segment_name", "Z")]),
        ("Z|^~\\", [("1[0].1", ""), ("1[0].2", ""), ("1[1]", "\\"), ("segment_name", "Z")]),
        ("Z|~\\&", [("1[0]", ""), ("1[1]", "\\&"), ("segment_name", "Z")]),
        ("MS", [("segment_name", "MS")]),
        ("MSH", [("segment_name", "MSH")]),
        ("MSH#^~\\&#A", [("segment_name", "MSH#^~\\&#A")]),
        ("MSH#^~\\&|A", [("1", "A"), ("segment_name", "MSH#^~\\&")]),
        ("Z|MAIN ST&5^^TOWN", [("1.1", "MAIN ST&5"), ("1.2", ""), ("1.3", "TOWN"), ("segment_name", "Z")]),
        ("Z|a&b&c", [("1", "a&b&c"), ("segment_name", "Z")]),
        ("Z|A\\S\\B", [("1", "A\\S\\B"), ("segment_name", "Z")]),
        ("Z|A\\R\\B", [("1", "A\\R\\B"), ("segment_name", "Z")]),
        ("Z|a\nb|c", [("1", "a\nb"), ("2", "c"), ("segment_name", "Z")]),
    ],
)
def test_edge_cases_without_handler(line, expected):
    assert items(plain(line)) == expected
    assert reference.split_segment(line) == dict(expected)


@pytest.mark.parametrize(
    "line, expected",
    [
        ("", [("segment_name", "")]),
        ("Z|A\\S\\B", [("1.1", "A"), ("1.2", "B"), ("segment_name", "Z")]),
        ("Z|A\\R\\B", [("1", "A~B"), ("segment_name", "Z")]),
        ("Z|A\\F\\B", [("1", "A|B"), ("segment_name", "Z")]),
        ("Z|A\\T\\B~C\\E\\", [("1[0]", "A&B"), ("1[1]", "C\\"), ("segment_name", "Z")]),
        ("Z|A\\S\\B~C", [("1[0].1", "A"), ("1[0].2", "B"), ("1[1]", "C"), ("segment_name", "Z")]),
        # the guard text stops the repetition cut but not the component cut
        ("Z|x^~\\&y", [("1.1", "x"), ("1.2", "~\\&y"), ("segment_name", "Z")]),
        ("Z|^~\\&", [("1.1", ""), ("1.2", "~\\&"), ("segment_name", "Z")]),
        ("Z|~\\&", [("1[0]", ""), ("1[1]", "\\&"), ("segment_name", "Z")]),
        # components are decided on the unescaped text
        ("Z|\\S\\", [("1.1", ""), ("1.2", ""), ("segment_name", "Z")]),
        ("Z|\\X20\\", [("1", " "), ("segment_name", "Z")]),
        # the segment name is never unescaped
        ("\\T\\|\\T\\", [("1", "&"), ("segment_name", "\\T\\")]),
        # a field with repetitions renders only its repetitions, each unescaped
        ("Z|\\S\\~\\F\\", [("1[0].1", ""), ("1[0].2", ""), ("1[1]", "|"), ("segment_name", "Z")]),
    ],
)
def test_edge_cases_with_handler(line, expected):
    assert items(escaped(line)) == expected
    assert reference.split_segment(line, escaping=True) == dict(expected)


def test_key_order_fields():
    line = "Z" + "".join(f"|f{i}" for i in range(1, 13))
    assert list(plain(line)) == ["1", "10", "11", "12", "2", "3", "4", "5", "6", "7", "8", "9", "segment_name"]


def test_key_order_components():
    line = "Z|" + "^".join(f"c{i}" for i in range(1, 13))
    assert list(plain(line)) == [
        "1.1",
        "1.10",
        "1.11",
        "1.12",
        "1.2",
        "1.3",
        "1.4",
        "1.5",
        "1.6",
        "1.7",
        "1.8",
        "1.9",
        "segment_name",
    ]
    assert plain(line)["1.10"] == "c10"


def test_key_order_repetitions():
    line = "Z|" + "~".join(f"r{i}" for i in range(12))
    assert list(plain(line)) == [
        "1[0]",
        "1[10]",
        "1[11]",
        "1[1]",
        "1[2]",
        "1[3]",
        "1[4]",
        "1[5]",
        "1[6]",
        "1[7]",
        "1[8]",
        "1[9]",
        "segment_name",
    ]
    assert plain(line)["1[10]"] == "r10"


def test_key_order_repeating_field_1_after_fields_10_to_19():
    line = "Z|a~b^c" + "".join(f"|f{i}" for i in range(2, 21))
    keys = list(plain(line))
    assert keys[:12] == ["10", "11", "12", "13", "14", "15", "16", "17", "18", "19", "1[0]", "1[1].1"]
    assert keys[12:] == ["1[1].2", "2", "20", "3", "4", "5", "6", "7", "8", "9", "segment_name"]


def test_key_order_components_before_digits_and_non_ascii_names_last():
    # "." sorts before the digits, "[" after them; "segment_name" after every digit key
    line = "Z|a^b|" + "|" * 9 + "x~y"
    assert list(plain(line)) == [
        "1.1",
        "1.2",
        "10",
        "11[0]",
        "11[1]",
        "2",
        "3",
        "4",
        "5",
        "6",
        "7",
        "8",
        "9",
        "segment_name",
    ]


def test_non_ascii_next_to_separators():
    line = "PÏD|é^ü~ß|€||中^|😀"
    assert items(plain(line)) == [
        ("1[0].1", "é"),
        ("1[0].2", "ü"),
        ("1[1]", "ß"),
        ("2", "€"),
        ("3", ""),
        ("4.1", "中"),
        ("4.2", ""),
        ("5", "😀"),
        ("segment_name", "PÏD"),
    ]
    assert escaped(line) == plain(line)


def test_single_segment_methods_do_not_normalise_line_ends():
    assert plain("PID|1\r") == {"1": "1\r", "segment_name": "PID"}
    assert plain("PID|1\r\nPV1|2") == {"1": "1\r\nPV1", "2": "2", "segment_name": "PID"}
    assert escaped("PID|a\nb") == {"1": "a\nb", "segment_name": "PID"}


def test_with_escaping_method_ignores_the_option():
    h = Hl7Json("Z|a", escaping_enabled=False)
    assert h._split_hl7_seg_to_json_with_escaping("Z|\\T\\") == {"1": "&", "segment_name": "Z"}
    assert h._split_hl7_seg_to_json("Z|\\T\\") == {"1": "\\T\\", "segment_name": "Z"}
    h.escaping_enabled = True
    assert h._split_hl7_seg_to_json("Z|\\T\\") == {"1": "\\T\\", "segment_name": "Z"}


def test_escaping_option_changes_next_conversion():
    h = Hl7Json("MSH|^~\\&|A\rNTE|1|x\\T\\y")
    assert h.hl7_json[1]["2"] == "x&y"
    h.escaping_enabled = False
    assert h.hl7_json[1]["2"] == "x\\T\\y"
    assert h.hl7_json[0] == {"1": "^~\\&", "2": "A", "segment_name": "MSH"}


def test_one_record_per_line():
    assert Hl7Json("").hl7_json == [{"segment_name": ""}]
    assert Hl7Json("A\n\n").hl7_json == [{"segment_name": "A"}, {"segment_name": ""}, {"segment_name": ""}]
    assert Hl7Json("\n").hl7_json == [{"segment_name": ""}, {"segment_name": ""}]


# ---------------------------------------------------------------------------
# Property tests against the reference model

line_alphabet = list("|^~\\&") + [
    "\\T\\",
    "\\S\\",
    "\\R\\",
    "\\F\\",
    "^~\\&",
    "A",
    "b",
    "1",
    " ",
    "é",
    "中",
    "\x00",
    "\t",
]
lines = st.lists(st.sampled_from(line_alphabet), max_size=40).map("".join)


@given(lines)
def test_split_matches_model(line):
    got = plain(line)
    assert items(got) == items(reference.split_segment(line))
    got = escaped(line)
    assert items(got) == items(reference.split_segment(line, escaping=True))


@given(st.lists(lines, max_size=6), st.sampled_from(["\n", "\r", "\r\n"]), st.booleans())
def test_hl7_json_matches_model(line_list, terminator, escaping):
    text = terminator.join(line_list)
    got = Hl7Json(text, escaping_enabled=escaping).hl7_json
    assert [items(r) for r in got] == [items(r) for r in reference.records(text, escaping)]


# ---------------------------------------------------------------------------
# Common keys come from one table shared by every call; wider ones are made per call


def _wide_line(fields: int, repetitions: int, components: int) -> str:
    value = "~".join("^".join(f"v{r}c{c}" for c in range(components)) for r in range(repetitions))
    return "ZWD|" + "|".join([value] * fields)


@pytest.mark.parametrize(
    "fields, repetitions, components",
    [(130, 1, 1), (70, 1, 33), (70, 17, 1), (33, 9, 17), (31, 7, 15)],
    ids=["fields", "components", "repetitions", "both-rc", "inside-rc"],
)
def test_keys_at_the_edges_of_the_shared_table(fields, repetitions, components):
    line = _wide_line(fields, repetitions, components)
    for escaping in (False, True):
        (got,) = Hl7Json(line, escaping_enabled=escaping).hl7_json
        assert items(got) == items(reference.records(line, escaping)[0])


def test_common_keys_are_shared_between_calls():
    first, second = (Hl7Json("PID|a^b|c~d^e").hl7_json[0] for _ in range(2))
    assert list(first) == list(second)
    assert all(a is b for a, b in zip(first, second, strict=True))
    wide = Hl7Json(_wide_line(130, 1, 1)).hl7_json[0]
    assert "129" in wide and wide["129"] == "v0c0"


# A field's component separators are kept in a fixed array until it fills
# (64), then on the heap, and the fields after it start from none again; the
# scan reads sixteen bytes a block and the last block from a copy, so lines
# are cut at every length, in a separator, an escape or a name.
_CARETS = ["^".join(f"c{n}" for n in range(k + 1)) for k in (63, 64, 65, 200)]
_WHOLE = "ZBK|a^b~c^\\T\\d|\\F\\|^~\\&|" + "x^y|" * 10
SCANNER_LINES = [
    f"ZMC|a^b|{field}|{value}|end^1"
    for value in _CARETS
    for field in (value, f"{value}~x^y~{value}", value + "\\T\\z", "^~\\&" + value)
] + [line for n in range(50) for line in (_WHOLE[:n], _WHOLE[4 : 4 + n], "|" + _WHOLE[:n])]


@pytest.mark.parametrize("escaping", [False, True])
def test_long_fields_and_every_line_length_match_model(escaping):
    for line in SCANNER_LINES:
        (got,) = Hl7Json(line, escaping_enabled=escaping).hl7_json
        assert items(got) == items(reference.records(line, escaping)[0]), line
