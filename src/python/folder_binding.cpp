// _columns.list_folder: a folder of plain files listed without the
// interpreter lock, their names handed over in a few bytes objects rather
// than an object per file (src/feeds/feed_files.cpp lists it).
#include "python/handle.hpp"  // Python.h comes before any system header

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "python/entry_point.hpp"
#include "feeds/feed_files.hpp"

namespace tessarin::columns {

extern const char kListFolderDoc[] =
    "list_folder(path, batch, /)\n--\n\n"
    "The plain files of the folder at `path` (bytes) in name order, hidden ones left out, as (count, names)\n"
    "tuples of at most `batch` files each, `names` holding each name ended by a NUL. None when the folder\n"
    "holds anything else (a folder, a link, a device, a type the listing does not tell), a name that is\n"
    "not UTF-8 or that JSON escapes, or cannot be read: such a folder is the Python walk's.";

PyObject* list_folder(PyObject*, PyObject* args) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* path;
        Py_ssize_t batch;
        if (!PyArg_ParseTuple(args, "Sn:list_folder", &path, &batch)) return nullptr;
        if (batch < 1) {
            PyErr_SetString(PyExc_ValueError, "list_folder: batch must be at least 1");
            return nullptr;
        }
        if (std::strlen(PyBytes_AS_STRING(path)) != static_cast<std::size_t>(PyBytes_GET_SIZE(path))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return nullptr;
        }
        std::optional<std::vector<std::string>> names;
        {
            py::AllowThreads allow;
            names = feeds::plain_file_names(PyBytes_AS_STRING(path));
        }
        if (!names) Py_RETURN_NONE;
        const std::size_t step = static_cast<std::size_t>(batch);
        py::PyRef batches = py::PyRef::steal(PyList_New(0));
        if (!batches) return nullptr;
        for (std::size_t first = 0; first < names->size(); first += step) {
            const std::size_t last = std::min(names->size(), first + step);
            std::size_t size = 0;
            for (std::size_t i = first; i < last; ++i) size += (*names)[i].size() + 1;
            py::PyRef joined = py::PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            if (!joined) return nullptr;
            char* at = PyBytes_AS_STRING(joined.get());
            for (std::size_t i = first; i < last; ++i) {
                std::memcpy(at, (*names)[i].data(), (*names)[i].size());
                at += (*names)[i].size();
                *at++ = '\0';
            }
            py::PyRef item =
                py::PyRef::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(last - first), joined.get()));
            if (!item || PyList_Append(batches.get(), item.get()) < 0) return nullptr;
        }
        return batches.release();
    });
}

}  // namespace tessarin::columns
