// The (head, path, size) tuples of the native file functions, read while the
// interpreter lock is held, for use after it is released.
#pragma once

#include "python/handle.hpp"  // Python.h comes before any system header

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/entry_point.hpp"

namespace tessarin::py {

struct FileList {
    std::vector<PyRef> held;  // another thread may change the list while the lock is released
    std::vector<std::string_view> heads;
    std::vector<std::string_view> paths;            // NUL-terminated, as bytes objects are
    std::vector<std::optional<std::size_t>> sizes;  // none: unknown (a size below 0)
    std::string made;                               // the heads and paths of a folder's files
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

// Whether `items` names files the folder way: (folder, head, names, first).
inline bool names_folder_files(PyObject* items) {
    return PyTuple_Check(items) && PyTuple_GET_SIZE(items) == 4 && PyLong_Check(PyTuple_GET_ITEM(items, 3));
}

// The files of a folder listed by list_folder, from the one numbered `first`
// on: `names` holds their names, each ended by a NUL; a file's path is
// `folder` + name, its size unknown, and its lines' head `head` + name + '"'.
// One bytes object for many files: the caller makes no object per file.
inline bool read_folder_files(PyObject* items, FileList& files) {
    PyObject *folder, *head, *names;
    Py_ssize_t first;
    if (!PyArg_ParseTuple(items, "SSSn:files", &folder, &head, &names, &first)) return false;
    const auto view = [](PyObject* bytes) {
        return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    };
    const std::string_view folder_text = view(folder), head_text = view(head), all = view(names);
    if (first < 0 || (!all.empty() && all.back() != '\0') || folder_text.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "files: (folder, head, names ending in NUL, first >= 0)");
        return false;
    }
    files.held.push_back(PyRef::borrow(items));
    std::vector<std::string_view> taken;
    std::size_t skip = static_cast<std::size_t>(first), made = 0;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find('\0', at);
        if (skip > 0) {
            --skip;
        } else {
            taken.push_back(all.substr(at, end - at));
            made += head_text.size() + folder_text.size() + 2 * (end - at) + 2;
        }
        at = end + 1;
    }
    // Views into `made`, which is never grown past what is reserved here.
    files.made.reserve(made);
    for (const std::string_view name : taken) {
        const std::size_t head_at = files.made.size();
        files.made.append(head_text).append(name).push_back('"');
        files.heads.emplace_back(files.made.data() + head_at, files.made.size() - head_at);
        const std::size_t path_at = files.made.size();
        files.made.append(folder_text).append(name);
        files.paths.emplace_back(files.made.data() + path_at, files.made.size() - path_at);
        files.made.push_back('\0');
        files.sizes.emplace_back();
    }
    return true;
}

}  // namespace tessarin::py
