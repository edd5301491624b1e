"""The native JSON text of records against the dict path: for every message
and option set, _columns.encode_records gives the very bytes of
orjson.dumps(Hl7Json(text, ...).hl7_json), or the text of what Hl7Json
raised; and the command's JSON Lines equal those encode_rows writes from
Hl7Json's records."""

from __future__ import annotations

import gzip
import itertools

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import CORPUS_DIR, hl7_like_texts, needs_corpus

orjson = pytest.importorskip("orjson")

from bench import reference  # noqa: E402
from bench.dict_paths import jsonl_by_dicts  # noqa: E402
from tessarin import Hl7Json  # noqa: E402
from tessarin_feeds import _columns  # noqa: E402
from tessarin_feeds.model import Message  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402
from tessarin_feeds.summary import Tally  # noqa: E402
from tessarin_feeds.tasks import Settings, process_messages  # noqa: E402

# validation_enabled, strict_validation, escaping_enabled: every combination.
OPTION_SETS = list(itertools.product([False, True], repeat=3))


def by_dicts(text: str, error: str | None, options, hl7_syntax: bool = False) -> bytes | str:
    """The dict path: orjson's bytes of Hl7Json's records, or the text it raised;
    with `hl7_syntax`, validated by the command's rules (_columns.validate) instead."""
    if error is not None:
        return error
    validate, strict, escaping = options
    if hl7_syntax and validate and (failure := _columns.validate(text, strict_mode=strict)) is not None:
        return failure
    try:
        converter = Hl7Json(
            text, validation_enabled=validate and not hl7_syntax, strict_validation=strict, escaping_enabled=escaping
        )
        return orjson.dumps(converter.hl7_json)
    except Exception as raised:  # noqa: BLE001 - Hl7Json raises plain Exception, and UnicodeEncodeError
        return str(raised)


def assert_same_as_dicts(
    texts: list[str], options, errors: list[str | None] | None = None, hl7_syntax: bool = False
) -> list[bytes | str]:
    validate, strict, escaping = options
    got, segments = _columns.encode_records(
        texts,
        errors,
        validation_enabled=validate,
        strict_validation=strict,
        escaping_enabled=escaping,
        hl7_syntax=hl7_syntax,
    )
    want = [
        by_dicts(text, error, options, hl7_syntax)
        for text, error in zip(texts, errors or [None] * len(texts), strict=True)
    ]
    for index, (one, other) in enumerate(zip(got, want, strict=True)):
        assert one == other, f"item {index}: {texts[index]!r}"
    assert segments == sum(len(orjson.loads(item)) for item in want if type(item) is bytes)
    return got


HEADER = "MSH|^~\\&|APP|FAC|APP|FAC|20240101120000||ORU^R01^ORU_R01|CTRL-9|P|2.5"
# Every byte that JSON text escapes, and some that it must not (DEL, C1, U+2028).
CONTROLS = "".join(map(chr, range(0x20))) + '"\\/\x7f\x80\x9f\u2028\u2029'
EDGES = [
    "",
    HEADER,
    HEADER + "\rPID|1||" + CONTROLS + "|" + CONTROLS[::-1] + "^" + CONTROLS,
    HEADER + "\r\rOBX|1\n\rOBX|2\r\n\r\nOBX|3\n\n\r\rZZZ|end",  # lone CR, LF CR, blank lines
    "\x00MSH\x00|\x00^\x00|\x00",  # NUL in a segment name and values
    'Z"Q\\|"|\\|\t\n',  # quotes and backslashes in a name and values
    "\u00e9\u20ac\U0001f600|\u00e9|\u20ac^\U0001f600~\u00e9",  # non-ASCII name and values
    HEADER + "\rOBX|1|TX|NOTE||a \\T\\ b \\F\\ c \\S\\ d \\R\\ e \\E\\ f \\X41\\ \\X0D0A\\|||||F" + "|x" * 12,
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01|ID\rPID|" + "|".join(f"{n}^{n}~{n}" for n in range(40)),  # keys past 9 sort apart
    "PID|" + "|".join(f"{n}^" * 20 for n in range(30)),  # components past the cached keys
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01|1|P|9.9\rPID|1",  # unsupported version under strict validation
    "MSH|^~|A|B|C|D|2024||ADT^A01|1|P|2.5\rPID|1",  # separators of the wrong length
    "PID|1\rMSH|^~\\&",
    "no separators at all, a name " * 40,
]
# A value with one byte to escape at every place of a 16-byte block and its tail.
EDGES += [f"ZZZ|{'a' * n}{c}{'b' * (40 - n)}|{c * n}" for n in range(34) for c in ('"', "\x01")]
# Values shorter than a block: one byte to escape at every place, and clean
# ones with such bytes right after their end, where a block read sees them.
EDGES += [
    f"ZZZ|{'a' * k}{c}{'b' * (n - k - 1)}|{c * 16}|{'a' * n}|{c}{'b' * 20}"
    for n in range(1, 16)
    for k in range(n)
    for c in ('"', "\x1f", "\\")
]
# Empty values of every key form, inside the shared key table and past it
# (a common key's head holds an empty value's whole entry).
EDGES += [
    "ZEM|" + "|" * 130,
    "ZEM|" + "^" * 40 + "|" + "~" * 20 + "|" + "~".join("^" * k for k in range(20)),
    "ZEM|1|" + "|".join("~".join("^" * c for _ in range(r)) for r in range(1, 12) for c in (0, 3, 17)),
]
# Long clean values: their tail after the whole blocks ends the message, or
# meets a byte to escape where a block read sees it.
EDGES += [f"ZLV|{'a' * n}{end}" for n in range(16, 49) for end in ("", '|"', "\x01b", "^\\")]


@pytest.mark.parametrize("hl7_syntax", [False, True])
@pytest.mark.parametrize("options", OPTION_SETS)
def test_edge_messages_equal_the_dict_path(options, hl7_syntax):
    assert_same_as_dicts(EDGES + ["MSH|^~\\&#|A|B|C|D|2024||ADT^A01|1|P|2.7\rPV1|1\rZ01|x"], options, None, hl7_syntax)


def corpus_messages() -> list[Message]:
    return [
        message
        for path in sorted(p for p in CORPUS_DIR.rglob("*") if p.is_file())
        for message in read_messages(path.read_bytes(), name=path.name)
    ]


@needs_corpus
@pytest.mark.parametrize("hl7_syntax", [False, True])
@pytest.mark.parametrize("options", OPTION_SETS)
def test_corpus_equals_the_dict_path(options, hl7_syntax):
    messages = corpus_messages()
    assert len(messages) > 100
    got = assert_same_as_dicts([m.text for m in messages], options, [m.error for m in messages], hl7_syntax)
    assert sum(type(item) is bytes for item in got) > 10


generated = hl7_like_texts(60)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(st.one_of(generated, st.builds(lambda body: HEADER + "\r" + body, generated)), min_size=1, max_size=8),
    st.sampled_from(OPTION_SETS),
)
def test_generated_messages_equal_the_dict_path(texts, options):
    assert_same_as_dicts(texts, options)


# Many separators, so that fields, components and repetitions pass 9 and the
# keys leave field order in several runs at once; checked against the plain
# Python model of the records (bench/reference.py), which shares no code
# with the scanner that Hl7Json and the native writer both use.
WIDE = ["|", "|", "^", "^", "^", "~", "\\", "&", "\\T\\", "\\F\\", "^~\\&", "A", "1", '"', "\x01", "\u00e9", ""]


# Up to 30 fields of up to 9 components or repetitions each: the keys fall in
# two runs of field order ("1".."9", "10".."30"), merged a stretch at a time.
few_components = st.lists(st.sampled_from(["", "a", '"', "\\T\\", "~"]), max_size=9).map("^".join)
two_runs = st.lists(few_components, min_size=9, max_size=30).map(lambda fields: "ZTR|" + "|".join(fields))


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.one_of(st.lists(st.sampled_from(WIDE), max_size=120).map("".join), two_runs), min_size=1, max_size=4),
    st.booleans(),
)
def test_records_equal_the_reference_model(lines, escaping):
    text = "\r".join(lines)
    (got,), _ = _columns.encode_records([text], escaping_enabled=escaping)
    assert got == orjson.dumps(reference.records(text, escaping))


# Keys whose numbers reach four digits (field, component or repetition past
# 999, ordered by their text rather than by number) beside short ones, and
# segments of many fields of ten or more components, whose keys fall in many
# runs of field order.
far_keys = st.builds(
    lambda gap, value, components, repetitions: "ZKN" + "|" * gap + value + "^x" * components + "~y" * repetitions,
    st.integers(1, 1100),
    st.sampled_from(["", "a", "b^c", "d~e^f", "\\T\\"]),
    st.sampled_from([0, 1, 9, 10, 99, 100, 998, 999, 1000, 1001]),
    st.sampled_from([0, 1, 9, 10, 11, 999, 1000]),
)
many_runs = st.lists(st.integers(0, 14).map(lambda n: "^".join("c" * n)), min_size=2, max_size=120).map(
    lambda fields: "ZMR|" + "|".join(fields)
)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(far_keys, many_runs, two_runs), min_size=1, max_size=3), st.booleans())
def test_far_keys_and_many_runs_equal_the_reference_model(lines, escaping):
    text = "\r".join(lines)
    (got,), _ = _columns.encode_records([text], escaping_enabled=escaping)
    assert got == orjson.dumps(reference.records(text, escaping))


# Sources whose names JSON must escape; messages that fail, that convert,
# that were cut short, and that batch envelopes enclose.
ENVELOPE = ('FHS|^~\\&|LAB|"X"|||20240101', "BHS|^~\\&|LAB|\t|||20240101")
FEED = [
    Message(source, index, index * 1000 + offset, text, error, cut, envelope)
    for offset, source in enumerate(["in.hl7", 'odd "name"\\\t\u00e9.hl7', ""])
    for index, (text, error, cut, envelope) in enumerate(
        [
            (HEADER, None, None, ()),
            ("", "undecodable bytes at 3", None, ()),
            ("x\udc80", None, None, ()),
            (HEADER + "\rPID|1", None, "frame without its end block", ()),
            (EDGES[10], None, 'cut "short"', ()),
            (HEADER, None, None, ENVELOPE),
            (EDGES[11], None, "cut", ENVELOPE),
        ]
        + [(edge, None, None, ()) for edge in EDGES[:14]]
    )
]


@pytest.mark.parametrize("options", OPTION_SETS)
@pytest.mark.parametrize("output_format", ["jsonl", "jsonl.gz"])
def test_the_commands_lines_equal_the_dict_paths(options, output_format):
    validate, strict, escaping = options
    run = Settings(output_format=output_format, validate=validate, strict=strict, escaping=escaping)
    native, by_dicts = Tally(), Tally()
    payload = process_messages(list(FEED), run, native)
    want = jsonl_by_dicts(list(FEED), run, by_dicts)
    if output_format == "jsonl.gz":
        payload, want = gzip.decompress(payload), gzip.decompress(want)
    assert payload.split(b"\n") == want.split(b"\n")
    assert native == by_dicts
    assert native.messages == len(FEED) and 0 < native.converted < len(FEED) and native.failures
