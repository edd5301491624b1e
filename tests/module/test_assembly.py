"""Assembly from segment records, with the index bound and the segment-name check."""

from __future__ import annotations

import ctypes
import json
import os

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessarin
from bench import reference
from tessarin import Hl7Json, JsonHl7

from conftest import MALFORMED_KEYS, WORKED, WORKED_ESCAPED, WORKED_UNESCAPED, raises_plain


def unescaped(records) -> str:
    return JsonHl7(records).hl7_string_unescaped


def escaped(records) -> str:
    return JsonHl7(records).hl7_string


def all_three(records, escape: bool) -> str:
    """The text through the property and through the method (positional and keyword); all must agree."""
    j = JsonHl7(records)
    by_property = j.hl7_string if escape else j.hl7_string_unescaped
    assert j._convert_json_to_hl7(escape) == by_property
    assert j._convert_json_to_hl7(escape=escape) == by_property
    return by_property


# ---------------------------------------------------------------------------
# Worked examples


def test_worked_example_unescaped():
    assert all_three(WORKED, False) == WORKED_UNESCAPED


def test_worked_example_escaped():
    assert all_three(WORKED, True) == WORKED_ESCAPED
    assert len("\\S\\\\R\\\\\\\\T\\") == 11


def test_worked_example_from_the_json_text(write_file):
    text = (
        '[\n  {"segment_name": "MSH", "1": "^~\\\\&", "2": "LAB", "5.1": "ADT", "5.2": "A01"},\n'
        '  {"segment_name": "PID", "3[0].1": "123", "3[0].4": "HOSP", "3[1]": "456",\n'
        '   "5.1": "Doe", "5.2": "John Q", "7": "R&D"}\n]'
    )
    j = JsonHl7.from_file(write_file(text))
    assert j.json_data == [dict(sorted(r.items(), key=lambda kv: reference.byte_key(kv[0]))) for r in WORKED]
    assert j.hl7_string_unescaped == all_three(WORKED, False)
    assert j.hl7_string == all_three(WORKED, True)


# ---------------------------------------------------------------------------
# Edge cases of assembly


@pytest.mark.parametrize(
    "records, text",
    [
        ([], ""),
        ([{}], ""),
        ([{}, {}], "\n"),
        ([{}, {}, {}], "\n\n"),
        ([{"segment_name": "PID"}], "PID"),
        ([{"segment_name": "PID", "0": "x"}], "PID"),
        ([{"segment_name": "PID", "0": "x", "0.3": "y", "0[2]": "z"}], "PID"),
        ([{"0": "x"}], ""),
        ([{"1": "a", "3": "c"}], "a||c"),
        ([{"segment_name": "PID", "3": "x"}], "PID|||x"),
        ([{"segment_name": "ZZZ", "2": ""}], "ZZZ||"),
        ([{"segment_name": "ZZZ", "1.3": "c"}], "ZZZ|^^c"),
        ([{"segment_name": "ZZZ", "1[2]": "r"}], "ZZZ|~~r"),
        ([{"segment_name": "ZZZ", "1": "whole", "1.2": "b"}], "ZZZ|^b"),
        ([{"segment_name": "ZZZ", "1[1]": "whole", "1[1].1": "a"}], "ZZZ|~a"),
        ([{"segment_name": "ZZZ", "1[1].3": "c", "1[3]": "r"}], "ZZZ|~^^c~~r"),
        ([{"segment_name": "ZZZ", "1[0]abc": "x"}], "ZZZ|x"),
        ([{"segment_name": "ZZZ", "1[1]]": "x"}], "ZZZ|~x"),
        ([{"segment_name": "ZZZ", "1[1][2]": "x"}], "ZZZ|~x"),
        ([{"segment_name": "ZZZ", "1[0].2": "x"}], "ZZZ|^x"),
        ([{"segment_name": "ZZZ", "+2": "a", "002": "b"}], "ZZZ||b"),
        ([{"segment_name": "ZZZ", "+1.+2": "a"}], "ZZZ|^a"),
        ([{"segment_name": "ZZZ", "+1[+1].+02": "a"}], "ZZZ|~^a"),
        ([{"segment_name": "ZZZ", "1.0": "a"}], "ZZZ|a"),
        ([{"segment_name": "ZZZ", "1[1].0": "a"}], "ZZZ|~a"),
        ([{"segment_name": "", "1": "a"}], "|a"),
        ([{"segment_name": ""}], ""),
        ([{"segment_name": "A", "1": "x"}, {}, {"segment_name": "B"}], "A|x\n\nB"),
        # values are never trimmed or validated when not escaped
        ([{"segment_name": "ZZZ", "1": "a|b", "2": "c\nd", "3": "e\r"}], "ZZZ|a|b|c\nd|e\r"),
        ([{"segment_name": "ZZZ", "1": " x ", "2": "\x00"}], "ZZZ| x |\x00"),
        # the segment name is copied unchanged
        ([{"segment_name": "P^D~&\\ X", "1": "a"}], "P^D~&\\ X|a"),
    ],
)
def test_edge_cases_unescaped(records, text):
    assert all_three(records, False) == text
    assert reference.assemble(records, False) == text


@pytest.mark.parametrize(
    "records, text",
    [
        ([{"segment_name": "ZZZ", "1": "a|b", "2": "c\nd"}], "ZZZ|a\\F\\b|c\\X0A\\d"),
        ([{"segment_name": "ZZZ", "1": "\r\n"}], "ZZZ|\\X0D\\\\X0A\\"),
        ([{"segment_name": "P^D~&\\ X", "1": "a b"}], "P^D~&\\ X|a\\X20\\b"),
        ([{"segment_name": "MSH", "1": "^~\\&"}], "MSH|\\S\\\\R\\\\\\\\T\\"),
        ([{"segment_name": "ZZZ", "1.1": "^", "1.2": "~", "2[1]": "&"}], "ZZZ|\\S\\^\\R\\|~\\T\\"),
        ([{"segment_name": "ZZZ", "1": "é€😀\x01"}], "ZZZ|é€😀\x01"),
    ],
)
def test_edge_cases_escaped(records, text):
    assert all_three(records, True) == text
    assert reference.assemble(records, True) == text


@pytest.mark.parametrize(
    "key", ["1", "01", "+1", "1.0", "1[0]", "1[0].0", "001", "+01", "1[00].00", "1[+0].+0", "1[0]x", "01.0"]
)
def test_keys_naming_the_same_place(key):
    assert reference.place_of_key(key) == (1, 0, 0)
    assert unescaped([{"segment_name": "Z", key: "v"}]) == "Z|v"


def test_later_key_in_byte_order_wins_a_shared_place():
    keys = ["1", "01", "+1", "1.0", "1[0]", "1[0].0"]
    record = {k: k for k in keys}
    assert max(keys, key=reference.byte_key) == "1[0].0"
    assert unescaped([record]) == "1[0].0"
    # dict insertion order does not matter, the byte-wise key order does
    assert unescaped([dict(reversed(list(record.items())))]) == "1[0].0"
    assert unescaped([{"+3": "plus", "03": "zero", "3": "plain"}]) == "||plain"
    assert unescaped([{"1.2": "a", "1.02": "b", "1.+2": "c"}]) == "^a"
    assert unescaped([{"2[1]": "a", "2[01]": "b"}]) == "|~a"
    # non-ASCII after "]" sorts by its UTF-8 bytes
    assert unescaped([{"1[0]é": "e", "1[0]z": "z"}]) == "e"


@pytest.mark.parametrize("key", MALFORMED_KEYS)
def test_skipped_keys(key):
    assert reference.place_of_key(key) is None
    record = {"segment_name": "Z", key: "lost"}
    assert unescaped([record]) == "Z"
    assert escaped([record]) == "Z"
    assert unescaped([{key: "lost"}]) == ""
    # skipped keys are still kept in json_data
    assert JsonHl7([record]).json_data == [dict(sorted(record.items(), key=lambda kv: reference.byte_key(kv[0])))]


def test_skipped_key_does_not_disturb_neighbours():
    assert unescaped([{"segment_name": "Z", "1.": "x", "2": "b", "1[x]": "y"}]) == "Z||b"


def test_field_key_beside_component_keys():
    assert unescaped([{"segment_name": "Z", "1": "whole", "1.1": "a", "1.3": "c"}]) == "Z|a^^c"
    assert unescaped([{"segment_name": "Z", "1": "whole", "1[1]": "r"}]) == "Z|whole~r"
    assert unescaped([{"segment_name": "Z", "1.1": "a", "1[1].2": "b"}]) == "Z|a~^b"


# ---------------------------------------------------------------------------
# Index bound


def encoding_error(index, key) -> str:
    return f"HL7 encoding error: index {index} in key '{key}' exceeds the limit of 65535"


@pytest.mark.parametrize(
    "key, index",
    [
        ("4000000000", 4000000000),
        ("65536", 65536),
        ("+65536", 65536),
        ("0065536", 65536),
        ("1[65536]", 65536),
        ("1[65536].1", 65536),
        ("1.65536", 65536),
        ("1[0].65536", 65536),
        ("65536[0]", 65536),
        ("65536.1", 65536),
        ("18446744073709551615", 18446744073709551615),
        ("1[18446744073709551615]", 18446744073709551615),
    ],
)
def test_index_above_the_bound(key, index):
    records = [{"segment_name": "PID", "1": "a"}, {"segment_name": "ZZZ", key: "x"}]
    j = JsonHl7(records)
    for read in (
        lambda: j.hl7_string,
        lambda: j.hl7_string_unescaped,
        lambda: j._convert_json_to_hl7(True),
        lambda: j._convert_json_to_hl7(False),
    ):
        with raises_plain(encoding_error(index, key)):
            read()
    # the object stays usable
    assert j.json_data == [{"1": "a", "segment_name": "PID"}, {key: "x", "segment_name": "ZZZ"}]


def test_index_above_the_bound_gives_the_exact_error_text():
    with raises_plain("HL7 encoding error: index 4000000000 in key '4000000000' exceeds the limit of 65535"):
        JsonHl7([{"4000000000": "x"}]).hl7_string


def test_index_at_the_bound_is_written():
    assert unescaped([{"segment_name": "Z", "65535": "x"}]) == "Z" + "|" * 65535 + "x"
    assert unescaped([{"1[65535]": "x"}]) == "~" * 65535 + "x"
    assert unescaped([{"1.65535": "x"}]) == "^" * 65534 + "x"
    assert unescaped([{"1[0].65535": "x"}]) == "^" * 65534 + "x"
    text = unescaped([{"segment_name": "Z", "65535[65535].65535": "x"}])
    assert text == "Z" + "|" * 65535 + "~" * 65535 + "^" * 65534 + "x"


def test_bound_is_checked_for_skipped_and_overflowing_keys_only_when_well_formed():
    # a number that overflows the machine word is not an index: the key is skipped
    for key in (
        "18446744073709551616",
        "1[18446744073709551616]",
        "1.18446744073709551616",
        "18446744073709551616.1",
        "1[0].18446744073709551616",
        "999999999999999999999999999999",
    ):
        assert unescaped([{"segment_name": "Z", key: "x", "1": "a"}]) == "Z|a"
        assert escaped([{"segment_name": "Z", key: "x", "1": "a"}]) == "Z|a"
    # a malformed key with a large number in it is skipped too
    for key in ("65536.", "x[65536]", "1[65536", "65536]1[", "1.2.65536", "-65536"):
        assert unescaped([{"segment_name": "Z", key: "x"}]) == "Z"


def test_index_above_the_bound_in_a_file(write_file):
    j = JsonHl7.from_file(write_file('[{"segment_name": "A"}, {"4000000000": "x"}]'))
    with raises_plain(encoding_error(4000000000, "4000000000")):
        j.hl7_string_unescaped


def test_few_kilobytes_cannot_make_hundreds_of_megabytes(write_file):
    # the strongest growth per input byte that the bound allows: every key at the
    # highest field, repetition and component
    record = '{"65535[65535].65535":"' + "|" * 8 + '"}'
    text = "[" + ",".join([record] * 100) + "]"
    assert len(text) <= 4096
    j = JsonHl7.from_file(write_file(text))
    for read in (lambda: j.hl7_string_unescaped, lambda: j.hl7_string):
        out = read()
        assert len(out) < 300_000_000
    # many keys in one record
    keys = {f"{n}[65535].65535": "" for n in range(1, 300)}
    assert len(json.dumps([keys])) <= 8192
    assert len(unescaped([keys])) < 300_000_000


# ---------------------------------------------------------------------------
# Segment name check in escaped output


@pytest.mark.parametrize("name", ["PID|x", "PID\rX", "PID\nX", "|", "\n", "\r\n", "MSH|^~\\&|APP", "\r"])
def test_segment_name_with_separator_refused_when_escaping(name):
    records = [{"segment_name": "MSH", "1": "a"}, {"segment_name": name, "1": "v"}]
    j = JsonHl7(records)
    message = f"HL7 encoding error: segment name '{name}' contains a separator or line break"
    with raises_plain(message):
        j.hl7_string
    with raises_plain(message):
        j._convert_json_to_hl7(True)
    with raises_plain(message):
        j._convert_json_to_hl7(escape=True)
    # without escaping nothing changes
    assert j.hl7_string_unescaped == "MSH|a\n" + name + "|v"
    assert j._convert_json_to_hl7(False) == "MSH|a\n" + name + "|v"


@pytest.mark.parametrize("key", ["65536", "1[65536]", "2.70000"])
def test_key_out_of_range_is_told_before_a_bad_name_of_its_record(key):
    # A line that cannot be written straight is gathered again, and reports
    # what the gathering meets first: the keys, then the name.
    with raises_plain(encoding_error(int(key.strip("12[].")), key)):
        JsonHl7([{"segment_name": "PID|x", "1": "a", key: "v"}]).hl7_string


def test_segment_name_with_a_separator_gives_the_exact_error_text():
    with raises_plain("HL7 encoding error: segment name 'PID|x' contains a separator or line break"):
        JsonHl7([{"segment_name": "PID|x"}]).hl7_string


@pytest.mark.parametrize("name", ["P^D", "P~D", "P&D", "P\\D", "P D", "P\tD", "P\x00D", "PÏD", "\u2028", "\x0b", ""])
def test_other_segment_names_written_unchanged_when_escaping(name):
    assert escaped([{"segment_name": name, "1": "a b"}]) == name + "|a\\X20\\b"


def test_hl7json_records_never_have_such_names():
    text = "MSH|^~\\&|A\r\nPID|1\rNTE|x\n\rEVN"
    records = Hl7Json(text).hl7_json
    assert JsonHl7(records).hl7_string  # no error
    records = Hl7Json(text, escaping_enabled=False).hl7_json
    assert JsonHl7(records).hl7_string


# ---------------------------------------------------------------------------
# Large and odd inputs


def test_thousands_of_keys():
    record = {"segment_name": "OBX"}
    record.update({str(n): f"v{n}" for n in range(1, 5001)})
    record.update({f"{n}.{c}": f"c{c}" for n in range(5001, 5101) for c in range(1, 21)})
    text = unescaped([record])
    assert text == reference.assemble([record], False)
    assert text.count("|") == 5100


def test_thousands_of_records():
    records = [{"segment_name": "OBX", "1": str(i), "2.1": "a b", "3[1]": "&"} for i in range(5000)]
    assert unescaped(records) == reference.assemble(records, False)
    assert escaped(records) == reference.assemble(records, True)


def test_huge_values():
    big = "a^b|c~d\\e f" * 500_000
    assert escaped([{"segment_name": "Z", "1": big}]) == "Z|" + ("a\\S\\b\\F\\c\\R\\d\\\\e\\X20\\f" * 500_000)
    assert unescaped([{"segment_name": "Z", "1": big}]) == "Z|" + big


def test_non_ascii_and_nul_in_keys_and_values():
    record = {"segment_name": "Z\x00", "1": "é\x00ü", "2.1": "中", "2.2": "😀", "é": "x", "1\x00": "y", "\x00": "z"}
    assert unescaped([record]) == "Z\x00|é\x00ü|中^😀"
    assert escaped([record]) == "Z\x00|é\x00ü|中^😀"
    assert JsonHl7([record]).json_data[0] == dict(sorted(record.items(), key=lambda kv: reference.byte_key(kv[0])))


# ---------------------------------------------------------------------------
# Property tests against the reference model

_BIG = ["65536", "4000000000", "18446744073709551615", "18446744073709551616", "99999999999999999999"]
small_index = st.integers(0, 39).flatmap(
    lambda i: (
        st.sampled_from(_BIG)
        if i == 0
        else st.sampled_from(["+1", "01", "00", "+0", "007", "10", "12"])
        if i < 10
        else st.just(str(i % 7))
    )
)
junk = st.sampled_from(["", "x", "-1", " ", ".", "[", "]", "é", "\x00", "18446744073709551616"])


@st.composite
def keys(draw):
    kind = draw(st.integers(0, 5))
    n = draw(small_index)
    if kind == 0:
        return n
    if kind == 1:
        return f"{n}.{draw(small_index)}"
    if kind == 2:
        return f"{n}[{draw(small_index)}]" + draw(st.sampled_from(["", "x", "]", "[1]"]))
    if kind == 3:
        return f"{n}[{draw(small_index)}].{draw(small_index)}"
    if kind == 4:
        return draw(st.text(st.sampled_from("0123+.[]x"), max_size=6))
    return draw(junk) + n + draw(junk)


values = st.text(st.sampled_from(list("ab |^~\\&\r\n\té\x00")), max_size=6)
records = st.lists(
    st.dictionaries(keys(), values, max_size=8).flatmap(
        lambda d: st.one_of(st.just(d), st.sampled_from(["PID", "", "Z^Z"]).map(lambda n: {**d, "segment_name": n}))
    ),
    max_size=4,
)


def _expect(recs, escape: bool):
    try:
        return reference.assemble(recs, escape), None
    except reference.ModelEncodingError as exc:
        return None, str(exc)


def _check(j, recs, escape: bool):
    text, error = _expect(recs, escape)
    if error is None:
        assert j._convert_json_to_hl7(escape) == text
    else:
        with raises_plain(error):
            j._convert_json_to_hl7(escape)


@given(records)
def test_assembly_matches_model(recs):
    j = JsonHl7(recs)
    _check(j, recs, False)
    _check(j, recs, True)


@given(
    st.lists(st.dictionaries(keys(), values, max_size=6), max_size=3),
    st.sampled_from(["PID|x", "A\rB", "C\nD", "|", "\r\n"]),
)
def test_name_check_matches_model(recs, bad_name):
    recs = recs + [{"segment_name": bad_name, "1": "v"}]
    j = JsonHl7(recs)
    _check(j, recs, True)
    _check(j, recs, False)
    if _expect(recs[:-1], True)[1] is None:
        with raises_plain(f"HL7 encoding error: segment name '{bad_name}' contains a separator or line break"):
            j.hl7_string


class _Key(str):
    def __hash__(self):  # a subclass may hash its own way
        return 7


@pytest.mark.parametrize(
    "remake",
    [lambda k: k, lambda k: "".join(list(k)), _Key, lambda k: k.encode().decode()],
    ids=["shared", "fresh", "subclass", "decoded"],
)
def test_keys_equal_to_common_keys_assemble_alike(remake):
    records = Hl7Json("MSH|^~\\&|A\rPID|1|x^y~z|" + "|".join(f"f{i}" for i in range(40))).hl7_json
    remade = [{remake(k): v for k, v in record.items()} for record in records]
    built = JsonHl7(remade)
    assert built.hl7_string == JsonHl7(records).hl7_string
    assert built.hl7_string_unescaped == JsonHl7(records).hl7_string_unescaped
    assert built.json_data == records


class _Attributes:  # instances keep their attributes in dicts of a split table
    pass


def _with_holes(record):
    held = {"gone": "", **record, "gone too": ""}
    del held["gone"], held["gone too"]
    return held


def _once_not_str(record):
    held = {0: ""}  # a key other than a str changes how the dict lays its items out
    held.update(record)
    del held[0]
    return held


def _attributes(record):
    holder = _Attributes()
    for key, value in record.items():
        setattr(holder, key, value)
    return vars(holder)


def _dict_walk_hook():
    library = ctypes.CDLL(tessarin.__file__)
    return getattr(library, "tessarin_test_read_dicts_directly", None)


@pytest.fixture(params=["directly", "PyDict_Next"])
def dict_walk(request):
    """Records' dicts read from their entry array (where this interpreter's
    layout was found at import) or through PyDict_Next: both must agree."""
    hook = _dict_walk_hook()
    if hook is None:
        if os.environ.get("CI"):  # CI builds with the hook
            pytest.fail("the dict walk hook is missing in CI")
        pytest.skip("the dict walk hook is missing (not a development build)")
    if request.param == "directly" and not hook(1):
        pytest.skip("this interpreter's dicts are read through PyDict_Next only")
    hook(1 if request.param == "directly" else 0)
    yield
    hook(1)


@pytest.mark.parametrize(
    "layout", [dict, _with_holes, _once_not_str, _attributes, json.loads], ids=lambda f: f.__name__
)
def test_every_dict_layout_gives_the_same_text(layout, dict_walk):
    records = Hl7Json("MSH|^~\\&|A\rPID|1|x^y~z|" + "|".join(f"f {i}" for i in range(40))).hl7_json
    held = json.loads(json.dumps(records)) if layout is json.loads else [layout(record) for record in records]
    built = JsonHl7(held)
    assert built.hl7_string == JsonHl7(records).hl7_string
    assert built.json_data == records
