#include "core/errors.hpp"

namespace tessarin {

std::string Hl7Error::display() const {
    const auto n = [](std::size_t value) { return std::to_string(value); };
    switch (kind_) {
        case Hl7ErrorKind::IoError: return "I/O error: " + text_;
        case Hl7ErrorKind::InvalidFormat: return "HL7 invalid format: " + text_;
        case Hl7ErrorKind::EmptyMessage: return "HL7 message is empty";
        case Hl7ErrorKind::InvalidSegment: return "HL7 invalid segment: " + text_;
        case Hl7ErrorKind::ParsingError: return "HL7 parsing error at line " + n(counts_.first) + ": " + text_;
        case Hl7ErrorKind::ValidationError: return "HL7 validation error: " + text_;
        case Hl7ErrorKind::ValidationFailed: return "HL7 validation failed: " + text_;
        case Hl7ErrorKind::FieldError:
            return "HL7 field error in segment " + text_ + ", field " + n(counts_.first) + ": " + text2_;
        case Hl7ErrorKind::ComponentError:
            return "HL7 component error in segment " + text_ + ", field " + n(counts_.first) + ", component " +
                   n(counts_.second) + ": " + text2_;
        case Hl7ErrorKind::InvalidEscapeSequence:
            return "Invalid escape sequence: " + text_ + " at position " + n(counts_.first);
        case Hl7ErrorKind::FieldTooLong:
            return "Field value exceeds maximum length: " + n(counts_.first) + " > " + n(counts_.second) +
                   " characters";
        case Hl7ErrorKind::ComponentTooLong:
            return "Component value exceeds maximum length: " + n(counts_.first) + " > " + n(counts_.second) +
                   " characters";
        case Hl7ErrorKind::MissingRequiredSegment: return "Missing required segment: " + text_;
        case Hl7ErrorKind::InvalidSegmentName:
            return "Invalid segment name: " + text_ + " (" +
                   (text2_.empty() ? "must be exactly 3 alphabetic characters" : text2_) + ")";
        case Hl7ErrorKind::InvalidFieldSeparators:
            return "Invalid field separators: " + text_ + " (" +
                   (text2_.empty() ? "must be exactly 4 characters" : text2_) + ")";
        case Hl7ErrorKind::JsonError: return "JSON parsing error: " + text_;
        case Hl7ErrorKind::UnsupportedVersion:
            return "HL7 version not supported: " + text_ + " (supported versions: " + text2_ + ")";
        case Hl7ErrorKind::EncodingError: return "HL7 encoding error: " + text_;
        case Hl7ErrorKind::ConfigurationError: return "Configuration error: " + text_;
    }
    return {};
}

}  // namespace tessarin
