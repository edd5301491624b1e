#include "feeds/feed_columns.hpp"

#include <algorithm>
#include <climits>

#include "core/utf8.hpp"
#include "core/utils.hpp"

namespace tessarin::feeds {

namespace {

// The reader's limit on an MSH line read for the header columns: a longer
// one gives none.
constexpr std::size_t kHeaderLineLimit = 64 << 10;

std::string cut_text(std::size_t at) {
    return "message cut short at byte " + std::to_string(at) + ": its frame has no end block (0x1C)";
}

}  // namespace

FeedColumnWriter::FeedColumnWriter(const LineOptions& options)
    : limits_(options.limits),
      rows_(options.convert, true),  // the command's rules, as the Python path asks with hl7_syntax
      envelopes_({false, false, options.convert.escaping_enabled}) {}

bool FeedColumnWriter::header_line(std::string_view data, const SplitState& start, const SplitMessage& message,
                                   std::string_view& line) {
    line = data.substr(message.offset - start.offset);
    std::size_t end = 0;
    while (end < line.size() && end <= kHeaderLineLimit && !is_line_end(line[end])) ++end;
    if (end > kHeaderLineLimit) {
        line = {};
        return true;
    }
    line = line.substr(0, end);
    // Where a frame's bytes end the line, the message's end is the splitter's to tell.
    return line.find_first_of("\x0b\x1c") == std::string_view::npos && is_valid_utf8(line);
}

void FeedColumnWriter::write(std::string_view data, std::string_view source, const SplitState& start, FeedRows& out) {
    out = FeedRows{};
    split_feed(data, limits_, start, split_);
    if (split_.declined) {
        out.declined = split_.declined;
        return;
    }
    // Everything that may decline the feed is looked at before its first row.
    header_lines_.assign(split_.messages.size(), {});
    for (std::size_t i = 0; i < split_.messages.size(); ++i) {
        const SplitMessage& message = split_.messages[i];
        if (message.error && !header_line(data, start, message, header_lines_[i])) {
            out.declined = "an unconverted message whose MSH line is not plain UTF-8";
            return;
        }
    }
    const auto rows = static_cast<std::size_t>(rows_.rows());
    if (source_data.size() + source.size() * split_.messages.size() > INT32_MAX) throw columns::BatchTooLarge();
    source_offsets.reserve(rows + split_.messages.size() + 1);
    message.reserve(rows + split_.messages.size());
    offset.reserve(rows + split_.messages.size());
    for (std::size_t i = 0; i < split_.messages.size(); ++i) {
        const SplitMessage& found = split_.messages[i];
        if (found.error) {
            rows_.add_unconverted(*found.error, header_lines_[i]);
        } else if (found.cut_at) {
            rows_.add_message(found.text, cut_text(*found.cut_at));
        } else {
            rows_.add_message(found.text);
        }
        source_data.append(source);
        source_offsets.push_back(static_cast<std::int32_t>(source_data.size()));
        message.push_back(static_cast<std::int32_t>(found.index));
        offset.push_back(static_cast<std::int64_t>(found.offset));
        if (found.envelope != 0) add_envelope(split_.envelopes[found.envelope]);
    }
    out.messages = split_.messages.size();
    out.notices = split_.notices;
}

void FeedColumnWriter::add_envelope(const Envelope& envelope) {
    const auto row = static_cast<std::size_t>(rows_.rows()) - 1;  // the row just added
    // Rows before it, outside any envelope, are null there.
    while (static_cast<std::size_t>(envelopes_.rows()) < row) envelopes_.add_unconverted({});
    envelope_outside.resize(row / 8 + 1, 0xff);
    envelope_outside[row / 8] &= static_cast<std::uint8_t>(~(1u << (row % 8)));
    // Its lines convert as one text does: a record each.
    scratch_.clear();
    bool first = true;
    for (const std::string_view line : {envelope.file_header, envelope.batch_header}) {
        if (line.data() == nullptr) continue;
        if (!first) scratch_ += '\r';
        scratch_.append(line);
        first = false;
    }
    envelopes_.add_message(scratch_);
    has_envelopes_ = true;
}

void FeedColumnWriter::finish(ArrowArray* rows, ArrowArray* envelopes) {
    const auto count = static_cast<std::size_t>(rows_.rows());
    if (has_envelopes_) {
        while (static_cast<std::size_t>(envelopes_.rows()) < count) envelopes_.add_unconverted({});
        envelope_outside.resize((count + 7) / 8, 0xff);
        envelopes_.finish(envelopes);
    }
    rows_.finish(rows);
}

}  // namespace tessarin::feeds
