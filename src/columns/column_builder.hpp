// Message texts to Arrow arrays, one row per message: the segment records
// that Hl7Json gives, as a list of (segment_name, map of the other keys),
// three header fields and the error that stopped a conversion. Plain C++
// over the core, so the fuzz target drives it as the Python module does.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/hl7_json.hpp"
#include "core/common_keys.hpp"
#include "nanoarrow/nanoarrow.h"

namespace tessarin::columns {

// A batch whose strings or lists outgrow Arrow's 32-bit offsets.
class BatchTooLarge : public std::length_error {
public:
    BatchTooLarge() : std::length_error("batch too large for 32-bit Arrow offsets: convert fewer messages at once") {}
};

// Column positions in the batch's struct type.
enum Column : int { kMessageType, kControlId, kSentAt, kSegments, kError, kColumnCount };

// Fills `schema` with struct<message_type: string, control_id: string,
// sent_at: string, segments: list<struct<segment_name: string, fields:
// map<string, string>>>, error: string>.
void init_batch_schema(ArrowSchema* schema);

// MSH-9, MSH-10 and MSH-7 as written in the first line of a message text;
// none when the text has no MSH header, the field is absent or empty.
struct HeaderFields {
    std::optional<std::string_view> message_type, control_id, sent_at;
};
HeaderFields header_fields(std::string_view text) noexcept;

class ColumnBuilder {
public:
    // With `hl7_syntax`, validation (when enabled) follows the feed command's
    // rules 3 and 8 (Hl7Validator::hl7_syntax) rather than Hl7Json's.
    explicit ColumnBuilder(Hl7JsonOptions options, bool hl7_syntax = false);
    ~ColumnBuilder();
    ColumnBuilder(const ColumnBuilder&) = delete;
    ColumnBuilder& operator=(const ColumnBuilder&) = delete;

    // One row: the message converted as Hl7Json converts it, or its error.
    // A message cut short (`cut`, why) keeps its records with `cut` as its
    // error, or has "CUT; ERROR" when it fails.
    void add_message(std::string_view text, std::string_view cut = {});
    // One row for a message that was never converted: `error` says why. Its
    // header columns come from `header_line`, its MSH line, where known.
    void add_unconverted(std::string_view error, std::string_view header_line = {});

    // Room for the values of messages of `text_bytes` in all (values take
    // at most about as many bytes), and for their keys: each time a buffer
    // grows, it is copied into fresh pages. `entries_at_most`, where the
    // caller counted the text's separators, bounds the room for the keys.
    void reserve_values(std::size_t text_bytes, std::size_t entries_at_most = SIZE_MAX);

    std::int64_t rows() const noexcept { return root_.length; }
    // Moves the rows out as a struct array of init_batch_schema's type; the
    // builder is then empty and takes rows again.
    void finish(ArrowArray* out);

    // Sink interface of walk_segments.
    void begin_segment(std::string_view line);
    void name(std::string_view name);
    // Called once per value: inlined into the scanner, in the one file that runs it.
    [[gnu::always_inline]] inline void entry(const EntryKey& key, std::string_view value);
    bool end_segment();

private:
    struct Entry {
        std::uint64_t order;           // key_prefix() of the key
        const char* cached_key;        // the key in the common keys table, or null when it is in text_
        const char* value_in_message;  // the value where it stands in the message, or null when it is in text_
        std::size_t key_start, key_size, value_start, value_size;
    };
    void start();
    std::string_view key_of(const Entry& entry) const noexcept {
        return {entry.cached_key ? entry.cached_key : text_.data() + entry.key_start, entry.key_size};
    }
    const char* value_of(const Entry& entry) const noexcept {
        return entry.value_in_message ? entry.value_in_message : text_.data() + entry.value_start;
    }
    bool less(const Entry& a, const Entry& b) const noexcept {
        return a.order != b.order ? a.order < b.order : key_of(a) < key_of(b);
    }

    Hl7JsonOptions options_;
    Hl7Validator validator_;
    Hl7EscapeHandler escape_handler_;
    SegmentScanner scanner_;  // one for the batch: it keeps its buffers between lines
    ArrowArray root_{};
    // Children of root_ that every row or segment appends to.
    ArrowArray *segment_lists_ = nullptr, *segments_ = nullptr, *segment_names_ = nullptr, *maps_ = nullptr,
               *entries_ = nullptr, *keys_ = nullptr, *values_ = nullptr;
    std::string_view message_;  // the text being converted
    // The current segment: its entries in field order; keys and unescaped
    // values in text_, other values read where they stand in message_.
    std::vector<Entry> segment_entries_, merged_;
    const common_keys::Key* common_keys_;  // the table, looked up once
    bool in_key_order_ = true;
    std::size_t second_run_ = 0;  // where the entries first leave key order
    std::size_t key_bytes_ = 0, value_bytes_ = 0;
    std::string text_;
    std::string segment_name_;
};

}  // namespace tessarin::columns
