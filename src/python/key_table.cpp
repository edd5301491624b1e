#include "python/handle.hpp"  // Python.h comes before any system header
#include "python/key_table.hpp"

#include <atomic>
#include <memory>
#include <string_view>

#include "core/common_keys.hpp"
#include "core/key_order.hpp"
#include "python/entry_point.hpp"

namespace tessarin::py {

namespace {

struct KeyTable {
    KnownKey keys[common_keys::kCount];
    common_keys::Slots by_hash;  // the strings' own hashes
    PyObject* segment_name;
    KnownKey segment_name_entry;  // every record has one: found without the hash table
};

// Published once, after it is complete; never written or freed afterwards.
std::atomic<const KeyTable*> g_table{nullptr};

PyObject* interned(std::string_view text) {
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (str) PyUnicode_InternInPlace(&str);
    return str;
}

std::string_view text_of(PyObject* str) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

}  // namespace

bool build_key_table() {
    return guarded(false, [] {
        // Module execution holds the import lock, so two builds never race.
        if (g_table.load(std::memory_order_acquire)) return true;
        const common_keys::Key* common = common_keys::table();  // built now rather than mid-call
        auto table = std::make_unique<KeyTable>();
        std::size_t made = 0;
        const auto release_made = [&] {
            for (std::size_t i = 0; i < made; ++i) Py_DECREF(table->keys[i].key);
            return false;
        };
        for (; made < common_keys::kCount; ++made) {
            const common_keys::Key& entry = common[made];
            PyObject* key = interned({entry.text, entry.size});
            if (!key) return release_made();
            table->keys[made] = {key, entry.order, entry.rank, entry.place};
            // The hash is cached by interning and never -1.
            table->by_hash.insert(static_cast<std::size_t>(PyObject_Hash(key)), made);
        }
        table->segment_name = interned("segment_name");
        if (!table->segment_name) return release_made();
        table->segment_name_entry = {table->segment_name, key_prefix("segment_name"), UINT32_MAX,
                                     key_place("segment_name")};
        g_table.store(table.release(), std::memory_order_release);
        return true;
    });
}

const KnownKey* known_key(const EntryKey& key) noexcept {
    const std::size_t index = common_keys::index_of(key);
    return index == common_keys::kNone ? nullptr : &g_table.load(std::memory_order_acquire)->keys[index];
}

const KnownKey* find_known_key(PyObject* str) noexcept {
    // Only an exact str: a subclass's __hash__ could run any code.
    if (!PyUnicode_CheckExact(str)) return nullptr;
    const KeyTable* table = g_table.load(std::memory_order_acquire);
    if (str == table->segment_name) return &table->segment_name_entry;
    // A dict key's hash is cached in the str; -1 means not yet computed.
    Py_hash_t hash = reinterpret_cast<const PyASCIIObject*>(str)->hash;
    if (hash == -1) hash = PyObject_Hash(str);  // a str's hash never fails
    const std::size_t index = table->by_hash.find(static_cast<std::size_t>(hash), [&](std::size_t i) {
        const PyObject* known = table->keys[i].key;
        return known == str || (PyUnicode_IS_COMPACT_ASCII(str) && text_of(table->keys[i].key) == text_of(str));
    });
    return index == common_keys::kNone ? nullptr : &table->keys[index];
}

PyObject* segment_name_key() noexcept { return g_table.load(std::memory_order_acquire)->segment_name; }

}  // namespace tessarin::py
