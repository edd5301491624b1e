// Checks of a parsed message: header, version, message type, required
// segments, segment names and value lengths. The first failed rule is reported.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "errors.hpp"
#include "segments.hpp"

namespace tessarin {

inline constexpr std::size_t kMaxValueLength = 65536;

struct Hl7Validator {
    bool strict_mode = false;
    bool validate_required_fields = false;

    Status validate_message(std::span<const Hl7Segment> segments) const;
    // The same rules over segment lines read without a handler, where every
    // field value is the raw text between separators: views into the lines
    // serve, and no segment objects are built.
    Status validate_lines(std::span<const std::string_view> lines) const;
    Status validate_message_type(const Hl7Segment& header) const;

private:
    template <class Message>
    Status validate(const Message& message) const;
    Status check_message_type(const std::string_view* message_type) const;
};

}  // namespace tessarin
