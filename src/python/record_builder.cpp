#include "handle.hpp"  // Python.h comes before any system header
#include "record_builder.hpp"

#include <algorithm>
#include <cstring>

#include "../core/key_order.hpp"
#include "binding.hpp"

namespace tessarin::py {

namespace {

constexpr std::uint64_t kIndexBits = 20;
constexpr std::uint64_t kIndexLimit = std::uint64_t{1} << kIndexBits;

// A cache tag packs form and indexes; 0 marks an empty slot.
std::uint64_t tag_of(const EntryKey& key) {
    if (key.field >= kIndexLimit || key.repetition >= kIndexLimit || key.component >= kIndexLimit) return 0;
    return (std::uint64_t{1} << 63) | (static_cast<std::uint64_t>(key.form) << 60) |
           (static_cast<std::uint64_t>(key.field) << 40) | (static_cast<std::uint64_t>(key.repetition) << 20) |
           static_cast<std::uint64_t>(key.component);
}

std::string_view ascii_of(PyObject* str) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

}  // namespace

// Sized for a small message; a large one grows the cache a few times.
RecordBuilder::RecordBuilder(PyObject* list)
    : direct_(kDirectFields + kDirectComponentFields * kDirectComponents), cache_(64), list_(list) {}

RecordBuilder::~RecordBuilder() {
    clear_line();
    for (PyObject* key : cached_keys_) Py_DECREF(key);
}

void RecordBuilder::clear_line() {
    for (Entry& entry : entries_) Py_DECREF(entry.value);
    entries_.clear();
    name_value_ = PyRef();
    failed_ = false;
}

void RecordBuilder::grow_cache() {
    std::vector<CacheSlot> old(cache_.size() * 2);
    old.swap(cache_);
    const std::size_t mask = cache_.size() - 1;
    for (const CacheSlot& slot : old) {
        if (!slot.tag) continue;
        std::size_t i = (slot.tag * 0x9E3779B97F4A7C15ull) >> 40 & mask;
        while (cache_[i].tag) i = (i + 1) & mask;
        cache_[i] = slot;
    }
}

bool RecordBuilder::create_key(const EntryKey& key, KnownKey& known) {
    char text[EntryKey::kMaxText];
    const std::size_t length = key.write(text);
    // One-character keys ("1" to "9") are the interpreter's shared strings,
    // hashed once for the process.
    PyRef created = PyRef::steal(new_ascii_str({text, length}));
    if (!created) return false;
    cached_keys_.push_back(created.get());  // may throw std::bad_alloc: the PyRef still owns the key
    known = {created.release(), key_prefix({text, length})};
    return true;
}

bool RecordBuilder::key_for(const EntryKey& key, PyObject*& object, std::uint64_t& order) {
    KnownKey* direct = nullptr;
    if (key.form == EntryKey::Form::Field && key.field < kDirectFields) {
        direct = &direct_[key.field];
    } else if (key.form == EntryKey::Form::Component && key.field < kDirectComponentFields &&
               key.component < kDirectComponents) {
        direct = &direct_[kDirectFields + key.field * kDirectComponents + key.component];
    }
    if (direct) {
        if (!direct->key && !create_key(key, *direct)) return false;
        object = direct->key;
        order = direct->order;
        return true;
    }
    const std::uint64_t tag = tag_of(key);
    std::size_t i = 0;
    if (tag) {
        const std::size_t mask = cache_.size() - 1;
        i = (tag * 0x9E3779B97F4A7C15ull) >> 40 & mask;
        while (cache_[i].tag) {
            if (cache_[i].tag == tag) {
                object = cache_[i].key;
                order = cache_[i].order;
                return true;
            }
            i = (i + 1) & mask;
        }
    }
    KnownKey known;
    if (!create_key(key, known)) return false;
    object = known.key;
    order = known.order;
    if (!tag) return true;  // too large to cache: released with the builder
    cache_[i] = {tag, known.key, known.order};
    if (++hashed_ * 2 > cache_.size()) grow_cache();
    return true;
}

void RecordBuilder::name(std::string_view name) {
    name_value_ = PyRef::steal(line_is_ascii_ ? new_ascii_str(name) : new_str(name));
    if (!name_value_) failed_ = true;
}

void RecordBuilder::entry(const EntryKey& key, std::string_view value) {
    if (failed_) return;
    Entry entry;
    if (!key_for(key, entry.key, entry.order)) {
        failed_ = true;
        return;
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

bool RecordBuilder::end_segment() {
    if (failed_) return false;
    if (!segment_name_key_) {
        segment_name_key_ = PyRef::steal(new_str("segment_name"));
        if (!segment_name_key_) return false;
    }
    sort_distinct_keys(
        entries_.begin(), entries_.end(), [](const Entry& entry) { return entry.order; },
        [](const Entry& entry) { return ascii_of(entry.key); });
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
    if (PyDict_SetItem(dict.get(), segment_name_key_.get(), name_value_.get()) < 0) return false;
    if (list_)
        PyList_SET_ITEM(list_, next_item_++, dict.release());
    else
        record_ = std::move(dict);
    return true;
}

}  // namespace tessarin::py
