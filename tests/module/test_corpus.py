"""Every message of ../shared/corpus/hl7/ through Hl7Json.from_file, hl7_json and validate, and back.

Real messages from public HL7 toolkits' fixtures, with any line ends, some of
them malformed or not UTF-8.  Each must give records or one of the documented
exceptions, never anything else.  Skipped where the folder is absent.
"""

from __future__ import annotations

import pathlib

import pytest

from bench import reference
from tessarin import Hl7Json, JsonHl7

from conftest import CORPUS_DIR, is_validation_text

# Unicode White_Space (not Python's str.isspace, which also counts U+001C-U+001F)
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
)

FILES = sorted(p for p in CORPUS_DIR.glob("*") if p.is_file()) if CORPUS_DIR.is_dir() else []

pytestmark = [
    pytest.mark.integration,
    pytest.mark.skipif(not FILES, reason=f"the sample messages are not at {CORPUS_DIR}"),
]


def _expected_text(path: pathlib.Path):
    raw = path.read_bytes()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return None, "I/O error: stream did not contain valid UTF-8"
    if not text.strip(WHITE_SPACE):
        return None, "HL7 message is empty"
    return text, None


def _outcome(call):
    try:
        return call(), None
    except Exception as exc:  # noqa: BLE001
        assert type(exc) is Exception, f"{type(exc).__name__}: {exc}"
        assert len(exc.args) == 1
        return None, exc.args[0]


@pytest.mark.parametrize("path", FILES or [None], ids=[p.name for p in FILES] or ["absent"])
def test_corpus_message(path):
    text, file_error = _expected_text(path)
    h, error = _outcome(lambda: Hl7Json.from_file(str(path)))
    if file_error is not None:
        assert error == file_error
        return
    assert error is None
    assert type(h) is Hl7Json
    assert h.hl7_string == reference.replace_eof(text)

    # conversion, with and without the escape handler, against the reference model
    records = h.hl7_json
    assert isinstance(records, list) and all(type(r) is dict for r in records)
    assert len(records) == reference.replace_eof(text).count("\n") + 1
    assert [list(r.items()) for r in records] == [list(r.items()) for r in reference.records(text, escaping=True)]
    h.escaping_enabled = False
    plain = h.hl7_json
    assert [list(r.items()) for r in plain] == [list(r.items()) for r in reference.records(text, escaping=False)]

    # validation: success or one of the validator's texts; the conversion agrees with validate
    for strict in (False, True):
        for required in (False, True, None):
            result, message = _outcome(lambda strict=strict, required=required: h.validate(strict, required))
            assert result is None
            assert message is None or is_validation_text(message), message
        expected = _outcome(lambda strict=strict: h.validate(strict, False))[1]
        checked = Hl7Json.from_file(str(path), validation_enabled=True, strict_validation=strict)
        converted, message = _outcome(lambda checked=checked: checked.hl7_json)
        assert message == expected
        if message is None:
            assert converted == records

    # back to text: with escaping off the round trip is exact
    longest = max(max(line.count("|"), line.count("~"), line.count("^")) for line in h.hl7_string.split("\n"))
    j = JsonHl7(plain)
    if longest < 65535:
        assert j.hl7_string_unescaped == h.hl7_string
        assert j.hl7_string == reference.assemble(plain, True)
        assert JsonHl7(records).hl7_string == reference.assemble(records, True)
    else:
        with pytest.raises(Exception, match="^HL7 encoding error: index "):
            j.hl7_string_unescaped


def test_corpus_holds_the_expected_kinds_of_message():
    outcomes = [_expected_text(p)[1] for p in FILES]
    assert len(FILES) >= 100
    assert sum(o is None for o in outcomes) >= 100
