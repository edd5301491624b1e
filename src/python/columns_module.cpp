// tessarin_feeds._columns: message texts to an Arrow batch, handed to any
// Arrow library through the PyCapsule interface (__arrow_c_array__). The
// work is ColumnBuilder's; this file only binds it.
#include "python/handle.hpp"  // Python.h comes before any system header

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "python/entry_point.hpp"
#include "python/lines_view.hpp"
#include "columns/column_builder.hpp"
#include "core/common_keys.hpp"
#include "columns/records_json.hpp"

namespace tessarin::columns {

namespace {

using py::PyRef;

struct ModuleState {
    PyObject* batch_type;
    PyObject* lines_type;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// A built batch, waiting to be handed over once.
struct BatchObject {
    PyObject_HEAD std::atomic<bool> taken;
    std::int64_t rows;
    ArrowArray array;
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

void release_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema && schema->release) schema->release(schema);
    std::free(schema);
}

void release_array_capsule(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array && array->release) array->release(array);
    std::free(array);
}

// A capsule owning a new, empty C struct that the caller fills.
template <class Struct>
PyRef new_capsule(const char* name, PyCapsule_Destructor destructor, Struct*& out) {
    out = static_cast<Struct*>(std::calloc(1, sizeof(Struct)));
    if (!out) {
        PyErr_NoMemory();
        return {};
    }
    PyRef capsule = PyRef::steal(PyCapsule_New(out, name, destructor));
    if (!capsule) std::free(out);
    return capsule;
}

PyRef schema_capsule() {
    ArrowSchema* schema;
    PyRef capsule = new_capsule("arrow_schema", release_schema_capsule, schema);
    if (capsule) init_batch_schema(schema);
    return capsule;
}

PyObject* batch_arrow_c_schema(PyObject*, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* { return schema_capsule().release(); });
}

PyObject* batch_arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"requested_schema", nullptr};
        PyObject* requested = Py_None;
        // A requested schema can only be this one: the batch has no other form.
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__", const_cast<char**>(keywords),
                                         &requested))
            return nullptr;
        PyRef schema = schema_capsule();
        if (!schema) return nullptr;
        ArrowArray* array;
        PyRef array_capsule = new_capsule("arrow_array", release_array_capsule, array);
        if (!array_capsule) return nullptr;
        BatchObject* batch = as_batch(self);
        if (batch->taken.exchange(true)) {
            PyErr_SetString(PyExc_ValueError, "the batch was already handed over: an Arrow batch moves out once");
            return nullptr;
        }
        ArrowArrayMove(&batch->array, array);
        return PyTuple_Pack(2, schema.get(), array_capsule.get());
    });
}

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(as_batch(self)->rows); }

void batch_dealloc(PyObject* self) {
    BatchObject* batch = as_batch(self);
    if (batch->array.release) batch->array.release(&batch->array);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kBatchMethods[] = {
    {"__arrow_c_array__", py::as_cfunction(batch_arrow_c_array), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\nThe schema and the array as PyCapsules; once."},
    {"__arrow_c_schema__", batch_arrow_c_schema, METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBatchSlots[] = {
    {Py_tp_doc, const_cast<char*>("An Arrow struct array of message rows, handed over once through "
                                  "__arrow_c_array__ (pyarrow.record_batch(batch)).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, kBatchMethods},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {0, nullptr},
};

PyType_Spec kBatchSpec{"tessarin_feeds._columns.ColumnBatch", sizeof(BatchObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, kBatchSlots};

}  // namespace

PyObject* lines_type_of(PyObject* module) { return state_of(module)->lines_type; }

PyObject* new_batch(PyObject* module, ArrowArray* array, std::int64_t rows) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(module)->batch_type);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        array->release(array);
        return nullptr;
    }
    BatchObject* batch = as_batch(self);
    new (&batch->taken) std::atomic<bool>(false);
    batch->rows = rows;
    ArrowArrayMove(array, &batch->array);
    return self;
}

namespace {

// A row's input: the text to convert, or why it was never converted.
struct RowInput {
    std::string_view text;
    std::optional<std::string> error;
};

// The UTF-8 of a str item; a str that has none (a lone surrogate) is a row
// whose error is the text Hl7Json would raise for it.
bool read_text(PyObject* item, Py_ssize_t index, RowInput& row) {
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "texts[%zd] must be str, not %.100s", index, Py_TYPE(item)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data) {
        row.text = {data, static_cast<std::size_t>(size)};
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyObject *kind, *value, *traceback;
    PyErr_Fetch(&kind, &value, &traceback);
    PyErr_NormalizeException(&kind, &value, &traceback);
    PyRef owned_kind = PyRef::steal(kind), owned_value = PyRef::steal(value), owned_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(value));
    if (!text) return false;
    const char* error = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!error) return false;
    row.error.emplace(error, static_cast<std::size_t>(size));
    return true;
}

bool read_error(PyObject* item, Py_ssize_t index, RowInput& row) {
    if (item == Py_None) return true;
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "errors[%zd] must be str or None, not %.100s", index, Py_TYPE(item)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (!data) return false;
    row.error.emplace(data, static_cast<std::size_t>(size));
    return true;
}

// Holds a reference to every item, since another thread may change the
// sequence while the batch is built without the interpreter lock.
bool take_items(PyObject* sequence, const char* what, std::vector<PyRef>& items) {
    // A str is a sequence too, but of characters, never of messages.
    if (PyUnicode_Check(sequence) || PyBytes_Check(sequence)) {
        PyErr_SetString(PyExc_TypeError, what);
        return false;
    }
    PyRef fast = py::sequence_items(sequence, what);
    if (!fast) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    items.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) items.push_back(PyRef::borrow(PySequence_Fast_GET_ITEM(fast.get(), i)));
    return true;
}

// The rows of `texts` and `errors` (None or one str or None per text);
// `held` keeps alive the strings that the rows' views point into.
bool read_rows(PyObject* texts, PyObject* errors, std::vector<PyRef>& held, std::vector<RowInput>& rows,
               std::size_t& total) {
    std::vector<PyRef> error_items;
    if (!take_items(texts, "texts must be a sequence of str", held)) return false;
    if (errors != Py_None) {
        if (!take_items(errors, "errors must be a sequence of str or None", error_items)) return false;
        if (error_items.size() != held.size()) {
            PyErr_Format(PyExc_ValueError, "errors has %zd items for %zd texts",
                         static_cast<Py_ssize_t>(error_items.size()), static_cast<Py_ssize_t>(held.size()));
            return false;
        }
    }
    rows.resize(held.size());
    total = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto index = static_cast<Py_ssize_t>(i);
        if (!error_items.empty() && !read_error(error_items[i].get(), index, rows[i])) return false;
        if (!rows[i].error && !read_text(held[i].get(), index, rows[i])) return false;
        total += rows[i].text.size();
    }
    return true;
}

PyObject* build(PyObject* module, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {
            "texts", "errors", "validation_enabled", "strict_validation", "escaping_enabled", "hl7_syntax", nullptr};
        PyObject *texts, *errors = Py_None;
        int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1, hl7_syntax = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$pppp:build", const_cast<char**>(keywords), &texts, &errors,
                                         &validation_enabled, &strict_validation, &escaping_enabled, &hl7_syntax))
            return nullptr;
        std::vector<PyRef> held;
        std::vector<RowInput> rows;
        std::size_t total = 0;
        if (!read_rows(texts, errors, held, rows, total)) return nullptr;
        const Hl7JsonOptions options{validation_enabled != 0, strict_validation != 0, escaping_enabled != 0};
        ArrowArray array{};
        std::int64_t count = 0;
        try {
            py::AllowThreads allow(total >= py::kReleaseThreshold);
            ColumnBuilder builder(options, hl7_syntax != 0);
            builder.reserve_values(total);
            for (const RowInput& row : rows) {
                if (row.error)
                    builder.add_unconverted(*row.error);
                else
                    builder.add_message(row.text);
            }
            count = builder.rows();
            builder.finish(&array);
        } catch (const BatchTooLarge& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
            return nullptr;
        }
        return new_batch(module, &array, count);
    });
}

PyObject* encode_records(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {
            "texts", "errors", "validation_enabled", "strict_validation", "escaping_enabled", "hl7_syntax", nullptr};
        PyObject *texts, *errors = Py_None;
        int validation_enabled = 0, strict_validation = 0, escaping_enabled = 1, hl7_syntax = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$pppp:encode_records", const_cast<char**>(keywords), &texts,
                                         &errors, &validation_enabled, &strict_validation, &escaping_enabled,
                                         &hl7_syntax))
            return nullptr;
        std::vector<PyRef> held;
        std::vector<RowInput> rows;
        std::size_t total = 0;
        if (!read_rows(texts, errors, held, rows, total)) return nullptr;
        // All rows go into one buffer, each ending at ends[i]: one bytes per
        // row is then a single copy, made once the lock is back.
        ByteBuffer out;
        std::vector<std::size_t> ends(rows.size());
        std::size_t segments = 0;
        {
            py::AllowThreads allow(total >= py::kReleaseThreshold);
            out.room(3 * total);  // records take about three times their text
            RecordsJsonWriter writer({validation_enabled != 0, strict_validation != 0, escaping_enabled != 0},
                                     hl7_syntax != 0);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (!rows[i].error) rows[i].error = writer.append_records(rows[i].text, out);
                ends[i] = out.size();
            }
            segments = writer.segments();
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        if (!list) return nullptr;
        std::size_t start = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            PyObject* item =
                rows[i].error
                    ? PyUnicode_FromStringAndSize(rows[i].error->data(), static_cast<Py_ssize_t>(rows[i].error->size()))
                    : PyBytes_FromStringAndSize(out.data() + start, static_cast<Py_ssize_t>(ends[i] - start));
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
            start = ends[i];
        }
        PyRef count = PyRef::steal(PyLong_FromSize_t(segments));
        if (!count) return nullptr;
        return PyTuple_Pack(2, list.get(), count.get());
    });
}

// The feed command's rules (Hl7Validator::hl7_syntax) over one message text.
PyObject* validate(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"text", "strict_mode", "validate_required_fields", nullptr};
        PyObject* text;
        int strict_mode = 0, validate_required_fields = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pp:validate", const_cast<char**>(keywords), &text,
                                         &strict_mode, &validate_required_fields))
            return nullptr;
        if (!PyUnicode_Check(text)) {
            PyErr_Format(PyExc_TypeError, "text must be str, not %.100s", Py_TYPE(text)->tp_name);
            return nullptr;
        }
        RowInput row;
        if (!read_text(text, 0, row)) return nullptr;
        if (row.error)
            return PyUnicode_FromStringAndSize(row.error->data(), static_cast<Py_ssize_t>(row.error->size()));
        std::optional<std::string> failure;
        {
            py::AllowThreads allow(row.text.size() >= py::kReleaseThreshold);
            Status status =
                validate_text(row.text, Hl7Validator{strict_mode != 0, validate_required_fields != 0, true});
            if (!status) failure.emplace(status.error().display());
        }
        if (!failure) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(failure->data(), static_cast<Py_ssize_t>(failure->size()));
    });
}

}  // namespace

PyObject* convert_buffers(PyObject*, PyObject*, PyObject*);  // feeds_binding.cpp
PyObject* convert_files(PyObject*, PyObject*, PyObject*);
PyObject* feed_cut(PyObject*, PyObject*);
PyObject* build_feeds(PyObject*, PyObject*, PyObject*);  // feed_columns_binding.cpp
PyObject* build_files(PyObject*, PyObject*, PyObject*);
extern const char kBuildFeedsDoc[], kBuildFilesDoc[];
PyObject* convert_file_pieces(PyObject*, PyObject*, PyObject*);
extern const char kConvertBuffersDoc[], kConvertFilesDoc[], kFeedCutDoc[], kConvertFilePiecesDoc[];
PyObject* list_folder(PyObject*, PyObject*);  // folder_binding.cpp
extern const char kListFolderDoc[];

namespace {

PyMethodDef kMethods[] = {
    {"convert_buffers", py::as_cfunction(convert_buffers), METH_VARARGS | METH_KEYWORDS, kConvertBuffersDoc},
    {"convert_files", py::as_cfunction(convert_files), METH_VARARGS | METH_KEYWORDS, kConvertFilesDoc},
    {"feed_cut", feed_cut, METH_VARARGS, kFeedCutDoc},
    {"list_folder", list_folder, METH_VARARGS, kListFolderDoc},
    {"build_feeds", py::as_cfunction(build_feeds), METH_VARARGS | METH_KEYWORDS, kBuildFeedsDoc},
    {"build_files", py::as_cfunction(build_files), METH_VARARGS | METH_KEYWORDS, kBuildFilesDoc},
    {"convert_file_pieces", py::as_cfunction(convert_file_pieces), METH_VARARGS | METH_KEYWORDS, kConvertFilePiecesDoc},
    {"build", py::as_cfunction(build), METH_VARARGS | METH_KEYWORDS,
     "build(texts, errors=None, *, validation_enabled=False, strict_validation=False, escaping_enabled=True)\n--\n\n"
     "One row per text: its segment records as Hl7Json gives them with these options, its MSH-9, MSH-10\n"
     "and MSH-7, and the error text of a conversion that failed. Where errors[i] is a str, row i is not\n"
     "converted and holds that error. With hl7_syntax, validation follows the feed command's rules:\n"
     "segment names of an uppercase letter then uppercase letters or digits, and MSH-2 of 4 or 5 characters."},
    {"validate", py::as_cfunction(validate), METH_VARARGS | METH_KEYWORDS,
     "validate(text, *, strict_mode=False, validate_required_fields=False)\n--\n\n"
     "The feed command's validation of one message text: None when it passes, else the text of the first\n"
     "rule that failed."},
    {"encode_records", py::as_cfunction(encode_records), METH_VARARGS | METH_KEYWORDS,
     "encode_records(texts, errors=None, *, validation_enabled=False, strict_validation=False, escaping_enabled=True,\n"
     "hl7_syntax=False)\n--\n\nPer text, the bytes orjson.dumps(Hl7Json(text, ...).hl7_json) gives with these "
     "options,\n"
     "or the str error of a conversion that failed; where errors[i] is a str, item i is that str. With them, the\n"
     "number of records written. hl7_syntax as for build."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    // The common keys' table is built here rather than in some call's middle.
    if (!py::guarded(false, [] { return common_keys::table() != nullptr; })) return -1;
    PyObject* type = PyType_FromModuleAndSpec(module, &kBatchSpec, nullptr);
    if (!type) return -1;
    state_of(module)->batch_type = type;
    if (!(state_of(module)->lines_type = new_lines_type(module))) return -1;
    return PyModule_AddObjectRef(module, "ColumnBatch", type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    Py_VISIT(state ? state->batch_type : nullptr);
    Py_VISIT(state ? state->lines_type : nullptr);
    return 0;
}

int clear_module(PyObject* module) {
    if (ModuleState* state = state_of(module)) {
        Py_CLEAR(state->batch_type);
        Py_CLEAR(state->lines_type);
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tessarin_feeds._columns",
    "Message texts to Arrow columns and to JSON text.",
    sizeof(ModuleState),
    kMethods,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace tessarin::columns

// PyMODINIT_FUNC carries extern "C" itself when compiled as C++.
PyMODINIT_FUNC PyInit__columns(void) { return PyModuleDef_Init(&tessarin::columns::kModule); }
