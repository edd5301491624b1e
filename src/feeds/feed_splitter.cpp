#include "feeds/feed_splitter.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/utf8.hpp"

namespace tessarin::feeds {

namespace {

constexpr std::string_view kBom = "\xef\xbb\xbf";
constexpr std::string_view kDefaultHeader = "MSH|^~\\&";
constexpr char kStartBlock = 0x0B, kEndBlock = 0x1C;
constexpr std::size_t kEnvelopeLineLimit = 64 << 10;
constexpr std::size_t kStrayQuoteLimit = 64 * 1024;

bool is_name_byte(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
// Between messages, block bytes and white space are framing, not data.
bool is_stray_blank(char c) noexcept { return is_blank(c) || c == kStartBlock || c == '\x0c' || c == kEndBlock; }
bool is_line_end(char c) noexcept { return c == '\r' || c == '\n'; }
bool ends_segment_line(char c) noexcept { return is_line_end(c) || c == kStartBlock || c == kEndBlock; }

enum class Name { none, header, file_header, batch_header, batch_trailer, file_trailer };

Name name_at(std::string_view data, std::size_t at) {
    if (data.size() - at < 3) return Name::none;
    const std::string_view name = data.substr(at, 3);
    Name found = name == "MSH"   ? Name::header
                 : name == "FHS" ? Name::file_header
                 : name == "BHS" ? Name::batch_header
                 : name == "BTS" ? Name::batch_trailer
                 : name == "FTS" ? Name::file_trailer
                                 : Name::none;
    // "MSHX" or "BTS1" is no segment name of these.
    if (found != Name::none && at + 3 < data.size() && is_name_byte(data[at + 3])) return Name::none;
    return found;
}

// The first of the four bytes that can start a place to look at: sixteen
// bytes a step where the processor has SSE2, as lines are long.
std::size_t next_mark(std::string_view data, std::size_t from) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), start = _mm_set1_epi8(kStartBlock),
                  end = _mm_set1_epi8(kEndBlock);
    for (; i + 16 <= data.size(); i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data.data() + i));
        const __m128i found = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)),
                                           _mm_or_si128(_mm_cmpeq_epi8(bytes, start), _mm_cmpeq_epi8(bytes, end)));
        const int mask = _mm_movemask_epi8(found);
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\r' || c == '\n' || c == kStartBlock || c == kEndBlock) return i;
    }
    return data.size();
}

// Whether MSH-18's first repetition, trimmed, is "8859/1", which the reader
// decodes as Windows-1252, or as Latin-1 where a byte is undefined there.
bool declares_latin1(std::string_view message) {
    std::size_t end = 0;
    while (end < message.size() && !is_line_end(message[end])) ++end;
    const std::string_view line = message.substr(0, end);
    std::size_t at = 0;
    for (int field = 0; field < 17; ++field) {
        at = line.find('|', at);
        if (at == std::string_view::npos) return false;
        ++at;
    }
    std::string_view charset = line.substr(at);
    charset = charset.substr(0, std::min(charset.find('|'), charset.find('~')));
    const auto ascii_space = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0x0b || c == 0x0c;
    };
    while (!charset.empty() && ascii_space(charset.front())) charset.remove_prefix(1);
    while (!charset.empty() && ascii_space(charset.back())) charset.remove_suffix(1);
    return charset == "8859/1";
}

// Windows-1252's characters for 0x80-0x9F; 0 where it defines none.
constexpr char16_t kWindows1252[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                       0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string windows_1252_or_latin1(std::string_view bytes) {
    bool windows = true;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b < 0xA0 && kWindows1252[b - 0x80] == 0) windows = false;
    }
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const char32_t cp = windows && b >= 0x80 && b < 0xA0 ? kWindows1252[b - 0x80] : b;
        append_utf8(text, cp);
    }
    return text;
}

class Splitter {
public:
    Splitter(std::string_view data, std::size_t skipped, const SplitLimits& limits, const SplitState& start,
             bool counting, SplitFeed& out)
        : data_(data), skipped_(start.offset + skipped), limits_(limits), counting_(counting), out_(out) {
        out_.envelopes.push_back({});
        index_ = start.index;
        batch_messages_ = start.batch_messages;
        Envelope envelope;
        if (start.file_header) envelope.file_header = *start.file_header;
        if (start.batch_header) envelope.batch_header = *start.batch_header;
        if (!envelope.empty()) {
            out_.envelopes.push_back(envelope);
            envelope_ = 1;
        }
    }

    SplitState state() const {
        SplitState state{0, index_, std::nullopt, std::nullopt, batch_messages_};
        const Envelope& envelope = out_.envelopes[envelope_];
        if (envelope.file_header.data()) state.file_header.emplace(envelope.file_header);
        if (envelope.batch_header.data()) state.batch_header.emplace(envelope.batch_header);
        return state;
    }

    void run() {
        const std::size_t n = data_.size();
        std::size_t last = npos;  // the last place looked at
        const auto visit = [&](std::size_t at) {
            if (at >= n || (last != npos && at <= last)) return;
            last = at;
            look_at(at);
        };
        visit(0);  // the data starts a line
        for (std::size_t at = next_mark(data_, 0); at < n && !out_.declined; at = next_mark(data_, at + 1)) {
            const char c = data_[at];
            if (c == kStartBlock || c == kEndBlock) visit(at);
            visit(at + 1);
        }
        if (!out_.declined) finish();
    }

private:
    static constexpr std::size_t npos = std::string_view::npos;

    std::size_t offset(std::size_t at) const noexcept { return skipped_ + at; }

    void decline(const char* why) {
        if (!out_.declined && !counting_) out_.declined = why;
    }

    void look_at(std::size_t at) {
        const char c = data_[at];
        if (c == kStartBlock || c == kEndBlock) {
            const bool unended = c == kStartBlock && frame_open_;
            close(at, unended);
            if (c == kStartBlock) {
                if (frame_open_ && index_ > frame_first_index_) report_truncated_frame();
                frame_open_ = true;
                frame_at_ = offset(at);
                frame_first_index_ = index_;
            } else {
                frame_open_ = false;
            }
            return;
        }
        // Most lines start with no name looked for (nor a byte order mark).
        if (c != 'M' && c != 'F' && c != 'B' && c != kBom[0]) return;
        const std::size_t name_start = data_.substr(at).starts_with(kBom) ? at + kBom.size() : at;
        const Name name = name_at(data_, name_start);
        if (name == Name::none) return;
        if (name == Name::header) {
            close(at, false);
            report_stray();
            message_at_ = name_start;
            ++batch_messages_;
            return;
        }
        std::size_t end = name_start + 3;
        while (end < data_.size() && !ends_segment_line(data_[end])) ++end;
        close(at, false);
        report_stray();
        envelope_segment(name, name_start, end);
        if (data_.substr(end).starts_with("\r\n"))
            end += 2;
        else if (end < data_.size() && is_line_end(data_[end]))
            end += 1;
        gap_at_ = end;
    }

    void finish() {
        const bool unended = frame_open_;
        close(data_.size(), unended);
        // A frame start followed only by bytes that are no message: those
        // are the stray fragment, reported once.
        const bool frame_is_stray =
            frame_open_ && index_ == frame_first_index_ && stray_at_ != npos && stray_end_ > frame_at_;
        report_stray();
        if (frame_open_ && !frame_is_stray) report_truncated_frame();
    }

    // Ends the open message at `end`, or gathers the bytes between messages up to it.
    void close(std::size_t end, bool cut) {
        if (message_at_ != npos) {
            const std::size_t start = message_at_;
            message_at_ = npos;
            gap_at_ = end;
            add_message(start, message_end(start, end), cut ? std::optional<std::size_t>(offset(end)) : std::nullopt);
            return;
        }
        if (gap_at_ < end) add_stray(gap_at_, end);
        gap_at_ = end;
    }

    // Before the final line end and blank lines, after spaces ending the last segment.
    std::size_t message_end(std::size_t start, std::size_t end) const noexcept {
        std::size_t last = end;
        while (last > start && is_blank(data_[last - 1])) --last;
        for (std::size_t i = last; i < end; ++i)
            if (is_line_end(data_[i])) return i;
        return end;
    }

    void add_message(std::size_t start, std::size_t end, std::optional<std::size_t> cut_at) {
        SplitMessage message{index_, offset(start), {}, envelope_, cut_at, std::nullopt};
        ++index_;
        if (counting_) return;
        const std::string_view bytes = data_.substr(start, end - start);
        if (bytes.size() > limits_.max_message_size) return decline("a message over the size limit");
        if (bytes.size() >= limits_.max_fields) {  // fewer bytes cannot hold more fields
            std::size_t fields = 1;
            for (const char c : bytes) fields += c == '|' || c == '^' || c == '~' || c == '\r' || c == '\n';
            if (fields > limits_.max_fields) {
                message.error = "message has too many fields: " + std::to_string(fields) + ", more than the limit of " +
                                std::to_string(limits_.max_fields);
                out_.messages.push_back(std::move(message));
                return;
            }
        }
        if (bytes.find(kBom) != npos) return decline("a byte order mark inside a message");
        if (!bytes.starts_with(kDefaultHeader)) {
            message.error = separators_error(bytes);
            if (!message.error) return decline("separators that are not UTF-8");
        } else if (is_valid_utf8(bytes)) {
            message.text = bytes;
        } else if (declares_latin1(bytes)) {
            message.text = out_.decoded.emplace_back(windows_1252_or_latin1(bytes));
        } else {
            return decline("a message neither UTF-8 nor declared 8859/1");
        }
        out_.messages.push_back(std::move(message));
    }

    static std::optional<std::string> separators_error(std::string_view raw) {
        std::size_t line_end = 0;
        while (line_end < raw.size() && !is_line_end(raw[line_end])) ++line_end;
        const std::string_view line = raw.substr(0, line_end);
        if (line.size() < 4)
            return "non-default separators: the MSH segment declares none (tessarin splits at | and ^~\\&)";
        const std::string_view field_separator = line.substr(3, 1);
        std::string_view encoding_characters = line.substr(4);
        encoding_characters = encoding_characters.substr(0, encoding_characters.find(field_separator[0]));
        // Quoted as UTF-8; bytes that are not would be escaped, which is the reader's to do.
        if (!is_valid_utf8(field_separator) || !is_valid_utf8(encoding_characters)) return std::nullopt;
        return "non-default separators: field separator \"" + std::string(field_separator) +
               "\" and encoding characters \"" + std::string(encoding_characters) +
               "\" (tessarin splits only at | and ^~\\&)";
    }

    void add_stray(std::size_t from, std::size_t to) {
        if (stray_at_ == npos) {
            while (from < to && is_stray_blank(data_[from])) ++from;
            if (from == to) return;
            stray_at_ = from;
        }
        std::size_t last = to;
        while (last > from && is_stray_blank(data_[last - 1])) --last;
        if (last > from) stray_end_ = offset(last);
    }

    void report_stray() {
        if (stray_at_ == npos) return;
        // The pieces gathered are contiguous: the quote is the source from the fragment's start.
        const std::size_t size = stray_end_ - offset(stray_at_);
        out_.notices.push_back(
            {NoticeKind::stray, offset(stray_at_), data_.substr(stray_at_, std::min(size, kStrayQuoteLimit)), size});
        stray_at_ = npos;
        stray_end_ = 0;
    }

    void report_truncated_frame() {
        out_.notices.push_back({NoticeKind::truncated_frame, frame_at_, {}, index_ == frame_first_index_ ? 1u : 0u});
        frame_open_ = false;
    }

    void envelope_segment(Name name, std::size_t start, std::size_t end) {
        if (end - start > kEnvelopeLineLimit) {
            decline("an envelope line over 64 KiB");
            if (!counting_) return;
            end = start + kEnvelopeLineLimit;  // as the reader keeps it
        }
        const std::string_view line = data_.substr(start, end - start);
        out_.notices.push_back({NoticeKind::envelope, offset(start), line, batch_messages_});
        Envelope envelope = out_.envelopes[envelope_];
        switch (name) {
            case Name::file_header: envelope = {line, {}}; break;
            case Name::batch_header: envelope.batch_header = line; break;
            case Name::batch_trailer: envelope.batch_header = {}; break;
            default: envelope = {};
        }
        if (name == Name::file_header || name == Name::batch_header) {
            // Its record is made from its text: undecodable bytes would be escaped there.
            if (!counting_ && !is_valid_utf8(line)) return decline("an envelope line that is not UTF-8");
        }
        if (name != Name::file_trailer) batch_messages_ = 0;
        if (envelope.empty()) {
            envelope_ = 0;
        } else {
            envelope_ = out_.envelopes.size();
            out_.envelopes.push_back(envelope);
        }
    }

    std::string_view data_;
    std::size_t skipped_;
    SplitLimits limits_;
    bool counting_;
    SplitFeed& out_;
    std::size_t message_at_ = npos;
    std::size_t gap_at_ = 0;
    std::size_t stray_at_ = npos, stray_end_ = 0;  // stray_at_ in data, stray_end_ in the source
    bool frame_open_ = false;
    std::size_t frame_at_ = 0, frame_first_index_ = 0;
    std::size_t batch_messages_ = 0;
    std::size_t index_ = 0;
    std::size_t envelope_ = 0;
};

}  // namespace

SplitFeed split_feed(std::string_view data, const SplitLimits& limits, const SplitState& start) {
    SplitFeed feed;
    split_feed(data, limits, start, feed);
    return feed;
}

void split_feed(std::string_view data, const SplitLimits& limits, const SplitState& start, SplitFeed& feed) {
    feed.declined = nullptr;
    feed.messages.clear();
    feed.notices.clear();
    feed.envelopes.clear();
    feed.decoded.clear();
    if (start.offset == 0 && data.starts_with("\x1f\x8b")) {
        feed.declined = "gzip data";
        return;
    }
    for (const auto* line : {&start.file_header, &start.batch_header}) {
        // A line the reader cut, or one not UTF-8, is a text this path does not make.
        if (*line && ((*line)->size() >= kEnvelopeLineLimit || !is_valid_utf8(**line))) {
            feed.declined = "an envelope line over 64 KiB or not UTF-8";
            return;
        }
    }
    const std::size_t skipped = start.offset == 0 && data.starts_with(kBom) ? kBom.size() : 0;
    Splitter(data.substr(skipped), skipped, limits, start, false, feed).run();
}

SplitState state_after(std::string_view data, const SplitState& start) {
    SplitFeed feed;
    const std::size_t skipped = start.offset == 0 && data.starts_with(kBom) ? kBom.size() : 0;
    Splitter splitter(data.substr(skipped), skipped, {~std::size_t{0}, ~std::size_t{0}}, start, true, feed);
    splitter.run();
    SplitState state = splitter.state();
    state.offset = start.offset + data.size();
    return state;
}

std::size_t find_cut(std::string_view data) {
    std::size_t cut = 0;
    bool in_frame = false;
    for (std::size_t at = next_mark(data, 0); at < data.size(); at = next_mark(data, at + 1)) {
        if (data[at] == kStartBlock)
            in_frame = true;
        else if (data[at] == kEndBlock)
            in_frame = false;
        const std::size_t next = at + 1;
        if (!in_frame && next + 4 <= data.size() && data.compare(next, 3, "MSH") == 0 && !is_name_byte(data[next + 3]))
            cut = next;
    }
    return cut;
}

}  // namespace tessarin::feeds
