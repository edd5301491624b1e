// The (head, path, size) tuples of the native file functions, read while the
// interpreter lock is held, for use after it is released.
#pragma once

#include "python/handle.hpp"  // Python.h comes before any system header

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "python/entry_point.hpp"

namespace tessarin::py {

struct FileList {
    std::vector<PyRef> held;  // another thread may change the list while the lock is released
    std::vector<std::string_view> heads;
    std::vector<std::string_view> paths;            // NUL-terminated, as bytes objects are
    std::vector<std::optional<std::size_t>> sizes;  // none: unknown (a size below 0)
};

inline bool read_file_list(PyObject* items, FileList& files) {
    PyRef fast = sequence_items(items, "files must be a sequence of (bytes, bytes, int)");
    if (!fast) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        files.held.push_back(PyRef::borrow(item));
        PyObject *head, *path;
        Py_ssize_t size;
        if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "SSn:files", &head, &path, &size)) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "files[%zd] must be a (bytes, bytes, int) tuple", i);
            return false;
        }
        const std::string_view path_text = PyBytes_AS_STRING(path);
        if (path_text.size() != static_cast<std::size_t>(PyBytes_GET_SIZE(path))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return false;
        }
        files.heads.emplace_back(PyBytes_AS_STRING(head), static_cast<std::size_t>(PyBytes_GET_SIZE(head)));
        files.paths.push_back(path_text);
        files.sizes.push_back(size >= 0 ? std::optional<std::size_t>(static_cast<std::size_t>(size)) : std::nullopt);
    }
    return true;
}

}  // namespace tessarin::py
