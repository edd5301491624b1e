// Segment records back to HL7 text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/key_place.hpp"
#include "core/record.hpp"
#include "core/small_vector.hpp"
#include "core/text_buffer.hpp"

namespace tessarin {

Status check_segment_name(std::string_view name, bool escape);

// Builds message text from records; reuses its buffers across records.
class Hl7Assembler {
public:
    Hl7Assembler(const Hl7EscapeHandler& handler, bool escape) {
        if (!escape) return;
        writer_ = EscapeWriter::shared_for(handler);
        if (!writer_) writer_ = &own_writer_.emplace(handler);
        expansion_ = writer_->max_expansion();
    }
    Hl7Assembler(const Hl7Assembler&) = delete;  // writer_ may point into own_writer_
    // Most bytes one byte of a value can take once written.
    std::size_t expansion() const noexcept { return expansion_; }
    Hl7Assembler& operator=(const Hl7Assembler&) = delete;

    // Appends the line of one record (entries sorted by key) to `out`.
    // Ok unless a key names an index above kMaxIndex, or an escaped line would
    // carry a segment name holding a separator or line break.
    template <class Record>
    Status append_line(TextBuffer& out, const Record& record) {
        for (auto& group : groups_) group.clear();
        name_.reset();
        padded_ = false;
        groups_in_order_ = true;
        max_field_ = 0;
        room_ = 0;
        if constexpr (requires { record.entries(); }) {  // stored records carry their places
            if (write_stored_line(out, record)) return Ok{};
            padded_ = true;
            // Values, the common case, are gathered in locals: the compiler
            // cannot keep members in registers across the vectors' growth.
            bool in_order = true;
            std::uint32_t max_field = 0;
            std::size_t room = 0;
            std::uint64_t last[kGroups] = {};
            for (const auto& entry : record.entries()) {
                const auto [key, value] = record.store().item(entry);
                const KeyPlace place = entry.place;
                if (place.kind != KeyPlace::Kind::Value) [[unlikely]] {
                    if (Status status = add_entry(place, key, value); !status) return status;
                    continue;
                }
                const std::uint64_t order = place_order(place);
                const std::size_t g = digit_group(place.field);
                in_order &= last[g] <= order;
                last[g] = order;
                max_field = std::max<std::uint32_t>(max_field, place.field);
                room += std::size_t{place.repetition} + place.component + value_room(value);
                groups_[g].push_back({order, value});
            }
            groups_in_order_ = in_order;
            max_field_ = max_field;
            room_ = room;
        } else {
            for (const auto& [key, value] : record)
                if (Status status = add_entry(key_place(key), key, value); !status) return status;
        }
        if (name_) {
            if (Status status = check_segment_name(*name_, writer_ != nullptr); !status) return status;
            out.append(*name_);  // the name is written as it is, never escaped
        }
        write_fields(out, name_.has_value());
        return Ok{};
    }

private:
    // A place and its value. `order` packs field, repetition and component,
    // 16 bits each (kMaxIndex), so places compare as one integer.
    // Left unset when made without a place, so the groups' own room costs
    // nothing to set up.
    struct Slot {
        std::uint64_t order;
        const char* data;
        std::size_t size;
        Slot() = default;
        Slot(std::uint64_t order, std::string_view value) : order(order), data(value.data()), size(value.size()) {}
        std::string_view value() const noexcept { return {data, size}; }
        std::uint32_t field() const noexcept { return static_cast<std::uint32_t>(order >> 48); }
        std::uint32_t repetition() const noexcept { return static_cast<std::uint32_t>(order >> 32) & 0xFFFF; }
        std::uint32_t component() const noexcept { return static_cast<std::uint32_t>(order >> 16) & 0xFFFF; }
    };
    // Where the cursor of write_slots stands.
    struct Cursor {
        std::uint32_t field, repetition, component;
    };
    // Keys arrive in byte-wise order ("1", "10", "11", "2", "20"), which
    // within each count of digits of the field is numeric order, as lines
    // want. Slots are kept apart by that count (fields 0-9, 10-99, the rest):
    // each group then mostly comes in order, and the groups follow each
    // other in place order without being moved.
    static constexpr std::size_t kGroups = 3;
    static std::size_t digit_group(std::uint32_t field) noexcept {
        return static_cast<std::size_t>(field >= 10) + static_cast<std::size_t>(field >= 100);
    }
    Status add_entry(const KeyPlace& place, std::string_view key, std::string_view value) {
        switch (place.kind) {
            case KeyPlace::Kind::Value: {
                const std::uint64_t order = place_order(place);
                auto& group = groups_[digit_group(place.field)];
                groups_in_order_ = groups_in_order_ && (group.empty() || group.back().order <= order);
                max_field_ = std::max<std::uint32_t>(max_field_, place.field);
                room_ += std::size_t{place.repetition} + place.component + value_room(value);
                group.push_back({order, value});
                return Ok{};
            }
            case KeyPlace::Kind::SegmentName: name_ = value; return Ok{};
            case KeyPlace::Kind::Skipped: return Ok{};
            case KeyPlace::Kind::OutOfRange: break;
        }
        return out_of_range(key);
    }
    static std::uint64_t place_order(const KeyPlace& place) noexcept {
        return std::uint64_t{place.field} << 48 | std::uint64_t{place.repetition} << 32 |
               std::uint64_t{place.component} << 16;
    }
    static Status out_of_range(std::string_view key);
    // Most bytes `value` can take once written. A very long value's special
    // bytes are counted rather than assumed, so the room stays near its size.
    static constexpr std::size_t kCountedSize = std::size_t{1} << 24;
    std::size_t value_room(std::string_view value) const {
        return writer_ && value.size() >= kCountedSize ? writer_->escaped_size(value) : value.size() * expansion_;
    }
    // Writes a stored record's line straight from its entries, which is
    // most records: each group of fields in place order, every key in range,
    // a name fit to write. Otherwise false with nothing written, and the
    // record takes the gathering path, which reports its exact error.
    bool write_stored_line(TextBuffer& out, const RecordStore::Record& record);
    void write_fields(TextBuffer& out, bool has_name);
    char* write_slots(const Slot* slots, std::size_t count, Cursor& cursor, char* at) const;
    static char* write_value(const EscapeWriter* writer, bool padded, char* out, std::string_view value);

    std::optional<EscapeWriter> own_writer_;  // for a handler other than the default
    const EscapeWriter* writer_ = nullptr;    // present when values are escaped
    std::size_t expansion_ = 1;               // most bytes a value byte can become
    std::optional<std::string_view> name_;
    bool padded_ = false;          // values are followed by RecordStore::kPadding bytes
    bool groups_in_order_ = true;  // each group came in place order
    std::uint32_t max_field_ = 0;
    std::size_t room_ = 0;  // room for the values and the separators within fields
    // Most lines fit the groups' own room: a short message allocates nothing here.
    SmallVector<Slot, 32> groups_[kGroups];
    SmallVector<const RecordStore::Entry*, 64> waiting_[kGroups - 1];  // fields from 10 on, in write_stored_line
    std::vector<Slot> slots_;                                          // the groups together, when they need sorting
    std::vector<Slot> sorted_;                                         // scratch space for ordering the slots
};

// The message: one line per record, joined by "\n", written to `out`.
// `Records` is any indexable sequence of records (RecordStore, or the fuzz
// targets' vectors).
template <class Records>
Status write_message(TextBuffer& out, const Records& records, const Hl7EscapeHandler& handler, bool escape) {
    Hl7Assembler assembler(handler, escape);
    // The text is about as long as the keys and values it comes from. A
    // large escaped text gets room for the worst case at once: its pages
    // are touched only as they are written, and the buffer is not copied as
    // escaping outgrows it.
    if constexpr (requires { records.byte_size(); }) {
        const std::size_t room = records.byte_size() + records.size();
        const std::size_t worst = room * assembler.expansion();
        out.reserve(buffer_memory::is_large(worst) ? worst : room);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out.push_back('\n');
        if (Status status = assembler.append_line(out, records[i]); !status) return status;
    }
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
    Status write_hl7(TextBuffer& out, bool escape) const {
        return write_message(out, json_data, escape_handler, escape);
    }
};

}  // namespace tessarin
