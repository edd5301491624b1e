"""HL7 text to records and back, property-based."""

from __future__ import annotations

import json
import pathlib
import tempfile

from hypothesis import given, settings
from hypothesis import strategies as st

from bench import reference
from tessarin import Hl7Json, JsonHl7

PIECES = [
    "|",
    "^",
    "~",
    "\\",
    "&",
    "^~\\&",
    "\\T\\",
    "\\S\\",
    "\\R\\",
    "\\F\\",
    "\\X20\\",
    "MSH",
    "PID",
    "OBX",
    "a",
    "Z",
    "1",
    "12",
    " ",
    "\t",
    "é",
    "中",
    "😀",
    "\x00",
    "\x0b",
    "\u2028",
    "\r",
    "\n",
    "\r\n",
    "\n\r",
]
messages = st.lists(st.sampled_from(PIECES), max_size=60).map("".join)


@given(messages)
def test_text_to_records_and_back_with_escaping_off(text):
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    j = JsonHl7(records)
    assert j.hl7_string_unescaped == reference.replace_eof(text)
    assert j._convert_json_to_hl7(False) == reference.replace_eof(text)
    assert j.json_data == records


@given(messages)
def test_records_survive_a_second_trip(text):
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    again = Hl7Json(JsonHl7(records).hl7_string_unescaped, escaping_enabled=False).hl7_json
    assert again == records


@given(st.lists(st.sampled_from(PIECES), max_size=30).map("".join))
def test_single_line_through_split_method(line):
    line = line.replace("\r", "").replace("\n", "")
    record = Hl7Json("")._split_hl7_seg_to_json(line)
    assert JsonHl7([record]).hl7_string_unescaped == line


VALUE_CHARS = [c for c in "ab Z19|~\\&\t\r\n é中😀\x00\x01\x0b\x0c\x7f\x85\u00a0\u2028\ufeff" if c != "^"]
values = st.lists(st.sampled_from(VALUE_CHARS + ["\\T\\", "\\X0D0A\\", "\\"]), max_size=30).map("".join)


@given(values)
def test_value_escaped_and_parsed_back(value):
    assert "^" not in value
    text = JsonHl7([{"segment_name": "ZZZ", "1": value}]).hl7_string
    assert Hl7Json(text).hl7_json == [{"1": value, "segment_name": "ZZZ"}]
    assert Hl7Json("")._split_hl7_seg_to_json_with_escaping(text) == {"1": value, "segment_name": "ZZZ"}


@given(st.lists(values, min_size=1, max_size=5), st.lists(values, min_size=1, max_size=3))
def test_components_and_repetitions_escaped_and_parsed_back(components, reps):
    record = {"segment_name": "ZZZ"}
    record.update({f"1.{c}": v for c, v in enumerate(components, 1)})
    record.update({f"2[{r}]": v for r, v in enumerate(reps)})
    text = JsonHl7([record]).hl7_string
    parsed = Hl7Json(text).hl7_json[0]
    if len(components) == 1:
        assert parsed["1"] == components[0]
    else:
        assert [parsed[f"1.{c}"] for c in range(1, len(components) + 1)] == components
    if len(reps) == 1:
        assert parsed["2"] == reps[0]
    else:
        assert [parsed[f"2[{r}]"] for r in range(len(reps))] == reps


@settings(max_examples=40)
@given(messages, st.booleans())
def test_round_trip_through_a_json_file(text, ensure_ascii):
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "records.json"
        path.write_text(json.dumps(records, ensure_ascii=ensure_ascii), encoding="utf-8")
        j = JsonHl7.from_file(str(path))
    assert j.json_data == records
    assert j.hl7_string_unescaped == reference.replace_eof(text)


def test_round_trip_examples():
    text = "MSH|^~\\&|APP|FAC|||20240101||ADT^A01^ADT_A01|1|P|2.5\r\nPID|1||123^^^H^MR~456||DOE^JOHN\r\n\r\n"
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    j = JsonHl7(records)
    assert j.hl7_string_unescaped == reference.replace_eof(text)
    # escaped output escapes the encoding characters, spaces and ampersands
    assert j.hl7_string.startswith("MSH|\\S\\\\R\\\\\\\\T\\|APP|")
