// The module definition: one execution step that registers both classes.
#include "python/handle.hpp"
#include "python/dict_items.hpp"
#include "python/key_table.hpp"
#include "python/types.hpp"

namespace tessarin::py {

namespace {

// Adds a class to the module and appends its name to __all__.
int add_class(PyObject* module, const char* name, PyObject* (*type_of)()) {
    PyRef type = PyRef::steal(type_of());
    if (!type) return -1;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, type.get());
}

// Type objects are per process (types.hpp), so only the main interpreter may
// hold the module. The Py_mod_multiple_interpreters slot says so from 3.12 on,
// but 3.11 has no such slot, and later interpreters skip it for subinterpreters
// made the legacy way.
int refuse_subinterpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(PyExc_ImportError, "module tessarin does not support loading in subinterpreters");
    return -1;
}

int exec_module(PyObject* module) {
    if (refuse_subinterpreter() < 0) return -1;
    // Before any call can run: the table is read without a lock afterwards.
    if (!build_key_table()) return -1;
    check_dict_layout();
    if (add_class(module, "Hl7Json", hl7_json_type) < 0) return -1;
    return add_class(module, "JsonHl7", json_hl7_type);
}

}  // namespace

}  // namespace tessarin::py

extern "C" {

#if defined(PyMODEXPORT_FUNC) && defined(Py_mod_abi)
// Interpreters from 3.15 on load the module from this slot list directly.
static PyABIInfo tessarin_abi_info = {1, 0, PyABIInfo_DEFAULT_FLAGS, 0, 0};

static PySlot tessarin_slots[] = {
    PySlot_PTR(Py_mod_exec, tessarin::py::exec_module),
    PySlot_PTR(Py_mod_abi, &tessarin_abi_info),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    // Type objects are per process, so a second interpreter must not share them.
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    PySlot_PTR(Py_mod_name, "tessarin"),
    PySlot_PTR(Py_mod_doc, ""),
    PySlot_END,
};

static PyModuleDef_Slot tessarin_def_slots[] = {
    {Py_mod_slots, tessarin_slots},
    {0, nullptr},
};

PyMODEXPORT_FUNC PyModExport_tessarin(void) { return tessarin_slots; }
#else
static PyModuleDef_Slot tessarin_def_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tessarin::py::exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    // Type objects are per process, so a second interpreter must not share them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};
#endif

static PyModuleDef tessarin_module = {
    PyModuleDef_HEAD_INIT,
    "tessarin",  // m_name
    "",          // m_doc
    0,           // m_size
    nullptr,     // m_methods
    tessarin_def_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit_tessarin(void) { return PyModuleDef_Init(&tessarin_module); }

}  // extern "C"
