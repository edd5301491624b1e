"""Lines are written in place order whatever the keys' byte-wise order: the
assembler keeps fields of one, two and more digits apart and sorts only when
a group arrives out of order (ten or more components or repetitions, fields
from 1000 on). Checked against the Python model, which sorts plainly."""

from __future__ import annotations

import json
import threading

from hypothesis import given, settings
from hypothesis import strategies as st

from bench import reference
from tessarin import JsonHl7

numbers = st.one_of(st.integers(0, 12), st.sampled_from([99, 100, 101, 999, 1000, 1001, 65535]))
keys = st.one_of(
    numbers.map(str),
    st.tuples(numbers, numbers).map(lambda t: f"{t[0]}.{t[1]}"),
    st.tuples(numbers, numbers).map(lambda t: f"{t[0]}[{t[1]}]"),
    st.tuples(numbers, numbers, numbers).map(lambda t: f"{t[0]}[{t[1]}].{t[2]}"),
)
records = st.lists(
    st.dictionaries(keys, st.sampled_from(["", "a", "b c", "|"]), max_size=25).map(
        lambda d: {"segment_name": "ZZZ", **d}
    ),
    min_size=1,
    max_size=3,
)


@given(records)
@settings(max_examples=300, deadline=None)
def test_lines_follow_place_order(records):
    assert JsonHl7(records).hl7_string == reference.assemble(records, True)
    assert JsonHl7(records).hl7_string_unescaped == reference.assemble(records, False)


def test_from_file_after_files_of_every_size(tmp_path):
    # Small documents reuse the thread's parser; one past its bound gets its
    # own. Each read must see only its own document, in any order and thread.
    documents = [[{"segment_name": "PID", "1": "x" * n, "3.1": str(n)}] for n in (0, 10, 300_000, 5, 1_000)]
    paths = []
    for i, document in enumerate(documents):
        path = tmp_path / f"{i}.json"
        path.write_text(json.dumps(document), encoding="utf-8")
        paths.append(str(path))
    expected = [JsonHl7(document).hl7_string for document in documents]
    assert [JsonHl7.from_file(p).hl7_string for p in paths + paths[::-1]] == expected + expected[::-1]

    failures = []

    def read_all():
        for _ in range(3):
            if [JsonHl7.from_file(p).hl7_string for p in paths] != expected:
                failures.append(threading.current_thread().name)

    threads = [threading.Thread(target=read_all) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not failures
