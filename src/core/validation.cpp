#include "validation.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace tessarin {

namespace {

constexpr std::array<std::string_view, 10> kSupportedVersions = {"2.1", "2.2", "2.3", "2.4", "2.5",
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

Status check_segment(const Hl7Segment& segment, std::size_t position) {
    if (segment.name.empty())
        return Hl7Error::validation_failed("Segment " + std::to_string(position) + " has empty segment name");
    if (segment.name.size() != 3 || !std::all_of(segment.name.begin(), segment.name.end(), is_ascii_letter))
        return Hl7Error::invalid_segment_name(segment.name);
    for (const Hl7Field& field : segment.fields) {
        if (field.value.size() > kMaxValueLength) return Hl7Error::field_too_long(field.value.size(), kMaxValueLength);
        if (!field.components) continue;
        for (const std::string& component : *field.components)
            if (component.size() > kMaxValueLength)
                return Hl7Error::component_too_long(component.size(), kMaxValueLength);
    }
    return Ok{};
}

}  // namespace

Status Hl7Validator::validate_message(std::span<const Hl7Segment> segments) const {
    if (segments.empty()) return Hl7Error::validation_error("Message contains no segments");
    const Hl7Segment& header = segments.front();
    if (header.name != "MSH") return Hl7Error::missing_required_segment("MSH (Message Header)");
    // Field numbers here are one less than the standard's: MSH-1 is the "|" itself.
    if (header.field_count() < 11) return Hl7Error::validation_failed("MSH segment must have at least 12 fields");
    const Hl7Field* separators = header.field(1);
    if (!separators) return Hl7Error::validation_failed("Field separators (field 1) are required");
    if (separators->value.size() != 4) return Hl7Error::invalid_field_separators(separators->value);
    const Hl7Field* version = header.field(11);
    if (!version) return Hl7Error::validation_failed("HL7 version (field 12) is required");
    if (strict_mode &&
        std::find(kSupportedVersions.begin(), kSupportedVersions.end(), version->value) == kSupportedVersions.end())
        return Hl7Error::unsupported_version(version->value, supported_versions_text());
    if (Status status = validate_message_type(header); !status) return status;
    if (validate_required_fields &&
        std::none_of(segments.begin(), segments.end(), [](const Hl7Segment& s) { return s.name == "PID"; }))
        return Hl7Error::missing_required_segment("PID (Patient Identification)");
    for (std::size_t i = 0; i < segments.size(); ++i)
        if (Status status = check_segment(segments[i], i + 1); !status) return status;
    return Ok{};
}

Status Hl7Validator::validate_message_type(const Hl7Segment& header) const {
    const Hl7Field* message_type = header.field(8);
    if (!message_type) return Hl7Error::validation_failed("Message type (field 8) is required");
    if (strict_mode && std::count(message_type->value.begin(), message_type->value.end(), '^') < 2)
        return Hl7Error::validation_failed(
            "Message type (field 8) must have at least 3 components: event^structure^version");
    return Ok{};
}

}  // namespace tessarin
