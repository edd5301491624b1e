// Whole feeds held in memory to the rows of the command's Parquet output:
// split as FeedLineWriter splits them, each message's row built by the
// column builder, and beside it the source, position and envelope columns
// the batch's schema adds. No record dict or message object on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "columns/column_builder.hpp"
#include "feeds/feed_lines.hpp"
#include "feeds/feed_splitter.hpp"

namespace tessarin::feeds {

struct FeedRows {
    const char* declined = nullptr;    // as SplitFeed::declined: the feed then has no rows
    std::size_t messages = 0;          // its rows
    std::vector<SplitNotice> notices;  // for the caller to word; they point into the feed
};

// Rows of many feeds gathered into one batch, in the order they are written.
class FeedColumnWriter {
public:
    explicit FeedColumnWriter(const LineOptions& options);
    // The feed's rows, each with `source` as its source column; or, when it
    // declines the feed, none.
    void write(std::string_view data, std::string_view source, const SplitState& start, FeedRows& out);

    std::int64_t rows() const noexcept { return rows_.rows(); }
    // Room for the values of feeds of `text_bytes` in all.
    void reserve_values(std::size_t text_bytes, std::size_t entries_at_most = SIZE_MAX) {
        rows_.reserve_values(text_bytes, entries_at_most);
    }
    bool has_envelopes() const noexcept { return has_envelopes_; }
    // Moves the rows out: the builder's struct array, and, when any row has
    // one, the envelopes' (a row outside any envelope has a null list there).
    void finish(ArrowArray* rows, ArrowArray* envelopes);

    // The added columns, as Arrow buffers: source as string offsets and
    // data, message as int32, offset as int64, and a bitmap of the rows
    // outside any envelope (the envelope column's mask).
    std::vector<std::int32_t> source_offsets{0};
    std::string source_data;
    std::vector<std::int32_t> message;
    std::vector<std::int64_t> offset;
    std::vector<std::uint8_t> envelope_outside;

private:
    // The MSH line of a message that was not converted, as the reader reads
    // it; false where this code cannot tell it byte for byte.
    static bool header_line(std::string_view data, const SplitState& start, const SplitMessage& message,
                            std::string_view& line);
    void add_envelope(const Envelope& envelope);

    SplitLimits limits_;
    columns::ColumnBuilder rows_, envelopes_;
    SplitFeed split_;
    std::vector<std::string_view> header_lines_;
    std::string scratch_;
    bool has_envelopes_ = false;
};

}  // namespace tessarin::feeds
