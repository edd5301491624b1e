"""Bad and large input never crashes, never leaks, and leaves the objects usable."""

from __future__ import annotations

import gc
import sys

import pytest

from bench import reference
from tessarin import Hl7Json, JsonHl7

from conftest import raises_plain

# ---------------------------------------------------------------------------
# Embedded NUL characters


def test_nul_characters_everywhere():
    text = "MS\x00H|a\x00b^\x00~c|\x00\r\nP\x00D|\x00"
    h = Hl7Json(text)
    assert h.hl7_string == "MS\x00H|a\x00b^\x00~c|\x00\nP\x00D|\x00"
    records = h.hl7_json
    assert records == [
        {"1[0].1": "a\x00b", "1[0].2": "\x00", "1[1]": "c", "2": "\x00", "segment_name": "MS\x00H"},
        {"1": "\x00", "segment_name": "P\x00D"},
    ]
    assert JsonHl7(Hl7Json(text, escaping_enabled=False).hl7_json).hl7_string_unescaped == h.hl7_string
    assert h._split_hl7_seg_to_json("\x00|\x00") == {"1": "\x00", "segment_name": "\x00"}
    assert h._split_hl7_seg_to_json_with_escaping("\x00|\\\x00") == {"1": "\\\x00", "segment_name": "\x00"}
    assert Hl7Json("\x00" * 1000).hl7_json == [{"segment_name": "\x00" * 1000}]


def test_nul_in_validation_texts():
    h = Hl7Json("MSH|^~\\\x00|a")
    with raises_plain("HL7 validation failed: MSH segment must have at least 12 fields"):
        h.validate(False, False)
    h = Hl7Json("MSH|^~\\\x00" + "|x" * 10)
    # "^~\\\x00" is 4 bytes: it passes rule 5, and rule 10 fails next
    with raises_plain("Missing required segment: PID (Patient Identification)"):
        h.validate(False, True)
    with raises_plain("Invalid field separators: ^~\x00 (must be exactly 4 characters)"):
        Hl7Json("MSH|^~\x00" + "|x" * 10).validate(False, False)
    with raises_plain("Invalid segment name: P\x00D (must be exactly 3 alphabetic characters)"):
        Hl7Json("MSH|^~\\&" + "|x" * 10 + "\nP\x00D").validate(False, False)


# ---------------------------------------------------------------------------
# Lone surrogates leave everything usable


def test_lone_surrogates_leave_objects_usable():
    h = Hl7Json("MSH|a")
    for call in (
        lambda: h._split_hl7_seg_to_json("\ud800"),
        lambda: h._split_hl7_seg_to_json_with_escaping("x\udfffy"),
    ):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert h.hl7_json == [{"1": "a", "segment_name": "MSH"}]
    with pytest.raises(UnicodeEncodeError):
        JsonHl7([{"segment_name": "A"}, {"1": "ok", "2": "\udc00"}])
    assert JsonHl7([{"segment_name": "A"}]).hl7_string == "A"


def test_surrogate_pair_characters_are_fine():
    text = "Z|😀^\U0010ffff~\U00010000"
    assert Hl7Json(text).hl7_json == [
        {"1[0].1": "😀", "1[0].2": "\U0010ffff", "1[1]": "\U00010000", "segment_name": "Z"}
    ]


# ---------------------------------------------------------------------------
# Very long lines and lines of only separators


def test_very_long_line():
    line = "OBX|" + "x" * 20_000_000 + "|" + "y^" * 200_000
    h = Hl7Json(line)
    record = h.hl7_json[0]
    assert len(record["1"]) == 20_000_000
    assert len(record) == 1 + 200_001 + 1
    assert record["2.200001"] == ""


def test_many_fields_on_one_line():
    line = "Z" + "|a" * 200_000
    record = Hl7Json(line).hl7_json[0]
    assert len(record) == 200_001
    assert record["200000"] == "a"
    keys = list(record)
    assert keys[:3] == ["1", "10", "100"]
    assert keys[-1] == "segment_name"
    # more pieces than the index bound: the records cannot be assembled again ("100000" is the
    # first key above the bound in byte-wise order)
    with raises_plain("HL7 encoding error: index 100000 in key '100000' exceeds the limit of 65535"):
        JsonHl7([record]).hl7_string_unescaped
    line = "Z" + "|a" * 65_535
    assert JsonHl7(Hl7Json(line).hl7_json).hl7_string_unescaped == line


@pytest.mark.parametrize(
    "line",
    [
        "|",
        "||||||",
        "^",
        "^^^^",
        "~",
        "~~~~",
        "\\",
        "\\\\\\\\",
        "&&&&",
        "|^~\\&|",
        "|^|~|\\|&|",
        "^~\\&^~\\&",
        "~^~^~",
        "|~|~^|",
        "\\|\\|\\",
        "\\^\\~",
        "^" * 10_000,
        "~" * 10_000,
        "|" * 10_000,
        "\\" * 10_001,
        "|^~" * 3000,
    ],
    ids=lambda line: repr(line[:12]) + (f"x{len(line)}" if len(line) > 12 else ""),
)
def test_lines_of_only_separators(line):
    for escaping in (False, True):
        h = Hl7Json(line, escaping_enabled=escaping)
        (record,) = h.hl7_json
        assert record == reference.split_segment(line, escaping)
        assert list(record) == list(reference.split_segment(line, escaping))
    assert JsonHl7(Hl7Json(line, escaping_enabled=False).hl7_json).hl7_string_unescaped == line
    with pytest.raises(Exception):
        Hl7Json(line).validate(True, True)


def test_non_ascii_next_to_separators():
    line = "ÄÖÜ|é|€^中~😀|ß\\T\\ü|\u2028^\u00a0"
    h = Hl7Json(line)
    assert h.hl7_json == [reference.split_segment(line, True)]
    assert h.hl7_json[0]["3"] == "ß&ü"
    text = JsonHl7(Hl7Json(line, escaping_enabled=False).hl7_json).hl7_string_unescaped
    assert text == line
    assert text.encode("utf-8") == line.encode("utf-8")
    # escaping never splits a multi-byte character
    escaped = JsonHl7([{"1": "€ é|中~😀"}]).hl7_string
    assert escaped == "€\\X20\\é\\F\\中\\R\\😀"


# ---------------------------------------------------------------------------
# A 100 MB message


def test_100_mb_message():
    segment = "OBX|1|NM|GLU^Glucose^LN||" + "9" * 9_950 + "|mg/dL|70-99|N|||F\r"
    count = 100_000_000 // len(segment) + 1
    text = "MSH|^~\\&|LAB|FAC|||20240101||ORU^R01^ORU_R01|1|P|2.5\r" + segment * count
    assert len(text) >= 100_000_000
    h = Hl7Json(text)
    assert len(h.hl7_string) == len(text)
    records = h.hl7_json
    assert len(records) == count + 2
    assert records[1]["3.2"] == "Glucose" and len(records[1]["5"]) == 9_950
    assert records[-1] == {"segment_name": ""}
    with raises_plain("HL7 validation failed: Segment %d has empty segment name" % (count + 2)):
        h.validate(True, False)
    h2 = Hl7Json(text, escaping_enabled=False)
    back = JsonHl7(h2.hl7_json).hl7_string_unescaped
    assert back == text.replace("\r", "\n")


def test_large_single_value_escaped_and_unescaped():
    value = "a b|" * 4_000_000
    escaped = JsonHl7([{"segment_name": "Z", "1": value}]).hl7_string
    assert len(escaped) == 2 + 4_000_000 * (1 + 5 + 1 + 3)
    assert Hl7Json(escaped).hl7_json[0]["1"] == value


# ---------------------------------------------------------------------------
# Every exception leaves the object usable; no reference leaks


def test_every_failure_leaves_hl7json_usable():
    h = Hl7Json("MSH|x\nPV1", validation_enabled=True)
    failures = [
        lambda: h.hl7_json,
        lambda: h._convert_hl7_to_json(),
        lambda: h.validate(None, None),
        lambda: h.validate(1, None),
        lambda: h.validate(),
        lambda: h._split_hl7_seg_to_json(1),
        lambda: h._split_hl7_seg_to_json("\ud800"),
        lambda: setattr(h, "escaping_enabled", None),
        lambda: delattr(h, "strict_validation"),
        lambda: setattr(h, "hl7_string", "x"),
    ]
    for _ in range(3):
        for fail in failures:
            with pytest.raises((Exception, AttributeError, TypeError)):
                fail()
    assert (h.validation_enabled, h.strict_validation, h.escaping_enabled) == (True, False, True)
    h.validation_enabled = False
    assert h.hl7_json == [{"1": "x", "segment_name": "MSH"}, {"segment_name": "PV1"}]
    h.escaping_enabled = False
    h.strict_validation = True
    assert h.hl7_json == [{"1": "x", "segment_name": "MSH"}, {"segment_name": "PV1"}]


def test_every_failure_leaves_jsonhl7_usable():
    j = JsonHl7([{"segment_name": "P|D", "70000": "x"}, {"segment_name": "A", "1": "b"}])
    for _ in range(3):
        with pytest.raises(Exception):
            j.hl7_string
        with pytest.raises(Exception):
            j.hl7_string_unescaped
        with pytest.raises(TypeError):
            j._convert_json_to_hl7(1)
    assert j.json_data == [{"70000": "x", "segment_name": "P|D"}, {"1": "b", "segment_name": "A"}]
    ok = JsonHl7([{"segment_name": "P|D", "1": "x"}])
    with pytest.raises(Exception):
        ok.hl7_string
    assert ok.hl7_string_unescaped == "P|D|x"


def test_no_reference_leaks_on_inputs():
    record = {"segment_name": "PID", "1": "a b"}
    data = [record]
    text = "MSH|^~\\&|A|B|C|D|E||ADT^A01|1|P|2.5\rPID|1"
    bad = [{"segment_name": "A"}, {"1": 5}]
    before = [sys.getrefcount(o) for o in (record, data, text, bad, bad[1])]
    for _ in range(200):
        JsonHl7(data).hl7_string
        JsonHl7(tuple(data)).json_data
        Hl7Json(text).hl7_json
        Hl7Json(text).validate(None, False)
        with pytest.raises(TypeError):
            JsonHl7(bad)
        with pytest.raises(TypeError):
            Hl7Json(text, validation_enabled=1)
    gc.collect()
    after = [sys.getrefcount(o) for o in (record, data, text, bad, bad[1])]
    assert after == before


def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_no_memory_growth_over_repeated_calls_and_errors(tmp_path):
    body = "OBX|1|ST|x^y~z|" + "v" * 5000
    text = "MSH|^~\\&|A\r" + "\r".join([body] * 20)
    records = Hl7Json(text).hl7_json
    bad_json = tmp_path / "bad.json"
    bad_json.write_text('[{"a": "' + "x" * 100_000 + '", "b": 1}]')
    missing = str(tmp_path / "missing")

    def work():
        Hl7Json(text).hl7_json
        with pytest.raises(Exception):
            Hl7Json(text, validation_enabled=True).hl7_json
        JsonHl7(records).hl7_string
        with pytest.raises(Exception):
            JsonHl7(records + [{"99999": "x" * 10_000}]).hl7_string
        with pytest.raises(Exception):
            JsonHl7.from_file(str(bad_json))
        with pytest.raises(Exception):
            JsonHl7.from_file(missing)
        with pytest.raises(TypeError):
            JsonHl7([{"1": "x" * 10_000}, {"2": None}])

    for _ in range(20):
        work()
    gc.collect()
    start = _rss_bytes()
    for _ in range(300):
        work()
    gc.collect()
    grown = _rss_bytes() - start
    # each round handles about 1 MB: a leak of a round's data would grow by hundreds of MB
    assert grown < 40_000_000, grown


def test_objects_are_independent():
    a = Hl7Json("Z|a", escaping_enabled=False)
    b = Hl7Json("Z|a")
    a.escaping_enabled = True
    b.escaping_enabled = False
    assert (a.escaping_enabled, b.escaping_enabled) == (True, False)
    assert a.hl7_json == b.hl7_json


def test_many_objects():
    objects = [Hl7Json(f"Z|{i}") for i in range(10_000)]
    assert [o.hl7_json[0]["1"] for o in objects[-3:]] == ["9997", "9998", "9999"]
    del objects
    gc.collect()
    js = [JsonHl7([{"1": str(i)}]) for i in range(10_000)]
    assert js[-1].hl7_string == "9999"
    assert reference.assemble([{"1": "9999"}], True) == "9999"
