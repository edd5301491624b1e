// Segment records back to HL7 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

Status check_segment_name(std::string_view name, bool escape);

// Builds message text from records; reuses its buffers across records.
class Hl7Assembler {
public:
    Hl7Assembler(const Hl7EscapeHandler& handler, bool escape) {
        if (escape) writer_.emplace(handler);
    }

    // Appends the line of one record (entries sorted by key) to `out`.
    // Ok unless a key names an index above kMaxIndex, or an escaped line would
    // carry a segment name holding a separator or line break.
    template <class Record>
    Status append_line(std::string& out, const Record& record) {
        slots_.clear();
        std::optional<std::string_view> name;
        for (const auto& [key, value] : record) {
            if (std::string_view(key) == "segment_name") {
                name = std::string_view(value);
            } else if (Status status = add_entry(key, value); !status) {
                return status;
            }
        }
        if (name) {
            if (Status status = check_segment_name(*name, writer_.has_value()); !status) return status;
            out += *name;  // the name is written as it is, never escaped
        }
        write_fields(out, name.has_value());
        return Ok{};
    }

private:
    // Places are bounded by kMaxIndex once accepted, so 32 bits hold them.
    struct Slot {
        std::uint32_t field, repetition, component;
        std::string_view value;
    };
    static bool before(const Slot& a, const Slot& b) {
        return a.repetition != b.repetition ? a.repetition < b.repetition : a.component < b.component;
    }
    Status add_entry(std::string_view key, std::string_view value);
    void order_slots();
    void write_fields(std::string& out, bool has_name);
    void write_value(std::string& out, std::string_view value) {
        if (writer_)
            writer_->write(out, value);
        else
            out += value;
    }

    std::optional<EscapeWriter> writer_;  // present when values are escaped
    std::vector<Slot> slots_;
    std::vector<Slot> sorted_;
    std::vector<std::uint32_t> field_starts_;
};

// The message: one line per record, joined by "\n". `Records` is any
// indexable sequence of records (RecordStore, or the fuzz targets' vectors).
template <class Records>
Result<std::string> assemble_message(const Records& records, const Hl7EscapeHandler& handler, bool escape) {
    std::string out;
    // Unescaped text is about as long as the values it holds.
    if constexpr (requires { records.byte_size(); }) out.reserve(records.byte_size() / 2 + records.size());
    Hl7Assembler assembler(handler, escape);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out += '\n';
        if (Status status = assembler.append_line(out, records[i]); !status) return std::move(status).error();
    }
    return out;
}

struct JsonHl7State {
    RecordStore json_data;
    Hl7EscapeHandler escape_handler = create_default_escape_handler();

    Result<std::string> convert_json_to_hl7(bool escape) const {
        return assemble_message(json_data, escape_handler, escape);
    }
};

}  // namespace tessarin
