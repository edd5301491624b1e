// The most common keys ("7", "3.2") of one builder, written out once each,
// in slots indexed by position: fields, then components of the first fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/key_order.hpp"
#include "core/segments.hpp"

namespace tessarin::columns {

class KnownKeys {
public:
    static constexpr std::size_t kFields = 32, kComponentFields = 24, kComponents = 16;

    struct Key {
        std::uint64_t order;  // key_prefix() of the text
        std::size_t size;     // 0 until the key is first met
        char text[16];        // copied whole: a fixed-size copy is one move
    };

    KnownKeys() : keys_(kFields + kComponentFields * kComponents) {}

    // The key's slot, written out on first use; null for a key outside the table.
    const Key* find(const EntryKey& key) noexcept {
        std::size_t slot;
        if (key.form == EntryKey::Form::Field && key.field < kFields)
            slot = key.field;
        else if (key.form == EntryKey::Form::Component && key.field < kComponentFields && key.component < kComponents)
            slot = kFields + key.field * kComponents + key.component;
        else
            return nullptr;
        Key& known = keys_[slot];
        if (known.size == 0) {
            char text[EntryKey::kMaxText];
            known.size = key.write(text);
            std::memcpy(known.text, text, known.size);
            known.order = key_prefix({known.text, known.size});
        }
        return &known;
    }

private:
    std::vector<Key> keys_;
};

}  // namespace tessarin::columns
