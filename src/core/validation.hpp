// Checks of a message, read as its lines: header, version, message type,
// required segments, segment names and value lengths. The first failed rule
// is reported.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/errors.hpp"

namespace tessarin {

inline constexpr std::size_t kMaxValueLength = 65536;

struct Hl7Validator {
    bool strict_mode = false;
    bool validate_required_fields = false;
    // Rules 3 and 8 as HL7 has them, for the feed command: a segment name is
    // an uppercase letter then two uppercase letters or digits (PV1, NK1,
    // Z01), and MSH-2 may carry the truncation character of HL7 2.7 and later
    // as a fifth. The module never sets it: its callers rely on its rules.
    bool hl7_syntax = false;

    // The rules over the segment lines of a message, read without an escape
    // handler: every field value is the raw text between separators, so views
    // into the lines serve and no segment objects are built.
    Status validate_message(std::span<const std::string_view> lines) const;
    // Rules 8 and 9 on the header's field 8, nullopt when the header lacks it.
    Status validate_message_type(std::optional<std::string_view> message_type) const;
};

}  // namespace tessarin
