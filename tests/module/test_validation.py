"""The message validator, through Hl7Json.validate and the validation inside hl7_json."""

from __future__ import annotations

import pytest

from tessarin import Hl7Json

from conftest import SUPPORTED, raises_plain

FIELDS = ["^~\\&", "APP", "FAC", "APP", "FAC", "20240101", "", "ADT^A01^ADT_A01", "MSG1", "P", "2.5"]
PID = "PID|1||12345^^^HOSP^MR||DOE^JOHN"


def msh(**changes) -> str:
    """The standard header with field n replaced by changes['f<n>']; 'drop' removes trailing fields."""
    fields = list(FIELDS)
    for key, value in changes.items():
        if key == "drop":
            fields = fields[: len(fields) - value]
        elif key == "extra":
            fields += value
        else:
            fields[int(key[1:]) - 1] = value
    return "MSH|" + "|".join(fields)


GOOD = msh() + "\r" + PID


def outcome(text: str, strict, required):
    try:
        result = Hl7Json(text).validate(strict, required)
    except Exception as exc:  # noqa: BLE001
        assert type(exc) is Exception
        assert len(exc.args) == 1
        return exc.args[0]
    assert result is None
    return None


def test_standard_header_passes_all_modes():
    assert msh().count("|") == 11
    for strict in (False, True):
        assert outcome(GOOD, strict, True) is None
        assert outcome(msh(), strict, False) is None
    h = Hl7Json(GOOD, validation_enabled=True, strict_validation=True)
    assert len(h.hl7_json) == 2


def test_fields_after_the_version_are_not_required_or_examined():
    text = msh(extra=["", "", "x" * 10, "AL"]) + "\n" + PID
    assert outcome(text, True, True) is None


# ---------------------------------------------------------------------------
# Every rule's text

MISSING_MSH = "Missing required segment: MSH (Message Header)"
TOO_FEW = "HL7 validation failed: MSH segment must have at least 12 fields"
MISSING_PID = "Missing required segment: PID (Patient Identification)"
TYPE_3 = "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"


def separators(value):
    return f"Invalid field separators: {value} (must be exactly 4 characters)"


def unsupported(value):
    return f"HL7 version not supported: {value} (supported versions: {SUPPORTED})"


def bad_name(name):
    return f"Invalid segment name: {name} (must be exactly 3 alphabetic characters)"


def empty_name(position):
    return f"HL7 validation failed: Segment {position} has empty segment name"


def too_long(length):
    return f"Field value exceeds maximum length: {length} > 65536 characters"


RULE_CASES = [
    # rule 2
    ("msh" + msh()[3:] + "\n" + PID, False, False, MISSING_MSH),
    (PID + "\n" + GOOD, False, False, MISSING_MSH),
    ("", False, False, MISSING_MSH),
    ("\n" + GOOD, False, False, MISSING_MSH),
    (" MSH" + msh()[3:], False, False, MISSING_MSH),
    ("MSH " + msh()[3:], False, False, MISSING_MSH),
    # rule 3
    (msh(drop=1) + "\n" + PID, False, False, TOO_FEW),
    (msh(drop=1), True, True, TOO_FEW),
    ("MSH", False, False, TOO_FEW),
    ("MSH|", False, False, TOO_FEW),
    ("MSH" + "|" * 10, False, False, TOO_FEW),
    ("MSH" + "|" * 11 + "\n" + PID, False, True, separators("")),
    # rule 5 (byte length)
    (msh(f1="^~\\"), False, False, separators("^~\\")),
    (msh(f1="^~\\&#"), False, False, separators("^~\\&#")),
    (msh(f1=""), False, False, separators("")),
    (msh(f1="^~\\é"), False, False, separators("^~\\é")),  # 4 characters, 5 bytes
    # rule 7
    (msh(f11="3.0"), True, False, unsupported("3.0")),
    (msh(f11="2.3.1"), True, False, unsupported("2.3.1")),
    (msh(f11="2.5 "), True, False, unsupported("2.5 ")),
    (msh(f11=" 2.5"), True, False, unsupported(" 2.5")),
    (msh(f11="v2.5"), True, False, unsupported("v2.5")),
    (msh(f11=""), True, False, unsupported("")),
    (msh(f11="2.5^1"), True, False, unsupported("2.5^1")),
    (msh(f11="2.10"), True, False, unsupported("2.10")),
    # rule 9
    (msh(f8="ADT^A01"), True, False, TYPE_3),
    (msh(f8=""), True, False, TYPE_3),
    (msh(f8="ADT"), True, False, TYPE_3),
    (msh(f8="ADT\\S\\A01\\S\\X"), True, False, TYPE_3),  # validation never unescapes
    # rule 10
    (msh(), False, True, MISSING_PID),
    (msh() + "\npid|1", False, True, MISSING_PID),
    (msh() + "\nPID ", False, True, MISSING_PID),
    # rule 11
    (GOOD + "\n", False, False, empty_name(3)),
    (msh() + "\n\n" + PID, False, True, empty_name(2)),
    (msh() + "\n|x", False, False, empty_name(2)),
    # rule 12
    (msh() + "\nPV1|1", False, False, bad_name("PV1")),
    (msh() + "\nNK1|1", False, False, bad_name("NK1")),
    (msh() + "\nZA1", False, False, bad_name("ZA1")),
    (msh() + "\nPI|1", False, False, bad_name("PI")),
    (msh() + "\nPIDX|1", False, False, bad_name("PIDX")),
    (msh() + "\nPé|1", False, False, bad_name("Pé")),  # 3 bytes, but not ASCII letters
    (msh() + "\nP-D", False, False, bad_name("P-D")),
    (msh() + "\nP D", False, False, bad_name("P D")),
    (msh() + "\nEVN\t", False, False, bad_name("EVN\t")),
    (msh() + "\nZ\x00Z", False, False, bad_name("Z\x00Z")),
]


@pytest.mark.parametrize("text, strict, required, message", RULE_CASES, ids=[str(i) for i in range(len(RULE_CASES))])
def test_rule_texts(text, strict, required, message):
    assert outcome(text, strict, required) == message


@pytest.mark.parametrize(
    "text",
    [
        msh(f1="é~\\"),  # 3 characters, 4 bytes
        msh(f1="€~"),  # 2 characters, 4 bytes
        msh(f11="2.5.1"),
        msh(f8="ADT^A01^"),
        msh(f8="^^"),
        msh() + "\npid|1\nPID|1",
        msh() + "\nabc|1\nXYZ\nZzZ|",
        msh(f8="ADT^A01^ADT_A01^extra"),
    ]
    + [msh(f11=v) for v in SUPPORTED.split(", ")],
)
def test_passes_in_strict_mode(text):
    assert outcome(text + "\nPID", True, True) is None


@pytest.mark.parametrize("text", [msh(f11="3.0"), msh(f11="v2.5"), msh(f8="ADT"), msh(f8="")])
def test_version_and_type_only_checked_in_strict_mode(text):
    assert outcome(text, False, False) is None
    assert outcome(text, None, False) is None  # strict_mode None means the object's option (false)


def test_message_type_pieces_are_cut_at_circumflex_only():
    assert outcome(msh(f1="#~\\&", f8="ADT#A01#X"), True, False) == TYPE_3


# ---------------------------------------------------------------------------
# Lengths (bytes, 65536 inclusive)


@pytest.mark.parametrize(
    "value, message",
    [
        ("a" * 65536, None),
        ("a" * 65537, too_long(65537)),
        ("a" * 70000, too_long(70000)),
        ("é" * 30000, None),
        ("é" * 40000, too_long(80000)),
        ("é" * 32768, None),
        ("é" * 32768 + "a", too_long(65537)),
        ("€" * 21845 + "a", None),
        ("€" * 21846, too_long(65538)),
        ("😀" * 16384, None),
        ("😀" * 16384 + "a", too_long(65537)),
        ("a^" * 32768, None),
        ("a^" * 32768 + "b", too_long(65537)),  # the field value is checked before its components
        ("ab~" * 30000, too_long(90000)),  # repetitions keep the raw text as the field value
        ("\\F\\" * 21846, too_long(65538)),  # validation never unescapes
    ],
    ids=[
        "ascii-at-limit",
        "ascii-one-over",
        "ascii-far-over",
        "2-byte-under",
        "2-byte-over",
        "2-byte-at-limit",
        "2-byte-one-over",
        "3-byte-at-limit",
        "3-byte-over",
        "4-byte-at-limit",
        "4-byte-one-over",
        "components-at-limit",
        "components-one-over",
        "repetitions-over",
        "escapes-counted-raw",
    ],
)
def test_field_length_limit(value, message):
    text = msh() + "\nNTE|1|" + value + "\n" + PID
    assert outcome(text, False, True) == message
    assert outcome(text, True, False) == message


def test_length_limit_applies_to_the_header_and_names_the_first_field_in_index_order():
    assert outcome(msh(f2="a" * 65537), False, False) == too_long(65537)
    line = "NTE" + "".join(f"|{'a' * 65537 if i == 3 else 'b' * 70000 if i == 10 else ''}" for i in range(1, 11))
    assert outcome(msh() + "\n" + line, False, False) == too_long(65537)


# ---------------------------------------------------------------------------
# The order in which rules fire

ORDER_CASES = [
    ("rule 2 before 3", "PID", True, True, MISSING_MSH),
    ("rule 3 before 5", "MSH|^~", True, True, TOO_FEW),
    ("rule 5 before 7", msh(f1="^~", f11="3.0"), True, True, separators("^~")),
    ("rule 5 before 9", msh(f1="^~", f8="X"), True, True, separators("^~")),
    ("rule 5 before 10", msh(f1="^"), False, True, separators("^")),
    ("rule 5 before 13", msh(f1="^" * 70000), False, False, separators("^" * 70000)),
    ("rule 7 before 9", msh(f11="3.0", f8="X"), True, True, unsupported("3.0")),
    ("rule 7 before 10", msh(f11="3.0"), True, True, unsupported("3.0")),
    ("rule 9 before 10", msh(f8="X"), True, True, TYPE_3),
    ("rule 10 before 11", msh() + "\n\n", False, True, MISSING_PID),
    ("rule 10 before 12", msh() + "\nPV1", False, True, MISSING_PID),
    ("rule 10 before 13", msh(f2="a" * 70000), False, True, MISSING_PID),
    ("rule 11 of an earlier segment before 12 of a later one", msh() + "\n\nPV1\n" + PID, False, True, empty_name(2)),
    ("rule 12 of an earlier segment before 11 of a later one", msh() + "\nPV1\n\n" + PID, False, True, bad_name("PV1")),
    ("rule 12 before 13 in one segment", msh() + "\nPV1|" + "a" * 70000, False, False, bad_name("PV1")),
    (
        "rule 13 of an earlier segment before 12 of a later one",
        msh() + "\nNTE|" + "a" * 70000 + "\nPV1",
        False,
        False,
        too_long(70000),
    ),
    ("rule 13 of the header before 12 of a later one", msh(f3="a" * 65537) + "\nPV1", False, False, too_long(65537)),
    ("rule 13 before 11 of a later segment", msh() + "\nNTE|" + "a" * 65537 + "\n", False, False, too_long(65537)),
]


@pytest.mark.parametrize("name, text, strict, required, message", ORDER_CASES, ids=[c[0] for c in ORDER_CASES])
def test_rule_order(name, text, strict, required, message):
    assert outcome(text, strict, required) == message


# ---------------------------------------------------------------------------
# Options and the validation inside hl7_json


def test_validate_option_resolution():
    h = Hl7Json(msh(f11="3.0"), strict_validation=True)
    with raises_plain(unsupported("3.0")):
        h.validate(None, False)
    h.validate(False, False)
    with raises_plain(MISSING_PID):
        h.validate(False, None)  # validate_required_fields None means true
    h.strict_validation = False
    h.validate(None, False)
    with raises_plain(unsupported("3.0")):
        h.validate(True, False)


def test_validate_ignores_validation_enabled_and_escaping():
    h = Hl7Json(GOOD, validation_enabled=False, escaping_enabled=True)
    assert h.validate(True, True) is None
    h = Hl7Json(msh(f1="\\S\\\\S\\"), escaping_enabled=True)
    # raw text "\S\\S\" is 7 bytes, unescaped it would be "^^"
    with raises_plain(separators("\\S\\\\S\\")):
        h.validate(False, False)


def test_conversion_validates_only_when_enabled():
    h = Hl7Json(msh(f11="3.0") + "\nPV1")
    assert len(h.hl7_json) == 2
    h.validation_enabled = True
    with raises_plain(bad_name("PV1")):
        h.hl7_json
    with raises_plain(bad_name("PV1")):
        h._convert_hl7_to_json()
    h = Hl7Json(msh(f11="3.0"), validation_enabled=True)
    assert h.hl7_json[0]["segment_name"] == "MSH"  # not strict, required fields never checked
    h.strict_validation = True
    with raises_plain(unsupported("3.0")):
        h.hl7_json
    h.validation_enabled = False
    assert len(h.hl7_json) == 1


def test_conversion_never_checks_required_fields():
    h = Hl7Json(msh(), validation_enabled=True, strict_validation=True)
    assert h.hl7_json == [Hl7Json(msh()).hl7_json[0]]


def test_final_line_terminator_fails_validation_in_conversion():
    with raises_plain(empty_name(3)):
        Hl7Json(msh() + "\r\n" + PID + "\r\n", validation_enabled=True).hl7_json
    assert len(Hl7Json(msh() + "\r\n" + PID, validation_enabled=True).hl7_json) == 2


def test_conversion_validation_parses_without_handler():
    # raw field 1 is 12 bytes; unescaped it would be the 4 characters "^~\&"
    raw = "\\S\\\\R\\\\E\\\\T\\"
    assert len(raw) == 12
    h = Hl7Json(msh(f1=raw), validation_enabled=True)
    with raises_plain(separators(raw)):
        h.hl7_json
    # raw "\T\x" is 4 bytes and passes; unescaped it is "&x"
    h = Hl7Json(msh(f1="\\T\\x"), validation_enabled=True)
    assert h.hl7_json[0]["1"] == "&x"


def test_empty_message_fails_rule_2_not_rule_1():
    assert outcome("", False, False) == MISSING_MSH
    with raises_plain(MISSING_MSH):
        Hl7Json("", validation_enabled=True).hl7_json


def test_object_usable_after_validation_error():
    h = Hl7Json(msh() + "\nPV1", validation_enabled=True)
    for _ in range(3):
        with raises_plain(bad_name("PV1")):
            h.hl7_json
        with raises_plain(MISSING_PID):
            h.validate(False, True)
    h.validation_enabled = False
    assert [r["segment_name"] for r in h.hl7_json] == ["MSH", "PV1"]
    assert h.hl7_string == msh() + "\nPV1"
