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

std::optional<Place> place_of_key(std::string_view key) noexcept {
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
    slots_.push_back({*place, value});
    return Ok{};
}

void Hl7Assembler::write_value(std::string& out, std::string_view value) {
    if (escape_) handler_.escape_into(out, value);
    else out += value;
}

void Hl7Assembler::write_fields(std::string& out, bool has_name) {
    const auto order = [](const Slot& a, const Slot& b) {
        const Place& p = a.place;
        const Place& q = b.place;
        if (p.field != q.field) return p.field < q.field;
        if (p.repetition != q.repetition) return p.repetition < q.repetition;
        return p.component < q.component;
    };
    const auto same_place = [&](const Slot& a, const Slot& b) { return !order(a, b) && !order(b, a); };
    // Entries arrive in key order; among keys naming one place the later wins.
    std::stable_sort(slots_.begin(), slots_.end(), order);
    auto end = slots_.begin();
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        if (it + 1 != slots_.end() && same_place(*it, *(it + 1))) continue;
        *end++ = *it;
    }
    slots_.erase(end, slots_.end());
    if (slots_.empty() || slots_.back().place.field == 0) return;

    auto slot = slots_.begin();
    while (slot != slots_.end() && slot->place.field == 0) ++slot;  // field 0 is never written
    bool first_part = !has_name;
    for (std::uint64_t field = 1; field <= slots_.back().place.field; ++field) {
        if (!first_part) out += '|';
        first_part = false;
        if (slot == slots_.end() || slot->place.field != field) continue;
        auto field_end = slot;
        while (field_end != slots_.end() && field_end->place.field == field) ++field_end;
        const std::uint64_t last_repetition = (field_end - 1)->place.repetition;
        for (std::uint64_t repetition = 0; repetition <= last_repetition; ++repetition) {
            if (repetition > 0) out += '~';
            if (slot == field_end || slot->place.repetition != repetition) continue;
            auto repetition_end = slot;
            while (repetition_end != field_end && repetition_end->place.repetition == repetition) ++repetition_end;
            const std::uint64_t last_component = (repetition_end - 1)->place.component;
            if (last_component == 0) {
                write_value(out, slot->value);
            } else {
                // The whole-value place gives way to numbered components.
                if (slot->place.component == 0) ++slot;
                for (std::uint64_t component = 1; component <= last_component; ++component) {
                    if (component > 1) out += '^';
                    if (slot != repetition_end && slot->place.component == component) write_value(out, (slot++)->value);
                }
            }
            slot = repetition_end;
        }
        slot = field_end;
    }
}

Result<std::string> assemble_message(std::span<const SegmentRecord> records, const Hl7EscapeHandler& handler,
                                     bool escape) {
    std::string out;
    Hl7Assembler assembler(handler, escape);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out += '\n';
        if (Status status = assembler.append_line(out, records[i]); !status) return std::move(status).error();
    }
    return out;
}

Result<std::vector<SegmentRecord>> read_json_file(std::string_view path) {
    Result<std::string> text = read_message_file(path, json_padding());
    if (!text) return std::move(text).error();
    return read_json_records(text.value());
}

}  // namespace tessarin
