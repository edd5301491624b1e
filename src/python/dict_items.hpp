// A dict's items in insertion order, as PyDict_Next gives them. Records are
// plain dicts of str keys, whose items CPython 3.11 to 3.13 (with the GIL)
// keep in one array: reading it directly costs a few instructions an item
// where PyDict_Next's call costs fifty, a sixth of a record's conversion.
// That layout is the interpreter's own, so it is used only once
// check_dict_layout() has found it, when the module executes; any other dict,
// build or version goes through PyDict_Next.
#pragma once

#include <cstdint>

#include "python/handle.hpp"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API)
#define TESSARIN_DICT_LAYOUT 1
#endif

namespace tessarin::py {

// Whether this interpreter's dicts have the layout below; sets nothing on failure.
void check_dict_layout() noexcept;
// Turns the direct reading off, or on again where check_dict_layout found
// the layout (tests run both ways); whether it is on.
bool read_dicts_directly(bool wanted) noexcept;

namespace dict_layout {

#ifdef TESSARIN_DICT_LAYOUT
// The head of CPython's PyDictKeysObject; the index table follows it, and
// the entries follow that.
struct KeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
inline constexpr std::uint8_t kGeneralKeys = 0;  // entries of hash, key and value
inline constexpr std::uint8_t kUnicodeKeys = 1;  // keys all str, entries of key and value
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;  // null for a deleted item
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
extern bool g_checked;

// The entry array of a dict whose items are all in it, or null.
inline const char* entries_of(PyObject* dict, Py_ssize_t& count, std::uint8_t& kind) noexcept {
    const auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (!g_checked || object->ma_values) return nullptr;  // a split table keeps its values apart
    const auto* keys = reinterpret_cast<const KeysHead*>(object->ma_keys);
    kind = keys->kind;
    if (kind != kGeneralKeys && kind != kUnicodeKeys) return nullptr;
    count = keys->nentries;
    const char* indices = reinterpret_cast<const char*>(keys + 1);
    return indices + (std::size_t{1} << keys->log2_index_bytes);
}

template <class Entry, class Visit>
bool walk(const char* array, Py_ssize_t count, Visit& visit) {
    const auto* entries = reinterpret_cast<const Entry*>(array);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (entries[i].value && !visit(entries[i].key, entries[i].value)) return false;
    return true;
}
#endif

}  // namespace dict_layout

// Calls visit(key, value) for each item of `dict` (a dict), in order, until
// it returns false; false then. `visit` must not change the dict.
template <class Visit>
bool for_each_item(PyObject* dict, Visit&& visit) {
#ifdef TESSARIN_DICT_LAYOUT
    Py_ssize_t count = 0;
    std::uint8_t kind = 0;
    if (const char* entries = dict_layout::entries_of(dict, count, kind)) {
        return kind == dict_layout::kUnicodeKeys ? dict_layout::walk<dict_layout::UnicodeEntry>(entries, count, visit)
                                                 : dict_layout::walk<dict_layout::GeneralEntry>(entries, count, visit);
    }
#endif
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!visit(key, value)) return false;
    return true;
}

}  // namespace tessarin::py
