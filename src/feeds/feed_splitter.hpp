// A whole feed held in memory, cut into messages by the feed reader's rules
// (tessarin_feeds/reader.py, whose Python code stays the model): messages
// start at MSH lines, MLLP blocks (0x0B ... 0x1C) frame them, a byte order
// mark at a line start is passed over, FHS/BHS/BTS/FTS lines are envelope
// segments, and what lies between messages is a stray fragment. Plain C++:
// the notices come back as raw parts, worded by the caller.
//
// Only the common shapes are cut here. A buffer holding anything the reader
// treats in a way this code does not reproduce byte for byte (gzip, text
// that is neither UTF-8 nor declared "8859/1" in MSH-18, a byte order mark
// inside a message, a message over the size limit, a long or undecodable
// envelope line) is declined whole, and the reader takes it.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::feeds {

struct SplitLimits {
    std::size_t max_message_size;
    std::size_t max_fields;
};

struct SplitMessage {
    std::size_t index;                  // counts from 0 in its source
    std::size_t offset;                 // in the source, of its first byte
    std::string_view text;              // its bytes, valid UTF-8, without the final line end
    std::size_t envelope;               // index into SplitFeed::envelopes
    std::optional<std::size_t> cut_at;  // source offset where its frame broke off
    std::optional<std::string> error;   // why it is not converted (text empty then)
};

enum class NoticeKind { stray, envelope, truncated_frame };

struct SplitNotice {
    NoticeKind kind;
    std::size_t offset;
    // stray: the quoted bytes; envelope: the segment's line.
    std::string_view bytes;
    // stray: its size; envelope: the messages of the batch so far;
    // truncated frame: 1 when no message was behind its start.
    std::size_t number;
};

// The FHS and BHS lines that enclose a message; an absent one is empty with
// a null data().
struct Envelope {
    std::string_view file_header, batch_header;
    bool empty() const noexcept { return file_header.data() == nullptr && batch_header.data() == nullptr; }
};

struct SplitFeed {
    // Why the buffer is left to the reader, or null when it was cut here.
    const char* declined = nullptr;
    std::vector<SplitMessage> messages;
    std::vector<SplitNotice> notices;  // in the order the reader reports them
    std::vector<Envelope> envelopes;   // [0] is none
    std::deque<std::string> decoded;   // texts of messages that were not UTF-8
};

// Where a piece of a longer feed starts: what the pieces before it left.
// A feed is cut into pieces only before an MSH line outside any frame
// (find_cut), where nothing else carries over.
struct SplitState {
    std::size_t offset = 0;                                // of the piece in the source
    std::size_t index = 0;                                 // of its first message
    std::optional<std::string> file_header, batch_header;  // the envelope's lines, as cut
    std::size_t batch_messages = 0;                        // of the open batch so far
};

SplitFeed split_feed(std::string_view data, const SplitLimits& limits, const SplitState& start = {});
// The same into `feed`, whose vectors keep their room from one feed to the next.
void split_feed(std::string_view data, const SplitLimits& limits, const SplitState& start, SplitFeed& feed);

// The state after `data`, a piece that starts at `start`: messages only
// counted, nothing declined.
SplitState state_after(std::string_view data, const SplitState& start);

// The last place in `data` where a piece may end: an MSH line start, not
// after a byte order mark, outside any frame (the piece starts outside
// one), with its next byte present. 0 when there is none.
std::size_t find_cut(std::string_view data);

}  // namespace tessarin::feeds
