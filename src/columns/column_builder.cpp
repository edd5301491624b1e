#include "columns/column_builder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "core/key_order.hpp"
#include "core/utf8.hpp"

namespace tessarin::columns {

namespace {

// nanoarrow reports failures as errno values: ENOMEM when an allocation
// fails, EOVERFLOW when an offset would pass 2^31 - 1; anything else is a
// fault of the builder.
void check(ArrowErrorCode code) {
    if (code == NANOARROW_OK) return;
    if (code == ENOMEM) throw std::bad_alloc();
    if (code == EOVERFLOW) throw BatchTooLarge();
    throw std::logic_error("column builder: nanoarrow error " + std::to_string(code));
}

void set_child(ArrowSchema* parent, std::int64_t index, ArrowType type, const char* name) {
    ArrowSchema* child = parent->children[index];
    check(ArrowSchemaSetType(child, type));
    check(ArrowSchemaSetName(child, name));
}

void append_string(ArrowArray* array, std::string_view text) {
    check(ArrowArrayAppendString(array, ArrowStringView{text.data(), static_cast<std::int64_t>(text.size())}));
}

// Appends bytes that the buffer has room for (copy_bytes: keys and values
// are mostly short).
void append_reserved(ArrowBuffer* buffer, std::string_view bytes) noexcept {
    copy_bytes(reinterpret_cast<char*>(buffer->data + buffer->size_bytes), bytes.data(), bytes.size());
    buffer->size_bytes += static_cast<std::int64_t>(bytes.size());
}

void append_optional(ArrowArray* array, std::optional<std::string_view> text) {
    if (text)
        append_string(array, *text);
    else
        check(ArrowArrayAppendNull(array, 1));
}

// Gives back what reserve_values and growth set aside beyond the rows: a
// finished batch may wait for its row group for a while, and its unused
// room would be heap that no later batch can take. Shrinking in place is
// cheap (the tail is freed, or unmapped), and a batch is finished rarely.
void shrink_to_rows(ArrowArray* array) {
    constexpr std::int64_t kSlack = 4096;
    for (std::int64_t i = 0; i < NANOARROW_MAX_FIXED_BUFFERS; ++i) {
        ArrowBuffer* buffer = ArrowArrayBuffer(array, i);
        if (buffer->size_bytes > 0 && buffer->capacity_bytes - buffer->size_bytes >= kSlack)
            check(ArrowBufferResize(buffer, buffer->size_bytes, true));
    }
    for (std::int64_t i = 0; i < array->n_children; ++i) shrink_to_rows(array->children[i]);
}

}  // namespace

void init_batch_schema(ArrowSchema* schema) {
    ArrowSchemaInit(schema);
    try {
        check(ArrowSchemaSetTypeStruct(schema, kColumnCount));
        set_child(schema, kMessageType, NANOARROW_TYPE_STRING, "message_type");
        set_child(schema, kControlId, NANOARROW_TYPE_STRING, "control_id");
        set_child(schema, kSentAt, NANOARROW_TYPE_STRING, "sent_at");
        set_child(schema, kError, NANOARROW_TYPE_STRING, "error");
        ArrowSchema* lists = schema->children[kSegments];
        check(ArrowSchemaSetType(lists, NANOARROW_TYPE_LIST));
        check(ArrowSchemaSetName(lists, "segments"));
        ArrowSchema* segment = lists->children[0];
        check(ArrowSchemaSetTypeStruct(segment, 2));
        set_child(segment, 0, NANOARROW_TYPE_STRING, "segment_name");
        ArrowSchema* fields = segment->children[1];
        check(ArrowSchemaSetType(fields, NANOARROW_TYPE_MAP));
        check(ArrowSchemaSetName(fields, "fields"));
        ArrowSchema* entries = fields->children[0];
        check(ArrowSchemaSetType(entries->children[0], NANOARROW_TYPE_STRING));
        check(ArrowSchemaSetType(entries->children[1], NANOARROW_TYPE_STRING));
    } catch (...) {
        schema->release(schema);
        throw;
    }
}

HeaderFields header_fields(std::string_view text) noexcept {
    HeaderFields fields;
    if (text.size() < 4 || text.substr(0, 3) != "MSH") return fields;
    const std::string_view line = text.substr(0, find_line_end(text, 0));
    // The separator is the fourth character, whatever its length in bytes.
    const std::string_view separator = text.substr(3, decode_utf8(text, 3).length);
    // Piece n is MSH-(n+1): the separator itself is MSH-1.
    constexpr std::size_t kSentAt = 6, kMessageType = 8, kControlId = 9;
    std::size_t start = 0;
    for (std::size_t piece = 0; piece <= kControlId; ++piece) {
        const std::size_t end = line.find(separator, start);
        const bool last = end == std::string_view::npos;
        // Pieces past MSH-10 are never looked at.
        const std::string_view value = last ? line.substr(start) : line.substr(start, end - start);
        const auto present = value.empty() ? std::nullopt : std::optional<std::string_view>(value);
        if (piece == kSentAt) fields.sent_at = present;
        if (piece == kMessageType) fields.message_type = present;
        if (piece == kControlId) fields.control_id = present;
        if (last) break;
        start = end + separator.size();
    }
    return fields;
}

ColumnBuilder::ColumnBuilder(Hl7JsonOptions options, bool hl7_syntax)
    : options_(options),
      validator_{options.strict_validation, false, hl7_syntax},
      escape_handler_(create_default_escape_handler()),
      scanner_(options.escaping_enabled ? &escape_handler_ : nullptr),
      common_keys_(common_keys::table()) {
    start();
}

ColumnBuilder::~ColumnBuilder() {
    if (root_.release) root_.release(&root_);
}

void ColumnBuilder::start() {
    ArrowSchema schema;
    init_batch_schema(&schema);
    const ArrowErrorCode code = ArrowArrayInitFromSchema(&root_, &schema, nullptr);
    schema.release(&schema);
    check(code);
    if (const ArrowErrorCode started = ArrowArrayStartAppending(&root_); started != NANOARROW_OK) {
        root_.release(&root_);
        check(started);
    }
    segment_lists_ = root_.children[kSegments];
    segments_ = segment_lists_->children[0];
    segment_names_ = segments_->children[0];
    maps_ = segments_->children[1];
    entries_ = maps_->children[0];
    keys_ = entries_->children[0];
    values_ = entries_->children[1];
}

void ColumnBuilder::reserve_values(std::size_t text_bytes, std::size_t entries_at_most) {
    const auto bytes = std::min<std::size_t>(text_bytes, INT32_MAX);  // more would not fit anyway
    check(ArrowBufferReserve(ArrowArrayBuffer(values_, 2), static_cast<std::int64_t>(bytes)));
    // Keys and offsets too, as real messages need them (about an entry per
    // five bytes of text, keys some 2.5 bytes an entry): growing, they are
    // copied. Text of few, long values (embedded documents) needs far less,
    // and room reserved and never used is heap that fragments.
    const auto entries = static_cast<std::int64_t>(std::min(bytes / 4, entries_at_most) + 1);
    check(ArrowBufferReserve(ArrowArrayBuffer(keys_, 2), entries * 3));
    check(ArrowBufferReserve(ArrowArrayBuffer(keys_, 1), entries * 4));
    check(ArrowBufferReserve(ArrowArrayBuffer(values_, 1), entries * 4));
}

void ColumnBuilder::add_message(std::string_view text, std::string_view cut) {
    const HeaderFields header = header_fields(text);
    append_optional(root_.children[kMessageType], header.message_type);
    append_optional(root_.children[kControlId], header.control_id);
    append_optional(root_.children[kSentAt], header.sent_at);
    if (options_.validation_enabled) {
        // As Hl7Json: line ends normalised, then the validation it starts with.
        Status status = validate_text(text, validator_);
        if (!status) {
            check(ArrowArrayAppendNull(segment_lists_, 1));
            const std::string failure = status.error().display();
            append_string(root_.children[kError], cut.empty() ? failure : std::string(cut) + "; " + failure);
            check(ArrowArrayFinishElement(&root_));
            return;
        }
    }
    message_ = text;
    // The lines walk_segments would see in the normalised copy, read in place.
    for_each_normalised_line(text, [&](std::string_view line) {
        begin_segment(line);
        scanner_.emit(line, *this);
        end_segment();
    });
    check(ArrowArrayFinishElement(segment_lists_));
    if (cut.empty())
        check(ArrowArrayAppendNull(root_.children[kError], 1));
    else
        append_string(root_.children[kError], cut);
    check(ArrowArrayFinishElement(&root_));
}

void ColumnBuilder::add_unconverted(std::string_view error, std::string_view header_line) {
    const HeaderFields header = header_fields(header_line);
    append_optional(root_.children[kMessageType], header.message_type);
    append_optional(root_.children[kControlId], header.control_id);
    append_optional(root_.children[kSentAt], header.sent_at);
    check(ArrowArrayAppendNull(segment_lists_, 1));
    append_string(root_.children[kError], error);
    check(ArrowArrayFinishElement(&root_));
}

void ColumnBuilder::finish(ArrowArray* out) {
    shrink_to_rows(&root_);
    // Default validation checks buffer sizes, not every offset: ours rise by construction.
    check(ArrowArrayFinishBuildingDefault(&root_, nullptr));
    ArrowArrayMove(&root_, out);
    start();
}

void ColumnBuilder::begin_segment(std::string_view) {
    segment_entries_.clear();
    in_key_order_ = true;
    key_bytes_ = value_bytes_ = 0;
    text_.clear();
}

void ColumnBuilder::name(std::string_view name) { segment_name_.assign(name); }

void ColumnBuilder::entry(const EntryKey& key, std::string_view value) {
    Entry stored;
    if (const std::size_t index = common_keys::index_of(key); index != common_keys::kNone) {
        const common_keys::Key* known = common_keys_ + index;
        stored.cached_key = known->text;
        stored.key_size = known->size;
        stored.order = known->order;
    } else {
        stored.cached_key = nullptr;
        stored.key_start = text_.size();
        text_.resize(text_.size() + EntryKey::kMaxText);
        stored.key_size = key.write(text_.data() + stored.key_start);
        text_.resize(stored.key_start + stored.key_size);
        stored.order = key_prefix(key_of(stored));
    }
    stored.value_size = value.size();
    const auto at = reinterpret_cast<std::uintptr_t>(value.data());
    const auto message_at = reinterpret_cast<std::uintptr_t>(message_.data());
    if (at >= message_at && at + value.size() <= message_at + message_.size()) {
        stored.value_in_message = value.data();
    } else {
        // An unescaped value lives in the scanner's scratch buffer until the next one.
        stored.value_in_message = nullptr;
        stored.value_start = text_.size();
        text_.append(value);
    }
    // Field order is key order below field 10.
    if (in_key_order_ && !segment_entries_.empty() && !less(segment_entries_.back(), stored)) {
        in_key_order_ = false;
        second_run_ = segment_entries_.size();
    }
    key_bytes_ += stored.key_size;
    value_bytes_ += stored.value_size;
    segment_entries_.push_back(stored);
}

bool ColumnBuilder::end_segment() {
    append_string(segment_names_, segment_name_);
    // The entries go into the key and value buffers in one go: an element
    // at a time, nanoarrow would check each one's type and validity anew.
    // These arrays never hold a null, so they have no validity bitmap.
    ArrowBuffer* key_offsets = ArrowArrayBuffer(keys_, 1);
    ArrowBuffer* key_data = ArrowArrayBuffer(keys_, 2);
    ArrowBuffer* value_offsets = ArrowArrayBuffer(values_, 1);
    ArrowBuffer* value_data = ArrowArrayBuffer(values_, 2);
    std::int64_t key_end = reinterpret_cast<const std::int32_t*>(key_offsets->data)[keys_->length];
    std::int64_t value_end = reinterpret_cast<const std::int32_t*>(value_offsets->data)[values_->length];
    if (key_end + static_cast<std::int64_t>(key_bytes_) > INT32_MAX ||
        value_end + static_cast<std::int64_t>(value_bytes_) > INT32_MAX)
        throw BatchTooLarge();
    const std::size_t count = segment_entries_.size();
    const auto offset_bytes = static_cast<std::int64_t>(count * sizeof(std::int32_t));
    check(ArrowBufferReserve(key_offsets, offset_bytes));
    check(ArrowBufferReserve(value_offsets, offset_bytes));
    check(ArrowBufferReserve(key_data, static_cast<std::int64_t>(key_bytes_)));
    check(ArrowBufferReserve(value_data, static_cast<std::int64_t>(value_bytes_)));
    auto* key_offset = reinterpret_cast<std::int32_t*>(key_offsets->data + key_offsets->size_bytes);
    auto* value_offset = reinterpret_cast<std::int32_t*>(value_offsets->data + value_offsets->size_bytes);
    visit_in_order(
        segment_entries_, in_key_order_ ? count : second_run_, merged_,
        [this](const Entry& a, const Entry& b) { return less(a, b); },
        [&](const Entry& entry) {
            append_reserved(key_data, key_of(entry));
            append_reserved(value_data, {value_of(entry), entry.value_size});
            key_end += static_cast<std::int64_t>(entry.key_size);
            value_end += static_cast<std::int64_t>(entry.value_size);
            *key_offset++ = static_cast<std::int32_t>(key_end);
            *value_offset++ = static_cast<std::int32_t>(value_end);
        });
    key_offsets->size_bytes += offset_bytes;
    value_offsets->size_bytes += offset_bytes;
    const auto added = static_cast<std::int64_t>(count);
    keys_->length += added;
    values_->length += added;
    entries_->length += added;
    check(ArrowArrayFinishElement(maps_));
    check(ArrowArrayFinishElement(segments_));
    return true;
}

}  // namespace tessarin::columns
