// _columns.convert_buffers: whole feeds held in memory to the command's JSON
// Lines, many per call, without the interpreter lock (src/feeds/ does the work).
#include "../python/handle.hpp"  // Python.h comes before any system header

#include <optional>
#include <vector>

#include "../python/entry_point.hpp"
#include "feeds/feed_lines.hpp"

namespace tessarin::columns {

namespace {

using py::PyRef;

struct Buffer {
    std::string_view head, data;
    feeds::FeedLines result;
};

bool read_buffers(PyObject* items, std::vector<PyRef>& held, std::vector<Buffer>& buffers, std::size_t& total) {
    PyRef fast = PyRef::steal(PySequence_Fast(items, "buffers must be a sequence of (bytes, bytes)"));
    if (!fast) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    buffers.resize(static_cast<std::size_t>(count));
    total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Held, since another thread may change the list while the lock is released.
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        held.push_back(PyRef::borrow(item));
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 || !PyBytes_Check(PyTuple_GET_ITEM(item, 0)) ||
            !PyBytes_Check(PyTuple_GET_ITEM(item, 1))) {
            PyErr_Format(PyExc_TypeError, "buffers[%zd] must be a (bytes, bytes) tuple", i);
            return false;
        }
        const auto view = [](PyObject* bytes) {
            return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        };
        Buffer& buffer = buffers[static_cast<std::size_t>(i)];
        buffer.head = view(PyTuple_GET_ITEM(item, 0));
        buffer.data = view(PyTuple_GET_ITEM(item, 1));
        total += buffer.data.size();
    }
    return true;
}

PyRef result_of(const feeds::FeedLines& lines) {
    if (lines.declined) return PyRef::steal(PyUnicode_FromString(lines.declined));
    PyRef errors = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(lines.errors.size())));
    if (!errors) return {};
    for (std::size_t i = 0; i < lines.errors.size(); ++i) {
        PyObject* text = PyUnicode_DecodeUTF8(lines.errors[i].data(), static_cast<Py_ssize_t>(lines.errors[i].size()),
                                              nullptr);
        if (!text) return {};
        PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), text);
    }
    const auto& notices = lines.split.notices;
    PyRef notice_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(notices.size())));
    if (!notice_list) return {};
    for (std::size_t i = 0; i < notices.size(); ++i) {
        const feeds::SplitNotice& notice = notices[i];
        PyObject* tuple = Py_BuildValue("(inNn)", static_cast<int>(notice.kind), static_cast<Py_ssize_t>(notice.offset),
                                        PyBytes_FromStringAndSize(notice.bytes.data(),
                                                                  static_cast<Py_ssize_t>(notice.bytes.size())),
                                        static_cast<Py_ssize_t>(notice.number));
        if (!tuple) return {};
        PyList_SET_ITEM(notice_list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    // An empty buffer has no data pointer, which y# would make None.
    PyObject* text = PyBytes_FromStringAndSize(lines.lines.size() ? lines.lines.data() : "",
                                               static_cast<Py_ssize_t>(lines.lines.size()));
    return PyRef::steal(Py_BuildValue("(NnnnOO)", text, static_cast<Py_ssize_t>(lines.messages), static_cast<Py_ssize_t>(lines.converted),
                                      static_cast<Py_ssize_t>(lines.segments), errors.get(), notice_list.get()));
}

}  // namespace

extern const char kConvertBuffersDoc[] =
    "convert_buffers(buffers, *, validation_enabled=False, strict_validation=False, escaping_enabled=True,\n"
    "max_message_size, max_fields)\n--\n\n"
    "Per (head, data) pair, the command's JSON Lines of the feed `data` as the reader splits it, each line\n"
    "starting with `head` ('{\"source\":\"NAME\"'): a tuple (lines, messages, converted, segments, errors,\n"
    "notices), errors being every line's error text and notices (kind, offset, bytes, number) tuples; or a str\n"
    "saying why the feed is left to the reader.";

PyObject* convert_buffers(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"buffers",          "validation_enabled", "strict_validation", "escaping_enabled",
                                         "max_message_size", "max_fields",         nullptr};
        PyObject* items;
        int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1;
        Py_ssize_t max_message_size = 0, max_fields = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnn:convert_buffers", const_cast<char**>(keywords), &items,
                                         &validation_enabled, &strict_validation, &escaping_enabled, &max_message_size,
                                         &max_fields))
            return nullptr;
        if (max_message_size < 1 || max_fields < 1) {
            PyErr_SetString(PyExc_ValueError, "max_message_size and max_fields must be at least 1");
            return nullptr;
        }
        std::vector<PyRef> held;
        std::vector<Buffer> buffers;
        std::size_t total = 0;
        if (!read_buffers(items, held, buffers, total)) return nullptr;
        const feeds::LineOptions options{{validation_enabled != 0, strict_validation != 0, escaping_enabled != 0},
                                         {static_cast<std::size_t>(max_message_size), static_cast<std::size_t>(max_fields)}};
        {
            py::AllowThreads allow(total >= py::kReleaseThreshold);
            feeds::FeedLineWriter writer(options);
            for (Buffer& buffer : buffers) writer.write(buffer.data, buffer.head, buffer.result);
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(buffers.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            PyRef item = result_of(buffers[i].result);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list.release();
    });
}

}  // namespace tessarin::columns
