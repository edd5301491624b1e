"""Module definition, class declarations and binding conventions."""

from __future__ import annotations

import ctypes
import gc
import inspect
import shutil
import subprocess
import sys
import sysconfig
import weakref
from collections import OrderedDict

import pytest

import tessarin
from tessarin import Hl7Json, JsonHl7

from conftest import raises_type_error

try:
    import numpy as np
except ImportError:  # numpy is a test dependency; without it only the NumPy tests are skipped
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

STANDARD_MODULE_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

HL7JSON_MEMBERS = {
    "hl7_string",
    "validation_enabled",
    "strict_validation",
    "escaping_enabled",
    "from_file",
    "_split_hl7_seg_to_json",
    "_split_hl7_seg_to_json_with_escaping",
    "_convert_hl7_to_json",
    "hl7_json",
    "validate",
}
JSONHL7_MEMBERS = {"json_data", "from_file", "hl7_string", "hl7_string_unescaped", "_convert_json_to_hl7"}


# ---------------------------------------------------------------------------
# The module


def test_all_and_doc():
    assert tessarin.__all__ == ["Hl7Json", "JsonHl7"]
    assert type(tessarin.__all__) is list
    assert tessarin.__doc__ == ""
    assert tessarin.__name__ == "tessarin"


def test_module_has_exactly_three_attributes_of_its_own():
    own = set(vars(tessarin)) - STANDARD_MODULE_ATTRS
    assert own == {"Hl7Json", "JsonHl7", "__all__"}
    assert tessarin.Hl7Json is Hl7Json and tessarin.JsonHl7 is JsonHl7


def test_module_init_is_multi_phase():
    # With multi-phase initialisation PyInit_tessarin returns the module
    # definition (a "moduledef" object), not a module.
    lib = ctypes.PyDLL(tessarin.__file__)
    init = lib.PyInit_tessarin
    init.restype = ctypes.c_void_p
    init.argtypes = []
    address = init()
    assert address
    ctypes.pythonapi.Py_IncRef(ctypes.c_void_p(address))  # keep the static definition alive for good
    obj = ctypes.cast(address, ctypes.py_object).value
    assert type(obj).__name__ == "moduledef"
    assert not isinstance(obj, type(sys))


def test_export_hook_present_only_where_headers_provide_it():
    lib = ctypes.PyDLL(tessarin.__file__)
    assert hasattr(lib, "PyInit_tessarin")
    assert hasattr(lib, "PyModExport_tessarin") == (sys.version_info >= (3, 15))


def test_only_the_entry_points_are_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", tessarin.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # Linker-provided markers carry no code of ours.
    symbols -= {"_init", "_fini", "__bss_start", "_edata", "_end"}
    expected = {"PyInit_tessarin"} | ({"PyModExport_tessarin"} if sys.version_info >= (3, 15) else set())
    # Test builds add the hooks that tests reach through ctypes (failing allocations,
    # lowering the vector width), and nothing else.
    if hasattr(ctypes.CDLL(tessarin.__file__), "tessarin_test_fail_allocation"):
        expected |= {"tessarin_test_fail_allocation", "tessarin_test_allocations"}
        expected |= {"tessarin_test_limit_vector_width", "tessarin_test_vector_width"}
        expected |= {"tessarin_test_read_dicts_directly"}
    assert symbols == expected, sorted(symbols ^ expected)[:20]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_module_does_not_enable_the_gil():
    code = "import sys, tessarin; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False", out.stderr


def test_import_in_fresh_interpreter_twice_gives_same_types():
    code = (
        "import importlib, sys, tessarin\n"
        "a = tessarin.Hl7Json\n"
        "del sys.modules['tessarin']\n"
        "import tessarin as t2\n"
        "print(t2.Hl7Json is a, t2.__all__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True ['Hl7Json', 'JsonHl7']"


# The subinterpreter reports its import to a file: its exceptions stay its own.
SUBINTERPRETER_IMPORT = """
try:
    import tessarin
except ImportError as error:
    outcome = f"ImportError: {error}"
else:
    outcome = "imported"
with open(REPORT, "w") as report:
    report.write(outcome)
"""

SUBINTERPRETER_WAYS = {
    # the way 3.11 offers; 3.13 renamed the module
    "isolated": "import _xxsubinterpreters as i\nn = i.create()\ni.run_string(n, code)\ni.destroy(n)",
    # the legacy configuration, which the module slot does not stop
    "legacy": "import _testcapi\n_testcapi.run_in_subinterp(code)",
}


@pytest.mark.parametrize("imported_first", [False, True], ids=["subinterpreter-first", "main-first"])
@pytest.mark.parametrize("way", sorted(SUBINTERPRETER_WAYS))
def test_subinterpreter_import_is_refused(way, imported_first, tmp_path):
    needed = "_xxsubinterpreters" if way == "isolated" else "_testcapi"
    if subprocess.run([sys.executable, "-c", f"import {needed}"], capture_output=True).returncode:
        pytest.skip(f"{needed} is not available on this interpreter")
    report = tmp_path / "report"
    code = "\n".join(
        [
            "import gc, tessarin" if imported_first else "import gc",
            f"code = {SUBINTERPRETER_IMPORT.replace('REPORT', repr(str(report)))!r}",
            SUBINTERPRETER_WAYS[way],
            "gc.collect()",
            # The main interpreter's types must be its own, and whole, after the other one is gone.
            "import tessarin",
            "print(tessarin.JsonHl7(tessarin.Hl7Json('PID|1^2').hl7_json).hl7_string)",
        ]
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert report.read_text() == "ImportError: module tessarin does not support loading in subinterpreters"
    assert done.stdout == "PID|1^2\n"


# ---------------------------------------------------------------------------
# The classes


@pytest.mark.parametrize("cls, members", [(Hl7Json, HL7JSON_MEMBERS), (JsonHl7, JSONHL7_MEMBERS)])
def test_type_shape(cls, members):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert set(vars(cls)) - {"__new__", "__doc__", "__module__"} == members
    for special in ("__repr__", "__eq__", "__hash__", "__init__", "__str__"):
        assert getattr(cls, special) is getattr(object, special)


@pytest.mark.parametrize("cls", [Hl7Json, JsonHl7])
def test_subclassing_refused(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("make", [lambda: Hl7Json("MSH|x"), lambda: JsonHl7([])])
def test_instances_have_no_dict_no_weakref_no_gc(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


def test_type_docstrings_and_text_signatures():
    assert Hl7Json.__text_signature__ == (
        "(hl7_string, validation_enabled=None, strict_validation=None, escaping_enabled=None)"
    )
    assert JsonHl7.__text_signature__ == "(json_data)"
    # The documentation text after the signature is empty.
    assert not Hl7Json.__doc__
    assert not JsonHl7.__doc__
    params = list(inspect.signature(Hl7Json).parameters.values())
    assert [p.name for p in params] == ["hl7_string", "validation_enabled", "strict_validation", "escaping_enabled"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert [p.default for p in params[1:]] == [None, None, None]
    assert params[0].default is inspect.Parameter.empty


@pytest.mark.parametrize(
    "cls, name, signature",
    [
        (Hl7Json, "from_file", "($cls, path, validation_enabled=None, strict_validation=None, escaping_enabled=None)"),
        (Hl7Json, "_split_hl7_seg_to_json", "($self, seg)"),
        (Hl7Json, "_split_hl7_seg_to_json_with_escaping", "($self, seg)"),
        (Hl7Json, "_convert_hl7_to_json", "($self)"),
        (Hl7Json, "validate", "($self, strict_mode, validate_required_fields)"),
        (JsonHl7, "from_file", "($cls, path)"),
        (JsonHl7, "_convert_json_to_hl7", "($self, escape)"),
    ],
)
def test_method_text_signatures(cls, name, signature):
    member = getattr(cls, name)
    assert member.__text_signature__ == signature
    assert not member.__doc__


def test_member_kinds():
    for cls, props in (
        (Hl7Json, ["hl7_string", "validation_enabled", "strict_validation", "escaping_enabled", "hl7_json"]),
        (JsonHl7, ["json_data", "hl7_string", "hl7_string_unescaped"]),
    ):
        for prop in props:
            descriptor = vars(cls)[prop]
            assert inspect.isdatadescriptor(descriptor), prop
            assert not descriptor.__doc__, prop
        assert type(vars(cls)["from_file"]).__name__ == "classmethod_descriptor"
    for name in ("validate", "_split_hl7_seg_to_json", "_split_hl7_seg_to_json_with_escaping", "_convert_hl7_to_json"):
        assert type(vars(Hl7Json)[name]).__name__ == "method_descriptor"
    assert type(vars(JsonHl7)["_convert_json_to_hl7"]).__name__ == "method_descriptor"


# ---------------------------------------------------------------------------
# Binding messages (word for word)


def h():
    return Hl7Json("MSH|^~\\&|A")


BINDING_CASES = [
    # too many positional arguments
    (
        lambda: Hl7Json("a", True, True, True, True),
        "Hl7Json.__new__() takes from 1 to 4 positional arguments but 5 were given",
    ),
    (
        lambda: Hl7Json("a", True, True, True, True, x=1),
        "Hl7Json.__new__() takes from 1 to 4 positional arguments but 5 were given",
    ),
    (lambda: h().validate(True, True, True), "Hl7Json.validate() takes 2 positional arguments but 3 were given"),
    (
        lambda: Hl7Json.from_file("p", None, None, None, None),
        "Hl7Json.from_file() takes from 1 to 4 positional arguments but 5 were given",
    ),
    (
        lambda: h()._split_hl7_seg_to_json("a", "b"),
        "Hl7Json._split_hl7_seg_to_json() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda: h()._split_hl7_seg_to_json_with_escaping("a", "b", "c"),
        "Hl7Json._split_hl7_seg_to_json_with_escaping() takes 1 positional arguments but 3 were given",
    ),
    (lambda: JsonHl7([], []), "JsonHl7.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: JsonHl7.from_file("a", "b"), "JsonHl7.from_file() takes 1 positional arguments but 2 were given"),
    (
        lambda: JsonHl7([])._convert_json_to_hl7(True, False),
        "JsonHl7._convert_json_to_hl7() takes 1 positional arguments but 2 were given",
    ),
    # unexpected keywords, repeated arguments, in the caller's order
    (lambda: Hl7Json(hl7_string="a", strict=True), "Hl7Json.__new__() got an unexpected keyword argument 'strict'"),
    (lambda: Hl7Json("a", hl7_string="b"), "Hl7Json.__new__() got multiple values for argument 'hl7_string'"),
    (
        lambda: Hl7Json("a", strict=True, hl7_string="b"),
        "Hl7Json.__new__() got an unexpected keyword argument 'strict'",
    ),
    (
        lambda: Hl7Json("a", hl7_string="b", strict=True),
        "Hl7Json.__new__() got multiple values for argument 'hl7_string'",
    ),
    (
        lambda: Hl7Json("a", None, validation_enabled=None),
        "Hl7Json.__new__() got multiple values for argument 'validation_enabled'",
    ),
    (lambda: h().validate(None, strict_mode=None), "Hl7Json.validate() got multiple values for argument 'strict_mode'"),
    (lambda: h().validate(strict=None), "Hl7Json.validate() got an unexpected keyword argument 'strict'"),
    (lambda: Hl7Json.from_file(file="x"), "Hl7Json.from_file() got an unexpected keyword argument 'file'"),
    (
        lambda: h()._split_hl7_seg_to_json("a", seg="b"),
        "Hl7Json._split_hl7_seg_to_json() got multiple values for argument 'seg'",
    ),
    (lambda: JsonHl7(data=[]), "JsonHl7.__new__() got an unexpected keyword argument 'data'"),
    (lambda: JsonHl7([], json_data=[]), "JsonHl7.__new__() got multiple values for argument 'json_data'"),
    (lambda: JsonHl7.from_file(path="a", Path="b"), "JsonHl7.from_file() got an unexpected keyword argument 'Path'"),
    (
        lambda: JsonHl7([])._convert_json_to_hl7(escaped=True),
        "JsonHl7._convert_json_to_hl7() got an unexpected keyword argument 'escaped'",
    ),
    # missing required arguments
    (lambda: Hl7Json(), "Hl7Json.__new__() missing 1 required positional argument: 'hl7_string'"),
    (
        lambda: Hl7Json(validation_enabled=True),
        "Hl7Json.__new__() missing 1 required positional argument: 'hl7_string'",
    ),
    (
        lambda: h().validate(),
        "Hl7Json.validate() missing 2 required positional arguments: 'strict_mode' and 'validate_required_fields'",
    ),
    (
        lambda: h().validate(True),
        "Hl7Json.validate() missing 1 required positional argument: 'validate_required_fields'",
    ),
    (
        lambda: h().validate(validate_required_fields=True),
        "Hl7Json.validate() missing 1 required positional argument: 'strict_mode'",
    ),
    (lambda: Hl7Json.from_file(), "Hl7Json.from_file() missing 1 required positional argument: 'path'"),
    (
        lambda: h()._split_hl7_seg_to_json(),
        "Hl7Json._split_hl7_seg_to_json() missing 1 required positional argument: 'seg'",
    ),
    (
        lambda: h()._split_hl7_seg_to_json_with_escaping(),
        "Hl7Json._split_hl7_seg_to_json_with_escaping() missing 1 required positional argument: 'seg'",
    ),
    (lambda: JsonHl7(), "JsonHl7.__new__() missing 1 required positional argument: 'json_data'"),
    (lambda: JsonHl7.from_file(), "JsonHl7.from_file() missing 1 required positional argument: 'path'"),
    (
        lambda: JsonHl7([])._convert_json_to_hl7(),
        "JsonHl7._convert_json_to_hl7() missing 1 required positional argument: 'escape'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_CASES, ids=[m for _, m in BINDING_CASES])
def test_binding_errors(call, message):
    with raises_type_error(message) as info:
        call()
    # Binding errors are not conversion errors: no note.
    assert not getattr(info.value, "__notes__", None)


def test_binding_runs_before_conversion():
    # A surplus argument is reported even when an earlier one has the wrong type.
    with raises_type_error("Hl7Json.__new__() takes from 1 to 4 positional arguments but 5 were given"):
        Hl7Json(1, 2, 3, 4, 5)
    with raises_type_error("Hl7Json.validate() missing 1 required positional argument: 'validate_required_fields'"):
        h().validate(1)


def test_no_argument_method_refuses_arguments():
    with pytest.raises(TypeError):
        h()._convert_hl7_to_json(1)
    with pytest.raises(TypeError):
        h()._convert_hl7_to_json(x=1)
    assert h()._convert_hl7_to_json() == h().hl7_json


def test_keywords_accepted_everywhere():
    obj = Hl7Json(hl7_string="MSH|x", validation_enabled=False, strict_validation=True, escaping_enabled=False)
    assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (False, True, False)
    obj = Hl7Json(escaping_enabled=False, hl7_string="MSH|x")
    assert obj.escaping_enabled is False
    assert obj._split_hl7_seg_to_json(seg="A|b") == {"1": "b", "segment_name": "A"}
    assert obj._split_hl7_seg_to_json_with_escaping(seg="A|\\T\\") == {"1": "&", "segment_name": "A"}
    with pytest.raises(Exception):
        obj.validate(validate_required_fields=None, strict_mode=None)
    j = JsonHl7(json_data=[{"segment_name": "A", "1": "b c"}])
    assert j._convert_json_to_hl7(escape=False) == "A|b c"
    assert j._convert_json_to_hl7(escape=True) == "A|b\\X20\\c"


# ---------------------------------------------------------------------------
# Conversion messages and notes


class _Weird:
    pass


CONVERSION_CASES = [
    (lambda: Hl7Json(1), "'int' object is not an instance of 'str'", "hl7_string"),
    (lambda: Hl7Json(b"MSH"), "'bytes' object is not an instance of 'str'", "hl7_string"),
    (lambda: Hl7Json(None), "'None' is not an instance of 'str'", "hl7_string"),
    (lambda: Hl7Json(_Weird()), "'_Weird' object is not an instance of 'str'", "hl7_string"),
    (lambda: Hl7Json(["a"]), "'list' object is not an instance of 'str'", "hl7_string"),
    (lambda: Hl7Json("a", validation_enabled=1), "'int' object is not an instance of 'bool'", "validation_enabled"),
    (lambda: Hl7Json("a", None, 0), "'int' object is not an instance of 'bool'", "strict_validation"),
    (lambda: Hl7Json("a", None, None, "yes"), "'str' object is not an instance of 'bool'", "escaping_enabled"),
    (lambda: Hl7Json("a", 1.0), "'float' object is not an instance of 'bool'", "validation_enabled"),
    # the first parameter in order is converted first
    (lambda: Hl7Json(1, validation_enabled=1), "'int' object is not an instance of 'str'", "hl7_string"),
    (
        lambda: Hl7Json("a", escaping_enabled=1, validation_enabled=2),
        "'int' object is not an instance of 'bool'",
        "validation_enabled",
    ),
    (lambda: Hl7Json.from_file(1), "'int' object is not an instance of 'str'", "path"),
    (lambda: Hl7Json.from_file(None), "'None' is not an instance of 'str'", "path"),
    (
        lambda: Hl7Json.from_file("/nonexistent/x", validation_enabled=1),
        "'int' object is not an instance of 'bool'",
        "validation_enabled",
    ),
    (
        lambda: Hl7Json.from_file("/nonexistent/x", None, None, 1),
        "'int' object is not an instance of 'bool'",
        "escaping_enabled",
    ),
    (lambda: h().validate(1, None), "'int' object is not an instance of 'bool'", "strict_mode"),
    (lambda: h().validate(None, "x"), "'str' object is not an instance of 'bool'", "validate_required_fields"),
    (lambda: h()._split_hl7_seg_to_json(1), "'int' object is not an instance of 'str'", "seg"),
    (lambda: h()._split_hl7_seg_to_json(None), "'None' is not an instance of 'str'", "seg"),
    (lambda: h()._split_hl7_seg_to_json_with_escaping(b"x"), "'bytes' object is not an instance of 'str'", "seg"),
    (lambda: JsonHl7.from_file(1), "'int' object is not an instance of 'str'", "path"),
    (lambda: JsonHl7.from_file(None), "'None' is not an instance of 'str'", "path"),
    (lambda: JsonHl7([])._convert_json_to_hl7(1), "'int' object is not an instance of 'bool'", "escape"),
    (lambda: JsonHl7([])._convert_json_to_hl7(0), "'int' object is not an instance of 'bool'", "escape"),
    (lambda: JsonHl7([])._convert_json_to_hl7(None), "'None' is not an instance of 'bool'", "escape"),
]


@pytest.mark.parametrize("call, message, note", CONVERSION_CASES, ids=[f"{n}:{m}" for _, m, n in CONVERSION_CASES])
def test_conversion_errors(call, message, note):
    with raises_type_error(message, note):
        call()


def test_type_name_is_qualified_name():
    class Inner:
        pass

    with raises_type_error(f"'{Inner.__qualname__}' object is not an instance of 'str'", "hl7_string"):
        Hl7Json(Inner())
    assert "<locals>" in Inner.__qualname__


def test_pathlike_is_not_a_str():
    import pathlib

    with raises_type_error("'PosixPath' object is not an instance of 'str'", "path"):
        Hl7Json.from_file(pathlib.PosixPath("/tmp"))


def test_str_subclass_accepted():
    class S(str):
        pass

    obj = Hl7Json(S("MSH|a\r\nPID|b"))
    assert obj.hl7_string == "MSH|a\nPID|b"
    assert type(obj.hl7_string) is str
    assert obj._split_hl7_seg_to_json(S("A|b")) == {"1": "b", "segment_name": "A"}
    assert JsonHl7([{S("segment_name"): S("A"), S("1"): S("b")}]).hl7_string == "A|b"


def test_bools_taken_as_given():
    obj = Hl7Json("a", True, False, False)
    assert obj.validation_enabled is True
    assert obj.strict_validation is False
    assert obj.escaping_enabled is False


def test_none_means_default():
    a = Hl7Json("a", None, None, None)
    b = Hl7Json("a")
    for obj in (a, b):
        assert obj.validation_enabled is False
        assert obj.strict_validation is False
        assert obj.escaping_enabled is True
    # validate's two parameters accept None (though both are required)
    Hl7Json("MSH|^~\\&|A|B|C|D|E||ADT^A01|1|P|2.5\rPID|1").validate(None, None)
    Hl7Json("MSH|^~\\&|A|B|C|D|E||ADT^A01|1|P|2.5\rPID|1").validate(strict_mode=None, validate_required_fields=None)


# ---------------------------------------------------------------------------
# Lone surrogates: the interpreter's encoding error, with the note


@pytest.mark.parametrize(
    "call, note",
    [
        (lambda: Hl7Json("MSH|\ud800"), "hl7_string"),
        (lambda: Hl7Json("\udfff"), "hl7_string"),
        (lambda: Hl7Json.from_file("/tmp/\ud800"), "path"),
        (lambda: h()._split_hl7_seg_to_json("A|\udc80"), "seg"),
        (lambda: h()._split_hl7_seg_to_json_with_escaping("A|\udc80"), "seg"),
        (lambda: JsonHl7.from_file("\ud83d"), "path"),
        (lambda: JsonHl7([{"1": "\ud800"}]), "json_data"),
        (lambda: JsonHl7([{"\ud800": "x"}]), "json_data"),
    ],
)
def test_lone_surrogate_raises_encoding_error_with_note(call, note):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{note}'"]


# ---------------------------------------------------------------------------
# NumPy booleans and look-alikes


@needs_numpy
def test_numpy_bools_accepted_everywhere():
    obj = Hl7Json("MSH|x", np.bool_(True), np.True_, np.False_)
    assert obj.validation_enabled is True
    assert obj.strict_validation is True
    assert obj.escaping_enabled is False
    obj.escaping_enabled = np.bool_(True)
    assert obj.escaping_enabled is True
    obj.validation_enabled = np.False_
    assert obj.validation_enabled is False
    j = JsonHl7([{"1": "a b"}])
    assert j._convert_json_to_hl7(np.True_) == "a\\X20\\b"
    assert j._convert_json_to_hl7(escape=np.False_) == "a b"
    good = Hl7Json("MSH|^~\\&|A|B|C|D|E||ADT^A01^ADT_A01|1|P|2.5")
    good.validate(np.True_, np.False_)
    with pytest.raises(Exception, match="^Missing required segment: PID"):
        good.validate(np.False_, np.True_)


@needs_numpy
def test_numpy_non_bool_scalars_refused():
    with raises_type_error("'int64' object is not an instance of 'bool'", "validation_enabled"):
        Hl7Json("a", np.int64(1))
    with raises_type_error("'ndarray' object is not an instance of 'bool'", "escape"):
        JsonHl7([])._convert_json_to_hl7(np.array([True]))


def _numpy_lookalike(name: str, **namespace):
    return type(name, (), {"__module__": "numpy", **namespace})


def test_numpy_lookalike_by_name_and_module():
    for name in ("bool_", "bool"):
        truthy = _numpy_lookalike(name, __bool__=lambda self: True)()
        falsy = _numpy_lookalike(name, __bool__=lambda self: False)()
        obj = Hl7Json("a", truthy, falsy)
        assert obj.validation_enabled is True and obj.strict_validation is False
    # the same name in another module is not a NumPy boolean
    other = type("bool_", (), {"__module__": "mylib", "__bool__": lambda self: True})()
    with raises_type_error("'bool_' object is not an instance of 'bool'", "validation_enabled"):
        Hl7Json("a", other)


def test_numpy_lookalike_without_truth_conversion():
    for name in ("bool_", "bool"):
        value = _numpy_lookalike(name)()
        with raises_type_error(f"object of type '{name}' does not define a '__bool__' conversion", "escaping_enabled"):
            Hl7Json("a", escaping_enabled=value)
        obj = Hl7Json("a")
        with raises_type_error(f"object of type '{name}' does not define a '__bool__' conversion", "strict_validation"):
            obj.strict_validation = value
        assert obj.strict_validation is False


def test_numpy_lookalike_whose_truth_raises_keeps_its_exception_and_gets_the_note():
    def boom(self):
        raise ZeroDivisionError("no truth here")

    value = _numpy_lookalike("bool_", __bool__=boom)()
    with pytest.raises(ZeroDivisionError) as info:
        Hl7Json("a", validation_enabled=value)
    assert str(info.value) == "no truth here"
    assert info.value.__notes__ == ["while processing 'validation_enabled'"]


# ---------------------------------------------------------------------------
# Properties


@pytest.mark.parametrize("prop", ["validation_enabled", "strict_validation", "escaping_enabled"])
def test_option_property_writes(prop):
    obj = Hl7Json("MSH|x")
    setattr(obj, prop, True)
    assert getattr(obj, prop) is True
    setattr(obj, prop, False)
    assert getattr(obj, prop) is False
    with raises_type_error("'None' is not an instance of 'bool'", prop):
        setattr(obj, prop, None)
    with raises_type_error("'int' object is not an instance of 'bool'", prop):
        setattr(obj, prop, 1)
    with raises_type_error("'str' object is not an instance of 'bool'", prop):
        setattr(obj, prop, "True")
    assert getattr(obj, prop) is False  # unchanged by the failed writes
    with pytest.raises(AttributeError) as info:
        delattr(obj, prop)
    assert str(info.value) == "property has no deleter"
    assert getattr(obj, prop) is False


@pytest.mark.parametrize(
    "make, prop",
    [
        (lambda: Hl7Json("a"), "hl7_string"),
        (lambda: Hl7Json("a"), "hl7_json"),
        (lambda: JsonHl7([]), "json_data"),
        (lambda: JsonHl7([]), "hl7_string"),
        (lambda: JsonHl7([]), "hl7_string_unescaped"),
    ],
)
def test_read_only_properties(make, prop):
    obj = make()
    before = getattr(obj, prop)
    with pytest.raises(AttributeError):
        setattr(obj, prop, before)
    with pytest.raises(AttributeError):
        delattr(obj, prop)
    assert getattr(obj, prop) == before


def test_results_are_new_objects_of_plain_types():
    obj = Hl7Json("MSH|^~\\&|A\rPID|1")
    first, second = obj.hl7_json, obj.hl7_json
    assert first == second
    assert first is not second
    assert all(a is not b for a, b in zip(first, second, strict=True))
    assert type(first) is list and all(type(d) is dict for d in first)
    assert all(type(k) is str and type(v) is str for d in first for k, v in d.items())
    first[0]["2"] = "changed"
    first.append({})
    assert obj.hl7_json == second
    assert type(obj.hl7_string) is str
    j = JsonHl7(second)
    a, b = j.json_data, j.json_data
    assert a == b == second and a is not b
    a[0].clear()
    assert j.json_data == second
    assert type(j.hl7_string) is str and type(j.hl7_string_unescaped) is str


def test_from_file_called_through_an_instance_builds_its_own_class(tmp_path):
    p = tmp_path / "m.hl7"
    p.write_text("MSH|x")
    assert type(Hl7Json("a").from_file(str(p))) is Hl7Json
    q = tmp_path / "m.json"
    q.write_text("[]")
    assert type(JsonHl7([]).from_file(str(q))) is JsonHl7


# ---------------------------------------------------------------------------
# JsonHl7 construction

JSON_DATA_CASES = [
    ("", "Can't extract `str` to `Vec`"),
    ("[]", "Can't extract `str` to `Vec`"),
    ("abc", "Can't extract `str` to `Vec`"),
    (1, "'int' object is not an instance of 'Sequence'"),
    ({"segment_name": "PID"}, "'dict' object is not an instance of 'Sequence'"),
    ({"a"}, "'set' object is not an instance of 'Sequence'"),
    (frozenset(), "'frozenset' object is not an instance of 'Sequence'"),
    ((d for d in [{}]), "'generator' object is not an instance of 'Sequence'"),
    (iter([{}]), "'list_iterator' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    ([1], "'int' object is not an instance of 'dict'"),
    ([None], "'None' is not an instance of 'dict'"),
    ([{}, "segment_name"], "'str' object is not an instance of 'dict'"),
    ([[("a", "b")]], "'list' object is not an instance of 'dict'"),
    ([{"segment_name": "PID", "1": 5}], "'int' object is not an instance of 'str'"),
    ([{"segment_name": "PID", "1": None}], "'None' is not an instance of 'str'"),
    ([{"1": 1.5}], "'float' object is not an instance of 'str'"),
    ([{"1": True}], "'bool' object is not an instance of 'str'"),
    ([{"1": ["a"]}], "'list' object is not an instance of 'str'"),
    ([{"1": {"a": "b"}}], "'dict' object is not an instance of 'str'"),
    ([{"1": b"a"}], "'bytes' object is not an instance of 'str'"),
    ([{1: "a"}], "'int' object is not an instance of 'str'"),
    ([{None: "a"}], "'None' is not an instance of 'str'"),
    ([{"segment_name": "A"}, {"segment_name": "B", ("t",): "x"}], "'tuple' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("data, message", JSON_DATA_CASES, ids=[m for _, m in JSON_DATA_CASES])
def test_json_data_refusals(data, message):
    with raises_type_error(message, "json_data"):
        JsonHl7(data)


def test_json_data_refusal_leaves_caller_objects_untouched():
    record = {"segment_name": "PID", "1": "a", "2": 3}
    data = [{"segment_name": "MSH"}, record]
    with pytest.raises(TypeError):
        JsonHl7(data)
    assert data == [{"segment_name": "MSH"}, {"segment_name": "PID", "1": "a", "2": 3}]
    assert list(record) == ["segment_name", "1", "2"]


def test_json_data_exception_from_the_sequence_keeps_its_type_and_gets_the_note():
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise ValueError("broken sequence")

    with pytest.raises(ValueError) as info:
        JsonHl7(Broken())
    assert str(info.value) == "broken sequence"
    assert info.value.__notes__ == ["while processing 'json_data'"]


def test_json_data_accepted_forms():
    assert JsonHl7([]).json_data == []
    assert JsonHl7(()).hl7_string == ""
    assert JsonHl7(({"segment_name": "PID"},)).hl7_string == "PID"
    assert JsonHl7([{}]).json_data == [{}]
    assert JsonHl7([OrderedDict([("1", "b"), ("segment_name", "A")])]).hl7_string == "A|b"

    class D(dict):
        pass

    assert JsonHl7([D(segment_name="A")]).hl7_string == "A"

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i == 0:
                return {"segment_name": "Z"}
            raise IndexError(i)

    assert JsonHl7(Seq()).hl7_string == "Z"


def test_json_data_keys_come_back_in_byte_order():
    j = JsonHl7([{"segment_name": "A", "b": "1", "a": "2", "10": "x", "2": "y", "1[0]": "z", "1.1": "w", "é": "e"}])
    assert list(j.json_data[0]) == ["1.1", "10", "1[0]", "2", "a", "b", "segment_name", "é"]
    assert list(JsonHl7([{"b": "1", "a": "2"}]).json_data[0]) == ["a", "b"]


def test_json_data_is_a_copy():
    record = {"segment_name": "A", "1": "x"}
    data = [record]
    j = JsonHl7(data)
    record["1"] = "changed"
    data.append({"segment_name": "B"})
    assert j.hl7_string == "A|x"
    assert j.json_data == [{"1": "x", "segment_name": "A"}]
