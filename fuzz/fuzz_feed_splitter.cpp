// The feed splitter on arbitrary bytes, against itself cut into pieces and
// against what a feed is. The first byte sets the limits; the rest is the feed.
//  - Cut at find_cut's places, with the state carried (state_after), the
//    pieces give the very messages and notices of the whole.
//  - Messages come in order, numbered from 0, starting "MSH" and not ending
//    a line, each its own bytes of the feed unless decoded from Latin-1;
//    stray quotes are the feed's bytes at their offset.
//  - Nothing is lost: a byte outside every message, envelope line and stray
//    fragment is framing (white space, block bytes) or a byte order mark
//    before a name.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "feeds/feed_splitter.hpp"
#include "fuzz_check.hpp"

using namespace tessarin::feeds;

namespace {

bool is_framing(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0x0b || c == 0x0c || c == 0x1c;
}

void add(const SplitFeed& feed, std::vector<std::string>& messages, std::vector<std::string>& notices) {
    for (const SplitMessage& m : feed.messages) {
        const Envelope& e = feed.envelopes[m.envelope];
        messages.push_back(std::to_string(m.index) + "@" + std::to_string(m.offset) + ":" + std::string(m.text) + "|" +
                           m.error.value_or("-") + "|" + (m.cut_at ? std::to_string(*m.cut_at) : "-") + "|" +
                           std::string(e.file_header) + "|" + std::string(e.batch_header));
    }
    for (const SplitNotice& n : feed.notices)
        notices.push_back(std::to_string(static_cast<int>(n.kind)) + "@" + std::to_string(n.offset) + ":" +
                          std::string(n.bytes) + "#" + std::to_string(n.number));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* bytes, std::size_t size) {
    if (size == 0) return 0;
    const SplitLimits limits{bytes[0] & 1 ? 40u : 1u << 20, bytes[0] & 2 ? 6u : 1u << 20};
    const std::string_view data = fuzz::as_text(bytes + 1, size - 1);
    const SplitFeed whole = split_feed(data, limits);
    if (whole.declined) return 0;

    struct Span {
        std::size_t start, end;
        bool message;
    };
    std::vector<Span> spans;
    std::size_t expected_index = 0;
    for (const SplitMessage& m : whole.messages) {
        FUZZ_CHECK(m.index == expected_index++);
        FUZZ_CHECK(data.substr(m.offset, 3) == "MSH");
        const bool own_bytes = m.text.data() >= data.data() && m.text.data() < data.data() + data.size();
        if (!m.error && own_bytes) FUZZ_CHECK(data.substr(m.offset, m.text.size()) == m.text);
        if (!m.error) {
            FUZZ_CHECK(m.text.back() != '\r' && m.text.back() != '\n');
        }
        spans.push_back({m.offset, m.offset, true});
    }
    for (const SplitNotice& n : whole.notices) {
        if (n.kind == NoticeKind::truncated_frame) continue;
        FUZZ_CHECK(data.substr(n.offset, n.bytes.size()) == n.bytes);
        spans.push_back({n.offset, n.offset + (n.kind == NoticeKind::stray ? n.number : n.bytes.size()), false});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    for (std::size_t k = 0; k < spans.size(); ++k)
        if (spans[k].message) spans[k].end = k + 1 < spans.size() ? spans[k + 1].start : data.size();
    // Between them: framing, or a byte order mark right before a name (or at the start).
    constexpr std::string_view kBom = "\xef\xbb\xbf";
    std::size_t at = data.starts_with(kBom) ? 3 : 0;
    spans.push_back({data.size(), data.size(), false});
    for (const Span& span : spans) {
        FUZZ_CHECK(span.start >= at || span.start == data.size());
        for (std::size_t i = at; i < span.start; ++i) {
            const bool mark = i + 3 == span.start && data.substr(i, 3) == kBom;
            if (mark) i += 2;
            FUZZ_CHECK(mark || is_framing(data[i]));
        }
        at = std::max(at, span.end);
    }

    // The same feed in pieces.
    std::vector<std::string> want_messages, want_notices, got_messages, got_notices;
    add(whole, want_messages, want_notices);
    SplitState state;
    std::string_view rest = data;
    const std::size_t step = 1 + bytes[0] / 4;
    while (!rest.empty()) {
        std::size_t cut = find_cut(rest.substr(0, std::min(rest.size(), step)));
        if (cut == 0) cut = rest.size() <= step ? rest.size() : find_cut(rest);
        if (cut == 0) cut = rest.size();
        const SplitFeed piece = split_feed(rest.substr(0, cut), limits, state);
        FUZZ_CHECK(!piece.declined);
        add(piece, got_messages, got_notices);
        state = state_after(rest.substr(0, cut), state);
        rest.remove_prefix(cut);
    }
    FUZZ_CHECK(got_messages == want_messages);
    FUZZ_CHECK(got_notices == want_notices);
    return 0;
}
