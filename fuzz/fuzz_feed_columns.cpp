// The Parquet rows of a feed (FeedColumnWriter) on arbitrary bytes, built
// whole and built from the pieces find_cut gives, with the state carried:
// the same rows, value for value, and one row per message the splitter
// finds. The first byte sets the limits and the options; the rest is the feed.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "feeds/feed_columns.hpp"
#include "fuzz_check.hpp"

using namespace tessarin;
using namespace tessarin::feeds;

namespace {

bool is_null(const ArrowArray* array, std::int64_t i) {
    const auto* bits = static_cast<const std::uint8_t*>(array->buffers[0]);
    return bits != nullptr && !(bits[i >> 3] & (1u << (i & 7)));
}

const std::int32_t* offsets(const ArrowArray* array) { return static_cast<const std::int32_t*>(array->buffers[1]); }

void append_string(std::string& out, const ArrowArray* array, std::int64_t i) {
    if (is_null(array, i)) {
        out += '\x01';
        return;
    }
    const char* data = static_cast<const char*>(array->buffers[2]);
    const std::int32_t start = offsets(array)[i], end = offsets(array)[i + 1];
    out.append(data + start, static_cast<std::size_t>(end - start));
    out += '\x02';
}

// Every value of the builder's struct array, row by row, into one text.
std::vector<std::string> dump(const ArrowArray* rows) {
    using columns::Column;
    std::vector<std::string> out(static_cast<std::size_t>(rows->length));
    const ArrowArray* lists = rows->children[Column::kSegments];
    const ArrowArray* segments = lists->children[0];
    const ArrowArray* maps = segments->children[1];
    const ArrowArray* entries = maps->children[0];
    for (std::int64_t i = 0; i < rows->length; ++i) {
        std::string& row = out[static_cast<std::size_t>(i)];
        for (Column column : {Column::kMessageType, Column::kControlId, Column::kSentAt, Column::kError})
            append_string(row, rows->children[column], i);
        if (is_null(lists, i)) {
            row += '\x03';
            continue;
        }
        for (std::int32_t s = offsets(lists)[i]; s < offsets(lists)[i + 1]; ++s) {
            append_string(row, segments->children[0], s);
            for (std::int32_t e = offsets(maps)[s]; e < offsets(maps)[s + 1]; ++e) {
                append_string(row, entries->children[0], e);
                append_string(row, entries->children[1], e);
            }
            row += '\x04';
        }
    }
    return out;
}

struct Built {
    bool declined = false;
    std::size_t messages = 0;
    std::vector<std::string> rows, envelopes;
    std::vector<std::int32_t> message;
    std::vector<std::int64_t> offset;
};

Built build(const std::vector<std::string_view>& pieces, const LineOptions& options) {
    Built built;
    FeedColumnWriter writer(options);
    SplitState state;
    FeedRows rows;
    for (const std::string_view piece : pieces) {
        writer.write(piece, "src", state, rows);
        built.declined |= rows.declined != nullptr;
        built.messages += rows.messages;
        state = state_after(piece, state);
    }
    ArrowArray array{}, envelopes{};
    writer.finish(&array, &envelopes);
    built.rows = dump(&array);
    array.release(&array);
    if (envelopes.release) {
        FUZZ_CHECK(envelopes.length == static_cast<std::int64_t>(built.rows.size()));
        built.envelopes = dump(&envelopes);
        for (std::size_t i = 0; i < built.rows.size(); ++i)
            if (writer.envelope_outside[i >> 3] & (1u << (i & 7))) built.envelopes[i] = "-";
        envelopes.release(&envelopes);
    }
    FUZZ_CHECK(built.rows.size() == built.messages);
    FUZZ_CHECK(writer.message.size() == built.messages && writer.offset.size() == built.messages);
    FUZZ_CHECK(writer.source_data.size() == 3 * built.messages);
    built.message = writer.message;
    built.offset = writer.offset;
    return built;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* bytes, std::size_t size) {
    if (size == 0) return 0;
    const LineOptions options{{(bytes[0] & 4) != 0, (bytes[0] & 8) != 0, (bytes[0] & 16) == 0},
                              {bytes[0] & 1 ? 40u : 1u << 20, bytes[0] & 2 ? 6u : 1u << 20}};
    const std::string_view data = fuzz::as_text(bytes + 1, size - 1);
    const SplitFeed split = split_feed(data, options.limits);
    if (split.declined) return 0;

    const Built whole = build({data}, options);
    std::vector<std::string_view> pieces;
    std::string_view rest = data;
    const std::size_t step = 1 + bytes[0] / 32;
    while (!rest.empty()) {
        std::size_t cut = find_cut(rest.substr(0, std::min(rest.size(), step)));
        if (cut == 0) cut = rest.size() <= step ? rest.size() : find_cut(rest);
        if (cut == 0) cut = rest.size();
        pieces.push_back(rest.substr(0, cut));
        rest.remove_prefix(cut);
    }
    if (!whole.declined) {
        FUZZ_CHECK(whole.messages == split.messages.size());
        for (std::size_t i = 0; i < split.messages.size(); ++i) {
            FUZZ_CHECK(whole.message[i] == static_cast<std::int32_t>(split.messages[i].index));
            FUZZ_CHECK(whole.offset[i] == static_cast<std::int64_t>(split.messages[i].offset));
        }
    }
    if (pieces.size() < 2) return 0;  // the whole again
    const Built cut = build(pieces, options);
    FUZZ_CHECK(whole.declined == cut.declined);
    if (whole.declined) return 0;
    FUZZ_CHECK(whole.rows == cut.rows);
    FUZZ_CHECK(whole.envelopes == cut.envelopes);
    FUZZ_CHECK(whole.message == cut.message && whole.offset == cut.offset);
    return 0;
}
