// A whole feed held in memory to the command's JSON Lines, byte for byte as
// tessarin_feeds writes them (jsonl.encode_line): {"source":...,"message":N,
// "offset":N, then "envelope", "records" and "error" where they apply},
// each line ended by a line feed. The records array is RecordsJsonWriter's.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "columns/records_json.hpp"
#include "feeds/feed_splitter.hpp"

namespace tessarin::feeds {

struct LineOptions {
    Hl7JsonOptions convert;  // validation by the command's rules when enabled
    SplitLimits limits;
};

struct FeedLines {
    const char* declined = nullptr;  // as SplitFeed::declined
    std::size_t messages = 0, converted = 0, segments = 0;
    std::vector<std::string> errors;   // of every line that has one, in order
    std::vector<SplitNotice> notices;  // for the caller to word; they point into the feed
};

// `head` is the line's start up to the source name's closing quote:
// {"source":"NAME" as orjson writes it.
class FeedLineWriter {
public:
    explicit FeedLineWriter(const LineOptions& options);
    // Appends the feed's lines to `lines`; or, when it declines the feed, nothing.
    void write(std::string_view data, std::string_view head, const SplitState& start, FeedLines& out,
               columns::ByteBuffer& lines);

private:
    bool envelope_json(const Envelope& envelope, std::string& json);
    LineOptions options_;
    columns::RecordsJsonWriter records_, envelope_records_;
    columns::ByteBuffer scratch_;
    // Kept from one feed to the next, with their room.
    SplitFeed split_;
    std::vector<std::string> envelopes_;
    std::vector<bool> made_;
};

}  // namespace tessarin::feeds
