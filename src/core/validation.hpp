// Checks of a parsed message: header, version, message type, required
// segments, segment names and value lengths. The first failed rule is reported.
#pragma once

#include <cstddef>
#include <span>

#include "errors.hpp"
#include "segments.hpp"

namespace tessarin {

inline constexpr std::size_t kMaxValueLength = 65536;

struct Hl7Validator {
    bool strict_mode = false;
    bool validate_required_fields = false;

    Status validate_message(std::span<const Hl7Segment> segments) const;
    Status validate_message_type(const Hl7Segment& header) const;
};

}  // namespace tessarin
