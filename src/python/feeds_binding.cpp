// _columns.convert_buffers: whole feeds held in memory to the command's JSON
// Lines, many per call, without the interpreter lock (src/feeds/ does the work).
#include "python/handle.hpp"  // Python.h comes before any system header

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "python/entry_point.hpp"
#include "python/file_list.hpp"
#include "python/lines_view.hpp"
#include "feeds/feed_files.hpp"
#include "feeds/feed_lines.hpp"

namespace tessarin::columns {

PyObject* lines_type_of(PyObject* module);  // columns_module.cpp

namespace {

using py::PyRef;

// A buffer of the pool for the length of a call.
class PooledBuffer {
public:
    PooledBuffer() : buffer_(take_kept_buffer()) {}
    ~PooledBuffer() { keep_buffer(std::move(buffer_), buffer_.size()); }
    PooledBuffer(const PooledBuffer&) = delete;
    PooledBuffer& operator=(const PooledBuffer&) = delete;
    ByteBuffer& get() noexcept { return buffer_; }
    const ByteBuffer& get() const noexcept { return buffer_; }

private:
    ByteBuffer buffer_;
};

// A call's lines: `out`, then the runs that threads made, in order; joined
// only into the bytes object the caller gets, so they are copied once.
struct Lines {
    PooledBuffer out;
    std::deque<PooledBuffer> runs;  // a deque: a PooledBuffer stays where it is made
};

struct Buffer {
    std::string_view head, data;
    feeds::SplitState start;
    feeds::WholeFile file;  // what convert_files read
    feeds::FeedLines result;
    std::size_t end = 0;  // where its lines end in the output
};

// (offset, index, file header or None, batch header or None, batch messages)
bool read_state(PyObject* tuple, feeds::SplitState& state) {
    Py_ssize_t offset, index, batch_messages;
    PyObject *file_header, *batch_header;
    if (!PyArg_ParseTuple(tuple, "nnOOn:state", &offset, &index, &file_header, &batch_header, &batch_messages))
        return false;
    if (offset < 0 || index < 0 || batch_messages < 0) {
        PyErr_SetString(PyExc_ValueError, "a state's numbers must not be negative");
        return false;
    }
    state.offset = static_cast<std::size_t>(offset);
    state.index = static_cast<std::size_t>(index);
    state.batch_messages = static_cast<std::size_t>(batch_messages);
    const auto line = [](PyObject* object, std::optional<std::string>& into) {
        if (object == Py_None) return true;
        if (!PyBytes_Check(object)) {
            PyErr_SetString(PyExc_TypeError, "a state's envelope lines must be bytes or None");
            return false;
        }
        into.emplace(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return true;
    };
    return line(file_header, state.file_header) && line(batch_header, state.batch_header);
}

PyObject* state_tuple(const feeds::SplitState& state) {
    const auto line = [](const std::optional<std::string>& text) -> PyObject* {
        if (!text) return Py_NewRef(Py_None);
        return PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
    };
    return Py_BuildValue("(nnNNn)", static_cast<Py_ssize_t>(state.offset), static_cast<Py_ssize_t>(state.index),
                         line(state.file_header), line(state.batch_header),
                         static_cast<Py_ssize_t>(state.batch_messages));
}

bool read_buffers(PyObject* items, std::vector<PyRef>& held, std::vector<Buffer>& buffers, std::size_t& total) {
    PyRef fast = py::sequence_items(items, "buffers must be a sequence of (bytes, bytes)");
    if (!fast) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    buffers.resize(static_cast<std::size_t>(count));
    total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Held, since another thread may change the list while the lock is released.
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        held.push_back(PyRef::borrow(item));
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) < 2 || PyTuple_GET_SIZE(item) > 3 ||
            !PyBytes_Check(PyTuple_GET_ITEM(item, 0)) || !PyBytes_Check(PyTuple_GET_ITEM(item, 1))) {
            PyErr_Format(PyExc_TypeError, "buffers[%zd] must be a (bytes, bytes) or (bytes, bytes, state) tuple", i);
            return false;
        }
        const auto view = [](PyObject* bytes) {
            return std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
        };
        Buffer& buffer = buffers[static_cast<std::size_t>(i)];
        buffer.head = view(PyTuple_GET_ITEM(item, 0));
        buffer.data = view(PyTuple_GET_ITEM(item, 1));
        if (PyTuple_GET_SIZE(item) == 3 && !read_state(PyTuple_GET_ITEM(item, 2), buffer.start)) return false;
        total += buffer.data.size();
    }
    return true;
}

PyRef list_of_errors(const std::vector<std::string>& errors) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(errors.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < errors.size(); ++i) {
        PyObject* text = PyUnicode_DecodeUTF8(errors[i].data(), static_cast<Py_ssize_t>(errors[i].size()), nullptr);
        if (!text) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list;
}

PyRef list_of_notices(const std::vector<feeds::SplitNotice>& notices) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(notices.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < notices.size(); ++i) {
        const feeds::SplitNotice& notice = notices[i];
        PyObject* tuple =
            Py_BuildValue("(inNn)", static_cast<int>(notice.kind), static_cast<Py_ssize_t>(notice.offset),
                          PyBytes_FromStringAndSize(notice.bytes.data(), static_cast<Py_ssize_t>(notice.bytes.size())),
                          static_cast<Py_ssize_t>(notice.number));
        if (!tuple) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list;
}

// (index, declined or None, errors, notices, data or errno or None) of a
// buffer the caller must look at.
PyRef special_of(std::size_t index, const Buffer& buffer) {
    const feeds::FeedLines& lines = buffer.result;
    const auto at = static_cast<Py_ssize_t>(index);
    if (buffer.file.error)
        return PyRef::steal(Py_BuildValue("(nOOOi)", at, Py_None, Py_None, Py_None, buffer.file.error));
    if (lines.declined) {
        // A file read here goes back to the reader with its bytes.
        PyRef data = buffer.file.bytes ? PyRef::steal(PyBytes_FromStringAndSize(
                                             buffer.data.data(), static_cast<Py_ssize_t>(buffer.data.size())))
                                       : PyRef::borrow(Py_None);
        if (!data) return {};
        return PyRef::steal(Py_BuildValue("(nsOOO)", at, lines.declined, Py_None, Py_None, data.get()));
    }
    PyRef errors = list_of_errors(lines.errors);
    if (!errors) return {};
    PyRef notices = list_of_notices(lines.notices);
    if (!notices) return {};
    return PyRef::steal(Py_BuildValue("(nOOOO)", at, Py_None, errors.get(), notices.get(), Py_None));
}

// Buffers [first, last) into `out`, each buffer's end relative to `out`.
void convert_range(const feeds::LineOptions& options, const std::vector<Buffer*>& buffers, std::size_t first,
                   std::size_t last, ByteBuffer& out) {
    feeds::FeedLineWriter writer(options);
    // Room for all the lines at once (their JSON is about three times the
    // text): pages not written are never faulted in, while growing by
    // doubling would touch each page twice.
    std::size_t text = 0;
    for (std::size_t i = first; i < last; ++i) text += buffers[i]->data.size();
    out.room(std::min<std::size_t>(4 * text, 64 << 20) + 4096);
    for (std::size_t i = first; i < last; ++i) {
        writer.write(buffers[i]->data, buffers[i]->head, buffers[i]->start, buffers[i]->result, out);
        buffers[i]->end = out.size();
    }
}

// Runs `work(thread)` on `threads` threads, this one among them; a thread
// that cannot start leaves its share to the others. The first failure is
// raised once all have ended.
template <class Work>
void on_threads(std::size_t threads, const Work& work) {
    std::vector<std::exception_ptr> failures(threads);
    const auto guarded_work = [&](std::size_t thread) {
        try {
            work(thread);
        } catch (...) {
            failures[thread] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    try {
        for (std::size_t thread = 1; thread < threads; ++thread) workers.emplace_back(guarded_work, thread);
    } catch (const std::exception&) {
        // No thread to be had: the work is shared by those that started.
    }
    guarded_work(0);
    for (std::thread& worker : workers) worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

// The buffers cut into runs of about equal bytes, a few per thread, which
// the threads take in turn (a thread the machine holds back delays only the
// run in its hands); the runs' lines are then joined in input order.
void convert_all(const feeds::LineOptions& options, const std::vector<Buffer*>& buffers, std::size_t total,
                 std::size_t threads, Lines& lines) {
    threads = std::max<std::size_t>(1, std::min(threads, buffers.size()));
    if (threads == 1) return convert_range(options, buffers, 0, buffers.size(), lines.out.get());
    const std::size_t wanted = std::min(buffers.size(), 4 * threads);
    std::vector<std::size_t> bounds{0};
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < buffers.size() && bounds.size() < wanted; ++i) {
        bytes += buffers[i]->data.size();
        if (bytes * wanted >= total * bounds.size()) bounds.push_back(i + 1);
    }
    if (bounds.back() != buffers.size()) bounds.push_back(buffers.size());
    const std::size_t runs = bounds.size() - 1, first = lines.runs.size();
    for (std::size_t run = 0; run < runs; ++run) lines.runs.emplace_back();
    std::atomic<std::size_t> next_run{0};
    on_threads(std::min(threads, runs), [&](std::size_t) {
        for (std::size_t run; (run = next_run.fetch_add(1)) < runs;)
            convert_range(options, buffers, bounds[run], bounds[run + 1], lines.runs[first + run].get());
    });
    std::size_t offset = lines.out.get().size();
    for (std::size_t run = 0; run < first; ++run) offset += lines.runs[run].get().size();
    for (std::size_t run = 0; run < runs; ++run) {
        for (std::size_t i = bounds[run]; i < bounds[run + 1]; ++i) buffers[i]->end += offset;
        offset += lines.runs[first + run].get().size();
    }
}

struct FilesDone {
    std::size_t done = 0, read = 0;
    Py_ssize_t handed_back = -1;
};

// Files read and converted by several threads, each reading its own: a
// thread takes the next run of files in order, so the runs taken are always
// the first ones, and no run is taken once `stop_at` bytes are read or a file
// was handed back. The files done are those one thread would have done
// (see convert_files); the few read past them are dropped. Each thread
// writes its runs into one buffer of its own, and the runs are then joined
// in order into one: a buffer per run meant fresh pages and a view, and so a
// write, for every few files.
FilesDone read_and_convert(const feeds::LineOptions& options, const feeds::WholeFileLimits& limits,
                           const py::FileList& files, std::vector<Buffer>& buffers, std::size_t stop_at,
                           std::size_t threads, Lines& lines) {
    constexpr std::size_t kRunFiles = 8;
    const std::size_t count = buffers.size(), runs = (count + kRunFiles - 1) / kRunFiles;
    constexpr std::size_t kNone = ~std::size_t{0};
    threads = std::min(threads, runs);
    std::deque<PooledBuffer> parts(threads);
    // Where each run's lines lie: its thread's buffer, from `begin` on.
    struct Run {
        std::size_t thread = 0, begin = 0;
    };
    std::vector<Run> placed(runs);
    std::atomic<std::size_t> next_run{0}, bytes{0}, first_back{kNone};
    on_threads(threads, [&](std::size_t thread) {
        feeds::FeedLineWriter writer(options);
        std::vector<char> scratch;
        feeds::FolderCache folders;
        ByteBuffer& part = parts[thread].get();
        for (;;) {
            if (bytes.load() >= stop_at || first_back.load() != kNone) return;
            const std::size_t run = next_run.fetch_add(1);
            if (run >= runs) return;
            placed[run] = {thread, part.size()};
            for (std::size_t i = run * kRunFiles; i < std::min(count, (run + 1) * kRunFiles); ++i) {
                if (i > first_back.load()) break;
                Buffer& buffer = buffers[i];
                buffer.file = feeds::read_whole_file(files.paths[i].data(), files.sizes[i], limits, scratch, &folders);
                if (buffer.file.handed_back) {
                    std::size_t seen = first_back.load();
                    while (i < seen && !first_back.compare_exchange_weak(seen, i)) {
                    }
                    break;
                }
                buffer.data = buffer.file.data();
                if (!buffer.file.error) writer.write(buffer.data, buffer.head, buffer.start, buffer.result, part);
                buffer.end = part.size();
                bytes += buffer.data.size();
            }
        }
    });
    // The files one thread would have done: up to the one whose bytes reach
    // stop_at, so that the result is the same for any number of threads.
    FilesDone result;
    const std::size_t taken = std::min({count, next_run.load() * kRunFiles, first_back.load()});
    std::size_t read = 0;
    while (result.done < taken && (result.done == 0 || read < stop_at)) read += buffers[result.done++].data.size();
    if (result.done == first_back.load() && read < stop_at)
        result.handed_back = static_cast<Py_ssize_t>(*buffers[result.done].file.handed_back);
    // The runs of the files done, joined in order after what the call holds.
    std::size_t offset = lines.out.get().size();
    for (const PooledBuffer& run : lines.runs) offset += run.get().size();
    const std::size_t done_runs = (result.done + kRunFiles - 1) / kRunFiles;
    std::size_t total = 0;
    std::vector<std::size_t> ends(done_runs);
    for (std::size_t run = 0; run < done_runs; ++run) {
        const std::size_t last = std::min(result.done, (run + 1) * kRunFiles);
        ends[run] = buffers[last - 1].end;
        total += ends[run] - placed[run].begin;
    }
    ByteBuffer& joined = lines.runs.emplace_back().get();
    char* at = joined.room(total);
    for (std::size_t run = 0; run < done_runs; ++run) {
        const Run& where = placed[run];
        const char* from = parts[where.thread].get().data() + where.begin;
        const std::size_t size = ends[run] - where.begin;
        if (size) std::memcpy(at, from, size);
        const std::size_t first = run * kRunFiles, last = std::min(result.done, (run + 1) * kRunFiles);
        const std::size_t shift = offset + static_cast<std::size_t>(at - joined.data()) - where.begin;
        for (std::size_t i = first; i < last; ++i) {
            buffers[i].end += shift;
            result.read += buffers[i].data.size();
        }
        at += size;
    }
    joined.set_end(at);
    buffers.resize(result.done);
    return result;
}

// All the lines in one bytes object, copied once.
PyRef joined_lines(const Lines& out) {
    std::vector<const ByteBuffer*> parts{&out.out.get()};
    for (const PooledBuffer& run : out.runs) parts.push_back(&run.get());
    std::size_t size = 0;
    for (const ByteBuffer* part : parts) size += part->size();
    PyRef lines = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!lines) return {};
    char* at = PyBytes_AS_STRING(lines.get());
    for (const ByteBuffer* part : parts) {
        if (part->size()) std::memcpy(at, part->data(), part->size());
        at += part->size();
    }
    return lines;
}

// The lines as a list of views of the call's buffers, in order, the empty
// ones left out: nothing is copied, and the buffers serve the next calls
// once the views are gone.
PyRef lines_views(PyObject* module, Lines& out) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return {};
    const auto add = [&](PooledBuffer& part) {
        if (part.get().size() == 0) return true;
        PyRef view = PyRef::steal(lines_view(lines_type_of(module), std::move(part.get())));
        return view && PyList_Append(list.get(), view.get()) == 0;
    };
    if (!add(out.out)) return {};
    for (PooledBuffer& run : out.runs)
        if (!add(run)) return {};
    return list;
}

// (lines, ends, messages, converted, segments, special); lines as bytes, or
// with `module`, as lines_views gives them.
PyRef results_of(std::vector<Buffer>& buffers, Lines& out, PyObject* module = nullptr) {
    std::size_t messages = 0, converted = 0, segments = 0, end = 0;
    PyRef ends = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(buffers.size())));
    PyRef special = PyRef::steal(PyList_New(0));
    if (!ends || !special) return {};
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        const Buffer& buffer = buffers[i];
        const feeds::FeedLines& result = buffer.result;
        if (!buffer.file.error) end = buffer.end;  // a file not read has no lines
        PyObject* item = PyLong_FromSize_t(end);
        if (!item) return {};
        PyList_SET_ITEM(ends.get(), static_cast<Py_ssize_t>(i), item);
        messages += result.messages;
        converted += result.converted;
        segments += result.segments;
        if (buffer.file.error || result.declined || !result.errors.empty() || !result.notices.empty()) {
            PyRef entry = special_of(i, buffer);
            if (!entry || PyList_Append(special.get(), entry.get()) < 0) return {};
        }
    }
    PyRef lines = module ? lines_views(module, out) : joined_lines(out);
    if (!lines) return {};
    return PyRef::steal(Py_BuildValue("(OOnnnO)", lines.get(), ends.get(), static_cast<Py_ssize_t>(messages),
                                      static_cast<Py_ssize_t>(converted), static_cast<Py_ssize_t>(segments),
                                      special.get()));
}

}  // namespace

extern const char kConvertBuffersDoc[] =
    "convert_buffers(buffers, *, validation_enabled=False, strict_validation=False, escaping_enabled=True,\n"
    "max_message_size, max_fields, threads=1)\n--\n\n"
    "The command's JSON Lines of feeds held whole in memory, split as the reader splits them: `buffers` holds\n"
    "(head, data) pairs, or (head, data, state) for a piece of a longer feed (see feed_cut), head being each line's "
    "start '{\"source\":\"NAME\"'. Returns (lines, ends, messages,\n"
    "converted, segments, special): the lines of all the buffers in order, where each buffer's lines end,\n"
    "the counts, and (index, declined, errors, notices) for each buffer that has something to tell:\n"
    "declined is why the buffer is left to the reader (it then has no lines), errors every line's error text,\n"
    "notices (kind, offset, bytes, number) tuples. With threads > 1, runs of buffers are converted side by\n"
    "side, with the same result.";

PyObject* convert_buffers(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {
            "buffers",          "validation_enabled", "strict_validation", "escaping_enabled",
            "max_message_size", "max_fields",         "threads",           nullptr};
        PyObject* items;
        int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1;
        Py_ssize_t max_message_size = 0, max_fields = 0, threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnnn:convert_buffers", const_cast<char**>(keywords),
                                         &items, &validation_enabled, &strict_validation, &escaping_enabled,
                                         &max_message_size, &max_fields, &threads))
            return nullptr;
        if (max_message_size < 1 || max_fields < 1 || threads < 1) {
            PyErr_SetString(PyExc_ValueError, "max_message_size, max_fields and threads must be at least 1");
            return nullptr;
        }
        std::vector<PyRef> held;
        std::vector<Buffer> buffers;
        std::size_t total = 0;
        if (!read_buffers(items, held, buffers, total)) return nullptr;
        const feeds::LineOptions options{
            {validation_enabled != 0, strict_validation != 0, escaping_enabled != 0},
            {static_cast<std::size_t>(max_message_size), static_cast<std::size_t>(max_fields)}};
        Lines lines;
        {
            py::AllowThreads allow(total >= py::kReleaseThreshold);
            std::vector<Buffer*> all;
            for (Buffer& buffer : buffers) all.push_back(&buffer);
            convert_all(options, all, total, static_cast<std::size_t>(threads), lines);
        }
        return results_of(buffers, lines).release();
    });
}

extern const char kConvertFilesDoc[] =
    "convert_files(files, *, validation_enabled=False, strict_validation=False, escaping_enabled=True,\n"
    "max_message_size, max_fields, budget, limit, first_read, whole_max, gzip_max, threads=1)\n--\n\n"
    "convert_buffers for files read here, whole, without the interpreter lock: `files` holds (head, path, size)\n"
    "triples, size -1 when unknown; or is (folder, head, names, first) for the files of one folder from the\n"
    "one numbered `first` on, as list_folder names them (each ended by a NUL), sizes unknown, each line's head\n"
    "being head + name + '\"'. Files are read in order until `limit` bytes, or `budget` bytes after the first\n"
    "file, have been read, and one of unknown size over whole_max bytes (gzip_max for gzip) stops the\n"
    "reading: it is handed back. Returns convert_buffers' tuple, each special item with a fifth part, the\n"
    "data of a declined file or the errno of one that could not be read (then declined, errors and notices\n"
    "are None), and (files done, bytes read, size of the file handed back or -1). With `views`, the lines are\n"
    "a list of read-only memoryviews, in order, whose buffers later calls reuse once the views are gone.";

PyObject* convert_files(PyObject* module, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"files",
                                         "validation_enabled",
                                         "strict_validation",
                                         "escaping_enabled",
                                         "max_message_size",
                                         "max_fields",
                                         "budget",
                                         "limit",
                                         "first_read",
                                         "whole_max",
                                         "gzip_max",
                                         "threads",
                                         "views",
                                         nullptr};
        PyObject* items;
        int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1, views = 0;
        Py_ssize_t max_message_size = 0, max_fields = 0, budget = 0, limit = 0, first_read = 0, whole_max = 0,
                   gzip_max = 0, threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppnnnnnnnnp:convert_files", const_cast<char**>(keywords),
                                         &items, &validation_enabled, &strict_validation, &escaping_enabled,
                                         &max_message_size, &max_fields, &budget, &limit, &first_read, &whole_max,
                                         &gzip_max, &threads, &views))
            return nullptr;
        if (max_message_size < 1 || max_fields < 1 || threads < 1 || first_read < 1 || budget < 1 || limit < 1 ||
            whole_max < 0 || gzip_max < 0) {
            PyErr_SetString(PyExc_ValueError, "convert_files: a size or count below its least value");
            return nullptr;
        }
        py::FileList files;
        if (!(py::names_folder_files(items) ? py::read_folder_files(items, files) : py::read_file_list(items, files)))
            return nullptr;
        std::vector<Buffer> buffers(files.heads.size());
        for (std::size_t i = 0; i < buffers.size(); ++i) buffers[i].head = files.heads[i];
        const feeds::LineOptions options{
            {validation_enabled != 0, strict_validation != 0, escaping_enabled != 0},
            {static_cast<std::size_t>(max_message_size), static_cast<std::size_t>(max_fields)}};
        const feeds::WholeFileLimits file_limits{static_cast<std::size_t>(first_read),
                                                 static_cast<std::size_t>(whole_max),
                                                 static_cast<std::size_t>(gzip_max)};
        Lines lines;
        std::size_t done = 0, read = 0;
        Py_ssize_t handed_back = -1;
        if (threads > 1 && buffers.size() > 1) {
            py::AllowThreads allow;
            const FilesDone threaded = read_and_convert(options, file_limits, files, buffers,
                                                        static_cast<std::size_t>(std::min(limit, budget)),
                                                        static_cast<std::size_t>(threads), lines);
            done = threaded.done;
            read = threaded.read;
            handed_back = threaded.handed_back;
        } else {
            py::AllowThreads allow;
            std::vector<char> scratch;
            feeds::FolderCache folders;
            for (; done < buffers.size(); ++done) {
                if (done > 0 && (read >= static_cast<std::size_t>(limit) || read >= static_cast<std::size_t>(budget)))
                    break;
                Buffer& buffer = buffers[done];
                buffer.file =
                    feeds::read_whole_file(files.paths[done].data(), files.sizes[done], file_limits, scratch, &folders);
                if (buffer.file.handed_back) {
                    handed_back = static_cast<Py_ssize_t>(*buffer.file.handed_back);
                    break;
                }
                buffer.data = buffer.file.data();
                read += buffer.data.size();
            }
            buffers.resize(done);
            std::vector<Buffer*> readable;
            for (Buffer& buffer : buffers)
                if (!buffer.file.error) readable.push_back(&buffer);
            convert_all(options, readable, read, static_cast<std::size_t>(threads), lines);
        }
        PyRef result = results_of(buffers, lines, views ? module : nullptr);
        if (!result) return nullptr;
        return Py_BuildValue("(O(nnn))", result.get(), static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(read),
                             handed_back);
    });
}

extern const char kConvertFilePiecesDoc[] =
    "convert_file_pieces(head, path, state, *, validation_enabled=False, strict_validation=False,\n"
    "escaping_enabled=True, max_message_size, max_fields, pieces, piece_bytes, max_piece, carried=0, threads=1,\n"
    "views=False)\n"
    "--\n\n"
    "convert_buffers for up to `pieces` pieces of a large file read here from state's offset on (see feed_cut):\n"
    "each read of piece_bytes bytes is cut at its last place to cut and the rest carried to the next; `carried`\n"
    "bytes after the offset were read by the call before. Returns (convert_buffers' tuple, states, end, errno,\n"
    "carried): states holds each piece's starting state and the\n"
    "state after the last; end is 0 when more pieces follow, 1 when the last piece ends the file, 2 when\n"
    "max_piece bytes hold no place to cut and 3 when the file could not be opened or read (errno), the\n"
    "rest being the reader's then. A declined piece's special item carries its bytes. `views` as for convert_files.";

PyObject* convert_file_pieces(PyObject* module, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"head",
                                         "path",
                                         "state",
                                         "validation_enabled",
                                         "strict_validation",
                                         "escaping_enabled",
                                         "max_message_size",
                                         "max_fields",
                                         "pieces",
                                         "piece_bytes",
                                         "max_piece",
                                         "carried",
                                         "threads",
                                         "views",
                                         nullptr};
        PyObject *head, *path, *state_object;
        int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1, views = 0;
        Py_ssize_t max_message_size = 0, max_fields = 0, pieces = 0, piece_bytes = 0, max_piece = 0, carried = 0,
                   threads = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SSO|$pppnnnnnnnp:convert_file_pieces",
                                         const_cast<char**>(keywords), &head, &path, &state_object, &validation_enabled,
                                         &strict_validation, &escaping_enabled, &max_message_size, &max_fields, &pieces,
                                         &piece_bytes, &max_piece, &carried, &threads, &views))
            return nullptr;
        if (max_message_size < 1 || max_fields < 1 || pieces < 1 || piece_bytes < 1 || max_piece < 1 || carried < 0 ||
            threads < 1) {
            PyErr_SetString(PyExc_ValueError, "convert_file_pieces: a size or count below its least value");
            return nullptr;
        }
        if (std::strlen(PyBytes_AS_STRING(path)) != static_cast<std::size_t>(PyBytes_GET_SIZE(path))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return nullptr;
        }
        feeds::SplitState start;
        if (!read_state(state_object, start)) return nullptr;
        const feeds::LineOptions options{
            {validation_enabled != 0, strict_validation != 0, escaping_enabled != 0},
            {static_cast<std::size_t>(max_message_size), static_cast<std::size_t>(max_fields)}};
        const std::string_view line_head(PyBytes_AS_STRING(head), static_cast<std::size_t>(PyBytes_GET_SIZE(head)));
        Lines lines;
        feeds::FilePieces read;
        std::vector<Buffer> buffers;
        {
            py::AllowThreads allow;
            read = feeds::read_pieces(PyBytes_AS_STRING(path), start, static_cast<std::size_t>(carried),
                                      static_cast<std::size_t>(pieces), static_cast<std::size_t>(piece_bytes),
                                      static_cast<std::size_t>(max_piece));
            buffers.resize(read.pieces.size());
            std::vector<Buffer*> all;
            std::size_t total = 0;
            for (std::size_t i = 0; i < buffers.size(); ++i) {
                Buffer& buffer = buffers[i];
                buffer.head = line_head;
                buffer.start = read.pieces[i].start;
                buffer.file = std::move(read.pieces[i].bytes);
                buffer.data = buffer.file.data();
                total += buffer.data.size();
                all.push_back(&buffer);
            }
            convert_all(options, all, total, static_cast<std::size_t>(threads), lines);
        }
        PyRef result = results_of(buffers, lines, views ? module : nullptr);
        if (!result) return nullptr;
        for (Buffer& buffer : buffers) feeds::keep_piece_buffer(std::move(buffer.file));
        PyRef states = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(buffers.size() + 1)));
        if (!states) return nullptr;
        for (std::size_t i = 0; i <= buffers.size(); ++i) {
            PyObject* item = state_tuple(i < buffers.size() ? buffers[i].start : read.after);
            if (!item) return nullptr;
            PyList_SET_ITEM(states.get(), static_cast<Py_ssize_t>(i), item);
        }
        return Py_BuildValue("(OOiin)", result.get(), states.get(), static_cast<int>(read.end), read.error,
                             static_cast<Py_ssize_t>(read.carried));
    });
}

extern const char kFeedCutDoc[] =
    "feed_cut(data, state, final)\n--\n\n"
    "Where the piece `data` of a feed, starting at `state` ((offset, index, file header, batch header, batch\n"
    "messages); (0, 0, None, None, 0) for a feed's start), may end: (cut, state after data[:cut]). The cut is\n"
    "the last MSH line start outside any frame; with `final`, the end. (0, state) when there is none.";

PyObject* feed_cut(PyObject*, PyObject* args) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Py_buffer data;
        PyObject* state_object;
        int final = 0;
        if (!PyArg_ParseTuple(args, "y*Op:feed_cut", &data, &state_object, &final)) return nullptr;
        struct Release {
            Py_buffer* view;
            ~Release() { PyBuffer_Release(view); }
        } release{&data};
        feeds::SplitState state;
        if (!read_state(state_object, state)) return nullptr;
        const std::string_view bytes(static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len));
        std::size_t cut = 0;
        {
            py::AllowThreads allow(bytes.size() >= py::kReleaseThreshold);
            cut = final ? bytes.size() : feeds::find_cut(bytes);
            if (cut > 0) state = feeds::state_after(bytes.substr(0, cut), state);
        }
        PyRef after = PyRef::steal(state_tuple(state));
        if (!after) return nullptr;
        return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(cut), after.get());
    });
}

}  // namespace tessarin::columns
