// Checks of a message, read as its lines: header, version, message type,
// required segments, segment names and value lengths. The first failed rule
// is reported.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "errors.hpp"

namespace tessarin {

inline constexpr std::size_t kMaxValueLength = 65536;

struct Hl7Validator {
    bool strict_mode = false;
    bool validate_required_fields = false;

    // The rules over the segment lines of a message, read without an escape
    // handler: every field value is the raw text between separators, so views
    // into the lines serve and no segment objects are built.
    Status validate_message(std::span<const std::string_view> lines) const;
    // Rules 8 and 9 on the header's field 8, nullopt when the header lacks it.
    Status validate_message_type(std::optional<std::string_view> message_type) const;
};

}  // namespace tessarin
