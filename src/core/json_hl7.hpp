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
#include "key_place.hpp"
#include "record.hpp"
#include "text_buffer.hpp"

namespace tessarin {

Status check_segment_name(std::string_view name, bool escape);

// Builds message text from records; reuses its buffers across records.
class Hl7Assembler {
public:
    Hl7Assembler(const Hl7EscapeHandler& handler, bool escape) {
        if (escape) expansion_ = writer_.emplace(handler).max_expansion();
        // Stored records mark the values the default escaping leaves alone.
        marked_ = writer_ && writer_->is_default();
    }

    // Appends the line of one record (entries sorted by key) to `out`.
    // Ok unless a key names an index above kMaxIndex, or an escaped line would
    // carry a segment name holding a separator or line break.
    template <class Record>
    Status append_line(TextBuffer& out, const Record& record) {
        slots_.clear();
        name_.reset();
        if constexpr (requires { record.entries(); }) {  // stored records carry their places
            // A record's keys and values lie together in the store: one
            // vector pass over them finds the values that escaping leaves
            // alone, which are then copied as they are.
            std::string_view region;
            if (marked_ && record.size() > 0) {
                const char* first = nullptr;
                const char* last = nullptr;
                for (const auto& entry : record.entries()) {
                    const auto [key, value] = record.store().item(entry);
                    if (!first || key.data() < first) first = key.data();
                    if (!last || value.data() + value.size() > last) last = value.data() + value.size();
                }
                region = std::string_view(first, static_cast<std::size_t>(last - first));
                marks_.resize(region.size() / 64 + 1);
                ascii_ = default_escape_bytes().mark(region, marks_.data()) && ascii_;
            }
            for (const auto& entry : record.entries()) {
                const auto [key, value] = record.store().item(entry);
                const bool verbatim =
                    !writer_ || (marked_ && !any_bit(static_cast<std::size_t>(value.data() - region.data()), value.size()));
                if (Status status = add_entry(entry.place, key, value, verbatim); !status) return status;
            }
        } else {
            ascii_ = false;  // not looked at
            for (const auto& [key, value] : record)
                if (Status status = add_entry(key_place(key), key, value, !writer_); !status) return status;
        }
        if (name_) {
            if (Status status = check_segment_name(*name_, writer_.has_value()); !status) return status;
            out.append(*name_);  // the name is written as it is, never escaped
        }
        write_fields(out, name_.has_value());
        return Ok{};
    }

    // True when every line so far was looked at and all its bytes are ASCII.
    bool known_ascii() const noexcept { return marked_ && ascii_; }

private:
    // Whether any of `count` marks from `first` on is set.
    bool any_bit(std::size_t first, std::size_t count) const noexcept {
        if (count == 0) return false;
        const std::size_t last = first + count - 1;
        const std::size_t a = first / 64, b = last / 64;
        const std::uint64_t head = ~std::uint64_t{0} << (first % 64);
        const std::uint64_t tail = ~std::uint64_t{0} >> (63 - last % 64);
        if (a == b) return (marks_[a] & head & tail) != 0;
        if (marks_[a] & head) return true;
        for (std::size_t w = a + 1; w < b; ++w)
            if (marks_[w]) return true;
        return (marks_[b] & tail) != 0;
    }
    // A place and its value. `order` packs field, repetition and component,
    // 16 bits each (kMaxIndex), so places compare as one integer; its low
    // bits say whether the value is copied as it stands.
    struct Slot {
        static constexpr std::uint64_t kVerbatim = 1;
        std::uint64_t order;
        std::string_view value;
        std::uint64_t place() const noexcept { return order >> 16; }
        std::uint32_t field() const noexcept { return static_cast<std::uint32_t>(order >> 48); }
        std::uint32_t repetition() const noexcept { return static_cast<std::uint32_t>(order >> 32) & 0xFFFF; }
        std::uint32_t component() const noexcept { return static_cast<std::uint32_t>(order >> 16) & 0xFFFF; }
    };
    Status add_entry(const KeyPlace& place, std::string_view key, std::string_view value, bool verbatim) {
        switch (place.kind) {
            case KeyPlace::Kind::Value:
                slots_.push_back({std::uint64_t{place.field} << 48 | std::uint64_t{place.repetition} << 32 |
                                      std::uint64_t{place.component} << 16 | (verbatim ? Slot::kVerbatim : 0),
                                  value});
                return Ok{};
            case KeyPlace::Kind::SegmentName: name_ = value; return Ok{};
            case KeyPlace::Kind::Skipped: return Ok{};
            case KeyPlace::Kind::OutOfRange: break;
        }
        return out_of_range(key);
    }
    static Status out_of_range(std::string_view key);
    void order_slots();
    void write_fields(TextBuffer& out, bool has_name);

    std::optional<EscapeWriter> writer_;  // present when values are escaped
    std::size_t expansion_ = 1;           // most bytes a value byte can become
    bool marked_ = false;                 // default escaping: values are marked before they are written
    bool ascii_ = true;
    std::vector<std::uint64_t> marks_;    // a bit per byte of the line's record, set where escaping acts
    std::optional<std::string_view> name_;
    std::vector<Slot> slots_;
    std::vector<Slot> sorted_;  // scratch space for ordering the slots
};

// The message: one line per record, joined by "\n", written to `out`.
// `Records` is any indexable sequence of records (RecordStore, or the fuzz
// targets' vectors).
// `ascii`, when given, is set to whether the text is known to be ASCII.
template <class Records>
Status write_message(TextBuffer& out, const Records& records, const Hl7EscapeHandler& handler, bool escape,
                     bool* ascii = nullptr) {
    // The text is about as long as the keys and values it comes from.
    if constexpr (requires { records.byte_size(); }) out.reserve(records.byte_size() + records.size());
    Hl7Assembler assembler(handler, escape);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out.push_back('\n');
        if (Status status = assembler.append_line(out, records[i]); !status) return status;
    }
    if (ascii) *ascii = assembler.known_ascii();
    return Ok{};
}

// The same, as a string.
template <class Records>
Result<std::string> assemble_message(const Records& records, const Hl7EscapeHandler& handler, bool escape) {
    TextBuffer out;
    if (Status status = write_message(out, records, handler, escape); !status) return std::move(status).error();
    return std::string(out.view());
}

struct JsonHl7State {
    RecordStore json_data;
    Hl7EscapeHandler escape_handler = create_default_escape_handler();

    // The message text of the records, written to `out`.
    Status write_hl7(TextBuffer& out, bool escape, bool* ascii = nullptr) const {
        return write_message(out, json_data, escape_handler, escape, ascii);
    }
};

}  // namespace tessarin
