#include "hl7_json.hpp"

#include "utils.hpp"

namespace tessarin {

Status Hl7JsonState::validate(bool strict_mode, bool validate_required_fields) const {
    std::vector<std::string_view> lines;
    for_each_line(hl7_string, [&](std::string_view line) { lines.push_back(line); });
    return Hl7Validator{strict_mode, validate_required_fields}.validate_lines(lines);
}

Status Hl7JsonState::validate_before_conversion() const {
    if (!options.validation_enabled) return Ok{};
    return validate(options.strict_validation, false);
}

Result<std::string> read_message_file(std::string_view path, std::size_t padding) {
    Result<std::string> text = read_text_file(path, padding);
    if (text && is_blank(text.value())) return Hl7Error::empty_message();
    return text;
}

}  // namespace tessarin
