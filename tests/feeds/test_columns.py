"""The native column builder against the dict path: for every message and
every option set, the batch it builds equals, value for value, the batch
pyarrow builds from Hl7Json's records, errors included."""

from __future__ import annotations

import itertools
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import CORPUS_DIR, hl7_like_texts, needs_corpus

pa = pytest.importorskip("pyarrow")

from bench.dict_paths import encode_rows  # noqa: E402
from tessarin import Hl7Json  # noqa: E402
from tessarin_feeds import _columns  # noqa: E402
from tessarin_feeds.model import Converted, Message  # noqa: E402
from tessarin_feeds.parquet import SCHEMA, convert_to_batch  # noqa: E402
from tessarin_feeds.reader import read_messages  # noqa: E402

# validation_enabled, strict_validation, escaping_enabled: every combination.
OPTION_SETS = list(itertools.product([False, True], repeat=3))


def as_messages(texts: list[str], errors: list[str | None] | None = None) -> list[Message]:
    errors = errors or [None] * len(texts)
    return [
        Message("in", index, index * 7, text, error)
        for index, (text, error) in enumerate(zip(texts, errors, strict=True))
    ]


def converted_by_hl7json(message: Message, options: tuple[bool, bool, bool]) -> Converted:
    """The dict path's row: Hl7Json's records, or the text of what it raised."""
    if message.error is not None:
        return Converted(message, None, message.error)
    validate, strict, escaping = options
    try:
        converter = Hl7Json(
            message.text, validation_enabled=validate, strict_validation=strict, escaping_enabled=escaping
        )
        return Converted(message, converter.hl7_json, None)
    except Exception as error:  # noqa: BLE001 - Hl7Json raises plain Exception, and UnicodeEncodeError
        return Converted(message, None, str(error))


def assert_same_batch(messages: list[Message], options: tuple[bool, bool, bool]) -> pa.RecordBatch:
    validate, strict, escaping = options
    native = convert_to_batch(
        messages, validation_enabled=validate, strict_validation=strict, escaping_enabled=escaping
    )
    native.validate(full=True)
    reference = encode_rows([converted_by_hl7json(m, options) for m in messages], escaping_enabled=escaping)
    assert native.schema.equals(SCHEMA)
    if not native.equals(reference):
        for column in SCHEMA.names:  # name the first column and row that differ
            for row, (got, want) in enumerate(
                zip(native.column(column).to_pylist(), reference.column(column).to_pylist(), strict=True)
            ):
                assert got == want, f"{column} of row {row}: {messages[row].text!r}"
    return native


HEADER = "MSH|^~\\&|APP|FAC|APP|FAC|20240101120000||ORU^R01^ORU_R01|CTRL-9|P|2.5"
EDGES = [
    HEADER,
    HEADER + "\rPID|1||12345^^^HOSP^MR~67890^^^OTHER||DOE^JANE^Q||19700101|F",
    HEADER + "\nOBX|1|TX|NOTE||a \\T\\ b \\F\\ c \\S\\ d \\R\\ e \\E\\ f \\X41\\|||||F" + "|x" * 12,
    HEADER + "\r\n\r\nZZZ|\u00e9\u20ac\U0001f600|^|~|\\",
    "MSH|^~\\&",  # too short for any header field
    "MSH",
    "MSH\r|^~\\&|A|B|C|D|E|F|G|H",  # the line ends before the separator
    "MSH\u20ac^~\\&\u20acA\u20acB\u20acC\u20acD\u20acWHEN\u20ac\u20acTYPE\u20acID\u20acP",  # a separator of three bytes
    "MSH|^~\\&|A|B|C|D||||",  # empty fields read as absent
    "PID|1|no header",
    "",
    "\r\n",
    "msh|^~\\&|lower|case",
    "MSH|^~\\&|A|B|C|D|E|F|G|H|I|J|K|L|M|N|O|P|Q|R|S|T|U|V|W|X|Y|Z",
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01|ID\rPID|" + "|".join(f"{n}^{n}~{n}" for n in range(40)),
    # Components past 9 in fields past 9: field order leaves key order many times over.
    "MSH|^~\\&|A|B|C|D|2024||ORU^R01|2\rOBX|" + "|".join("~".join(["^".join("abcdefghijkl")] * 2) for _ in range(13)),
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01|1|P|9.9\rPID|1",  # unsupported version under strict validation
    "MSH|^~|A|B|C|D|2024||ADT^A01|1|P|2.5\rPID|1",  # separators of the wrong length
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01|1|P|2.5\rP1D|1",  # segment name that is not alphabetic
    "PID|1\rMSH|^~\\&",
]


@pytest.mark.parametrize("options", OPTION_SETS)
def test_edge_messages_equal_the_dict_path(options):
    batch = assert_same_batch(as_messages(EDGES), options)
    assert batch.num_rows == len(EDGES)


@needs_corpus
@pytest.mark.parametrize("options", OPTION_SETS)
def test_corpus_equals_the_dict_path(options):
    messages = [
        message
        for path in sorted(p for p in CORPUS_DIR.rglob("*") if p.is_file())
        for message in read_messages(path.read_bytes(), name=path.name)
    ]
    assert len(messages) > 100
    batch = assert_same_batch(messages, options)
    assert batch.column("segments").null_count < batch.num_rows


generated = hl7_like_texts(50)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(st.one_of(generated, st.builds(lambda body: HEADER + "\r" + body, generated)), min_size=1, max_size=8),
    st.sampled_from(OPTION_SETS),
)
def test_generated_messages_equal_the_dict_path(texts, options):
    assert_same_batch(as_messages(texts), options)


@pytest.mark.parametrize(
    "texts, errors",
    [
        (["", HEADER], ["undecodable bytes at 3", None]),
        ([HEADER, "bad\udc80text"], None),  # a lone surrogate: the text Hl7Json raises for it
        (["MSH|^~\\&|\ud800"], None),
    ],
)
def test_rows_that_are_not_converted_carry_the_error_hl7json_gives(texts, errors):
    batch = assert_same_batch(as_messages(texts, errors), (False, False, True))
    assert batch.column("error").null_count < len(texts)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _columns.build([HEADER, 5]), TypeError),
        (lambda: _columns.build(HEADER), TypeError),  # a str is not taken as its characters
        (lambda: _columns.build([HEADER], [None, None]), ValueError),
        (lambda: _columns.build([HEADER], [3]), TypeError),
        (lambda: _columns.build(7), TypeError),
    ],
)
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call()


def test_a_batch_is_handed_over_once():
    batch = _columns.build([HEADER, "PID|1"])
    assert len(batch) == 2
    assert pa.record_batch(batch).num_rows == 2
    with pytest.raises(ValueError, match="once"):
        pa.record_batch(batch)


def test_batches_built_in_threads_equal_those_built_one_at_a_time():
    # Large enough that each build lets the interpreter lock go.
    texts = [HEADER + "\r" + "\r".join(f"OBX|{n}|NM|CODE^{n}||{n * 7}|mg|||||F" for n in range(200))] * 40
    jobs = [texts[: 20 + k] for k in range(16)]
    alone = [pa.record_batch(_columns.build(job, escaping_enabled=k % 2 == 0)) for k, job in enumerate(jobs)]
    with ThreadPoolExecutor(8) as pool:
        together = list(
            pool.map(
                lambda kj: pa.record_batch(_columns.build(kj[1], escaping_enabled=kj[0] % 2 == 0)), enumerate(jobs)
            )
        )
    for one, other in zip(alone, together, strict=True):
        other.validate(full=True)
        assert one.equals(other)
