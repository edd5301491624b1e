#include "core/json_hl7.hpp"

#include <algorithm>
#include <cstring>

#include "core/key_order.hpp"

namespace tessarin {

Status check_segment_name(std::string_view name, bool escape) {
    // A plain loop: names are a few bytes, shorter than a library search's set-up.
    const auto breaks_line = [](char c) { return c == '|' || c == '\r' || c == '\n'; };
    if (escape && std::any_of(name.begin(), name.end(), breaks_line))
        return Hl7Error::encoding("segment name '" + std::string(name) + "' contains a separator or line break");
    return Ok{};
}

Status Hl7Assembler::out_of_range(std::string_view key) {
    const std::optional<Place> place = place_of_key(key);
    for (std::uint64_t index : {place->field, place->repetition, place->component}) {
        if (index > kMaxIndex)
            return Hl7Error::encoding("index " + std::to_string(index) + " in key '" + std::string(key) +
                                      "' exceeds the limit of " + std::to_string(kMaxIndex));
    }
    return Ok{};
}

namespace {

char* fill(char* out, char separator, std::size_t count) {
    if (count == 1) {
        *out++ = separator;
    } else if (count > 1) {
        std::memset(out, separator, count);
        out += count;
    }
    return out;
}

}  // namespace

char* Hl7Assembler::write_value(const EscapeWriter* writer, bool padded, char* out, std::string_view value) {
    if (writer) return padded ? writer->write_padded(out, value) : writer->write(out, value);
    copy_bytes(out, value.data(), value.size());
    return out + value.size();
}

void Hl7Assembler::write_fields(TextBuffer& out, bool has_name) {
    // Field 0 is stored but never written; a line of nothing else ends here.
    if (max_field_ == 0) return;

    // Room for the worst case, so the writes below are plain stores: the
    // separators of each step between places (from field to field they add
    // up to the last field), and every value escaped.
    char* at = out.room_for(room_ + max_field_ + RecordStore::kPadding);  // block copies may write past a value

    Cursor cursor{has_name ? 0u : 1u, 0, 1};
    if (groups_in_order_) {
        for (const auto& group : groups_) at = write_slots(group.begin(), group.size(), cursor, at);
    } else {
        // A field with ten or more components or repetitions, or fields from
        // 1000 on: the groups are sorted together. The merge is stable, and
        // equal places share a group, so they stay in key order.
        slots_.clear();
        for (const auto& group : groups_) slots_.insert(slots_.end(), group.begin(), group.end());
        merge_runs(slots_, sorted_, [](const Slot& a, const Slot& b) { return a.order < b.order; });
        at = write_slots(slots_.data(), slots_.size(), cursor, at);
    }
    out.end_at(at);
}

char* Hl7Assembler::write_slots(const Slot* slots, std::size_t count, Cursor& cursor, char* at) const {
    // A cursor walks the places in order and writes the separators that lead
    // from one written place to the next; gaps come out as empty parts.
    // Component 0 and component 1 start at the same spot of a repetition.
    // Every byte written could alias a member, so what the loop reads is
    // held in locals. Slots that follow each other in place order but lie in
    // different groups have different fields.
    const EscapeWriter* const writer = writer_;
    const bool padded = padded_;
    std::uint32_t field = cursor.field, repetition = cursor.repetition, component = cursor.component;
    for (std::size_t i = 0; i < count; ++i) {
        const Slot slot = slots[i];
        if (slot.field() == 0) continue;
        const bool has_next_in_repetition = i + 1 < count && (slots[i + 1].order >> 32) == (slot.order >> 32);
        // The later of two keys for one place wins, and the whole value gives
        // way to numbered components of the same repetition.
        if (has_next_in_repetition && (slots[i + 1].component() == slot.component() || slot.component() == 0)) continue;
        if (slot.field() != field) {
            at = fill(at, '|', slot.field() - field);
            field = slot.field();
            repetition = 0;
            component = 1;
        }
        if (slot.repetition() != repetition) {
            at = fill(at, '~', slot.repetition() - repetition);
            repetition = slot.repetition();
            component = 1;
        }
        const std::uint32_t target = std::max<std::uint32_t>(slot.component(), 1);
        at = fill(at, '^', target - component);
        component = target;
        at = write_value(writer, padded, at, slot.value());
    }
    cursor = {field, repetition, component};
    return at;
}

}  // namespace tessarin
