// The JsonHl7 class: lists of segment-record dicts back to HL7 text.
#include "python/handle.hpp"  // Python.h comes before any system header
#include "core/file.hpp"
#include "core/json_hl7.hpp"
#include "core/per_thread.hpp"

#include <cstdint>
#include <optional>
#include "python/binding.hpp"
#include "python/dict_items.hpp"
#include "python/entry_point.hpp"
#include "python/key_table.hpp"
#include "python/types.hpp"

namespace tessarin::py {

namespace {

struct JsonHl7Object {
    PyObject_HEAD BorrowFlag borrow;
    JsonHl7State state;
};

JsonHl7Object* as_object(PyObject* self) { return reinterpret_cast<JsonHl7Object*>(self); }

std::atomic<PyTypeObject*> g_type{nullptr};

const Signature kNewSignature{"JsonHl7.__new__()", {"json_data"}, 1};
const Signature kFromFileSignature{"JsonHl7.from_file()", {"path"}, 1};
const Signature kConvertSignature{"JsonHl7._convert_json_to_hl7()", {"escape"}, 1};

// The bytes of a compact ASCII str, which follow its header.
std::string_view ascii_text(PyObject* str) {
    return {reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(str) + 1),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

// text_of for what is not an exact compact ASCII str.
[[gnu::noinline]] bool text_of_other(PyObject* value, std::string_view& out, bool& ascii) {
    if (!PyUnicode_Check(value)) {
        set_type_mismatch(value, "str");
        return false;
    }
    if (PyUnicode_IS_COMPACT_ASCII(value)) {
        out = ascii_text(value);
        return true;
    }
    ascii = false;
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// `ascii` turns false for a str that is not compact ASCII.
inline bool text_of(PyObject* value, std::string_view& out, bool& ascii) {
    if (Py_IS_TYPE(value, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(value)) [[likely]] {
        out = ascii_text(value);
        return true;
    }
    return text_of_other(value, out, ascii);
}

// The table's entries for the table's own key objects met so far, by their
// address: records read back from Hl7Json repeat a few of them, and this is
// a read from memory in cache where the table's hash lookup reaches into
// memory that rarely is. Those objects live as long as the process, so an
// address that matches one is that key, and the memo stays valid across
// calls: one per thread, kept for the thread's life.
class KnownKeys {
public:
    const KnownKey* find(PyObject* key) noexcept {
        const auto address = reinterpret_cast<std::uintptr_t>(key);
        const KnownKey*& seen = seen_[address * 0x9E3779B97F4A7C15u >> (64 - kSlotBits)];
        if (seen && seen->key == key) return seen;
        const KnownKey* known = find_known_key(key);
        if (known && known->key == key) seen = known;
        return known;
    }

private:
    static constexpr unsigned kSlotBits = 9;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    const KnownKey* seen_[kSlots] = {};
};

bool copy_record(PyObject* item, RecordStore& records, bool& ascii, KnownKeys* known_keys) {
    if (!PyDict_Check(item)) {
        set_type_mismatch(item, "dict");
        return false;
    }
    bool ok = true;
#ifdef Py_BEGIN_CRITICAL_SECTION
    Py_BEGIN_CRITICAL_SECTION(item);
#endif
    // Inlined in each of the walk's loops: the call alone cost a sixth of an item.
    for_each_item(item, [&](PyObject* key, PyObject* value) __attribute__((always_inline)) {
        // A known key is an exact str with the text of the table's own,
        // which is compact ASCII.
        const KnownKey* known = known_keys ? known_keys->find(key) : find_known_key(key);
        std::string_view key_text, value_text;
        if (known)
            key_text = ascii_text(known->key);
        else if (!text_of(key, key_text, ascii))
            return ok = false;
        if (!text_of(value, value_text, ascii)) return ok = false;
        if (known)
            records.add(key_text, value_text, known->order, known->place);
        else
            records.add(key_text, value_text);
        return true;
    });
#ifdef Py_END_CRITICAL_SECTION
    Py_END_CRITICAL_SECTION();
#endif
    if (ok) records.end_record();
    return ok;
}

// The records of `json_data`; false with a TypeError (or encoding error) set.
bool copy_records(PyObject* json_data, RecordStore& records) {
    if (PyUnicode_Check(json_data)) {
        // A str is a sequence, but not of records. This text is kept word for
        // word because callers match on it.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(json_data)) {
        set_type_mismatch(json_data, "Sequence");
        return false;
    }
    const Py_ssize_t size = PySequence_Size(json_data);
    if (size < 0) return false;
    if (PyList_CheckExact(json_data) || PyTuple_CheckExact(json_data)) {
        // Sizing the store up front saves the copies of a growing buffer.
        std::size_t entries = 0;
        Py_ssize_t count = 0;  // outside the critical section, which is a block of its own
#ifdef Py_BEGIN_CRITICAL_SECTION
        Py_BEGIN_CRITICAL_SECTION(json_data);
#endif
        count = PySequence_Fast_GET_SIZE(json_data);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(json_data, i);
            if (PyDict_Check(item)) entries += static_cast<std::size_t>(PyDict_GET_SIZE(item));
        }
#ifdef Py_END_CRITICAL_SECTION
        Py_END_CRITICAL_SECTION();
#endif
        records.reserve(entries * 16, entries, static_cast<std::size_t>(count));
    }
    bool ascii = true;
    KnownKeys* const known_keys = PerThread<KnownKeys>::get(true);  // null when it could not be made
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(json_data, i));
        if (!item || !copy_record(item.get(), records, ascii, known_keys)) return false;
    }
    records.set_known_ascii(ascii);
    return true;
}

PyObject* construct(PyTypeObject* type, PyObject* (&bound)[kMaxParameters]) {
    PyRef self = PyRef::steal(new_instance<JsonHl7Object>(type));
    if (!self) return nullptr;
    if (!copy_records(bound[0], as_object(self.get())->state.json_data)) {
        add_parameter_note("json_data");
        return nullptr;
    }
    return self.release();
}

PyObject* json_hl7_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kNewSignature, args, kwargs, bound)) return nullptr;
        return construct(type, bound);
    });
}

PyObject* json_hl7_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kNewSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
        return construct(reinterpret_cast<PyTypeObject*>(type), bound);
    });
}

PyObject* json_hl7_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kFromFileSignature, args, nargs, kwnames, bound)) return nullptr;
        std::string_view path;
        if (!convert_str(bound[0], "path", path)) return nullptr;
        PyRef self = PyRef::steal(new_instance<JsonHl7Object>(g_type.load(std::memory_order_acquire)));
        if (!self) return nullptr;
        std::optional<Status> status;
        {
            AllowThreads allow;  // the new object is ours alone until it is returned
            status.emplace(read_json_file(path, as_object(self.get())->state.json_data));
        }
        if (!*status) return raise_error(status->error());
        return self.release();
    });
}

// Room a thread's assembly buffer keeps between calls.
constexpr std::size_t kKeptTextRoom = std::size_t{4} << 20;

PyObject* assemble(JsonHl7Object* object, bool escape) {
    // A buffer of the thread's own, used again: a new one per call costs an
    // allocation and, for a long message, the page faults of its first use.
    // No Python code runs while it is in use, so no call on this thread
    // can come back in here.
    TextBuffer own;
    TextBuffer* reused = PerThread<TextBuffer>::get(true);
    TextBuffer& text = reused ? *reused : own;
    text.clear();
    struct Trim {
        TextBuffer& text;
        ~Trim() {
            if (text.capacity() > kKeptTextRoom) text = TextBuffer();
        }
    } trim{text};
    std::optional<Status> status;
    {
        // The records are immutable and the shared hold keeps them alive.
        AllowThreads allow(object->state.json_data.byte_size() >= kReleaseThreshold);
        status.emplace(object->state.write_hl7(text, escape));
    }
    if (!*status) return raise_error(status->error());
    // Escaping writes ASCII only, so ASCII records give ASCII text.
    if (object->state.json_data.known_ascii()) return new_ascii_str(text.view());
    return new_str(text.view());
}

PyObject* json_hl7_convert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[kMaxParameters];
        if (!bind_arguments(kConvertSignature, args, nargs, kwnames, bound)) return nullptr;
        SharedHold hold(as_object(self)->borrow);
        if (!hold.ok()) return nullptr;
        bool escape;
        if (!convert_bool(bound[0], "escape", escape)) return nullptr;
        return assemble(as_object(self), escape);
    });
}

template <bool Escape>
PyObject* json_hl7_get_text(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedHold hold(as_object(self)->borrow);
        if (!hold.ok()) return nullptr;
        return assemble(as_object(self), Escape);
    });
}

PyObject* json_hl7_get_records(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedHold hold(as_object(self)->borrow);
        if (!hold.ok()) return nullptr;
        return records_to_list(as_object(self)->state.json_data);
    });
}

void json_hl7_dealloc(PyObject* self) { dealloc_instance<JsonHl7Object>(self); }

PyMethodDef kMethods[] = {
    {"from_file", as_cfunction(json_hl7_from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path)\n--\n\n"},
    {"_convert_json_to_hl7", as_cfunction(json_hl7_convert), METH_FASTCALL | METH_KEYWORDS,
     "_convert_json_to_hl7($self, escape)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"json_data", json_hl7_get_records, nullptr, nullptr, nullptr},
    {"hl7_string", json_hl7_get_text<true>, nullptr, nullptr, nullptr},
    {"hl7_string_unescaped", json_hl7_get_text<false>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("JsonHl7(json_data)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(json_hl7_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(json_hl7_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

// "builtins." is kept word for word: callers match on the type's __module__
// and on the type names that messages show.
PyType_Spec kSpec{"builtins.JsonHl7", sizeof(JsonHl7Object), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* json_hl7_type() {
    PyTypeObject* type = create_type_once(g_type, kSpec, json_hl7_vectorcall);
    return Py_XNewRef(reinterpret_cast<PyObject*>(type));
}

}  // namespace tessarin::py
