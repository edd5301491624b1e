// The two classes, created once per process and shared by every import.
#pragma once

#include <atomic>

#include "python/handle.hpp"

namespace tessarin::py {

// Each returns the type object (a new reference), creating it on first use.
PyObject* hl7_json_type();
PyObject* json_hl7_type();

// The type stored in `slot`, created from `spec` by the first caller; a racing
// creator drops its copy so that every import sees one type object. A call of
// the class itself goes through `construct`, which skips the argument tuple
// and dict that tp_new needs (the type cannot be subclassed).
inline PyTypeObject* create_type_once(std::atomic<PyTypeObject*>& slot, PyType_Spec& spec, vectorcallfunc construct) {
    if (PyTypeObject* existing = slot.load(std::memory_order_acquire)) return existing;
    PyObject* created = PyType_FromSpec(&spec);
    if (!created) return nullptr;
    reinterpret_cast<PyTypeObject*>(created)->tp_vectorcall = construct;
    PyTypeObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(created), std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return reinterpret_cast<PyTypeObject*>(created);  // the slot keeps this reference for the process
}

}  // namespace tessarin::py
