// The records JSON writer on arbitrary text. The first byte picks the options
// (and whether validation follows the feed command's rules);
// the rest is cut into messages at every 0x1C byte.
//  - A message that fails adds nothing and gives the error validation gives.
//  - A converted message's JSON holds no raw control byte, and, where the text
//    is UTF-8, parses back to exactly the records of the segment walk: the
//    entries in key order, then "segment_name".
//  - The writer counts every record it wrote.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.hpp"
#include "columns/records_json.hpp"
#include "simdjson.h"

using namespace tessarin;
using namespace tessarin::columns;

namespace {

struct Collector {
    std::vector<std::vector<std::pair<std::string, std::string>>> records;
    std::vector<std::string> names;
    void begin_segment(std::string_view) { records.emplace_back(); }
    void name(std::string_view name) { names.emplace_back(name); }
    void entry(const EntryKey& key, std::string_view value) {
        char text[EntryKey::kMaxText];
        records.back().emplace_back(std::string(text, key.write(text)), std::string(value));
    }
    bool end_segment() {
        std::sort(records.back().begin(), records.back().end());
        return true;
    }
};

std::string_view string_of(simdjson::dom::element element) {
    std::string_view text;
    FUZZ_CHECK(element.get_string().get(text) == simdjson::SUCCESS);
    return text;
}

void check_parses_to(std::string_view json, const Collector& expected, simdjson::dom::parser& parser) {
    simdjson::dom::array records;
    FUZZ_CHECK(parser.parse(json.data(), json.size()).get_array().get(records) == simdjson::SUCCESS);
    FUZZ_CHECK(records.size() == expected.records.size());
    std::size_t s = 0;
    for (simdjson::dom::element record : records) {
        simdjson::dom::object object;
        FUZZ_CHECK(record.get_object().get(object) == simdjson::SUCCESS);
        const auto& entries = expected.records[s];
        std::size_t e = 0;
        for (simdjson::dom::key_value_pair field : object) {
            if (e < entries.size()) {
                FUZZ_CHECK(field.key == entries[e].first);
                FUZZ_CHECK(string_of(field.value) == entries[e].second);
            } else {
                FUZZ_CHECK(field.key == "segment_name");
                FUZZ_CHECK(string_of(field.value) == expected.names[s]);
            }
            ++e;
        }
        FUZZ_CHECK(e == entries.size() + 1);
        ++s;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    const Hl7JsonOptions options{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) == 0};
    const std::vector<std::string_view> texts = fuzz::split(fuzz::as_text(data + 1, size - 1), '\x1c');

    const bool hl7_syntax = (data[0] & 8) != 0;
    RecordsJsonWriter writer(options, hl7_syntax);
    ByteBuffer out;
    simdjson::dom::parser parser;
    std::size_t segments = 0;
    for (std::string_view text : texts) {
        const std::size_t start = out.size();
        const std::optional<std::string> error = writer.append_records(text, out);
        const Hl7JsonState state(text, options);
        Status status = options.validation_enabled
                            ? validate_text(text, Hl7Validator{options.strict_validation, false, hl7_syntax})
                            : Status(Ok{});
        FUZZ_CHECK(error.has_value() == !status);
        if (error) {
            FUZZ_CHECK(*error == status.error().display());
            FUZZ_CHECK(out.size() == start);
            continue;
        }
        Collector expected;
        walk_segments(state.hl7_string, state.conversion_handler(), expected);
        segments += expected.records.size();
        const std::string_view json(out.data() + start, out.size() - start);
        FUZZ_CHECK(std::none_of(json.begin(), json.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
        if (fuzz::is_utf8(text)) check_parses_to(json, expected, parser);  // JSON text is UTF-8 only
    }
    FUZZ_CHECK(writer.segments() == segments);
    return 0;
}
