// Keeps C++ exceptions from crossing into the interpreter: an entry point's
// body runs inside `guarded`, which turns them into Python errors.
#pragma once

#include <new>
#include <stdexcept>
#include <utility>

#include "python/handle.hpp"

namespace tessarin::py {

template <class Result, class Body>
Result guarded(Result error_value, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a size beyond what a container holds
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tessarin: unexpected internal error");
    }
    return error_value;
}

// The items of a sequence argument, as PySequence_Fast gives them (TypeError
// with `message` for anything else). A free-threaded build copies a list
// first: another thread may change it while its items are read.
inline PyRef sequence_items(PyObject* sequence, const char* message) {
    PyRef fast = PyRef::steal(PySequence_Fast(sequence, message));
#ifdef Py_GIL_DISABLED
    if (fast && PyList_Check(fast.get())) fast = PyRef::steal(PyList_AsTuple(fast.get()));
#endif
    return fast;
}

// The object part of an instance: header, borrow flag and the native state,
// which is constructed in place from `state_args` after the memory comes
// from tp_alloc. With none, a constructor fills the default state in place:
// moving a state in costs as much as a small conversion's own work.
template <class Object, class... StateArgs>
PyObject* new_instance(PyTypeObject* type, StateArgs&&... state_args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* object = reinterpret_cast<Object*>(self);
    new (&object->borrow) decltype(object->borrow)();
    new (&object->state) decltype(object->state)(std::forward<StateArgs>(state_args)...);
    return self;
}

template <class Object>
void dealloc_instance(PyObject* self) {
    auto* object = reinterpret_cast<Object*>(self);
    PyTypeObject* type = Py_TYPE(self);
    using State = decltype(object->state);
    object->state.~State();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Lets other threads run while native work that touches no Python object
// goes on; restores the thread state on every exit, exceptions included.
class AllowThreads {
public:
    explicit AllowThreads(bool release = true) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~AllowThreads() {
        if (state_) PyEval_RestoreThread(state_);
    }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

// Below this many bytes, handing the interpreter lock over costs more than it frees.
inline constexpr std::size_t kReleaseThreshold = 64 * 1024;

// Method tables store every calling form as PyCFunction.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tessarin::py
