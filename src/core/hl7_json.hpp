// HL7 text to segment records: the state of one converter object and the
// operations on it, free of any Python type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"
#include "core/validation.hpp"

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

// Validates a message text as Hl7JsonState::validate does, line ends
// normalised first, by any validator's rules.
Status validate_text(std::string_view text, const Hl7Validator& validator);

// The number of segments of a message text: one per line.
std::size_t segment_count(std::string_view message) noexcept;

// Walks the segments of a message text, one per line cut at "\n" (empty
// lines included): per segment sink.begin_segment(line), then the scanner's
// sink.name and sink.entry calls (SegmentScanner::emit), then
// sink.end_segment(), which returns false to stop the walk. Returns false
// when the sink stopped it.
template <class Sink>
bool walk_segments(std::string_view message, const Hl7EscapeHandler* escape_handler, Sink& sink) {
    SegmentScanner scanner(escape_handler);
    bool going = true;
    for_each_line(message, [&](std::string_view line) {
        if (!going) return;
        sink.begin_segment(line);
        scanner.emit(line, sink);
        going = sink.end_segment();
    });
    return going;
}

// One segment line, not cut at line ends, through the same sink calls.
template <class Sink>
bool walk_segment(std::string_view line, const Hl7EscapeHandler* escape_handler, Sink& sink) {
    SegmentScanner scanner(escape_handler);
    sink.begin_segment(line);
    scanner.emit(line, sink);
    return sink.end_segment();
}

}  // namespace tessarin
