"""Random texts, options, records and JSON files against every member of both
classes. Whatever arrives, a call returns or raises one of the documented
exceptions: Exception with one of the module's texts, TypeError, or
UnicodeEncodeError for a lone surrogate. The members must also agree with
each other, and JSON files with Python's own json module."""

from __future__ import annotations

import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, rule

from tessarin import Hl7Json, JsonHl7

try:
    import numpy as np
except ImportError:  # interpreters without a numpy build yet
    np = None

MODULE_TEXTS = [
    r"HL7 validation error: .*",
    r"HL7 validation failed: .*",
    r"Missing required segment: (MSH \(Message Header\)|PID \(Patient Identification\))",
    r"Invalid segment name: .* \(must be exactly 3 alphabetic characters\)",
    r"Invalid field separators: .* \(must be exactly 4 characters\)",
    r"HL7 version not supported: .* \(supported versions: [0-9., ]+\)",
    r"(Field|Component) value exceeds maximum length: [0-9]+ > 65536 characters",
    r"HL7 encoding error: .*",
    r"I/O error: .*",
    r"HL7 message is empty",
    r"HL7 invalid format: Invalid JSON: .* at line [0-9]+ column [0-9]+",
]
TYPE_ERRORS = [
    r".* is not an instance of '(str|bool|dict|Sequence)'",
    r".* takes .* positional arguments? but [0-9]+ (was|were) given",
    r".* missing [0-9]+ required positional arguments?: .*",
    r".* got an unexpected keyword argument '.*'",
    r".* got multiple values for argument '.*'",
    r"Can't extract `str` to `Vec`",
    r"object of type '.*' does not define a '__bool__' conversion",
    r".*no arguments? \([0-9]+ given\)",  # the interpreter's own check of a no-argument method
]
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def has_surrogate(value) -> bool:
    if isinstance(value, str):
        return any("\ud800" <= c <= "\udfff" for c in value)
    if isinstance(value, dict):
        return any(has_surrogate(k) or has_surrogate(v) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return any(has_surrogate(v) for v in value)
    return False


REFUSED = object()


def call(function, *args, **kwargs):
    """The result, or REFUSED after an exception that the module documents."""
    try:
        return function(*args, **kwargs)
    except UnicodeEncodeError:
        assert has_surrogate((args, kwargs)), "UnicodeEncodeError without a lone surrogate"
    except TypeError as exc:
        assert type(exc) is TypeError
        assert any(re.fullmatch(p, str(exc), re.DOTALL) for p in TYPE_ERRORS), str(exc)
    except Exception as exc:  # noqa: BLE001
        assert type(exc) is Exception, f"{type(exc).__name__}: {exc}"
        assert len(exc.args) == 1 and any(re.fullmatch(p, exc.args[0], re.DOTALL) for p in MODULE_TEXTS), exc.args
    return REFUSED


# ---------------------------------------------------------------------------
# Strategies

CHARS = list("|^~\\&\r\n FSRETX0AD29.+[]MSHPIDVNZ1e") + ["\u00e9", "\u20ac", "\U0001f600", "\u0663", "\x00", "\t"]
SURROGATES = ["\ud800", "\udfff"]
texts = st.one_of(
    st.text(st.sampled_from(CHARS), max_size=120),
    st.text(max_size=40),
    st.text(st.sampled_from(CHARS + SURROGATES), max_size=20),
)
NAMES = ["MSH", "PID", "PV1", "NTE", "msh", "", "ZZZ", "OBX"]
fields = st.text(st.sampled_from(list("^~\\&ABC12 .") + ["\u00e9"]), max_size=12)
lines = st.builds(lambda name, fs: "|".join([name, *fs]), st.sampled_from(NAMES), st.lists(fields, max_size=14))
HEADER = "MSH|^~\\&|APP|FAC|APP|FAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5"
messages = st.builds(
    lambda head, body, end: "\r".join([head, *body]) + end,
    st.sampled_from([HEADER, HEADER.replace("2.5", "2.5.1"), HEADER[:-4], "PID|1"]),
    st.lists(lines, max_size=6),
    st.sampled_from(["", "\r", "\n", "\r\n"]),
)
hl7_texts = st.one_of(messages, texts)


class bool_:  # noqa: N801 - poses as numpy's boolean, but without a truth value
    __module__ = "numpy"


NUMPY_BOOLS = (np.bool_,) if np else ()
BOOLS = (bool, *NUMPY_BOOLS)
flags = st.sampled_from([None, True, False, *([np.bool_(True), np.False_] if np else [])])
wrong_flags = st.sampled_from([0, 1, "yes", 1.0, [], bool_()])
any_flags = st.one_of(flags, flags, wrong_flags)

numbers = st.one_of(st.integers(0, 14).map(str), st.sampled_from(["+1", "007", "0", "-1", "", " 1", "99999", "x"]))
keys = st.one_of(
    numbers,
    st.builds("{}.{}".format, numbers, numbers),
    st.builds("{}[{}]".format, numbers, numbers),
    st.builds("{}[{}].{}".format, numbers, numbers, numbers),
    st.just("segment_name"),
    st.text(st.sampled_from(CHARS), max_size=6),
)
values = st.one_of(texts, st.sampled_from(["", "^~\\&", "a b", "x|y"]))
records = st.dictionaries(keys, values, max_size=10)
record_lists = st.lists(records, max_size=5)
bad_items = st.sampled_from([5, None, ["a"], {"segment_name": 1}, {1: "a"}, {"a": None}, {"a": ["b"]}])
json_data = st.one_of(
    record_lists,
    record_lists.map(tuple),
    st.builds(lambda rs, bad, at: [*rs[:at], bad, *rs[at:]], record_lists, bad_items, st.integers(0, 5)),
    st.sampled_from(["", "[]", 3, None, {"segment_name": "PID"}, {"a"}, b"[]"]),
)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("surface")


def write(folder, content: bytes) -> str:
    path = folder / "input"
    path.write_bytes(content)
    return str(path)


# ---------------------------------------------------------------------------
# Hl7Json


@given(text=hl7_texts, options=st.tuples(any_flags, any_flags, any_flags), seg=texts)
def test_hl7_json_members(text, options, seg):
    h = call(Hl7Json, text, *options)
    if h is REFUSED:
        return
    assert "\r" not in h.hl7_string
    assert (h.validation_enabled, h.strict_validation, h.escaping_enabled) == tuple(
        bool(o) if o is not None else default for o, default in zip(options, (False, False, True), strict=False)
    )
    escaping = h.escaping_enabled
    records = call(lambda: h.hl7_json)
    assert call(h._convert_hl7_to_json) == records
    split = h._split_hl7_seg_to_json_with_escaping if escaping else h._split_hl7_seg_to_json
    if records is not REFUSED:
        assert records == [split(line) for line in h.hl7_string.split("\n")]
    else:
        assert h.validation_enabled
    h.validation_enabled = False
    assert h.hl7_json == [split(line) for line in h.hl7_string.split("\n")]
    for strict in (None, False, True):
        for required in (None, False, True):
            assert call(h.validate, strict, required) in (None, REFUSED)
    for method in (h._split_hl7_seg_to_json, h._split_hl7_seg_to_json_with_escaping):
        record = call(method, seg)
        if record is not REFUSED:
            assert (
                list(record) == sorted(record, key=lambda k: k.encode()) and record["segment_name"] == seg.split("|")[0]
            )


@given(text=hl7_texts)
def test_records_without_escaping_assemble_back(text):
    h = call(Hl7Json, text, escaping_enabled=False)
    if h is REFUSED:
        return
    j = JsonHl7(h.hl7_json)
    assert j.hl7_string_unescaped == h.hl7_string
    assert j.json_data == h.hl7_json


@given(flag=any_flags, value=st.one_of(any_flags, st.just(None)))
def test_option_writes(flag, value):
    h = Hl7Json(HEADER, flag, flag, flag) if isinstance(flag, BOOLS) else Hl7Json(HEADER)
    accepted = isinstance(value, BOOLS)
    for name in ("validation_enabled", "strict_validation", "escaping_enabled"):
        before = getattr(h, name)
        assert (call(setattr, h, name, value) is REFUSED) is not accepted
        assert getattr(h, name) is (bool(value) if accepted else before)  # a refused write changes nothing
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(h, name)
        assert getattr(h, name) is (bool(value) if accepted else before)


@given(
    content=st.one_of(hl7_texts.map(lambda t: t.encode("utf-8", "surrogatepass")), st.binary(max_size=60)),
    options=st.tuples(any_flags, any_flags, any_flags),
)
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_hl7_from_file(folder, content, options):
    h = call(Hl7Json.from_file, write(folder, content), *options)
    if h is REFUSED:
        return
    text = content.decode("utf-8")
    assert text.strip(WHITE_SPACE)
    assert h.hl7_string == Hl7Json(text).hl7_string


# ---------------------------------------------------------------------------
# JsonHl7


@given(data=json_data, escape=any_flags)
def test_json_hl7_members(data, escape):
    j = call(JsonHl7, data)
    if j is REFUSED:
        return
    assert j.json_data == [dict(sorted(r.items(), key=lambda kv: kv[0].encode())) for r in data]
    escaped = call(lambda: j.hl7_string)
    plain = call(lambda: j.hl7_string_unescaped)
    assert call(j._convert_json_to_hl7, True) == escaped
    assert call(j._convert_json_to_hl7, escape=False) == plain
    result = call(j._convert_json_to_hl7, escape)
    if isinstance(escape, BOOLS):
        assert result == (escaped if escape else plain)
    if plain is not REFUSED:
        assert plain.count("\n") >= len(data) - 1


def json_oracle(content: bytes):
    """What from_file must give: records, or "empty" / "invalid" / "io"."""
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError:
        return "io"
    if not text.strip(WHITE_SPACE):
        return "empty"
    try:
        value = json.loads(text)
    except ValueError:
        return "invalid"
    if not isinstance(value, list) or not all(
        isinstance(r, dict) and all(isinstance(v, str) for v in r.values()) for r in value
    ):
        return "invalid"
    if has_surrogate(value):  # a lone \\uD800 cannot become UTF-8
        return "invalid"
    return [dict(sorted(r.items(), key=lambda kv: kv[0].encode())) for r in value]


def mutate(text: str, edits) -> str:
    for position, action, char in edits:
        at = position % (len(text) + 1)
        if action == 0:
            text = text[:at] + text[at + 1 :]
        elif action == 1:
            text = text[:at] + char + text[at:]
        else:
            text = text[:at]
    return text


json_texts = st.builds(
    lambda rs, ascii_only, indent, edits: mutate(json.dumps(rs, ensure_ascii=ascii_only, indent=indent), edits),
    st.lists(st.dictionaries(keys, values, max_size=5), max_size=4),
    st.booleans(),
    st.sampled_from([None, 1, "\t"]),
    st.lists(
        st.tuples(st.integers(0, 10**6), st.integers(0, 2), st.sampled_from(list('[]{}",:\\u0 \n\ufeff\x0c1'))),
        max_size=3,
    ),
)


@given(text=json_texts)
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], max_examples=300)
def test_json_from_file_against_json_module(folder, text):
    content = text.encode("utf-8", "surrogatepass")
    expected = json_oracle(content)
    try:
        j = JsonHl7.from_file(write(folder, content))
    except Exception as exc:  # noqa: BLE001
        assert type(exc) is Exception
        message = str(exc)
        if expected == "empty":
            assert message == "HL7 message is empty"
        elif expected == "io":
            assert message == "I/O error: stream did not contain valid UTF-8"
        else:
            assert expected == "invalid", f"refused a valid file: {message}"
            match = re.fullmatch(
                r"HL7 invalid format: Invalid JSON: .* at line ([0-9]+) column ([0-9]+)", message, re.DOTALL
            )
            assert match, message
            line, column = int(match[1]), int(match[2])
            lines_ = content.decode("utf-8").replace("\r\n", "\n").replace("\r", "\n").split("\n")
            assert 1 <= line <= len(lines_) and 1 <= column <= len(lines_[line - 1]) + 1, (line, column)
        return
    assert isinstance(expected, list), f"accepted a file that should fail ({expected})"
    assert j.json_data == expected


# ---------------------------------------------------------------------------
# Random sequences of calls on living objects


class Session(RuleBasedStateMachine):
    hl7 = Bundle("hl7")
    json_ = Bundle("json")

    def __init__(self):
        super().__init__()
        self.options = {}

    @rule(target=hl7, text=hl7_texts, options=st.tuples(flags, flags, flags))
    def new_hl7(self, text, options):
        h = call(Hl7Json, text, *options)
        if h is not REFUSED:
            self.options[id(h)] = h, [bool(o) if o is not None else d for o, d in zip(options, (0, 0, 1), strict=False)]
        return h

    @rule(target=json_, data=json_data)
    def new_json(self, data):
        return call(JsonHl7, data)

    @rule(h=hl7, index=st.integers(0, 2), value=any_flags)
    def write_option(self, h, index, value):
        if h is REFUSED:
            return
        name = ("validation_enabled", "strict_validation", "escaping_enabled")[index]
        if call(setattr, h, name, value) is not REFUSED:
            self.options[id(h)][1][index] = bool(value)

    @rule(h=hl7, strict=any_flags, required=any_flags, seg=texts)
    def use_hl7(self, h, strict, required, seg):
        if h is REFUSED:
            return
        call(lambda: h.hl7_json)
        call(h.validate, strict, required)
        call(h._split_hl7_seg_to_json, seg)
        call(h._split_hl7_seg_to_json_with_escaping, seg=seg)
        call(h._convert_hl7_to_json, seg)

    @rule(j=json_, escape=any_flags)
    def use_json(self, j, escape):
        if j is REFUSED:
            return
        assert call(lambda: JsonHl7(j.json_data).hl7_string_unescaped) == call(lambda: j.hl7_string_unescaped)
        call(j._convert_json_to_hl7, escape)
        call(j._convert_json_to_hl7)

    @invariant()
    def options_read_back(self):
        for h, options in self.options.values():
            assert [h.validation_enabled, h.strict_validation, h.escaping_enabled] == options


TestSession = Session.TestCase
TestSession.settings = settings(max_examples=60, stateful_step_count=20, deadline=None)
