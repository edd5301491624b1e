#include "python/dict_items.hpp"

#include <array>

namespace tessarin::py {

#ifdef TESSARIN_DICT_LAYOUT
namespace dict_layout {
bool g_checked = false;
}  // namespace dict_layout

namespace {

bool g_found = false;  // whether check_dict_layout found the layout

constexpr std::array<const char*, 5> kKeys = {"segment_name", "1", "3[0].1", "deleted", "10"};
constexpr std::size_t kDeleted = 3;

// Items read both ways: the same, in the same order, from a head that
// describes them, or the layout is not this one.
template <class Entry>
bool reads_alike(PyObject* dict, std::uint8_t kind, std::size_t entries_before, const PyRef (&keys)[kKeys.size()],
                 const PyRef (&values)[kKeys.size()]) {
    using namespace dict_layout;
    const auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (object->ma_values) return false;
    const auto* head = reinterpret_cast<const KeysHead*>(object->ma_keys);
    // These few items fit the smallest tables, whose indices are one byte each.
    const auto entries = static_cast<Py_ssize_t>(entries_before + kKeys.size());
    if (head->kind != kind || head->nentries != entries || head->log2_size < 3 || head->log2_size > 7 ||
        head->log2_index_bytes != head->log2_size || head->refcnt < 1)
        return false;
    g_checked = true;  // entries_of reads the table only once this is set
    Py_ssize_t count = 0;
    std::uint8_t read_kind = 0;
    const char* array = entries_of(dict, count, read_kind);
    g_checked = false;
    if (!array || count != entries || read_kind != kind) return false;
    const Entry* first = reinterpret_cast<const Entry*>(array) + entries_before;
    for (std::size_t i = 0; i < entries_before; ++i)
        if (reinterpret_cast<const Entry*>(array)[i].value) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (i == kDeleted) {
            if (first[i].value) return false;
            continue;
        }
        if (first[i].key != keys[i].get() || first[i].value != values[i].get() ||
            !PyDict_Next(dict, &pos, &key, &value) || key != keys[i].get() || value != values[i].get())
            return false;
    }
    return !PyDict_Next(dict, &pos, &key, &value);
}

// A dict of str keys with one deleted; with `general`, one whose first key
// (deleted again) was not a str, which gives the entries of three pointers
// that presized dicts have too.
bool layout_matches(bool general) {
    PyRef dict = PyRef::steal(PyDict_New());
    PyRef other_key = PyRef::steal(PyLong_FromLong(-1));
    if (!dict || !other_key) return false;
    if (general && PyDict_SetItem(dict.get(), other_key.get(), Py_None) < 0) return false;
    PyRef keys[kKeys.size()], values[kKeys.size()];
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        keys[i] = PyRef::steal(PyUnicode_FromString(kKeys[i]));
        values[i] = PyRef::steal(PyLong_FromSize_t(i));
        if (!keys[i] || !values[i] || PyDict_SetItem(dict.get(), keys[i].get(), values[i].get()) < 0) return false;
    }
    if (PyDict_DelItem(dict.get(), keys[kDeleted].get()) < 0) return false;
    if (general && PyDict_DelItem(dict.get(), other_key.get()) < 0) return false;
    return general ? reads_alike<dict_layout::GeneralEntry>(dict.get(), dict_layout::kGeneralKeys, 1, keys, values)
                   : reads_alike<dict_layout::UnicodeEntry>(dict.get(), dict_layout::kUnicodeKeys, 0, keys, values);
}

}  // namespace
#endif

void check_dict_layout() noexcept {
#ifdef TESSARIN_DICT_LAYOUT
    g_found = layout_matches(false) && layout_matches(true);
    if (!g_found) PyErr_Clear();  // PyDict_Next serves then
    dict_layout::g_checked = g_found;
#endif
}

bool read_dicts_directly(bool wanted) noexcept {
#ifdef TESSARIN_DICT_LAYOUT
    dict_layout::g_checked = wanted && g_found;
    return dict_layout::g_checked;
#else
    (void)wanted;
    return false;
#endif
}

}  // namespace tessarin::py
