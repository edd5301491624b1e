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

}  // namespace tessarin::common_keys

namespace tessarin {

// The place of a common key, found by its key_prefix() and length: every
// common key fits in eight bytes. nullptr for any other key. The table
// behind it is built on the first call and read-only afterwards; the
// module's execution makes that first call before any conversion can run.
const KeyPlace* common_key_place(std::uint64_t prefix, std::size_t length) noexcept;

}  // namespace tessarin
