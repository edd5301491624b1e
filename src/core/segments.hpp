// One segment line of an HL7 v2 message: its name, numbered fields, their
// repetitions and components, and the flat key scheme of a segment record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "escape.hpp"
#include "record.hpp"

namespace tessarin {

// The default encoding characters as they stand in an MSH line. A field that
// holds them is never cut, so the header survives a parse without a handler.
inline constexpr std::string_view kGuardText = "^~\\&";

struct Hl7Field {
    std::string value;
    std::optional<std::vector<std::string>> components;
    std::optional<std::vector<Hl7Field>> repetitions;

    static Hl7Field from_string(std::string_view text, const Hl7EscapeHandler* escape_handler);
};

struct Hl7Segment {
    std::string name;
    std::vector<Hl7Field> fields;  // fields[i] is field index i + 1

    static Hl7Segment from_string(std::string_view line, const Hl7EscapeHandler* escape_handler);
    SegmentRecord to_json() const;

    std::size_t field_count() const noexcept { return fields.size(); }
    const Hl7Field* field(std::size_t index) const noexcept {
        return index >= 1 && index <= fields.size() ? &fields[index - 1] : nullptr;
    }
};

// Position of one record entry: N, N.C, N[R] or N[R].C.
struct EntryKey {
    enum class Form : std::uint8_t { Field, Component, Repetition, RepetitionComponent };
    Form form;
    std::size_t field;
    std::size_t repetition;
    std::size_t component;

    // Longest key text: two 20-digit numbers and "[", "]", "." besides the field.
    static constexpr std::size_t kMaxText = 3 * 20 + 3;
    // Writes the key text into `out` (at least kMaxText bytes) and returns its length.
    std::size_t write(char* out) const noexcept;
    std::string text() const;
};

// Streams the positional entries of a line's record without building an
// Hl7Segment: `name(view)` once, then `entry(key, view)` per entry in field
// order (not key order). Views are valid only during the call. `scratch` is
// reused for unescaped text so a conversion allocates nothing per value.
template <class Sink>
void emit_segment_entries(std::string_view line, const Hl7EscapeHandler* escape_handler, std::string& scratch,
                          Sink& sink);

}  // namespace tessarin

#include "segments_emit.inl"
