"""Hostile input sizes: a huge message text, one line of millions of
separators, 100,000 segments and a huge JSON file. Each converts or fails with
a clear exception, and the memory the conversion adds stays within a constant
factor of the input's size.

Each case runs in a child interpreter so that its peak resident memory can be
read. The normal suite runs scaled-down sizes (100,000 segments at full size);
TESSARIN_HOSTILE=1 runs the full ones: a 200 MB text, 10 million separators on
one line and a 500 MB JSON file. Those take a few minutes and up to about 3 GB
of memory per case."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from tessarin import JsonHl7

FULL = os.environ.get("TESSARIN_HOSTILE") == "1"
MB = 1 << 20
TEXT_BYTES = 200 * MB if FULL else 8 * MB
SEPARATORS = 10_000_000 if FULL else 200_000
SEGMENTS = 100_000
JSON_BYTES = 500 * MB if FULL else 16 * MB

PRELUDE = textwrap.dedent("""
    import json, os, sys
    from tessarin import Hl7Json, JsonHl7

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def report(**facts):
        # VmHWM belongs to this address space; ru_maxrss would carry the
        # parent's peak over through exec.
        with open("/proc/self/status") as f:
            peak = next(line for line in f if line.startswith("VmHWM:"))
        facts["peak"] = int(peak.split()[1]) * 1024
        print(json.dumps(facts))

    def raised(call):
        try:
            call()
        except Exception as exc:
            assert type(exc) is Exception, repr(exc)
            return str(exc)
        return None
""")


def run_case(body: str, **values) -> dict:
    code = PRELUDE + textwrap.dedent(body)
    env = dict(os.environ, **{k: str(v) for k, v in values.items()})
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def assert_proportional(facts: dict, size: int, factor: float) -> None:
    if os.environ.get("TESSARIN_SANITIZED"):
        return  # redzones and quarantine of the sanitizer runtime swell every allocation
    grown = facts["peak"] - facts["baseline"]
    assert grown <= factor * size + 64 * MB, (
        f"{grown / MB:.0f} MB added for {size / MB:.1f} MB of input ({grown / size:.1f} times, {factor} allowed)"
    )


def test_huge_message_text():
    facts = run_case(
        """
        line = "OBX|1|TX|" + "A" * 600 + "^" + "B" * 300 + "|\\\\T\\\\ " * 10 + "|" + "C" * 50
        count = int(os.environ["SIZE"]) // (len(line) + 2)
        text = "\\r\\n".join([line] * count)
        baseline = rss()
        records = Hl7Json(text, escaping_enabled=False).hl7_json
        assert len(records) == count and records[-1]["3.2"] == "B" * 300
        back = JsonHl7(records).hl7_string_unescaped
        assert back == text.replace("\\r\\n", "\\n")
        del records, back
        escaped = Hl7Json(text).hl7_json
        assert escaped[0]["4"] == "& " and escaped[0]["3.2"] == "B" * 300
        report(baseline=baseline, lines=count)
    """,
        SIZE=TEXT_BYTES,
    )
    assert_proportional(facts, TEXT_BYTES, 10)


@pytest.mark.parametrize("separator", ["|", "^", "~", "\\"])
def test_line_of_separators(separator):
    facts = run_case(
        """
        n, sep = int(os.environ["COUNT"]), os.environ["SEP"]
        line = "ZZZ|" + sep * n
        entries = {"|": n + 2, "^": n + 2, "~": n + 2, "\\\\": 2}[sep]
        last = {"|": str(n + 1), "^": f"1.{n + 1}", "~": f"1[{n}]", "\\\\": "1"}[sep]
        baseline = rss()
        h = Hl7Json(line)
        # One record of this size at a time: each costs about 100 bytes per entry.
        (record,) = h.hl7_json
        assert len(record) == entries and record[last] == ("\\\\" * (n // 2) if sep == "\\\\" else "")
        error = raised(lambda: JsonHl7([record]).hl7_string_unescaped)
        del record
        if sep == "\\\\":
            assert error is None
        else:
            assert error.startswith("HL7 encoding error: index ") and "exceeds the limit of 65535" in error, error
        split = h._split_hl7_seg_to_json(line)
        assert len(split) == (n + 2 if sep != "\\\\" else 2) and split["segment_name"] == "ZZZ"
        report(baseline=baseline)
    """,
        COUNT=SEPARATORS,
        SEP=separator,
    )
    # About 110 bytes per dict entry, twice that while the dict grows, and the
    # native copy of the record inside JsonHl7.
    assert_proportional(facts, SEPARATORS, 300)


def test_hundred_thousand_segments():
    facts = run_case(
        """
        n = int(os.environ["COUNT"])
        lines = [
            "MSH|^~\\\\&|APP|FAC|APP|FAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5",
            "PID|1||12345^^^HOSP^MR~67890||DOE^JOHN||19800101|M|||MAIN ST&5^^TOWN|",
            "NTE|1||Smith \\\\T\\\\ Co~A\\\\S\\\\B^C",
            "OBX|1|NM|2345-7^GLUCOSE||95|mg/dL|70-99|N|||F",
        ]
        text = "\\r".join(lines[:1] + [lines[1 + i % 3] for i in range(n - 1)])
        baseline = rss()
        h = Hl7Json(text, validation_enabled=True, escaping_enabled=False)
        records = h.hl7_json
        assert len(records) == n
        assert h.validate(None, None) is None
        j = JsonHl7(records)
        del records
        assert j.hl7_string_unescaped == text.replace("\\r", "\\n")
        del j
        escaped = JsonHl7(Hl7Json(text).hl7_json).hl7_string
        assert escaped.count("\\n") == n - 1
        report(baseline=baseline, size=len(text))
    """,
        COUNT=SEGMENTS,
    )
    # A record dict costs about 25 times the bytes of its line.
    assert_proportional(facts, facts["size"], 80)


def test_huge_json_file(tmp_path):
    path = tmp_path / "records.json"
    record = {
        "segment_name": "OBX",
        "1": "1",
        "2": "TX",
        "3.1": "2345-7",
        "3.2": "GLUCOSE",
        "5": "x" * 40,
        "6[0]": "mg/dL",
        "6[1].2": "a&b c",
        "11": "F",
    }
    item = json.dumps(record)
    count = JSON_BYTES // (len(item) + 2)
    with open(path, "w", encoding="utf-8") as f:
        f.write("[\n")
        chunk = ",\n".join([item] * 10_000)
        for _ in range(count // 10_000):
            f.write(chunk + ",\n")
        f.write(",\n".join([item] * (count % 10_000 + 1)) + "\n]\n")
    size = path.stat().st_size
    facts = run_case(
        """
        path = os.environ["PATH_JSON"]
        baseline = rss()
        j = JsonHl7.from_file(path)
        text = j.hl7_string_unescaped
        lines = text.split("\\n")
        assert lines[0] == lines[-1] == "OBX|1|TX|2345-7^GLUCOSE||" + "x" * 40 + "|mg/dL~^a&b c|||||F"
        count = len(lines)
        del text, lines
        assert j.hl7_string.count("\\n") == count - 1
        del j
        # The same file cut short fails with a position at its very end.
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) - 3)
        error = raised(lambda: JsonHl7.from_file(path))
        report(baseline=baseline, count=count, error=error)
    """,
        PATH_JSON=path,
    )
    assert facts["count"] == count + 1
    assert facts["error"].startswith("HL7 invalid format: Invalid JSON: ")
    assert facts["error"].endswith(f" at line {count + 2} column {len(item) + 1}"), facts["error"]
    assert_proportional(facts, size, 8)


# ---------------------------------------------------------------------------
# Keys and values of 4 GiB and more: each case holds about four copies of the
# big string at once (input, stored records, assembled text, result).

GIB4 = 1 << 32


def _available_memory() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


needs_20_gib = pytest.mark.skipif(
    _available_memory() < 20 * (1 << 30), reason="needs 20 GiB of available memory for four 4 GiB strings"
)


@pytest.mark.slow
@needs_20_gib
@pytest.mark.parametrize("where", ["value", "key", "parsed"])
def test_four_gib_strings_round_trip(where):
    facts = run_case(
        """
        n = int(os.environ["SIZE"])
        big = "x" * n
        where = os.environ["WHERE"]
        if where == "value":
            j = JsonHl7([{"segment_name": "ZZZ", "1": big}])
            del big
            text = j.hl7_string
            ok = len(text) == n + 4 and text.startswith("ZZZ|xx") and text.count("x") == n
        elif where == "key":
            j = JsonHl7([{big: "v", "segment_name": "ZZZ"}])
            del big
            assert j.hl7_string == "ZZZ"  # not a place: skipped, but kept
            (record,) = j.json_data
            keys = sorted(record, key=len)
            ok = keys[0] == "segment_name" and len(keys[1]) == n and record[keys[1]] == "v"
        else:
            (record,) = Hl7Json("ZZZ|" + big).hl7_json
            del big
            ok = len(record["1"]) == n
            j = JsonHl7([record])
            del record
            text = j.hl7_string_unescaped
            ok = ok and len(text) == n + 4 and text.startswith("ZZZ|xx") and text.count("x") == n
        report(ok=ok)
    """,
        SIZE=GIB4 + 5,
        WHERE=where,
    )
    assert facts["ok"]


@pytest.mark.slow
def test_json_file_over_the_reader_limit_is_refused_by_its_size(tmp_path):
    path = tmp_path / "big.json"
    body = b"x" * (64 * MB)
    with open(path, "wb") as f:
        f.write(b'[{"segment_name": "ZZZ", "1": "')
        for _ in range(GIB4 // len(body)):
            f.write(body)
        f.write(b'"}]')
    size = path.stat().st_size
    with pytest.raises(Exception) as caught:
        JsonHl7.from_file(str(path))
    assert str(caught.value) == (
        f"HL7 invalid format: JSON document of {size} bytes is over the reader's limit of {GIB4 - 1} bytes"
    )
