// The record keys that real messages use, numbered densely: a table made once
// can hold an object per key, so a conversion never builds or hashes them.
// The bounds cover the fields, repetitions and components of the sample
// messages; a key beyond them is made per call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/key_place.hpp"
#include "core/segments.hpp"

namespace tessarin::common_keys {

inline constexpr std::size_t kFields = 128;                                           // "N"
inline constexpr std::size_t kComponentFields = 64, kComponents = 32;                 // "N.C"
inline constexpr std::size_t kRepetitionFields = 64, kRepetitions = 16;               // "N[R]"
inline constexpr std::size_t kRcFields = 32, kRcRepetitions = 8, kRcComponents = 16;  // "N[R].C"

inline constexpr std::size_t kComponentBase = kFields;
inline constexpr std::size_t kRepetitionBase = kComponentBase + kComponentFields * kComponents;
inline constexpr std::size_t kRcBase = kRepetitionBase + kRepetitionFields * kRepetitions;
inline constexpr std::size_t kCount = kRcBase + kRcFields * kRcRepetitions * kRcComponents;
inline constexpr std::size_t kNone = SIZE_MAX;

// The number of a key, or kNone when it lies outside the bounds.
inline std::size_t index_of(const EntryKey& key) noexcept {
    using Form = EntryKey::Form;
    switch (key.form) {
        case Form::Field: return key.field < kFields ? key.field : kNone;
        case Form::Component:
            return key.field < kComponentFields && key.component < kComponents
                       ? kComponentBase + key.field * kComponents + key.component
                       : kNone;
        case Form::Repetition:
            return key.field < kRepetitionFields && key.repetition < kRepetitions
                       ? kRepetitionBase + key.field * kRepetitions + key.repetition
                       : kNone;
        case Form::RepetitionComponent:
            return key.field < kRcFields && key.repetition < kRcRepetitions && key.component < kRcComponents
                       ? kRcBase + (key.field * kRcRepetitions + key.repetition) * kRcComponents + key.component
                       : kNone;
    }
    return kNone;
}

// The key with number `index` (below kCount): index_of(key_at(i)) == i.
inline EntryKey key_at(std::size_t index) noexcept {
    using Form = EntryKey::Form;
    if (index < kComponentBase) return {Form::Field, index, 0, 0};
    if (index < kRepetitionBase) {
        const std::size_t i = index - kComponentBase;
        return {Form::Component, i / kComponents, 0, i % kComponents};
    }
    if (index < kRcBase) {
        const std::size_t i = index - kRepetitionBase;
        return {Form::Repetition, i / kRepetitions, i % kRepetitions, 0};
    }
    const std::size_t i = index - kRcBase;
    return {Form::RepetitionComponent, i / (kRcRepetitions * kRcComponents), i / kRcComponents % kRcRepetitions,
            i % kRcComponents};
}

// One key of the table, as every user needs it.
struct Key {
    std::uint64_t order;  // key_prefix() of the text
    KeyPlace place;       // where the assembler puts its value
    std::uint32_t rank;   // position in key order among the table's keys
    std::uint8_t size;
    char text[8];  // every common key fits in eight bytes
};

// The table, built on the first call (each module's execution makes it, so
// only that call can fail) and read-only afterwards: every thread shares it
// without a lock.
const Key* table();

// The table's entry for `key`, or nullptr outside the bounds.
inline const Key* find(const EntryKey& key) {
    const std::size_t index = index_of(key);
    return index == kNone ? nullptr : table() + index;
}

// The entry whose text has this key_prefix() and length, or nullptr.
const Key* find(std::uint64_t prefix, std::size_t length);

// Open addressing over the table's numbers, under a hash of the user's
// choice: a slot holds a key's number + 1.
class Slots {
public:
    static constexpr std::size_t kSlots = 4 * 4096;
    static_assert(kSlots >= 2 * kCount && kCount < UINT16_MAX);

    void insert(std::size_t hash, std::size_t index) noexcept {
        std::size_t slot = hash & (kSlots - 1);
        while (slots_[slot]) slot = (slot + 1) & (kSlots - 1);
        slots_[slot] = static_cast<std::uint16_t>(index + 1);
    }

    // The number of the first key in `hash`'s chain that `matches`, or kNone.
    template <class Matches>
    std::size_t find(std::size_t hash, Matches&& matches) const noexcept {
        for (std::size_t slot = hash & (kSlots - 1);; slot = (slot + 1) & (kSlots - 1)) {
            const std::size_t entry = slots_[slot];
            if (!entry) return kNone;
            if (matches(entry - 1)) return entry - 1;
        }
    }

private:
    std::uint16_t slots_[kSlots] = {};
};

}  // namespace tessarin::common_keys
