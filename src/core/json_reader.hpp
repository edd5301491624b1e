// Reads the JSON form of a message: an array of objects whose member values
// are all strings, one object per segment record.
#pragma once

#include <cstddef>
#include <string>

#include "core/errors.hpp"
#include "core/record.hpp"

namespace tessarin {

// Spare bytes the reader needs after the text in the same buffer to parse it
// in place. A caller that reserves text.size() + json_padding() before filling
// the string saves the reader a full copy of the input.
constexpr std::size_t json_padding() noexcept { return 64; }

// The largest document the reader parses (its parser's 4 GiB cap), and the
// InvalidFormat error that refuses a larger one by its size.
std::size_t json_size_limit() noexcept;
Hl7Error json_too_large(std::size_t size);

// Parses `text`, the whole content of a file (valid UTF-8, not blank), into
// records sorted by key; of a member named twice in one object the later
// value is kept. Any malformed or wrongly shaped input gives InvalidFormat
// with "Invalid JSON: <what> at line L column C", naming the first error.
Result<RecordStore> read_json_store(const std::string& text);
// The same for text whose buffer holds `capacity` bytes, so that the reader
// can parse in place when capacity >= text.size() + json_padding().
Result<RecordStore> read_json_store(std::string_view text, std::size_t capacity);
// The same into `records`, an empty store (left empty on failure), which the
// caller may already hold where the records are to stay.
Status read_json_store(std::string_view text, std::size_t capacity, RecordStore& records);

}  // namespace tessarin
