#include "core/common_keys.hpp"

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "core/key_order.hpp"

namespace tessarin::common_keys {

namespace {

struct Table {
    Key keys[kCount];
    Slots by_prefix;
};

// Short keys leave the prefix's low bytes zero, so its bits are mixed first.
std::size_t mixed(std::uint64_t prefix) {
    prefix ^= prefix >> 33;
    prefix *= 0xFF51AFD7ED558CCDull;
    prefix ^= prefix >> 33;
    return static_cast<std::size_t>(prefix);
}

std::unique_ptr<const Table> build_table() {
    auto table = std::make_unique<Table>();
    char text[EntryKey::kMaxText];
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::string_view key(text, key_at(i).write(text));
        Key& entry = table->keys[i];
        entry.order = key_prefix(key);
        entry.place = key_place(key);
        entry.size = static_cast<std::uint8_t>(key.size());
        std::copy(key.begin(), key.end(), entry.text);
        table->by_prefix.insert(mixed(entry.order), i);
    }
    // Keys hold no NUL and fit their prefix, so prefix then length is key order.
    std::vector<std::uint32_t> by_order(kCount);
    std::iota(by_order.begin(), by_order.end(), 0u);
    std::sort(by_order.begin(), by_order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Key &x = table->keys[a], &y = table->keys[b];
        return x.order != y.order ? x.order < y.order : x.size < y.size;
    });
    for (std::uint32_t rank = 0; rank < kCount; ++rank) table->keys[by_order[rank]].rank = rank;
    return table;
}

const Table& the_table() {
    static const std::unique_ptr<const Table> table = build_table();
    return *table;
}

}  // namespace

const Key* table() { return the_table().keys; }

const Key* find(std::uint64_t prefix, std::size_t length) {
    if (length > sizeof(Key::text)) return nullptr;
    const Table& table = the_table();
    const std::size_t index = table.by_prefix.find(
        mixed(prefix), [&](std::size_t i) { return table.keys[i].order == prefix && table.keys[i].size == length; });
    return index == kNone ? nullptr : table.keys + index;
}

}  // namespace tessarin::common_keys
