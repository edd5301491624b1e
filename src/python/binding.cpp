#include "python/handle.hpp"  // Python.h comes before any system header
#include "python/binding.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tessarin::py {

namespace {

const char* parameter_name(const Signature& signature, std::size_t i) { return signature.parameters.begin()[i]; }

bool raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t count = signature.parameters.size();
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", signature.full_name, count,
                     given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     signature.full_name, signature.required, count, given, verb);
    }
    return false;
}

// Places one keyword argument; false with a TypeError set when it fits nowhere.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject* (&bound)[kMaxParameters]) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, parameter_name(signature, i)) != 0) continue;
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", signature.full_name, name);
            return false;
        }
        bound[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.full_name, name);
    return false;
}

bool check_required(const Signature& signature, PyObject* (&bound)[kMaxParameters]) {
    if (std::all_of(bound, bound + signature.required, [](PyObject* argument) { return argument != nullptr; }))
        return true;
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (!bound[i]) missing.push_back(parameter_name(signature, i));
    if (missing.empty()) return true;
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.full_name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* (&bound)[kMaxParameters]) {
    std::fill(std::begin(bound), std::end(bound), nullptr);
    if (static_cast<std::size_t>(nargs) > signature.parameters.size())
        return raise_too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    return true;
}

}  // namespace

bool is_ascii(std::string_view text) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        high |= word;
    }
    for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ull) == 0;
}

namespace {

// 1 for NumPy's boolean scalar type, 0 for any other, -1 with an error set
// (running out of memory must not turn into a wrong TypeError).
int is_numpy_bool(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) return -1;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
        return 0;
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) return -1;
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* (&bound)[kMaxParameters]) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (!bind_positional(signature, args, positional, bound)) return false;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i)
        if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[positional + i], bound)) return false;
    return check_required(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject* (&bound)[kMaxParameters]) {
    if (!bind_positional(signature, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), bound))
        return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!bind_keyword(signature, name, value, bound)) return false;
    }
    return check_required(signature, bound);
}

void add_parameter_note(const char* parameter) {
#if PY_VERSION_HEX >= 0x030C0000
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef exception = PyRef::steal(value);
#endif
    if (!exception) return;
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyRef result = note ? PyRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get())) : PyRef();
    // The error without its note would be a different error: the note's failure (no memory) is raised instead.
    if (!result) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* raised = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(raised))), raised, PyException_GetTraceback(raised));
#endif
}

void set_type_mismatch(PyObject* value, const char* expected) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool convert_str(PyObject* value, const char* parameter, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        set_type_mismatch(value, "str");
        add_parameter_note(parameter);
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) {
        add_parameter_note(parameter);
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_bool(PyObject* value, const char* parameter, bool& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    const int numpy_bool = is_numpy_bool(value);
    if (numpy_bool < 0) return false;
    if (numpy_bool) {
        PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
        if (!number || !number->nb_bool) {
            PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
            if (name)
                PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                             name.get());
            add_parameter_note(parameter);
            return false;
        }
        const int truth = number->nb_bool(value);
        if (truth < 0) {
            add_parameter_note(parameter);
            return false;
        }
        out = truth != 0;
        return true;
    }
    set_type_mismatch(value, "bool");
    add_parameter_note(parameter);
    return false;
}

bool convert_optional_bool(PyObject* value, const char* parameter, std::optional<bool>& out) {
    out.reset();
    if (!value || value == Py_None) return true;
    bool flag;
    if (!convert_bool(value, parameter, flag)) return false;
    out = flag;
    return true;
}

PyObject* raise_error(const Hl7Error& error) {
    const std::string text = error.display();
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(PyExc_Exception, message.get());
    return nullptr;
}

bool BorrowFlag::acquire_shared() noexcept {
    Py_ssize_t current = state_.load(std::memory_order_relaxed);
    do {
        if (current == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}

bool BorrowFlag::acquire_exclusive() noexcept {
    Py_ssize_t expected = 0;
    if (state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

PyObject* new_str(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (is_ascii(text)) return new_ascii_str(text);
    return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
}

}  // namespace tessarin::py
