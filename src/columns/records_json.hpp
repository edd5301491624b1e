// Message texts to the JSON text of their segment records, byte for byte as
// orjson.dumps writes the list that Hl7Json gives: keys in key order with
// "segment_name" last, no spaces, UTF-8 as it stands, and only ", \, and the
// control characters escaped (\b \f \n \r \t, else \u00xx). Plain C++ over
// the core: no Python object is made on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common_keys.hpp"
#include "core/hl7_json.hpp"
#include "core/small_vector.hpp"

namespace tessarin::columns {

// A growing byte buffer that leaves new room unfilled: the writer fills
// every byte it keeps, so zeroing it first would be wasted work.
class ByteBuffer {
public:
    const char* data() const noexcept { return data_.get(); }
    char* data() noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    // The write position, with room for `more` bytes after it.
    char* room(std::size_t more) { return capacity_ - size_ >= more ? data_.get() + size_ : grow(more); }
    // Ends the written part at `end`, a position inside the last room.
    void set_end(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }
    char* end() noexcept { return data_.get() + size_; }
    // Inline, so that the short fixed texts of the writers copy without a call.
    void append(std::string_view bytes) {
        char* at = room(bytes.size());
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
        size_ += bytes.size();
    }

private:
    char* grow(std::size_t more);
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

// The room write_json_string_body may need for `size` bytes of text.
constexpr std::size_t json_string_room(std::size_t size) noexcept { return 6 * size + 16; }

// Writes `text` as the inside of a JSON string (no quotes), escaped as
// orjson escapes it, at `out`, which has json_string_room(text.size())
// bytes of room; returns the end of what it wrote.
char* write_json_string_body(char* out, std::string_view text) noexcept;

// How an entry of a common key starts (records_json.cpp).
struct KeyHead;

class RecordsJsonWriter {
public:
    // With `hl7_syntax`, validation (when enabled) follows the feed command's
    // rules (Hl7Validator::hl7_syntax) rather than Hl7Json's.
    explicit RecordsJsonWriter(Hl7JsonOptions options, bool hl7_syntax = false);

    // Appends the records array of `text` to `out` and counts its records
    // into segments(); or, when the conversion stops (only the validation it
    // starts with can stop it), appends nothing and returns the error text
    // Hl7Json raises.
    std::optional<std::string> append_records(std::string_view text, ByteBuffer& out);
    std::size_t segments() const noexcept { return segments_; }

    // Sink interface of the segment walk.
    void begin_segment(std::string_view line);
    void name(std::string_view name);
    void entry(const EntryKey& key, std::string_view value);
    bool end_segment();

private:
    // One `"key":"value",` as written into entries_, in field order.
    struct Piece {
        std::uint64_t rank;  // key_rank() of the key; kNoRank when it has none
        std::size_t start, size;
    };
    static constexpr std::uint64_t kNoRank = ~std::uint64_t{0};
    bool less(const Piece& a, const Piece& b) const noexcept;
    void write_in_key_order();
    void merge_runs_into(char* at);

    Hl7JsonOptions options_;
    Hl7Validator validator_;
    Hl7EscapeHandler escape_handler_;
    SegmentScanner scanner_;  // one for the writer: it keeps its buffers between lines
    const KeyHead* heads_;    // by common key number, made once
    ByteBuffer* out_ = nullptr;
    const char *text_ = nullptr, *text_end_ = nullptr;  // the message being written
    std::string_view name_;
    bool first_segment_ = true, ranked_ = true;  // ranked_: every piece has a rank
    std::uint64_t last_rank_ = 0;
    std::size_t segments_ = 0;
    // The current segment's entries, written as they come, then copied to
    // out_ in key order; run_starts_ holds where each run in key order
    // after the first begins.
    ByteBuffer entries_;
    SmallVector<Piece, 64> pieces_, merged_;
    SmallVector<std::size_t, 16> run_starts_;
};

}  // namespace tessarin::columns
