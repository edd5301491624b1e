#include "core/validation.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "core/utils.hpp"

namespace tessarin {

namespace {

constexpr std::array<std::string_view, 10> kSupportedVersions = {"2.1",   "2.2", "2.3", "2.4", "2.5",
                                                                 "2.5.1", "2.6", "2.7", "2.8", "2.9"};

std::string supported_versions_text() {
    std::string text;
    for (std::string_view version : kSupportedVersions) {
        if (!text.empty()) text += ", ";
        text += version;
    }
    return text;
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_upper_or_digit(char c) { return is_upper(c) || (c >= '0' && c <= '9'); }

constexpr std::string_view kHl7NameRule = "must be 3 characters: an uppercase letter, then uppercase letters or digits";
constexpr std::string_view kHl7SeparatorsRule = "must be 4 characters, or 5 with the truncation character";

// Rule 8's name check: three ASCII letters, or under HL7's syntax an
// uppercase letter then uppercase letters or digits.
bool valid_name(std::string_view name, bool hl7_syntax) {
    if (name.size() != 3) return false;
    if (!hl7_syntax) return std::all_of(name.begin(), name.end(), is_ascii_letter);
    return is_upper(name[0]) && is_upper_or_digit(name[1]) && is_upper_or_digit(name[2]);
}

// Rules 7 and 8: the segment's name is present and well formed.
Status check_name(std::string_view name, std::size_t position, bool hl7_syntax) {
    if (name.empty())
        return Hl7Error::validation_failed("Segment " + std::to_string(position) + " has empty segment name");
    if (!valid_name(name, hl7_syntax))
        return hl7_syntax ? Hl7Error::invalid_segment_name(std::string(name), std::string(kHl7NameRule))
                          : Hl7Error::invalid_segment_name(std::string(name));
    return Ok{};
}

// Rule 9.
Status check_length(std::size_t length) {
    if (length > kMaxValueLength) return Hl7Error::field_too_long(length, kMaxValueLength);
    return Ok{};
}

std::string_view name_of(std::string_view line) { return line.substr(0, line.find('|')); }

// Rules 7 to 9 on one line. Without a handler a component is a
// piece of the raw field value, so no component can be longer than a field
// that passed its own length check.
Status check_segment(std::string_view line, std::size_t position, bool hl7_syntax) {
    if (Status status = check_name(name_of(line), position, hl7_syntax); !status) return status;
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) return Ok{};
    std::size_t first_too_long = 0;
    for_each_piece(line.substr(bar + 1), "|", 1, [&](std::string_view field, std::size_t) {
        if (first_too_long == 0 && field.size() > kMaxValueLength) first_too_long = field.size();
    });
    return first_too_long == 0 ? Status(Ok{}) : check_length(first_too_long);
}

}  // namespace

Status Hl7Validator::validate_message(std::span<const std::string_view> lines) const {
    if (lines.empty()) return Hl7Error::validation_error("Message contains no segments");
    // Rule numbers are those of the README's two lists, which agree but for
    // rules 3 and 8. Rule 1:
    if (name_of(lines.front()) != "MSH") return Hl7Error::missing_required_segment("MSH (Message Header)");
    // The header's fields; index 0 is MSH-2, since MSH-1 is the "|" itself,
    // so the numbers in the texts are one more than the index.
    std::vector<std::string_view> header;
    const std::string_view header_line = lines.front();
    const std::size_t bar = header_line.find('|');
    if (bar != std::string_view::npos) split_pieces(header_line.substr(bar + 1), "|", header);
    const auto field = [&](std::size_t number) {
        return number <= header.size() ? std::optional<std::string_view>(header[number - 1]) : std::nullopt;
    };
    // Rule 2.
    if (header.size() < 11) return Hl7Error::validation_failed("MSH segment must have at least 12 fields");
    const std::optional<std::string_view> separators = field(1);
    if (!separators) return Hl7Error::validation_failed("Field separators (field 1) are required");
    // Rule 3: HL7 2.7 added the truncation character as a fifth.
    if (hl7_syntax && separators->size() != 4 && separators->size() != 5)
        return Hl7Error::invalid_field_separators(std::string(*separators), std::string(kHl7SeparatorsRule));
    if (!hl7_syntax && separators->size() != 4) return Hl7Error::invalid_field_separators(std::string(*separators));
    const std::optional<std::string_view> version = field(11);
    if (!version) return Hl7Error::validation_failed("HL7 version (field 12) is required");
    // Rules 4 and 5, then 6.
    if (strict_mode &&
        std::find(kSupportedVersions.begin(), kSupportedVersions.end(), *version) == kSupportedVersions.end())
        return Hl7Error::unsupported_version(std::string(*version), supported_versions_text());
    if (Status status = validate_message_type(field(8)); !status) return status;
    if (validate_required_fields &&
        std::none_of(lines.begin(), lines.end(), [](std::string_view line) { return name_of(line) == "PID"; }))
        return Hl7Error::missing_required_segment("PID (Patient Identification)");
    // Rules 7 to 9, segment by segment.
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (Status status = check_segment(lines[i], i + 1, hl7_syntax); !status) return status;
    return Ok{};
}

Status Hl7Validator::validate_message_type(std::optional<std::string_view> message_type) const {
    if (!message_type) return Hl7Error::validation_failed("Message type (field 8) is required");
    if (strict_mode && std::count(message_type->begin(), message_type->end(), '^') < 2)
        return Hl7Error::validation_failed(
            "Message type (field 8) must have at least 3 components: event^structure^version");
    return Ok{};
}

}  // namespace tessarin
