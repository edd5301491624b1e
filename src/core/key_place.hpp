// Where a record key places its value in a segment line. Keys are read
// once, when a record is stored, so that assembly only orders and writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessarin {

// Largest field, repetition or component number the assembler writes; a
// higher one would only ask for megabytes of empty separators.
inline constexpr std::uint64_t kMaxIndex = 65535;

// A key piece as the assembler reads it: an optional "+" and decimal digits
// that fit 64 bits. Anything else is not an index.
std::optional<std::uint64_t> parse_index(std::string_view text) noexcept;

// Where a record key places its value: (field, repetition, component), with
// component 0 the whole-value place. nullopt for keys the assembler skips.
struct Place {
    std::uint64_t field, repetition, component;
};
std::optional<Place> place_of_key(std::string_view key) noexcept;

// What a key means to the assembler, small enough to keep beside every
// stored entry: indexes are bounded by kMaxIndex, so 16 bits hold them.
struct KeyPlace {
    enum class Kind : std::uint8_t { Value, SegmentName, Skipped, OutOfRange };
    std::uint16_t field = 0, repetition = 0, component = 0;
    Kind kind = Kind::Skipped;
};
KeyPlace key_place(std::string_view key) noexcept;

}  // namespace tessarin
