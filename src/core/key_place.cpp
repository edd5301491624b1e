#include "core/key_place.hpp"

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

namespace {

// Up to five digits at `at`: plain keys hold small numbers. False when there
// are none or more, which the general path then reads.
bool read_small_number(const char*& at, const char* end, std::uint32_t& value) {
    const char* const start = at;
    value = 0;
    while (at < end && static_cast<unsigned>(*at - '0') < 10 && at - start < 6)
        value = value * 10 + static_cast<std::uint32_t>(*at++ - '0');
    return at > start && at - start <= 5 && value <= kMaxIndex;
}

// "N", "N.C", "N[R]" and "N[R].C" with numbers of five digits at most, in
// one pass: the keys of every record read from HL7 text.
bool small_plain_place(std::string_view key, KeyPlace& place) {
    const char* at = key.data();
    const char* const end = at + key.size();
    std::uint32_t field, repetition = 0, component = 0;
    if (!read_small_number(at, end, field)) return false;
    if (at < end && *at == '[') {
        ++at;
        if (!read_small_number(at, end, repetition) || at == end || *at != ']') return false;
        ++at;
    }
    if (at < end) {
        if (*at != '.') return false;
        ++at;
        if (!read_small_number(at, end, component) || at != end) return false;
    }
    place = {static_cast<std::uint16_t>(field), static_cast<std::uint16_t>(repetition),
             static_cast<std::uint16_t>(component), KeyPlace::Kind::Value};
    return true;
}

}  // namespace

KeyPlace key_place(std::string_view key) noexcept {
    if (KeyPlace place; small_plain_place(key, place)) return place;
    if (key == "segment_name") return {0, 0, 0, KeyPlace::Kind::SegmentName};
    const std::optional<Place> place = place_of_key(key);
    if (!place) return {};
    if (place->field > kMaxIndex || place->repetition > kMaxIndex || place->component > kMaxIndex)
        return {0, 0, 0, KeyPlace::Kind::OutOfRange};
    return {static_cast<std::uint16_t>(place->field), static_cast<std::uint16_t>(place->repetition),
            static_cast<std::uint16_t>(place->component), KeyPlace::Kind::Value};
}

}  // namespace tessarin
