#include "json_hl7.hpp"

#include <algorithm>

#include "hl7_json.hpp"
#include "json_reader.hpp"

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
    // order, and among keys naming one place the later key wins. A counting
    // pass by field then a small stable sort per field avoids a full sort.
    std::uint32_t last_field = 0;
    for (const Slot& slot : slots_) last_field = std::max(last_field, slot.field);
    field_starts_.assign(last_field + 2, 0);
    for (const Slot& slot : slots_) ++field_starts_[slot.field + 1];
    for (std::size_t i = 1; i < field_starts_.size(); ++i) field_starts_[i] += field_starts_[i - 1];
    sorted_.resize(slots_.size());
    for (const Slot& slot : slots_) sorted_[field_starts_[slot.field]++] = slot;
    const auto before = [](const Slot& a, const Slot& b) {
        return a.repetition != b.repetition ? a.repetition < b.repetition
                                                        : a.component < b.component;
    };
    // field_starts_[n] now ends field n; insertion sort keeps equal places in key order.
    std::size_t begin = 0;
    for (std::uint32_t field = 0; field <= last_field; ++field) {
        const std::size_t end = field_starts_[field];
        for (std::size_t i = begin + 1; i < end; ++i)
            for (std::size_t j = i; j > begin && before(sorted_[j], sorted_[j - 1]); --j) std::swap(sorted_[j], sorted_[j - 1]);
        begin = end;
    }
    slots_.clear();
    for (std::size_t i = 0; i < sorted_.size(); ++i) {
        const bool replaced = i + 1 < sorted_.size() && sorted_[i + 1].field == sorted_[i].field &&
                              !before(sorted_[i], sorted_[i + 1]);
        if (!replaced) slots_.push_back(sorted_[i]);
    }
}

void Hl7Assembler::write_fields(std::string& out, bool has_name) {
    if (slots_.empty()) return;
    order_slots();
    if (slots_.back().field == 0) return;

    auto slot = slots_.begin();
    while (slot != slots_.end() && slot->field == 0) ++slot;  // field 0 is never written
    bool first_part = !has_name;
    for (std::uint64_t field = 1; field <= slots_.back().field; ++field) {
        if (!first_part) out += '|';
        first_part = false;
        if (slot == slots_.end() || slot->field != field) continue;
        auto field_end = slot;
        while (field_end != slots_.end() && field_end->field == field) ++field_end;
        const std::uint64_t last_repetition = (field_end - 1)->repetition;
        for (std::uint64_t repetition = 0; repetition <= last_repetition; ++repetition) {
            if (repetition > 0) out += '~';
            if (slot == field_end || slot->repetition != repetition) continue;
            auto repetition_end = slot;
            while (repetition_end != field_end && repetition_end->repetition == repetition) ++repetition_end;
            const std::uint64_t last_component = (repetition_end - 1)->component;
            if (last_component == 0) {
                write_value(out, slot->value);
            } else {
                // The whole-value place gives way to numbered components.
                if (slot->component == 0) ++slot;
                for (std::uint64_t component = 1; component <= last_component; ++component) {
                    if (component > 1) out += '^';
                    if (slot != repetition_end && slot->component == component) write_value(out, (slot++)->value);
                }
            }
            slot = repetition_end;
        }
        slot = field_end;
    }
}

Result<RecordStore> read_json_file(std::string_view path) {
    Result<std::string> text = read_message_file(path, json_padding());
    if (!text) return std::move(text).error();
    return read_json_store(text.value());
}

}  // namespace tessarin
