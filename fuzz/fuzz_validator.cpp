// The validator over the lines of a message, in all eight modes, against the
// reference model's rules over the parsed segments (reference_model.hpp): the
// same outcome and the same text. Strict mode and the PID check may only add
// failures, and every failure is one of the validator's texts. A converter's
// state normalises the line ends as three plain replacements would, and
// validates the normalised lines the same way.
#include <algorithm>
#include <vector>

#include "fuzz_check.hpp"
#include "core/hl7_json.hpp"
#include "reference_model.hpp"
#include "core/validation.hpp"

using namespace tessarin;
using fuzz::Hl7Segment;

namespace {

const std::string_view kPrefixes[] = {
    "HL7 validation error: ",
    "HL7 validation failed: ",
    "Missing required segment: ",
    "Invalid segment name: ",
    "Invalid field separators: ",
    "HL7 version not supported: ",
    "Field value exceeds maximum length: ",
    "Component value exceeds maximum length: ",
};

std::string replaced(std::string_view text, std::string_view from) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i).starts_with(from)) {
            out += '\n';
            i += from.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Line ends the way a conversion sees them; the first byte picks the options.
void check_state(std::string_view text) {
    const Hl7JsonOptions options{!text.empty() && (text[0] & 1), !text.empty() && (text[0] & 2), true};
    const Hl7JsonState state(text, options);
    FUZZ_CHECK(state.hl7_string == replaced(replaced(replaced(text, "\r\n"), "\n\r"), "\r"));
    std::vector<Hl7Segment> segments;
    for (std::string_view line : fuzz::split(state.hl7_string, '\n'))
        segments.push_back(Hl7Segment::from_string(line, nullptr));
    FUZZ_CHECK(segments.size() == segment_count(state.hl7_string));
    Status status = state.validate_before_conversion();
    const std::optional<std::string> expected =
        options.validation_enabled ? fuzz::validation_failure(segments, options.strict_validation, false)
                                   : std::nullopt;
    FUZZ_CHECK(status.has_value() == !expected.has_value());
    if (!status) FUZZ_CHECK(status.error().display() == *expected);
}

bool known_text(const Hl7Error& error) {
    const std::string text = error.display();
    return std::any_of(std::begin(kPrefixes), std::end(kPrefixes),
                       [&](std::string_view prefix) { return text.starts_with(prefix); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<Hl7Segment> segments;
    const std::vector<std::string_view> lines = fuzz::split(fuzz::as_text(data, size), '\n');
    for (std::string_view line : lines) segments.push_back(Hl7Segment::from_string(line, nullptr));

    // The module's rules, then the feed command's (hl7_syntax: rules 3 and 8 differ).
    bool passed[2][2][2];
    for (int hl7 = 0; hl7 < 2; ++hl7) {
        for (int strict = 0; strict < 2; ++strict) {
            for (int required = 0; required < 2; ++required) {
                Status status = Hl7Validator{strict == 1, required == 1, hl7 == 1}.validate_message(lines);
                passed[hl7][strict][required] = status.has_value();
                const std::optional<std::string> expected =
                    fuzz::validation_failure(segments, strict == 1, required == 1, hl7 == 1);
                FUZZ_CHECK(status.has_value() == !expected.has_value());
                if (!status) FUZZ_CHECK(known_text(status.error()) && status.error().display() == *expected);
            }
        }
    }
    const bool has_pid = std::any_of(segments.begin(), segments.end(), [](const auto& s) { return s.name == "PID"; });
    for (int hl7 = 0; hl7 < 2; ++hl7) {
        for (int strict = 0; strict < 2; ++strict)
            FUZZ_CHECK(passed[hl7][strict][1] == (passed[hl7][strict][0] && has_pid));
        if (passed[hl7][1][0]) FUZZ_CHECK(passed[hl7][0][0]);
    }
    check_state(fuzz::as_text(data, size));
    // An empty list is not reachable from text but must fail cleanly.
    FUZZ_CHECK(!Hl7Validator{}.validate_message({}).has_value());
    return 0;
}
