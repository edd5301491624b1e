#include "core/hl7_json.hpp"

#include <cstring>

#include <algorithm>
#include <vector>

namespace tessarin {

namespace {

Status validate_normalised(std::string_view text, const Hl7Validator& validator) {
    std::vector<std::string_view> lines;
    for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
    return validator.validate_message(lines);
}

}  // namespace

Status Hl7JsonState::validate(bool strict_mode, bool validate_required_fields) const {
    return validate_normalised(hl7_string, Hl7Validator{strict_mode, validate_required_fields});
}

Status validate_text(std::string_view text, const Hl7Validator& validator) {
    return validate_normalised(replace_eof(text), validator);
}

Status Hl7JsonState::validate_before_conversion() const {
    if (!options.validation_enabled) return Ok{};
    return validate(options.strict_validation, false);
}

std::size_t segment_count(std::string_view message) noexcept {
    // memchr jumps over the long stretches between line ends.
    std::size_t count = 1;
    const char* at = message.data();
    const char* const end = at + message.size();
    while (at < end) {
        const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        if (!found) break;
        ++count;
        at = static_cast<const char*>(found) + 1;
    }
    return count;
}

}  // namespace tessarin
