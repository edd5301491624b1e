#include "hl7_json.hpp"

#include "utils.hpp"

namespace tessarin {

std::vector<Hl7Segment> Hl7JsonState::parse_for_validation() const {
    std::vector<Hl7Segment> segments;
    for_each_line(hl7_string, [&](std::string_view line) { segments.push_back(Hl7Segment::from_string(line, nullptr)); });
    return segments;
}

Status Hl7JsonState::validate(bool strict_mode, bool validate_required_fields) const {
    const Hl7Validator validator{strict_mode, validate_required_fields};
    return validator.validate_message(parse_for_validation());
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
