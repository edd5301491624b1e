"""State kept between calls: each thread's assembly buffer and spare store
buffers, and what each thread remembers of keys (from_file's key places, the
key table's strings met by the constructor)."""

from __future__ import annotations

import json
import re
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_leaks import HEAP

from bench import reference
from tessarin import Hl7Json, JsonHl7

# Keys of up to 8 bytes share a remembered place by their first bytes and size;
# "1" and "1\0" differ in size only, and longer keys bypass it.
KEYS = st.one_of(
    st.sampled_from(["1", "1\x00", "01", "+1", "12345678", "123456789", "1[0].2", "segment_name", "", "x"]),
    st.builds("{}.{}".format, st.integers(0, 300), st.integers(0, 40)),
    st.builds("{}[{}]".format, st.integers(0, 99), st.integers(0, 9)),
)
RECORDS = st.lists(st.dictionaries(KEYS, st.text("ab|^\\ é", max_size=20), max_size=60), max_size=12)


@settings(max_examples=150, deadline=None)
@given(RECORDS)
def test_from_file_places_match_the_constructor(write_file, records):
    loaded = JsonHl7.from_file(write_file(json.dumps(records)))
    built = JsonHl7(records)
    assert loaded.json_data == built.json_data
    for escaped in (True, False):
        try:
            expected = reference.assemble(records, escaped)
        except Exception as error:  # a segment name holding "|": both refuse it alike
            with pytest.raises(Exception, match=re.escape(str(error))):
                loaded._convert_json_to_hl7(escaped)
        else:
            assert loaded._convert_json_to_hl7(escaped) == expected


def test_assembly_buffer_between_sizes_and_threads():
    # Above and below the room a thread keeps, in turns, on two threads; the
    # largest store and text take blocks mapped for huge pages.
    sizes = [1, 900_000, 3, 2_000_000, 5] * 2 + [17_000_000, 4]
    cases = [[{"segment_name": "OBX", "5": "v|" * n, "3.1": str(n)}] for n in sizes]
    with ThreadPoolExecutor(2) as pool:
        texts = list(pool.map(lambda records: JsonHl7(records).hl7_string, cases))
    # Spelled out rather than by the model: its str.translate grows its
    # result a character at a time, which a sanitizer's realloc makes quadratic.
    assert texts == [f"OBX|||{n}||" + "v\\F\\" * n for n in sizes]
    assert texts[0] == reference.assemble(cases[0])


@pytest.mark.skipif(HEAP is None, reason="reads the C heap through glibc's malloc_info")
def test_a_large_spare_serves_its_size_and_goes_after_a_smaller_store():
    def held_after_each() -> list[int]:
        value = "1" * (64 << 20)
        before = HEAP()
        held = []
        for records in ([{"1": value}], [{"1": value}], [{"segment_name": "PID"}]):
            JsonHl7(records)  # dropped at once
            held.append(HEAP() - before)
        return held

    with ThreadPoolExecutor(1) as pool:  # a thread of its own: its spares start empty
        kept, again, after = pool.submit(held_after_each).result()
    # Kept for the next store of its size, which takes it rather than mapping more; a smaller one frees it.
    assert kept > 64 << 20 and abs(again - kept) < 1 << 20 and after < 1 << 20


@settings(max_examples=25, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([0, 1, 40, 3_000, 20_000]), st.booleans()), max_size=12))
def test_stores_made_and_dropped_in_any_order(plan):
    # A dropped store's buffers go to the next store of about their size:
    # every store still holds exactly its own records.
    kept = []
    for n, keep in plan:
        records = [{"segment_name": "OBX", "1": str(i), "5.1": f"v{n}^{i}"} for i in range(n)]
        made = JsonHl7(records)
        if keep:
            kept.append((made, records))
        assert made.json_data == records
    for made, records in kept:
        assert made.json_data == records
        assert made.hl7_string == reference.assemble(records)


SPELLINGS = {"1": ["1", "\\u0031"], "2.1": ["2.1", "\\u0032.1", "2\\u002e1"], "segment_name": ["segment_name"]}


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(sorted(SPELLINGS)), st.integers(0, 2), st.text(" \t\n\r", max_size=3))))
def test_keys_read_in_place_or_unescaped_give_one_place(write_file, fields):
    # A key without a backslash is read from the document as it stands, with
    # any space before its colon; an escaped spelling of the same key must
    # give the same entry, and the later of the two wins.
    parts = [
        f'"{SPELLINGS[key][pick % len(SPELLINGS[key])]}"{space}:{space}"v{i}"'
        for i, (key, pick, space) in enumerate(fields)
    ]
    text = "[{" + ",".join(parts) + "}]"
    loaded = JsonHl7.from_file(write_file(text))
    assert loaded.json_data == JsonHl7(json.loads(text)).json_data
    assert loaded.hl7_string == reference.assemble(json.loads(text))


def test_known_key_memo_outlives_the_strings_it_saw():
    # The per-thread memo of the key table's strings is found by address:
    # equal keys made and freed between calls, whose addresses are used
    # again by other strings, must never be taken for the table's own.
    table_records = Hl7Json("MSH|^~\\&\rPID|||a||b").hl7_json  # the table's own key strings
    for round_ in range(200):
        made = [{"".join(["segment_", "name"]): "ZZZ", f"1{round_ % 7}": "x", f"{round_ % 3 + 1}.2": "y"}]
        assert JsonHl7(made).hl7_string == reference.assemble(made)
        assert JsonHl7(table_records).hl7_string == reference.assemble(table_records)
        del made
