// Segment records back to HL7 text, and records read from a JSON file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "escape.hpp"
#include "record.hpp"

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

// Builds message text from records; reuses its buffers across records.
class Hl7Assembler {
public:
    Hl7Assembler(const Hl7EscapeHandler& handler, bool escape) : handler_(handler), escape_(escape) {}

    // Appends the line of one record (entries sorted by key) to `out`.
    // Ok unless a key names an index above kMaxIndex, or an escaped line would
    // carry a segment name holding a separator or line break.
    template <class Entries>
    Status append_line(std::string& out, const Entries& entries);

private:
    struct Slot {
        Place place;
        std::string_view value;
    };
    Status add_entry(std::string_view key, std::string_view value);
    void write_fields(std::string& out, bool has_name);
    void write_value(std::string& out, std::string_view value);

    const Hl7EscapeHandler& handler_;
    bool escape_;
    std::vector<Slot> slots_;
};

Status check_segment_name(std::string_view name, bool escape);

template <class Entries>
Status Hl7Assembler::append_line(std::string& out, const Entries& entries) {
    slots_.clear();
    std::optional<std::string_view> name;
    for (const auto& [key, value] : entries) {
        if (std::string_view(key) == "segment_name") {
            name = std::string_view(value);
        } else if (Status status = add_entry(key, value); !status) {
            return status;
        }
    }
    if (name) {
        if (Status status = check_segment_name(*name, escape_); !status) return status;
        out += *name;  // the name is written as it is, never escaped
    }
    write_fields(out, name.has_value());
    return Ok{};
}

Result<std::string> assemble_message(std::span<const SegmentRecord> records, const Hl7EscapeHandler& handler,
                                     bool escape);

struct JsonHl7State {
    std::vector<SegmentRecord> json_data;
    Hl7EscapeHandler escape_handler = create_default_escape_handler();

    Result<std::string> convert_json_to_hl7(bool escape) const {
        return assemble_message(json_data, escape_handler, escape);
    }
};

// Records from a JSON file holding an array of objects of strings.
Result<std::vector<SegmentRecord>> read_json_file(std::string_view path);

}  // namespace tessarin
