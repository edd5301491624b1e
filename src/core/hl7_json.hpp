// HL7 text to segment records: the state of one converter object and the
// operations on it, free of any Python type.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "escape.hpp"
#include "record.hpp"
#include "segments.hpp"
#include "utils.hpp"
#include "validation.hpp"

namespace tessarin {

struct Hl7JsonOptions {
    bool validation_enabled = false;
    bool strict_validation = false;
    bool escaping_enabled = true;
};

struct Hl7JsonState {
    std::string hl7_string;  // line ends normalised to "\n"
    Hl7JsonOptions options;
    Hl7EscapeHandler escape_handler;

    Hl7JsonState(std::string_view text, Hl7JsonOptions opts)
        : hl7_string(replace_eof(text)), options(opts), escape_handler(create_default_escape_handler()) {}

    Status validate(bool strict_mode, bool validate_required_fields) const;
    // Runs the validation that a conversion starts with, when it is enabled.
    Status validate_before_conversion() const;
    // The handler a conversion parses with, or nullptr when escaping is off.
    const Hl7EscapeHandler* conversion_handler() const noexcept {
        return options.escaping_enabled ? &escape_handler : nullptr;
    }
};

// The message text of a file: IoError when unreadable or not UTF-8,
// EmptyMessage when it holds only white space.
Result<std::string> read_message_file(std::string_view path, std::size_t padding = 0);

// Calls visit(line) for every piece of `text` cut at "\n", empty ones included.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    detail::for_each_piece(text, "\n", 0, [&](std::string_view line, std::size_t) { visit(line); });
}

}  // namespace tessarin
