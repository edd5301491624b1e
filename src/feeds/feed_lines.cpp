#include "feeds/feed_lines.hpp"

#include <charconv>
#include <cstring>

namespace tessarin::feeds {

namespace {

void append_number(columns::ByteBuffer& out, std::size_t value) {
    char* at = out.room(24);
    out.set_end(std::to_chars(at, at + 24, value).ptr);
}

void append_json_string(columns::ByteBuffer& out, std::string_view text) {
    char* at = out.room(columns::json_string_room(text.size()) + 2);
    *at++ = '"';
    at = columns::write_json_string_body(at, text);
    *at++ = '"';
    out.set_end(at);
}

constexpr std::string_view kCutBecause = ": its frame has no end block (0x1C)";

std::string cut_text(std::size_t at) {
    return "message cut short at byte " + std::to_string(at) + std::string(kCutBecause);
}

}  // namespace

FeedLineWriter::FeedLineWriter(const LineOptions& options)
    : options_(options),
      records_(options.convert, true),  // the command's rules, as _columns.encode_records with hl7_syntax
      envelope_records_({false, false, options.convert.escaping_enabled}) {}

// "[" + each line's record + "]", as orjson.dumps writes the envelope's
// record list; false when a line does not make exactly one record.
bool FeedLineWriter::envelope_json(const Envelope& envelope, std::string& json) {
    json.assign(1, '[');
    for (const std::string_view line : {envelope.file_header, envelope.batch_header}) {
        if (line.data() == nullptr) continue;
        scratch_.clear();
        const std::size_t before = envelope_records_.segments();
        if (envelope_records_.append_records(line, scratch_) || envelope_records_.segments() != before + 1)
            return false;
        if (json.size() > 1) json += ',';
        json.append(scratch_.data() + 1, scratch_.size() - 2);  // without the array's brackets
    }
    json += ']';
    return true;
}

void FeedLineWriter::write(std::string_view data, std::string_view head, const SplitState& start, FeedLines& out,
                           columns::ByteBuffer& lines) {
    const std::size_t segments_before = records_.segments();
    const std::size_t lines_before = lines.size();
    SplitFeed& split = split_;
    split_feed(data, options_.limits, start, split);
    const auto decline = [&](const char* why) {
        out = FeedLines{};
        out.declined = why;
        lines.set_end(lines.data() + lines_before);
    };
    if (split.declined) return decline(split.declined);
    std::vector<std::string>& envelopes = envelopes_;
    std::vector<bool>& made = made_;
    if (envelopes.size() < split.envelopes.size()) envelopes.resize(split.envelopes.size());
    made.assign(split.envelopes.size(), false);
    lines.room(3 * data.size() + 64 * split.messages.size());
    for (const SplitMessage& message : split.messages) {
        lines.append(head);
        lines.append(",\"message\":");
        append_number(lines, message.index);
        lines.append(",\"offset\":");
        append_number(lines, message.offset);
        if (message.envelope != 0) {
            if (!made[message.envelope]) {
                if (!envelope_json(split.envelopes[message.envelope], envelopes[message.envelope]))
                    return decline("an envelope line that makes no single record");
                made[message.envelope] = true;
            }
            lines.append(",\"envelope\":");
            lines.append(envelopes[message.envelope]);
        }
        std::optional<std::string> error = message.error;
        if (!error) {
            const std::size_t mark = lines.size();
            lines.append(",\"records\":");
            if (std::optional<std::string> failure = records_.append_records(message.text, lines)) {
                lines.set_end(lines.data() + mark);
                error = message.cut_at ? cut_text(*message.cut_at) + "; " + *failure : std::move(*failure);
            } else if (message.cut_at) {
                error = cut_text(*message.cut_at);
            } else {
                ++out.converted;
            }
        }
        if (error) {
            lines.append(",\"error\":");
            append_json_string(lines, *error);
            out.errors.push_back(std::move(*error));
        }
        lines.append("}\n");
    }
    out.messages = split.messages.size();
    out.segments = records_.segments() - segments_before;
    if (!split.notices.empty()) out.notices = split.notices;
}

}  // namespace tessarin::feeds
