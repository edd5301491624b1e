// _columns.build_feeds and build_files: whole feeds, or files read here, to
// the rows of the command's Parquet output without the interpreter lock
// (src/feeds/feed_columns does the work).
#include "python/handle.hpp"  // Python.h comes before any system header

#include <optional>
#include <string_view>
#include <vector>

#include "python/entry_point.hpp"
#include "python/file_list.hpp"
#include "feeds/feed_columns.hpp"
#include "feeds/feed_files.hpp"

namespace tessarin::columns {

PyObject* new_batch(PyObject* module, ArrowArray* array, std::int64_t rows);  // columns_module.cpp

namespace {

using py::PyRef;

struct Feed {
    std::string_view source, data;
    feeds::SplitState start;
    feeds::WholeFile file;  // what build_files read
    feeds::FeedRows rows;
    std::size_t end = 0;  // rows of the batch up to its own
};

std::string_view view_of(PyObject* bytes) {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// (offset, index, file header or None, batch header or None, batch messages), as feed_cut gives it.
bool read_state(PyObject* tuple, feeds::SplitState& state) {
    Py_ssize_t offset, index, batch_messages;
    PyObject *file_header, *batch_header;
    if (!PyArg_ParseTuple(tuple, "nnOOn:state", &offset, &index, &file_header, &batch_header, &batch_messages))
        return false;
    if (offset < 0 || index < 0 || batch_messages < 0) {
        PyErr_SetString(PyExc_ValueError, "a state's numbers must not be negative");
        return false;
    }
    for (PyObject* line : {file_header, batch_header})
        if (line != Py_None && !PyBytes_Check(line)) {
            PyErr_SetString(PyExc_TypeError, "a state's envelope lines must be bytes or None");
            return false;
        }
    state.offset = static_cast<std::size_t>(offset);
    state.index = static_cast<std::size_t>(index);
    state.batch_messages = static_cast<std::size_t>(batch_messages);
    if (file_header != Py_None) state.file_header.emplace(view_of(file_header));
    if (batch_header != Py_None) state.batch_header.emplace(view_of(batch_header));
    return true;
}

struct Options {
    int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1;
    Py_ssize_t max_message_size = 0, max_fields = 0;
    feeds::LineOptions lines() const {
        return {{validation_enabled != 0, strict_validation != 0, escaping_enabled != 0},
                {static_cast<std::size_t>(max_message_size), static_cast<std::size_t>(max_fields)}};
    }
};

// Owns the arrays until they are handed to batch objects.
struct Arrays {
    ArrowArray rows{}, envelopes{};
    ~Arrays() {
        if (rows.release) rows.release(&rows);
        if (envelopes.release) envelopes.release(&envelopes);
    }
};

// A bound on the entries of the feeds' messages: each is a field or part of
// one that follows a separator the converter splits at, or starts a line.
// One pass the compiler vectorises: about 1 ms per 4 MiB, some 3% of the build.
std::size_t entries_at_most(const std::vector<Feed*>& feeds) {
    std::size_t count = 0;
    for (const Feed* feed : feeds)
        for (const char c : feed->data)
            count +=
                static_cast<std::size_t>((c == '|') + (c == '^') + (c == '~') + (c == '&') + (c == '\r') + (c == '\n'));
    return count;
}

void build_all(feeds::FeedColumnWriter& writer, std::vector<Feed*>& feeds, std::size_t total) {
    writer.reserve_values(total, entries_at_most(feeds));
    for (Feed* feed : feeds) {
        writer.write(feed->data, feed->source, feed->start, feed->rows);
        feed->end = static_cast<std::size_t>(writer.rows());
    }
}

PyRef bytes_of(const void* data, std::size_t size) {
    return PyRef::steal(
        PyBytes_FromStringAndSize(size ? static_cast<const char*>(data) : "", static_cast<Py_ssize_t>(size)));
}

PyRef notices_of(const std::vector<feeds::SplitNotice>& notices) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(notices.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < notices.size(); ++i) {
        const feeds::SplitNotice& notice = notices[i];
        PyRef quoted = bytes_of(notice.bytes.data(), notice.bytes.size());
        if (!quoted) return {};
        PyObject* tuple = Py_BuildValue("(inOn)", static_cast<int>(notice.kind), static_cast<Py_ssize_t>(notice.offset),
                                        quoted.get(), static_cast<Py_ssize_t>(notice.number));
        if (!tuple) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list;
}

// (index, declined or None, notices or None, data of a declined file read
// here, or errno of a file that could not be read, or None)
PyRef special_of(std::size_t index, const Feed& feed) {
    const auto at = static_cast<Py_ssize_t>(index);
    if (feed.file.error) return PyRef::steal(Py_BuildValue("(nOOi)", at, Py_None, Py_None, feed.file.error));
    if (feed.rows.declined) {
        PyRef data = feed.file.bytes ? bytes_of(feed.data.data(), feed.data.size()) : PyRef::borrow(Py_None);
        if (!data) return {};
        return PyRef::steal(Py_BuildValue("(nsOO)", at, feed.rows.declined, Py_None, data.get()));
    }
    PyRef notices = notices_of(feed.rows.notices);
    if (!notices) return {};
    return PyRef::steal(Py_BuildValue("(nOOO)", at, Py_None, notices.get(), Py_None));
}

// (rows, envelopes or None, (source offsets, source data, message, offset,
// envelope mask or None), ends, special)
PyRef results_of(PyObject* module, feeds::FeedColumnWriter& writer, Arrays& arrays, std::vector<Feed>& feeds) {
    const std::int64_t count = writer.rows();
    PyRef ends = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(feeds.size())));
    PyRef special = PyRef::steal(PyList_New(0));
    if (!ends || !special) return {};
    std::size_t end = 0;
    for (std::size_t i = 0; i < feeds.size(); ++i) {
        const Feed& feed = feeds[i];
        if (!feed.file.error) end = feed.end;  // a file not read has no rows
        PyObject* item = PyLong_FromSize_t(end);
        if (!item) return {};
        PyList_SET_ITEM(ends.get(), static_cast<Py_ssize_t>(i), item);
        if (feed.file.error || feed.rows.declined || !feed.rows.notices.empty()) {
            PyRef entry = special_of(i, feed);
            if (!entry || PyList_Append(special.get(), entry.get()) < 0) return {};
        }
    }
    PyRef source_offsets = bytes_of(writer.source_offsets.data(), writer.source_offsets.size() * sizeof(std::int32_t));
    PyRef source_data = bytes_of(writer.source_data.data(), writer.source_data.size());
    PyRef message = bytes_of(writer.message.data(), writer.message.size() * sizeof(std::int32_t));
    PyRef offset = bytes_of(writer.offset.data(), writer.offset.size() * sizeof(std::int64_t));
    PyRef mask = writer.has_envelopes() ? bytes_of(writer.envelope_outside.data(), writer.envelope_outside.size())
                                        : PyRef::borrow(Py_None);
    if (!source_offsets || !source_data || !message || !offset || !mask) return {};
    PyRef columns =
        PyRef::steal(PyTuple_Pack(5, source_offsets.get(), source_data.get(), message.get(), offset.get(), mask.get()));
    if (!columns) return {};
    PyRef envelopes =
        writer.has_envelopes() ? PyRef::steal(new_batch(module, &arrays.envelopes, count)) : PyRef::borrow(Py_None);
    if (!envelopes) return {};
    PyRef rows = PyRef::steal(new_batch(module, &arrays.rows, count));
    if (!rows) return {};
    return PyRef::steal(
        Py_BuildValue("(OOOOO)", rows.get(), envelopes.get(), columns.get(), ends.get(), special.get()));
}

bool check_options(const Options& options) {
    if (options.max_message_size < 1 || options.max_fields < 1) {
        PyErr_SetString(PyExc_ValueError, "max_message_size and max_fields must be at least 1");
        return false;
    }
    return true;
}

}  // namespace

extern const char kBuildFeedsDoc[] =
    "build_feeds(feeds, *, validation_enabled=False, strict_validation=False, escaping_enabled=True,\n"
    "max_message_size, max_fields)\n--\n\n"
    "The rows of the command's Parquet output for feeds held whole in memory, split as the reader splits them:\n"
    "`feeds` holds (source, data) pairs, or (source, data, state) for a piece of a longer feed (see feed_cut),\n"
    "source being the source column's UTF-8. Returns (rows, envelopes, columns, ends, special): a ColumnBatch as\n"
    "build makes, with validation by the command's rules; a ColumnBatch of each row's envelope records, or\n"
    "None when no row has one; (source offsets, source data, message, offset, envelope mask) as Arrow\n"
    "buffers; the rows up to each feed's end; and (index, declined, notices, None) for each feed with something\n"
    "to tell: declined is why a feed is left to the reader (it then has no rows), notices (kind, offset, bytes,\n"
    "number) tuples.";

PyObject* build_feeds(PyObject* module, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {
            "feeds", "validation_enabled", "strict_validation", "escaping_enabled", "max_message_size", "max_fields",
            nullptr};
        PyObject* items;
        Options options;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnn:build_feeds", const_cast<char**>(keywords), &items,
                                         &options.validation_enabled, &options.strict_validation,
                                         &options.escaping_enabled, &options.max_message_size, &options.max_fields))
            return nullptr;
        if (!check_options(options)) return nullptr;
        PyRef fast = py::sequence_items(items, "feeds must be a sequence of (bytes, bytes) tuples");
        if (!fast) return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
        std::vector<PyRef> held;  // another thread may change the list while the lock is released
        std::vector<Feed> feeds(static_cast<std::size_t>(count));
        std::vector<Feed*> all;
        std::size_t total = 0;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
            held.push_back(PyRef::borrow(item));
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 2 || PyTuple_GET_SIZE(item) > 3 ||
                !PyBytes_Check(PyTuple_GET_ITEM(item, 0)) || !PyBytes_Check(PyTuple_GET_ITEM(item, 1))) {
                PyErr_Format(PyExc_TypeError, "feeds[%zd] must be a (bytes, bytes) or (bytes, bytes, state) tuple", i);
                return nullptr;
            }
            Feed& feed = feeds[static_cast<std::size_t>(i)];
            feed.source = view_of(PyTuple_GET_ITEM(item, 0));
            feed.data = view_of(PyTuple_GET_ITEM(item, 1));
            if (PyTuple_GET_SIZE(item) == 3 && !read_state(PyTuple_GET_ITEM(item, 2), feed.start)) return nullptr;
            total += feed.data.size();
            all.push_back(&feed);
        }
        Arrays arrays;
        feeds::FeedColumnWriter writer(options.lines());
        try {
            py::AllowThreads allow(total >= py::kReleaseThreshold);
            build_all(writer, all, total);
            writer.finish(&arrays.rows, &arrays.envelopes);
        } catch (const BatchTooLarge& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
            return nullptr;
        }
        return results_of(module, writer, arrays, feeds).release();
    });
}

extern const char kBuildFilesDoc[] =
    "build_files(files, *, validation_enabled=False, strict_validation=False, escaping_enabled=True,\n"
    "max_message_size, max_fields, limit, first_read, whole_max, gzip_max)\n--\n\n"
    "build_feeds for files read here, whole, without the interpreter lock: `files` holds (source, path, size)\n"
    "triples, size -1 when unknown. Files are read in order until `limit` bytes have been read, and one of\n"
    "unknown size over whole_max bytes (gzip_max for gzip) stops the reading: it is handed back. Returns\n"
    "build_feeds' tuple, each special item's last part being the data of a declined file or the errno of one\n"
    "that could not be read (then declined and notices are None), and (files done, bytes read, size of the file\n"
    "handed back or -1).";

PyObject* build_files(PyObject* module, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"files",
                                         "validation_enabled",
                                         "strict_validation",
                                         "escaping_enabled",
                                         "max_message_size",
                                         "max_fields",
                                         "limit",
                                         "first_read",
                                         "whole_max",
                                         "gzip_max",
                                         nullptr};
        PyObject* items;
        Options options;
        Py_ssize_t limit = 0, first_read = 0, whole_max = 0, gzip_max = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnnnnnn:build_files", const_cast<char**>(keywords), &items,
                                         &options.validation_enabled, &options.strict_validation,
                                         &options.escaping_enabled, &options.max_message_size, &options.max_fields,
                                         &limit, &first_read, &whole_max, &gzip_max))
            return nullptr;
        if (!check_options(options)) return nullptr;
        if (limit < 1 || first_read < 1 || whole_max < 0 || gzip_max < 0) {
            PyErr_SetString(PyExc_ValueError, "build_files: a size below its least value");
            return nullptr;
        }
        py::FileList files;
        if (!py::read_file_list(items, files)) return nullptr;
        std::vector<Feed> feeds(files.heads.size());
        for (std::size_t i = 0; i < feeds.size(); ++i) feeds[i].source = files.heads[i];
        const feeds::WholeFileLimits file_limits{static_cast<std::size_t>(first_read),
                                                 static_cast<std::size_t>(whole_max),
                                                 static_cast<std::size_t>(gzip_max)};
        Arrays arrays;
        feeds::FeedColumnWriter writer(options.lines());
        std::size_t done = 0, read = 0;
        Py_ssize_t handed_back = -1;
        try {
            py::AllowThreads allow;
            std::vector<char> scratch;
            feeds::FolderCache folders;
            for (; done < feeds.size(); ++done) {
                if (done > 0 && read >= static_cast<std::size_t>(limit)) break;
                Feed& feed = feeds[done];
                feed.file =
                    feeds::read_whole_file(files.paths[done].data(), files.sizes[done], file_limits, scratch, &folders);
                if (feed.file.handed_back) {
                    handed_back = static_cast<Py_ssize_t>(*feed.file.handed_back);
                    break;
                }
                feed.data = feed.file.data();
                read += feed.data.size();
            }
            feeds.resize(done);
            std::vector<Feed*> readable;
            for (Feed& feed : feeds)
                if (!feed.file.error) readable.push_back(&feed);
            build_all(writer, readable, read);
            writer.finish(&arrays.rows, &arrays.envelopes);
        } catch (const BatchTooLarge& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
            return nullptr;
        }
        PyRef result = results_of(module, writer, arrays, feeds);
        if (!result) return nullptr;
        return Py_BuildValue("(O(nnn))", result.get(), static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(read),
                             handed_back);
    });
}

}  // namespace tessarin::columns
