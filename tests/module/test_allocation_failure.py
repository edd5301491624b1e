"""Every member, on its success path and on each of its error paths (the cases
of test_leaks), with the n-th allocation failing for every n until the call no
longer reaches it: once for the interpreter's allocator (_testcapi.set_nomemory)
and once for the extension's own operator new (the test-build hook).

Each attempt must raise MemoryError or give exactly the normal outcome; the
object must work normally afterwards; and the interpreter's allocated blocks,
the C heap and the open file descriptors must not grow."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import sysconfig
import threading
import time

import pytest
from test_leaks import BLOCKS_COUNTED, CASE_NAMES, HEAP, cases, files  # noqa: F401 - files is a fixture

import tessarin
from tessarin import Hl7Json, JsonHl7

try:
    import _testcapi
except ImportError:  # some distributions ship it apart from the interpreter
    _testcapi = None

# A sweep that has not ended by then has lost its way.
MAX_STEPS = 20_000
# Attempts per measurement. A leak costs heap bytes or a descriptor on every
# attempt. Inside a large test process the interpreter's own free lists and
# caches take up to about one block per failed call for a while, so only a
# leak of two blocks or more per call stands out from them.
REPEATS = 16
LEAK_PER_ROUND = (REPEATS + REPEATS // 2, 8 * REPEATS, REPEATS // 2)


def allocation_hook(module_file):
    """The test-build hook of a native module's own operator new, or None in a wheel."""
    library = ctypes.CDLL(module_file)
    if not hasattr(library, "tessarin_test_fail_allocation"):
        return None
    library.tessarin_test_fail_allocation.argtypes = [ctypes.c_size_t]
    library.tessarin_test_fail_allocation.restype = None
    library.tessarin_test_allocations.restype = ctypes.c_size_t
    return library


def hook_mode(hook):
    """A sweep mode that fails the n-th allocation through `hook` (counting from 1)."""
    return (
        lambda n: hook.tessarin_test_fail_allocation(n),
        lambda n: hook.tessarin_test_allocations() >= n,
        lambda: hook.tessarin_test_fail_allocation(0),
    )


CXX_HOOK = allocation_hook(tessarin.__file__)


def _require(present, what):
    # CI builds with the hook; losing it there must not pass as a skip.
    if not present:
        if os.environ.get("CI"):
            pytest.fail(f"{what} is missing in CI")
        pytest.skip(f"{what} is missing")


class Probe:
    """An allocation after the call: it fails when the call stopped short of the n-th."""


def summary(value, error):
    """A comparable form of a call's outcome: its value, or its exception's type, text and notes."""
    if error is not None:
        return "raised", type(error), str(error), getattr(error, "__notes__", None)
    if isinstance(value, Hl7Json):
        options = (value.validation_enabled, value.strict_validation, value.escaping_enabled)
        return "value", Hl7Json, value.hl7_string, options, value._convert_hl7_to_json()
    if isinstance(value, JsonHl7):
        return "value", JsonHl7, value.json_data
    return "value", value


# The call is written out with its arguments, not unpacked from a tuple and a
# dict, and the frame object exists before the failing allocation: otherwise
# the interpreter's own unpacking leaks a block, and a traceback that needs a
# new frame object turns the error into SystemError, when they meet it.
ATTEMPT = """
def attempt(n, arm, reached, disarm, function, {parameters}):
    value = error = None
    getframe()
    arm(n)
    try:
        value = function({arguments})
    except BaseException as caught:
        error = caught
    hit = reached(n)
    disarm()
    return value, error, hit
"""


def compile_call(function, args, kwargs):
    """The call as attempt(mode, n): n-th allocation failing as `mode` says; gives (summary, reached)."""
    parameters = [f"a{i}" for i in range(len(args))] + [f"k_{key}" for key in kwargs]
    arguments = [f"a{i}" for i in range(len(args))] + [f"{key}=k_{key}" for key in kwargs]
    namespace = {"getframe": sys._getframe}
    exec(ATTEMPT.format(parameters=", ".join(["_"] + parameters), arguments=", ".join(arguments)), namespace)
    attempt = namespace["attempt"]

    def run(mode, n):
        value, error, reached = attempt(n, *mode, function, None, *args, *kwargs.values())
        result = summary(value, error)
        # Tracebacks hold this frame, whose locals hold the error: a cycle the measurements would count.
        while error is not None:
            error.__traceback__, error = None, error.__context__
        return result, reached

    return run


def probe_reached(n):
    # Only the n-th allocation fails: one more succeeds when the call used it.
    try:
        Probe()
    except MemoryError:
        return False
    return True


NO_FAILURE = (lambda n: None, lambda n: True, lambda: None)
INTERPRETER = (
    lambda n: _testcapi.set_nomemory(n, n + 1),  # the n-th from now, counting from 0
    probe_reached,
    lambda: _testcapi.remove_mem_hooks(),
)
EXTENSION = hook_mode(CXX_HOOK)


# On free-threaded builds counting blocks walks every heap of the
# interpreter, minutes over a sweep; heap bytes and descriptors still count.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


# Plain loops of every member under set_nomemory pass there; the harness's
# own frames and pytest's do not survive it.
needs_interpreter_sweep = pytest.mark.skipif(
    FREE_THREADED, reason="free-threaded 3.13 crashes in the sweep's harness, outside tessarin"
)


def allocated_blocks():
    return 0 if FREE_THREADED else sys.getallocatedblocks()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def growth(run, mode, n):
    """Blocks, heap bytes and descriptors gained over REPEATS attempts (the locals here included)."""
    blocks, heap, descriptors = allocated_blocks(), HEAP() if HEAP else 0, open_descriptors()
    for _ in range(REPEATS):
        run(mode, n)
    return (allocated_blocks() - blocks, (HEAP() - heap) if HEAP else 0, open_descriptors() - descriptors)


def sweep(run, mode, first, slack=LEAK_PER_ROUND):
    """Walks n from `first` until the call no longer reaches the n-th allocation; returns the problems."""
    expected, _ = run(NO_FAILURE, 0)
    growth(run, NO_FAILURE, 0)
    # The heap moves by some hundred bytes a round with no failure at all:
    # the bar is the most that several such rounds grew, never below none.
    gc.disable()
    try:
        idle = [max(0, *column) for column in zip(*(growth(run, NO_FAILURE, 0) for _ in range(3)), strict=True)]
    finally:
        gc.enable()
    problems = []
    for n in range(first, first + MAX_STEPS):
        outcome, reached = run(mode, n)  # also fills the caches that a failure path fills once
        if outcome != expected and outcome[:2] != ("raised", MemoryError):
            problems.append(f"n={n}: {outcome!r} instead of {expected!r}")
        # A leak shows in every round, a cache in one. Collections would free unrelated garbage.
        gc.disable()
        try:
            gains = [growth(run, mode, n) for _ in range(2)]
        finally:
            gc.enable()
        grown = [
            name
            for i, name in enumerate(("blocks", "heap bytes", "descriptors"))
            if min(gain[i] for gain in gains) >= idle[i] + slack[i]
        ]
        if grown:
            problems.append(f"n={n}: {', '.join(grown)} grow on each failure: {gains}, without failure {idle}")
        after, _ = run(NO_FAILURE, 0)
        if after != expected:
            problems.append(f"n={n}: afterwards {after!r} instead of {expected!r}")
        if problems or not reached:
            return problems
    return [f"still reaching the failure after {MAX_STEPS} allocations"]


def unsized_file_cases():
    # /proc reports size 0, so the reader grows its buffer while the file is open.
    return {"from_file_unsized": (Hl7Json.from_file, ("/proc/self/cmdline",), {})}


ALL_CASES = CASE_NAMES + sorted(unsized_file_cases())
MODES = {"interpreter": (INTERPRETER, 0), "extension": (EXTENSION, 1)}


def wait_until_alone(seconds=10.0):
    """set_nomemory fails every thread's allocations: a thread another test
    left running would meet them, or take the ones meant for the call."""
    deadline = time.monotonic() + seconds
    while threading.active_count() > 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    others = [t.name for t in threading.enumerate() if t is not threading.current_thread()]
    assert not others, f"threads left running by earlier tests: {others}"


def sweep_case(name, mode_name, files):  # noqa: F811 - the fixture's value
    mode, first = MODES[mode_name]
    if mode is INTERPRETER:
        wait_until_alone()
    return sweep(compile_call(*{**cases(files), **unsized_file_cases()}[name]), mode, first)


@needs_interpreter_sweep
@pytest.mark.parametrize("name", ALL_CASES)
def test_interpreter_allocation_failure(name, files):  # noqa: F811
    _require(_testcapi is not None, "_testcapi")
    problems = sweep_case(name, "interpreter", files)
    assert not problems, problems[:5]


@pytest.mark.parametrize("name", ALL_CASES)
def test_extension_allocation_failure(name, files):  # noqa: F811
    _require(CXX_HOOK is not None, "the allocation hook of test builds")
    problems = sweep_case(name, "extension", files)
    assert not problems, problems[:5]


@needs_interpreter_sweep
def test_sweep_catches_a_swallowed_failure_and_a_leak():
    _require(_testcapi is not None, "_testcapi")
    message = "MSH|^~\\&|A\rPID|1||x^y"
    kept = []

    def swallows():
        try:
            return Hl7Json(message).hl7_json
        except MemoryError:
            return []

    def leaks():
        try:
            return Hl7Json(message).hl7_json
        except MemoryError:
            kept.extend((object(), object()))
            raise

    for function, symptom in ((swallows, "instead of"), (leaks, "blocks")):
        problems = sweep(compile_call(function, (), {}), INTERPRETER, 0)
        assert any(symptom in p for p in problems), problems


def test_hook_fails_only_the_extensions_allocations():
    _require(CXX_HOOK is not None, "the allocation hook of test builds")
    pyarrow = pytest.importorskip("pyarrow")
    # Armed for the very next operator new: only a call into tessarin may meet it.
    CXX_HOOK.tessarin_test_fail_allocation(1)
    try:
        values = pyarrow.array([str(i) for i in range(1000)]).to_pylist()
        seen_elsewhere = CXX_HOOK.tessarin_test_allocations()
        with pytest.raises(MemoryError):
            # Its record store allocates: the value outgrows any buffer a thread keeps.
            JsonHl7([{"segment_name": "PID", "1": "1" * (17 << 20)}])
    finally:
        CXX_HOOK.tessarin_test_fail_allocation(0)
    assert values == [str(i) for i in range(1000)]
    assert seen_elsewhere == 0
    assert Hl7Json("PID|1").hl7_json == [{"1": "1", "segment_name": "PID"}]
