"""Every member, on its success path and on each of its error paths, called
thousands of times: the interpreter's allocated blocks, the C heap in use and
the reference counts of the arguments stay flat.

TESSARIN_LEAK_CALLS sets the calls per case (default 3000)."""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import re
import sys
import tempfile

import pytest

from tessarin import Hl7Json, JsonHl7

CALLS = int(os.environ.get("TESSARIN_LEAK_CALLS", "3000"))
WARMUP = 200
# Allowed drift per round: far below one block (or 8 bytes of heap) per call.
BLOCK_SLACK = 100
HEAP_SLACK = 8 * CALLS

MESSAGE = (
    "MSH|^~\\&|APP|FAC|APP|FAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5\r"
    "PID|1||12345^^^HOSP^MR~67890||DOE\\S\\JOHN||19800101|M|||MAIN ST&5^^TOWN|\r"
    "NTE|1||Smith \\T\\ Co~A\\S\\B^C caf\u00e9"
)
BAD_MESSAGE = "MSH|^~\\&|APP\nPV1|x"
RECORDS = [
    {"segment_name": "MSH", "1": "^~\\&", "2": "LAB", "5.1": "ADT", "5.2": "A01"},
    {"segment_name": "PID", "3[0].1": "123", "3[1]": "456", "5.2": "John Q", "7": "R&D \u00e9"},
]


class bool_:  # noqa: N801 - poses as numpy's boolean, whose truth value the module asks for
    __module__ = "numpy"

    def __init__(self, action=None, fail=False):
        self.action, self.fail = action, fail

    def __bool__(self):
        if self.fail:
            raise ValueError("no truth value")
        if self.action:
            # This frame's object exists before the action runs. Otherwise,
            # when the action's frame (kept by a traceback) is torn down,
            # CPython (3.11 to 3.13 at least) allocates this one, and if that
            # fails it clears the pending exception: a SystemError that no
            # extension can prevent. The cases call setattr itself, so no
            # other Python frame lies between.
            sys._getframe()
            self.action()
        return True


def _heap_in_use():
    """Bytes of the C heap in use over every arena (glibc's malloc_info: what
    the heaps hold less their free chunks, plus mapped blocks), or None where
    that cannot be read. Threads allocate from arenas of their own."""
    if os.environ.get("LD_PRELOAD") or not sys.platform.startswith("linux"):  # a sanitizer runtime owns malloc
        return None
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    libc.fopen.restype = ctypes.c_void_p
    libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    libc.malloc_info.argtypes = [ctypes.c_int, ctypes.c_void_p]
    libc.fclose.argtypes = [ctypes.c_void_p]

    def in_use() -> int:
        with tempfile.NamedTemporaryFile("r", suffix=".xml") as report:
            stream = libc.fopen(report.name.encode(), b"w")
            assert stream and libc.malloc_info(0, stream) == 0
            libc.fclose(stream)
            totals = report.read().rpartition("</heap>")[2]  # the summary over all arenas
        size = dict(re.findall(r'<(?:total|system) type="(\w+)"[^>]*size="(\d+)"', totals))
        return int(size["current"]) - int(size["fast"]) - int(size["rest"]) + int(size["mmap"])

    return in_use


HEAP = _heap_in_use()
# Free-threaded builds allocate objects through mimalloc and count no blocks.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    paths = {}
    for name, content in {
        "message": MESSAGE.encode(),
        "blank": b" \n\t ",
        "latin1": b"MSH|\xe9",
        "json": b'[{"segment_name": "PID", "3": "x\\u00e9"}, {}]',
        "bad_json": b'[{"segment_name": "PID", "3": 7}]',
        "json_not_array": b'{"a": "b"}',
    }.items():
        path = folder / name
        path.write_bytes(content)
        paths[name] = str(path)
    paths["missing"] = str(folder / "missing")
    paths["nul"] = str(folder / "a\0b")
    return paths


def cases(files):
    h = Hl7Json(MESSAGE)
    bad = Hl7Json(BAD_MESSAGE, validation_enabled=True)
    j = JsonHl7(RECORDS)
    too_far = JsonHl7([{"segment_name": "PID", "70000": "x"}])
    bad_name = JsonHl7([{"segment_name": "P|D", "1": "x"}])
    surrogate = "PID|\ud800"

    return {
        # Hl7Json construction
        "new": (Hl7Json, (MESSAGE,), {}),
        "new_options": (Hl7Json, (MESSAGE, True, False, None), {"escaping_enabled": False}),
        "new_numpy_bool": (Hl7Json, (MESSAGE, bool_()), {}),
        "new_failing_bool": (Hl7Json, (MESSAGE, bool_(fail=True)), {}),
        "new_not_str": (Hl7Json, (b"MSH",), {}),
        "new_surrogate": (Hl7Json, (surrogate,), {}),
        "new_missing": (Hl7Json, (), {}),
        "new_too_many": (Hl7Json, (MESSAGE, True, True, True, True), {}),
        "new_unknown_keyword": (Hl7Json, (MESSAGE,), {"strict": True}),
        "new_twice": (Hl7Json, (MESSAGE,), {"hl7_string": MESSAGE}),
        "new_bad_option": (Hl7Json, (MESSAGE,), {"validation_enabled": 1}),
        "from_file": (Hl7Json.from_file, (files["message"],), {"strict_validation": True}),
        "from_file_missing": (Hl7Json.from_file, (files["missing"],), {}),
        "from_file_blank": (Hl7Json.from_file, (files["blank"],), {}),
        "from_file_not_utf8": (Hl7Json.from_file, (files["latin1"],), {}),
        "from_file_nul": (Hl7Json.from_file, (files["nul"],), {}),
        "from_file_bad_option": (Hl7Json.from_file, (files["message"], None, "yes"), {}),
        # Hl7Json members
        "hl7_string": (getattr, (h, "hl7_string"), {}),
        "hl7_json": (getattr, (h, "hl7_json"), {}),
        "convert": (h._convert_hl7_to_json, (), {}),
        "convert_with_argument": (h._convert_hl7_to_json, (1,), {}),
        "hl7_json_invalid": (getattr, (bad, "hl7_json"), {}),
        "get_option": (getattr, (h, "strict_validation"), {}),
        "set_option": (setattr, (h, "escaping_enabled", True), {}),
        "set_option_none": (setattr, (h, "escaping_enabled", None), {}),
        "set_option_conflict": (setattr, (h, "escaping_enabled", bool_(lambda: h.hl7_string)), {}),
        "delete_option": (delattr, (h, "validation_enabled"), {}),
        "set_read_only": (setattr, (h, "hl7_string", "x"), {}),
        "split": (h._split_hl7_seg_to_json, ("PID|1||a^b~c",), {}),
        "split_escaping": (h._split_hl7_seg_to_json_with_escaping, (), {"seg": "NTE|\\T\\^x~\\F\\"}),
        "split_not_str": (h._split_hl7_seg_to_json, (None,), {}),
        "split_surrogate": (h._split_hl7_seg_to_json_with_escaping, (surrogate,), {}),
        "validate": (h.validate, (None, None), {}),
        "validate_fails": (bad.validate, (True, True), {}),
        "validate_missing": (h.validate, (), {}),
        "validate_bad_flag": (h.validate, (None,), {"validate_required_fields": "no"}),
        "validate_conflict": (h.validate, (bool_(lambda: setattr(h, "strict_validation", False)), None), {}),
        # JsonHl7 construction
        "json_new": (JsonHl7, (RECORDS,), {}),
        "json_new_tuple": (JsonHl7, (tuple(RECORDS),), {}),
        "json_new_str": (JsonHl7, ("[]",), {}),
        "json_new_not_sequence": (JsonHl7, ({"segment_name": "PID"},), {}),
        "json_new_not_dict": (JsonHl7, ([RECORDS[0], ["PID"]],), {}),
        "json_new_value_not_str": (JsonHl7, ([{"segment_name": "PID", "1": 5}],), {}),
        "json_new_key_not_str": (JsonHl7, ([{"segment_name": "PID", 1: "5"}],), {}),
        "json_new_surrogate": (JsonHl7, ([{"segment_name": "PID", "1": "\udc80"}],), {}),
        "json_new_missing": (JsonHl7, (), {}),
        "json_from_file": (JsonHl7.from_file, (files["json"],), {}),
        "json_from_file_bad": (JsonHl7.from_file, (), {"path": files["bad_json"]}),
        "json_from_file_not_array": (JsonHl7.from_file, (files["json_not_array"],), {}),
        "json_from_file_blank": (JsonHl7.from_file, (files["blank"],), {}),
        "json_from_file_missing": (JsonHl7.from_file, (files["missing"],), {}),
        "json_from_file_not_str": (JsonHl7.from_file, (3,), {}),
        # JsonHl7 members
        "json_data": (getattr, (j, "json_data"), {}),
        "hl7_string_escaped": (getattr, (j, "hl7_string"), {}),
        "hl7_string_unescaped": (getattr, (j, "hl7_string_unescaped"), {}),
        "convert_json": (j._convert_json_to_hl7, (), {"escape": False}),
        "convert_json_numpy_bool": (j._convert_json_to_hl7, (bool_(),), {}),
        "convert_json_not_bool": (j._convert_json_to_hl7, (1,), {}),
        "convert_json_index_too_large": (getattr, (too_far, "hl7_string_unescaped"), {}),
        "convert_json_bad_name": (getattr, (bad_name, "hl7_string"), {}),
    }


def run(function, args, kwargs, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except (Exception, RuntimeError):  # noqa: BLE001 - error paths are the point
            pass


CASE_NAMES = sorted(
    cases({k: "" for k in ("message", "blank", "latin1", "json", "bad_json", "json_not_array", "missing", "nul")})
)


def growth(function, args, kwargs):
    """Blocks and heap bytes gained over CALLS calls."""
    gc.collect()
    blocks = sys.getallocatedblocks()
    heap = HEAP() if HEAP else 0
    run(function, args, kwargs, CALLS)
    gc.collect()
    return sys.getallocatedblocks() - blocks, (HEAP() - heap) if HEAP else 0


@pytest.mark.parametrize("name", CASE_NAMES)
def test_member_does_not_leak(name, files):
    function, args, kwargs = cases(files)[name]
    # Singletons and interned attribute names are shared with the whole
    # interpreter; their counts move with whatever the collector frees.
    shared = {id(args[1])} if function in (getattr, setattr, delattr) else set()
    watched = [
        a for a in (*args, *kwargs.values()) if a is not None and type(a) not in (bool, int) and id(a) not in shared
    ]
    run(function, args, kwargs, WARMUP)
    refcounts = [sys.getrefcount(a) for a in watched]
    # Interpreter caches fill in bursts; a leak shows in every round.
    rounds = [growth(function, args, kwargs) for _ in range(3)]
    assert [sys.getrefcount(a) for a in watched] == refcounts
    if BLOCKS_COUNTED:
        assert min(blocks for blocks, _ in rounds) < BLOCK_SLACK, f"blocks gained per {CALLS} calls: {rounds}"
    assert min(heap for _, heap in rounds) < HEAP_SLACK, f"heap bytes gained per {CALLS} calls: {rounds}"


def test_detects_a_leak():
    # The measurement itself must see one block kept per call.
    kept = []
    blocks, heap = growth(lambda: kept.append(object()), (), {})
    if BLOCKS_COUNTED:
        assert blocks >= CALLS - BLOCK_SLACK
    if HEAP:
        # The module's own memory comes from malloc, as this does.
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        libc.malloc.restype = ctypes.c_void_p
        kept = []
        blocks, heap = growth(lambda: kept.append(libc.malloc(64)), (), {})
        assert heap >= HEAP_SLACK
        for address in kept:
            libc.free(ctypes.c_void_p(address))
