"""Escaping at every vector width the byte scans can run at.

The scans pick the widest width the processor has (32 bytes with AVX2, 16
with SSSE3, else one byte at a time). Development builds let a test lower it
(TESSARIN_TEST_HOOKS), so each path is checked against the Python model on
any machine; a width the processor lacks is skipped, never silently run at
another.
"""

from __future__ import annotations

import contextlib
import ctypes
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessarin
from bench import reference
from tessarin import JsonHl7

WIDTHS = {"bytes1": 0, "bytes16": 1, "bytes32": 2}


def _hook():
    library = ctypes.CDLL(tessarin.__file__)
    if not hasattr(library, "tessarin_test_limit_vector_width"):
        return None
    library.tessarin_test_limit_vector_width.argtypes = [ctypes.c_int]
    library.tessarin_test_limit_vector_width.restype = None
    library.tessarin_test_vector_width.restype = ctypes.c_int
    return library


HOOK = _hook()


def _widest() -> int:
    HOOK.tessarin_test_limit_vector_width(max(WIDTHS.values()))
    return HOOK.tessarin_test_vector_width()


@pytest.fixture(params=list(WIDTHS), ids=list(WIDTHS))
def width(request):
    if HOOK is None:
        # CI builds with the hook; losing it there must not pass as a skip.
        if os.environ.get("CI"):
            pytest.fail("the vector width hook is missing in CI")
        pytest.skip("the vector width hook is missing (not a development build)")
    wanted = WIDTHS[request.param]
    if wanted > _widest():
        pytest.skip(f"this processor has no {request.param} path")
    return wanted


@contextlib.contextmanager
def forced(width: int):
    HOOK.tessarin_test_limit_vector_width(width)
    try:
        assert HOOK.tessarin_test_vector_width() == width
        yield
    finally:
        HOOK.tessarin_test_limit_vector_width(max(WIDTHS.values()))


SPECIAL = list("|^~\\&\t\n\r ")
PLAIN = list("AZaz09.-/#") + ["é", "中", "😀", "\x00", "\x7f", "\x85", "\u2028"]
# Long runs without a special byte, so that values cross 16-, 32- and 64-byte
# steps both with and without a hit in them.
pieces = st.one_of(st.sampled_from(SPECIAL + PLAIN), st.integers(1, 70).map(lambda n: "x" * n))
values = st.lists(pieces, max_size=12).map("".join)
keys = st.sampled_from(["1", "2", "2.1", "2.3", "3[1]", "3[1].2", "10", "11.2", "20"])
records = st.lists(
    st.dictionaries(keys, values, max_size=6).map(lambda d: {"segment_name": "ZZZ", **d}), min_size=1, max_size=4
)


@given(records)
@settings(max_examples=150, deadline=None)
def test_assembly_matches_model_at_every_width(width, records):
    with forced(width):
        assert JsonHl7(records).hl7_string == reference.assemble(records, True)
        assert JsonHl7(records).hl7_string_unescaped == reference.assemble(records, False)


# Every position of one special byte (and of a non-ASCII one beside it)
# around the block sizes of each path.
LENGTHS = (1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 95, 96, 97, 129)


@pytest.mark.parametrize("special", ["|", " ", "\\", "\r"])
def test_special_byte_at_every_position(width, special):
    expected, got = [], []
    with forced(width):
        for n in LENGTHS:
            for at in range(n):
                for filler in ("a", "é"):
                    text = filler * at + special + "b" * (n - at - 1)
                    # A key before the value moves it off the record's first byte.
                    got.append(JsonHl7([{"segment_name": "ZZZ", "1": "k" * (at % 7), "2": text}]).hl7_string)
                    expected.append(reference.assemble([{"segment_name": "ZZZ", "1": "k" * (at % 7), "2": text}]))
    assert got == expected


# Short values are copied as one 16-byte block when they hold no special
# byte; the bytes after them in the object's store (the next key and value,
# or the store's end) must neither be written nor change the verdict.
NEIGHBOURS = ("", "|^~\\& \r\n\t" * 2, "é" * 9)


@pytest.mark.parametrize("neighbour", NEIGHBOURS, ids=("last", "specials", "non-ascii"))
def test_short_value_beside_any_bytes(width, neighbour):
    expected, got = [], []
    with forced(width):
        for n in range(18):
            for value in ("a" * n, "a" * n + " ", " " + "a" * n, "é" + "a" * n):
                record = {"1": value} | ({"2": neighbour} if neighbour else {})
                got.append((JsonHl7([record]).hl7_string, JsonHl7([record]).hl7_string_unescaped))
                expected.append((reference.assemble([record], True), reference.assemble([record], False)))
    assert got == expected


@pytest.mark.skipif(not os.path.exists("/proc/cpuinfo"), reason="no /proc/cpuinfo to compare with")
def test_the_widest_path_is_the_one_the_processor_has():
    # A detection that answers no (as a compiler runtime may) would leave
    # every scan on the byte-at-a-time path with all results still right.
    if HOOK is None:
        pytest.skip("the vector width hook is missing (not a development build)")
    with open("/proc/cpuinfo") as cpuinfo:
        flags = next((line.split(":", 1)[1].split() for line in cpuinfo if line.startswith("flags")), [])
    expected = WIDTHS["bytes32"] if "avx2" in flags else WIDTHS["bytes16"] if "ssse3" in flags else WIDTHS["bytes1"]
    assert _widest() == expected
