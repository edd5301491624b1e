"""The command's validation (README, "Validation by the command"): rules 1 to
9, where 3 and 8 follow HL7 and the rest are the module's, checked against a
model of the README's list, against the module where the two lists agree,
through the column builder and the command, and the summary's reasons."""

from __future__ import annotations

import json
import pathlib
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessarin import Hl7Json
from tessarin_feeds._columns import validate
from tessarin_feeds.reader import read_messages
from tessarin_feeds.summary import reason_of

from conftest import CORPUS_DIR, SUPPORTED, needs_command, needs_corpus

VERSIONS = SUPPORTED.split(", ")
RULE_3 = "Invalid field separators: {} (must be 4 characters, or 5 with the truncation character)"
RULE_8 = "Invalid segment name: {} (must be 3 characters: an uppercase letter, then uppercase letters or digits)"


def model(text: str, strict: bool, required: bool) -> str | None:
    """The README's list of the command's rules, read literally."""
    for line_end in ("\r\n", "\n\r", "\r"):
        text = text.replace(line_end, "\n")
    lines = text.split("\n")
    names = [line.split("|")[0] for line in lines]
    if names[0] != "MSH":
        return "Missing required segment: MSH (Message Header)"  # 1
    header = lines[0].split("|")[1:]
    if len(header) < 11:
        return "HL7 validation failed: MSH segment must have at least 12 fields"  # 2
    if len(header[0].encode()) not in (4, 5):
        return RULE_3.format(header[0])  # 3
    if strict and header[10] not in VERSIONS:
        return f"HL7 version not supported: {header[10]} (supported versions: {SUPPORTED})"  # 4
    if strict and header[7].count("^") < 2:  # 5
        return "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"
    if required and "PID" not in names:
        return "Missing required segment: PID (Patient Identification)"  # 6
    for number, (line, name) in enumerate(zip(lines, names, strict=True), 1):
        if not name:
            return f"HL7 validation failed: Segment {number} has empty segment name"  # 7
        if not re.fullmatch("[A-Z][A-Z0-9]{2}", name):
            return RULE_8.format(name)  # 8
        for field in line.split("|")[1:]:
            if len(field.encode()) > 65536:
                return f"Field value exceeds maximum length: {len(field.encode())} > 65536 characters"  # 9
    return None


def module(text: str, strict: bool, required: bool) -> str | None:
    try:
        Hl7Json(text).validate(strict, required)
    except Exception as error:  # noqa: BLE001 - the module raises plain Exception
        return str(error)
    return None


# Names both lists take alike (or refuse by rule 7), then names on which they
# differ or which fail rule 8, whose texts differ.
AGREED_NAMES = ["PID", "OBX", "EVN", "MSH", ""]
HL7_ONLY_NAMES = ["PV1", "NK1", "PD1", "Z01", "ZPD", "pv1", "Pid", "1AB", "ÉAB", "A 1", "AB", "ABCD", "P_D", "P|D"]

names = st.one_of(st.sampled_from(AGREED_NAMES + HL7_ONLY_NAMES), st.text("AZaz09_é ", max_size=4))
fields = st.one_of(st.sampled_from(["", "1", "x^y~z&w", "é"]), st.sampled_from([65536, 65537, 70000]).map("v".__mul__))


@st.composite
def messages(draw, agreed: bool = False):
    """A message text; `agreed` keeps to what the two lists judge alike."""
    separators = draw(st.sampled_from(["^~\\&"] if agreed else ["^~\\&", "^~\\&#", "^~", "^~\\&#!", "^~\\é", ""]))
    version = draw(st.sampled_from([*VERSIONS, "3.0", "2.5.2", ""]))
    kind = draw(st.sampled_from(["ADT^A01^ADT_A01", "ADT^A01", ""]))
    header = ["MSH", separators, "APP", "FAC", "APP", "FAC", "2024", "", kind, "ID1", "P", version]
    header = header[: draw(st.integers(9, 12))] + draw(st.lists(fields, max_size=2))
    some_name = st.sampled_from(AGREED_NAMES) if agreed else names
    segment_names = draw(st.lists(some_name, max_size=4))
    lines = ["|".join(header)] + ["|".join([name, *draw(st.lists(fields, max_size=2))]) for name in segment_names]
    if draw(st.booleans()):
        lines[0] = draw(some_name) + lines[0][3:]
    return draw(st.sampled_from(["\r", "\n", "\r\n"])).join(lines)


MODES = [(strict, required) for strict in (False, True) for required in (False, True)]


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(messages())
def test_every_rule_as_the_readme_lists_it(text):
    for strict, required in MODES:
        assert validate(text, strict_mode=strict, validate_required_fields=required) == model(text, strict, required)


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(messages(agreed=True))
def test_rules_other_than_3_and_8_are_the_modules(text):
    for strict, required in MODES:
        assert validate(text, strict_mode=strict, validate_required_fields=required) == module(text, strict, required)


@needs_corpus
def test_the_corpus_fails_only_for_real_reasons():
    failures = []
    for path in sorted(CORPUS_DIR.glob("*.hl7")):
        for message in read_messages(path.read_bytes(), name=path.name, encoding_errors="replace"):
            for strict, required in MODES:
                got = validate(message.text, strict_mode=strict, validate_required_fields=required)
                assert got == model(message.text, strict, required), path.name
                failures.append(got)
    # Standard and Z segments and the truncation character pass everywhere.
    assert not [f for f in failures if f and re.search(r"name: [A-Z][A-Z0-9]{2} |separators: \S{4,5} \(", f)]
    assert any(f is None for f in failures) and any(f for f in failures)


# ---------------------------------------------------------------------------
# The column builder: its validation is the same function's.

EDGE_TEXTS = [
    "MSH|^~\\&#|A|B|C|D|2024||ADT^A01^ADT_A01|1|P|2.7\rPID|1\rNK1|1|DOE\rZ01|x",
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01^ADT_A01|1|P|2.5\rpv1|1",
    "MSH|^~\\&#!|A|B|C|D|2024||ADT^A01|1|P|9.9",
    "MSH|^~\\&|A|B|C|D|2024||ADT^A01^ADT_A01|1|P|2.5\r\rPV1|" + "x" * 65537,
]


# ---------------------------------------------------------------------------
# The command, each way it validates.

GOOD = "MSH|^~\\&#|LAB|HOSP|EHR|HOSP|2024||ADT^A01^ADT_A01|G1|P|2.7\rEVN|A01\rPID|1\rPD1|\rNK1|1|DOE\rPV1|1|I\rZPD|x"
BAD_SEPARATORS = GOOD.replace("^~\\&#", "^~\\&#!").replace("G1", "B1")
BAD_NAME = GOOD.replace("ZPD", "zpd").replace("G1", "B2")
EXPECTED = [None, RULE_3.format("^~\\&#!"), RULE_8.format("zpd")]


EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def tessarin(*args: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tessarin_feeds", *args], capture_output=True, timeout=120)


@needs_command
@pytest.mark.parametrize("way", ["validate", "jsonl", "parquet"])
def test_the_command_applies_its_rules_in_every_output(tmp_path, way):
    feed = tmp_path / "feed.hl7"
    feed.write_text("\r".join([GOOD, BAD_SEPARATORS, BAD_NAME]))
    if way == "validate":
        done = tessarin("validate", "--strict", "--require-pid", str(feed))
        errors = [None] * 3
        for line in done.stdout.decode().splitlines():
            index = int(line.split(": message ")[1].split(" ")[0])
            errors[index] = line.split(" at byte ")[1].split(": ", 1)[1]
    else:
        out = tmp_path / f"out.{way}"
        done = tessarin("convert", "--validate", "--strict", "-o", str(out), str(feed))
        if way == "jsonl":
            errors = [json.loads(line).get("error") for line in out.read_text().splitlines()]
        else:
            parquet = pytest.importorskip("pyarrow.parquet")
            errors = parquet.read_table(out).column("error").to_pylist()
    assert done.returncode == 1, done.stderr
    assert errors == EXPECTED
    # The summary shows each reason as its rule reads, the value quoted as "...".
    summary = done.stderr.decode()
    assert f"       1  {RULE_3.format('...')}\n" in summary and f"       1  {RULE_8.format('...')}\n" in summary


# ---------------------------------------------------------------------------
# Summary reasons: what varies goes, the rule's own numbers stay.

HEADER = "MSH|^~\\&|A|B|C|D|2024||ADT^A01^ADT_A01|1|P|{}"
REASONS = {  # rule: (message from a varying part, the reason every such message gives)
    3: (lambda v: f"MSH|^~\\&#!{v}|A|B|C|D|2024||ADT^A01|1|P|2.5", RULE_3.format("...")),
    4: (lambda v: HEADER.format("3." + v), f"HL7 version not supported: ... (supported versions: {SUPPORTED})"),
    7: (
        lambda v: HEADER.format("2.5") + "\rPID|1" * len(v) + "\r\rPID|1",
        "HL7 validation failed: Segment N has empty segment name",
    ),
    8: (lambda v: HEADER.format("2.5") + f"\rp{v}|1", RULE_8.format("...")),
    9: (
        lambda v: HEADER.format("2.5") + "\rOBX|" + "x" * (65537 + len(v)),
        "Field value exceeds maximum length: N > 65536 characters",
    ),
}
varying = st.text("0123456789_.# é", min_size=1, max_size=5)


@pytest.mark.parametrize("rule", sorted(REASONS))
@settings(max_examples=40)
@given(value=varying)
def test_a_rule_gives_one_reason_whatever_varies(rule, value):
    make, reason = REASONS[rule]
    error = validate(make(value), strict_mode=True)
    assert error is not None and reason_of(error, "feed.hl7") == reason
