#include "python/handle.hpp"  // Python.h comes before any system header
#include "python/record_builder.hpp"

#include <algorithm>

#include "core/key_order.hpp"
#include "python/binding.hpp"
#include "python/key_table.hpp"

namespace tessarin::py {

namespace {

std::string_view ascii_of(PyObject* str) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

}  // namespace

RecordBuilder::~RecordBuilder() { clear_line(); }

void RecordBuilder::clear_line() {
    for (Entry& entry : entries_) Py_DECREF(entry.value);
    entries_.clear();
    for (PyObject* key : made_keys_) Py_DECREF(key);
    made_keys_.clear();
    name_value_ = PyRef();
    failed_ = false;
    all_ranked_ = true;
}

void RecordBuilder::name(std::string_view name) {
    name_value_ = PyRef::steal(line_is_ascii_ ? new_ascii_str(name) : new_str(name));
    if (!name_value_) failed_ = true;
}

void RecordBuilder::entry(const EntryKey& key, std::string_view value) {
    if (failed_) return;
    Entry entry;
    if (const KnownKey* known = known_key(key)) {
        entry.order = known->order;
        entry.rank = known->rank;
        entry.key = known->key;
    } else {
        char text[EntryKey::kMaxText];
        const std::size_t length = key.write(text);
        PyRef made = PyRef::steal(new_ascii_str({text, length}));
        if (!made) {
            failed_ = true;
            return;
        }
        made_keys_.push_back(made.get());  // may throw std::bad_alloc: the PyRef still owns the key
        entry.key = made.release();
        entry.order = key_prefix({text, length});
        entry.rank = kUnranked;
        all_ranked_ = false;
    }
    PyRef owned = PyRef::steal(line_is_ascii_ ? new_ascii_str(value) : new_str(value));
    if (!owned) {
        failed_ = true;
        return;
    }
    entry.value = owned.get();
    entries_.push_back(entry);  // may throw std::bad_alloc: the PyRef still owns the value
    owned.release();
}

void RecordBuilder::begin_segment(std::string_view line) {
    clear_line();
    // Unescaping only ever writes ASCII, so an ASCII line gives ASCII values.
    line_is_ascii_ = is_ascii(line);
}

void RecordBuilder::sort_entries() {
    if (all_ranked_) {
        merge_runs(entries_, merged_, [](const Entry& a, const Entry& b) { return a.rank < b.rank; });
        return;
    }
    sort_distinct_keys(
        entries_.begin(), entries_.end(), [](const Entry& entry) { return entry.order; },
        [](const Entry& entry) { return ascii_of(entry.key); });
}

bool RecordBuilder::end_segment() {
    if (failed_) return false;
    sort_entries();
    PyRef dict = PyRef::steal(
#if PY_VERSION_HEX < 0x030D0000
        _PyDict_NewPresized(static_cast<Py_ssize_t>(entries_.size() + 1))
#else
        PyDict_New()
#endif
    );
    if (!dict) return false;
    for (const Entry& entry : entries_)
        if (PyDict_SetItem(dict.get(), entry.key, entry.value) < 0) return false;
    // Every positional key starts with a digit, so "segment_name" sorts last.
    if (PyDict_SetItem(dict.get(), segment_name_key(), name_value_.get()) < 0) return false;
    if (list_)
        PyList_SET_ITEM(list_, next_item_++, dict.release());
    else
        record_ = std::move(dict);
    return true;
}

}  // namespace tessarin::py
