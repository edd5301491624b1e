#include "json_hl7.hpp"

#include <algorithm>

namespace tessarin {

Status check_segment_name(std::string_view name, bool escape) {
    if (escape && name.find_first_of("|\r\n") != std::string_view::npos)
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

void Hl7Assembler::order_slots() {
    // Keys arrive in byte-wise order ("1", "10", "2"); the tree wants numeric
    // order. A counting pass by field then a small stable sort per field
    // avoids a full sort; equal places stay in key order.
    std::uint32_t last_field = 0;
    for (const Slot& slot : slots_) last_field = std::max(last_field, slot.field);
    field_starts_.assign(last_field + 2, 0);
    for (const Slot& slot : slots_) ++field_starts_[slot.field + 1];
    for (std::size_t i = 1; i < field_starts_.size(); ++i) field_starts_[i] += field_starts_[i - 1];
    sorted_.resize(slots_.size());
    for (const Slot& slot : slots_) sorted_[field_starts_[slot.field]++] = slot;
    // field_starts_[n] now ends field n.
    std::size_t begin = 0;
    for (std::uint32_t field = 0; field <= last_field; ++field) {
        const std::size_t end = field_starts_[field];
        for (std::size_t i = begin + 1; i < end; ++i)
            for (std::size_t j = i; j > begin && before(sorted_[j], sorted_[j - 1]); --j)
                std::swap(sorted_[j], sorted_[j - 1]);
        begin = end;
    }
}

void Hl7Assembler::write_fields(std::string& out, bool has_name) {
    if (slots_.empty()) return;
    order_slots();
    if (sorted_.back().field == 0) return;  // field 0 is stored but never written

    // A cursor walks the places in order and writes the separators that lead
    // from one written place to the next; gaps come out as empty parts.
    // Component 0 and component 1 start at the same spot of a repetition.
    std::uint32_t field = has_name ? 0 : 1, repetition = 0, component = 1;
    for (std::size_t i = 0; i < sorted_.size(); ++i) {
        const Slot& slot = sorted_[i];
        if (slot.field == 0) continue;
        const bool has_next_in_repetition = i + 1 < sorted_.size() && sorted_[i + 1].field == slot.field &&
                                            sorted_[i + 1].repetition == slot.repetition;
        // The later of two keys for one place wins, and the whole value gives
        // way to numbered components of the same repetition.
        if (has_next_in_repetition && (sorted_[i + 1].component == slot.component || slot.component == 0)) continue;
        if (slot.field != field) {
            out.append(slot.field - field, '|');
            field = slot.field;
            repetition = 0;
            component = 1;
        }
        if (slot.repetition != repetition) {
            out.append(slot.repetition - repetition, '~');
            repetition = slot.repetition;
            component = 1;
        }
        const std::uint32_t target = std::max<std::uint32_t>(slot.component, 1);
        out.append(target - component, '^');
        component = target;
        write_value(out, slot.value);
    }
}

}  // namespace tessarin
