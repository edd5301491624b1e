// Conventions shared by every entry point: argument binding and conversion
// with their exact messages, the per-object borrow flag, and the conversion
// of results and core errors.
#pragma once

#include "python/handle.hpp"

#include <atomic>
#include <cstring>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "core/errors.hpp"
#include "core/record.hpp"

namespace tessarin::py {

inline constexpr std::size_t kMaxParameters = 4;

struct Signature {
    const char* full_name;  // as messages name the callable, e.g. "Hl7Json.validate()"
    std::initializer_list<const char*> parameters;
    std::size_t required;  // the first `required` parameters have no default
};

// Binds vectorcall arguments to the signature's parameters. `bound` receives
// borrowed references, nullptr for an optional parameter left out. Returns
// false with a TypeError set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* (&bound)[kMaxParameters]);
// The same for the tuple-and-dict calling form of a type's new slot.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject* (&bound)[kMaxParameters]);

// Conversions. Each returns false with an exception set that carries the
// note "while processing '<parameter>'".
bool convert_str(PyObject* value, const char* parameter, std::string_view& out);
bool convert_bool(PyObject* value, const char* parameter, bool& out);
// nullptr or None leave `out` empty.
bool convert_optional_bool(PyObject* value, const char* parameter, std::optional<bool>& out);

// Sets "'<type>' object is not an instance of '<expected>'" (or the None form).
void set_type_mismatch(PyObject* value, const char* expected);
// Attaches "while processing '<parameter>'" to the pending exception.
void add_parameter_note(const char* parameter);

// Raises the built-in Exception with the error's display text; returns nullptr.
PyObject* raise_error(const Hl7Error& error);

// Many readers or one writer; a conflicting caller fails at once rather than wait.
class BorrowFlag {
public:
    bool acquire_shared() noexcept;
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    bool acquire_exclusive() noexcept;
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<Py_ssize_t> state_{0};
};

// Holds the flag for a scope; check `ok()` (a RuntimeError is set when false).
class SharedHold {
public:
    explicit SharedHold(BorrowFlag& flag) noexcept : flag_(flag), held_(flag.acquire_shared()) {}
    ~SharedHold() {
        if (held_) flag_.release_shared();
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    bool ok() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(BorrowFlag& flag) noexcept : flag_(flag), held_(flag.acquire_exclusive()) {}
    ~ExclusiveHold() {
        if (held_) flag_.release_exclusive();
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    bool ok() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

// A new str from UTF-8 bytes, with a direct path for ASCII.
PyObject* new_str(std::string_view text);
bool is_ascii(std::string_view text) noexcept;
// A new str from bytes known to be ASCII. Single characters ("1", "F", "M" are
// common HL7 values) come from the interpreter's shared one-character strings.
inline PyObject* new_ascii_str(std::string_view text) {
    if (text.size() == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0]));
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str && !text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

// A new dict of a record's entries, inserted in the record's order.
template <class Record>
PyObject* record_to_dict(const Record& record) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : record) {
        PyRef key_object = PyRef::steal(new_str(key));
        PyRef value_object = key_object ? PyRef::steal(new_str(value)) : PyRef();
        if (!value_object || PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) < 0) return nullptr;
    }
    return dict.release();
}

// A new list of record dicts; `Records` is indexable (a RecordStore).
template <class Records>
PyObject* records_to_list(const Records& records) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* dict = record_to_dict(records[i]);
        if (!dict) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
    }
    return list.release();
}

}  // namespace tessarin::py
