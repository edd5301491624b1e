"""Eight threads share one Hl7Json and one JsonHl7: reading, converting and
writing options at once. Every result must be one that a single-threaded run
gives for some setting of the options (exactly the one in force for objects
that only their own thread changes), and the only exceptions allowed are the
two RuntimeErrors of the borrow flag.

TESSARIN_STRESS_SECONDS sets the duration (default 3)."""

from __future__ import annotations

import ctypes
import itertools
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from tessarin import Hl7Json, JsonHl7

from conftest import WORKED

SECONDS = float(os.environ.get("TESSARIN_STRESS_SECONDS", "3"))
THREADS = 8
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
OPTIONS = ("validation_enabled", "strict_validation", "escaping_enabled")

# Passes validation except in strict mode (version "2.5x"); escaping changes
# the MSH record, so each setting of the options has its own result.
MESSAGE = (
    "MSH|^~\\&|APP|FAC|APP|FAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5x\r\n"
    "PID|1||12345^^^HOSP^MR~67890||DOE\\S\\JOHN||19800101|M|||MAIN ST&5^^TOWN|\r\n"
    "NTE|1||Smith \\T\\ Co~A\\S\\B^C\r\n"
    "OBX|1|TX|||\\H\\bold\\N\\ caf\u00e9 \\X0D0A\\|"
)
SEGMENT = "NTE|1||Smith \\T\\ Co~A\\S\\B^C|\\F\\"
RECORDS = [*WORKED, {"segment_name": "ZZZ", "+2": "x|y", "02.3": "\u00e9", "1[2]": "r"}]


def outcome(call):
    """The value of a call, or ("raised", type, text) for an Hl7 error."""
    try:
        return call()
    except RuntimeError:
        raise
    except Exception as exc:  # noqa: BLE001 - validation errors are plain Exception
        assert type(exc) is Exception, repr(exc)
        return ("raised", str(exc))


def settings():
    return [dict(zip(OPTIONS, values, strict=True)) for values in itertools.product((False, True), repeat=3)]


def single_threaded(options: dict) -> dict:
    """Every operation's result on a fresh object with these options."""
    h = Hl7Json(MESSAGE, **options)
    return {
        "hl7_json": outcome(lambda: h.hl7_json),
        "convert": outcome(h._convert_hl7_to_json),
        "validate": {
            (s, r): outcome(lambda s=s, r=r: h.validate(s, r)) for s in (None, False, True) for r in (None, False, True)
        },
    }


EXPECTED = {tuple(o.values()): single_threaded(o) for o in settings()}
PROBE = Hl7Json(MESSAGE)
SPLIT = PROBE._split_hl7_seg_to_json(SEGMENT)
SPLIT_ESCAPED = PROBE._split_hl7_seg_to_json_with_escaping(SEGMENT)
J = JsonHl7(RECORDS)
JSON_EXPECTED = {
    "hl7_string": J.hl7_string,
    "hl7_string_unescaped": J.hl7_string_unescaped,
    "json_data": J.json_data,
}


def test_settings_are_distinguishable():
    # The shared-object checks below are only as sharp as the results differ.
    results = {repr(e["hl7_json"]) for e in EXPECTED.values()}
    assert len(results) == 3  # escaped, unescaped, strict validation error


class Worker:
    def __init__(self, index: int, shared: Hl7Json, barrier: threading.Barrier, deadline_box: list):
        self.rng = random.Random(index)
        self.shared = shared
        self.own = Hl7Json(MESSAGE)
        self.own_options = {"validation_enabled": False, "strict_validation": False, "escaping_enabled": True}
        self.barrier = barrier
        self.deadline_box = deadline_box
        self.failures: list[str] = []
        self.borrow_errors = 0
        self.calls = 0

    def fail(self, what: str) -> None:
        if len(self.failures) < 10:
            self.failures.append(what)

    def shared_step(self) -> None:
        h, rng = self.shared, self.rng
        op = rng.randrange(9)
        if op == 0:
            setattr(h, rng.choice(OPTIONS), rng.random() < 0.5)
        elif op == 1:
            value = getattr(h, rng.choice(OPTIONS))
            if type(value) is not bool:
                self.fail(f"option read gave {value!r}")
        elif op in (2, 3):
            result = outcome(lambda: h.hl7_json if op == 2 else h._convert_hl7_to_json())
            if not any(result == e["hl7_json"] for e in EXPECTED.values()):
                self.fail(f"shared hl7_json gave {result!r}")
        elif op == 4:
            s, r = rng.choice((None, False, True)), rng.choice((None, False, True))
            result = outcome(lambda: h.validate(s, r))
            if not any(result == e["validate"][s, r] for e in EXPECTED.values()):
                self.fail(f"shared validate({s}, {r}) gave {result!r}")
        elif op == 5:
            if h._split_hl7_seg_to_json(SEGMENT) != SPLIT:
                self.fail("_split_hl7_seg_to_json differs")
            if h._split_hl7_seg_to_json_with_escaping(SEGMENT) != SPLIT_ESCAPED:
                self.fail("_split_hl7_seg_to_json_with_escaping differs")
        elif op == 6:
            if h.hl7_string != PROBE.hl7_string:
                self.fail("hl7_string differs")
        else:
            self.json_step()

    def json_step(self) -> None:
        # JsonHl7 has no writer, so its reads never conflict: no RuntimeError here.
        name = self.rng.choice(("hl7_string", "hl7_string_unescaped", "json_data", "convert"))
        try:
            if name == "convert":
                escape = self.rng.random() < 0.5
                result = J._convert_json_to_hl7(escape=escape)
                name = "hl7_string" if escape else "hl7_string_unescaped"
            else:
                result = getattr(J, name)
        except RuntimeError as exc:
            self.fail(f"JsonHl7.{name} raised {exc!r}")
            return
        if result != JSON_EXPECTED[name]:
            self.fail(f"JsonHl7.{name} gave {result!r}")

    def own_step(self) -> None:
        # Only this thread writes these options, so the result is exact.
        h, rng = self.own, self.rng
        if rng.random() < 0.3:
            name = rng.choice(OPTIONS)
            self.own_options[name] = rng.random() < 0.5
            setattr(h, name, self.own_options[name])
        expected = EXPECTED[tuple(self.own_options[o] for o in OPTIONS)]
        if outcome(lambda: h.hl7_json) != expected["hl7_json"]:
            self.fail(f"own hl7_json differs for {self.own_options}")
        s, r = rng.choice((None, False, True)), rng.choice((None, False, True))
        if outcome(lambda: h.validate(s, r)) != expected["validate"][s, r]:
            self.fail(f"own validate({s}, {r}) differs for {self.own_options}")

    def run(self) -> None:
        try:
            self.barrier.wait()
            deadline = self.deadline_box[0]
            while time.monotonic() < deadline and not self.failures:
                self.calls += 1
                try:
                    if self.rng.random() < 0.75:
                        self.shared_step()
                    else:
                        try:
                            self.own_step()
                        except RuntimeError as exc:
                            self.fail(f"own object raised {exc!r}")
                except RuntimeError as exc:
                    if str(exc) not in BORROW_ERRORS:
                        self.fail(f"RuntimeError {exc!r}")
                    self.borrow_errors += 1
        except BaseException as exc:  # noqa: BLE001 - reported to the main thread
            self.fail(f"{type(exc).__name__}: {exc}")


@pytest.fixture
def fast_switching():
    # Hand the GIL over as often as possible, where there is one.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_shared_objects_under_threads(fast_switching):
    shared = Hl7Json(MESSAGE)
    barrier = threading.Barrier(THREADS + 1)
    deadline_box = [0.0]
    workers = [Worker(i, shared, barrier, deadline_box) for i in range(THREADS)]
    threads = [threading.Thread(target=w.run) for w in workers]
    for t in threads:
        t.start()
    deadline_box[0] = time.monotonic() + SECONDS
    barrier.wait()
    for t in threads:
        t.join(SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "a worker hangs"
    failures = [f for w in workers for f in w.failures]
    assert not failures, failures
    assert all(w.calls > 10 for w in workers)
    # The shared object is still whole: its options read back and it converts.
    final = tuple(getattr(shared, o) for o in OPTIONS)
    assert outcome(lambda: shared.hl7_json) == EXPECTED[final]["hl7_json"]


class bool_:  # noqa: N801 - poses as numpy's boolean, whose truth value the module asks for
    __module__ = "numpy"

    def __init__(self, action):
        self.action = action

    def __bool__(self):
        self.action()
        return True


def test_conflicting_access_is_refused_and_released():
    # A truth value that calls back into the same object runs while the flag is
    # held: the conflict shows deterministically, and the flag is free after it.
    h = Hl7Json(MESSAGE)
    conflicts = [
        ("Already mutably borrowed", lambda: setattr(h, "escaping_enabled", bool_(lambda: h.hl7_json))),
        ("Already borrowed", lambda: h.validate(bool_(lambda: setattr(h, "strict_validation", True)), None)),
        ("Already borrowed", lambda: setattr(h, "strict_validation", bool_(lambda: setattr(h, "escaping_enabled", 0)))),
    ]
    for text, call in conflicts:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == text
    assert h.escaping_enabled is True and h.strict_validation is False
    # Readers share: a read inside a read goes through, in strict mode here.
    with pytest.raises(Exception, match="^HL7 version not supported: 2.5x "):
        h.validate(bool_(lambda: h.hl7_string), False)
    h.validation_enabled = True
    assert h.validation_enabled is True
    assert h.hl7_json == EXPECTED[(True, False, True)]["hl7_json"]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_gil_stays_off_after_import():
    # A fresh interpreter: something else imported here could have turned it on.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import sys, tessarin; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "False"


def test_module_definition_matches_loading_path():
    # From 3.15 on the interpreter loads the module through PyModExport_tessarin
    # and its slots, which leaves the module without a PyModuleDef.
    import tessarin

    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.c_void_p
    get_def.argtypes = [ctypes.py_object]
    definition = get_def(tessarin)
    if sys.version_info >= (3, 15):
        assert definition is None
    else:
        assert definition is not None


# ---------------------------------------------------------------------------
# Heavy load: every thread converts the whole corpus, both ways, many times.

LOAD_ROUNDS = int(os.environ.get("TESSARIN_LOAD_ROUNDS", "100"))


def _memory_in_use() -> dict:
    """The C heap in use over every arena and the interpreter's blocks: resident
    memory would count what arenas keep free, which grows with the state of
    the heap that earlier tests leave."""
    import gc

    from test_leaks import HEAP

    gc.collect()
    return {"heap": HEAP() if HEAP else 0, "blocks": sys.getallocatedblocks()}


def _convert(text: str):
    records = Hl7Json(text).hl7_json
    return records, JsonHl7(records).hl7_string


@pytest.mark.slow
def test_threads_convert_the_corpus_like_one_thread():
    from conftest import CORPUS_DIR, needs_corpus  # noqa: F401

    if not CORPUS_DIR.is_dir():
        pytest.skip(f"the sample messages are not at {CORPUS_DIR}")
    texts = []
    for path in sorted(CORPUS_DIR.iterdir()):
        try:
            texts.append(path.read_bytes().decode("utf-8"))
        except UnicodeDecodeError:
            continue  # from_file refuses these; the conversion itself takes str
    expected = [_convert(text) for text in texts]
    _convert(texts[0])
    before = _memory_in_use()
    barrier = threading.Barrier(THREADS)
    mismatches: list[str] = []

    def work(index: int) -> None:
        barrier.wait()
        for round_ in range(LOAD_ROUNDS):
            for i, text in enumerate(texts):
                if _convert(text) != expected[i] and len(mismatches) < 10:
                    mismatches.append(f"thread {index}, round {round_}, message {i}")

    started = time.monotonic()
    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started
    after = _memory_in_use()
    print(
        f"\n{THREADS} threads x {LOAD_ROUNDS} rounds x {len(texts)} messages in {elapsed:.1f} s; "
        f"C heap in use {before['heap'] / 2**20:.1f} -> {after['heap'] / 2**20:.1f} MiB, "
        f"blocks {before['blocks']} -> {after['blocks']}"
    )
    assert not mismatches, mismatches
    # One conversion's records are far below this; a leak per call would pass it many times over.
    assert after["heap"] - before["heap"] < 16 * 2**20, (before, after)
    if sys.getallocatedblocks() > 0:
        assert after["blocks"] - before["blocks"] < 1000, (before, after)
