// Segment parsing with and without the escape handler.
//  - A record rendered without a handler assembles back to its line.
//  - With the handler, assembling escaped and parsing again gives the same record.
//  - The segment walk yields exactly the entries of the reference model's
//    Hl7Segment::to_json (reference_model.hpp).
#include <algorithm>

#include "fuzz_check.hpp"
#include "core/hl7_json.hpp"
#include "core/json_hl7.hpp"
#include "reference_model.hpp"

using namespace tessarin;
using fuzz::Hl7Segment;
using fuzz::SegmentRecord;

namespace {

// A sink of the segment walk that keeps each segment's entries, in key order.
struct Collector {
    std::vector<SegmentRecord> records;
    void begin_segment(std::string_view) { records.emplace_back(); }
    void name(std::string_view name) { records.back().emplace_back("segment_name", std::string(name)); }
    void entry(const EntryKey& key, std::string_view value) {
        records.back().emplace_back(fuzz::key_text(key), std::string(value));
    }
    bool end_segment() {
        SegmentRecord& entries = records.back();
        const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
        // Entries come in field order, which is key order below field 10.
        if (!std::is_sorted(entries.begin(), entries.end(), by_key)) std::sort(entries.begin(), entries.end(), by_key);
        for (std::size_t i = 1; i < entries.size(); ++i) FUZZ_CHECK(entries[i - 1].first != entries[i].first);
        return true;
    }
};

SegmentRecord emitted(std::string_view line, const Hl7EscapeHandler* handler) {
    Collector sink;
    FUZZ_CHECK(walk_segment(line, handler, sink));
    FUZZ_CHECK(sink.records.size() == 1);
    return std::move(sink.records.front());
}

// A conversion reuses one scanner for every line: what a line leaves behind
// in its buffers must not show in the next one. `whole` is the model's record
// of the text read as one line, which is every line's when there is one.
void check_reused_scanner(std::string_view text, const Hl7EscapeHandler* handler, const SegmentRecord& whole) {
    Collector sink;
    FUZZ_CHECK(walk_segments(text, handler, sink));
    const std::vector<std::string_view> lines = fuzz::split(text, '\n');
    FUZZ_CHECK(sink.records.size() == lines.size() && lines.size() == segment_count(text));
    if (lines.size() == 1) {
        FUZZ_CHECK(sink.records.front() == whole);
        return;
    }
    for (std::size_t i = 0; i < lines.size(); ++i)
        FUZZ_CHECK(sink.records[i] == Hl7Segment::from_string(lines[i], handler).to_json());
}

bool has_index_over_limit(const SegmentRecord& record) {
    for (const auto& [key, value] : record) {
        const auto place = place_of_key(key);
        if (place && (place->field > kMaxIndex || place->repetition > kMaxIndex || place->component > kMaxIndex))
            return true;
    }
    return false;
}

void check_record_shape(const SegmentRecord& record, std::string_view line) {
    // "segment_name" plus entries whose keys all name a place; every field up to
    // the number of "|" appears.
    std::size_t named = 0, max_field = 0;
    for (const auto& [key, value] : record) {
        if (key == "segment_name") {
            ++named;
            continue;
        }
        const auto place = place_of_key(key);
        FUZZ_CHECK(place.has_value());
        FUZZ_CHECK(place->field >= 1);
        max_field = std::max<std::size_t>(max_field, place->field);
    }
    FUZZ_CHECK(named == 1);
    FUZZ_CHECK(max_field == static_cast<std::size_t>(std::count(line.begin(), line.end(), '|')));
}

// The checks that hold with and without the handler; returns the model's record.
SegmentRecord check_walks(std::string_view line, const Hl7EscapeHandler* handler) {
    SegmentRecord record = Hl7Segment::from_string(line, handler).to_json();
    check_record_shape(record, line);
    check_reused_scanner(line, handler, record);
    // Without a line feed the single-line walk is the one walk_segments made.
    if (line.find('\n') != std::string_view::npos) FUZZ_CHECK(emitted(line, handler) == record);
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    const std::string_view line = fuzz::as_text(data, size);

    const SegmentRecord plain = check_walks(line, nullptr);
    Result<std::string> assembled = assemble_message(std::vector<SegmentRecord>{plain}, handler, false);
    if (assembled) {
        FUZZ_CHECK(assembled.value() == line);
    } else {
        FUZZ_CHECK(has_index_over_limit(plain));
    }

    const SegmentRecord unescaped = check_walks(line, &handler);
    if (!fuzz::is_utf8(line)) return 0;
    Result<std::string> escaped = assemble_message(std::vector<SegmentRecord>{unescaped}, handler, true);
    if (!escaped) {
        const bool name_breaks = line.substr(0, line.find('|')).find_first_of("\r\n") != std::string_view::npos;
        FUZZ_CHECK(name_breaks || has_index_over_limit(unescaped));
        return 0;
    }
    FUZZ_CHECK(Hl7Segment::from_string(escaped.value(), &handler).to_json() == unescaped);
    return 0;
}
