#include "core/json_hl7.hpp"

#include <algorithm>
#include <cstring>

#include "core/key_order.hpp"

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
    if (in_order_) return;
    // Keys arrive in byte-wise order ("1", "10", "11", "2", "20"), which
    // within each count of digits of the field is numeric order, as lines
    // want. A stable split by that count, one pass, then mostly leaves the
    // slots in order; what it does not (ten or more components of a field,
    // fields from 1000) the merge sorts. Both are stable: equal places stay
    // in key order.
    const std::size_t count = slots_.size();
    sorted_.resize(count);
    Slot* group[3] = {sorted_.data(), sorted_.data() + one_digit_, sorted_.data() + one_digit_ + two_digits_};
    std::uint64_t last[3] = {0, 0, 0};
    bool sorted = true;
    for (const Slot& slot : slots_) {
        const std::uint32_t field = slot.field();
        const int g = (field >= 10) + (field >= 100);
        sorted &= last[g] <= slot.order;
        last[g] = slot.order;
        *group[g]++ = slot;
    }
    if (sorted) {
        slots_.swap(sorted_);
        return;
    }
    merge_runs(slots_, sorted_, [](const Slot& a, const Slot& b) { return a.order < b.order; });
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
    if (slots_.empty()) return;
    order_slots();
    if (slots_.back().field() == 0) return;  // field 0 is stored but never written

    // Room for the worst case, so the writes below are plain stores: the
    // separators of each step between places (from field to field they add
    // up to the last field), and every value escaped.
    const std::size_t room = room_ + max_field_;
    char* at = out.room_for(room + RecordStore::kPadding);  // block copies may write past a value

    // A cursor walks the places in order and writes the separators that lead
    // from one written place to the next; gaps come out as empty parts.
    // Component 0 and component 1 start at the same spot of a repetition.
    // Every byte written could alias a member, so what the loop reads is
    // held in locals.
    const Slot* const slots = slots_.data();
    const std::size_t count = slots_.size();
    const EscapeWriter* const writer = writer_;
    const bool padded = padded_;
    std::uint32_t field = has_name ? 0 : 1, repetition = 0, component = 1;
    for (std::size_t i = 0; i < count; ++i) {
        const Slot slot = slots[i];
        if (slot.field() == 0) continue;
        const bool has_next_in_repetition = i + 1 < count && (slots[i + 1].order >> 32) == (slot.order >> 32);
        // The later of two keys for one place wins, and the whole value gives
        // way to numbered components of the same repetition.
        if (has_next_in_repetition && (slots[i + 1].component() == slot.component() || slot.component() == 0))
            continue;
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
        at = write_value(writer, padded, at, slot.value);
    }
    out.end_at(at);
}

}  // namespace tessarin
