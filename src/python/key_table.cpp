#include "python/handle.hpp"  // Python.h comes before any system header
#include "python/key_table.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <string_view>
#include <vector>

#include "core/common_keys.hpp"
#include "core/key_order.hpp"
#include "python/entry_point.hpp"

namespace tessarin::py {

namespace {

// Open addressing on the strings' own hashes; a slot holds a key's index + 1.
constexpr std::size_t kSlots = 4 * 4096;
static_assert(kSlots >= 2 * common_keys::kCount && common_keys::kCount < UINT16_MAX);

struct KeyTable {
    KnownKey keys[common_keys::kCount];
    std::uint16_t slots[kSlots];
    PyObject* segment_name;
};

std::size_t slot_of(Py_hash_t hash) { return static_cast<std::size_t>(hash) & (kSlots - 1); }

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
        common_key_place(0, 0);                     // the core's table of the same keys, built now rather than mid-call
        auto table = std::make_unique<KeyTable>();  // value-initialised: every slot empty
        std::vector<std::uint32_t> by_order(common_keys::kCount);
        std::size_t made = 0;
        const auto release_made = [&] {
            for (std::size_t i = 0; i < made; ++i) Py_DECREF(table->keys[i].key);
            return false;
        };
        char text[EntryKey::kMaxText];
        for (; made < common_keys::kCount; ++made) {
            const std::size_t length = common_keys::key_at(made).write(text);
            PyObject* key = interned({text, length});
            if (!key) return release_made();
            table->keys[made] = {key, key_prefix({text, length}), 0, key_place({text, length})};
            std::size_t slot = slot_of(PyObject_Hash(key));  // cached by interning, never -1
            while (table->slots[slot]) slot = (slot + 1) & (kSlots - 1);
            table->slots[slot] = static_cast<std::uint16_t>(made + 1);
        }
        table->segment_name = interned("segment_name");
        if (!table->segment_name) return release_made();
        std::iota(by_order.begin(), by_order.end(), 0u);
        std::sort(by_order.begin(), by_order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return text_of(table->keys[a].key) < text_of(table->keys[b].key);
        });
        for (std::uint32_t rank = 0; rank < by_order.size(); ++rank) table->keys[by_order[rank]].rank = rank;
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
    // A dict key's hash is cached in the str; -1 means not yet computed.
    Py_hash_t hash = reinterpret_cast<const PyASCIIObject*>(str)->hash;
    if (hash == -1) hash = PyObject_Hash(str);  // a str's hash never fails
    for (std::size_t slot = slot_of(hash);; slot = (slot + 1) & (kSlots - 1)) {
        const std::uint16_t index = table->slots[slot];
        if (!index) return nullptr;
        const KnownKey& known = table->keys[index - 1];
        if (known.key == str) return &known;
        if (PyUnicode_IS_COMPACT_ASCII(str) && text_of(known.key) == text_of(str)) return &known;
    }
}

PyObject* segment_name_key() noexcept { return g_table.load(std::memory_order_acquire)->segment_name; }

}  // namespace tessarin::py
