"""The benchmark's stand-ins compute exactly what tessarin computes.

bench/run.py races tessarin against peer parsers followed by a walk, and
against a plain-Python assembler; a ratio means something only while both
sides do the same work. These checks keep the walks and the assembler honest.
"""

import pytest

import tessarin
from bench import generate, reference, walks

from conftest import MALFORMED_KEYS, ROOT, needs_peer

HEADER = "MSH|^~\\&|LAB|FAC|EHR|HOSP|20240101120000||ORU^R01^ORU_R01|42|P|2.5.1"

MESSAGES = {
    **{f"example-{p.stem}": p.read_bytes().decode() for p in sorted((ROOT / "examples").glob("*.hl7"))},
    "generated-12-obx": generate.oru_r01(12),
    "crlf-and-blank-lines-at-both-ends": "\r\n" + HEADER + "\r\nPID|1||12345^^^HOSP^MR~67890^^^X^PI||DOE^JOHN\r\n\r\n",
    "lf-only": HEADER + "\nPID|1||77^^^H^MR||ROE^RITA\nOBX|1|NM|718-7^Hgb^LN||13.1|g/dL",
    "escapes-that-cut-components": HEADER
    + "\rPID|1||9^^^H^MR||SMITH\\S\\JOHN\rNTE|1|L|Smith \\T\\ Co~A\\S\\B^C"
    + "\rOBX|1|TX|N^Note^L||one\\X0D\\\\X0A\\two \\F\\ three \\E\\ four\\.br\\five \\H\\x\\N\\||||||F",
    "repetitions-with-components": HEADER + "\rPID|1||1^^^A^MR~2^^^B^PI~3||X^Y~Z^W||19800101|M",
}

EDGE_RECORDS = {
    "empty-list": [],
    "empty-records": [{}, {}],
    "name-only": [{"segment_name": "PID", "0": "x"}],
    "no-name": [{"1": "a", "3": "c"}],
    "gaps": [{"segment_name": "ZZZ", "1.3": "c", "2[2]": "r", "4": ""}],
    "single-components": [{"segment_name": "Z", "1.1": "only", "2[1].1": "r", "3[0]": "x", "3[0].2": "y"}],
    "whole-value-gives-way": [{"segment_name": "ZZZ", "1": "whole", "1.2": "b"}],
    "one-place-many-keys": [
        {"1[0].0": "f", "1[0]": "e", "1.0": "d", "+1": "c", "01": "b", "1": "a", "segment_name": "Z"}
    ],
    "skipped-keys": [
        {k: "v" for k in MALFORMED_KEYS} | {"segment_name": "ZZZ", "2": "kept", "1[0]abc": "r", "1[1].2": "c"}
    ],
    "special-characters": [{"segment_name": "Z^Z", "1": "a|b^c~d&e\\f", "2": "tab\there\r\nnew line", "3": "é ü"}],
    "highest-index": [{"segment_name": "Z", "3[65535]": "r", "2.65535": "c"}],
    "index-overflowing-64-bits-is-skipped": [{"segment_name": "Z", "18446744073709551616": "x", "1": "a"}],
}

REFUSED_RECORDS = {
    "index-above-bound": ([{"segment_name": "Z", "1": "a"}, {"segment_name": "Z", "65536": "x"}], (True, False)),
    "repetition-above-bound": ([{"3[70000].1": "x"}], (True, False)),
    "name-with-separator": ([{"segment_name": "PID|x", "1": "a"}], (True,)),
    "name-with-line-feed": ([{"segment_name": "PID\nEVN"}], (True,)),
    "first-error-wins": ([{"segment_name": "A|B", "99999": "x"}], (True,)),
}


def _tessarin_records(text):
    return tessarin.Hl7Json(text).hl7_json


@pytest.mark.integration
@pytest.mark.parametrize("name", sorted(MESSAGES))
@pytest.mark.parametrize("peer", sorted(walks.PEERS))
def test_peer_walk_builds_tessarin_records(peer, name):
    needs_peer({"python-hl7": "hl7", "hl7apy": "hl7apy"}[peer], peer)
    text = MESSAGES[name]
    assert walks.PEERS[peer](text) == _tessarin_records(text)


@pytest.mark.parametrize("name", sorted(MESSAGES))
def test_reference_records_match_in_content_and_order(name):
    ours = _tessarin_records(MESSAGES[name])
    theirs = reference.records(MESSAGES[name])
    assert theirs == ours
    assert [list(r) for r in theirs] == [list(r) for r in ours]


UNESCAPE_CASES = [
    "\\F\\x\\S\\x\\R\\x\\E\\x\\T\\x\\X0A\\x\\X0D\\x\\X0D0A\\x\\X20\\x\\X09\\",
    "\\F-x",
    "abc\\",
    "\\X0D\\X0A\\",
    "\\Fé\\",
    "\\.br\\",
    "\\x0a\\",
    "a\\E\\b",
    "a\\\\b",
    "\\H\\bold\\N\\",
    "\\F",
    "\\Z\\",
    "x\\S\\y~\\R\\",
]


@pytest.mark.parametrize("value", UNESCAPE_CASES)
def test_reference_unescape_matches_tessarin(value):
    line = f"ZZZ|{value}|{value}^tail"
    assert reference.records(line) == _tessarin_records(line)


@pytest.mark.parametrize("escaped", [True, False], ids=["escaped", "unescaped"])
@pytest.mark.parametrize("name", sorted(MESSAGES) + sorted(EDGE_RECORDS))
def test_reference_assembler_matches_tessarin(name, escaped):
    records = EDGE_RECORDS[name] if name in EDGE_RECORDS else _tessarin_records(MESSAGES[name])
    converter = tessarin.JsonHl7(records)
    expected = converter.hl7_string if escaped else converter.hl7_string_unescaped
    assert reference.assemble(records, escaped) == expected


@pytest.mark.parametrize("name", sorted(REFUSED_RECORDS))
def test_reference_assembler_refuses_like_tessarin(name):
    records, modes = REFUSED_RECORDS[name]
    for escaped in modes:
        converter = tessarin.JsonHl7(records)
        with pytest.raises(Exception) as ours:
            converter.hl7_string if escaped else converter.hl7_string_unescaped
        with pytest.raises(Exception) as theirs:
            reference.assemble(records, escaped)
        assert theirs.value.args == ours.value.args


def test_reference_assembler_keeps_unsafe_name_unescaped():
    records = [{"segment_name": "PID|x", "1": "a"}]
    assert reference.assemble(records, False) == tessarin.JsonHl7(records).hl7_string_unescaped == "PID|x|a"
