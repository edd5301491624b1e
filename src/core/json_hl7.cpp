#include "json_hl7.hpp"

#include <algorithm>

namespace tessarin {

std::optional<std::uint64_t> parse_index(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

// Reads up to 19 plain digits at `pos` (no "+", so no overflow is possible);
// false when there are none or more follow.
bool read_plain_number(std::string_view key, std::size_t& pos, std::uint64_t& value) {
    const std::size_t start = pos;
    value = 0;
    while (pos < key.size() && key[pos] >= '0' && key[pos] <= '9' && pos - start < 19)
        value = value * 10 + static_cast<std::uint64_t>(key[pos++] - '0');
    return pos > start && (pos == key.size() || key[pos] < '0' || key[pos] > '9');
}

// The four forms that records written from parsed text use, read in one
// pass: "N", "N.C", "N[R]", "N[R].C". Anything else takes the general path.
bool place_of_plain_key(std::string_view key, Place& place) {
    std::size_t pos = 0;
    place = {0, 0, 0};
    if (!read_plain_number(key, pos, place.field)) return false;
    if (pos == key.size()) return true;
    if (key[pos] == '[') {
        ++pos;
        if (!read_plain_number(key, pos, place.repetition) || pos == key.size() || key[pos] != ']') return false;
        if (++pos == key.size()) return true;
    }
    if (key[pos] != '.') return false;
    ++pos;
    return read_plain_number(key, pos, place.component) && pos == key.size();
}

}  // namespace

std::optional<Place> place_of_key(std::string_view key) noexcept {
    if (Place place; place_of_plain_key(key, place)) return place;
    if (const auto field = parse_index(key)) return Place{*field, 0, 0};
    const std::size_t open = key.find('[');
    const std::size_t close = key.find(']');
    if (open != std::string_view::npos && close != std::string_view::npos) {
        if (close < open) return std::nullopt;
        const auto field = parse_index(key.substr(0, open));
        const auto repetition = parse_index(key.substr(open + 1, close - open - 1));
        if (!field || !repetition) return std::nullopt;
        // Text after "]" that does not start with "." is ignored.
        if (close + 1 == key.size() || key[close + 1] != '.') return Place{*field, *repetition, 0};
        const auto component = parse_index(key.substr(close + 2));
        if (!component) return std::nullopt;
        return Place{*field, *repetition, *component};
    }
    const std::size_t dot = key.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const auto field = parse_index(key.substr(0, dot));
    const auto component = parse_index(key.substr(dot + 1));  // a second "." makes this fail
    if (!field || !component) return std::nullopt;
    return Place{*field, 0, *component};
}

Status check_segment_name(std::string_view name, bool escape) {
    if (escape && name.find_first_of("|\r\n") != std::string_view::npos)
        return Hl7Error::encoding("segment name '" + std::string(name) + "' contains a separator or line break");
    return Ok{};
}

Status Hl7Assembler::add_entry(std::string_view key, std::string_view value) {
    const std::optional<Place> place = place_of_key(key);
    if (!place) return Ok{};
    for (std::uint64_t index : {place->field, place->repetition, place->component}) {
        if (index > kMaxIndex)
            return Hl7Error::encoding("index " + std::to_string(index) + " in key '" + std::string(key) +
                                      "' exceeds the limit of " + std::to_string(kMaxIndex));
    }
    slots_.push_back({static_cast<std::uint32_t>(place->field), static_cast<std::uint32_t>(place->repetition),
                      static_cast<std::uint32_t>(place->component), value});
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
