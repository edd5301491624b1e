// The validator over the parsed lines of a message, in all four modes. A
// success must mean the rules hold (checked here independently), strict mode
// and the PID check may only add failures, and every failure is one of the
// validator's texts.
#include <algorithm>
#include <vector>

#include "fuzz_check.hpp"
#include "segments.hpp"
#include "validation.hpp"

using namespace tessarin;

namespace {

bool rules_hold(const std::vector<Hl7Segment>& segments) {
    if (segments.empty()) return false;
    const Hl7Segment& header = segments.front();
    if (header.name != "MSH" || header.fields.size() < 11 || header.fields[0].value.size() != 4) return false;
    for (const Hl7Segment& segment : segments) {
        if (segment.name.size() != 3) return false;
        for (char c : segment.name)
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
        for (const Hl7Field& field : segment.fields) {
            if (field.value.size() > kMaxValueLength) return false;
            if (field.components)
                for (const std::string& component : *field.components)
                    if (component.size() > kMaxValueLength) return false;
        }
    }
    return true;
}

const std::string_view kPrefixes[] = {
    "HL7 validation error: ", "HL7 validation failed: ", "Missing required segment: ",
    "Invalid segment name: ", "Invalid field separators: ", "HL7 version not supported: ",
    "Field value exceeds maximum length: ", "Component value exceeds maximum length: ",
};

bool known_text(const Hl7Error& error) {
    const std::string text = error.display();
    return std::any_of(std::begin(kPrefixes), std::end(kPrefixes),
                       [&](std::string_view prefix) { return text.starts_with(prefix); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<Hl7Segment> segments;
    std::vector<std::string_view> lines;
    for (std::string_view line : fuzz::split(fuzz::as_text(data, size), '\n')) {
        segments.push_back(Hl7Segment::from_string(line, nullptr));
        lines.push_back(line);
    }

    bool passed[2][2];
    for (int strict = 0; strict < 2; ++strict) {
        for (int required = 0; required < 2; ++required) {
            const Hl7Validator validator{strict == 1, required == 1};
            Status status = validator.validate_message(segments);
            passed[strict][required] = status.has_value();
            if (!status) FUZZ_CHECK(known_text(status.error()));
            // Reading the lines directly must report exactly what the parsed segments do.
            Status from_lines = validator.validate_lines(lines);
            FUZZ_CHECK(from_lines.has_value() == status.has_value());
            if (!status) FUZZ_CHECK(from_lines.error().display() == status.error().display());
        }
    }
    const bool has_pid = std::any_of(segments.begin(), segments.end(), [](const auto& s) { return s.name == "PID"; });
    FUZZ_CHECK(passed[0][0] == rules_hold(segments));
    for (int strict = 0; strict < 2; ++strict) FUZZ_CHECK(passed[strict][1] == (passed[strict][0] && has_pid));
    if (passed[1][0]) FUZZ_CHECK(passed[0][0]);
    // An empty list is not reachable from text but must fail cleanly.
    FUZZ_CHECK(!Hl7Validator{}.validate_message({}).has_value());
    return 0;
}
