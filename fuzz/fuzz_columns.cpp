// The column builder on arbitrary text. The first byte picks the options;
// the rest is cut into messages at every 0x1C byte.
//  - Every offsets buffer starts at 0, never falls, and ends at the length of
//    the buffer it indexes.
//  - Each converted row holds exactly the entries of the segment walk, in key
//    order; a row that failed holds the error that validation gives.
#include <algorithm>
#include <cstring>

#include "columns/column_builder.hpp"
#include "fuzz_check.hpp"
#include "reference_model.hpp"

using namespace tessarin;
using namespace tessarin::columns;

namespace {

struct Collector {
    std::vector<fuzz::SegmentRecord> records;
    std::vector<std::string> names;
    void begin_segment(std::string_view) { records.emplace_back(); }
    void name(std::string_view name) { names.emplace_back(name); }
    void entry(const EntryKey& key, std::string_view value) {
        records.back().emplace_back(fuzz::key_text(key), std::string(value));
    }
    bool end_segment() {
        std::sort(records.back().begin(), records.back().end());
        return true;
    }
};

std::int64_t buffer_size(const ArrowArray* array, int index) {
    return ArrowArrayBuffer(const_cast<ArrowArray*>(array), index)->size_bytes;
}

const std::int32_t* offsets_of(const ArrowArray* array) { return static_cast<const std::int32_t*>(array->buffers[1]); }

// Offsets of a string, list or map array: from 0, rising, ending at `end`.
void check_offsets(const ArrowArray* array, std::int64_t end) {
    FUZZ_CHECK(array->offset == 0);
    FUZZ_CHECK(buffer_size(array, 1) == static_cast<std::int64_t>((array->length + 1) * sizeof(std::int32_t)));
    const std::int32_t* offsets = offsets_of(array);
    FUZZ_CHECK(offsets[0] == 0);
    for (std::int64_t i = 0; i < array->length; ++i) FUZZ_CHECK(offsets[i] <= offsets[i + 1]);
    FUZZ_CHECK(offsets[array->length] == end);
}

void check_strings(const ArrowArray* array) { check_offsets(array, buffer_size(array, 2)); }

std::string_view string_at(const ArrowArray* array, std::int64_t i) {
    const std::int32_t* offsets = offsets_of(array);
    return {static_cast<const char*>(array->buffers[2]) + offsets[i],
            static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
}

bool is_valid(const ArrowArray* array, std::int64_t i) {
    const auto* bits = static_cast<const std::uint8_t*>(array->buffers[0]);
    return !bits || (bits[i / 8] >> (i % 8) & 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) return 0;
    const Hl7JsonOptions options{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) == 0};
    const std::vector<std::string_view> texts = fuzz::split(fuzz::as_text(data + 1, size - 1), '\x1c');

    ColumnBuilder builder(options);
    for (std::string_view text : texts) builder.add_message(text);
    ArrowArray batch;
    builder.finish(&batch);
    FUZZ_CHECK(batch.length == static_cast<std::int64_t>(texts.size()));

    const ArrowArray* lists = batch.children[kSegments];
    const ArrowArray* segments = lists->children[0];
    const ArrowArray* names = segments->children[0];
    const ArrowArray* maps = segments->children[1];
    const ArrowArray* keys = maps->children[0]->children[0];
    const ArrowArray* values = maps->children[0]->children[1];
    for (int column : {kMessageType, kControlId, kSentAt, kError}) check_strings(batch.children[column]);
    check_strings(names);
    check_strings(keys);
    check_strings(values);
    check_offsets(lists, segments->length);
    check_offsets(maps, keys->length);
    FUZZ_CHECK(names->length == segments->length && maps->length == segments->length);
    FUZZ_CHECK(values->length == keys->length);

    const std::int32_t* segment_starts = offsets_of(lists);
    const std::int32_t* entry_starts = offsets_of(maps);
    for (std::size_t row = 0; row < texts.size(); ++row) {
        const Hl7JsonState state(texts[row], options);
        Status status = state.validate_before_conversion();
        const auto r = static_cast<std::int64_t>(row);
        FUZZ_CHECK(is_valid(lists, r) == static_cast<bool>(status));
        FUZZ_CHECK(is_valid(batch.children[kError], r) == !status);
        if (!status) {
            FUZZ_CHECK(string_at(batch.children[kError], r) == status.error().display());
            continue;
        }
        Collector expected;
        walk_segments(state.hl7_string, state.conversion_handler(), expected);
        FUZZ_CHECK(segment_starts[row + 1] - segment_starts[row] == static_cast<std::int32_t>(expected.records.size()));
        for (std::size_t s = 0; s < expected.records.size(); ++s) {
            const std::int64_t segment = segment_starts[row] + static_cast<std::int64_t>(s);
            FUZZ_CHECK(string_at(names, segment) == expected.names[s]);
            const fuzz::SegmentRecord& entries = expected.records[s];
            FUZZ_CHECK(entry_starts[segment + 1] - entry_starts[segment] == static_cast<std::int32_t>(entries.size()));
            for (std::size_t e = 0; e < entries.size(); ++e) {
                const std::int64_t at = entry_starts[segment] + static_cast<std::int64_t>(e);
                FUZZ_CHECK(string_at(keys, at) == entries[e].first);
                FUZZ_CHECK(string_at(values, at) == entries[e].second);
            }
        }
    }
    batch.release(&batch);
    return 0;
}
