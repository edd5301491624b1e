#include "core/common_keys.hpp"

#include <memory>

#include "core/key_order.hpp"

namespace tessarin {

namespace {

// Open addressing on the prefix; a slot holds a key's index + 1.
constexpr std::size_t kSlots = 4 * 4096;
static_assert(kSlots >= 2 * common_keys::kCount && common_keys::kCount < UINT16_MAX);

struct PlaceTable {
    std::uint64_t prefixes[common_keys::kCount];
    std::uint8_t lengths[common_keys::kCount];
    KeyPlace places[common_keys::kCount];
    std::uint16_t slots[kSlots];
};

// Short keys leave the prefix's low bytes zero, so its bits are mixed first.
std::size_t slot_of(std::uint64_t prefix) {
    prefix ^= prefix >> 33;
    prefix *= 0xFF51AFD7ED558CCDull;
    prefix ^= prefix >> 33;
    return static_cast<std::size_t>(prefix) & (kSlots - 1);
}

std::unique_ptr<PlaceTable> build_place_table() {
    auto table = std::make_unique<PlaceTable>();  // value-initialised: every slot empty
    char text[EntryKey::kMaxText];
    for (std::size_t i = 0; i < common_keys::kCount; ++i) {
        const std::string_view key(text, common_keys::key_at(i).write(text));
        table->prefixes[i] = key_prefix(key);
        table->lengths[i] = static_cast<std::uint8_t>(key.size());
        table->places[i] = key_place(key);
        std::size_t slot = slot_of(table->prefixes[i]);
        while (table->slots[slot]) slot = (slot + 1) & (kSlots - 1);
        table->slots[slot] = static_cast<std::uint16_t>(i + 1);
    }
    return table;
}

}  // namespace

const KeyPlace* common_key_place(std::uint64_t prefix, std::size_t length) noexcept {
    static const std::unique_ptr<const PlaceTable> table = build_place_table();
    if (length > 8) return nullptr;
    for (std::size_t slot = slot_of(prefix);; slot = (slot + 1) & (kSlots - 1)) {
        const std::uint16_t index = table->slots[slot];
        if (!index) return nullptr;
        if (table->prefixes[index - 1] == prefix && table->lengths[index - 1] == length)
            return &table->places[index - 1];
    }
}

}  // namespace tessarin
