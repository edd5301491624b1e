#include "validation.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

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

// The checks on a segment's name: present, three ASCII letters.
Status check_name(std::string_view name, std::size_t position) {
    if (name.empty()) return Hl7Error::validation_failed("Segment " + std::to_string(position) + " has empty segment name");
    if (name.size() != 3 || !std::all_of(name.begin(), name.end(), is_ascii_letter))
        return Hl7Error::invalid_segment_name(std::string(name));
    return Ok{};
}

Status check_length(std::size_t length) {
    if (length > kMaxValueLength) return Hl7Error::field_too_long(length, kMaxValueLength);
    return Ok{};
}

// A message as a list of parsed segments.
class ParsedMessage {
public:
    explicit ParsedMessage(std::span<const Hl7Segment> segments) : segments_(segments) {}
    std::size_t size() const { return segments_.size(); }
    std::string_view name(std::size_t i) const { return segments_[i].name; }
    std::size_t header_field_count() const { return segments_.front().field_count(); }
    const std::string_view* header_field(std::size_t index) const {
        const Hl7Field* field = segments_.front().field(index);
        if (!field) return nullptr;
        view_ = field->value;
        return &view_;
    }
    // The name and length checks of segment i.
    Status check_segment(std::size_t i) const {
        const Hl7Segment& segment = segments_[i];
        if (Status status = check_name(segment.name, i + 1); !status) return status;
        for (const Hl7Field& field : segment.fields) {
            if (Status status = check_length(field.value.size()); !status) return status;
            if (!field.components) continue;
            for (const std::string& component : *field.components)
                if (component.size() > kMaxValueLength)
                    return Hl7Error::component_too_long(component.size(), kMaxValueLength);
        }
        return Ok{};
    }

private:
    std::span<const Hl7Segment> segments_;
    mutable std::string_view view_;  // the header field last asked for
};

// A message as segment lines read without a handler. Components are then
// pieces of the raw field value, so no component can be longer than a
// field that passed its own length check.
class LineMessage {
public:
    explicit LineMessage(std::span<const std::string_view> lines) : lines_(lines) {
        if (!lines.empty()) cut_fields(lines.front(), header_fields_);
    }
    std::size_t size() const { return lines_.size(); }
    std::string_view name(std::size_t i) const { return lines_[i].substr(0, lines_[i].find('|')); }
    std::size_t header_field_count() const { return header_fields_.size(); }
    const std::string_view* header_field(std::size_t index) const {
        return index >= 1 && index <= header_fields_.size() ? &header_fields_[index - 1] : nullptr;
    }
    Status check_segment(std::size_t i) const {
        if (Status status = check_name(name(i), i + 1); !status) return status;
        const std::string_view line = lines_[i];
        std::size_t start = line.find('|');
        while (start != std::string_view::npos) {
            const std::size_t end = line.find('|', start + 1);
            const std::size_t length = (end == std::string_view::npos ? line.size() : end) - start - 1;
            if (Status status = check_length(length); !status) return status;
            start = end;
        }
        return Ok{};
    }

private:
    static void cut_fields(std::string_view line, std::vector<std::string_view>& fields) {
        std::size_t start = line.find('|');
        while (start != std::string_view::npos) {
            const std::size_t end = line.find('|', start + 1);
            fields.push_back(line.substr(start + 1, end == std::string_view::npos ? end : end - start - 1));
            start = end;
        }
    }

    std::span<const std::string_view> lines_;
    std::vector<std::string_view> header_fields_;
};

}  // namespace

template <class Message>
Status Hl7Validator::validate(const Message& message) const {
    if (message.size() == 0) return Hl7Error::validation_error("Message contains no segments");
    if (message.name(0) != "MSH") return Hl7Error::missing_required_segment("MSH (Message Header)");
    // Field numbers here are one less than the standard's: MSH-1 is the "|" itself.
    if (message.header_field_count() < 11)
        return Hl7Error::validation_failed("MSH segment must have at least 12 fields");
    const std::string_view* separators = message.header_field(1);
    if (!separators) return Hl7Error::validation_failed("Field separators (field 1) are required");
    if (separators->size() != 4) return Hl7Error::invalid_field_separators(std::string(*separators));
    const std::string_view* version_field = message.header_field(11);
    if (!version_field) return Hl7Error::validation_failed("HL7 version (field 12) is required");
    const std::string_view version = *version_field;
    if (strict_mode && std::find(kSupportedVersions.begin(), kSupportedVersions.end(), version) == kSupportedVersions.end())
        return Hl7Error::unsupported_version(std::string(version), supported_versions_text());
    if (Status status = check_message_type(message.header_field(8)); !status) return status;
    if (validate_required_fields) {
        bool has_pid = false;
        for (std::size_t i = 0; i < message.size() && !has_pid; ++i) has_pid = message.name(i) == "PID";
        if (!has_pid) return Hl7Error::missing_required_segment("PID (Patient Identification)");
    }
    for (std::size_t i = 0; i < message.size(); ++i)
        if (Status status = message.check_segment(i); !status) return status;
    return Ok{};
}

Status Hl7Validator::validate_message(std::span<const Hl7Segment> segments) const {
    return validate(ParsedMessage(segments));
}

Status Hl7Validator::validate_lines(std::span<const std::string_view> lines) const {
    return validate(LineMessage(lines));
}

Status Hl7Validator::validate_message_type(const Hl7Segment& header) const {
    const Hl7Field* message_type = header.field(8);
    if (!message_type) return check_message_type(nullptr);
    const std::string_view value = message_type->value;
    return check_message_type(&value);
}

Status Hl7Validator::check_message_type(const std::string_view* message_type) const {
    if (!message_type) return Hl7Error::validation_failed("Message type (field 8) is required");
    if (strict_mode && std::count(message_type->begin(), message_type->end(), '^') < 2)
        return Hl7Error::validation_failed(
            "Message type (field 8) must have at least 3 components: event^structure^version");
    return Ok{};
}

}  // namespace tessarin
