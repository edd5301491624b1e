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
#include "utils.hpp"

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

// Calls visit(key, value) for every positional entry of a parsed segment, in
// field order, and name(name) first.
template <class Visit, class Name>
void for_each_entry(const Hl7Segment& segment, Visit&& visit, Name&& name) {
    using Form = EntryKey::Form;
    name(segment.name);
    for (std::size_t i = 0; i < segment.fields.size(); ++i) {
        const std::size_t n = i + 1;
        const Hl7Field& field = segment.fields[i];
        if (field.repetitions) {
            for (std::size_t r = 0; r < field.repetitions->size(); ++r) {
                const Hl7Field& repetition = (*field.repetitions)[r];
                if (repetition.components) {
                    for (std::size_t c = 0; c < repetition.components->size(); ++c)
                        visit(EntryKey{Form::RepetitionComponent, n, r, c + 1}, (*repetition.components)[c]);
                } else {
                    visit(EntryKey{Form::Repetition, n, r, 0}, repetition.value);
                }
            }
        } else if (field.components) {
            for (std::size_t c = 0; c < field.components->size(); ++c)
                visit(EntryKey{Form::Component, n, 0, c + 1}, (*field.components)[c]);
        } else {
            visit(EntryKey{Form::Field, n, 0, 0}, field.value);
        }
    }
}

// Streams the entries of segment lines without building an Hl7Segment:
// `name(view)` once per line, then `entry(key, view)` per entry in field
// order (not key order). Views are valid only during the call. Built once per
// conversion; it reuses its buffers across lines.
class SegmentScanner {
public:
    explicit SegmentScanner(const Hl7EscapeHandler* escape_handler);

    template <class Sink>
    void emit(std::string_view line, Sink& sink);

private:
    static constexpr std::uint8_t kBar = 1, kComponent = 2, kRepetition = 4, kEscape = 8;
    struct FieldSpan {
        std::size_t start, end;
        std::uint8_t flags;
    };
    template <class Sink>
    void emit_value(std::string_view raw, std::size_t field, std::size_t repetition, bool in_repetition, Sink& sink);

    const Hl7EscapeHandler* handler_;
    bool plain_ = true;          // single-byte separators: the byte scan applies
    bool default_cuts_ = true;   // "^" and "~" cut, so the guard text sets both flags
    char component_ = '^', repetition_ = '~', escape_ = '\\';
    std::uint8_t byte_kind_[256] = {};
    ByteSet special_;  // the bytes with a kind
    std::vector<FieldSpan> fields_;
    std::string scratch_;
};

// One line through a scanner of its own.
template <class Sink>
void emit_segment_entries(std::string_view line, const Hl7EscapeHandler* escape_handler, Sink& sink);

}  // namespace tessarin

#include "segments_emit.inl"
